// The sandbox runtime: one sandboxed process with everything that belongs to it.
//
// Each spawned sandbox has one thread of its own: it forks (so the child's parent-death signal
// follows the sandbox, not the caller's thread), plays the parent's side of the handshake, then
// answers the child's routed calls and drains its capture pipes in one poll loop, reaps it and
// kills what is left of its process groups. The throttle, when asked for, is a second thread that
// stops and continues the group.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "core/cow/seccomp.hpp"
#include "core/dry_run.hpp"
#include "core/error.hpp"
#include "core/policy.hpp"
#include "core/result.hpp"
#include "core/sys/fd.hpp"

namespace vestrion {

// Set in a process once vestrion has confined it (a child before its exec, a fan-out template);
// never cleared. A spawn from such a process is nested.
extern std::atomic<bool> CONFINED;

namespace seccomp::notif {
struct SharedSupervisorState;
}
namespace context {
class ChildPlan;
}
struct Checkpoint;
namespace cow {
class CowBranch;
}

enum class SandboxStateKind : std::uint8_t { Created, Running, Finished };

struct SandboxState {
    SandboxStateKind kind = SandboxStateKind::Created;
    ExitStatus status;  // meaningful when Finished
};

// Descriptors the child takes as its 0, 1 and 2 (-1: not redirected). The sandbox does not own them.
struct StdioRedirects {
    int stdin_fd = -1;
    int stdout_fd = -1;
    int stderr_fd = -1;
};

namespace sandbox {

bool is_nested();

SandboxError child_error(std::string text);

// Library threads block every signal: the command must not inherit a handler's thread, and a
// signal meant for the caller must not land on us.
void block_all_signals();

// How a reaped child ended, from what waitid reported.
ExitStatus status_from(const siginfo_t& info);

// Reads the descriptor to its end and closes it; a read error ends the reading.
std::string read_fd_to_end(UniqueFd fd);

// Signals the sandbox's process group: through the pidfd when there is one (it reaches the group
// also after the leader was reaped, and never a recycled pid), else with killpg.
int signal_group(int pidfd, pid_t pgid, int signal) noexcept;

// Lets the group run `percent` ms of every 100 ms; always leaves it running when stopped. With
// a supervisor state, the other groups that sandbox processes made are stopped and continued
// with it, so that a process leaving the first group does not leave the limit too.
class CpuThrottle {
public:
    CpuThrottle(int pidfd, pid_t pgid, std::uint8_t percent,
                std::shared_ptr<seccomp::notif::SharedSupervisorState> state = nullptr);
    ~CpuThrottle();
    CpuThrottle(const CpuThrottle&) = delete;
    CpuThrottle& operator=(const CpuThrottle&) = delete;

    // Parks the loop with the groups left running, and returns once it is parked (or has ended),
    // so that no SIGCONT of the throttle can undo a stop made meanwhile.
    void pause();
    void resume();

private:
    void run(std::stop_token stop);
    // The first group's error, or 0.
    int signal_groups(int signal);

    int pidfd_;
    pid_t pgid_;
    std::uint8_t percent_;
    std::shared_ptr<seccomp::notif::SharedSupervisorState> state_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    bool paused_ = false;
    bool parked_ = false;  // the loop waits in its pause, the groups running
    bool ended_ = false;
    std::condition_variable_any parked_changed_;
    std::jthread thread_;
};

// What the sandbox's threads share with it.
struct ChildWatch {
    std::mutex mutex;
    std::condition_variable changed;
    std::optional<ExitStatus> status;  // set once, when the child has been reaped
    std::string out;
    std::string err;
};

}  // namespace sandbox

class Sandbox {
public:
    using InitFn = std::function<void()>;
    using WorkFn = std::shared_ptr<const std::function<void(std::uint32_t)>>;

    static Result<std::unique_ptr<Sandbox>> create(const Policy& policy);
    static Result<std::unique_ptr<Sandbox>> new_with_fns(const Policy& policy, InitFn init,
                                                         WorkFn work);
    // The teardown: kills and reaps a child that still runs, stops the threads, finishes branches.
    ~Sandbox();
    Sandbox(const Sandbox&) = delete;
    Sandbox& operator=(const Sandbox&) = delete;

