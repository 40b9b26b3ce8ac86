#include "core/agent.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/sys/syscall.hpp"

namespace vestrion::agent {

bool fix_control(std::uint8_t* control, std::size_t len, const int* rights, std::size_t count,
                 int pid) noexcept {
    std::size_t at = 0;
    while (at + sizeof(cmsghdr) <= len) {
        cmsghdr header;
        std::memcpy(&header, control + at, sizeof header);
        if (header.cmsg_len < sizeof(cmsghdr) || header.cmsg_len > len - at) return false;
        std::uint8_t* data = control + at + CMSG_LEN(0);
        std::size_t data_len = header.cmsg_len - CMSG_LEN(0);
        if (header.cmsg_level == SOL_SOCKET && header.cmsg_type == SCM_RIGHTS) {
            for (std::size_t i = 0; i + sizeof(int) <= data_len; i += sizeof(int)) {
                int index;
                std::memcpy(&index, data + i, sizeof index);
                if (index < 0 || static_cast<std::size_t>(index) >= count) return false;
                std::memcpy(data + i, &rights[index], sizeof(int));
            }
        } else if (header.cmsg_level == SOL_SOCKET && header.cmsg_type == SCM_CREDENTIALS &&
                   data_len >= sizeof(ucred)) {
            // The supervisor checked that the child named itself; the kernel lets us name only
            // ourselves.
            std::memcpy(data + offsetof(ucred, pid), &pid, sizeof pid);
        }
        at += CMSG_ALIGN(header.cmsg_len);
    }
    return true;
}

namespace {

// One request: this header with the socket (and the base directory of a path) attached, then
// the destination, the control data and the payload; then, when `rights` is not 0, one byte
// carrying those descriptors. The reply is one i64: the result, or a negated error number.
enum Op : std::uint32_t { OP_CONNECT = 1, OP_SEND = 2, OP_BIND = 3 };

struct Request {
    std::uint32_t op;
    std::int32_t flags;
    std::uint32_t dest_kind;  // Destination::Kind
    std::uint32_t dest_len;
    std::uint32_t control_len;
    std::uint32_t rights;
    std::uint64_t payload_len;
};

// The destination has room for a NUL after it, which a path needs.
constexpr std::size_t DEST_SIZE = MAX_NAME + 1;
constexpr std::size_t BUFFER_SIZE = DEST_SIZE + MAX_CONTROL + MAX_PAYLOAD;

template <class... Args>
long sys(long nr, Args... args) noexcept {
    return sys::syscall::raw(nr, (long)args...);
}

// --- The agent itself: raw system calls, no allocation. ---

[[noreturn]] void quit() noexcept {
    sys(SYS_exit_group, 0);
    __builtin_unreachable();
}

// Reads exactly `len` bytes; false at the end of the stream or on an error.
bool read_exact(int fd, void* buf, std::size_t len) noexcept {
    auto* p = static_cast<char*>(buf);
    while (len > 0) {
        long n = sys(SYS_read, fd, p, len);
        if (n == -EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// Receives `len` bytes with the descriptors attached to them; the count of descriptors, or -1.
long recv_with_fds(int fd, void* buf, std::size_t len, int* fds, std::size_t max_fds) noexcept {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MAX_RIGHTS)];
    iovec iov{buf, len};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * max_fds);
    long n;
    do {
        n = sys(SYS_recvmsg, fd, &msg, MSG_CMSG_CLOEXEC);
    } while (n == -EINTR);
    if (n <= 0) return -1;
    long count = 0;
    if (msg.msg_controllen >= sizeof(cmsghdr)) {
        auto* c = reinterpret_cast<cmsghdr*>(control);
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS && c->cmsg_len >= CMSG_LEN(0)) {
            count = static_cast<long>((c->cmsg_len - CMSG_LEN(0)) / sizeof(int));
            std::memcpy(fds, CMSG_DATA(c), static_cast<std::size_t>(count) * sizeof(int));
        }
    }
    if (msg.msg_flags & MSG_CTRUNC) count = -1;
    if (static_cast<std::size_t>(n) < len && !read_exact(fd, static_cast<char*>(buf) + n,
                                                         len - static_cast<std::size_t>(n)))
        count = -1;
    return count;
}

// "/proc/self/fd/N" as a Unix address; its length.
socklen_t proc_fd_address(sockaddr_un& addr, int fd) noexcept {
    addr = {};
    addr.sun_family = AF_UNIX;
    const char prefix[] = "/proc/self/fd/";
    std::memcpy(addr.sun_path, prefix, sizeof prefix - 1);
    char digits[12];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + fd % 10);
        fd /= 10;
    } while (fd > 0);
    std::size_t at = sizeof prefix - 1;
    while (n > 0) addr.sun_path[at++] = digits[--n];
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + at + 1);
}

