// Network calls that the tests make from inside a sandbox, chosen by argv[1]. Each prints one
// line: "ok", the name of the error number, or what it read back.
#include <arpa/inet.h>
#include <dirent.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <resolv.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* err_name(int error) {
    const char* name = strerrorname_np(error);
    return name ? name : "E?";
}

const char* outcome(long ret) { return ret >= 0 ? "ok" : err_name(errno); }

// An IPv4 or IPv6 address with a port; the length of the address.
socklen_t ip_address(const char* host, const char* port, sockaddr_storage& out) {
    out = {};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out);
    if (inet_pton(AF_INET, host, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
        return sizeof *v4;
    }
    if (inet_pton(AF_INET6, host, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
        return sizeof *v6;
    }
    std::fprintf(stderr, "bad address %s\n", host);
    std::exit(2);
}

socklen_t unix_address(const char* path, sockaddr_un& out, bool abstract) {
    out = {};
    out.sun_family = AF_UNIX;
    std::size_t len = std::strlen(path);
    std::memcpy(out.sun_path + (abstract ? 1 : 0), path, len);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len + (abstract ? 1 : 0));
}

// connect HOST PORT
int connect_ip(const char* host, const char* port) {
    sockaddr_storage addr;
    socklen_t len = ip_address(host, port, addr);
    int fd = socket(addr.ss_family, SOCK_STREAM, 0);
    std::printf("%s\n", outcome(connect(fd, reinterpret_cast<sockaddr*>(&addr), len)));
    return 0;
}

// connect-loop HOST PORT: connects and closes from two threads, until a connect fails; prints the
// count of connects and the error.
int connect_loop(const char* host, const char* port) {
    sockaddr_storage addr;
    socklen_t len = ip_address(host, port, addr);
    std::atomic<long> count{0};
    std::atomic<int> failed{0};
    auto loop = [&] {
        while (failed.load() == 0) {
            int fd = socket(addr.ss_family, SOCK_STREAM, 0);
            if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) failed.store(errno);
            close(fd);
            ++count;
        }
    };
    std::thread other(loop);
    loop();
    other.join();
    std::printf("%ld connects, then %s\n", count.load(), err_name(failed.load()));
    return 0;
}

// connect-nonblocking HOST PORT: the first answer, then whether the socket ends up connected.
int connect_nonblocking(const char* host, const char* port) {
    sockaddr_storage addr;
    socklen_t len = ip_address(host, port, addr);
    int fd = socket(addr.ss_family, SOCK_STREAM | SOCK_NONBLOCK, 0);
    std::printf("%s", outcome(connect(fd, reinterpret_cast<sockaddr*>(&addr), len)));
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 10000);
    int error = -1;
    socklen_t error_len = sizeof error;
    getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &error_len);
    std::printf(" then %s\n", error == 0 ? "connected" : err_name(error));
    return 0;
}

// connect-unix PATH: connects, then prints what the peer sends first. connect-abstract NAME and
// connect-path PATH: connects.
int connect_unix(const char* name, bool abstract, bool greeted = true) {
    sockaddr_un addr;
    socklen_t len = unix_address(name, addr, abstract);
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        std::printf("%s\n", outcome(-1));
        return 0;
    }
    if (abstract || !greeted) {
        std::printf("ok\n");
        return 0;
    }
    char buf[64] = {};
    ssize_t n = read(fd, buf, sizeof buf - 1);
    std::printf("ok %s\n", n > 0 ? buf : "");
    return 0;
}

