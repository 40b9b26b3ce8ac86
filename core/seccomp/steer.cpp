#include "core/seccomp/steer.hpp"

#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <optional>
#include <string>

#include "core/seccomp/notif.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::seccomp::notif {

namespace {

// A held thread that has not stopped by then is left traced rather than hang the supervisor: it
// cannot happen short of the kernel losing the interrupt, since the thread stops on its way back
// from the call or ends.
constexpr std::chrono::seconds kStopWait{30};

// Through /proc/<tid>/mem, which writes also a read-only page (a name in the program's
// constants): the page is the process's private copy, as a debugger's breakpoint is.
bool poke(pid_t tid, std::uint64_t address, std::span<const std::uint8_t> bytes) {
    const std::string path = "/proc/" + std::to_string(tid) + "/mem";
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    UniqueFd mem(fd);
    ssize_t put = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(address));
    return put == static_cast<ssize_t>(bytes.size());
}

// The thread's state letter from /proc/<tid>/stat; none once it has gone.
std::optional<char> thread_state(pid_t tid) {
    const std::string path = "/proc/" + std::to_string(tid) + "/stat";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    UniqueFd owned(fd);
    char buf[512];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    if (n <= 0) return std::nullopt;
    std::string_view text(buf, static_cast<std::size_t>(n));
    // The command name in parentheses may hold anything, ')' included: the state follows the last.
    const std::size_t close = text.rfind(')');
    if (close == std::string_view::npos || close + 2 >= text.size()) return std::nullopt;
    return text[close + 2];
}

struct Stopped {
    bool stopped = false;
    int resume_signal = 0;  // a signal the stop took from the thread, to give back
};

// Whether the thread is a process that this process started itself: its end is its parent's
// to collect, never ours as its tracer.
bool is_our_child(pid_t tid) {
    const std::string path = "/proc/" + std::to_string(tid) + "/status";
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    UniqueFd owned(fd);
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf - 1);
    if (n <= 0) return false;
    const std::string_view text(buf, static_cast<std::size_t>(n));
    auto field = [&](std::string_view name) -> long {
        const std::size_t at = text.find(name);
        if (at == std::string_view::npos) return -1;
        return std::strtol(buf + at + name.size(), nullptr, 10);
    };
    return field("\nTgid:") == tid && field("\nPPid:") == ::getpid();
}

// Waits for the held thread to stop (or end). Another waiter of this process may take the stop's
// report first (a waitpid(-1) of the caller's), so the thread's own state is read too. A thread
// that ends while held is reaped here (its tracer must), unless it is our own child.
Stopped wait_for_stop(pid_t tid) {
    const int keep = is_our_child(tid) ? WNOWAIT : 0;
    const auto deadline = std::chrono::steady_clock::now() + kStopWait;
    while (true) {
        siginfo_t info{};
        const int waited =
            ::waitid(P_PID, static_cast<id_t>(tid), &info, WSTOPPED | WEXITED | __WALL | WNOHANG | keep);
        if (waited == 0 && info.si_pid == tid) {
            if (info.si_code != CLD_TRAPPED && info.si_code != CLD_STOPPED) return {};
            // The interrupt's stop, or a group stop: no signal is held back. Any other stop
            // took a signal on its way to the thread.
            const bool event = (info.si_status >> 8) == PTRACE_EVENT_STOP;
            return {true, event ? 0 : (info.si_status & 0xff)};
        }
        if (waited != 0 && errno == ECHILD) return {};
        auto state = thread_state(tid);
        if (!state || *state == 'Z' || *state == 'X') return {};
        if (*state == 't') return {true, 0};
        if (std::chrono::steady_clock::now() > deadline) return {};
        const struct timespec pause{0, 20'000};
        ::nanosleep(&pause, nullptr);
    }
}

}  // namespace

bool continue_steered(const Call& call, std::uint64_t address,
                      std::span<const std::uint8_t> kernel_bytes,
                      std::span<const std::uint8_t> original, NotifAction otherwise) {
    if (kernel_bytes.size() > original.size()) return false;
    const pid_t tid = static_cast<pid_t>(call.notif.pid);
    if (::ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) return false;
    // Fails only for a thread that has gone: then nothing waits for the answer either.
    const bool interrupted = ::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) == 0;
    const bool steered = interrupted && poke(tid, address, kernel_bytes);
    (void)send_response(call.listener, call.notif.id,
                        steered ? NotifAction(NotifAction::Continue{}) : std::move(otherwise));
    if (!interrupted) return true;
    Stopped stop = wait_for_stop(tid);
    if (!stop.stopped) return true;
    if (steered) (void)poke(tid, address, original.first(kernel_bytes.size()));
    ::ptrace(PTRACE_DETACH, tid, nullptr, reinterpret_cast<void*>(static_cast<long>(stop.resume_signal)));
    return true;
}

}  // namespace vestrion::seccomp::notif
