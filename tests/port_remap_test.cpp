// Port remapping and the binds the supervisor makes for the child, seen from a sandboxed server:
// which port it really holds, what it is told, and that no bind goes beyond the child's rights.
#include "core/port_remap.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "core/sandbox.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

TEST(PortMap, KeepsOnlyDifferingPairsAndEveryRealPort) {
    PortMap map;
    map.record_bind(8080, 8080);
    map.record_bind(9000, 41000);
    EXPECT_EQ(map.bound_real, (std::set<std::uint16_t>{8080, 41000}));
    EXPECT_FALSE(map.get_real(8080));
    EXPECT_FALSE(map.get_virtual(8080));
    EXPECT_EQ(map.get_real(9000), 41000);
    EXPECT_EQ(map.get_virtual(41000), 9000);
}

// A TCP socket of the host bound to 127.0.0.1 on a port the kernel picks, not listening.
class HostPort {
  public:
    HostPort() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~HostPort() { ::close(fd_); }
    std::uint16_t port() const { return port_; }
    // Lets the port go, for a test that needs a port free on the host.
    void release() {
        ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_;
    std::uint16_t port_;
};

// What bind-listen printed: the outcome, the port getsockname showed, whether the port asked
// reached the listener, a second bind's outcome, and the ports of the TCP tables.
struct Seen {
    std::vector<std::string> words;
    std::vector<std::string> tcp;
};

Seen parse(const std::string& out) {
    Seen s;
    std::istringstream in(out);
    for (std::string w; in >> w;) {
        if (w.starts_with("tcp:")) {
            std::istringstream ports(w.substr(4));
            for (std::string p; std::getline(ports, p, ',');)
                if (!p.empty()) s.tcp.push_back(p);
        } else {
            s.words.push_back(w);
        }
    }
    return s;
}

std::string run_out(const Policy& policy, const Args& argv) {
    auto result = Sandbox::run(policy, argv);
    EXPECT_TRUE(result.has_value()) << result.error().message();
    if (!result) return "";
    EXPECT_EQ(result->stderr_bytes.value_or(""), "");
    return result->stdout_bytes.value_or("");
}

struct BindCase {
    const char* name;
    bool remap;
    bool host_holds;  // a host socket holds 127.0.0.1:P
    const char* address;
    // The net_bind_port rule: none, P itself, or another port.
    enum class Rule { None, Asked, Other } rule = Rule::None;
    bool twice = false;
    // Checked against the words (outcome, port shown, reach, second bind) and the TCP ports.
    std::function<void(const Seen&, const std::string& asked)> check;
};
void PrintTo(const BindCase& c, std::ostream* os) {
    *os << c.name;
}

class Binds : public ::testing::TestWithParam<BindCase> {};

TEST_P(Binds, HoldTheRightPortAndShowTheAskedOne) {
    const BindCase& c = GetParam();
    HostPort host;
    const std::string asked = std::to_string(host.port());
    if (!c.host_holds) host.release();
    auto builder = Policy::builder().fs_read("/").port_remap(c.remap);
    if (c.rule == BindCase::Rule::Asked) builder = std::move(builder).net_bind_port(host.port());
    if (c.rule == BindCase::Rule::Other)
        builder = std::move(builder).net_bind_port(static_cast<std::uint16_t>(host.port() ^ 1));
    Args argv{VESTRION_NET_HELPER, "bind-listen", c.address, asked};
    if (c.twice) argv.push_back("twice");
    std::string out = run_out(*std::move(builder).build(), argv);
    c.check(parse(out), asked);
}

void moved(const Seen& s, const std::string& asked) {
    ASSERT_GE(s.words.size(), 3u);
    EXPECT_EQ(s.words[0], "ok");
    EXPECT_EQ(s.words[1], asked) << "getsockname shows the port asked";
    // Refused, or outside the rules of connect (a bind rule limits connect too).
    EXPECT_NE(s.words[2], "ok") << "the port asked is not the one held";
    ASSERT_EQ(s.tcp.size(), 1u);
    EXPECT_NE(s.tcp[0], asked);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Binds,
    ::testing::Values(
        BindCase{"AFreePortIsBoundItself", true, false, "127.0.0.1", BindCase::Rule::None, false,
                 [](const Seen& s, const std::string& asked) {
                     EXPECT_EQ(s.words, (std::vector<std::string>{"ok", asked, "ok"}));
                     // The listener, and the connection it holds in its queue.
                     EXPECT_EQ(std::set<std::string>(s.tcp.begin(), s.tcp.end()),
                               std::set<std::string>{asked});
                 }},
        BindCase{"AHeldPortMovesToAFreeOne", true, true, "127.0.0.1", BindCase::Rule::None, false,
                 moved},
        // The host holds the port on one address only; the dual-stack bind still conflicts.
        BindCase{"ADualStackBindMovesToo", true, true, "::", BindCase::Rule::None, false, moved},
        BindCase{"ARuleForThePortStillMovesItWhenHeld", true, true, "127.0.0.1",
                 BindCase::Rule::Asked, false, moved},
        BindCase{"ASecondBindFindsTheFirstsPortInUse", true, true, "127.0.0.1",
                 BindCase::Rule::None, true,
                 [](const Seen& s, const std::string& asked) {
                     ASSERT_EQ(s.words.size(), 4u);
                     EXPECT_EQ(s.words[1], asked);
                     EXPECT_EQ(s.words[3], "EADDRINUSE");
                     EXPECT_EQ(s.tcp.size(), 1u);
                 }},
        BindCase{"WithoutRemappingAHeldPortIsInUse", false, true, "127.0.0.1", BindCase::Rule::None,
                 false,
                 [](const Seen& s, const std::string&) {
                     EXPECT_EQ(s.words, std::vector<std::string>{"EADDRINUSE"});
                 }},
        BindCase{"APortOutsideTheRulesIsRefused", true, false, "127.0.0.1", BindCase::Rule::Other,
                 false,
                 [](const Seen& s, const std::string&) {
                     EXPECT_EQ(s.words, std::vector<std::string>{"EACCES"});
                     EXPECT_TRUE(s.tcp.empty());
                 }},
        BindCase{"APortOutsideTheRulesIsRefusedEvenWhenHeld", true, true, "127.0.0.1",
                 BindCase::Rule::Other, false,
                 [](const Seen& s, const std::string&) {
                     EXPECT_EQ(s.words, std::vector<std::string>{"EACCES"});
                 }},
        BindCase{"APortOutsideTheRulesIsRefusedWithoutRemapping", false, false, "127.0.0.1",
                 BindCase::Rule::Other, false,
                 [](const Seen& s, const std::string&) {
                     EXPECT_EQ(s.words, std::vector<std::string>{"EACCES"});
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(PortRemap, APortTheKernelChoosesIsListed) {
    std::string out = run_out(*Policy::builder().fs_read("/").port_remap(true).build(),
                              Args{VESTRION_NET_HELPER, "bind-listen", "127.0.0.1", "0"});
    Seen s = parse(out);
    ASSERT_EQ(s.words.size(), 3u) << out;
    EXPECT_EQ(s.words[0], "ok");
    EXPECT_EQ(s.tcp, std::vector<std::string>{s.words[1]});
}

TEST(PortRemap, BadArgumentsGetTheKernelsErrors) {
    // The same answers whether the supervisor or the kernel makes the calls.
    const std::string expected = "EFAULT EINVAL EFAULT ok 16 2\n";
    for (bool remap : {false, true})
        EXPECT_EQ(run_out(*Policy::builder().fs_read("/").port_remap(remap).build(),
                          Args{VESTRION_NET_HELPER, "bind-bad"}),
                  expected)
            << remap;
}

PolicyFn deny_binds(bool deny) {
    return [deny](SyscallEvent event, PolicyContext&) {
        return deny && event.syscall == "bind" ? Verdict::deny() : Verdict::allow();
    };
}

TEST(PortRemap, ThePrivilegedFloorHoldsForTheCommandOfARootCaller) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a root caller";
    std::ifstream floor("/proc/sys/net/ipv4/ip_unprivileged_port_start");
    int start = 0;
    if (!(floor >> start) || start <= 80) GTEST_SKIP() << "port 80 is not privileged here";
    struct Case {
        bool remap, callback;
    };
    for (Case c : {Case{true, false}, Case{false, true}, Case{false, false}}) {
        auto builder = Policy::builder().fs_read("/").port_remap(c.remap);
        if (c.callback) builder = std::move(builder).policy_fn(deny_binds(false));
        Seen s = parse(run_out(*std::move(builder).build(),
                               Args{VESTRION_NET_HELPER, "bind-listen", "0.0.0.0", "80"}));
        EXPECT_EQ(s.words, std::vector<std::string>{"EACCES"}) << c.remap << c.callback;
    }
}

TEST(PortRemap, AUnixBindUnderACallbackIsMadeWhereTheCommandStands) {
    test::TempDir scratch;
    const std::string long_name(107, 'n');
    struct Case {
        const char* name;
        bool deny;
        std::string path;
        const char* expected;
    };
    for (const Case& c :
         {Case{"relative", false, "sock", "ok\n"}, Case{"longest", false, long_name, "ok\n"},
          Case{"vetoed", true, "vetoed", "EPERM\n"}}) {
        bool existed_here = fs::exists(c.path);
        auto policy = Policy::builder()
                          .fs_read("/")
                          .fs_write(scratch.path())
                          .cwd(scratch.path())
                          .policy_fn(deny_binds(c.deny))
                          .build();
        EXPECT_EQ(run_out(*policy, Args{VESTRION_TEST_HELPER, "bind-unix", c.path}), c.expected)
            << c.name;
        struct stat st;
        bool made = ::lstat((scratch / c.path).c_str(), &st) == 0;
        EXPECT_EQ(made, !c.deny) << c.name;
        if (made) {
            EXPECT_TRUE(S_ISSOCK(st.st_mode)) << c.name;
        }
        EXPECT_EQ(fs::exists(c.path), existed_here) << c.name << ": made in the caller's directory";
    }
}

}  // namespace
}  // namespace vestrion