// Sends one datagram by each of sendto, sendmsg and sendmmsg to `addr` on `fd`, each carrying the
// name of its call, and prints "sendto R sendmsg R sendmmsg R": the count sent, or the error.
void print_sends(int fd, const void* addr, socklen_t len) {
    const char* names[] = {"sendto", "sendmsg", "sendmmsg"};
    for (int how = 0; how < 3; ++how) {
        const char* payload = names[how];
        iovec iov{const_cast<char*>(payload), std::strlen(payload)};
        mmsghdr m{};
        m.msg_hdr.msg_name = const_cast<void*>(addr);
        m.msg_hdr.msg_namelen = len;
        m.msg_hdr.msg_iov = &iov;
        m.msg_hdr.msg_iovlen = 1;
        long ret;
        if (how == 0)
            ret = sendto(fd, payload, iov.iov_len, 0, static_cast<const sockaddr*>(addr), len);
        else if (how == 1)
            ret = sendmsg(fd, &m.msg_hdr, 0);
        else
            ret = sendmmsg(fd, &m, 1, 0);
        std::printf("%s%s ", how ? " " : "", payload);
        if (ret >= 0)
            std::printf("%ld", ret);
        else
            std::printf("%s", err_name(errno));
    }
}

// unix-dgram PATH: one datagram to the Unix socket file PATH through each of sendto, sendmsg and
// sendmmsg, each carrying the name of its call; prints each call's result.
int unix_dgram(const char* path) {
    sockaddr_un addr;
    socklen_t len = unix_address(path, addr, false);
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::printf("socket %s\n", outcome(-1));
        return 0;
    }
    print_sends(fd, &addr, len);
    std::printf("\n");
    return 0;
}

// unix-dgram-fd FD PATH: as unix-dgram, on descriptor FD, a socket the command was handed.
int unix_dgram_fd(const char* fd, const char* path) {
    sockaddr_un addr;
    socklen_t len = unix_address(path, addr, false);
    print_sends(std::atoi(fd), &addr, len);
    std::printf("\n");
    return 0;
}

// unix-self PATH: binds a stream socket to PATH, listens, connects to PATH and reads back what
// it sent through the connection accepted; prints "ok" or the failing call and its error.
int unix_self(const char* path) {
    sockaddr_un addr;
    socklen_t len = unix_address(path, addr, false);
    const auto* to = reinterpret_cast<const sockaddr*>(&addr);
    int server = socket(AF_UNIX, SOCK_STREAM, 0);
    if (server < 0 || bind(server, to, len) != 0 || listen(server, 1) != 0) {
        std::printf("bind %s\n", outcome(-1));
        return 0;
    }
    int client = socket(AF_UNIX, SOCK_STREAM, 0);
    if (connect(client, to, len) != 0) {
        std::printf("connect %s\n", outcome(-1));
        return 0;
    }
    int accepted = accept(server, nullptr, nullptr);
    char buf[3] = {};
    if (accepted < 0 || write(client, "hi", 2) != 2 || read(accepted, buf, 2) != 2) {
        std::printf("exchange %s\n", outcome(-1));
        return 0;
    }
    std::printf("%s\n", std::strcmp(buf, "hi") == 0 ? "ok" : "garbled");
    return 0;
}

// pairs PATH: what a command reaches of the Unix socket file PATH through pairs of connected
// sockets: prints the result of socket() and of a datagram pair, then of a connect and of a
// sendto to PATH on a stream pair and on a sequenced-packet pair.
int pairs(const char* path) {
    sockaddr_un addr;
    socklen_t len = unix_address(path, addr, false);
    int pair[2];
    std::printf("socket %s", outcome(socket(AF_UNIX, SOCK_DGRAM, 0)));
    std::printf(" dgram-pair %s", outcome(socketpair(AF_UNIX, SOCK_DGRAM, 0, pair)));
    for (int type : {SOCK_STREAM, SOCK_SEQPACKET}) {
        if (socketpair(AF_UNIX, type, 0, pair) != 0) {
            std::printf(" pair %s", outcome(-1));
            continue;
        }
        const auto* to = reinterpret_cast<const sockaddr*>(&addr);
        std::printf(" connect %s", outcome(connect(pair[0], to, len)));
        std::printf(" sendto %s", outcome(sendto(pair[0], "x", 1, MSG_DONTWAIT, to, len)));
    }
    std::printf("\n");
    return 0;
}

