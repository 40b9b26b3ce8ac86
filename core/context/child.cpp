#include "core/context/child.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/agent.hpp"
#include "core/chroot/interp.hpp"
#include "core/context/filter_lists.hpp"
#include "core/sandbox.hpp"
#include "core/sys/syscall.hpp"
#include "core/text.hpp"

namespace vestrion::context {

namespace {

constexpr unsigned int LISTENER_FLAGS =
    SECCOMP_FILTER_FLAG_NEW_LISTENER | SECCOMP_FILTER_FLAG_WAIT_KILLABLE_RECV;

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

std::string strip_leading_slashes(std::string path) {
    path.erase(0, std::min(path.find_first_not_of('/'), path.size()));
    return path;
}

// --- The child's side ---
//
// The child may share the caller's memory until it executes the command (it is cloned with
// CLONE_VM where that is safe), so it allocates nothing, takes no lock and writes no memory but its
// own stack: every system call is raw, so not even errno changes under the caller's feet, and
// failures carry their error number explicitly.

template <class... Args>
long call(long nr, Args... args) noexcept {
    return sys::syscall::raw(nr, (long)args...);
}

int error_of(long ret) noexcept { return sys::syscall::is_error(ret) ? static_cast<int>(-ret) : 0; }

// How the child ends when a step fails: one "vestrion child: <what>: <error text>" line on its
// standard error, a copy of it in the failure pipe (standard error may be a capture pipe that
// nobody reads before the spawn returns), and status 127.
class ChildFailure {
public:
    explicit ChildFailure(int copy_fd) noexcept : copy_fd_(copy_fd) {}

    [[noreturn]] void line(const text::LineBuf& what, int error) const noexcept {
        text::LineBuf line;
        line.add("vestrion child: ").add(what.view()).add(": ").add_os_error(error).add("\n");
        line.write_to(2);
        if (copy_fd_ >= 0) line.write_to(copy_fd_);
        call(SYS_exit_group, 127);
        __builtin_unreachable();
    }

    [[noreturn]] void operator()(const char* what, int error) const noexcept {
        text::LineBuf line;
        line.add(what);
        this->line(line, error);
    }

