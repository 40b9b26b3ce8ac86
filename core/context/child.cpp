#include "core/context/child.hpp"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/personality.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "core/context/filter_lists.hpp"
#include "core/sandbox.hpp"
#include "core/text.hpp"

extern char** environ;

namespace vestrion::context {

namespace {

constexpr unsigned int LISTENER_FLAGS =
    SECCOMP_FILTER_FLAG_NEW_LISTENER | SECCOMP_FILTER_FLAG_WAIT_KILLABLE_RECV;
constexpr const char* DEFAULT_SEARCH_PATH = "/bin:/usr/bin";

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

std::string strip_leading_slashes(std::string path) {
    path.erase(0, std::min(path.find_first_not_of('/'), path.size()));
    return path;
}

// --- The child's side: no allocation, no locks, only async-signal-safe calls. ---

// Writes "vestrion child: <what>: <errno text>" and ends the child.
[[noreturn]] void fail_line(const text::LineBuf& what) noexcept {
    int error = errno;
    text::LineBuf line;
    line.add("vestrion child: ").add(what.view()).add(": ").add_os_error(error).add("\n");
    line.write_to(2);
    ::_exit(127);
}

[[noreturn]] void fail(const char* what) noexcept {
    int error = errno;
    text::LineBuf line;
    line.add(what);
    errno = error;
    fail_line(line);
}

// "<what>: <system error>", the error also left in errno for the line's last part.
[[noreturn]] void fail_with_error(const char* what, int error) noexcept {
    text::LineBuf line;
    line.add(what).add(": ");
    if (error == READ_EOF)
        line.add(READ_EOF_TEXT);
    else
        line.add_os_error(error);
    if (error != READ_EOF) errno = error;
    fail_line(line);
}

bool fd_open(int fd) noexcept { return ::fcntl(fd, F_GETFD) >= 0; }

// Descriptors that the child keeps through its redirections, moved above 2 where needed so that
// the redirections cannot clobber them.
struct KeptFds {
    int notif_w, ready_r;
    std::array<int, 3> redirect, capture;
    int close_after[8];
    std::size_t close_count = 0;
};

int above_stdio(int fd) noexcept {
    if (fd < 0 || fd > 2) return fd;
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
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
    for (int& fd : k.redirect) move(fd);
    for (int& fd : k.capture) move(fd);
    for (std::size_t i = 0; i < k.close_count; ++i) move(k.close_after[i]);
    for (int fd = 0; fd < 3; ++fd)
        if (low_in_use[fd]) ::close(fd);

    for (int fd = 0; fd < 3; ++fd)
        if (k.redirect[fd] >= 0) ::dup2(k.redirect[fd], fd);
    for (int fd = 1; fd < 3; ++fd)
        if (k.capture[fd] >= 0) ::dup2(k.capture[fd], fd);
    for (int fd : k.redirect)
        if (fd > 2) ::close(fd);
    for (std::size_t i = 0; i < k.close_count; ++i)
        if (k.close_after[i] > 2) ::close(k.close_after[i]);

    for (int fd = 0; fd < 3; ++fd) {
        if (fd_open(fd)) continue;
        int null_fd = ::open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            ::dup2(null_fd, fd);
            ::close(null_fd);
        }
    }
}

void take_terminal_foreground() noexcept {
    if (::isatty(0) != 1) return;
    struct sigaction ignore{}, dfl{};
    ignore.sa_handler = SIG_IGN;
    dfl.sa_handler = SIG_DFL;
    ::sigaction(SIGTTOU, &ignore, nullptr);
    ::tcsetpgrp(0, ::getpgrp());
    ::sigaction(SIGTTOU, &dfl, nullptr);
}

// The command starts with an empty signal mask and default dispositions: our own threads block
// and ignore signals that the command must not inherit.
void reset_signals() noexcept {
    sigset_t empty;
    ::sigemptyset(&empty);
    ::sigprocmask(SIG_SETMASK, &empty, nullptr);
    struct sigaction dfl{};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig == SIGKILL || sig == SIGSTOP) continue;
        struct sigaction old{};
        if (::sigaction(sig, nullptr, &old) == 0 && old.sa_handler == SIG_IGN)
            ::sigaction(sig, &dfl, nullptr);
    }
}

}  // namespace

// --- Parent side: everything is built here, before the fork. ---

Result<ChildPlan> ChildPlan::prepare(const Policy& policy, std::span<const std::string> command,
                                     const std::optional<ChildMountConfig>& mount, bool nested) {
    if (command.empty())
        return std::unexpected(VestrionError(SandboxError(SandboxError::Child{"empty command"})));
    for (const auto& arg : command)
        if (has_nul(arg))
            return std::unexpected(
                VestrionError(SandboxError(SandboxError::Child{"invalid command string"})));

    ChildPlan plan;
    plan.nested_ = nested;
    plan.parent_pid_ = ::getpid();
    plan.no_randomize_memory_ = policy.no_randomize_memory;
    plan.no_huge_pages_ = policy.no_huge_pages;
    plan.privileged_ = policy.privileged;
    plan.close_fds_ = policy.close_fds;
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
    plan.prepare_cwd(policy);
    plan.landlock_ = landlock::plan(policy);
    if (auto filters = plan.prepare_filters(policy); !filters)
        return std::unexpected(std::move(filters.error()));
    plan.prepare_environment(policy);
    plan.prepare_command(command);
    plan.virtual_root_ = policy.chroot.has_value();
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
    mount_opts_ = "lowerdir=" + lower + ",upperdir=" + text::lossy_utf8(mount.upper_dir.native()) +
                  ",workdir=" + text::lossy_utf8(mount.work_dir.native());
    mount_opts_invalid_ = has_nul(mount_opts_);
}