// dgram SOCKET FORM HOST PORT: one datagram through each of sendto, sendmsg and sendmmsg, from a
// "udp" or "udp6" socket, to HOST (IPv4) written in FORM: "inet", "mapped" (AF_INET6, the IPv6
// address that maps it), "unspec" (an AF_INET address with family AF_UNSPEC), "short" (the
// socket's own family, cut to 8 bytes) or "unix" (family AF_UNIX, the rest an AF_INET address).
int dgram(const char* socket_kind, const char* form, const char* host, const char* port) {
    const bool v6 = std::strcmp(socket_kind, "udp6") == 0;
    sockaddr_storage addr{};
    socklen_t len;
    if (std::strcmp(form, "mapped") == 0) {
        std::string mapped = std::string("::ffff:") + host;
        len = ip_address(mapped.c_str(), port, addr);
    } else {
        len = ip_address(host, port, addr);
    }
    auto* family = reinterpret_cast<sa_family_t*>(&addr);
    if (std::strcmp(form, "unspec") == 0) *family = AF_UNSPEC;
    if (std::strcmp(form, "unix") == 0) *family = AF_UNIX;
    if (std::strcmp(form, "short") == 0) {
        *family = v6 ? AF_INET6 : AF_INET;
        len = 8;
    }
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM, 0);
    print_sends(fd, &addr, len);
    std::printf("\n");
    return 0;
}

// race-unix-name INSIDE OUTSIDE TRIES: connects to INSIDE, a Unix socket file it may reach, while
// a thread writes OUTSIDE into the very address; race-unix-link LINK INSIDE OUTSIDE TRIES:
// connects to LINK while a thread points it at INSIDE and at OUTSIDE in turn. Prints "done".
int race_unix(const char* link, const char* inside, const char* outside, int tries) {
    static sockaddr_un addr;
    const char* target = link ? link : inside;
    unix_address(target, addr, false);
    // The whole address: the kernel ends the path at its NUL, whichever path it holds.
    const socklen_t len = sizeof addr;
    std::atomic<bool> done{false};
    std::thread flipper([&] {
        std::string temp = link ? std::string(link) + ".new" : std::string();
        for (unsigned i = 0; !done.load(std::memory_order_relaxed); ++i) {
            const char* to = i % 2 ? outside : inside;
            if (link) {
                unlink(temp.c_str());
                if (symlink(to, temp.c_str()) == 0) rename(temp.c_str(), link);
            } else {
                char* path = addr.sun_path;
                std::size_t n = std::strlen(to);
                for (std::size_t k = 0; k <= n; ++k) static_cast<volatile char*>(path)[k] = to[k];
            }
        }
    });
    for (int i = 0; i < tries; ++i) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&addr), len);
        close(fd);
    }
    done = true;
    flipper.join();
    std::printf("done\n");
    return 0;
}

