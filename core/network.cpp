#include "core/network.hpp"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "core/agent.hpp"
#include "core/child_rights.hpp"
#include "core/chroot/session.hpp"
#include "core/seccomp/child_path.hpp"
#include "core/seccomp/notif.hpp"
#include "core/sys/proc.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::network {

using seccomp::notif::Call;
using seccomp::notif::NotifAction;

std::optional<IpAddr> parse_ip_from_sockaddr(std::span<const std::uint8_t> b) {
    if (b.size() < 2) return std::nullopt;
    std::uint16_t family;
    std::memcpy(&family, b.data(), sizeof family);
    if (family == AF_INET && b.size() >= 8) {
        std::array<std::uint8_t, 4> v4;
        std::copy_n(b.begin() + 4, 4, v4.begin());
        return v4;
    }
    if (family == AF_INET6 && b.size() >= 24) {
        std::array<std::uint8_t, 16> v6;
        std::copy_n(b.begin() + 8, 16, v6.begin());
        return v6;
    }
    return std::nullopt;
}

std::expected<std::optional<IpAddr>, int> destination_ip(int domain, int type, bool connect,
                                                         std::span<const std::uint8_t> name) {
    if (domain == AF_UNIX || domain == AF_NETLINK) return std::nullopt;
    if (domain != AF_INET && domain != AF_INET6) return std::unexpected(EAFNOSUPPORT);
    if (name.size() < 2) return std::unexpected(EINVAL);
    std::uint16_t family;
    std::memcpy(&family, name.data(), sizeof family);
    // Shorter than the address its family takes: the kernel refuses it (EINVAL).
    auto v4 = [&]() -> std::expected<std::optional<IpAddr>, int> {
        if (name.size() < sizeof(sockaddr_in)) return std::unexpected(EINVAL);
        std::array<std::uint8_t, 4> ip;
        std::copy_n(name.begin() + 4, 4, ip.begin());
        return ip;
    };
    auto v6 = [&]() -> std::expected<std::optional<IpAddr>, int> {
        if (name.size() < 24) return std::unexpected(EINVAL);  // SIN6_LEN_RFC2133
        std::array<std::uint8_t, 16> ip;
        std::copy_n(name.begin() + 8, 16, ip.begin());
        return ip;
    };
    if (family == AF_UNSPEC) {
        if (connect) return std::nullopt;
        if (domain == AF_INET) return v4();
        return type == SOCK_DGRAM ? std::expected<std::optional<IpAddr>, int>(std::nullopt) : v6();
    }
    if (family == AF_INET) return v4();
    if (family == AF_INET6 && domain == AF_INET6) return v6();
    return std::unexpected(EAFNOSUPPORT);
}

Result<std::set<IpAddr>> resolve_hosts(const std::vector<std::string>& hosts) {
    std::set<IpAddr> ips;
    if (hosts.empty()) return ips;
    ips.insert(std::array<std::uint8_t, 4>{127, 0, 0, 1});
    std::array<std::uint8_t, 16> loopback6{};
    loopback6[15] = 1;
    ips.insert(loopback6);
    for (const std::string& host : hosts) {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        int rc = ::getaddrinfo(host.c_str(), "0", &hints, &found);
        if (rc != 0) {
            std::string why = rc == EAI_SYSTEM ? SystemError::last().message() : ::gai_strerror(rc);
            return std::unexpected(VestrionError(SandboxError(SandboxError::Io{SystemError::with_message(
                SystemError::Kind::Other, "failed to resolve host '" + host + "': " + why)})));
        }
        for (addrinfo* a = found; a; a = a->ai_next) {
            auto bytes = reinterpret_cast<const std::uint8_t*>(a->ai_addr);
            if (auto ip = parse_ip_from_sockaddr({bytes, a->ai_addrlen})) ips.insert(*ip);
        }
        ::freeaddrinfo(found);
    }
    return ips;
}