void ChildPlan::prepare_cwd(const Policy& policy) {
    if (!policy.cwd && !policy.chroot) return;
    chdir_ = true;
    if (policy.chroot && policy.cwd)
        cwd_ = (*policy.chroot / strip_leading_slashes(policy.cwd->native())).native();
    else
        cwd_ = policy.chroot ? policy.chroot->native() : policy.cwd->native();
    cwd_invalid_ = has_nul(cwd_);
}

Result<void> ChildPlan::prepare_filters(const Policy& policy) {
    std::vector<std::uint32_t> denied = deny_syscall_numbers(policy);
    std::vector<sock_filter> args = arg_filters(policy);
    auto deny_only = seccomp::bpf::assemble_filter({}, denied, args);
    if (!deny_only) return std::unexpected(VestrionError(ConfinementError(deny_only.error())));
    deny_program_ = std::move(*deny_only);
    if (nested_) return {};
    std::vector<std::uint32_t> routed = notif_syscalls(policy);
    auto with_routes = seccomp::bpf::assemble_filter(routed, denied, args);
    if (!with_routes) return std::unexpected(VestrionError(ConfinementError(with_routes.error())));
    notify_program_ = std::move(*with_routes);
    return {};
}

void ChildPlan::prepare_environment(const Policy& policy) {
    // The environment the command would see after unsetenv of everything (clean_env), setenv of
    // each map entry and of the GPU variables, applied to a copy of ours.
    std::vector<std::pair<std::string, std::string>> vars;
    std::unordered_map<std::string, std::size_t> index;
    auto set = [&](const std::string& name, const std::string& value) {
        if (name.empty() || name.find('=') != std::string::npos || has_nul(name) ||
            has_nul(value)) {
            env_invalid_ = true;  // setenv would refuse it: the child fails there
            return;
        }
        auto [it, inserted] = index.try_emplace(name, vars.size());
        if (inserted)
            vars.emplace_back(name, value);
        else
            vars[it->second].second = value;
    };
    if (!policy.clean_env) {
        for (char** e = environ; e && *e; ++e) {
            std::string_view entry(*e);
            std::size_t eq = entry.find('=');
            std::string name(entry.substr(0, eq));
            std::string value(eq == std::string_view::npos ? "" : entry.substr(eq + 1));
            if (index.try_emplace(name, vars.size()).second) vars.emplace_back(name, value);
        }
    }
    for (const auto& [name, value] : policy.env) set(name, value);
    if (policy.gpu_devices && !policy.gpu_devices->empty()) {
        std::string ids;
        for (std::uint32_t id : *policy.gpu_devices)
            ids += (ids.empty() ? "" : ",") + std::to_string(id);
        set("CUDA_VISIBLE_DEVICES", ids);
        set("ROCR_VISIBLE_DEVICES", ids);
    }

    std::string path = DEFAULT_SEARCH_PATH;
    for (const auto& [name, value] : vars) {
        env_storage_.push_back(name + "=" + value);
        if (name == "PATH") path = value;
    }
    for (auto& entry : env_storage_) envp_.push_back(entry.data());
    envp_.push_back(nullptr);

    std::size_t start = 0;
    while (true) {
        std::size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon - start);
        search_dirs_.push_back(dir.empty() ? "." : dir);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
}

void ChildPlan::prepare_command(std::span<const std::string> command) {
    argv_storage_.assign(command.begin(), command.end());
    for (auto& arg : argv_storage_) argv_.push_back(arg.data());
    argv_.push_back(nullptr);
    command_text_ = text::lossy_utf8(argv_storage_[0]);
    exec_buffer_.assign(EXEC_BUFFER_SIZE, '\0');
}

// --- The child. ---

namespace {

// Searches PATH itself, writing each candidate into the exec buffer, so that the path the kernel
// receives is always that buffer (the virtual-root handler rewrites it in place).
void exec_in_buffer(char* buffer, const std::vector<std::string>& dirs, char* const argv[],
                    char* const envp[]) noexcept {
    const char* name = argv[0];
    std::size_t name_len = std::strlen(name);
    if (name_len >= EXEC_BUFFER_SIZE) {
        errno = ENAMETOOLONG;
        return;
    }
    if (std::strchr(name, '/')) {
        std::memcpy(buffer, name, name_len + 1);
        ::execve(buffer, argv, envp);
        return;
    }
    int result = ENOENT;
    bool denied = false;
    for (const auto& dir : dirs) {
        if (dir.size() + 1 + name_len >= EXEC_BUFFER_SIZE) continue;
        std::memcpy(buffer, dir.data(), dir.size());
        buffer[dir.size()] = '/';
        std::memcpy(buffer + dir.size() + 1, name, name_len + 1);
        ::execve(buffer, argv, envp);
        if (errno == EACCES) denied = true;
        if (errno != ENOENT && errno != ENOTDIR && errno != EACCES && errno != ESTALE) {
            result = errno;
            break;
        }
    }
    errno = denied && result == ENOENT ? EACCES : result;
}

}  // namespace