// Binds `socket` to the Unix path `path` (`len` bytes, room for a NUL after them) as the child
// would: the directory that holds the name is opened from `base` (beneath it for an absolute
// path), and the last name is bound from there. A name reached through /proc/self/fd/N would
// have to fit the 108 bytes of an address with that prefix; from its directory it always fits.
long bind_path(int socket, std::uint8_t* path, std::size_t len, int base, bool in_root) noexcept {
    std::size_t name_at = len;
    while (name_at > 0 && path[name_at - 1] != '/') --name_at;
    const std::size_t name_len = len - name_at;
    if (name_len == 0) return -ENOENT;
    char root[] = "/";
    char here[] = ".";
    char* dir = here;
    if (name_at == 1) {
        dir = root;
    } else if (name_at > 1) {
        path[name_at - 1] = 0;
        dir = reinterpret_cast<char*>(path);
    }
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = in_root ? RESOLVE_IN_ROOT : 0;
    long dir_fd = sys(SYS_openat2, base, dir, &how, sizeof how);
    if (dir_fd < 0) return dir_fd;
    long ret = sys(SYS_fchdir, dir_fd);
    sys(SYS_close, dir_fd);
    if (ret < 0) return ret;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path + name_at, name_len);
    ret = sys(SYS_bind, socket, &addr, offsetof(sockaddr_un, sun_path) + name_len);
    // Hold no directory of the child's: a mount there must stay free to go.
    char top[] = "/";
    sys(SYS_chdir, top);
    return ret;
}

long perform(const Request& req, std::uint8_t* buf, int socket, int base, const int* rights) noexcept {
    std::uint8_t* dest = buf;
    std::uint8_t* control = buf + DEST_SIZE;
    std::uint8_t* payload = buf + DEST_SIZE + MAX_CONTROL;
    const int pid = static_cast<int>(sys(SYS_getpid));
    if (!fix_control(control, req.control_len, rights, req.rights, pid)) return -EINVAL;

    const void* name = nullptr;
    socklen_t name_len = 0;
    sockaddr_un by_fd;
    long path_fd = -1;
    auto kind = static_cast<Destination::Kind>(req.dest_kind);
    if (req.op == OP_BIND) {
        if (kind == Destination::Kind::PathFromDir || kind == Destination::Kind::PathInRoot)
            return bind_path(socket, dest, req.dest_len, base,
                             kind == Destination::Kind::PathInRoot);
        return sys(SYS_bind, socket, dest, req.dest_len);
    }
    if (kind == Destination::Kind::Address) {
        name = dest;
        name_len = req.dest_len;
    } else if (kind == Destination::Kind::File) {
        if (base < 0) return -EBADF;
        name = &by_fd;
        name_len = proc_fd_address(by_fd, base);
    } else if (kind == Destination::Kind::PathFromDir || kind == Destination::Kind::PathInRoot) {
        dest[req.dest_len] = 0;
        open_how how{};
        how.flags = O_PATH | O_CLOEXEC;
        how.resolve = kind == Destination::Kind::PathInRoot ? RESOLVE_IN_ROOT : 0;
        path_fd = sys(SYS_openat2, base, dest, &how, sizeof how);
        if (path_fd < 0) return path_fd;
        name = &by_fd;
        name_len = proc_fd_address(by_fd, static_cast<int>(path_fd));
    }

    long ret;
    if (req.op == OP_CONNECT) {
        ret = sys(SYS_connect, socket, name, name_len);
    } else {
        iovec iov{payload, req.payload_len};
        msghdr msg{};
        msg.msg_name = const_cast<void*>(name);
        msg.msg_namelen = name_len;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = req.control_len ? control : nullptr;
        msg.msg_controllen = req.control_len;
        ret = sys(SYS_sendmsg, socket, &msg, req.flags);
    }
    if (path_fd >= 0) sys(SYS_close, path_fd);
    return ret;
}

