#include "core/context/child.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <thread>

#include "core/sandbox.hpp"
#include "core/sys/syscall.hpp"
#include "tests/child_harness.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

using test::readable_root;
using test::run_confined;

std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(ChildSequence, ListenerReachesParentAndRoutedCallsAreAnswered) {
    Policy policy = *readable_root().build();
    auto run = run_confined(policy, {"/bin/sh", "-c", "echo hi; (echo sub); wait"});
    ASSERT_TRUE(run.listener_number.has_value());
    EXPECT_GT(*run.listener_number, 2u);
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    EXPECT_EQ(run.out, "hi\nsub\n");
    EXPECT_GE(run.answered, 1);  // the subshell's clone went through the listener
}

TEST(ChildSequence, NestedChildSendsZeroAndStillRuns) {
    Policy policy = *readable_root().build();
    auto run = run_confined(policy, {"echo", "nested"}, {.nested = true});
    ASSERT_TRUE(run.listener_number.has_value());
    EXPECT_EQ(*run.listener_number, 0u);
    EXPECT_EQ(run.exit_code(), 0);
    EXPECT_EQ(run.out, "nested\n");
}

struct FailureCase {
    const char* name;
    std::function<PolicyBuilder(PolicyBuilder)> policy;
    std::vector<std::string> command;
    std::string line;        // the whole failure line
    bool sends_listener;     // the failure comes after the handshake
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class ChildFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ChildFailures, EndWithOneLineAndStatus127) {
    const auto& c = GetParam();
    Policy policy = *c.policy(readable_root()).build();
    auto run = run_confined(policy, c.command);
    EXPECT_EQ(run.exit_code(), 127);
    EXPECT_EQ(run.err, c.line);
    EXPECT_EQ(run.listener_number.has_value(), c.sends_listener);
}

const std::string long_name(5000, 'x');

INSTANTIATE_TEST_SUITE_P(
    Table, ChildFailures,
    ::testing::Values(
        FailureCase{"MissingCwd",
                    [](PolicyBuilder b) { return std::move(b).cwd("/no/such/dir"); },
                    {"true"},
                    "vestrion child: chdir: No such file or directory (os error 2)\n",
                    false},
        FailureCase{"UnknownCommand", [](PolicyBuilder b) { return b; },
                    {"vestrion-no-such-command"},
                    "vestrion child: execvp 'vestrion-no-such-command': No such file or "
                    "directory (os error 2)\n",
                    true},
        FailureCase{"CoreTooHigh",
                    [](PolicyBuilder b) { return std::move(b).cpu_cores({0, 1024}); },
                    {"true"},
                    "vestrion child: sched_setaffinity: Invalid argument (os error 22)\n",
                    false},
        FailureCase{"BadEnvironmentName",
                    [](PolicyBuilder b) { return std::move(b).env_var("A=B", "1"); },
                    {"true"},
                    "vestrion child: setenv: Invalid argument (os error 22)\n",
                    true},
        FailureCase{"EmptyEnvironmentName",
                    [](PolicyBuilder b) { return std::move(b).env_var("", "1"); },
                    {"true"},
                    "vestrion child: setenv: Invalid argument (os error 22)\n",
                    true},
        FailureCase{"LongNameUnderVirtualRoot",
                    [](PolicyBuilder b) { return std::move(b).chroot("/"); },
                    {long_name},
                    "vestrion child: execvp '" + long_name +
                        "': File name too long (os error 36)\n",
                    true},
        FailureCase{"MissingLandlockPath",
                    [](PolicyBuilder b) { return std::move(b).fs_read("/no/such/path"); },
                    {"true"},
                    "vestrion child: landlock: sandbox error: confinement failed: landlock "
                    "error: open path \"/no/such/path\" failed: No such file or directory "
                    "(os error 2): No such file or directory (os error 2)\n",
                    false}),
    [](const auto& info) { return info.param.name; });

TEST(ChildSequence, ClosedGoPipeIsEndOfFile) {
    Policy policy = *readable_root().build();
    auto run = run_confined(policy, {"true"}, {.send_go = false});
    EXPECT_EQ(run.exit_code(), 127);
    EXPECT_EQ(run.err.rfind("vestrion child: read ready signal: pipe closed before 4 bytes read: ",
                            0),
              0u)
        << run.err;
}

TEST(ChildSequence, CleanEnvLeavesExactlyTheMapAndGpuVariables) {
    Policy policy = *readable_root()
                         .clean_env(true)
                         .env_var("ALPHA", "1")
                         .env_var("BETA", "two words")
                         .gpu_devices({0, 2})
                         .build();
    auto run = run_confined(policy, {"/usr/bin/env"});
    EXPECT_EQ(run.exit_code(), 0) << run.err;
    EXPECT_EQ(sorted_lines(run.out),
              (std::vector<std::string>{"ALPHA=1", "BETA=two words", "CUDA_VISIBLE_DEVICES=0,2",
                                        "ROCR_VISIBLE_DEVICES=0,2"}));
}

