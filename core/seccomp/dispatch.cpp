#include "core/seccomp/dispatch.hpp"

#include <fcntl.h>
#include <sys/syscall.h>

#include <mutex>

#include "core/chroot/dispatch.hpp"
#include "core/cow/dispatch.hpp"
#include "core/network.hpp"
#include "core/port_remap.hpp"
#include "core/process_groups.hpp"
#include "core/procfs_views.hpp"
#include "core/random_calls.hpp"
#include "core/resource.hpp"
#include "core/seccomp/metadata.hpp"
#include "core/time.hpp"

namespace vestrion::seccomp::notif {

namespace {

using Answer = std::optional<NotifAction>;

bool is_fork_family(int nr) {
    return nr == SYS_clone || nr == SYS_fork || nr == SYS_vfork || nr == SYS_clone3;
}

bool is_memory_call(int nr) {
    return nr == SYS_mmap || nr == SYS_munmap || nr == SYS_brk || nr == SYS_mremap ||
           nr == SYS_shmget;
}

bool is_network_call(int nr) {
    return nr == SYS_connect || nr == SYS_sendto || nr == SYS_sendmsg || nr == SYS_sendmmsg;
}

bool is_listing(int nr) {
    return nr == SYS_getdents || nr == SYS_getdents64;
}

// Rules 1 to 6: budgets, network, randomness, timers.
Answer early_rules(const Call& call, Handlers& h) {
    const int nr = call.notif.data.nr;
    const NotifPolicy& p = call.policy;
    if (is_fork_family(nr)) return h.fork(call);
    if (nr == SYS_setsid || nr == SYS_setpgid) return h.group_call(call);
    if (groups::reaches_process(nr)) return h.process_reach(call);
    if (p.memory && is_memory_call(nr)) return h.memory(call);
    if ((p.network || p.unix_sockets) && is_network_call(nr)) return h.network(call);
    if (p.random && (nr == SYS_getrandom || nr == SYS_openat || nr == SYS_open)) {
        std::lock_guard lock(call.shared.mutex);
        if (auto& rng = call.shared.state.rng) {
            if (nr == SYS_getrandom) return h.getrandom(call, *rng);
            if (auto answer = h.random_open(call, *rng)) return answer;
        }
    }
    if (p.time &&
        (nr == SYS_timer_settime || nr == SYS_clock_nanosleep || nr == SYS_timerfd_settime))
        return h.timer(call);
    return std::nullopt;
}

// Rule 7: the virtual root. A `Continue` from its open passes the call on.
Answer chroot_rules(const Call& call, Handlers& h) {
    const int nr = call.notif.data.nr;
    if (nr == SYS_openat || nr == SYS_open || nr == SYS_creat) {
        int dirfd = nr == SYS_openat ? static_cast<int>(call.notif.data.args[0]) : AT_FDCWD;
        NotifAction answer = h.chroot_open(call, dirfd);
        if (!answer.is<NotifAction::Continue>()) return answer;
        return std::nullopt;
    }
    if (chroot::dispatch::is_chroot_call(nr)) return h.chroot_call(call);
    return std::nullopt;
}

// Rule 8: the copy-on-write layer. Its read side acts only once the layer has changed something.
Answer cow_rules(const Call& call, Handlers& h) {
    const int nr = call.notif.data.nr;
    if (cow::dispatch::is_cow_write(nr)) return h.cow_write(call);
    if (cow::dispatch::is_cow_open(nr)) return h.cow_open(call);
    if (cow::dispatch::is_cow_place(nr)) return h.cow_place(call);
    if (!cow::dispatch::is_cow_read(nr)) return std::nullopt;
    bool dirty;
    {
        std::lock_guard lock(call.shared.mutex);
        const auto& branch = call.shared.state.cow_branch;
        dirty = branch && branch->dirty();
    }
    return dirty ? h.cow_read(call) : std::nullopt;
}

// Rules 9 to 13: views of /proc, the CPU count, the host name, sorted listings, ports.
Answer view_rules(const Call& call, Handlers& h) {
    const int nr = call.notif.data.nr;
    const NotifPolicy& p = call.policy;
    if (p.proc_views) {
        if (nr == SYS_openat) {
            if (auto answer = h.proc_open(call)) return answer;
        }
        if (p.pid_filter && is_listing(nr)) {
            if (auto answer = h.proc_listing(call)) return answer;
        }
    }
    if (p.num_cpus && nr == SYS_sched_getaffinity) return h.cpu_affinity(call, *p.num_cpus);
    if (p.hostname) {
        if (nr == SYS_uname) return h.uname(call);
        if (nr == SYS_openat) {
            if (auto answer = h.hostname_open(call)) return answer;
        }
    }
    if (p.deterministic_dirs && is_listing(nr)) return h.sorted_listing(call);
    if (nr == SYS_bind && (p.port_remap || p.network)) return h.bind(call);
    if (nr == SYS_getsockname && p.port_remap) return h.getsockname(call);
    return std::nullopt;
}

}  // namespace

NotifAction dispatch(const Call& call, Handlers& handlers) {
    if (auto answer = early_rules(call, handlers)) return std::move(*answer);
    if (call.policy.chroot) {
        if (auto answer = chroot_rules(call, handlers)) return std::move(*answer);
    }
    if (call.policy.cow) {
        if (auto answer = cow_rules(call, handlers)) return std::move(*answer);
    }
    // Always in force: Landlock leaves metadata alone. The views of a file system above act on
    // their own files first.
    if (is_metadata_call(call.notif)) return handlers.metadata(call);
    if (auto answer = view_rules(call, handlers)) return std::move(*answer);
    return NotifAction::Continue{};
}

NotifAction dispatch(const SeccompNotif& notif, const NotifPolicy& policy,
                     SharedSupervisorState& shared, int listener) {
    Handlers handlers;
    return dispatch(Call{notif, policy, shared, listener}, handlers);
}

// --- The built-in handlers. ---

NotifAction Handlers::fork(const Call& call) {
    return resource::handle_fork(call.notif, call.shared);
}

NotifAction Handlers::group_call(const Call& call) {
    return groups::handle_group_call(call.notif, call.shared);
}

NotifAction Handlers::process_reach(const Call& call) {
    return groups::handle_process_reach(call.notif, call.shared);
}

NotifAction Handlers::memory(const Call& call) {
    return resource::handle_memory(call.notif, call.policy, call.shared);
}

NotifAction Handlers::network(const Call& call) {
    return network::handle_net(call);
}

NotifAction Handlers::metadata(const Call& call) {
    return handle_metadata(call);
}

NotifAction Handlers::chroot_open(const Call& call, int) {
    return chroot::dispatch::handle_open(call);
}
std::optional<NotifAction> Handlers::chroot_call(const Call& call) {
    return chroot::dispatch::handle_call(call);
}

std::optional<NotifAction> Handlers::cow_write(const Call& call) {
    return cow::dispatch::handle_cow_write(call);
}
std::optional<NotifAction> Handlers::cow_open(const Call& call) {
    return cow::dispatch::handle_cow_open(call);
}
std::optional<NotifAction> Handlers::cow_read(const Call& call) {
    return cow::dispatch::handle_cow_read(call);
}
std::optional<NotifAction> Handlers::cow_place(const Call& call) {
    return cow::dispatch::handle_cow_place(call);
}

// Handlers still to come answer as if they had not been routed: `Continue`, or none where the
// routing goes on. Each names the handler that will take its place.
NotifAction Handlers::getrandom(const Call& call, random::Rng& rng) {
    return random::handle_getrandom(call, rng);
}

std::optional<NotifAction> Handlers::random_open(const Call& call, random::Rng& rng) {
    auto& devices = call.shared.state.random_devices;
    if (!devices) devices = std::make_shared<random::DeviceStreams>();
    return random::handle_random_open(call, rng, *devices);
}

NotifAction Handlers::timer(const Call& call) {
    return time::handle_timer(call, call.policy.time_offset);
}

// The /proc views, the CPU count, the host name and sorted listings.
std::optional<NotifAction> Handlers::proc_open(const Call& call) {
    return procfs::handle_proc_open(call);
}
std::optional<NotifAction> Handlers::proc_listing(const Call& call) {
    return procfs::handle_getdents(call);
}
NotifAction Handlers::cpu_affinity(const Call& call, std::uint32_t num_cpus) {
    return procfs::handle_sched_getaffinity(call, num_cpus);
}
NotifAction Handlers::uname(const Call& call) {
    return procfs::handle_uname(call, call.policy.hostname.value_or(""));
}
std::optional<NotifAction> Handlers::hostname_open(const Call& call) {
    return procfs::handle_hostname_open(call, call.policy.hostname.value_or(""));
}
NotifAction Handlers::sorted_listing(const Call& call) {
    return procfs::handle_sorted_getdents(call);
}
// Port remapping, and binds made for the child.
NotifAction Handlers::bind(const Call& call) {
    return port_remap::handle_bind(call);
}
NotifAction Handlers::getsockname(const Call& call) {
    return port_remap::handle_getsockname(call);
}

}  // namespace vestrion::seccomp::notif
