#include "tests/child_harness.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

#include "core/context/child.hpp"
#include "core/sys/syscall.hpp"
#include "tests/continue_supervisor.hpp"

namespace vestrion::test {

int ChildRun::exit_code() const { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1; }

PolicyBuilder readable_root() { return Policy::builder().fs_read("/"); }

namespace {

// Reads both pipes to their end, whichever has data first.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open = 2;
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            char buf[4096];
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

}  // namespace

ChildRun run_confined(const Policy& policy, const std::vector<std::string>& command,
                      ChildOptions options) {
    auto plan = context::ChildPlan::prepare(policy, command, std::nullopt, options.nested);
    if (!plan) throw std::runtime_error(plan.error().message());
    auto pipes = context::PipePair::create();
    int out[2], err[2];
    if (!pipes || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
        throw std::runtime_error("pipes");

    context::ChildStdio stdio;
    stdio.capture = {-1, out[1], err[1]};
    stdio.close_after = {out[0], out[1], err[0], err[1]};
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) context::confine_child(*plan, *pipes, stdio);

    ::close(out[1]);
    ::close(err[1]);
    pipes->notif_w.reset();
    pipes->ready_r.reset();

    ChildRun run;
    std::unique_ptr<ContinueSupervisor> supervisor;
    if (auto number = context::read_u32_fd(pipes->notif_r.get())) {
        run.listener_number = *number;
        if (*number != 0) {
            auto pidfd = sys::syscall::pidfd_open(pid, 0);
            auto listener = context::fetch_listener(pid, pidfd ? pidfd->get() : -1, *number);
            if (listener) supervisor = std::make_unique<ContinueSupervisor>(std::move(*listener));
        }
        if (options.send_go) (void)context::write_u32_fd(pipes->ready_w.get(), 1);
    }
    pipes->ready_w.reset();
    pipes->notif_r.reset();

    drain(out[0], err[0], run.out, run.err);
    ::close(out[0]);
    ::close(err[0]);
    while (::waitpid(pid, &run.wait_status, 0) < 0 && errno == EINTR) {
    }
    if (supervisor) run.answered = supervisor->answered();
    return run;
}

}  // namespace vestrion::test
