#include "core/landlock.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/support.hpp"

namespace vestrion {
namespace {

using test::outcome;
using test::run_forked;
using test::TempDir;

int open_read(const Path& p) {
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    return fd;
}

int create_file(const Path& p) {
    int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
    return fd;
}

// The first line of a child's report, or the confinement error if confining failed.
std::string confine_then(const Policy& policy, const std::function<std::string()>& checks) {
    auto confined = confine_current_process(policy);
    if (!confined) return "confine: " + confined.error().message();
    return checks();
}

class LandlockTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto abi = landlock::abi_version();
        if (!abi || *abi < landlock::MIN_ABI) GTEST_SKIP() << "Landlock ABI 6 is not available";
        std::filesystem::create_directories(dir / "readable");
        std::filesystem::create_directories(dir / "writable");
        std::filesystem::create_directories(dir / "other");
        test::write_file(dir / "readable/file", "r");
        test::write_file(dir / "other/file", "o");
        test::write_file(dir / "other/sibling", "s");
    }
    TempDir dir;
};

TEST_F(LandlockTest, ReadableAndWritableDirectories) {
    Policy policy = *Policy::builder()
                         .fs_read(dir / "readable")
                         .fs_write(dir / "writable")
                         .build();
    auto report = run_forked([&] {
        return confine_then(policy, [&] {
            return outcome(open_read(dir / "readable/file")) + " " +
                   outcome(open_read(dir / "other/file")) + " " +
                   outcome(create_file(dir / "writable/new")) + " " +
                   outcome(create_file(dir / "beside")) + " " +
                   outcome(create_file(dir / "readable/new"));
        });
    });
    EXPECT_EQ(report.text, "ok EACCES ok EACCES EACCES");
}

TEST_F(LandlockTest, SingleFileGrantsReachOnlyThatFile) {
    Policy policy = *Policy::builder()
                         .fs_read(dir / "other/file")
                         .fs_write(dir / "writable")
                         .fs_write("/dev/null")
                         .build();
    auto report = run_forked([&] {
        return confine_then(policy, [&] {
            int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            if (null_fd >= 0) ::close(null_fd);
            return outcome(open_read(dir / "other/file")) + " " +
                   outcome(open_read(dir / "other/sibling")) + " " + outcome(null_fd);
        });
    });
    EXPECT_EQ(report.text, "ok EACCES ok");
}

TEST_F(LandlockTest, AFifoEntryDoesNotBlock) {
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    Policy policy = *Policy::builder().fs_read(dir / "fifo").build();
    auto report = run_forked([&] {
        ::alarm(10);  // a blocked open would otherwise hang the test
        return confine_then(policy, [] { return std::string("confined"); });
    });
    EXPECT_EQ(report.text, "confined");
    EXPECT_TRUE(WIFEXITED(report.wait_status));
}

TEST_F(LandlockTest, MissingPathNamesItAndEnforcesNothing) {
    Path missing = dir / "missing";
    Policy policy = *Policy::builder().fs_read(dir / "readable").fs_read(missing).build();
    auto report = run_forked([&] {
        auto confined = confine_current_process(policy);
        std::string text = confined ? "confined" : confined.error().message();
        return text + "|" + outcome(open_read(dir / "other/file"));
    });
    EXPECT_EQ(report.text, "sandbox error: confinement failed: landlock error: open path \"" +
                               missing.native() +
                               "\" failed: No such file or directory (os error 2)|ok");
}

// A loopback listener on an ephemeral port.
struct Listener {
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::listen(fd, 4);
        socklen_t len = sizeof addr;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        port = ntohs(addr.sin_port);
    }
    ~Listener() { ::close(fd); }
    int fd;
    std::uint16_t port;
};

int connect_to(std::uint16_t port) {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    int ret = ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    int saved = errno;
    ::close(s);
    errno = saved;
    return ret;
}

TEST_F(LandlockTest, OneConnectPortRefusesTheOthers) {
    Listener allowed, other;
    Policy policy = *Policy::builder().net_connect_port(allowed.port).build();
    auto report = run_forked([&] {
        return confine_then(policy, [&] {
            return outcome(connect_to(allowed.port)) + " " + outcome(connect_to(other.port));
        });
    });
    EXPECT_EQ(report.text, "ok EACCES");
}

