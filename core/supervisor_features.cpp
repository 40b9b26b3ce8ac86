#include "core/supervisor_features.hpp"

namespace vestrion::sandbox {

std::optional<std::string> feature_needing_supervisor(const Policy& p) {
    if (p.max_memory) return "the memory limit (max_memory)";
    if (p.policy_fn) return "a policy callback (policy_fn)";
    if (!p.net_allow_hosts.empty()) return "the network allow-list (net_allow_hosts)";
    if (p.workdir && p.fs_isolation == FsIsolation::None)
        return "a copy-on-write working directory (workdir)";
    if (p.random_seed) return "deterministic randomness (random_seed)";
    if (p.time_start) return "a start time (time_start)";
    if (p.port_remap) return "port remapping (port_remap)";
    if (p.num_cpus) return "the CPU-count view (num_cpus)";
    if (p.isolate_pids) return "the /proc process view (isolate_pids)";
    if (p.hostname) return "the host-name view (hostname)";
    if (p.deterministic_dirs) return "sorted directory listings (deterministic_dirs)";
    if (p.chroot) return "a virtual root (chroot)";
    return std::nullopt;
}

}  // namespace vestrion::sandbox