// abstract-self NAME: binds an abstract name and connects to it.
int abstract_self(const char* name) {
    sockaddr_un addr;
    socklen_t len = unix_address(name, addr, true);
    int server = socket(AF_UNIX, SOCK_STREAM, 0);
    if (bind(server, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(server, 1) != 0) {
        std::printf("bind %s\n", outcome(-1));
        return 1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    std::printf("%s\n", outcome(connect(fd, reinterpret_cast<sockaddr*>(&addr), len)));
    return 0;
}

// sendmsg-iov HOST PORT A B C: one UDP datagram from three iovecs.
int sendmsg_iov(const char* host, const char* port, char** parts) {
    sockaddr_storage addr;
    socklen_t len = ip_address(host, port, addr);
    int fd = socket(addr.ss_family, SOCK_DGRAM, 0);
    iovec iov[3];
    for (int i = 0; i < 3; ++i) iov[i] = {parts[i], std::strlen(parts[i])};
    msghdr msg{};
    msg.msg_name = &addr;
    msg.msg_namelen = len;
    msg.msg_iov = iov;
    msg.msg_iovlen = 3;
    ssize_t n = sendmsg(fd, &msg, 0);
    if (n < 0)
        std::printf("%s\n", outcome(-1));
    else
        std::printf("%zd\n", n);
    return 0;
}

// sendto HOST PORT TEXT: one UDP datagram.
int sendto_udp(const char* host, const char* port, const char* text) {
    sockaddr_storage addr;
    socklen_t len = ip_address(host, port, addr);
    int fd = socket(addr.ss_family, SOCK_DGRAM, 0);
    ssize_t n = sendto(fd, text, std::strlen(text), 0, reinterpret_cast<sockaddr*>(&addr), len);
    if (n < 0)
        std::printf("%s\n", outcome(-1));
    else
        std::printf("%zd\n", n);
    return 0;
}

// sendmmsg HOST PORT: two UDP datagrams ("one", "three"); the count and each msg_len.
int sendmmsg_udp(const char* host, const char* port) {
    sockaddr_storage addr;
    socklen_t len = ip_address(host, port, addr);
    int fd = socket(addr.ss_family, SOCK_DGRAM, 0);
    char one[] = "one", three[] = "three";
    iovec iov[2] = {{one, 3}, {three, 5}};
    mmsghdr msgs[2] = {};
    for (int i = 0; i < 2; ++i) {
        msgs[i].msg_hdr.msg_name = &addr;
        msgs[i].msg_hdr.msg_namelen = len;
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_len = 99;
    }
    int n = sendmmsg(fd, msgs, 2, 0);
    if (n < 0)
        std::printf("%s\n", outcome(-1));
    else
        std::printf("%d %u %u\n", n, msgs[0].msg_len, msgs[1].msg_len);
    return 0;
}

// Sends one byte on `fd` with one control message of `type` (SOL_SOCKET) carrying `data`.
ssize_t send_with_control(int fd, int type, const void* data, std::size_t len) {
    char byte = 'x';
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(64)] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = CMSG_SPACE(len);
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = type;
    c->cmsg_len = CMSG_LEN(len);
    std::memcpy(CMSG_DATA(c), data, len);
    return sendmsg(fd, &msg, 0);
}

// pass-pipe: writes into a pipe, passes the read end to itself over a socketpair and reads it
// back through the descriptor received.
int pass_pipe() {
    int pipe_fds[2], pair[2];
    if (pipe(pipe_fds) != 0 || socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return 1;
    if (write(pipe_fds[1], "through the pipe", 16) != 16) return 1;
    if (send_with_control(pair[0], SCM_RIGHTS, &pipe_fds[0], sizeof(int)) != 1) {
        std::printf("sendmsg %s\n", outcome(-1));
        return 0;
    }
    close(pipe_fds[0]);
    char byte;
    iovec iov{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr in{};
    in.msg_iov = &iov;
    in.msg_iovlen = 1;
    in.msg_control = control;
    in.msg_controllen = sizeof control;
    if (recvmsg(pair[1], &in, 0) != 1) return 1;
    int received;
    std::memcpy(&received, CMSG_DATA(CMSG_FIRSTHDR(&in)), sizeof received);
    char buf[32] = {};
    ssize_t n = read(received, buf, sizeof buf - 1);
    std::printf("%s\n", n > 0 ? buf : "nothing");
    return 0;
}

// send-credentials PID: sendmsg on a socketpair with SCM_CREDENTIALS naming PID (0: our own).
int send_credentials(int pid) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_DGRAM, 0, pair) != 0) return 1;
    ucred cred{pid ? pid : getpid(), getuid(), getgid()};
    std::printf("%s\n", outcome(send_with_control(pair[0], SCM_CREDENTIALS, &cred, sizeof cred)));
    return 0;
}

