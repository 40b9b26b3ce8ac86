// The child's side of a spawn: everything it applies to itself between fork and exec.
//
// `ChildPlan::prepare` runs in the parent before the fork and builds everything the child needs
// (C strings, the final environment, paths, both seccomp programs, the Landlock plan, message
// texts); `confine_child` runs in the child and touches no allocator and no lock.
#pragma once

#include <sys/types.h>

#include <array>
#include <memory>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <string>
#include <vector>

#include "core/context/handshake.hpp"
#include "core/context/prepared.hpp"
#include "core/error.hpp"
#include "core/landlock.hpp"
#include "core/policy.hpp"
#include "core/seccomp/bpf.hpp"

namespace vestrion::context {

// The overlay mount that the child performs over its working directory.
struct ChildMountConfig {
    Path target;
    Path upper_dir;
    Path work_dir;
    std::vector<Path> lower_dirs;
};

// Descriptors the child takes as its standard streams (-1: keep), and descriptors it closes
// after taking them. Redirects come first, capture pipes last, so capture wins.
struct ChildStdio {
    std::array<int, 3> redirect = {-1, -1, -1};
    std::array<int, 3> capture = {-1, -1, -1};  // only 1 and 2 are used
    std::vector<int> close_after;               // every end of the capture pipes
};

inline constexpr std::size_t EXEC_BUFFER_SIZE = 4096;
inline constexpr std::size_t CHILD_STACK_SIZE = 256 * 1024;

// The stack a child runs on while it shares our memory, with a guard page below it, so that an
// overflow faults instead of writing over our heap.
class ChildStack {
public:
    static SysResult<ChildStack> map();
    ChildStack(ChildStack&& other) noexcept : base_(std::exchange(other.base_, nullptr)) {}
    ChildStack& operator=(ChildStack&&) = delete;
    ~ChildStack();
    char* top() const { return static_cast<char*>(base_) + GUARD_SIZE + CHILD_STACK_SIZE; }

private:
    static constexpr std::size_t GUARD_SIZE = 4096;
    explicit ChildStack(void* base) : base_(base) {}
    void* base_;
};

struct StartedChild {
    pid_t pid;
    UniqueFd pidfd;  // invalid when none could be opened
};

class ChildPlan;
[[noreturn]] void confine_child(const ChildPlan& plan, const PipePair& pipes,
                                const ChildStdio& stdio) noexcept;
SysResult<StartedChild> start_child(ChildPlan& plan, const PipePair& pipes,
                                    const ChildStdio& stdio);

class ChildPlan {
public:
    // What one spawn changes of the rules its policy gives, without making them another
    // policy: what is prepared from the policy itself stays shared with its other spawns.
    struct SpawnRules {
        std::optional<Path> cwd;       // in place of the policy's
        std::vector<Path> readable;    // read as fs_read entries after the policy's own
    };
    static Result<ChildPlan> prepare(const Policy& policy, std::span<const std::string> command,
                                     const std::optional<ChildMountConfig>& mount, bool nested,
                                     const SpawnRules& spawn_rules = {});

    bool nested() const { return nested_; }
    // Whether the child starts the sandbox's agent and sends its two descriptor numbers (channel,
    // pidfd) after the listener's.
    bool starts_agent() const { return starts_agent_; }

    // What the exec needs, ready to hand to the kernel.
    struct ExecArgs {
        char* const* argv;
        char* const* envp;
        char** sh_argv;  // "/bin/sh", the path found, the arguments: for scripts without "#!"
        const std::vector<std::string>* search_dirs;
    };
    ExecArgs exec_args() const {
        return {argv_.data(), environment_->envp.data(), sh_argv_.data(),
                &environment_->search_dirs};
    }
    // The child's Landlock rules.
    const landlock::Plan& landlock_plan() const { return *landlock_; }

private:
    friend void confine_child(const ChildPlan&, const PipePair&, const ChildStdio&) noexcept;
    friend SysResult<StartedChild> start_child(ChildPlan&, const PipePair&, const ChildStdio&);

    void prepare_command(std::span<const std::string> command);
    void prepare_mount(const ChildMountConfig& mount);
    void prepare_cwd(const Policy& policy, const std::optional<Path>& cwd);

    bool nested_ = false;
    bool starts_agent_ = false;
    pid_t parent_pid_ = 0;
    // The child runs on our memory until its exec (CLONE_VM), on a stack of its own; a child
    // that must change the memory itself (transparent huge pages are a flag of the whole address
    // space) is forked instead.
    bool shares_memory_ = false;
    std::optional<ChildStack> child_stack_;
    // What a cloned child reads of its descriptors: copies, since the caller closes its own
    // ends while the child may still be starting.
    struct Launch {
        const ChildPlan* plan;
        int notif_r, notif_w, ready_r, ready_w, fail_r, fail_w;
        ChildStdio stdio;
    } launch_{};
    friend int launch_child(void*);
    [[noreturn]] static void confine_with(const ChildPlan& plan, const Launch& fds) noexcept;
    bool no_randomize_memory_ = false;
    bool no_huge_pages_ = false;
    bool privileged_ = false;
    bool close_fds_ = true;

    // Processor affinity: a 1024-bit mask; a core that does not fit makes the step fail.
    bool set_affinity_ = false;
    bool affinity_invalid_ = false;
    std::array<std::uint64_t, 16> affinity_{};

    bool mount_ = false;
    bool mount_target_invalid_ = false;
    bool mount_opts_invalid_ = false;
    std::string mount_target_;
    std::string mount_opts_;

    bool chdir_ = false;
    bool cwd_invalid_ = false;
    std::string cwd_;

    // Shared read-only with the other spawns of the policy (core/context/prepared.hpp).
    std::shared_ptr<const Filters> filters_;
    std::shared_ptr<const landlock::Plan> landlock_;
    std::shared_ptr<const Environment> environment_;

    std::vector<std::string> argv_storage_;
    std::vector<char*> argv_;
    mutable std::vector<char*> sh_argv_;
    std::string command_text_;  // the command name as messages show it

    // With a virtual root the exec path lies in this buffer, which the supervisor rewrites in
    // place, and the child searches PATH itself.
    bool virtual_root_ = false;
    std::vector<char> exec_buffer_;
};

// Empties every capability set of the calling process (the bounding set too, when it holds
// CAP_SETPCAP). Returns the name of the step that failed, with its error number in `error`, or
// null. Async-signal-safe.
const char* drop_capabilities(int& error) noexcept;

// Confines the calling process and executes the command; never returns. On failure it writes one
// "vestrion child: " line to its standard error and exits with status 127.
[[noreturn]] void confine_child(const ChildPlan& plan, const PipePair& pipes,
                                const ChildStdio& stdio) noexcept;

}  // namespace vestrion::context