std::optional<int> rewrite_control(
    std::span<std::uint8_t> bytes, std::size_t max_rights,
    const std::function<std::expected<int, int>(int fd)>& take_fd,
    const std::function<std::optional<int>(const ucred&)>& check_credentials) {
    std::size_t taken = 0;
    std::size_t at = 0;
    while (at + sizeof(cmsghdr) <= bytes.size()) {
        cmsghdr header;
        std::memcpy(&header, bytes.data() + at, sizeof header);
        if (header.cmsg_len < sizeof(cmsghdr) || header.cmsg_len > bytes.size() - at)
            return EINVAL;
        std::uint8_t* data = bytes.data() + at + CMSG_LEN(0);
        std::size_t data_len = header.cmsg_len - CMSG_LEN(0);
        if (header.cmsg_level == SOL_SOCKET && header.cmsg_type == SCM_RIGHTS) {
            std::size_t count = data_len / sizeof(int);
            if (taken + count > max_rights) return EINVAL;
            for (std::size_t i = 0; i < count; ++i) {
                int fd;
                std::memcpy(&fd, data + i * sizeof(int), sizeof fd);
                auto index = take_fd(fd);
                if (!index) return index.error();
                ++taken;
                std::memcpy(data + i * sizeof(int), &*index, sizeof(int));
            }
        } else if (header.cmsg_level == SOL_SOCKET && header.cmsg_type == SCM_CREDENTIALS) {
            if (data_len != sizeof(ucred)) return EINVAL;
            ucred cred;
            std::memcpy(&cred, data, sizeof cred);
            if (auto refused = check_credentials(cred)) return refused;
        }
        at += CMSG_ALIGN(header.cmsg_len);
    }
    return std::nullopt;
}

