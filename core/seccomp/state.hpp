// The two records one supervisor works from: `NotifPolicy`, the read-only routing context derived
// from the policy at spawn, and `SupervisorState`, the mutable state shared with the sandbox
// behind one mutex.
#pragma once

#include <linux/seccomp.h>
#include <sys/eventfd.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/child_rights.hpp"
#include "core/chroot/resolve.hpp"
#include "core/cow/pending_open.hpp"
#include "core/cow/seccomp.hpp"
#include "core/policy.hpp"
#include "core/policy_fn.hpp"
#include "core/port_remap.hpp"
#include "core/process_groups.hpp"
#include "core/random.hpp"
#include "core/vdso.hpp"
#include "core/procfs.hpp"
#include "core/resource.hpp"
#include "core/seccomp/child_path.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::agent {
class Agent;
}
namespace vestrion::time {
class SleepKeeper;
}

namespace vestrion::seccomp::notif {

struct NotifPolicy {
    std::vector<Path> fs_readable;
    std::vector<Path> fs_writable;
    std::optional<Path> chroot;  // present: a virtual root is in force
    std::optional<std::string> hostname;
    std::optional<std::uint32_t> num_cpus;
    std::uint64_t max_memory = 0;  // bytes
    std::int64_t time_offset = 0;  // seconds

    // Which families of calls the dispatch sends to which handlers.
    bool memory = false;
    bool network = false;
    // Connects and sends by name go to the network handler, which judges Unix socket files;
    // set when the sandbox has an agent to make them.
    bool unix_sockets = false;
    bool random = false;
    bool time = false;
    bool proc_views = false;
    bool pid_filter = false;
    bool port_remap = false;
    bool cow = false;
    bool deterministic_dirs = false;

    // `time_offset` is computed by the spawn from `time_start` (0 without one).
    static NotifPolicy from_policy(const Policy& policy, std::int64_t time_offset);
};

// A fork held while the sandbox was frozen, answered by the supervisor once it is thawed.
struct HeldNotif {
    std::uint64_t id;
    std::uint32_t pid;  // the notifying thread, counted against the budget when answered
    bool operator==(const HeldNotif&) const = default;
};

// Listings the supervisor serves itself, per open directory (pid, descriptor number).
using DirCache = procfs::ListingCache;

struct SupervisorState {
    SupervisorState(std::uint32_t max_processes, std::optional<random::Rng> rng);

    // The sandbox's first process, whose pid is also its process group; the spawn sets it once
    // the child runs. The pidfd is the state's own duplicate of the sandbox's, and the first
    // recorded group gets another.
    void set_child(pid_t pid, int pidfd);

    // True when the normalised absolute path equals a denied entry or lies below one.
    bool is_path_denied(std::string_view path) const;
    // The same for the path of an open, creat, openat or openat2 notification, normalised and,
    // when relative, joined to the directory the call names (the caller's working directory or
    // its descriptor's path). Compared as bytes; an unreadable path is not denied.
    bool is_path_denied_for_notif(const SeccompNotif& notif, int listener) const;

    // The addresses thread `tid` may reach; none: every address. In order: the entries of its
    // process and of its ancestors up to the sandbox's first process (their intersection; all
    // entries when the chain no longer reaches that process), else the callback's live set once
    // it exists and is restricted or non-empty, else the allow-list of the policy.
    std::optional<std::set<IpAddr>> effective_network_policy(std::uint32_t tid) const;

    // The budgets: the smaller of the policy's limit and the one the callback set.
    std::uint32_t process_limit() const;
    std::uint64_t memory_limit(std::uint64_t policy_limit) const;

    std::uint64_t memory_used() const { return memory.used(); }

    std::optional<random::Rng> rng;
    resource::MemoryLedger memory;
    std::vector<std::uint32_t> fork_pids;  // sorted, the notifying pid of every counted fork
    PortMap port_map;
    DirCache proc_dir_cache;
    DirCache cow_dir_cache;
    DirCache chroot_dir_cache;
    // The virtual root, opened by the first call that needs it and kept for the sandbox's life.
    std::shared_ptr<const chroot::Root> chroot_root;
    // Whether a host file is a byte-for-byte copy of a file in the root, by the two files'
    // identities, sizes and modification times: an exec of the host's copy runs the same program.
    std::map<std::string, bool> chroot_copies;
    std::optional<std::set<IpAddr>> static_allowed_ips;
    // Makes the calls of the network handlers with the child's rights; present whenever those
    // handlers are routed.
    std::shared_ptr<agent::Agent> agent;
    std::vector<HeldNotif> held_notifs;
    bool frozen = false;
    std::optional<cow::SeccompCowBranch> cow_branch;
    // Opens of the layer's FIFOs waiting for their other end, answered when they return.
    std::shared_ptr<cow::PendingOpens> pending_opens;
    pid_t child_pid = 0;
    UniqueFd child_pidfd;
    groups::ProcessGroups groups;  // every group a sandbox process made, the first included
    std::shared_ptr<PidNetworks> pid_networks = std::make_shared<PidNetworks>();
    std::shared_ptr<DeniedPaths> denied_paths = std::make_shared<DeniedPaths>();
    // With a start time or a seed: keeps each process's vDSO patched after its exec.
    std::optional<vdso::Patcher> vdso;
    // The pipes behind the random devices the command opened, and the absolute sleeps held or
    // watched off the loop; made at the first need.
    std::shared_ptr<random::DeviceStreams> random_devices;
    std::shared_ptr<time::SleepKeeper> sleep_keeper;
    std::shared_ptr<PolicyEventQueue> policy_events;
    std::shared_ptr<SharedLivePolicy> live_policy;
    std::uint32_t fork_count = 0;
    std::uint32_t max_processes;
    // Where the metadata rule lets the child change a file's mode, owner, times and attributes,
    // and what makes those changes with the child's rights (knowing each thread's ids). Shared,
    // so that a handler can use them without holding the mutex.
    std::shared_ptr<const WriteTrees> write_trees = std::make_shared<const WriteTrees>();
    std::shared_ptr<child_rights::ChildRights> child_rights =
        std::make_shared<child_rights::ChildRights>();
};

// The state behind its mutex, shared by the sandbox and the supervisor. The mutex is taken for
// short steps only, never while a verdict of the policy callback is awaited.
struct SharedSupervisorState {
    template <class... Args>
    explicit SharedSupervisorState(Args&&... args) : state(std::forward<Args>(args)...) {}

    // Forks are held from here on (the checkpoint's freeze sets this once the group stopped).
    void freeze();
    // Forks are answered again, and the supervisor is woken to answer those it held.
    void thaw();

    std::mutex mutex;
    SupervisorState state;
    // Readable after a thaw: the supervisor polls it beside the listener. Invalid only when no
    // eventfd could be made; a freeze is then refused.
    UniqueFd wake{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
};

}  // namespace vestrion::seccomp::notif