TEST(ChildSequence, PathSearchUsesTheCommandsEnvironment) {
    test::TempDir dir;
    test::write_file(dir / "vestrion-probe", "#!/bin/sh\necho found\n");
    ::chmod((dir / "vestrion-probe").c_str(), 0755);
    for (bool virtual_root : {false, true}) {
        PolicyBuilder b = readable_root().env_var("PATH", dir.path().native());
        if (virtual_root) b = std::move(b).chroot("/");
        auto run = run_confined(*std::move(b).build(), {"vestrion-probe"});
        EXPECT_EQ(run.exit_code(), 0) << run.err;
        EXPECT_EQ(run.out, "found\n") << "virtual root: " << virtual_root;
    }
}

TEST(ChildSequence, CloseFdsLeavesOnlyStdio) {
    int inherited = ::open("/dev/null", O_RDONLY);  // deliberately inheritable
    ASSERT_GE(inherited, 3);
    Policy closing = *readable_root().build();
    auto closed = run_confined(closing, {VESTRION_TEST_HELPER, "list-fds"});
    EXPECT_EQ(closed.exit_code(), 0) << closed.err;
    EXPECT_EQ(sorted_lines(closed.out), (std::vector<std::string>{"0", "1", "2"}));

    // Without close_fds the command inherits it (and whatever else the test runner passed on).
    Policy keeping = *readable_root().close_fds(false).build();
    auto kept = run_confined(keeping, {VESTRION_TEST_HELPER, "list-fds"});
    auto lines = sorted_lines(kept.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), std::to_string(inherited)), lines.end());
    ::close(inherited);
}

TEST(ChildSequence, CommandStartsWithEmptyMaskAndDefaultDispositions) {
    auto report = test::run_forked([] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGUSR1);
        sigprocmask(SIG_BLOCK, &set, nullptr);
        signal(SIGINT, SIG_IGN);
        auto run = run_confined(*readable_root().build(), {VESTRION_TEST_HELPER, "signal-masks"});
        return run.out;
    });
    EXPECT_EQ(report.text, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST(ChildSequence, ClosedStandardStreamsDoNotClobberTheHandshake) {
    auto report = test::run_forked([] {
        ::close(0);
        ::close(2);
        auto run = run_confined(*readable_root().build(),
                                {"/bin/sh", "-c", "echo out; echo err >&2; cat; echo $?"});
        return std::to_string(run.exit_code()) + "|" + run.out + "|" + run.err;
    });
    // cat reads /dev/null, put on the closed standard input.
    EXPECT_EQ(report.text, "0|out\n0\n|err\n");
}

TEST(ChildSequence, ConfinedFlagIsSetOnlyInTheChild) {
    EXPECT_FALSE(CONFINED.load());
}

TEST(Handshake, ReadU32OverSplitReadsAndEarlyEnd) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    std::uint32_t value = 0xA1B2C3D4;
    const char* bytes = reinterpret_cast<const char*>(&value);
    std::thread writer([&] {
        ASSERT_EQ(::write(fds[1], bytes, 1), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(::write(fds[1], bytes + 1, 3), 3);
        ASSERT_EQ(::write(fds[1], bytes, 2), 2);
        ::close(fds[1]);
    });
    auto first = context::read_u32_fd(fds[0]);
    auto second = context::read_u32_fd(fds[0]);
    writer.join();
    ::close(fds[0]);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, value);
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error().message(), "pipe closed before 4 bytes read");
}

TEST(Handshake, PipesAreCloseOnExec) {
    auto pipes = context::PipePair::create();
    ASSERT_TRUE(pipes.has_value());
    for (int fd : {pipes->notif_r.get(), pipes->notif_w.get(), pipes->ready_r.get(),
                   pipes->ready_w.get(), pipes->fail_r.get(), pipes->fail_w.get()})
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    ASSERT_TRUE(context::write_u32_fd(pipes->notif_w.get(), 7).has_value());
    EXPECT_EQ(*context::read_u32_fd(pipes->notif_r.get()), 7u);
}

TEST(RawSyscalls, WrappersReturnOwnedDescriptorsOrErrors) {
    auto bad_name = sys::syscall::memfd_create(std::string_view("a\0b", 3), 0);
    ASSERT_FALSE(bad_name.has_value());
    EXPECT_EQ(bad_name.error().code(), EINVAL);
    auto memfd = sys::syscall::memfd_create("vestrion", 0);
    ASSERT_TRUE(memfd.has_value());
    EXPECT_GE(memfd->get(), 0);

    pid_t pid = ::fork();
    if (pid == 0) ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    auto gone = sys::syscall::pidfd_open(pid, 0);
    ASSERT_FALSE(gone.has_value());
    EXPECT_EQ(gone.error().code(), ESRCH);

    auto self = sys::syscall::pidfd_open(::getpid(), 0);
    ASSERT_TRUE(self.has_value());
    auto dup = sys::syscall::pidfd_getfd(self->get(), memfd->get(), 0);
    ASSERT_TRUE(dup.has_value());
    EXPECT_NE(dup->get(), memfd->get());
}

}  // namespace
}  // namespace vestrion
