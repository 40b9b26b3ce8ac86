#include "core/seccomp/state.hpp"

#include <fcntl.h>
#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <iterator>

#include "core/seccomp/notif.hpp"
#include "core/sys/proc.hpp"
#include "core/text.hpp"

namespace vestrion::seccomp::notif {

NotifPolicy NotifPolicy::from_policy(const Policy& policy, std::int64_t time_offset) {
    NotifPolicy p;
    p.fs_readable = policy.fs_readable;
    p.fs_writable = policy.fs_writable;
    p.chroot = policy.chroot;
    p.hostname = policy.hostname;
    p.num_cpus = policy.num_cpus;
    p.max_memory = policy.max_memory.value_or(0);
    p.time_offset = time_offset;

    p.memory = policy.max_memory.has_value();
    p.network = !policy.net_allow_hosts.empty() || policy.policy_fn != nullptr;
    p.random = policy.random_seed.has_value();
    p.time = policy.time_start.has_value();
    p.proc_views = policy.max_memory.has_value() || policy.num_cpus.has_value() ||
                   policy.isolate_pids || policy.port_remap;
    p.pid_filter = policy.isolate_pids;
    p.port_remap = policy.port_remap;
    p.cow = policy.workdir.has_value() && policy.fs_isolation == FsIsolation::None;
    p.deterministic_dirs = policy.deterministic_dirs;
    return p;
}

SupervisorState::SupervisorState(std::uint32_t max_processes, std::optional<random::Rng> rng)
    : rng(std::move(rng)), max_processes(max_processes) {
    // Counted forks never exceed the budget: room for them now keeps the fork path free of
    // allocation.
    fork_pids.reserve(std::min<std::uint32_t>(max_processes, 4096));
}

void SupervisorState::set_child(pid_t pid, int pidfd) {
    child_pid = pid;
    child_pidfd = UniqueFd(pidfd >= 0 ? ::fcntl(pidfd, F_DUPFD_CLOEXEC, 3) : -1);
    if (pidfd >= 0) groups.record(pid, UniqueFd(::fcntl(pidfd, F_DUPFD_CLOEXEC, 3)));
}

bool SupervisorState::is_path_denied(std::string_view path) const {
    std::shared_lock lock(denied_paths->lock);
    for (const std::string& entry : denied_paths->paths) {
        if (path == entry || entry == "/") return true;
        if (path.size() > entry.size() && path.starts_with(entry) && path[entry.size()] == '/')
            return true;
    }
    return false;
}

namespace {

// Where a path argument lies and which directory a relative one starts from.
struct PathArgument {
    std::uint64_t address;
    int dirfd;
};

std::optional<PathArgument> path_argument(const SeccompNotif& notif) {
    const auto& a = notif.data.args;
    switch (notif.data.nr) {
        case SYS_open:
        case SYS_creat:
            return PathArgument{a[0], AT_FDCWD};
        case SYS_openat:
        case SYS_openat2:
            return PathArgument{a[1], static_cast<int>(a[0])};
        default:
            return std::nullopt;
    }
}

}  // namespace

bool SupervisorState::is_path_denied_for_notif(const SeccompNotif& notif, int listener) const {
    {
        // Most sandboxes deny nothing: spare them the read of the child's memory.
        std::shared_lock lock(denied_paths->lock);
        if (denied_paths->paths.empty()) return false;
    }
    auto argument = path_argument(notif);
    if (!argument || argument->address == 0) return false;
    std::array<std::uint8_t, 4096> buf;  // PATH_MAX with its NUL
    auto got = read_child_mem_into(listener, notif, argument->address, buf);
    if (!got) return false;
    std::string_view bytes(reinterpret_cast<const char*>(buf.data()), *got);
    std::size_t end = bytes.find('\0');
    // Without a NUL the kernel refuses the path itself (too long, or running into unmapped
    // memory).
    if (end == std::string_view::npos) return false;
    bytes = bytes.substr(0, end);
    std::string base = "/";
    if (!bytes.starts_with('/')) {
        auto directory = sys::proc::directory_path(notif.pid, argument->dirfd);
        // A descriptor that names no directory fails the call in the kernel anyway.
        if (!directory) return false;
        base = std::move(*directory);
    }
    return is_path_denied(text::normalize_path(bytes, base));
}

namespace {

std::set<IpAddr> intersect(const std::set<IpAddr>& a, const std::set<IpAddr>& b) {
    std::set<IpAddr> out;
    std::ranges::set_intersection(a, b, std::inserter(out, out.end()));
    return out;
}

// The entries that cover the process of thread `tid`: those of the process and its ancestors up
// to the sandbox's first process `first`. A chain that no longer reaches it (a parent exited and
// the process was reparented) is covered by every entry.
std::optional<std::set<IpAddr>> pid_entries(const PidNetworks& map, std::uint32_t tid,
                                            pid_t first) {
    if (map.networks.empty()) return std::nullopt;
    std::optional<std::set<IpAddr>> covering;
    auto meet = [&](const std::set<IpAddr>& entry) {
        covering = covering ? intersect(*covering, entry) : entry;
    };
    std::uint32_t process = sys::proc::thread_group(tid).value_or(tid);
    bool reached = false;
    for (int depth = 0; depth < 4096 && process > 1; ++depth) {
        if (auto it = map.networks.find(process); it != map.networks.end()) meet(it->second);
        if (first > 0 && process == static_cast<std::uint32_t>(first)) {
            reached = true;
            break;
        }
        auto parent = sys::proc::parent_pid(process);
        if (!parent) break;
        process = *parent;
    }
    if (!reached) {
        covering.reset();
        for (const auto& [pid, entry] : map.networks) meet(entry);
    }
    return covering;
}

}  // namespace

std::optional<std::set<IpAddr>> SupervisorState::effective_network_policy(
    std::uint32_t tid) const {
    {
        std::shared_lock lock(pid_networks->lock);
        if (auto entries = pid_entries(*pid_networks, tid, child_pid)) return entries;
    }
    if (live_policy) {
        std::shared_lock lock(live_policy->lock);
        const LivePolicy& live = live_policy->value;
        if (live.allowed_ips_restricted || !live.allowed_ips.empty()) return live.allowed_ips;
    }
    return static_allowed_ips;
}

std::uint32_t SupervisorState::process_limit() const {
    if (!live_policy) return max_processes;
    std::shared_lock lock(live_policy->lock);
    return std::min(max_processes, live_policy->value.max_processes);
}

std::uint64_t SupervisorState::memory_limit(std::uint64_t policy_limit) const {
    if (!live_policy) return policy_limit;
    std::shared_lock lock(live_policy->lock);
    std::uint64_t live = live_policy->value.max_memory_bytes;
    return live == 0 ? policy_limit : std::min(policy_limit, live);
}

void SharedSupervisorState::freeze() {
    std::lock_guard lock(mutex);
    state.frozen = true;
}

void SharedSupervisorState::thaw() {
    {
        std::lock_guard lock(mutex);
        state.frozen = false;
    }
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wake.get(), &one, sizeof one);
}

}  // namespace vestrion::seccomp::notif
