#include "core/policy.hpp"

#include <array>
#include <mutex>

#include "core/context/filter_lists.hpp"

namespace vestrion {

struct DerivedSlot::Shared {
    std::mutex mutex;
    std::array<std::shared_ptr<const void>, KINDS> values;
};

std::shared_ptr<DerivedSlot::Shared> DerivedSlot::make_shared_slot() {
    return std::make_shared<Shared>();
}

std::shared_ptr<const void> DerivedSlot::get(Kind kind) const {
    if (!shared_) return nullptr;
    std::lock_guard lock(shared_->mutex);
    return shared_->values[static_cast<std::size_t>(kind)];
}

void DerivedSlot::set(std::shared_ptr<const void> value, Kind kind) const {
    if (!shared_) return;
    std::lock_guard lock(shared_->mutex);
    shared_->values[static_cast<std::size_t>(kind)] = std::move(value);
}

PolicyBuilder Policy::builder() { return PolicyBuilder(); }

// Each setter changes one slot of the consumed builder and hands it on.
#define VESTRION_SETTER(name, type, body)                 \
    PolicyBuilder PolicyBuilder::name(type value) && {    \
        body;                                             \
        return std::move(*this);                          \
    }

VESTRION_SETTER(fs_write, Path, slots_.fs_writable.push_back(std::move(value)))
VESTRION_SETTER(fs_read, Path, slots_.fs_readable.push_back(std::move(value)))
VESTRION_SETTER(fs_deny, Path, slots_.fs_denied.push_back(std::move(value)))
VESTRION_SETTER(deny_syscalls, std::vector<std::string>, slots_.deny_syscalls = std::move(value))
VESTRION_SETTER(allow_syscalls, std::vector<std::string>, slots_.allow_syscalls = std::move(value))
VESTRION_SETTER(net_allow_host, std::string, slots_.net_allow_hosts.push_back(std::move(value)))
VESTRION_SETTER(net_bind_port, std::uint16_t, slots_.net_bind.push_back(value))
VESTRION_SETTER(net_connect_port, std::uint16_t, slots_.net_connect.push_back(value))
VESTRION_SETTER(no_raw_sockets, bool, no_raw_sockets_ = value)
VESTRION_SETTER(no_udp, bool, slots_.no_udp = value)
VESTRION_SETTER(isolate_ipc, bool, slots_.isolate_ipc = value)
VESTRION_SETTER(isolate_signals, bool, slots_.isolate_signals = value)
VESTRION_SETTER(isolate_pids, bool, slots_.isolate_pids = value)
VESTRION_SETTER(no_randomize_memory, bool, slots_.no_randomize_memory = value)
VESTRION_SETTER(no_huge_pages, bool, slots_.no_huge_pages = value)
VESTRION_SETTER(deterministic_dirs, bool, slots_.deterministic_dirs = value)
VESTRION_SETTER(clean_env, bool, slots_.clean_env = value)
VESTRION_SETTER(close_fds, bool, close_fds_ = value)
VESTRION_SETTER(port_remap, bool, slots_.port_remap = value)
VESTRION_SETTER(privileged, bool, slots_.privileged = value)
VESTRION_SETTER(max_memory, std::uint64_t, slots_.max_memory = value)
VESTRION_SETTER(max_processes, std::uint32_t, max_processes_ = value)
VESTRION_SETTER(max_open_files, std::uint32_t, slots_.max_open_files = value)
VESTRION_SETTER(max_cpu, std::uint8_t, slots_.max_cpu = value)
VESTRION_SETTER(random_seed, std::uint64_t, slots_.random_seed = value)
VESTRION_SETTER(time_start, TimePoint, slots_.time_start = value)
VESTRION_SETTER(num_cpus, std::uint32_t, slots_.num_cpus = value)
VESTRION_SETTER(hostname, std::string, slots_.hostname = std::move(value))
VESTRION_SETTER(workdir, Path, slots_.workdir = std::move(value))
VESTRION_SETTER(cwd, Path, slots_.cwd = std::move(value))
VESTRION_SETTER(chroot, Path, slots_.chroot = std::move(value))
VESTRION_SETTER(cpu_cores, std::vector<std::uint32_t>, slots_.cpu_cores = std::move(value))
VESTRION_SETTER(on_exit, BranchAction, on_exit_ = value)
VESTRION_SETTER(on_error, BranchAction, on_error_ = value)
VESTRION_SETTER(policy_fn, PolicyFn,
                slots_.policy_fn = std::make_shared<const PolicyFn>(std::move(value)))
VESTRION_SETTER(fs_isolation, FsIsolation, fs_isolation_ = value)
VESTRION_SETTER(fs_storage, Path, slots_.fs_storage = std::move(value))
VESTRION_SETTER(max_disk, std::uint64_t, slots_.max_disk = value)
VESTRION_SETTER(gpu_devices, std::vector<std::uint32_t>, slots_.gpu_devices = std::move(value))

#undef VESTRION_SETTER

PolicyBuilder PolicyBuilder::env_var(std::string key, std::string value) && {
    slots_.env.insert_or_assign(std::move(key), std::move(value));
    return std::move(*this);
}

std::expected<Policy, PolicyError> PolicyBuilder::build() && {
    if (slots_.deny_syscalls && slots_.allow_syscalls)
        return std::unexpected(PolicyError{PolicyError::SyscallListsExclusive{}});
    // A name the filter does not know would deny nothing: the caller must hear of it rather than
    // run a command that can still make the call.
    if (slots_.deny_syscalls)
        for (const std::string& name : *slots_.deny_syscalls)
            if (!context::syscall_name_to_nr(name))
                return std::unexpected(PolicyError{PolicyError::Invalid{
                    "deny_syscalls names '" + name + "', which is not a system call it can deny"}});
    if (slots_.max_cpu && (*slots_.max_cpu == 0 || *slots_.max_cpu > 100))
        return std::unexpected(PolicyError{PolicyError::MaxCpuOutOfRange{*slots_.max_cpu}});
    FsIsolation isolation = fs_isolation_.value_or(FsIsolation::None);
    if (isolation != FsIsolation::None && !slots_.workdir)
        return std::unexpected(PolicyError{PolicyError::FsIsolationRequiresWorkdir{}});

    Policy policy = std::move(slots_);
    policy.no_raw_sockets = no_raw_sockets_.value_or(true);
    policy.close_fds = close_fds_.value_or(true);
    policy.max_processes = max_processes_.value_or(64);
    policy.fs_isolation = isolation;
    policy.on_exit = on_exit_.value_or(BranchAction::Commit);
    policy.on_error = on_error_.value_or(BranchAction::Commit);
    return policy;
}

}  // namespace vestrion