[[noreturn]] void serve(int channel) noexcept {
    long mapped = sys(SYS_mmap, 0, BUFFER_SIZE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                      -1, 0);
    if (sys::syscall::is_error(mapped)) quit();
    auto* buf = reinterpret_cast<std::uint8_t*>(mapped);
    int rights[MAX_RIGHTS];
    while (true) {
        Request req;
        int fds[2] = {-1, -1};
        long nfds = recv_with_fds(channel, &req, sizeof req, fds, 2);
        if (nfds < 1) quit();
        if (req.dest_len > MAX_NAME || req.control_len > MAX_CONTROL ||
            req.payload_len > MAX_PAYLOAD || req.rights > MAX_RIGHTS)
            quit();
        if (!read_exact(channel, buf, req.dest_len) ||
            !read_exact(channel, buf + DEST_SIZE, req.control_len) ||
            !read_exact(channel, buf + DEST_SIZE + MAX_CONTROL, req.payload_len))
            quit();
        long nrights = 0;
        if (req.rights > 0) {
            char byte;
            nrights = recv_with_fds(channel, &byte, 1, rights, req.rights);
            if (nrights != static_cast<long>(req.rights)) quit();
        }
        std::int64_t reply = perform(req, buf, fds[0], nfds > 1 ? fds[1] : -1, rights);
        for (long i = 0; i < nfds; ++i) sys(SYS_close, fds[i]);
        for (long i = 0; i < nrights; ++i) sys(SYS_close, rights[i]);
        if (sys(SYS_sendto, channel, &reply, sizeof reply, MSG_NOSIGNAL, 0, 0) != sizeof reply) quit();
    }
}

[[noreturn]] void agent_main(int channel, int parent) noexcept {
    // Before anything else: the command shares our ids, and must not read what we copied of
    // the caller's memory.
    sys(SYS_prctl, PR_SET_DUMPABLE, 0, 0, 0, 0);
    // The supervisor waits for this byte before it lets the child go on towards the command's
    // exec: until now the command could have opened our memory.
    const char ready = 1;
    if (sys(SYS_write, channel, &ready, 1) != 1) quit();
    sys(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (sys(SYS_getppid) != parent) quit();
    // Nothing of the child's but the channel: no capture pipe stays open through us. The
    // signal mask stays as the sandbox thread left it, everything blocked.
    if (channel > 0) sys::syscall::close_range(0, static_cast<unsigned>(channel) - 1, 0);
    sys::syscall::close_range(static_cast<unsigned>(channel) + 1, ~0u, 0);
    serve(channel);
}

}  // namespace

int start(Started& out) noexcept {
    int fds[2];
    long ret = sys(SYS_socketpair, AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    if (ret < 0) return static_cast<int>(-ret);
    int parent = static_cast<int>(sys(SYS_getppid));
    int pidfd = -1;
    // A fork (no CLONE_VM) that the caller, not the command, is the parent of.
    long pid = sys(SYS_clone, CLONE_PARENT | CLONE_PIDFD | SIGCHLD, 0, &pidfd, 0, 0);
    if (pid == 0) {
        sys(SYS_close, fds[0]);
        agent_main(fds[1], parent);
    }
    sys(SYS_close, fds[1]);
    if (pid < 0) {
        sys(SYS_close, fds[0]);
        return static_cast<int>(-pid);
    }
    // The agent's first byte goes to the supervisor (Agent::await_ready), which reads it before
    // it lets this child go on: the child need not wait for the agent to be scheduled.
    out = {fds[0], pidfd};
    return 0;
}

// --- The supervisor's side. ---

namespace {

// The process id a pidfd stands for, from its "Pid:" line; 0 when it cannot be read.
int pid_of(int pidfd) noexcept {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/self/fdinfo/%d", pidfd);
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return 0;
    char text[512];
    ssize_t n = ::read(fd.get(), text, sizeof text - 1);
    if (n <= 0) return 0;
    text[n] = 0;
    const char* line = std::strstr(text, "\nPid:");
    return line ? std::atoi(line + 5) : 0;
}

}  // namespace

Agent::Agent(UniqueFd channel, UniqueFd pidfd, int stop_fd) noexcept
    : channel_(std::move(channel)), pidfd_(std::move(pidfd)), pid_(pid_of(pidfd_.get())),
      stop_fd_(stop_fd) {}

Agent::~Agent() {
    channel_.reset();  // the agent ends at the end of its stream
    if (!pidfd_) return;
    // It may be stopped, or still inside a call: make sure.
    (void)sys::syscall::pidfd_send_signal(pidfd_.get(), SIGKILL, 0);
    siginfo_t info{};
    while (::waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, WEXITED) < 0 &&
           errno == EINTR) {
    }
}

