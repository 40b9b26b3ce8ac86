#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "core/agent.hpp"
#include "core/chroot/handlers.hpp"
#include "core/seccomp/notif.hpp"

namespace vestrion::chroot {

namespace {

int domain_of(int socket) {
    int domain = -1;
    socklen_t len = sizeof domain;
    if (::getsockopt(socket, SOL_SOCKET, SO_DOMAIN, &domain, &len) != 0) return -1;
    return domain;
}

}  // namespace

// The kernel would make the socket file at the host's path of the name. Here the name is
// resolved beneath the root with the command's rights, and the agent binds the command's own
// socket from the directory found, with the command's rights: Landlock refuses it outside the
// writable trees. The name's copy decides; a name the command swaps in afterwards reaches the
// kernel only on a call this rule did not take, where Landlock alone decides.
std::optional<NotifAction> bind_socket(const Session& s) {
    const Call& call = s.call();
    const auto& a = call.notif.data.args;
    constexpr std::size_t kPathAt = offsetof(sockaddr_un, sun_path);
    const auto length = static_cast<std::uint32_t>(a[2]);
    if (length <= kPathAt || length > sizeof(sockaddr_un)) return std::nullopt;
    auto bytes = seccomp::notif::read_child_mem(call.listener, call.notif, a[1], length);
    if (!bytes || bytes->size() != length) return refuse(EFAULT);
    sockaddr_un address{};
    std::memcpy(&address, bytes->data(), length);
    // Abstract and unnamed addresses, and other families, are no file's.
    if (address.sun_family != AF_UNIX || address.sun_path[0] == '\0') return std::nullopt;
    if (a[0] > static_cast<std::uint64_t>(INT32_MAX)) return refuse(EBADF);
    auto socket = s.view().descriptor(static_cast<int>(a[0]));
    if (!socket) return refuse(socket.error());
    if (domain_of(socket->get()) != AF_UNIX) return std::nullopt;

    const std::string name(address.sun_path, ::strnlen(address.sun_path, length - kPathAt));
    auto virt = s.virtual_path(AT_FDCWD, name);
    if (!virt) return refuse(virt.error());
    if (!s.lists().can_write(*virt)) return refuse(EACCES);
    auto resolved = s.as_child([&] { return resolve(s.root(), *virt, false); });
    if (!resolved) return refuse(resolved.error());
    // A name that ends in "/" or names a directory: the kernel makes no socket there.
    if (resolved->name.empty()) return refuse(EADDRINUSE);
    if (resolved->must_be_dir) return refuse(ENOENT);

    std::shared_ptr<agent::Agent> agent;
    {
        std::lock_guard lock(call.shared.mutex);
        agent = call.shared.state.agent;
    }
    if (!agent) return refuse(EACCES);
    if (auto refused = seccomp::notif::ask_before_act(call, seccomp::notif::event_for(call.notif)))
        return std::move(*refused);
    const auto* last = reinterpret_cast<const std::uint8_t*>(resolved->name.data());
    const agent::Destination where{agent::Destination::Kind::PathFromDir,
                                   {last, resolved->name.size()}, resolved->dir.get()};
    auto done = agent->bind(socket->get(), where);
    if (!done) return refuse(done.error().code());
    return NotifAction::ReturnValue{*done};
}

}  // namespace vestrion::chroot
