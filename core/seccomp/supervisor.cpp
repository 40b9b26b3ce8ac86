// The supervisor loop: one notification at a time, until stopped or the listener is gone.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>

#include <cerrno>
#include <mutex>

#include "core/resource.hpp"
#include "core/seccomp/notif.hpp"
#include "core/seccomp/state.hpp"

namespace vestrion::seccomp::notif {

namespace {

// The answer before the callback step: the denied-path check of the opens, else the dispatch.
NotifAction decide(const Call& call) {
    const SeccompNotif& notif = call.notif;
    if (call.policy.time || call.policy.random) {
        std::lock_guard lock(call.shared.mutex);
        // A process left on the host's clock or randomness would silently break the run's
        // promise: the sandbox ends instead.
        SupervisorState& state = call.shared.state;
        if (!maybe_patch_vdso(notif.pid, state))
            return NotifAction::Kill{SIGKILL, state.child_pid, state.child_pidfd.get()};
    }
    // Every way of opening by path that reaches us, not only openat: a denied path must not be
    // one open(2) away.
    const int nr = notif.data.nr;
    if (nr == SYS_openat || nr == SYS_open || nr == SYS_creat || nr == SYS_openat2) {
        std::lock_guard lock(call.shared.mutex);
        if (call.shared.state.is_path_denied_for_notif(notif, call.listener))
            return NotifAction::Errno{EACCES};
    }
    Handlers handlers;
    return dispatch(call, handlers);
}

enum class Received { Answered, Skipped, ListenerGone };

// Receives and answers one pending notification.
Received serve_one(const NotifPolicy& policy, SharedSupervisorState& shared, int listener) {
    auto notif = recv_notif(listener);
    if (!notif) {
        // ENOENT: the caller died after its call was queued; EINTR: try again. Only a listener
        // that is no longer there ends supervision.
        return notif.error().code() == EBADF ? Received::ListenerGone : Received::Skipped;
    }
    Call call{*notif, policy, shared, listener};
    NotifAction action = emit_policy_event(call, decide(call));
    // A failed send means the caller is gone; its siblings still need answers.
    (void)send_response(listener, notif->id, std::move(action));
    return Received::Answered;
}

// Answers the forks held while the sandbox was frozen, once a thaw woke us.
void answer_held_forks(SharedSupervisorState& shared, int listener) {
    std::uint64_t count;
    [[maybe_unused]] ssize_t n = ::read(shared.wake.get(), &count, sizeof count);
    std::vector<std::pair<std::uint64_t, NotifAction>> answers;
    {
        std::lock_guard lock(shared.mutex);
        answers = resource::release_held_forks(shared.state);
    }
    for (auto& [id, action] : answers) (void)send_response(listener, id, std::move(action));
}

}  // namespace

Supervision::Supervision(NotifPolicy policy, std::shared_ptr<SharedSupervisorState> shared,
                         UniqueFd listener)
    : policy_(std::move(policy)), shared_(std::move(shared)), listener_(std::move(listener)) {
    (void)try_set_sync_wakeup(listener_.get());
}

void Supervision::answer_held() { answer_held_forks(*shared_, listener_.get()); }

bool Supervision::serve(short revents) {
    if (revents & POLLNVAL) return false;
    if (revents & POLLIN)
        return serve_one(policy_, *shared_, listener_.get()) != Received::ListenerGone;
    // Hang-up: every process under the filter has ended. The listener would stay readable
    // and spin the loop, so supervision ends here.
    return !(revents & (POLLHUP | POLLERR));
}

void supervisor(NotifPolicy policy, std::shared_ptr<SharedSupervisorState> shared,
                UniqueFd listener, int stop_fd) {
    Supervision supervision(std::move(policy), std::move(shared), std::move(listener));
    pollfd fds[3] = {{supervision.fd(), POLLIN, 0}, {stop_fd, POLLIN, 0},
                     {supervision.wake_fd(), POLLIN, 0}};
    while (true) {
        // The receive blocks even on a non-blocking listener, so it only follows a poll that
        // saw a notification pending; the poll also sees a stop between two notifications.
        fds[0].revents = fds[1].revents = fds[2].revents = 0;
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        if (fds[2].revents & POLLIN) supervision.answer_held();
        if (fds[0].revents && !supervision.serve(fds[0].revents)) return;
    }
}

}  // namespace vestrion::seccomp::notif
