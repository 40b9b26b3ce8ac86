// The dispatch: which handler answers a notification, by system-call number and routing switch,
// in a fixed order of rules. The handlers sit behind an interface so that the order can be
// checked without a child; handlers of features still to come answer as "not handled".
#pragma once

#include <cstdint>
#include <optional>

#include "core/random.hpp"
#include "core/seccomp/action.hpp"
#include "core/seccomp/state.hpp"

namespace vestrion::seccomp::notif {

// One notification with everything a handler may need.
struct Call {
    const SeccompNotif& notif;
    const NotifPolicy& policy;
    SharedSupervisorState& shared;
    int listener;
    // Set once the policy callback was asked about this call before the act: the event step
    // after the answer does not ask again.
    mutable bool policy_asked = false;
};

// A handler returning an optional answer gives none when the call is not its own, and the
// routing goes on with the next rule.
class Handlers {
  public:
    virtual ~Handlers() = default;

    virtual NotifAction fork(const Call& call);
    // setsid and setpgid.
    virtual NotifAction group_call(const Call& call);
    // The calls that act on another process or group by number.
    virtual NotifAction process_reach(const Call& call);
    virtual NotifAction memory(const Call& call);
    virtual NotifAction network(const Call& call);
    // The two random handlers run with the state mutex held; `rng` lives in the state.
    virtual NotifAction getrandom(const Call& call, random::Rng& rng);
    virtual std::optional<NotifAction> random_open(const Call& call, random::Rng& rng);
    virtual NotifAction timer(const Call& call);
    // The virtual root's open (open, openat, creat): `Continue` passes the call on. `dirfd` is
    // AT_FDCWD for open and creat.
    virtual NotifAction chroot_open(const Call& call, int dirfd);
    // Every other call that names a path under the root; none for the descriptor forms, which go
    // on to the later rules.
    virtual std::optional<NotifAction> chroot_call(const Call& call);
    // The copy-on-write layer: none for a path outside the working directory, which goes on to
    // the later rules (a change of metadata there reaches the metadata rule). Its read side
    // (listings, status, access, links, extended attributes) is asked only once the layer has
    // changed something.
    virtual std::optional<NotifAction> cow_write(const Call& call);
    virtual std::optional<NotifAction> cow_open(const Call& call);
    virtual std::optional<NotifAction> cow_read(const Call& call);
    virtual std::optional<NotifAction> cow_place(const Call& call);
    // Changes of a file's mode, owner, times or attributes, and the ioctls that change its flags.
    virtual NotifAction metadata(const Call& call);
    // None for a path or directory the /proc views do not serve.
    virtual std::optional<NotifAction> proc_open(const Call& call);
    virtual std::optional<NotifAction> proc_listing(const Call& call);
    virtual NotifAction cpu_affinity(const Call& call, std::uint32_t num_cpus);
    virtual NotifAction uname(const Call& call);
    virtual std::optional<NotifAction> hostname_open(const Call& call);
    virtual NotifAction sorted_listing(const Call& call);
    virtual NotifAction bind(const Call& call);
    virtual NotifAction getsockname(const Call& call);
};

// The answer to one notification, by the rules in their order, with the built-in handlers.
NotifAction dispatch(const SeccompNotif& notif, const NotifPolicy& policy,
                     SharedSupervisorState& shared, int listener);
NotifAction dispatch(const Call& call, Handlers& handlers);

}  // namespace vestrion::seccomp::notif