SysResult<void> Agent::await_ready() {
    char ready = 0;
    ssize_t got;
    do {
        got = ::read(channel_.get(), &ready, 1);
    } while (got < 0 && errno == EINTR);
    if (got == 1) return {};
    broken_ = true;
    // The agent ended before it was safe from the command: no agent at all.
    return std::unexpected(got < 0 ? SystemError::last() : SystemError::from_errno(EIO));
}

SysResult<std::int64_t> Agent::connect(int socket, const Destination& to) {
    return call(OP_CONNECT, socket, Message{to, {}, {}, {}, 0});
}

SysResult<std::int64_t> Agent::bind(int socket, const Destination& to) {
    return call(OP_BIND, socket, Message{to, {}, {}, {}, 0});
}

SysResult<std::int64_t> Agent::send(int socket, const Message& message) {
    return call(OP_SEND, socket, message);
}

namespace {

bool send_all(int fd, const void* data, std::size_t len) {
    auto* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

bool send_with_fds(int fd, const void* data, std::size_t len, std::span<const int> fds) {
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * MAX_RIGHTS)];
    iovec iov{const_cast<void*>(data), len};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    ssize_t n;
    do {
        n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    return send_all(fd, static_cast<const char*>(data) + n, len - static_cast<std::size_t>(n));
}

}  // namespace

SysResult<std::int64_t> Agent::call(std::uint32_t op, int socket, const Message& m) {
    const Destination& to = m.to;
    bool by_path = to.kind == Destination::Kind::PathFromDir ||
                   to.kind == Destination::Kind::PathInRoot || to.kind == Destination::Kind::File;
    if (to.bytes.size() > MAX_NAME || m.control.size() > MAX_CONTROL ||
        m.payload.size() > MAX_PAYLOAD || m.rights.size() > MAX_RIGHTS)
        return std::unexpected(SystemError::from_errno(EMSGSIZE));
    if (broken_ || !channel_) return std::unexpected(SystemError::from_errno(ENOSYS));

    Request req{op,
                m.flags,
                static_cast<std::uint32_t>(to.kind),
                static_cast<std::uint32_t>(to.bytes.size()),
                static_cast<std::uint32_t>(m.control.size()),
                static_cast<std::uint32_t>(m.rights.size()),
                m.payload.size()};
    int attached[2] = {socket, to.base};
    broken_ = true;  // until the reply is in
    if (!send_with_fds(channel_.get(), &req, sizeof req,
                       std::span<const int>(attached, by_path ? 2 : 1)) ||
        !send_all(channel_.get(), to.bytes.data(), to.bytes.size()) ||
        !send_all(channel_.get(), m.control.data(), m.control.size()) ||
        !send_all(channel_.get(), m.payload.data(), m.payload.size()))
        return std::unexpected(SystemError::from_errno(ENOSYS));
    if (!m.rights.empty()) {
        char byte = 0;
        if (!send_with_fds(channel_.get(), &byte, 1, m.rights))
            return std::unexpected(SystemError::from_errno(ENOSYS));
    }
    std::int64_t reply;
    if (!await_reply(socket, reply)) return std::unexpected(SystemError::from_errno(ENOSYS));
    broken_ = false;
    if (reply < 0) return std::unexpected(SystemError::from_errno(static_cast<int>(-reply)));
    return reply;
}

bool Agent::await_reply(int socket, std::int64_t& reply) {
    pollfd fds[2] = {{channel_.get(), POLLIN, 0}, {stop_fd_, POLLIN, 0}};
    nfds_t count = stop_fd_ >= 0 ? 2 : 1;
    while (true) {
        int ret = ::poll(fds, count, -1);
        if (ret < 0 && errno == EINTR) continue;
        if (ret < 0) return false;
        if (fds[0].revents) break;
        if (count == 2 && fds[1].revents) {
            // The sandbox stops: a connect or send that blocks (a full backlog, a peer that never
            // reads) must not keep the teardown waiting. Shutting the shared socket down wakes
            // both; making it non-blocking would change the child's own socket.
            ::shutdown(socket, SHUT_RDWR);
            count = 1;
        }
    }
    std::size_t got = 0;
    auto* p = reinterpret_cast<char*>(&reply);
    while (got < sizeof reply) {
        ssize_t n = ::recv(channel_.get(), p + got, sizeof reply - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace vestrion::agent
