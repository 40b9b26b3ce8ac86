// The network allow-list and the calls the supervisor makes on the child's behalf, seen from a
// sandboxed command: what reaches a loopback listener, what the command is told, and what no
// trick of the command can make reach a refused one.
#include "core/network.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <iostream>
#include <future>
#include <random>
#include <sstream>
#include <thread>

#include "core/sandbox.hpp"
#include "core/seccomp/state.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

using Args = std::vector<std::string>;
using V4 = std::array<std::uint8_t, 4>;
using V6 = std::array<std::uint8_t, 16>;

// --- Addresses and the effective set ---

std::vector<std::uint8_t> sockaddr_bytes(const char* text, std::uint16_t port, std::size_t cut = 0) {
    sockaddr_storage s{};
    std::size_t len;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&s);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&s);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        len = sizeof *v4;
    } else {
        EXPECT_EQ(inet_pton(AF_INET6, text, &v6->sin6_addr), 1);
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        len = sizeof *v6;
    }
    auto* b = reinterpret_cast<std::uint8_t*>(&s);
    return {b, b + (cut ? cut : len)};
}

TEST(ParseIp, TakesTheAddressOfTheTwoIpFamiliesOnly) {
    V6 mapped{};
    mapped[10] = mapped[11] = 0xff;
    mapped[12] = 127;
    mapped[15] = 2;
    EXPECT_EQ(network::parse_ip_from_sockaddr(sockaddr_bytes("10.0.0.5", 80)), IpAddr(V4{10, 0, 0, 5}));
    EXPECT_EQ(network::parse_ip_from_sockaddr(sockaddr_bytes("::ffff:127.0.0.2", 80)), IpAddr(mapped));
    // Just long enough, and one byte short.
    EXPECT_EQ(network::parse_ip_from_sockaddr(sockaddr_bytes("10.0.0.5", 80, 8)), IpAddr(V4{10, 0, 0, 5}));
    EXPECT_FALSE(network::parse_ip_from_sockaddr(sockaddr_bytes("10.0.0.5", 80, 7)));
    EXPECT_FALSE(network::parse_ip_from_sockaddr(sockaddr_bytes("::1", 80, 23)));
    std::vector<std::uint8_t> unix_name{AF_UNIX, 0, '/', 't', 'm', 'p', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_FALSE(network::parse_ip_from_sockaddr(unix_name));
    EXPECT_FALSE(network::parse_ip_from_sockaddr(std::vector<std::uint8_t>{AF_INET}));
}

// The destination the kernel will reach decides what the allow-list checks: the family field
// alone would let AF_UNSPEC datagrams through, which IPv4 sockets send to the address they hold.
TEST(DestinationIp, FollowsWhatTheKernelDoesWithTheNameOnThatSocket) {
    auto with_family = [](std::vector<std::uint8_t> b, std::uint16_t family) {
        std::memcpy(b.data(), &family, sizeof family);
        return b;
    };
    const auto v4 = sockaddr_bytes("10.0.0.5", 53);
    const auto v6 = sockaddr_bytes("2001:db8::5", 53);
    const auto mapped = sockaddr_bytes("::ffff:10.0.0.5", 53);
    const auto unspec4 = with_family(v4, AF_UNSPEC);
    const auto unspec6 = with_family(v6, AF_UNSPEC);
    const std::vector<std::uint8_t> unix_name{AF_UNIX, 0, '/', 'r', 'u', 'n', 0};
    using Answer = std::expected<std::optional<IpAddr>, int>;
    const Answer none = std::optional<IpAddr>{};
    const Answer ten = std::optional<IpAddr>{IpAddr(V4{10, 0, 0, 5})};
    const Answer six = network::parse_ip_from_sockaddr(v6);
    const Answer mapped_ip = network::parse_ip_from_sockaddr(mapped);
    struct Case {
        const char* label;
        int domain, type;
        bool connect;
        std::vector<std::uint8_t> name;
        Answer expected;
    };
    const Case cases[] = {
        {"udp ipv4", AF_INET, SOCK_DGRAM, false, v4, ten},
        {"udp unspec on ipv4 is ipv4", AF_INET, SOCK_DGRAM, false, unspec4, ten},
        {"raw unspec on ipv4 is ipv4", AF_INET, SOCK_RAW, false, unspec4, ten},
        {"udp unspec too short", AF_INET, SOCK_DGRAM, false, {unspec4.begin(), unspec4.begin() + 6},
         std::unexpected(EINVAL)},
        {"udp ipv4 too short", AF_INET, SOCK_DGRAM, false, {v4.begin(), v4.begin() + 7},
         std::unexpected(EINVAL)},
        // The address is whole at 8 bytes, but the kernel takes no sockaddr_in shorter than 16.
        {"udp ipv4 of eight bytes", AF_INET, SOCK_DGRAM, false, {v4.begin(), v4.begin() + 8},
         std::unexpected(EINVAL)},
        {"udp6 ipv4 name of eight bytes", AF_INET6, SOCK_DGRAM, false, {v4.begin(), v4.begin() + 8},
         std::unexpected(EINVAL)},
        {"udp ipv6 name on ipv4", AF_INET, SOCK_DGRAM, false, v6, std::unexpected(EAFNOSUPPORT)},
        {"udp unix name on ipv4", AF_INET, SOCK_DGRAM, false, unix_name,
         std::unexpected(EAFNOSUPPORT)},
        {"one byte", AF_INET, SOCK_DGRAM, false, {AF_INET}, std::unexpected(EINVAL)},
        {"udp6 ipv6", AF_INET6, SOCK_DGRAM, false, v6, six},
        {"udp6 mapped", AF_INET6, SOCK_DGRAM, false, mapped, mapped_ip},
        {"udp6 ipv4 name", AF_INET6, SOCK_DGRAM, false, v4, ten},
        {"udp6 unspec is no destination", AF_INET6, SOCK_DGRAM, false, unspec6, none},
        {"raw6 unspec is ipv6", AF_INET6, SOCK_RAW, false, unspec6, six},
        {"udp6 ipv6 too short", AF_INET6, SOCK_DGRAM, false, {v6.begin(), v6.begin() + 23},
         std::unexpected(EINVAL)},
        {"udp6 unix name", AF_INET6, SOCK_DGRAM, false, unix_name, std::unexpected(EAFNOSUPPORT)},
        {"connect unspec dissolves", AF_INET, SOCK_DGRAM, true, unspec4, none},
        {"connect6 unspec dissolves", AF_INET6, SOCK_STREAM, true, unspec6, none},
        {"connect ipv4", AF_INET, SOCK_STREAM, true, v4, ten},
        {"unix socket", AF_UNIX, SOCK_DGRAM, false, unix_name, none},
        {"unix socket with an ip name", AF_UNIX, SOCK_DGRAM, false, v4, none},
        {"netlink socket", AF_NETLINK, SOCK_RAW, false, unspec4, none},
        {"other family handed in", AF_VSOCK, SOCK_DGRAM, false, v4, std::unexpected(EAFNOSUPPORT)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(network::destination_ip(c.domain, c.type, c.connect, c.name), c.expected)
            << c.label;
}

TEST(ResolveHosts, AddsBothLoopbacksToNumericHostsAndNothingWithoutHosts) {
    EXPECT_TRUE(network::resolve_hosts({})->empty());
    V6 loopback6{};
    loopback6[15] = 1;
    V6 doc{0x20, 0x01, 0x0d, 0xb8};
    doc[15] = 7;
    auto ips = network::resolve_hosts({"10.0.0.5", "2001:db8::7"});
    ASSERT_TRUE(ips) << ips.error().message();
    EXPECT_EQ(*ips, (std::set<IpAddr>{V4{127, 0, 0, 1}, loopback6, V4{10, 0, 0, 5}, doc}));
}

TEST(ResolveHosts, AFailedLookupNamesTheHost) {
    auto ips = network::resolve_hosts({"10.0.0.5", "bad..host"});
    ASSERT_FALSE(ips);
    EXPECT_NE(ips.error().message().find("failed to resolve host 'bad..host': "), std::string::npos)
        << ips.error().message();
}

TEST(EffectiveNetworkPolicy, PidEntryThenLiveSetThenStaticList) {
    seccomp::notif::SupervisorState state(8, std::nullopt);
    EXPECT_FALSE(state.effective_network_policy(7)) << "nothing listed: every address";
    std::set<IpAddr> listed{V4{10, 0, 0, 5}};
    state.static_allowed_ips = listed;
    EXPECT_EQ(state.effective_network_policy(7), listed);
    state.live_policy = std::make_shared<SharedLivePolicy>();
    EXPECT_EQ(state.effective_network_policy(7), listed) << "an empty live set does not apply";
    std::set<IpAddr> live{V4{10, 0, 0, 6}};
    state.live_policy->value.allowed_ips = live;
    EXPECT_EQ(state.effective_network_policy(7), live);
    state.pid_networks->networks[7] = {};
    EXPECT_EQ(state.effective_network_policy(7), std::set<IpAddr>{}) << "an empty entry refuses all";
    // Neither pid leads back to the sandbox's first process: every entry applies.
    EXPECT_EQ(state.effective_network_policy(8), std::set<IpAddr>{});
}

TEST(AllowListSpawn, IsRefusedWhereNoSupervisorCanEnforceIt) {
    auto report = test::run_forked([] {
        CONFINED.store(true);  // as inside a sandbox: a spawn from here is nested
        auto result = Sandbox::run(*Policy::builder().fs_read("/").net_allow_host("127.0.0.2").build(),
                                   Args{"true"});
        return result ? std::string("ran") : result.error().message();
    });
    EXPECT_NE(report.text.find("net_allow_hosts"), std::string::npos) << report.text;
}

// --- Loopback peers ---

sockaddr_in loopback(const char* host, std::uint16_t port = 0) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, host, &a.sin_addr);
    return a;
}

// A socket bound to a loopback address and an ephemeral port; TCP ones listen.
class Peer {
  public:
    Peer(const char* host, int type, int backlog = 16) : host_(host) {
        fd_.reset(::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in a = loopback(host);
        EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        if (type == SOCK_STREAM) {
            EXPECT_EQ(::listen(fd_.get(), backlog), 0);
        }
        socklen_t len = sizeof a;
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    std::string host() const { return host_; }
    std::string port() const { return std::to_string(port_); }
    std::uint16_t port_number() const { return port_; }
    int fd() const { return fd_.get(); }

    // Connections waiting to be accepted, taken and counted.
    int accepted() {
        int n = 0;
        while (true) {
            int c = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return n;
            ::close(c);
            ++n;
        }
    }
    // Datagrams waiting, in order.
    std::vector<std::string> datagrams() {
        std::vector<std::string> all;
        char buf[2048];
        ssize_t n;
        while ((n = ::recv(fd_.get(), buf, sizeof buf, 0)) >= 0) all.emplace_back(buf, n);
        return all;
    }

  private:
    std::string host_;
    UniqueFd fd_;
    std::uint16_t port_ = 0;
};

PolicyBuilder base() { return std::move(Policy::builder().fs_read("/")); }

Policy allowing_2() { return *base().net_allow_host("127.0.0.2").build(); }

std::string run_helper(const Policy& policy, Args args) {
    args.insert(args.begin(), VESTRION_NET_HELPER);
    auto result = Sandbox::run(policy, args);
    EXPECT_TRUE(result) << result.error().message();
    if (!result) return {};
    EXPECT_EQ(result->status, ExitStatus::code(0)) << *result->stderr_bytes;
    return result->stdout_bytes.value_or("");
}

class AllowList : public ::testing::Test {
  protected:
    Peer tcp2{"127.0.0.2", SOCK_STREAM}, tcp3{"127.0.0.3", SOCK_STREAM};
    Peer udp2{"127.0.0.2", SOCK_DGRAM}, udp3{"127.0.0.3", SOCK_DGRAM};
};

TEST_F(AllowList, ConnectReachesOnlyListedAddresses) {
    struct Case {
        const char* how;
        const char* host;
        Peer* peer;
        const char* said;
    };
    for (const Case& c : {Case{"connect", "127.0.0.2", &tcp2, "ok\n"},
                          Case{"connect", "127.0.0.3", &tcp3, "ECONNREFUSED\n"},
                          Case{"connect", "::ffff:127.0.0.2", &tcp2, "ECONNREFUSED\n"},
                          Case{"connect-from-thread", "127.0.0.2", &tcp2, "ok\n"},
                          Case{"connect-from-thread", "127.0.0.3", &tcp3, "ECONNREFUSED\n"},
                          Case{"connect-from-fork", "127.0.0.2", &tcp2, "ok\n"},
                          // The connection made for it is the command's socket's own.
                          Case{"connect-nonblocking", "127.0.0.2", &tcp2,
                               "EINPROGRESS then connected\n"}}) {
        SCOPED_TRACE(std::string(c.how) + " " + c.host);
        EXPECT_EQ(run_helper(allowing_2(), {c.how, c.host, c.peer->port()}), c.said);
        bool reached = std::string(c.said).find("ECONNREFUSED") == std::string::npos;
        EXPECT_EQ(tcp2.accepted() + tcp3.accepted(), reached ? 1 : 0);
    }
}

TEST_F(AllowList, DatagramsReachOnlyListedAddresses) {
    EXPECT_EQ(run_helper(allowing_2(), {"sendmsg-iov", "127.0.0.2", udp2.port(), "ab", "cde", "f"}), "6\n");
    EXPECT_EQ(udp2.datagrams(), std::vector<std::string>{"abcdef"});
    // Each message's msg_len comes back, as the C library's resolver checks it.
    EXPECT_EQ(run_helper(allowing_2(), {"sendmmsg", "127.0.0.2", udp2.port()}), "2 3 5\n");
    EXPECT_EQ(udp2.datagrams(), (std::vector<std::string>{"one", "three"}));

    EXPECT_EQ(run_helper(allowing_2(), {"sendto", "127.0.0.2", udp2.port(), "to"}), "2\n");
    EXPECT_EQ(udp2.datagrams(), std::vector<std::string>{"to"});

    EXPECT_EQ(run_helper(allowing_2(), {"sendmmsg", "127.0.0.3", udp3.port()}), "ECONNREFUSED\n");
    EXPECT_EQ(run_helper(allowing_2(), {"sendto", "127.0.0.3", udp3.port(), "to"}), "ECONNREFUSED\n");
    EXPECT_EQ(run_helper(allowing_2(), {"sendmsg-iov", "127.0.0.3", udp3.port(), "a", "b", "c"}),
              "ECONNREFUSED\n");
    EXPECT_TRUE(udp3.datagrams().empty());
}

// A veto comes before the act: nothing reaches the peer, and the command is told the refusal.
TEST_F(AllowList, ACallbackVetoStopsTheCallBeforeItIsMade) {
    auto policy = base()
                      .net_allow_host("127.0.0.2")
                      .policy_fn([](SyscallEvent event, PolicyContext&) {
                          bool network = event.category == SyscallCategory::Network;
                          return network && event.host ? Verdict::deny() : Verdict::allow();
                      })
                      .build();
    ASSERT_TRUE(policy);
    EXPECT_EQ(run_helper(*policy, {"connect", "127.0.0.2", tcp2.port()}), "EPERM\n");
    EXPECT_EQ(run_helper(*policy, {"sendmmsg", "127.0.0.2", udp2.port()}), "EPERM\n");
    EXPECT_EQ(run_helper(*policy, {"sendmsg-iov", "127.0.0.2", udp2.port(), "a", "b", "c"}),
              "EPERM\n");
    EXPECT_EQ(tcp2.accepted(), 0);
    EXPECT_TRUE(udp2.datagrams().empty());
}

// What the supervisor copies from the command is bounded before anything is allocated, and
// answered as the kernel answers the same call.
TEST_F(AllowList, LengthsAndPointersAreBoundedAsTheKernelBoundsThem) {
    EXPECT_EQ(run_helper(allowing_2(), {"bounds", "127.0.0.2", udp2.port()}),
              "connect-long-address EINVAL\n"
              "sendto-long-address EINVAL\n"
              "sendmsg-long-name 1\n"  // cut to 128 bytes, as the kernel cuts it
              "sendmsg-1025-iovecs EMSGSIZE\n"
              "sendto-unreadable-payload EFAULT\n"
              "sendmsg-unreadable-header EFAULT\n"
              "sendmsg-unreadable-name EFAULT\n"
              "sendmsg-unreadable-control EFAULT\n"
              "sendmmsg-2000 1024\n"
              "unix-datagram-200000 200000\n"
              "unix-datagram-2MiB EMSGSIZE\n"
              "unix-stream-2MiB 1048576\n");
}

// The supervisor acts with the caller's rights; what it does for the command must not reach
// further than the command itself could.
TEST_F(AllowList, TcpPortsStayTheCommandsOwn) {
    Peer other{"127.0.0.2", SOCK_STREAM};
    Policy policy = *base().net_allow_host("127.0.0.2").net_connect_port(tcp2.port_number()).build();
    EXPECT_EQ(run_helper(policy, {"connect", "127.0.0.2", tcp2.port()}), "ok\n");
    EXPECT_EQ(run_helper(policy, {"connect", "127.0.0.2", other.port()}), "EACCES\n");
    EXPECT_EQ(tcp2.accepted(), 1);
    EXPECT_EQ(other.accepted(), 0);
}

std::string unique_name(const char* what) {
    std::random_device rd;
    return std::string("vestrion-test-") + what + "-" + std::to_string(rd());
}

TEST(OnBehalf, AbstractNamesUnderIsolateIpcAreTheSandboxsOwn) {
    std::string theirs = unique_name("outside");
    UniqueFd server(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path + 1, theirs.data(), theirs.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + theirs.size());
    ASSERT_EQ(::bind(server.get(), reinterpret_cast<sockaddr*>(&a), len), 0);
    ASSERT_EQ(::listen(server.get(), 4), 0);

    Policy isolated = *base().net_allow_host("127.0.0.2").isolate_ipc(true).build();
    EXPECT_EQ(run_helper(isolated, {"abstract-self", unique_name("inside")}), "ok\n");
    EXPECT_EQ(run_helper(isolated, {"connect-abstract", theirs}), "EPERM\n");
    EXPECT_EQ(run_helper(allowing_2(), {"connect-abstract", theirs}), "ok\n");
}

// A Unix server on `path` that greets each client with "hello".
class UnixServer {
  public:
    explicit UnixServer(const std::filesystem::path& path) {
        fd_.reset(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd_.get(), 4), 0);
        thread_ = std::thread([fd = fd_.get()] {
            int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return;
            [[maybe_unused]] ssize_t n = ::write(c, "hello", 5);
            ::close(c);
        });
    }
    ~UnixServer() {
        ::shutdown(fd_.get(), SHUT_RDWR);  // wakes an accept that got no client
        thread_.join();
    }

  private:
    UniqueFd fd_;
    std::thread thread_;
};

TEST(OnBehalf, UnixPathsResolveFromTheCommandsWorkingDirectory) {
    test::TempDir dir;
    std::filesystem::create_directory(dir / "run");
    UnixServer server(dir / "run" / "sock");
    Policy policy =
        *base().net_allow_host("127.0.0.2").fs_write(dir.path()).cwd(dir / "run").build();
    EXPECT_EQ(run_helper(policy, {"connect-unix", "sock"}), "ok hello\n");
}

TEST(OnBehalf, ASocketFileTheCommandMayNotWriteStaysOutOfReach) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give the socket file to another user";
    auto caps = Sandbox::run(allowing_2(), Args{"sh", "-c", "grep CapEff /proc/self/status"});
    ASSERT_TRUE(caps);
    if (caps->stdout_bytes->find("0000000000000000") == std::string::npos)
        GTEST_SKIP() << "the command keeps capabilities that override file permissions";
    test::TempDir dir;
    UnixServer server(dir / "sock");
    ASSERT_EQ(::chown((dir / "sock").c_str(), 12345, 12345), 0);
    ASSERT_EQ(::chmod((dir / "sock").c_str(), 0600), 0);
    // Beneath a writable tree: the file's own permissions still hold.
    Policy policy =
        *base().net_allow_host("127.0.0.2").fs_write(dir.path()).cwd(dir.path()).build();
    EXPECT_EQ(run_helper(policy, {"connect-unix", "sock"}), "EACCES\n");
}

// The agent holds a copy of the caller's memory and the descriptors the supervisor passes it.
TEST(OnBehalf, TheCommandCannotReachIntoTheAgent) {
    for (bool privileged : {false, true}) {
        SCOPED_TRACE(privileged ? "privileged" : "unprivileged");
        Policy policy = *base().net_allow_host("127.0.0.2").privileged(privileged).build();
        auto caps = Sandbox::run(policy, Args{"sh", "-c", "grep CapEff /proc/self/status"});
        ASSERT_TRUE(caps);
        if (!privileged && caps->stdout_bytes->find("0000000000000000") == std::string::npos) {
            std::cout << "skipped unprivileged: the command keeps its capabilities here\n";
            continue;
        }
        std::string said = run_helper(policy, {"agent-memory"});
        EXPECT_NE(said.find("mem"), std::string::npos) << said;
        EXPECT_EQ(said.find("ok"), std::string::npos) << said;
    }
}

TEST(OnBehalf, ControlDataIsTranslatedNotCopied) {
    EXPECT_EQ(run_helper(allowing_2(), {"pass-pipe"}), "through the pipe\n");
    EXPECT_EQ(run_helper(allowing_2(), {"send-credentials", "0"}), "ok\n");
    // Credentials of another process are refused: through the supervisor they would otherwise
    // be checked against its own rights.
    EXPECT_EQ(run_helper(allowing_2(), {"send-credentials", "1"}), "EPERM\n");
}

// --- Name resolution through a test resolver ---

// Answers every query for one name: an A record with 10.1.2.3, no records of other types.
class NameServer {
  public:
    NameServer() : socket_("127.0.0.2", SOCK_DGRAM) {
        thread_ = std::thread([this] { serve(); });
    }
    ~NameServer() {
        stop_ = true;
        thread_.join();
    }
    std::string port() const { return socket_.port(); }

  private:
    void serve() {
        while (!stop_) {
            std::uint8_t q[512];
            sockaddr_in from{};
            socklen_t from_len = sizeof from;
            ssize_t n = ::recvfrom(socket_.fd(), q, sizeof q, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
            if (n < 12) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            std::size_t end = 12;
            while (end < static_cast<std::size_t>(n) && q[end] != 0) end += q[end] + 1;
            end += 5;  // the root label, type, class
            if (end > static_cast<std::size_t>(n)) continue;
            bool a_record = q[end - 4] == 0 && q[end - 3] == 1;
            std::vector<std::uint8_t> r(q, q + end);
            r[2] = 0x81;  // a response, recursion desired
            r[3] = 0x80;  // recursion available, no error
            r[7] = a_record ? 1 : 0;  // answers
            r[8] = r[9] = r[10] = r[11] = 0;
            if (a_record)
                r.insert(r.end(), {0xc0, 0x0c, 0, 1, 0, 1, 0, 0, 0, 60, 0, 4, 10, 1, 2, 3});
            ::sendto(socket_.fd(), r.data(), r.size(), 0, reinterpret_cast<sockaddr*>(&from), from_len);
        }
    }

    Peer socket_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(OnBehalf, TheCLibraryResolverWorksThroughTheAllowList) {
    NameServer server;
    EXPECT_EQ(run_helper(allowing_2(), {"resolve", "service.vestrion.test", server.port()}),
              "10.1.2.3\n");
}

// --- Teardown ---

// Whether `teardown` returned in time; a sandbox that hangs stays with the thread.
bool returns(std::function<void()> teardown) {
    auto done = std::make_shared<std::promise<void>>();
    auto finished = done->get_future();
    std::thread([done, teardown = std::move(teardown)] {
        teardown();
        done->set_value();
    }).detach();
    // Well below the two minutes after which a blocked connect gives up by itself.
    return finished.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
}

// TCP sockets of this host towards `port` in the state `state` ("02": SYN_SENT), with their
// send queue when `queued`.
int sockets_towards(std::uint16_t port, const char* state, bool queued = false) {
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);
    int n = 0;
    char remote_port[5];
    std::snprintf(remote_port, sizeof remote_port, "%04X", port);
    while (std::getline(tcp, line)) {
        std::istringstream in(line);
        std::string slot, local, remote, st, queues;
        in >> slot >> local >> remote >> st >> queues;
        if (remote.substr(remote.size() - 4) != remote_port || st != state) continue;
        if (queued && queues.substr(0, queues.find(':')) == "00000000") continue;
        ++n;
    }
    return n;
}

void wait_until(const std::function<bool()>& ready) {
    for (int i = 0; i < 1000 && !ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST(Teardown, ACallBlockedOnTheCommandsBehalfDoesNotHoldItUp) {
    struct Case {
        const char* name;
        int backlog;
        int fill;           // connections the test makes first
        const char* state;  // of the command's socket once it blocks
        bool queued;
    };
    for (const Case& c : {Case{"connect-blocking", 0, 4, "02", false},
                          Case{"send-until-blocked", 1, 0, "01", true}}) {
        SCOPED_TRACE(c.name);
        Peer peer{"127.0.0.2", SOCK_STREAM, c.backlog};
        std::vector<UniqueFd> filling;
        for (int i = 0; i < c.fill; ++i) {
            filling.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            sockaddr_in a = loopback("127.0.0.2", peer.port_number());
            ::connect(filling.back().get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        int before = sockets_towards(peer.port_number(), c.state, c.queued);
        auto sandbox = std::move(*Sandbox::create(allowing_2()));
        Args argv{VESTRION_NET_HELPER, c.name, "127.0.0.2", peer.port()};
        ASSERT_TRUE(sandbox->spawn(argv));
        wait_until([&] { return sockets_towards(peer.port_number(), c.state, c.queued) > before; });
        EXPECT_TRUE(returns([s = std::shared_ptr<Sandbox>(std::move(sandbox))]() mutable { s.reset(); }))
            << "the sandbox's teardown hung";
    }
}

// --- Datagram destinations: judged as the kernel reads them on that socket ---

// What a receiver gets from the helper's three sends, each carrying the name of its call.
const std::vector<std::string> kEachCall{"sendto", "sendmsg", "sendmmsg"};
const std::vector<std::string> kNothing;

// Each destination form on each kind of UDP socket, through sendto, sendmsg and sendmmsg: what
// the allowed receiver and a receiver outside the allow-list are told and get. The kernel takes
// AF_UNSPEC as AF_INET on an IPv4 socket, and AF_INET on an IPv6 socket as AF_INET; an IPv6
// socket takes AF_UNSPEC as no destination at all.
TEST_F(AllowList, EveryDatagramDestinationIsJudgedAsTheKernelReadsIt) {
    struct Case {
        const char* socket;
        const char* form;
        const char* to_allowed;  // what the command is told sending to 127.0.0.2; to 127.0.0.3 it
                                 // is told ECONNREFUSED wherever this is a count
    };
    const std::string sent = "sendto 6 sendmsg 7 sendmmsg 1";
    const Case cases[] = {
        {"udp", "inet", "sendto 6 sendmsg 7 sendmmsg 1"},
        {"udp", "unspec", "sendto 6 sendmsg 7 sendmmsg 1"},
        {"udp", "mapped", "sendto EAFNOSUPPORT sendmsg EAFNOSUPPORT sendmmsg EAFNOSUPPORT"},
        {"udp", "short", "sendto EINVAL sendmsg EINVAL sendmmsg EINVAL"},
        {"udp", "unix", "sendto EAFNOSUPPORT sendmsg EAFNOSUPPORT sendmmsg EAFNOSUPPORT"},
        {"udp6", "inet", "sendto 6 sendmsg 7 sendmmsg 1"},
        // An IPv4 address and the IPv6 address that maps it are told apart: refused either way.
        {"udp6", "mapped", "sendto ECONNREFUSED sendmsg ECONNREFUSED sendmmsg ECONNREFUSED"},
        {"udp6", "unspec", "sendto EDESTADDRREQ sendmsg EDESTADDRREQ sendmmsg EDESTADDRREQ"},
        {"udp6", "short", "sendto EINVAL sendmsg EINVAL sendmmsg EINVAL"},
        {"udp6", "unix", "sendto EAFNOSUPPORT sendmsg EAFNOSUPPORT sendmmsg EAFNOSUPPORT"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.socket) + " " + c.form);
        const bool delivered = c.to_allowed == sent;
        EXPECT_EQ(run_helper(allowing_2(), {"dgram", c.socket, c.form, "127.0.0.2", udp2.port()}),
                  std::string(c.to_allowed) + "\n");
        EXPECT_EQ(udp2.datagrams(), delivered ? kEachCall : kNothing);
        std::string refused = delivered ? "sendto ECONNREFUSED sendmsg ECONNREFUSED sendmmsg "
                                          "ECONNREFUSED"
                                        : c.to_allowed;
        EXPECT_EQ(run_helper(allowing_2(), {"dgram", c.socket, c.form, "127.0.0.3", udp3.port()}),
                  refused + "\n");
        EXPECT_TRUE(udp3.datagrams().empty());
    }
}

// --- Unix socket files: reached only beneath a tree the command may write ---

// A stream listener and a datagram receiver bound to files of one directory.
class UnixPeers {
  public:
    explicit UnixPeers(const std::filesystem::path& dir)
        : stream_path_(dir / "stream"), dgram_path_(dir / "dgram") {
        stream_.reset(bound(SOCK_STREAM, stream_path_));
        EXPECT_EQ(::listen(stream_.get(), 16), 0);
        dgram_.reset(bound(SOCK_DGRAM, dgram_path_));
    }
    std::string stream() const { return stream_path_.string(); }
    std::string dgram() const { return dgram_path_.string(); }
    int accepted() {
        int n = 0;
        for (int c; (c = ::accept4(stream_.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++n)
            ::close(c);
        return n;
    }
    std::vector<std::string> datagrams() {
        std::vector<std::string> all;
        char buf[256];
        for (ssize_t n; (n = ::recv(dgram_.get(), buf, sizeof buf, 0)) >= 0;) all.emplace_back(buf, n);
        return all;
    }

  private:
    static int bound(int type, const std::filesystem::path& path) {
        int fd = ::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << path;
        ::chmod(path.c_str(), 0777);
        return fd;
    }
    std::filesystem::path stream_path_, dgram_path_;
    UniqueFd stream_, dgram_;
};

// Where the socket file lies decides, not how it is named: outside every fs_write path (also
// through a link that lies inside one) the command is told EACCES and the peer sees nothing;
// beneath one, connects and datagrams arrive, also by a name of the full 108 bytes (no NUL).
// Under a policy that lends no path the command gets no Unix socket at all.
TEST(UnixSocketFiles, AreReachedOnlyBeneathAWritableTree) {
    test::TempDir outside, inside;
    UnixPeers out(outside.path()), in(inside.path());
    std::filesystem::create_symlink(out.stream(), inside / "stream-link");
    std::filesystem::create_symlink(out.dgram(), inside / "dgram-link");
    auto name_of_108 = [&](const std::string& target, char fill) {
        const std::string dir = inside.path().string() + "/";
        std::string name = dir + std::string(108 - dir.size(), fill);
        std::filesystem::create_symlink(target, name);
        return name;
    };
    const std::string long_stream = name_of_108(in.stream(), 's');
    const std::string long_dgram = name_of_108(in.dgram(), 'd');
    const Policy writing = *base().fs_write(inside.path()).build();
    const Policy reading = *base().build();
    const std::string refused = "sendto EACCES sendmsg EACCES sendmmsg EACCES\n";
    struct Case {
        const char* name;
        const Policy* policy;
        std::string stream, dgram;
        UnixPeers* peer;
        bool reached;
        std::string dgram_refused;
    };
    const Case cases[] = {
        {"outside", &writing, out.stream(), out.dgram(), &out, false, refused},
        {"through a link inside", &writing, (inside / "stream-link").string(),
         (inside / "dgram-link").string(), &out, false, refused},
        {"no fs_write path", &reading, out.stream(), out.dgram(), &out, false, "socket EACCES\n"},
        {"beneath fs_write", &writing, in.stream(), in.dgram(), &in, true, ""},
        {"a name of 108 bytes", &writing, long_stream, long_dgram, &in, true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_helper(*c.policy, {"connect-path", c.stream}), c.reached ? "ok\n" : "EACCES\n");
        EXPECT_EQ(run_helper(*c.policy, {"unix-dgram", c.dgram}),
                  c.reached ? "sendto 6 sendmsg 7 sendmmsg 1\n" : c.dgram_refused);
        EXPECT_EQ(c.peer->accepted(), c.reached ? 1 : 0);
        EXPECT_EQ(c.peer->datagrams(), c.reached ? kEachCall : kNothing);
    }
    EXPECT_EQ(out.accepted(), 0);
    EXPECT_TRUE(out.datagrams().empty());
}

// A policy that lends no writable tree starts no agent, so nothing could make a call by name for
// the command from a copy it cannot change: it gets no Unix socket that could reach a name. Its
// connected pairs still carry data and descriptors; a name on them reaches nothing.
TEST(UnixSocketFiles, WithoutAWritableTreeNoSocketOfTheCommandReachesAName) {
    test::TempDir outside;
    UnixPeers out(outside.path());
    const Policy reading = *base().build();
    // The kernel finds the file before it refuses: a socket of another type is EPROTOTYPE.
    EXPECT_EQ(run_helper(reading, {"pairs", out.stream()}),
              "socket EACCES dgram-pair EACCES connect EISCONN sendto EISCONN connect EPROTOTYPE "
              "sendto ok\n");
    EXPECT_EQ(run_helper(reading, {"pairs", out.dgram()}),
              "socket EACCES dgram-pair EACCES connect EPROTOTYPE sendto EISCONN connect "
              "EPROTOTYPE sendto ok\n");
    EXPECT_EQ(run_helper(reading, {"pass-pipe"}), "through the pipe\n");
    EXPECT_EQ(out.accepted(), 0);
    EXPECT_TRUE(out.datagrams().empty());
}

// A socket the caller hands in is judged like the command's own where the agent makes the call.
TEST(UnixSocketFiles, ASocketHandedInReachesOnlyWhatTheCommandsOwnWould) {
    test::TempDir outside, inside;
    UnixPeers out(outside.path()), in(inside.path());
    UniqueFd handed(::socket(AF_UNIX, SOCK_DGRAM, 0));  // inherited: not close-on-exec
    ASSERT_TRUE(handed);
    const Policy writing = *base().fs_write(inside.path()).close_fds(false).build();
    const std::string fd = std::to_string(handed.get());
    EXPECT_EQ(run_helper(writing, {"unix-dgram-fd", fd, out.dgram()}),
              "sendto EACCES sendmsg EACCES sendmmsg EACCES\n");
    EXPECT_EQ(run_helper(writing, {"unix-dgram-fd", fd, in.dgram()}), "sendto 6 sendmsg 7 sendmmsg 1\n");
    EXPECT_TRUE(out.datagrams().empty());
    EXPECT_EQ(in.datagrams(), kEachCall);
}

// The command flips the name it connects to, in its memory or as a link inside the writable
// tree, between a socket file it may reach and one outside: the one outside sees nothing.
TEST(UnixSocketFiles, NoFlipReachesTheFileOutside) {
    test::TempDir outside, inside;
    UnixPeers out(outside.path()), in(inside.path());
    const Policy writing = *base().fs_write(inside.path()).build();
    const std::string tries = "3000";
    EXPECT_EQ(run_helper(writing, {"race-unix-name", in.stream(), out.stream(), tries}), "done\n");
    EXPECT_EQ(run_helper(writing, {"race-unix-link", (inside / "link").string(), in.stream(),
                                   out.stream(), tries}),
              "done\n");
    EXPECT_EQ(out.accepted(), 0);
    EXPECT_GT(in.accepted(), 0);
}

// --- Races: whatever the command changes while its call is made, the refused peer sees nothing.

TEST(Races, NothingReachesARefusedPeer) {
    test::TempDir dir;
    Peer tcp3{"127.0.0.3", SOCK_STREAM}, udp3{"127.0.0.3", SOCK_DGRAM};
    const std::string tries = "10000";
    const std::string nowhere = (dir / "nothing").string();
    struct Case {
        const char* name;
        Args args;
        const char* said;
    };
    for (const Case& c : {Case{"address flips to a Unix name",
                               {"race-address", "127.0.0.3", tcp3.port(), nowhere, tries}, "made 0\n"},
                          Case{"socket and address flip",
                               {"race-dup", "127.0.0.3", tcp3.port(), nowhere, tries}, "made 0\n"},
                          Case{"msg_name flips to NULL",
                               {"race-name", "127.0.0.3", udp3.port(), tries}, "sent 0\n"}}) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run_helper(allowing_2(), c.args), c.said);
        EXPECT_EQ(tcp3.accepted(), 0);
        EXPECT_TRUE(udp3.datagrams().empty());
    }
}

// --- The policy callback ---

// A policy whose callback runs `decide` on every event; everything it touches is its own, as the
// callback thread may outlive the run.
Policy with_callback(std::function<Verdict(const SyscallEvent&, PolicyContext&)> decide) {
    return *base()
                .policy_fn([decide = std::move(decide)](SyscallEvent event, PolicyContext& ctx) {
                    return decide(event, ctx);
                })
                .build();
}

TEST_F(AllowList, CallbackDenyStopsTheConnectionBeforeItIsMade) {
    Policy policy = with_callback([](const SyscallEvent& e, PolicyContext&) {
        return e.syscall == "connect" && e.port ? Verdict::deny() : Verdict::allow();
    });
    EXPECT_EQ(run_helper(policy, {"connect", "127.0.0.2", tcp2.port()}), "EPERM\n");
    EXPECT_EQ(tcp2.accepted(), 0);
}

TEST_F(AllowList, CallbackRestrictionCoversTheProcessAndWhatItStartsAfterwards) {
    // The first connect, made by a thread, restricts its process to no address at all.
    Policy policy = with_callback([](const SyscallEvent& e, PolicyContext& ctx) {
        if (e.syscall == "connect") ctx.restrict_pid_network(e.pid, {});
        return Verdict::allow();
    });
    EXPECT_EQ(run_helper(policy, {"connect-thread-main-fork", "127.0.0.2", tcp2.port()}),
              "ok\nECONNREFUSED\nECONNREFUSED\n");
    EXPECT_EQ(tcp2.accepted(), 1);
}

TEST(CallbackNetwork, RestrictingToNoAddressRefusesEveryIpButNotUnix) {
    Peer tcp2{"127.0.0.2", SOCK_STREAM};
    test::TempDir dir;
    UnixServer server(dir / "sock");
    // Restricted at the first event, the exec of the command.
    Policy policy = *base()
                         .fs_write(dir.path())
                         .cwd(dir.path())
                         .policy_fn([](SyscallEvent, PolicyContext& ctx) {
                             ctx.restrict_network({});
                             return Verdict::allow();
                         })
                         .build();
    EXPECT_EQ(run_helper(policy, {"connect", "127.0.0.2", tcp2.port()}), "ECONNREFUSED\n");
    EXPECT_EQ(run_helper(policy, {"connect", "::1", "9"}), "ECONNREFUSED\n");
    EXPECT_EQ(run_helper(policy, {"connect-unix", "sock"}), "ok hello\n");
    EXPECT_EQ(tcp2.accepted(), 0);
}

}  // namespace
}  // namespace vestrion