void confine_child(const ChildPlan& plan, const PipePair& pipes,
                   const ChildStdio& stdio) noexcept {
    // The parent's ends first: a parent that closes ready_w must show up here as end of file.
    ::close(pipes.notif_r.get());
    ::close(pipes.ready_w.get());

    KeptFds kept{pipes.notif_w.get(), pipes.ready_r.get(), stdio.redirect, stdio.capture, {}, 0};
    for (int fd : stdio.close_after)
        if (kept.close_count < std::size(kept.close_after))
            kept.close_after[kept.close_count++] = fd;
    set_up_stdio(kept);

    if (::setpgid(0, 0) != 0) fail("setpgid");
    take_terminal_foreground();
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail("prctl(PR_SET_PDEATHSIG)");
    if (::getppid() != plan.parent_pid_) fail("parent died before confinement");
    if (plan.no_randomize_memory_ && ::personality(ADDR_NO_RANDOMIZE) == -1)
        fail("personality(ADDR_NO_RANDOMIZE)");
    if (plan.set_affinity_) {
        if (plan.affinity_invalid_) {
            errno = EINVAL;
            fail("sched_setaffinity");
        }
        if (::sched_setaffinity(0, sizeof(plan.affinity_),
                                reinterpret_cast<const cpu_set_t*>(plan.affinity_.data())) != 0)
            fail("sched_setaffinity");
    }
    if (plan.no_huge_pages_ && ::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0)
        fail("prctl(PR_SET_THP_DISABLE)");
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();

    if (plan.mount_) {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            fail("unshare(CLONE_NEWUSER | CLONE_NEWNS)");
        write_id_maps_overflow();
        if (plan.mount_target_invalid_) fail("invalid overlay mount point path");
        if (plan.mount_opts_invalid_) fail("invalid overlay opts");
        if (::mount("overlay", plan.mount_target_.c_str(), "overlay", 0,
                    plan.mount_opts_.c_str()) != 0)
            fail("mount overlay");
    } else if (plan.privileged_) {
        if (::unshare(CLONE_NEWUSER) != 0) fail("unshare(CLONE_NEWUSER)");
        write_id_maps(uid, gid);
    }

    if (plan.chdir_) {
        if (plan.cwd_invalid_) fail("invalid cwd path");
        if (::chdir(plan.cwd_.c_str()) != 0) fail("chdir");
    }
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) fail("prctl(PR_SET_NO_NEW_PRIVS)");

    if (landlock::Failure failure = landlock::apply(plan.landlock_)) {
        text::LineBuf what;
        what.add("landlock: ");
        landlock::write_failure(what, plan.landlock_, failure);
        errno = failure.error;
        fail_line(what);
    }

    int listener = -1;
    if (!plan.nested_) {
        long ret = seccomp::bpf::install_raw(plan.notify_program_, LISTENER_FLAGS);
        if (ret >= 0) {
            listener = static_cast<int>(ret);
        } else if (ret != -EBUSY) {
            fail_with_error("seccomp install", static_cast<int>(-ret));
        }
        // EBUSY: an outer filter already has a listener, so we are nested after all.
    }
    if (listener < 0) {
        long ret = seccomp::bpf::install_raw(plan.deny_program_, 0);
        if (ret < 0) fail_with_error("seccomp deny filter", static_cast<int>(-ret));
        if (int error = write_u32_raw(kept.notif_w, 0)) fail_with_error("write nested signal", error);
    } else if (int error = write_u32_raw(kept.notif_w, static_cast<std::uint32_t>(listener))) {
        fail_with_error("write notif fd", error);
    }
    CONFINED.store(true, std::memory_order_relaxed);

    std::uint32_t go = 0;
    if (int error = read_u32_raw(kept.ready_r, go)) fail_with_error("read ready signal", error);

    if (plan.close_fds_) {
        int keep[1] = {listener};
        close_fds_above(std::span<const int>(keep, listener >= 0 ? 1 : 0));
    }
    if (plan.env_invalid_) {
        errno = EINVAL;
        fail("setenv");
    }
    reset_signals();

    char* const* argv = plan.argv_.data();
    char* const* envp = plan.envp_.data();
    if (plan.virtual_root_) {
        exec_in_buffer(const_cast<char*>(plan.exec_buffer_.data()), plan.search_dirs_, argv, envp);
    } else {
        environ = const_cast<char**>(envp);
        ::execvp(argv[0], argv);
    }
    int error = errno;
    text::LineBuf what;
    what.add("execvp '").add(plan.command_text_).add("'");
    errno = error;
    fail_line(what);
}

}  // namespace vestrion::context
