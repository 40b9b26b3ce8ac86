// Port remapping: a server in the sandbox that asks for a port the host already holds gets
// another one, and keeps seeing the port it asked for.
//
// Every bind the supervisor makes for the child goes through the sandbox's agent, with the
// child's rights (Landlock's TCP ports, the unprivileged-port floor, the right to make a socket
// file). Only when the agent's bind of the port asked fails with EADDRINUSE, so that the kernel
// allowed that port to the child, does the supervisor bind a port the kernel chooses on the same
// address itself, and record which real port stands for the virtual one.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>

namespace vestrion {

namespace seccomp::notif {
struct Call;
struct NotifAction;
}  // namespace seccomp::notif

struct PortMap {
    // Only the pairs that differ.
    std::map<std::uint16_t, std::uint16_t> virtual_to_real;
    std::map<std::uint16_t, std::uint16_t> real_to_virtual;
    // Every real port a bind of the sandbox holds or held, remapped or not.
    std::set<std::uint16_t> bound_real;

    void record_bind(std::uint16_t virtual_port, std::uint16_t real_port);
    std::optional<std::uint16_t> get_virtual(std::uint16_t real_port) const;
    std::optional<std::uint16_t> get_real(std::uint16_t virtual_port) const;
};

namespace port_remap {

// bind (49). Without `port_remap` and without a policy callback the kernel binds (`Continue`);
// otherwise the agent binds from the supervisor's copy of the address, after the callback's
// verdict, and with `port_remap` an IP port the host holds is moved to a free one.
seccomp::notif::NotifAction handle_bind(const seccomp::notif::Call& call);

// getsockname (51): the socket's address with the virtual port in place of a remapped real one.
seccomp::notif::NotifAction handle_getsockname(const seccomp::notif::Call& call);

}  // namespace port_remap

}  // namespace vestrion