namespace {

using Bytes = std::vector<std::uint8_t>;
// An answer that ends the handling: the error number the child's call fails with.
template <class T>
using Step = std::expected<T, int>;

constexpr std::size_t MAX_IOVECS = 1024;     // UIO_MAXIOV: more is EMSGSIZE
constexpr std::size_t MAX_MESSAGES = 1024;   // sendmmsg takes at most this many
constexpr std::size_t MSGHDR_SIZE = 56;      // struct msghdr on x86-64
constexpr std::size_t MMSGHDR_SIZE = 64;     // struct mmsghdr: msghdr, msg_len, padding

// Exactly `len` bytes of the child's memory; anything less is EFAULT, as the kernel's copy.
Step<Bytes> copy_in(const Call& call, std::uint64_t address, std::size_t len) {
    if (len == 0) return Bytes{};
    auto bytes = seccomp::notif::read_child_mem(call.listener, call.notif, address, len);
    if (!bytes || bytes->size() != len) return std::unexpected(EFAULT);
    return std::move(*bytes);
}

std::uint64_t load_u64(const Bytes& b, std::size_t at) {
    std::uint64_t v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

// The notifying thread and what it holds: its descriptors are reached through a pidfd of the
// thread itself (a process the sandbox forked has a table of its own), opened once per call
// and trusted only while the notification is still pending.
class Caller {
  public:
    explicit Caller(const Call& call) : call_(call) {}

    Step<int> pidfd() {
        if (pidfd_) return pidfd_.get();
        constexpr unsigned PIDFD_THREAD = O_EXCL;
        auto fd = sys::syscall::pidfd_open(static_cast<std::int32_t>(call_.notif.pid), PIDFD_THREAD);
        if (!fd || !seccomp::notif::still_valid(call_.listener, call_.notif.id))
            return std::unexpected(ENOSYS);
        pidfd_ = std::move(*fd);
        return pidfd_.get();
    }

    // The supervisor's duplicate of the caller's descriptor `fd`.
    Step<UniqueFd> dup(std::uint64_t fd) {
        auto pidfd = this->pidfd();
        if (!pidfd) return std::unexpected(pidfd.error());
        if (fd > INT_MAX) return std::unexpected(EBADF);
        auto dup = seccomp::notif::dup_child_fd(*pidfd, static_cast<int>(fd));
        if (!dup) return std::unexpected(dup.error().code() == EBADF ? EBADF : ENOSYS);
        return std::move(*dup);
    }

    const Call& call() const { return call_; }

  private:
    const Call& call_;
    UniqueFd pidfd_;
};

// Where a call goes, from the supervisor's copy of the address.
struct Target {
    agent::Destination::Kind kind = agent::Destination::Kind::None;
    Bytes bytes;  // the address, or a Unix path without its NUL
    UniqueFd base;
    std::optional<IpAddr> ip;

    agent::Destination destination() const { return {kind, bytes, base.get()}; }
};

int socket_option(int socket, int option) {
    int value = -1;
    socklen_t len = sizeof value;
    if (::getsockopt(socket, SOL_SOCKET, option, &value, &len) != 0) return -1;
    return value;
}

// The upper tree of the copy-on-write layer, by identity: the command's names in W lead there,
// and the sockets it binds in W lie there.
std::optional<seccomp::notif::FileId> layer_upper(const Call& call) {
    std::lock_guard lock(call.shared.mutex);
    const auto& layer = call.shared.state.cow_branch;
    if (!layer) return std::nullopt;
    struct stat st {};
    if (::stat(layer->upper().c_str(), &st) != 0) return std::nullopt;
    return seccomp::notif::FileId{st.st_dev, st.st_ino};
}

// The file a Unix path names, found as the caller finds it, with its rights: from its working
// directory or root, or under a virtual root beneath that root, where the path is virtual. With
// the root of the caller's mount namespace, where the file's name is found again.
struct FoundFile {
    UniqueFd file;
    UniqueFd child_root;
};

Step<FoundFile> find_socket_file(const Call& call, std::string path) {
    if (call.policy.chroot) {
        auto session = chroot::Session::open(call);
        if (!session) return std::unexpected(session.error());
        auto virt = session->virtual_path(AT_FDCWD, path);
        if (!virt) return std::unexpected(virt.error());
        auto found = session->as_child([&]() -> chroot::Errno<UniqueFd> {
            auto resolved = chroot::resolve(session->root(), *virt, true);
            if (!resolved) return std::unexpected(resolved.error());
            return chroot::open_resolved(*resolved);
        });
        if (!found) return std::unexpected(found.error());
        return FoundFile{std::move(*found),
                         UniqueFd(::fcntl(session->view().root.get(), F_DUPFD_CLOEXEC, 0))};
    }
    std::shared_ptr<child_rights::ChildRights> rights;
    {
        std::lock_guard lock(call.shared.mutex);
        rights = call.shared.state.child_rights;
    }
    if (!rights) return std::unexpected(EACCES);
    auto creds = child_rights::credentials_of(call.notif.pid);
    if (!creds) return std::unexpected(ESRCH);
    auto view = seccomp::notif::ThreadView::open(call.notif, call.listener);
    if (!view) return std::unexpected(view.error());
    auto lookup = seccomp::notif::prepare_lookup(*view, AT_FDCWD, std::move(path), true);
    if (!lookup) return std::unexpected(lookup.error());
    seccomp::notif::Errno<UniqueFd> found = std::unexpected(EPERM);
    if (!rights->run(*creds, [&] { found = seccomp::notif::finish_lookup(*lookup, true); }))
        return std::unexpected(EPERM);
    if (!found) return std::unexpected(found.error());
    return FoundFile{std::move(*found), std::move(view->root)};
}

// A Unix socket file named by the caller, found as the caller would find it (from its root or
// working directory, with its search rights) and judged where it lies. Landlock does not check a
// connect or a send to a socket file, so the command reaches one only beneath a tree it may write,
// where it could have made one itself: never a service of the host's (an engine's or the init
// system's socket) that its ids happen to be allowed to write. Under the copy-on-write layer W is
// such a tree, and its view of W lies in the layer's upper tree; under a virtual root the name
// is the root's, and so are the trees. EACCES elsewhere, and at once when the policy lends no
// such tree.
Step<UniqueFd> checked_socket_file(const Call& call, std::string path) {
    using seccomp::notif::Placement;
    using seccomp::notif::WriteTrees;
    std::shared_ptr<const WriteTrees> trees;
    {
        std::lock_guard lock(call.shared.mutex);
        trees = call.shared.state.write_trees;
    }
    const std::optional<seccomp::notif::FileId> upper = layer_upper(call);
    if ((!trees || trees->empty()) && !upper) return std::unexpected(EACCES);
    auto found = find_socket_file(call, std::move(path));
    if (!found) return std::unexpected(found.error());
    const int file = found->file.get(), root = found->child_root.get();
    // The entry a policy names is lent to the command as it stands: a socket file named in
    // fs_write is the command's to reach.
    const Placement where = trees ? seccomp::notif::place(file, root, *trees) : Placement::Outside;
    if (where == Placement::Writable || where == Placement::WriteRoot) return std::move(found->file);
    if (upper && seccomp::notif::place(file, root, WriteTrees({*upper})) == Placement::Writable)
        return std::move(found->file);
    return std::unexpected(EACCES);
}

// What the kernel will do with the name on this socket decides what is checked. On a Unix
// socket a path name is a file, judged where it lies and then reached as that very file.
// Abstract and unnamed addresses, and netlink ones, go as given; under the allow-list an IP
// destination is the one the kernel will send to on that socket.
Step<Target> resolve_target(const Call& call, Bytes name, int socket, bool connect) {
    Target t;
    if (name.empty()) return t;
    t.kind = agent::Destination::Kind::Address;
    const int domain = socket_option(socket, SO_DOMAIN);
    if (domain < 0) return std::unexpected(errno);
    std::uint16_t family = 0;
    if (name.size() >= 2) std::memcpy(&family, name.data(), sizeof family);
    if (domain == AF_UNIX && family == AF_UNIX) {
        if (name.size() > sizeof(sockaddr_un)) return std::unexpected(EINVAL);
        constexpr std::size_t path_at = offsetof(sockaddr_un, sun_path);
        if (name.size() > path_at && name[path_at] != 0) {
            auto end = std::find(name.begin() + path_at, name.end(), std::uint8_t{0});
            auto file = checked_socket_file(call, std::string(name.begin() + path_at, end));
            if (!file) return std::unexpected(file.error());
            t.kind = agent::Destination::Kind::File;
            t.base = std::move(*file);
            return t;
        }
    } else if (call.policy.network) {
        auto ip = destination_ip(domain, socket_option(socket, SO_TYPE), connect, name);
        if (!ip) return std::unexpected(ip.error());
        t.ip = *ip;
    }
    t.bytes = std::move(name);
    return t;
}

// ECONNREFUSED for an IP address outside what the notifying process may reach.
std::optional<int> refuse_address(const Call& call, const Target& target) {
    if (!target.ip) return std::nullopt;
    std::lock_guard lock(call.shared.mutex);
    auto allowed = call.shared.state.effective_network_policy(call.notif.pid);
    if (allowed && !allowed->contains(*target.ip)) return ECONNREFUSED;
    return std::nullopt;
}

// The destination, resolved and checked against the addresses the caller may reach.
Step<Target> checked_target(const Call& call, Bytes name, int socket, bool connect) {
    auto target = resolve_target(call, std::move(name), socket, connect);
    if (!target) return target;
    if (auto refused = refuse_address(call, *target)) return std::unexpected(*refused);
    return target;
}

// The policy callback's veto, asked before the act with what the act will use.
std::optional<NotifAction> veto_before_act(const Call& call, const Target& target) {
    SyscallEvent event = seccomp::notif::event_for(call.notif);
    event.host = target.ip;
    if (target.kind == agent::Destination::Kind::Address && target.bytes.size() >= 4 &&
        (target.bytes[2] != 0 || target.bytes[3] != 0))
        event.port = static_cast<std::uint16_t>((target.bytes[2] << 8) | target.bytes[3]);
    return seccomp::notif::ask_before_act(call, std::move(event));
}

// Who makes the call, and on what: the agent, and the supervisor's duplicate of the caller's
// socket (argument 0).
struct Acting {
    std::shared_ptr<agent::Agent> agent;
    UniqueFd socket;
};

Step<Acting> acting_for(const Call& call, Caller& caller) {
    Acting acting;
    {
        std::lock_guard lock(call.shared.mutex);
        acting.agent = call.shared.state.agent;
    }
    if (!acting.agent) return std::unexpected(ENOSYS);
    auto socket = caller.dup(call.notif.data.args[0]);
    if (!socket) return std::unexpected(socket.error());
    acting.socket = std::move(*socket);
    return acting;
}

// An address argument: more than the kernel's 128 bytes (or a negative length) is EINVAL.
Step<Bytes> copy_address(const Call& call, std::uint64_t address, std::uint64_t length) {
    auto len = static_cast<std::uint32_t>(length);
    if (len > agent::MAX_NAME) return std::unexpected(EINVAL);
    return copy_in(call, address, len);
}

NotifAction answer(const SysResult<std::int64_t>& done) {
    if (done) return NotifAction::ReturnValue{*done};
    return NotifAction::Errno{done.error().code()};
}

// --- The payload ---

bool is_stream(int socket) {
    int type = 0;
    socklen_t len = sizeof type;
    return ::getsockopt(socket, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
}

struct IoVec {
    std::uint64_t base;
    std::uint64_t len;
};

// The bytes of the iovecs in order, at most MAX_PAYLOAD of them: a stream socket sends a prefix
// (a short count, as a stream may), anything else above the cap is EMSGSIZE.
Step<Bytes> copy_payload(const Call& call, std::span<const IoVec> iovecs, bool stream) {
    std::uint64_t total = 0;
    for (const IoVec& v : iovecs) {
        if (v.len > static_cast<std::uint64_t>(SSIZE_MAX) || total + v.len < total)
            return std::unexpected(EINVAL);
        total += v.len;
    }
    if (total > agent::MAX_PAYLOAD && !stream) return std::unexpected(EMSGSIZE);
    Bytes payload;
    payload.reserve(std::min<std::uint64_t>(total, agent::MAX_PAYLOAD));
    for (const IoVec& v : iovecs) {
        std::size_t room = agent::MAX_PAYLOAD - payload.size();
        if (room == 0) break;
        auto part = copy_in(call, v.base, std::min<std::uint64_t>(v.len, room));
        if (!part) return std::unexpected(part.error());
        payload.insert(payload.end(), part->begin(), part->end());
    }
    return payload;
}

// --- Control data ---

// Control data the agent can send: the kernel would read descriptor numbers and credentials in
// the context of whoever sends, so SCM_RIGHTS entries become the caller's descriptors (passed
// to the agent) and SCM_CREDENTIALS must name the caller itself. Other entries carry values
// only and go as they are.
struct Control {
    Bytes bytes;
    std::vector<UniqueFd> rights;
    std::vector<int> rights_fds() const {
        std::vector<int> fds;
        for (const UniqueFd& fd : rights) fds.push_back(fd.get());
        return fds;
    }
};

std::optional<int> check_credentials(const Call& call, const ucred& cred) {
    auto ids = child_rights::credentials_of(call.notif.pid);
    auto tgid = sys::proc::thread_group(call.notif.pid);
    if (!ids || !tgid || !seccomp::notif::still_valid(call.listener, call.notif.id)) return ESRCH;
    // Real, effective or saved: what the kernel lets an unprivileged sender name.
    auto has = [](const std::array<std::uint32_t, 4>& set, std::uint32_t v) {
        return std::find(set.begin(), set.begin() + 3, v) != set.begin() + 3;
    };
    if (static_cast<std::uint32_t>(cred.pid) != *tgid || !has(ids->uids, cred.uid) ||
        !has(ids->gids, cred.gid))
        return EPERM;
    return std::nullopt;
}

Step<Control> translate_control(Caller& caller, Bytes bytes) {
    Control out;
    auto take_fd = [&](int fd) -> std::expected<int, int> {
        auto dup = caller.dup(static_cast<std::uint32_t>(fd));
        if (fd < 0 || !dup) return std::unexpected(EBADF);
        out.rights.push_back(std::move(*dup));
        return static_cast<int>(out.rights.size() - 1);
    };
    auto check = [&](const ucred& cred) { return check_credentials(caller.call(), cred); };
    if (auto error = rewrite_control(bytes, agent::MAX_RIGHTS, take_fd, check))
        return std::unexpected(*error);
    out.bytes = std::move(bytes);
    return out;
}

// --- The calls ---

NotifAction connect_on_behalf(const Call& call) {
    const auto& args = call.notif.data.args;
    Caller caller(call);
    auto name = copy_address(call, args[1], args[2]);
    if (!name) return NotifAction::Errno{name.error()};
    auto acting = acting_for(call, caller);
    if (!acting) return NotifAction::Errno{acting.error()};
    auto target = checked_target(call, std::move(*name), acting->socket.get(), true);
    if (!target) return NotifAction::Errno{target.error()};
    if (auto veto = veto_before_act(call, *target)) return std::move(*veto);
    return answer(acting->agent->connect(acting->socket.get(), target->destination()));
}

NotifAction sendto_on_behalf(const Call& call) {
    const auto& args = call.notif.data.args;
    // No destination: nothing the kernel reads again can lead anywhere this check would refuse.
    if (args[4] == 0) return NotifAction::Continue{};
    Caller caller(call);
    auto name = copy_address(call, args[4], args[5]);
    if (!name) return NotifAction::Errno{name.error()};
    auto acting = acting_for(call, caller);
    if (!acting) return NotifAction::Errno{acting.error()};
    auto target = checked_target(call, std::move(*name), acting->socket.get(), false);
    if (!target) return NotifAction::Errno{target.error()};
    IoVec whole{args[1], args[2]};
    auto payload = copy_payload(call, {&whole, 1}, is_stream(acting->socket.get()));
    if (!payload) return NotifAction::Errno{payload.error()};
    if (auto veto = veto_before_act(call, *target)) return std::move(*veto);
    agent::Message message{target->destination(), *payload, {}, {}, static_cast<int>(args[3])};
    return answer(acting->agent->send(acting->socket.get(), message));
}

// One struct msghdr at `address`, sent on `socket` with `flags`: the count sent or the error.
SysResult<std::int64_t> send_message(const Call& call, Caller& caller, agent::Agent& agent,
                                     int socket, std::uint64_t address, int flags) {
    auto fail = [](int error) { return std::unexpected(SystemError::from_errno(error)); };
    auto header = copy_in(call, address, MSGHDR_SIZE);
    if (!header) return fail(header.error());
    std::uint64_t name_at = load_u64(*header, 0);
    std::int32_t name_len;
    std::memcpy(&name_len, header->data() + 8, sizeof name_len);
    std::uint64_t iov_at = load_u64(*header, 16);
    std::uint64_t iov_count = load_u64(*header, 24);
    std::uint64_t control_at = load_u64(*header, 32);
    std::uint64_t control_len = load_u64(*header, 40);

    if (iov_count > MAX_IOVECS) return fail(EMSGSIZE);
    if (name_at == 0) name_len = 0;
    if (name_len < 0) return fail(EINVAL);
    // A longer name is cut to the largest address, as the kernel cuts it.
    auto name = copy_in(call, name_at, std::min<std::size_t>(name_len, agent::MAX_NAME));
    if (!name) return fail(name.error());
    auto target = checked_target(call, std::move(*name), socket, false);
    if (!target) return fail(target.error());

    auto iov_bytes = copy_in(call, iov_at, iov_count * sizeof(IoVec));
    if (!iov_bytes) return fail(iov_bytes.error());
    std::vector<IoVec> iovecs(iov_count);
    if (iov_count) std::memcpy(iovecs.data(), iov_bytes->data(), iov_bytes->size());
    auto payload = copy_payload(call, iovecs, is_stream(socket));
    if (!payload) return fail(payload.error());

    Control control;
    if (control_len > 0) {
        if (control_len > agent::MAX_CONTROL) return fail(ENOBUFS);
        auto bytes = copy_in(call, control_at, control_len);
        if (!bytes) return fail(bytes.error());
        auto translated = translate_control(caller, std::move(*bytes));
        if (!translated) return fail(translated.error());
        control = std::move(*translated);
    }

    if (auto veto = veto_before_act(call, *target)) {
        const auto* refusal = veto->get<NotifAction::Errno>();
        return fail(refusal ? refusal->error : EPERM);
    }
    std::vector<int> rights = control.rights_fds();
    agent::Message message{target->destination(), *payload, control.bytes, rights, flags};
    return agent.send(socket, message);
}

NotifAction sendmsg_on_behalf(const Call& call) {
    const auto& args = call.notif.data.args;
    Caller caller(call);
    auto acting = acting_for(call, caller);
    if (!acting) return NotifAction::Errno{acting.error()};
    return answer(send_message(call, caller, *acting->agent, acting->socket.get(), args[1],
                               static_cast<int>(args[2])));
}

// Each message as sendmsg sends it, with its msg_len written back; the count sent, or the first
// error when nothing was sent.
NotifAction sendmmsg_on_behalf(const Call& call) {
    const auto& args = call.notif.data.args;
    Caller caller(call);
    auto acting = acting_for(call, caller);
    if (!acting) return NotifAction::Errno{acting.error()};
    std::size_t count = std::min<std::size_t>(static_cast<std::uint32_t>(args[2]), MAX_MESSAGES);
    std::int64_t sent = 0;
    int error = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint64_t entry = args[1] + i * MMSGHDR_SIZE;
        auto done = send_message(call, caller, *acting->agent, acting->socket.get(), entry,
                                 static_cast<int>(args[3]));
        if (!done) {
            error = done.error().code();
            break;
        }
        auto len = static_cast<std::uint32_t>(*done);
        std::span<const std::uint8_t> len_bytes(reinterpret_cast<const std::uint8_t*>(&len), sizeof len);
        if (!seccomp::notif::write_child_mem(call.listener, call.notif, entry + MSGHDR_SIZE, len_bytes)) {
            error = EFAULT;
            break;
        }
        ++sent;
    }
    if (sent > 0 || error == 0) return NotifAction::ReturnValue{sent};
    return NotifAction::Errno{error};
}

}  // namespace

NotifAction handle_net(const Call& call) {
    switch (call.notif.data.nr) {
        case SYS_connect:
            return connect_on_behalf(call);
        case SYS_sendto:
            return sendto_on_behalf(call);
        case SYS_sendmsg:
            return sendmsg_on_behalf(call);
        case SYS_sendmmsg:
            return sendmmsg_on_behalf(call);
        default:
            return NotifAction::Continue{};
    }
}

}  // namespace vestrion::network
