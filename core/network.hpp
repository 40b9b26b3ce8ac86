// The network allow-list: which IP addresses a sandbox may reach, and the connect and send calls
// that the supervisor makes on the child's behalf so that the address it checked is the address
// used. The child's memory and descriptor table can change between a check and the kernel's own
// reading of them, so every such call is made from the supervisor's copies, on its duplicate of
// the child's socket, through the sandbox's agent (core/agent), which holds the child's rights.
#pragma once

#include <cstdint>
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

// The addresses of the policy's allowed hosts and the two loopback addresses; empty for no hosts.
Result<std::set<IpAddr>> resolve_hosts(const std::vector<std::string>& hosts);

// connect, sendto, sendmsg and sendmmsg of the child.
seccomp::notif::NotifAction handle_net(const seccomp::notif::Call& call);

}  // namespace vestrion::network