    // "<what>: <system error>: <system error>", as the failure of a call whose error is reported
    // inside the line and again at its end.
    [[noreturn]] void with_error(const char* what, int error) const noexcept {
        text::LineBuf line;
        line.add(what).add(": ");
        if (error == READ_EOF) {
            line.add(READ_EOF_TEXT);
            error = 0;  // no call failed: nothing but "success" to report at the end
        } else {
            line.add_os_error(error);
        }
        this->line(line, error);
    }

private:
    int copy_fd_;
};

bool fd_open(int fd) noexcept { return call(SYS_fcntl, fd, F_GETFD) >= 0; }

// Descriptors that the child keeps through its redirections, moved above 2 where needed so that
// the redirections cannot clobber them.
struct KeptFds {
    int notif_w, ready_r, fail_w;
    std::array<int, 3> redirect, capture;
    int close_after[8];
    std::size_t close_count = 0;
};

int above_stdio(int fd) noexcept {
    if (fd < 0 || fd > 2) return fd;
    return static_cast<int>(call(SYS_fcntl, fd, F_DUPFD_CLOEXEC, 3));
}

void set_up_stdio(KeptFds& k) noexcept {
    // Move everything that sits on 0, 1 or 2, then close those originals: a capture end left
    // on 0 would otherwise become the command's standard input.
    bool low_in_use[3] = {false, false, false};
    int moved[3] = {-1, -1, -1};
    auto move = [&](int& fd) noexcept {
        if (fd < 0 || fd > 2) return;
        if (moved[fd] < 0) moved[fd] = above_stdio(fd);
        low_in_use[fd] = true;
        fd = moved[fd];
    };
    move(k.notif_w);
    move(k.ready_r);
    move(k.fail_w);
    for (int& fd : k.redirect) move(fd);
    for (int& fd : k.capture) move(fd);
    for (std::size_t i = 0; i < k.close_count; ++i) move(k.close_after[i]);
    for (int fd = 0; fd < 3; ++fd)
        if (low_in_use[fd]) call(SYS_close, fd);

    for (int fd = 0; fd < 3; ++fd)
        if (k.redirect[fd] >= 0) call(SYS_dup2, k.redirect[fd], fd);
    for (int fd = 1; fd < 3; ++fd)
        if (k.capture[fd] >= 0) call(SYS_dup2, k.capture[fd], fd);
    for (int fd : k.redirect)
        if (fd > 2) call(SYS_close, fd);
    for (std::size_t i = 0; i < k.close_count; ++i)
        if (k.close_after[i] > 2) call(SYS_close, k.close_after[i]);

    for (int fd = 0; fd < 3; ++fd) {
        if (fd_open(fd)) continue;
        long null_fd = call(SYS_openat, AT_FDCWD, "/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            call(SYS_dup2, null_fd, fd);
            call(SYS_close, null_fd);
        }
    }
}

// The kernel's sigaction record, which the raw call takes.
struct KernelSigaction {
    void (*handler)(int);
    unsigned long flags;
    void (*restorer)();
    std::uint64_t mask;
};

void set_disposition(int sig, void (*handler)(int)) noexcept {
    KernelSigaction action{handler, 0, nullptr, 0};
    call(SYS_rt_sigaction, sig, &action, nullptr, sizeof(std::uint64_t));
}

void take_terminal_foreground() noexcept {
    char termios[64];
    if (call(SYS_ioctl, 0, TCGETS, termios) != 0) return;  // not a terminal
    set_disposition(SIGTTOU, SIG_IGN);
    int group = static_cast<int>(call(SYS_getpgid, 0));
    call(SYS_ioctl, 0, TIOCSPGRP, &group);
    set_disposition(SIGTTOU, SIG_DFL);
}

// The command starts with default dispositions and an empty signal mask: our own threads block
// and ignore signals that the command must not inherit. Dispositions go first, so that no
// handler of the caller can run here, on memory the child may share with it.
void reset_signals() noexcept {
    for (int sig = 1; sig <= 64; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP) set_disposition(sig, SIG_DFL);
    std::uint64_t none = 0;
    call(SYS_rt_sigprocmask, SIG_SETMASK, &none, nullptr, sizeof none);
}

}  // namespace

// Empties every capability set the command could use. A caller running as root would otherwise
// hand the command all of them; one that is not root may still hold some (file capabilities,
// ambient ones from a service manager). With no-new-privileges an empty permitted set also keeps
// an exec as uid 0 from regaining any. The bounding set can only be emptied by a holder of
// CAP_SETPCAP; without it, nothing in the other sets can be raised again anyway. Returns the
// failed step's name, or null.
const char* drop_capabilities(int& error) noexcept {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if ((error = error_of(call(SYS_capget, &header, data)))) return "capget";
    if (data[CAP_TO_INDEX(CAP_SETPCAP)].effective & CAP_TO_MASK(CAP_SETPCAP)) {
        // Every capability the kernel knows; the first number past the last gives EINVAL.
        for (int cap = 0; cap < 64; ++cap) {
            error = error_of(call(SYS_prctl, PR_CAPBSET_DROP, cap, 0, 0, 0));
            if (error == EINVAL) break;
            if (error) return "prctl(PR_CAPBSET_DROP)";
        }
    }
    if ((error = error_of(call(SYS_prctl, PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0))))
        return "prctl(PR_CAP_AMBIENT_CLEAR_ALL)";
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if ((error = error_of(call(SYS_capset, &header, none)))) return "capset";
    error = 0;
    return nullptr;
}

// --- Parent side: everything is built here, before the fork. ---

Result<ChildPlan> ChildPlan::prepare(const Policy& policy, std::span<const std::string> command,
                                     const std::optional<ChildMountConfig>& mount, bool nested,
                                     const SpawnRules& spawn_rules) {
    if (command.empty())
        return std::unexpected(VestrionError(SandboxError(SandboxError::Child{"empty command"})));
    for (const auto& arg : command)
        if (has_nul(arg))
            return std::unexpected(
                VestrionError(SandboxError(SandboxError::Child{"invalid command string"})));

    ChildPlan plan;
    plan.nested_ = nested;
    // Calls made on the child's behalf need the agent; it costs a fork of the child, so a
    // policy that makes none starts none.
    plan.starts_agent_ = !nested && needs_agent(policy);
    plan.parent_pid_ = ::getpid();
    plan.no_randomize_memory_ = policy.no_randomize_memory;
    plan.no_huge_pages_ = policy.no_huge_pages;
    plan.privileged_ = policy.privileged;
    plan.close_fds_ = policy.close_fds;
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's bookkeeping of stacks would see the child's frames on memory it does not
    // know as a stack.
    plan.shares_memory_ = false;
#else
    // Under a virtual root the supervisor rewrites the exec buffer, which must be the child's own.
    plan.shares_memory_ = !policy.no_huge_pages && !policy.chroot;
#endif
    if (policy.cpu_cores && !policy.cpu_cores->empty()) {
        plan.set_affinity_ = true;
        for (std::uint32_t core : *policy.cpu_cores) {
            if (core >= 1024)
                plan.affinity_invalid_ = true;
            else
                plan.affinity_[core / 64] |= 1ull << (core % 64);
        }
    }
    if (mount) plan.prepare_mount(*mount);
    plan.prepare_cwd(policy, spawn_rules.cwd ? spawn_rules.cwd : policy.cwd);
    auto prepared = prepared_for(policy, nested);
    if (!prepared) return std::unexpected(std::move(prepared.error()));
    plan.filters_ = (*prepared)->filters;
    plan.landlock_ = (*prepared)->landlock;
    if (!spawn_rules.readable.empty()) {
        auto rules = std::make_shared<landlock::Plan>(*plan.landlock_);
        for (const Path& entry : spawn_rules.readable) landlock::add_readable(*rules, policy, entry);
        plan.landlock_ = std::move(rules);
    }
    plan.environment_ = (*prepared)->environment;
    plan.virtual_root_ = policy.chroot.has_value();
    plan.prepare_command(command);
    // The kernel loads the command's interpreter by host path, past the root: these rules are
    // the command's own, added to a copy.
    if (policy.chroot && policy.fs_readable.empty()) {
        auto rules = std::make_shared<landlock::Plan>(*plan.landlock_);
        for (auto& file : chroot::host_files_for(*policy.chroot, plan.argv_storage_[0],
                                                 plan.environment_->search_dirs))
            landlock::grant_read(*rules, std::move(file));
        plan.landlock_ = std::move(rules);
    }
    return plan;
}

void ChildPlan::prepare_mount(const ChildMountConfig& mount) {
    mount_ = true;
    const std::string& target = mount.target.native();
    mount_target_ = text::is_valid_utf8(target) ? target : std::string();
    mount_target_invalid_ = has_nul(mount_target_);
    std::string lower;
    for (const auto& dir : mount.lower_dirs) {
        if (!lower.empty()) lower += ':';
        lower += text::lossy_utf8(dir.native());
    }
    // userxattr: the overlay keeps its records in user.* attributes, the only ones a user
    // namespace may set (without it a removal in the merged view fails with EIO).
    mount_opts_ = "lowerdir=" + lower + ",upperdir=" + text::lossy_utf8(mount.upper_dir.native()) +
                  ",workdir=" + text::lossy_utf8(mount.work_dir.native()) + ",userxattr";
    mount_opts_invalid_ = has_nul(mount_opts_);
}

void ChildPlan::prepare_cwd(const Policy& policy, const std::optional<Path>& cwd) {
    if (mount_ && !policy.chroot) {
        // A directory held from before the mount is the real one, even after chdir("."): the
        // child changes directory by absolute path, to the policy's or to ours.
        std::error_code ec;
        Path dir = cwd ? std::filesystem::absolute(*cwd, ec) : std::filesystem::current_path(ec);
        chdir_ = true;
        cwd_ = dir.native();
        cwd_invalid_ = ec || has_nul(cwd_);
        return;
    }
    if (!cwd && !policy.chroot) return;
    chdir_ = true;
    if (policy.chroot && cwd)
        cwd_ = (*policy.chroot / strip_leading_slashes(cwd->native())).native();
    else
        cwd_ = policy.chroot ? policy.chroot->native() : cwd->native();
    cwd_invalid_ = has_nul(cwd_);
}

void ChildPlan::prepare_command(std::span<const std::string> command) {
    argv_storage_.assign(command.begin(), command.end());
    for (auto& arg : argv_storage_) argv_.push_back(arg.data());
    argv_.push_back(nullptr);
    static char shell[] = "/bin/sh";
    sh_argv_ = {shell, nullptr};
    sh_argv_.insert(sh_argv_.end(), argv_.begin() + 1, argv_.end());
    command_text_ = text::lossy_utf8(argv_storage_[0]);
    // A second slot holds the shell for a program without an interpreter line. Only a virtual
    // root execs from it; the others use the child's own stack.
    if (virtual_root_) exec_buffer_.assign(2 * EXEC_BUFFER_SIZE, '\0');
}

// --- The child. ---

namespace {

// Under a virtual root the supervisor may rewrite an exec path in place to "/dev/fd/N" (N up to
// ten digits): each path is padded at its front to that length, which leaves its meaning alone
// ("////bin/sh" is "/bin/sh", "././prog" is "prog").
constexpr std::size_t REWRITE_ROOM = sizeof("/dev/fd/") - 1 + 10;

// Writes `head` + `tail` into `out` (room for EXEC_BUFFER_SIZE bytes), padded when `pad`; false
// when it does not fit.
bool put_path(char* out, std::string_view head, std::string_view tail, bool pad) noexcept {
    const std::size_t len = head.size() + tail.size();
    std::size_t fill = pad && len < REWRITE_ROOM ? REWRITE_ROOM - len : 0;
    const bool absolute = !head.empty() ? head.front() == '/' : !tail.empty() && tail.front() == '/';
    if (!absolute) fill += fill % 2;
    if (len + fill >= EXEC_BUFFER_SIZE) return false;
    for (std::size_t i = 0; i < fill; ++i) out[i] = absolute ? '/' : (i % 2 ? '/' : '.');
    // An empty view may hold no pointer at all, which memcpy must not be given.
    if (!head.empty()) std::memcpy(out + fill, head.data(), head.size());
    if (!tail.empty()) std::memcpy(out + fill + head.size(), tail.data(), tail.size());
    out[len + fill] = '\0';
    return true;
}

// Searches PATH in the command's environment (not ours), building each candidate in `buffer`,
// and runs it; returns the error when nothing could be run. With a virtual root (`padded`) the
// buffer is the plan's exec buffer of two slots, which the virtual-root handler rewrites in
// place: the second holds the shell, whose literal name lies in read-only memory.
int exec_searching(char* buffer, const ChildPlan::ExecArgs& exec, bool padded) noexcept {
    const char* name = exec.argv[0];
    std::size_t name_len = std::strlen(name);
    if (name_len >= EXEC_BUFFER_SIZE) return ENAMETOOLONG;
    auto run = [&]() noexcept {
        int error = error_of(call(SYS_execve, buffer, exec.argv, exec.envp));
        if (error == ENOEXEC) {
            // No interpreter line: the shell reads it, as execvp does.
            exec.sh_argv[1] = buffer;
            const char* shell = "/bin/sh";
            if (padded) {
                char* slot = buffer + EXEC_BUFFER_SIZE;
                put_path(slot, shell, {}, true);
                shell = slot;
            }
            error = error_of(call(SYS_execve, shell, exec.sh_argv, exec.envp));
            if (error == ENOENT) error = ENOEXEC;
        }
        return error;
    };
    if (std::strchr(name, '/')) {
        if (!put_path(buffer, {name, name_len}, {}, padded)) return ENAMETOOLONG;
        return run();
    }
    int result = ENOENT;
    bool denied = false;
    for (const auto& dir : *exec.search_dirs) {
        if (dir.size() + 1 + name_len >= EXEC_BUFFER_SIZE) continue;
        char* at = buffer;
        // The directory and its slash, then the name.
        std::memcpy(at, dir.data(), dir.size());
        at[dir.size()] = '/';
        if (!put_path(buffer + EXEC_BUFFER_SIZE, {at, dir.size() + 1}, {name, name_len}, padded))
            continue;
        std::memcpy(buffer, buffer + EXEC_BUFFER_SIZE, std::strlen(buffer + EXEC_BUFFER_SIZE) + 1);
        int error = run();
        if (error == EACCES) denied = true;
        if (error != ENOENT && error != ENOTDIR && error != EACCES && error != ESTALE) {
            result = error;
            break;
        }
    }
    return denied && result == ENOENT ? EACCES : result;
}

}  // namespace

void confine_child(const ChildPlan& plan, const PipePair& pipes,
                   const ChildStdio& stdio) noexcept {
    ChildPlan::confine_with(plan, {&plan, pipes.notif_r.get(), pipes.notif_w.get(),
                                   pipes.ready_r.get(), pipes.ready_w.get(), pipes.fail_r.get(),
                                   pipes.fail_w.get(), stdio});
}

int launch_child(void* arg) {
    auto* launch = static_cast<const ChildPlan::Launch*>(arg);
    ChildPlan::confine_with(*launch->plan, *launch);
}

void ChildPlan::confine_with(const ChildPlan& plan, const Launch& fds) noexcept {
    const ChildStdio& stdio = fds.stdio;
    // The parent's ends first: a parent that closes ready_w must show up here as end of file.
    call(SYS_close, fds.notif_r);
    call(SYS_close, fds.ready_w);
    call(SYS_close, fds.fail_r);

    KeptFds kept{fds.notif_w, fds.ready_r, fds.fail_w, stdio.redirect, stdio.capture, {}, 0};
    for (int fd : stdio.close_after)
        if (kept.close_count < std::size(kept.close_after))
            kept.close_after[kept.close_count++] = fd;
    set_up_stdio(kept);
    const ChildFailure fail(kept.fail_w);

    if (int e = error_of(call(SYS_setpgid, 0, 0))) fail("setpgid", e);
    take_terminal_foreground();
    if (int e = error_of(call(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL))) fail("prctl(PR_SET_PDEATHSIG)", e);
    if (call(SYS_getppid) != plan.parent_pid_) fail("parent died before confinement", 0);
    if (plan.no_randomize_memory_)
        if (int e = error_of(call(SYS_personality, ADDR_NO_RANDOMIZE)))
            fail("personality(ADDR_NO_RANDOMIZE)", e);
    if (plan.set_affinity_) {
        if (plan.affinity_invalid_) fail("sched_setaffinity", EINVAL);
        if (int e = error_of(call(SYS_sched_setaffinity, 0, sizeof(plan.affinity_),
                                  plan.affinity_.data())))
            fail("sched_setaffinity", e);
    }
    if (plan.no_huge_pages_)
        if (int e = error_of(call(SYS_prctl, PR_SET_THP_DISABLE, 1, 0, 0, 0)))
            fail("prctl(PR_SET_THP_DISABLE)", e);
    auto uid = static_cast<std::uint32_t>(call(SYS_getuid));
    auto gid = static_cast<std::uint32_t>(call(SYS_getgid));

    if (plan.mount_) {
        if (int e = error_of(call(SYS_unshare, CLONE_NEWUSER | CLONE_NEWNS)))
            fail("unshare(CLONE_NEWUSER | CLONE_NEWNS)", e);
        // The caller's own ids, which it may map; `privileged` promises root inside.
        if (plan.privileged_)
            write_id_maps(uid, gid);
        else
            write_id_maps_identity(uid, gid);
        if (plan.mount_target_invalid_) fail("invalid overlay mount point path", EINVAL);
        if (plan.mount_opts_invalid_) fail("invalid overlay opts", EINVAL);
        if (int e = error_of(call(SYS_mount, "overlay", plan.mount_target_.c_str(), "overlay", 0,
                                  plan.mount_opts_.c_str())))
            fail("mount overlay", e);
    } else if (plan.privileged_) {
        if (int e = error_of(call(SYS_unshare, CLONE_NEWUSER))) fail("unshare(CLONE_NEWUSER)", e);
        write_id_maps(uid, gid);
    }

    if (plan.chdir_) {
        if (plan.cwd_invalid_) fail("invalid cwd path", EINVAL);
        if (int e = error_of(call(SYS_chdir, plan.cwd_.c_str()))) fail("chdir", e);
    }
    if (int e = error_of(call(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0)))
        fail("prctl(PR_SET_NO_NEW_PRIVS)", e);

    if (landlock::Failure failure = landlock::apply(*plan.landlock_)) {
        text::LineBuf what;
        what.add("landlock: ");
        landlock::write_failure(what, *plan.landlock_, failure);
        fail.line(what, failure.error);
    }
    // Last of the steps that open paths, so that a root caller's policy still reaches what it
    // named; with `privileged` the command keeps what it holds in its own user namespace.
    if (!plan.privileged_) {
        int error = 0;
        if (const char* step = drop_capabilities(error)) fail(step, error);
    }

    // The agent takes every restriction before this point (namespaces, ids, capabilities,
    // Landlock), so each of them must come first; only the filter comes after, as the agent's
    // calls must not come back to the supervisor.
    agent::Started agent{-1, -1};
    if (plan.starts_agent_)
        if (int e = agent::start(agent)) fail("start the sandbox's agent", e);

    int listener = -1;
    if (!plan.nested_) {
        long ret = seccomp::bpf::install_raw(plan.filters_->notify, LISTENER_FLAGS);
        if (ret >= 0) {
            listener = static_cast<int>(ret);
        } else if (ret != -EBUSY) {
            fail.with_error("seccomp install", static_cast<int>(-ret));
        }
        // EBUSY: an outer filter already has a listener, so we are nested after all.
    }
    if (listener < 0) {
        long ret = seccomp::bpf::install_raw(plan.filters_->deny, 0);
        if (ret < 0) fail.with_error("seccomp deny filter", static_cast<int>(-ret));
        if (int error = write_u32_raw(kept.notif_w, 0)) fail.with_error("write nested signal", error);
    } else if (int error = write_u32_raw(kept.notif_w, static_cast<std::uint32_t>(listener))) {
        fail.with_error("write notif fd", error);
    }
    if (plan.starts_agent_) {
        if (int error = write_u32_raw(kept.notif_w, static_cast<std::uint32_t>(agent.channel)))
            fail.with_error("write agent fd", error);
        if (int error = write_u32_raw(kept.notif_w, static_cast<std::uint32_t>(agent.pidfd)))
            fail.with_error("write agent fd", error);
    }
    // A child with a memory of its own is confined for the rest of its life; one that still
    // shares the caller's must not mark the caller.
    if (!plan.shares_memory_) CONFINED.store(true, std::memory_order_relaxed);

    std::uint32_t go = 0;
    if (int error = read_u32_raw(kept.ready_r, go)) fail.with_error("read ready signal", error);

    // The supervisor has its copies of the agent's descriptors by now.
    if (agent.channel >= 0) call(SYS_close, agent.channel);
    if (agent.pidfd >= 0) call(SYS_close, agent.pidfd);
    if (plan.close_fds_) {
        // The failure pipe is close-on-exec: kept, it still reaches the parent if the exec fails.
        int keep[2] = {listener, kept.fail_w};
        close_fds_above(keep);
    }
    if (plan.environment_->invalid) fail("setenv", EINVAL);
    reset_signals();

    // With a virtual root the path must lie in the plan's exec buffer; otherwise our own stack.
    char local[2 * EXEC_BUFFER_SIZE];
    char* buffer = plan.virtual_root_ ? const_cast<char*>(plan.exec_buffer_.data()) : local;
    int error = exec_searching(buffer, plan.exec_args(), plan.virtual_root_);
    text::LineBuf what;
    what.add("execvp '").add(plan.command_text_).add("'");
    fail.line(what, error);
}

// --- Starting the child ---

SysResult<ChildStack> ChildStack::map() {
    void* base = ::mmap(nullptr, GUARD_SIZE + CHILD_STACK_SIZE, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (base == MAP_FAILED) return std::unexpected(SystemError::last());
    if (::mprotect(base, GUARD_SIZE, PROT_NONE) != 0) {
        SystemError error = SystemError::last();
        ::munmap(base, GUARD_SIZE + CHILD_STACK_SIZE);
        return std::unexpected(error);
    }
    return ChildStack(base);
}

ChildStack::~ChildStack() {
    if (base_) ::munmap(base_, GUARD_SIZE + CHILD_STACK_SIZE);
}

SysResult<StartedChild> start_child(ChildPlan& plan, const PipePair& pipes,
                                    const ChildStdio& stdio) {
    // Built here, before the fork or clone: copying the standard-stream record allocates, and a
    // forked child of a threaded caller that allocates can wait forever on a lock another
    // thread held at the fork.
    plan.launch_ = {&plan,
                    pipes.notif_r.get(),
                    pipes.notif_w.get(),
                    pipes.ready_r.get(),
                    pipes.ready_w.get(),
                    pipes.fail_r.get(),
                    pipes.fail_w.get(),
                    stdio};
    if (!plan.shares_memory_) {
        pid_t pid = ::fork();
        if (pid < 0) return std::unexpected(SystemError::last());
        if (pid == 0) ChildPlan::confine_with(plan, plan.launch_);
        StartedChild started{pid, UniqueFd()};
        if (auto pidfd = sys::syscall::pidfd_open(pid, 0)) started.pidfd = std::move(*pidfd);
        return started;
    }
    // Sharing the memory spares copying the page tables, and the flushes that copy-on-write
    // faults cost a threaded caller afterwards: most of what a fork costs.
    if (!plan.child_stack_) {
        auto stack = ChildStack::map();
        if (!stack) return std::unexpected(stack.error());
        plan.child_stack_.emplace(std::move(*stack));
    }
    int pidfd = -1;
    char* stack_top = plan.child_stack_->top();
    pid_t pid = ::clone(launch_child, stack_top, CLONE_VM | CLONE_PIDFD | SIGCHLD,
                        &plan.launch_, &pidfd);
    if (pid < 0) return std::unexpected(SystemError::last());
    return StartedChild{pid, UniqueFd(pidfd)};
}

}  // namespace vestrion::context