TEST_F(LandlockTest, IsolatedSignalsCannotReachTheParent) {
    Policy policy = *Policy::builder().isolate_signals(true).build();
    auto report = run_forked([&] {
        return confine_then(policy, [] { return outcome(::kill(::getppid(), 0)); });
    });
    EXPECT_EQ(report.text, "EPERM");
}

TEST(LandlockPlan, VirtualRootJoinsEntriesAndAddsHostReadPass) {
    Policy policy = *Policy::builder()
                         .chroot("/r")
                         .fs_read("/usr")
                         .fs_write("/data")
                         .fs_write("//double")
                         .gpu_devices({})
                         .net_bind_port(80)
                         .net_connect_port(443)
                         .isolate_ipc(true)
                         .isolate_signals(true)
                         .build();
    landlock::Plan plan = landlock::plan(policy);
    using Mode = landlock::PathRule::Mode;
    std::vector<std::tuple<std::string, std::uint64_t, Mode>> got;
    for (const auto& rule : plan.paths) got.emplace_back(rule.path, rule.mask, rule.mode);
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got[0], std::make_tuple(std::string("/r/data"), 0xFFFFull, Mode::SkipIfMissing));
    // However many slashes lead, the entry stays inside the root.
    EXPECT_EQ(got[1], std::make_tuple(std::string("/r/double"), 0xFFFFull, Mode::SkipIfMissing));
    EXPECT_EQ(got[2], std::make_tuple(std::string("/r/usr"), 0xDull, Mode::SkipIfMissing));
    EXPECT_EQ(got[3], std::make_tuple(std::string("/usr"), 0xDull, Mode::Optional));
    EXPECT_EQ(got.size(), 4u + 11u);  // the GPU nodes and driver directories, all optional
    EXPECT_EQ(plan.scoped, 3u);
    EXPECT_EQ(plan.handled_access_net, 3u);
    ASSERT_EQ(plan.ports.size(), 2u);
    EXPECT_EQ(plan.ports[0].access, 1u);
    EXPECT_EQ(plan.ports[1].access, 2u);
}

TEST(LandlockPlan, NoPortsHandleNoNetworkRights) {
    landlock::Plan plan = landlock::plan(*Policy::builder().build());
    EXPECT_EQ(plan.handled_access_net, 0u);
    EXPECT_EQ(plan.handled_access_fs, 0xFFFFu);
    EXPECT_EQ(plan.scoped, 0u);
}

TEST(LandlockFailure, ChildRenderingMatchesTheErrorTree) {
    landlock::Plan plan;
    plan.paths.push_back({"/x\"y", "\"/x\\\"y\"", 0xD, landlock::PathRule::Mode::Required});
    plan.ports.push_back({8080, 1});
    using Step = landlock::Failure::Step;
    for (landlock::Failure f : {landlock::Failure{Step::Unavailable, 38, 0, 0},
                                landlock::Failure{Step::AbiQuery, 22, 0, 0},
                                landlock::Failure{Step::AbiTooOld, 0, 5, 0},
                                landlock::Failure{Step::CreateRuleset, 22, 0, 0},
                                landlock::Failure{Step::OpenPath, 2, 0, 0},
                                landlock::Failure{Step::AddPathRule, 22, 0, 0},
                                landlock::Failure{Step::AddNetRule, 22, 0, 0},
                                landlock::Failure{Step::RestrictSelf, 1, 0, 0}}) {
        text::LineBuf line;
        landlock::write_failure(line, plan, f);
        EXPECT_EQ(std::string(line.view()), landlock::failure_error(plan, f).message());
    }
    EXPECT_EQ(landlock::failure_error(plan, {Step::AbiTooOld, 0, 5, 0}).message(),
              "sandbox error: confinement failed: landlock ABI v6 required (kernel has v5): full "
              "vestrion support");
}

}  // namespace
}  // namespace vestrion