    Result<void> spawn(std::span<const std::string> argv);
    Result<void> do_spawn(std::span<const std::string> argv, bool capture);
    Result<RunResult> wait();
    // The wait with a limit: nothing when the child still runs after `timeout`; a later wait
    // still reports the child's true status.
    std::optional<Result<RunResult>> wait_for(std::chrono::milliseconds timeout);
    Result<void> kill();
    // After a wait: commits, aborts or keeps the branches as the exit actions say for how the
    // command ended, once. The error of a commit or abort that failed (naming the working
    // directory, the entry and where the branch is kept), again at every later call. Without it
    // the teardown does the same and drops the error.
    Result<void> finish();

    // Checkpoints (core/checkpoint/driver.cpp). `freeze` stops every process of the sandbox and
    // holds its forks; `thaw` continues them and has the held forks answered; `checkpoint` waits
    // for the command's exec, freezes, captures the first process and thaws, whatever the
    // capture's outcome. A sandbox never spawned, or whose child has ended, is NotRunning.
    Result<void> freeze();
    Result<void> thaw();
    Result<Checkpoint> checkpoint();

    // Fan-out (core/fork.cpp): forks a confined template that runs the init function once, then
    // `n` clones of it that run the work function; returns one finished record per clone made.
    // Uses up both functions, whatever the outcome.
    Result<std::vector<std::unique_ptr<Sandbox>>> fork(std::uint32_t n);
    // Feeds the clones' output, in their order, to `argv` run under this sandbox's policy and
    // returns its result. Takes the clones' output; the records stay the caller's.
    Result<RunResult> reduce(std::span<const std::string> argv,
                             std::vector<std::unique_ptr<Sandbox>>& clones) const;

    static Result<RunResult> run(const Policy& policy, std::span<const std::string> argv);
    static Result<RunResult> run_interactive(const Policy& policy, std::span<const std::string> argv);
    // Runs the command with its copy-on-write branches kept, lists their changes and discards
    // them: W never changes. Writes outside W are real.
    static Result<DryRunResult> dry_run(const Policy& policy, std::span<const std::string> command);

    const Policy& policy() const { return policy_; }
    std::optional<pid_t> pid() const { return pid_; }
    const SandboxState& state() const { return state_; }
    void set_stdio_redirects(StdioRedirects redirects) { stdio_redirects_ = redirects; }

    // The branches, taken out so that teardown no longer finishes them (a dry run does).
    std::unique_ptr<cow::CowBranch> take_cow_backend();
    std::optional<cow::SeccompCowBranch> take_cow_layer();

private:
    explicit Sandbox(const Policy& policy);

    Result<RunResult> finish_wait();
    void stop_threads();
    BranchAction teardown_action() const;
    // Moves the copy-on-write layer out of the supervisor state, once no handler can reach it.
    void take_back_layer();
    // Commits, aborts or keeps the branches, once; the error of a commit or abort that failed.
    Result<void> finish_branches(BranchAction action);
    bool child_has_ended() const;
    // Every group the sandbox made; on SIGSTOP the agent is continued at once.
    void signal_every_group(int signal);

    Policy policy_;
    std::optional<pid_t> pid_;
    SandboxState state_;
    std::optional<StdioRedirects> stdio_redirects_;
    UniqueFd pidfd_;
    // The read end of the spawn's failure pipe: end of file once the command has executed.
    UniqueFd exec_gate_;
    bool captured_ = false;
    std::shared_ptr<sandbox::ChildWatch> watch_;
    // Forks, plays the parent's side of the handshake, then supervises, drains the output and
    // reaps, all on one thread.
    std::thread sandbox_thread_;
    std::unique_ptr<sandbox::CpuThrottle> throttle_;
    std::shared_ptr<seccomp::notif::SharedSupervisorState> supervisor_state_;
    // Empty while the child runs: the supervisor state holds the layer then.
    std::optional<cow::SeccompCowBranch> cow_layer_;
    // The overlay or outside-filesystem branch, from the spawn to teardown.
    std::unique_ptr<cow::CowBranch> cow_backend_;
    bool branches_finished_ = false;
    std::optional<VestrionError> finish_error_;  // repeated by every later finish
    std::unique_ptr<context::ChildPlan> child_plan_;
    // What a fan-out clone wrote to its standard output, drained while it ran; empty when its
    // pipe could not be made, or once reduce has taken it.
    std::optional<std::string> clone_output_;
    InitFn init_fn_;
    WorkFn work_fn_;
};

}  // namespace vestrion
