#include "core/port_remap.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/agent.hpp"
#include "core/network.hpp"
#include "core/procfs.hpp"
#include "core/seccomp/dispatch.hpp"
#include "core/seccomp/notif.hpp"
#include "core/seccomp/state.hpp"

namespace vestrion {

void PortMap::record_bind(std::uint16_t virtual_port, std::uint16_t real_port) {
    bound_real.insert(real_port);
    if (virtual_port == real_port) return;
    virtual_to_real[virtual_port] = real_port;
    real_to_virtual[real_port] = virtual_port;
}

std::optional<std::uint16_t> PortMap::get_virtual(std::uint16_t real_port) const {
    auto it = real_to_virtual.find(real_port);
    if (it == real_to_virtual.end()) return std::nullopt;
    return it->second;
}

std::optional<std::uint16_t> PortMap::get_real(std::uint16_t virtual_port) const {
    auto it = virtual_to_real.find(virtual_port);
    if (it == virtual_to_real.end()) return std::nullopt;
    return it->second;
}

namespace port_remap {

namespace {

using seccomp::notif::Call;
using seccomp::notif::NotifAction;
using Bytes = std::vector<std::uint8_t>;
template <class T>
using Step = std::expected<T, int>;

constexpr std::size_t MAX_ADDRESS = 128;  // the kernel's sockaddr_storage

bool has_callback(const Call& call) {
    std::lock_guard lock(call.shared.mutex);
    return call.shared.state.policy_events != nullptr;
}

// The address argument as the kernel takes it: more than 128 bytes (or a negative length) is
// EINVAL, memory that cannot be read EFAULT.
Step<Bytes> copy_address(const Call& call, std::uint64_t address, std::uint64_t length) {
    const auto len = static_cast<std::uint32_t>(length);
    if (len > MAX_ADDRESS) return std::unexpected(EINVAL);
    if (len == 0) return Bytes{};
    auto bytes = seccomp::notif::read_child_mem(call.listener, call.notif, address, len);
    if (!bytes || bytes->size() != len) return std::unexpected(EFAULT);
    return std::move(*bytes);
}

// The supervisor's duplicate of the caller's socket (argument 0).
Step<UniqueFd> duplicate_socket(const Call& call) {
    const std::uint64_t fd = call.notif.data.args[0];
    if (fd > INT_MAX) return std::unexpected(EBADF);
    auto dup = procfs::child_descriptor(call.notif, static_cast<int>(fd));
    if (!dup || !seccomp::notif::still_valid(call.listener, call.notif.id))
        return std::unexpected(dup ? ESRCH : (dup.error().code() == EBADF ? EBADF : ENOSYS));
    return std::move(*dup);
}

Step<int> socket_domain(int socket) {
    int domain = 0;
    socklen_t len = sizeof domain;
    if (::getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0)
        return std::unexpected(errno);
    return domain;
}

bool is_ip(int domain) {
    return domain == AF_INET || domain == AF_INET6;
}

// The port of an IP address, none when the bytes are too short or of another family.
std::optional<std::uint16_t> port_of(const Bytes& address) {
    if (address.size() < 4) return std::nullopt;
    std::uint16_t family;
    std::memcpy(&family, address.data(), sizeof family);
    if (!is_ip(family)) return std::nullopt;
    return static_cast<std::uint16_t>((address[2] << 8) | address[3]);
}

Bytes with_port(Bytes address, std::uint16_t port) {
    address[2] = static_cast<std::uint8_t>(port >> 8);
    address[3] = static_cast<std::uint8_t>(port & 0xff);
    return address;
}

// The local port the socket holds now.
std::optional<std::uint16_t> local_port(int socket) {
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    if (::getsockname(socket, reinterpret_cast<sockaddr*>(&local), &len) != 0 || len < 4)
        return std::nullopt;
    auto* bytes = reinterpret_cast<const std::uint8_t*>(&local);
    return static_cast<std::uint16_t>((bytes[2] << 8) | bytes[3]);
}

// Where the agent binds: the address as given, or a Unix path name from the directory the child
// would resolve it from (its working directory, or its root for an absolute path).
struct Target {
    agent::Destination::Kind kind = agent::Destination::Kind::Address;
    Bytes bytes;
    UniqueFd base;
    agent::Destination destination() const { return {kind, bytes, base.get()}; }
};

Step<Target> target_of(const Call& call, Bytes address) {
    Target t;
    constexpr std::size_t path_at = offsetof(sockaddr_un, sun_path);
    std::uint16_t family = 0;
    if (address.size() >= 2) std::memcpy(&family, address.data(), sizeof family);
    // Abstract and unnamed addresses, and every other family, go as given.
    if (family != AF_UNIX || address.size() <= path_at || address[path_at] == 0) {
        t.bytes = std::move(address);
        return t;
    }
    auto end = std::find(address.begin() + path_at, address.end(), std::uint8_t{0});
    t.bytes.assign(address.begin() + path_at, end);
    const bool absolute = t.bytes[0] == '/';
    std::string dir = "/proc/" + std::to_string(call.notif.pid) + (absolute ? "/root" : "/cwd");
    t.base = UniqueFd(::open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!t.base) return std::unexpected(errno == ENOENT ? ESRCH : errno);
    if (!seccomp::notif::still_valid(call.listener, call.notif.id)) return std::unexpected(ESRCH);
    t.kind =
        absolute ? agent::Destination::Kind::PathInRoot : agent::Destination::Kind::PathFromDir;
    return t;
}

std::optional<NotifAction> veto(const Call& call, const Bytes& address) {
    SyscallEvent event = seccomp::notif::event_for(call.notif);
    event.host = network::parse_ip_from_sockaddr(address);
    if (auto port = port_of(address); port && *port != 0) event.port = *port;
    return seccomp::notif::ask_before_act(call, std::move(event));
}

NotifAction answer(const SysResult<std::int64_t>& done) {
    if (done) return NotifAction::ReturnValue{*done};
    return NotifAction::Errno{done.error().code()};
}

// The agent's bind of an IP address with `port_remap`: the port asked (or the real port that
// stands for it), and when the host holds it, a port the kernel chooses on the same address.
NotifAction bind_remapped(const Call& call, agent::Agent& agent, int socket, const Bytes& address,
                          std::uint16_t asked) {
    auto record = [&](std::uint16_t real) {
        std::lock_guard lock(call.shared.mutex);
        call.shared.state.port_map.record_bind(asked, real);
    };
    auto bind_as_child = [&](std::uint16_t port) {
        return agent.bind(socket, agent::Destination{agent::Destination::Kind::Address,
                                                     with_port(address, port), -1});
    };
    if (asked == 0) {
        auto done = agent.bind(socket, {agent::Destination::Kind::Address, address, -1});
        // Listed in the TCP table under the port the kernel chose, which stands for itself.
        if (auto chosen = done ? local_port(socket) : std::nullopt) {
            std::lock_guard lock(call.shared.mutex);
            call.shared.state.port_map.record_bind(*chosen, *chosen);
        }
        return answer(done);
    }
    std::optional<std::uint16_t> earlier;
    {
        std::lock_guard lock(call.shared.mutex);
        earlier = call.shared.state.port_map.get_real(asked);
    }
    if (earlier) {
        auto done = bind_as_child(*earlier);
        if (done || done.error().code() != EADDRINUSE) return answer(done);
    }
    auto done = bind_as_child(asked);
    if (done) {
        record(asked);
        return answer(done);
    }
    // A port that stands for this one already and is held (by the sandbox's own socket, most
    // likely): in use, as the port asked would be.
    if (done.error().code() != EADDRINUSE || earlier) return answer(done);
    // The kernel let the child have this port (Landlock's rules and the privileged floor come
    // before the check of ports in use); a port it chooses is never one those rules name.
    Bytes any = with_port(address, 0);
    if (::bind(socket, reinterpret_cast<const sockaddr*>(any.data()),
               static_cast<socklen_t>(any.size())) != 0)
        return NotifAction::Errno{EADDRINUSE};
    auto chosen = local_port(socket);
    if (!chosen) return NotifAction::Errno{EADDRINUSE};
    record(*chosen);
    return NotifAction::ReturnValue{0};
}

}  // namespace

NotifAction handle_bind(const Call& call) {
    const auto& args = call.notif.data.args;
    const bool remap = call.policy.port_remap;
    const bool callback = has_callback(call);
    // Nothing to check or move: the kernel binds in the child's own domain.
    if (!remap && !callback) return NotifAction::Continue{};

    auto socket = duplicate_socket(call);
    if (!socket) return NotifAction::Errno{socket.error()};
    auto domain = socket_domain(socket->get());
    if (!domain) return NotifAction::Errno{domain.error()};
    if (!is_ip(*domain) && !callback) return NotifAction::Continue{};

    auto address = copy_address(call, args[1], args[2]);
    if (!address) return NotifAction::Errno{address.error()};
    std::shared_ptr<agent::Agent> agent;
    {
        std::lock_guard lock(call.shared.mutex);
        agent = call.shared.state.agent;
    }
    if (!agent) return NotifAction::Errno{ENOSYS};
    auto target = target_of(call, *address);
    if (!target) return NotifAction::Errno{target.error()};
    if (auto refused = veto(call, *address)) return std::move(*refused);

    auto port = port_of(*address);
    if (remap && is_ip(*domain) && port)
        return bind_remapped(call, *agent, socket->get(), *address, *port);
    return answer(agent->bind(socket->get(), target->destination()));
}

NotifAction handle_getsockname(const Call& call) {
    const auto& args = call.notif.data.args;
    const std::uint64_t buffer = args[1], length_at = args[2];
    auto length_bytes = seccomp::notif::read_child_mem(call.listener, call.notif, length_at, 4);
    if (!length_bytes || length_bytes->size() != 4) return NotifAction::Errno{EFAULT};
    std::int32_t room;
    std::memcpy(&room, length_bytes->data(), sizeof room);
    if (room < 0) return NotifAction::Errno{EINVAL};

    auto socket = duplicate_socket(call);
    if (!socket) return NotifAction::Errno{socket.error()};
    sockaddr_storage local{};
    socklen_t len = sizeof local;
    if (::getsockname(socket->get(), reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return NotifAction::Errno{errno};
    auto* bytes = reinterpret_cast<std::uint8_t*>(&local);
    if (is_ip(local.ss_family) && len >= 4) {
        std::optional<std::uint16_t> shown;
        {
            std::lock_guard lock(call.shared.mutex);
            shown = call.shared.state.port_map.get_virtual(
                static_cast<std::uint16_t>((bytes[2] << 8) | bytes[3]));
        }
        if (shown) {
            bytes[2] = static_cast<std::uint8_t>(*shown >> 8);
            bytes[3] = static_cast<std::uint8_t>(*shown & 0xff);
        }
    }
    // As the kernel: at most the room the child gave, and the address's own length.
    const std::size_t copied = std::min<std::size_t>(static_cast<std::size_t>(room), len);
    if (copied > 0 &&
        !seccomp::notif::write_child_mem(call.listener, call.notif, buffer, {bytes, copied}))
        return NotifAction::Errno{EFAULT};
    const std::int32_t full = static_cast<std::int32_t>(len);
    if (!seccomp::notif::write_child_mem(
            call.listener, call.notif, length_at,
            {reinterpret_cast<const std::uint8_t*>(&full), sizeof full}))
        return NotifAction::Errno{EFAULT};
    return NotifAction::ReturnValue{0};
}

}  // namespace port_remap

}  // namespace vestrion
