// The checkpoint of a running sandbox: wait for the command's exec, freeze, capture, thaw.
//
// The freeze goes in the one order that cannot deadlock: the throttle is parked first (its
// SIGCONT would undo the stop), every group of the sandbox is stopped, the agent is continued
// (it serves connects and sends for threads of the command, which cannot stop before those
// return), and only once the first process has stopped are forks held. Held earlier, a fork
// received before the stop completed would keep its thread from ever stopping.
#include "core/checkpoint/driver.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>

#include "core/agent.hpp"
#include "core/checkpoint/capture.hpp"
#include "core/checkpoint/checkpoint.hpp"
#include "core/sandbox.hpp"
#include "core/seccomp/state.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion {

namespace checkpoint {

namespace {

VestrionError child_error(std::string text) { return SandboxError(SandboxError::Child{std::move(text)}); }

std::string in_ms(std::chrono::milliseconds d) { return std::to_string(d.count()) + " ms"; }

}  // namespace

Result<void> wait_for_exec(int fail_r, std::chrono::milliseconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{fail_r, POLLIN, 0};
        int ret = ::poll(&p, 1, static_cast<int>(std::max<std::int64_t>(left.count(), 0)));
        if (ret < 0 && errno != EINTR)
            return std::unexpected(VestrionError(SandboxError(SandboxError::Io{SystemError::last()})));
        if (ret > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return {};
        if (left.count() <= 0)
            return std::unexpected(child_error(
                "checkpoint refused: the command has not started within " + in_ms(bound) +
                " (another process, such as a fan-out template, may hold its start pipe open)"));
        // A failure line waits unread while its writer ends: poll again shortly.
        if (ret > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

std::optional<pid_t> tracer_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (!line.starts_with("TracerPid:")) continue;
        long tracer = std::strtol(line.c_str() + 10, nullptr, 10);
        if (tracer > 0) return static_cast<pid_t>(tracer);
        return std::nullopt;
    }
    return std::nullopt;
}

}  // namespace checkpoint

namespace {

VestrionError not_running() { return SandboxError(SandboxError::NotRunning{}); }

enum class StopWait { Stopped, Ended, TimedOut };

// Waits for the group stop of the first process: reported once every thread of it has stopped.
// Through the pidfd and never with WEXITED, so the sandbox thread still reaps a child that dies.
StopWait wait_until_stopped(pid_t pid, int pidfd, std::chrono::milliseconds bound) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    auto pause = std::chrono::microseconds(100);
    idtype_t type = pidfd >= 0 ? P_PIDFD : P_PID;
    id_t id = pidfd >= 0 ? static_cast<id_t>(pidfd) : static_cast<id_t>(pid);
    while (true) {
        siginfo_t info{};
        int ret = ::waitid(type, id, &info, WSTOPPED | WNOHANG);
        if (ret == 0 && info.si_pid != 0) return StopWait::Stopped;
        if (ret < 0 && errno != EINTR) return StopWait::Ended;  // reaped meanwhile
        info = {};
        if (::waitid(type, id, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0)
            return StopWait::Ended;
        if (std::chrono::steady_clock::now() >= deadline) return StopWait::TimedOut;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(5000));
    }
}

}  // namespace

bool Sandbox::child_has_ended() const {
    if (!pid_ || state_.kind == SandboxStateKind::Finished || !watch_) return true;
    {
        std::lock_guard lock(watch_->mutex);
        if (watch_->status) return true;
    }
    if (!pidfd_) return false;
    pollfd p{pidfd_.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

void Sandbox::signal_every_group(int signal) {
    sandbox::signal_group(pidfd_.get(), *pid_, signal);
    if (!supervisor_state_) return;
    std::lock_guard lock(supervisor_state_->mutex);
    auto& state = supervisor_state_->state;
    state.groups.signal_all(signal);
    // The agent shares the first group but is no part of the image, and a connect or send it
    // makes for a thread of the command must finish, or that thread cannot stop.
    if (signal == SIGSTOP && state.agent && state.agent->pidfd() >= 0)
        (void)sys::syscall::pidfd_send_signal(state.agent->pidfd(), SIGCONT, 0);
}

Result<void> Sandbox::freeze() {
    if (child_has_ended()) return std::unexpected(not_running());
    if (supervisor_state_ && !supervisor_state_->wake)
        return std::unexpected(VestrionError(SandboxError(SandboxError::Child{
            "checkpoint: the supervisor has no wake-up descriptor to answer held forks with"})));
    if (throttle_) throttle_->pause();
    signal_every_group(SIGSTOP);
    switch (wait_until_stopped(*pid_, pidfd_.get(), checkpoint::kFreezeWait)) {
        case StopWait::Stopped:
            break;
        case StopWait::Ended:
            (void)thaw();
            return std::unexpected(not_running());
        case StopWait::TimedOut:
            (void)thaw();
            return std::unexpected(VestrionError(SandboxError(SandboxError::Child{
                "checkpoint: the sandbox did not stop within " +
                std::to_string(checkpoint::kFreezeWait.count()) +
                " ms: a thread of the command waits in a call the supervisor is still serving "
                "(a policy callback's verdict, or an open of a FIFO)"})));
    }
    if (supervisor_state_) supervisor_state_->freeze();
    return {};
}

Result<void> Sandbox::thaw() {
    if (!pid_) return std::unexpected(not_running());
    signal_every_group(SIGCONT);
    // The forks held meanwhile are answered by the supervisor, which owns the listener.
    if (supervisor_state_) supervisor_state_->thaw();
    if (throttle_) throttle_->resume();
    return {};
}

Result<Checkpoint> Sandbox::checkpoint() {
    if (child_has_ended()) return std::unexpected(not_running());
    if (exec_gate_) {
        if (auto executed = checkpoint::wait_for_exec(exec_gate_.get(), checkpoint::kExecWait); !executed)
            return std::unexpected(std::move(executed.error()));
    }
    // A debugger holds the command: the capture's own attach would fail, and a debugger that
    // keeps the stop signal to itself would make the freeze wait out its deadline first.
    if (auto tracer = checkpoint::tracer_of(*pid_))
        return std::unexpected(checkpoint::child_error("ptrace seize: the command is traced by process " +
                                                       std::to_string(*tracer) + " already"));
    if (auto frozen = freeze(); !frozen) return std::unexpected(std::move(frozen.error()));
    auto captured = checkpoint::capture(*pid_, pidfd_.get(), policy_);
    (void)thaw();
    return captured;
}

}  // namespace vestrion
