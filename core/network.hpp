// The network allow-list: which IP addresses a sandbox may reach; which Unix socket files it may
// reach (those beneath the trees it may write); and the connect and send calls that the
// supervisor makes on the child's behalf so that the address it checked is the address used. The child's memory and descriptor table can change between a check and the kernel's own
// reading of them, so every such call is made from the supervisor's copies, on its duplicate of
// the child's socket, through the sandbox's agent (core/agent), which holds the child's rights.
#pragma once

#include <sys/socket.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/policy_fn.hpp"
#include "core/seccomp/action.hpp"
#include "core/seccomp/dispatch.hpp"

namespace vestrion::network {

// The IP address of an AF_INET or AF_INET6 socket address; none for any other family or for
// bytes too short to hold one. An IPv4 address and the IPv6 address that maps it differ.
std::optional<IpAddr> parse_ip_from_sockaddr(std::span<const std::uint8_t> bytes);

// Control data a command would send, rewritten in place for the agent that sends it: each
// SCM_RIGHTS descriptor number becomes the index `take_fd` gives it (having taken the
// descriptor), at most `max_rights` in all, and each SCM_CREDENTIALS record must hold one ucred
// that `check_credentials` accepts. Other records pass as they are. The first error: EINVAL for
// a record that overruns the bytes or for too many descriptors, else the callbacks' own.
std::optional<int> rewrite_control(
    std::span<std::uint8_t> bytes, std::size_t max_rights,
    const std::function<std::expected<int, int>(int fd)>& take_fd,
    const std::function<std::optional<int>(const ucred&)>& check_credentials);

// The IP address the kernel will reach with destination `name` (not empty) on a socket of
// `domain` and `type`, by connect or by a send: none when it reaches no IP address (a connect
// with AF_UNSPEC dissolves the association; UDP over IPv6 takes AF_UNSPEC as no destination;
// Unix and netlink sockets), or the error number that refuses a destination the allow-list cannot
// judge. The kernel takes AF_UNSPEC as AF_INET on IPv4 sockets, and raw IPv6 sockets take it as
// AF_INET6, so the family field alone does not tell.
std::expected<std::optional<IpAddr>, int> destination_ip(int domain, int type, bool connect,
                                                         std::span<const std::uint8_t> name);

// The addresses of the policy's allowed hosts and the two loopback addresses; empty for no hosts.
Result<std::set<IpAddr>> resolve_hosts(const std::vector<std::string>& hosts);

// connect, sendto, sendmsg and sendmmsg of the child: each is made for it, never continued, as
// a name in its memory could change after the check (sendto without a destination is not
// routed).
seccomp::notif::NotifAction handle_net(const seccomp::notif::Call& call);

}  // namespace vestrion::network