// resolve NAME PORT: getaddrinfo through a name server on 127.0.0.2 at PORT.
int resolve(const char* name, const char* port) {
    res_init();
    _res.nscount = 1;
    _res.nsaddr_list[0].sin_family = AF_INET;
    _res.nsaddr_list[0].sin_port = htons(static_cast<std::uint16_t>(std::atoi(port)));
    inet_pton(AF_INET, "127.0.0.2", &_res.nsaddr_list[0].sin_addr);
    _res.retrans = 1;
    _res.retry = 1;
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &found);
    if (rc != 0) {
        std::printf("%s\n", gai_strerror(rc));
        return 0;
    }
    for (addrinfo* a = found; a; a = a->ai_next) {
        if (a->ai_family != AF_INET) continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr, text, sizeof text);
        std::printf("%s\n", text);
        break;
    }
    freeaddrinfo(found);
    return 0;
}

// connect-then-block HOST PORT: prints "started", then makes a connect that blocks.
int connect_blocking(const char* host, const char* port) {
    std::printf("started\n");
    std::fflush(stdout);
    return connect_ip(host, port);
}

// send-until-blocked HOST PORT: connects and sends 64 KiB messages until one blocks for good.
int send_until_blocked(const char* host, const char* port) {
    sockaddr_storage addr;
    socklen_t len = ip_address(host, port, addr);
    int fd = socket(addr.ss_family, SOCK_STREAM, 0);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        std::printf("connect %s\n", outcome(-1));
        return 1;
    }
    std::printf("connected\n");
    std::fflush(stdout);
    static char chunk[65536];
    iovec iov{chunk, sizeof chunk};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    while (sendmsg(fd, &msg, 0) > 0) {
    }
    std::printf("send %s\n", outcome(-1));
    return 0;
}

// agent-memory: for every other process of our group (the sandbox's agent among them), whether
// its memory can be opened and a descriptor taken from it.
int agent_memory() {
    pid_t self = getpid(), group = getpgrp();
    DIR* proc = opendir("/proc");
    int others = 0;
    while (dirent* e = readdir(proc)) {
        pid_t pid = std::atoi(e->d_name);
        if (pid <= 0 || pid == self || getpgid(pid) != group) continue;
        ++others;
        int mem = open(("/proc/" + std::to_string(pid) + "/mem").c_str(), O_RDONLY);
        std::printf("mem %s", outcome(mem));
        int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        std::printf(" getfd %s\n", outcome(syscall(SYS_pidfd_getfd, pidfd, 0, 0)));
    }
    closedir(proc);
    if (others == 0) std::printf("no other process\n");
    return 0;
}

