#include "core/seccomp/state.hpp"

#include <fcntl.h>
#include <sys/syscall.h>

#include <algorithm>
#include <array>

#include "core/seccomp/notif.hpp"
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

std::optional<std::set<IpAddr>> SupervisorState::effective_network_policy(
    std::uint32_t pid) const {
    {
        std::shared_lock lock(pid_networks->lock);
        auto entry = pid_networks->networks.find(pid);
        if (entry != pid_networks->networks.end()) return entry->second;
    }
    if (live_policy) {
        std::shared_lock lock(live_policy->lock);
        if (!live_policy->value.allowed_ips.empty()) return live_policy->value.allowed_ips;
    }
    return static_allowed_ips;
}

bool SupervisorState::is_path_denied(std::string_view path) const {
    std::shared_lock lock(denied_paths->lock);
    for (const std::string& entry : denied_paths->paths) {
        if (path == entry) return true;
        if (path.size() > entry.size() && path.starts_with(entry) && path[entry.size()] == '/')
            return true;
    }
    return false;
}

bool SupervisorState::is_path_denied_for_notif(const SeccompNotif& notif, int listener) const {
    {
        // Most sandboxes deny nothing: spare them the read of the child's memory.
        std::shared_lock lock(denied_paths->lock);
        if (denied_paths->paths.empty()) return false;
    }
    // open names its path first; openat and openat2 after the directory descriptor.
    std::uint64_t address = notif.data.nr == SYS_open ? notif.data.args[0] : notif.data.args[1];
    if (address == 0) return false;
    std::array<std::uint8_t, 256> buf;
    auto got = read_child_mem_into(listener, notif, address, buf);
    if (!got) return false;
    std::string_view bytes(reinterpret_cast<const char*>(buf.data()), *got);
    bytes = bytes.substr(0, bytes.find('\0'));
    if (!text::is_valid_utf8(bytes)) return false;
    return is_path_denied(bytes);
}

}  // namespace vestrion::seccomp::notif
