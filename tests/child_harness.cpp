#include "tests/child_harness.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <thread>

#include "core/context/child.hpp"
#include "core/seccomp/notif.hpp"
#include "core/sys/syscall.hpp"
#include "tests/continue_supervisor.hpp"
#include "tests/support.hpp"

namespace vestrion::test {

int ChildRun::exit_code() const { return WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1; }

PolicyBuilder readable_root() { return Policy::builder().fs_read("/"); }

namespace {

// The real supervisor on a thread of its own, stopped through an eventfd.
class RealSupervisor {
public:
    RealSupervisor(const Policy& policy, std::shared_ptr<seccomp::notif::SharedSupervisorState> state,
                   UniqueFd listener)
        : stop_(::eventfd(0, EFD_CLOEXEC)) {
        auto notif_policy = seccomp::notif::NotifPolicy::from_policy(policy, 0);
        thread_ = std::thread([this, notif_policy = std::move(notif_policy), state = std::move(state),
                               listener = std::move(listener)]() mutable {
            seccomp::notif::supervisor(std::move(notif_policy), std::move(state),
                                       std::move(listener), stop_.get());
        });
    }
    ~RealSupervisor() {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_.get(), &one, sizeof one);
        thread_.join();
    }
    RealSupervisor(const RealSupervisor&) = delete;
    RealSupervisor& operator=(const RealSupervisor&) = delete;

private:
    UniqueFd stop_;
    std::thread thread_;
};

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
    std::unique_ptr<RealSupervisor> real;
    if (auto number = context::read_u32_fd(pipes->notif_r.get())) {
        run.listener_number = *number;
        // The child writes the agent's two descriptor numbers next: they are read before the
        // pipe closes, which would end the child with SIGPIPE in the middle of its start.
        if (plan->starts_agent())
            for (int i = 0; i < 2; ++i) (void)context::read_u32_fd(pipes->notif_r.get());
        if (*number != 0) {
            auto pidfd = sys::syscall::pidfd_open(pid, 0);
            auto listener = context::fetch_listener(pid, pidfd ? pidfd->get() : -1, *number);
            if (listener && options.real_supervisor) {
                run.state = std::make_shared<seccomp::notif::SharedSupervisorState>(
                    policy.max_processes, std::nullopt);
                run.state->state.set_child(pid, pidfd ? pidfd->get() : -1);
                if (options.configure) options.configure(run.state->state);
                real = std::make_unique<RealSupervisor>(policy, run.state, std::move(*listener));
            } else if (listener) {
                supervisor = std::make_unique<ContinueSupervisor>(std::move(*listener));
            }
        }
        if (options.send_go) (void)context::write_u32_fd(pipes->ready_w.get(), 1);
    }
    pipes->ready_w.reset();
    pipes->notif_r.reset();

    if (!drain(out[0], err[0], run.out, run.err, options.guard_seconds)) {
        run.guard_fired = true;
        ::kill(-pid, SIGKILL);
        drain(out[0], err[0], run.out, run.err, 0);
    }
    ::close(out[0]);
    ::close(err[0]);
    while (::waitpid(pid, &run.wait_status, 0) < 0 && errno == EINTR) {
    }
    if (supervisor) run.answered = supervisor->answered();
    real.reset();
    return run;
}

}  // namespace vestrion::test