// bounds HOST PORT: how the lengths and pointers a command gives are bounded; one line a case,
// with the count sent or the error. HOST:PORT receives UDP datagrams.
int bounds(const char* host, const char* port) {
    sockaddr_storage addr;
    socklen_t len = ip_address(host, port, addr);
    int udp = socket(AF_INET, SOCK_DGRAM, 0);
    auto say = [](const char* what, long ret) {
        if (ret < 0)
            std::printf("%s %s\n", what, outcome(-1));
        else
            std::printf("%s %ld\n", what, ret);
    };
    char byte = 'x';
    iovec one{&byte, 1};
    auto message = [&](void* name, socklen_t name_len, iovec* iov, std::size_t count) {
        msghdr m{};
        m.msg_name = name;
        m.msg_namelen = name_len;
        m.msg_iov = iov;
        m.msg_iovlen = count;
        return m;
    };
    alignas(sockaddr_storage) char long_name[200] = {};
    std::memcpy(long_name, &addr, len);
    say("connect-long-address", connect(socket(AF_INET, SOCK_STREAM, 0),
                                        reinterpret_cast<sockaddr*>(long_name), 129));
    say("sendto-long-address",
        sendto(udp, "x", 1, 0, reinterpret_cast<sockaddr*>(long_name), sizeof long_name));
    msghdr m = message(long_name, sizeof long_name, &one, 1);
    say("sendmsg-long-name", sendmsg(udp, &m, 0));
    std::vector<iovec> many(1025, one);
    m = message(&addr, len, many.data(), many.size());
    say("sendmsg-1025-iovecs", sendmsg(udp, &m, 0));
    say("sendto-unreadable-payload",
        sendto(udp, reinterpret_cast<void*>(1), 10, 0, reinterpret_cast<sockaddr*>(&addr), len));
    say("sendmsg-unreadable-header", sendmsg(udp, reinterpret_cast<msghdr*>(1), 0));
    m = message(reinterpret_cast<void*>(1), len, &one, 1);
    say("sendmsg-unreadable-name", sendmsg(udp, &m, 0));
    m = message(&addr, len, &one, 1);
    m.msg_control = reinterpret_cast<void*>(1);
    m.msg_controllen = 64;
    say("sendmsg-unreadable-control", sendmsg(udp, &m, 0));
    std::vector<mmsghdr> msgs(2000);
    for (auto& entry : msgs) entry.msg_hdr = message(&addr, len, &one, 1);
    say("sendmmsg-2000", sendmmsg(udp, msgs.data(), static_cast<unsigned>(msgs.size()), 0));

    static std::vector<char> big(2 << 20, 'b');
    int dgram[2], stream[2];
    socketpair(AF_UNIX, SOCK_DGRAM, 0, dgram);
    socketpair(AF_UNIX, SOCK_STREAM, 0, stream);
    iovec payload{big.data(), 200000};
    m = message(nullptr, 0, &payload, 1);
    say("unix-datagram-200000", sendmsg(dgram[0], &m, 0));
    payload.iov_len = big.size();
    say("unix-datagram-2MiB", sendmsg(dgram[0], &m, 0));
    std::thread drain([&] {
        char sink[65536];
        while (read(stream[1], sink, sizeof sink) > 0) {
        }
    });
    say("unix-stream-2MiB", sendmsg(stream[0], &m, 0));
    close(stream[0]);
    drain.join();
    return 0;
}

// --- Races: a second thread changes what the call reads while it is made. ---

// race-address HOST PORT UNIX_PATH TRIES: connects TCP sockets to an address that a second
// thread flips between the refused IP address and a Unix name (of nothing); counts connections
// made. race-dup (same arguments): the thread also dup2s an IP and a Unix socket onto the number
// in turn.
int race_connect(const char* host, const char* port, const char* path, int tries, bool dup) {
    sockaddr_storage refused;
    ip_address(host, port, refused);
    sockaddr_un by_name;
    unix_address(path, by_name, false);
    alignas(sockaddr_storage) static char buf[sizeof(sockaddr_un)];
    std::memcpy(buf, &by_name, sizeof by_name);
    std::atomic<bool> done{false};
    int target = socket(AF_INET, SOCK_STREAM, 0);
    int ip_sock = socket(AF_INET, SOCK_STREAM, 0);
    int unix_sock = socket(AF_UNIX, SOCK_STREAM, 0);
    std::thread flipper([&] {
        for (unsigned i = 0; !done.load(std::memory_order_relaxed); ++i) {
            if (i % 2)
                std::memcpy(buf, &refused, sizeof(sockaddr_in));
            else
                std::memcpy(buf, &by_name, sizeof by_name);
            if (dup) dup2(i % 4 < 2 ? ip_sock : unix_sock, target);
        }
    });
    int made = 0;
    for (int i = 0; i < tries; ++i) {
        if (!dup) {
            close(target);
            target = socket(AF_INET, SOCK_STREAM, 0);
        }
        if (connect(target, reinterpret_cast<sockaddr*>(buf), sizeof buf) == 0) ++made;
    }
    done = true;
    flipper.join();
    std::printf("made %d\n", made);
    return 0;
}

