// The immutable description of one sandbox, and the builder that validates it.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/error.hpp"
#include "core/policy_fn.hpp"

namespace vestrion {

enum class FsIsolation : std::uint8_t { None = 0, OverlayFs = 1, Tessarin = 2 };

enum class BranchAction : std::uint8_t { Commit = 0, Abort = 1, Keep = 2 };

// Seconds and nanoseconds since the Unix epoch.
using TimePoint = std::chrono::sys_time<std::chrono::nanoseconds>;

using Path = std::filesystem::path;

class PolicyBuilder;

// Where spawns keep what they derive from a policy alone (its filter programs, its Landlock plan,
// its environment), so that the spawns of one policy and of its copies share it read-only. It says
// nothing about what the policy allows: never persisted, and equal in every policy. A user checks
// that what it finds was made from a policy equal to its own, since a copy may have been changed.
class DerivedSlot {
public:
    // What a slot holds: one value of each kind, each with the type its user gives it.
    enum class Kind : std::uint8_t {
        Prepared,     // context::Prepared, what a spawn of this policy needs
        LayerRules,   // the child's own rules under a copy-on-write working directory
    };
    static constexpr std::size_t KINDS = 2;

    std::shared_ptr<const void> get(Kind kind = Kind::Prepared) const;
    void set(std::shared_ptr<const void> value, Kind kind = Kind::Prepared) const;
    // Leaves this copy with a slot of its own, empty; for a copy kept inside what the slot holds.
    void detach() { shared_.reset(); }
    // Leaves this copy with a new, empty slot of its own, for a policy derived from another.
    void renew() { shared_ = make_shared_slot(); }
    bool operator==(const DerivedSlot&) const { return true; }

private:
    struct Shared;
    std::shared_ptr<Shared> shared_ = make_shared_slot();
    static std::shared_ptr<Shared> make_shared_slot();
};

// The field order is the order of the persisted policy file: never reorder.
struct Policy {
    std::vector<Path> fs_writable;
    std::vector<Path> fs_readable;
    std::vector<Path> fs_denied;
    std::optional<std::vector<std::string>> deny_syscalls;
    std::optional<std::vector<std::string>> allow_syscalls;
    std::vector<std::string> net_allow_hosts;
    std::vector<std::uint16_t> net_bind;
    std::vector<std::uint16_t> net_connect;
    bool no_raw_sockets = true;
    bool no_udp = false;
    bool isolate_ipc = false;
    bool isolate_signals = false;
    bool isolate_pids = false;
    std::optional<std::uint64_t> max_memory;
    std::uint32_t max_processes = 64;
    std::optional<std::uint32_t> max_open_files;
    std::optional<std::uint8_t> max_cpu;
    std::optional<std::uint64_t> random_seed;
    std::optional<TimePoint> time_start;
    bool no_randomize_memory = false;
    bool no_huge_pages = false;
    bool deterministic_dirs = false;
    std::optional<std::string> hostname;
    FsIsolation fs_isolation = FsIsolation::None;
    std::optional<Path> workdir;
    std::optional<Path> cwd;
    std::optional<Path> fs_storage;
    std::optional<std::uint64_t> max_disk;
    BranchAction on_exit = BranchAction::Commit;
    BranchAction on_error = BranchAction::Commit;
    std::optional<Path> chroot;
    bool clean_env = false;
    std::unordered_map<std::string, std::string> env;
    bool close_fds = true;
    std::optional<std::vector<std::uint32_t>> gpu_devices;
    std::optional<std::vector<std::uint32_t>> cpu_cores;
    std::optional<std::uint32_t> num_cpus;
    bool port_remap = false;
    bool privileged = false;
    // Never persisted; shared between copies.
    std::shared_ptr<const PolicyFn> policy_fn;
    DerivedSlot derived;

    bool operator==(const Policy&) const = default;

    static PolicyBuilder builder();

    // A deep copy of every field; the callback is shared, not copied.
    Policy clone() const { return *this; }
};

class PolicyBuilder {
public:
    PolicyBuilder fs_write(Path path) &&;
    PolicyBuilder fs_read(Path path) &&;
    PolicyBuilder fs_deny(Path path) &&;
    PolicyBuilder deny_syscalls(std::vector<std::string> names) &&;
    PolicyBuilder allow_syscalls(std::vector<std::string> names) &&;
    PolicyBuilder net_allow_host(std::string host) &&;
    PolicyBuilder net_bind_port(std::uint16_t port) &&;
    PolicyBuilder net_connect_port(std::uint16_t port) &&;
    PolicyBuilder no_raw_sockets(bool on) &&;
    PolicyBuilder no_udp(bool on) &&;
    PolicyBuilder isolate_ipc(bool on) &&;
    PolicyBuilder isolate_signals(bool on) &&;
    PolicyBuilder isolate_pids(bool on) &&;
    PolicyBuilder no_randomize_memory(bool on) &&;
    PolicyBuilder no_huge_pages(bool on) &&;
    PolicyBuilder deterministic_dirs(bool on) &&;
    PolicyBuilder clean_env(bool on) &&;
    PolicyBuilder close_fds(bool on) &&;
    PolicyBuilder port_remap(bool on) &&;
    PolicyBuilder privileged(bool on) &&;
    PolicyBuilder max_memory(std::uint64_t bytes) &&;
    PolicyBuilder max_processes(std::uint32_t count) &&;
    PolicyBuilder max_open_files(std::uint32_t count) &&;
    PolicyBuilder max_cpu(std::uint8_t percent) &&;
    PolicyBuilder random_seed(std::uint64_t seed) &&;
    PolicyBuilder time_start(TimePoint start) &&;
    PolicyBuilder num_cpus(std::uint32_t count) &&;
    PolicyBuilder hostname(std::string name) &&;
    PolicyBuilder workdir(Path path) &&;
    PolicyBuilder cwd(Path path) &&;
    PolicyBuilder chroot(Path path) &&;
    PolicyBuilder env_var(std::string key, std::string value) &&;
    PolicyBuilder cpu_cores(std::vector<std::uint32_t> cores) &&;
    PolicyBuilder on_exit(BranchAction action) &&;
    PolicyBuilder on_error(BranchAction action) &&;
    PolicyBuilder policy_fn(PolicyFn fn) &&;
    // Not offered through the C interface: they let tests and the branch code reach every field.
    PolicyBuilder fs_isolation(FsIsolation isolation) &&;
    PolicyBuilder fs_storage(Path path) &&;
    PolicyBuilder max_disk(std::uint64_t bytes) &&;
    PolicyBuilder gpu_devices(std::vector<std::uint32_t> ids) &&;

    std::expected<Policy, PolicyError> build() &&;

private:
    friend struct Policy;
    PolicyBuilder() = default;

    Policy slots_;
    // The six slots with an unset state; build() replaces unset by the default.
    std::optional<bool> no_raw_sockets_;
    std::optional<bool> close_fds_;
    std::optional<std::uint32_t> max_processes_;
    std::optional<FsIsolation> fs_isolation_;
    std::optional<BranchAction> on_exit_;
    std::optional<BranchAction> on_error_;
};

}  // namespace vestrion