// race-name HOST PORT TRIES: sendmsg on an unconnected UDP socket whose msg_name a second thread
// flips between NULL and the refused address; counts datagrams sent.
int race_name(const char* host, const char* port, int tries) {
    sockaddr_storage refused;
    socklen_t len = ip_address(host, port, refused);
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    char byte = 'x';
    iovec iov{&byte, 1};
    static msghdr msg{};
    msg.msg_namelen = len;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    std::atomic<bool> done{false};
    std::thread flipper([&] {
        for (unsigned i = 0; !done.load(std::memory_order_relaxed); ++i)
            *static_cast<void* volatile*>(&msg.msg_name) = i % 2 ? &refused : nullptr;
    });
    int sent = 0;
    for (int i = 0; i < tries; ++i)
        if (sendmsg(fd, &msg, 0) >= 0) ++sent;
    done = true;
    flipper.join();
    std::printf("sent %d\n", sent);
    return 0;
}

// The local ports the sandbox's /proc/net/tcp and tcp6 list, in decimal, after "tcp:".
void print_tcp_ports() {
    std::printf(" tcp:");
    for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        FILE* f = std::fopen(table, "r");
        if (!f) continue;
        char line[512];
        bool header = true;
        while (std::fgets(line, sizeof line, f)) {
            if (header) {
                header = false;
                continue;
            }
            char local[128];
            if (std::sscanf(line, "%*s %127s", local) != 1) continue;
            const char* colon = std::strrchr(local, ':');
            if (colon) std::printf("%ld,", std::strtol(colon + 1, nullptr, 16));
        }
        std::fclose(f);
    }
}

// bind-listen HOST PORT [twice]: "ok", the port getsockname shows and whether HOST:PORT then
// reaches the listener; with "twice", the outcome of a second socket's bind to the same port;
// then the ports the TCP tables list.
int bind_listen(const char* host, const char* port, bool twice) {
    sockaddr_storage addr;
    socklen_t len = ip_address(host, port, addr);
    int fd = socket(addr.ss_family, SOCK_STREAM, 0);
    long r = bind(fd, reinterpret_cast<sockaddr*>(&addr), len);
    std::printf("%s", outcome(r));
    if (r == 0) {
        listen(fd, 4);
        sockaddr_storage local{};
        socklen_t local_len = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &local_len);
        std::printf(" %u", ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port));
        sockaddr_storage to;
        socklen_t to_len = ip_address(addr.ss_family == AF_INET6 ? "::1" : "127.0.0.1", port, to);
        int peer = socket(to.ss_family, SOCK_STREAM, 0);
        std::printf(" %s", outcome(connect(peer, reinterpret_cast<sockaddr*>(&to), to_len)));
        if (twice) {
            int again = socket(addr.ss_family, SOCK_STREAM, 0);
            std::printf(" %s", outcome(bind(again, reinterpret_cast<sockaddr*>(&addr), len)));
        }
    }
    print_tcp_ports();
    std::printf("\n");
    return 0;
}

// bind-bad: a bind whose address cannot be read, one whose length is too long, and a
// getsockname whose length cannot be read or written.
int bind_bad() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    long unreadable = bind(fd, reinterpret_cast<sockaddr*>(8), sizeof addr);
    std::printf("%s", outcome(unreadable));
    std::printf(" %s", outcome(bind(fd, reinterpret_cast<sockaddr*>(&addr), 200)));
    sockaddr_storage local{};
    std::printf(" %s", outcome(getsockname(fd, reinterpret_cast<sockaddr*>(&local),
                                          reinterpret_cast<socklen_t*>(8))));
    // A short buffer gets a prefix and the full length.
    bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    unsigned char two[2] = {0xee, 0xee};
    socklen_t room = 2;
    long r = getsockname(fd, reinterpret_cast<sockaddr*>(two), &room);
    std::printf(" %s %u %u\n", outcome(r), room, two[0] | (two[1] << 8));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vestrion_net_helper CASE [ARGS]\n");
        return 2;
    }
    std::string name = argv[1];
    auto want = [&](int n) { return argc >= 2 + n; };
    if (name == "connect" && want(2)) return connect_ip(argv[2], argv[3]);
    if (name == "connect-loop" && want(2)) return connect_loop(argv[2], argv[3]);
    if (name == "connect-from-thread" && want(2)) {
        // A thread's descriptors are its process's: the call must act on those.
        std::thread([&] { connect_ip(argv[2], argv[3]); }).join();
        return 0;
    }
    if (name == "connect-from-fork" && want(2)) {
        // A forked process has a descriptor table of its own.
        std::fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            connect_ip(argv[2], argv[3]);
            std::fflush(stdout);
            _exit(0);
        }
        waitpid(pid, nullptr, 0);
        return 0;
    }
    if (name == "connect-thread-main-fork" && want(2)) {
        // A thread, then its process, then a process started afterwards: one line each.
        std::thread([&] { connect_ip(argv[2], argv[3]); }).join();
        connect_ip(argv[2], argv[3]);
        std::fflush(stdout);
        pid_t pid = fork();
        if (pid == 0) {
            connect_ip(argv[2], argv[3]);
            std::fflush(stdout);
            _exit(0);
        }
        waitpid(pid, nullptr, 0);
        return 0;
    }
    if (name == "connect-nonblocking" && want(2)) return connect_nonblocking(argv[2], argv[3]);
    if (name == "bind-listen" && want(2))
        return bind_listen(argv[2], argv[3], argc > 4 && std::string(argv[4]) == "twice");
    if (name == "bind-bad") return bind_bad();
    if (name == "connect-unix" && want(1)) return connect_unix(argv[2], false);
    if (name == "connect-abstract" && want(1)) return connect_unix(argv[2], true);
    if (name == "connect-path" && want(1)) return connect_unix(argv[2], false, false);
    if (name == "unix-dgram" && want(1)) return unix_dgram(argv[2]);
    if (name == "unix-dgram-fd" && want(2)) return unix_dgram_fd(argv[2], argv[3]);
    if (name == "pairs" && want(1)) return pairs(argv[2]);
    if (name == "unix-self" && want(1)) return unix_self(argv[2]);
    if (name == "dgram" && want(4)) return dgram(argv[2], argv[3], argv[4], argv[5]);
    if (name == "race-unix-name" && want(3))
        return race_unix(nullptr, argv[2], argv[3], std::atoi(argv[4]));
    if (name == "race-unix-link" && want(4))
        return race_unix(argv[2], argv[3], argv[4], std::atoi(argv[5]));
    if (name == "abstract-self" && want(1)) return abstract_self(argv[2]);
    if (name == "sendmsg-iov" && want(5)) return sendmsg_iov(argv[2], argv[3], argv + 4);
    if (name == "sendto" && want(3)) return sendto_udp(argv[2], argv[3], argv[4]);
    if (name == "sendmmsg" && want(2)) return sendmmsg_udp(argv[2], argv[3]);
    if (name == "pass-pipe") return pass_pipe();
    if (name == "bounds" && want(2)) return bounds(argv[2], argv[3]);
    if (name == "agent-memory") return agent_memory();
    if (name == "send-credentials" && want(1)) return send_credentials(std::atoi(argv[2]));
    if (name == "resolve" && want(2)) return resolve(argv[2], argv[3]);
    if (name == "connect-blocking" && want(2)) return connect_blocking(argv[2], argv[3]);
    if (name == "send-until-blocked" && want(2)) return send_until_blocked(argv[2], argv[3]);
    if (name == "race-address" && want(4))
        return race_connect(argv[2], argv[3], argv[4], std::atoi(argv[5]), false);
    if (name == "race-dup" && want(4))
        return race_connect(argv[2], argv[3], argv[4], std::atoi(argv[5]), true);
    if (name == "race-name" && want(3)) return race_name(argv[2], argv[3], std::atoi(argv[4]));
    std::fprintf(stderr, "unknown case %s\n", argv[1]);
    return 2;
}
