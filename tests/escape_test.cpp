// What a hostile command tries against the sandbox as a whole: capabilities, host mounts,
// leaving the process group, children of our caller, and reaching its caller's process.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "core/sandbox.hpp"
#include "core/sys/syscall.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

using Args = std::vector<std::string>;

Policy readable_root() { return *Policy::builder().fs_read("/").build(); }

std::string run_output(const Policy& policy, const Args& argv) {
    auto result = Sandbox::run(policy, argv);
    if (!result) return "error: " + result.error().message();
    return *result->stdout_bytes + *result->stderr_bytes;
}

// --- Capabilities ---

struct CapsCase {
    const char* name;
    Args argv;
};

void PrintTo(const CapsCase& c, std::ostream* os) { *os << c.name; }

class Capabilities : public ::testing::TestWithParam<CapsCase> {};

TEST_P(Capabilities, CommandOfARootCallerHoldsNone) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a caller running as root";
    const std::string out = run_output(readable_root(), GetParam().argv);
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"})
        EXPECT_NE(out.find(std::string(set) + ":\t0000000000000000"), std::string::npos)
            << set << " in\n"
            << out;
}

// Running a program as uid 0 would fill the permitted set again from the bounding set, unless
// both are empty.
INSTANTIATE_TEST_SUITE_P(
    Commands, Capabilities,
    ::testing::Values(CapsCase{"Direct", {"grep", "^Cap", "/proc/self/status"}},
                      CapsCase{"AfterExec", {"sh", "-c", "exec grep ^Cap /proc/self/status"}}),
    [](const auto& info) { return info.param.name; });

TEST(CapabilitiesPrivileged, CommandKeepsWhatItHoldsInItsOwnNamespace) {
    auto policy = *Policy::builder().fs_read("/").privileged(true).build();
    const std::string out = run_output(policy, {"grep", "^CapEff", "/proc/self/status"});
    EXPECT_TRUE(out.starts_with("CapEff:\t")) << out;
    EXPECT_EQ(out.find("0000000000000000"), std::string::npos) << out;
}

// A host mount, made read-only by the command, would stay so for everyone.
TEST(HostMounts, AttributesOfAScratchMountCannotBeChanged) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to make the scratch mount";
    test::TempDir dir;
    const std::string mount_point = dir.path().native();
    auto report = test::run_forked([&]() -> std::string {
        // A mount namespace of our own: nothing the test mounts shows outside.
        if (::unshare(CLONE_NEWNS) != 0) return "unshare: " + test::outcome(-1);
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return "private: " + test::outcome(-1);
        if (::mount("scratch", mount_point.c_str(), "tmpfs", 0, "size=1m") != 0)
            return "tmpfs: " + test::outcome(-1);
        std::string out = run_output(readable_root(), {VESTRION_TEST_HELPER, "mount-attr",
                                                        mount_point});
        std::ofstream probe(mount_point + "/probe");
        probe << "x";
        probe.close();
        return out + (probe ? "writable" : "read-only");
    });
    EXPECT_EQ(report.text, "mount_setattr EPERM open_tree_attr EPERM\nwritable");
}

// --- Leaving the process group ---

std::optional<pid_t> wait_for_pid_file(const std::filesystem::path& file) {
    for (int i = 0; i < 2000; ++i) {
        std::ifstream in(file);
        pid_t pid = 0;
        if (in >> pid) return pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return std::nullopt;
}

bool has_ended(int pidfd) {
    pollfd p{pidfd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

enum class Ending { CommandExits, Kill, TeardownWhileRunning };

struct SessionCase {
    const char* name;
    Ending ending;
};

void PrintTo(const SessionCase& c, std::ostream* os) { *os << c.name; }

class NewSession : public ::testing::TestWithParam<SessionCase> {};

// A child that starts a session of its own leaves the sandbox's process group; it must still be
// gone by the time the sandbox is, however the sandbox ends.
TEST_P(NewSession, IsGoneWhenTheSandboxIs) {
    test::TempDir dir;
    auto policy = *Policy::builder().fs_read("/").fs_write(dir.path()).build();
    auto sandbox = std::move(*Sandbox::create(policy));
    ASSERT_TRUE(sandbox->spawn(Args{VESTRION_TEST_HELPER, "session-child", dir.path().native()}));
    auto pid = wait_for_pid_file(dir / "pid");
    ASSERT_TRUE(pid) << "the session child never wrote its pid";
    auto pidfd = sys::syscall::pidfd_open(*pid, 0);
    ASSERT_TRUE(pidfd) << pidfd.error().message();
    ASSERT_FALSE(has_ended(pidfd->get()));
    switch (GetParam().ending) {
        case Ending::CommandExits:
            test::write_file(dir / "release", "");
            ASSERT_TRUE(sandbox->wait());
            break;
        case Ending::Kill:
            ASSERT_TRUE(sandbox->kill());
            ASSERT_TRUE(sandbox->wait());
            break;
        case Ending::TeardownWhileRunning:
            sandbox.reset();
            break;
    }
    EXPECT_TRUE(has_ended(pidfd->get()));
}

INSTANTIATE_TEST_SUITE_P(Endings, NewSession,
                         ::testing::Values(SessionCase{"CommandExits", Ending::CommandExits},
                                           SessionCase{"Kill", Ending::Kill},
                                           SessionCase{"Teardown", Ending::TeardownWhileRunning}),
                         [](const auto& info) { return info.param.name; });

// Processes named by "pid start-time" lines that still run (an ended one waiting for its reaper
// does not).
std::vector<std::string> still_running(const std::filesystem::path& list) {
    std::vector<std::string> running;
    std::ifstream in(list);
    std::string pid, start;
    while (in >> pid >> start) {
        std::ifstream stat_file("/proc/" + pid + "/stat");
        std::string stat((std::istreambuf_iterator<char>(stat_file)), {});
        const auto close = stat.rfind(')');
        if (close == std::string::npos) continue;
        std::istringstream fields(stat.substr(close + 2));
        std::vector<std::string> f{std::istream_iterator<std::string>(fields), {}};
        // From the state (field 3) on: the start time is field 22.
        if (f.size() > 19 && f[19] == start && f[0] != "Z" && f[0] != "X")
            running.push_back(pid + " (" + f[0] + ")");
    }
    return running;
}

// A thousand sessions made in bursts from several parents, while the supervisor answers each
// setsid before the kernel makes its group: none outlives the run.
TEST(ProcessGroups, ThousandSessionsAreGoneWhenTheRunReturns) {
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < 4096 && files.rlim_max >= 4096) {
        files.rlim_cur = 4096;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    if (files.rlim_cur < 4096) GTEST_SKIP() << "needs 4096 descriptors for the sessions' records";
    test::TempDir dir;
    const auto list = dir / "sessions";
    auto policy =
        *Policy::builder().fs_read("/").fs_write(dir.path()).max_processes(4000).build();
    EXPECT_EQ(run_output(policy, {VESTRION_TEST_HELPER, "session-storm", "1000", "8",
                                  list.native()}),
              "1000 reported\n");
    std::ifstream in(list);
    const auto lines = std::count(std::istreambuf_iterator<char>(in), {}, '\n');
    EXPECT_EQ(lines, 1000);
    const auto running = still_running(list);
    EXPECT_TRUE(running.empty()) << running.size() << " still run, the first "
                                 << running.front();
}

TEST(ProcessGroups, JoiningOnlyAGroupOfTheSandbox) {
    const struct {
        pid_t group;
        const char* expected;
    } cases[] = {
        {::getpgrp(), "setpgid EPERM\n"},  // the caller's own group
        {0, "setpgid ok\n"},               // a new group of its own
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run_output(readable_root(),
                             {VESTRION_TEST_HELPER, "join-group", std::to_string(c.group)}),
                  c.expected);
    }
    EXPECT_EQ(::getpgrp(), ::getpgid(0));
}

TEST(ProcessGroups, CloneParentIsRefusedAndLeavesTheCallerNoChild) {
    auto report = test::run_forked([] {
        std::string out = run_output(readable_root(), {VESTRION_TEST_HELPER, "clone-parent"});
        siginfo_t info{};
        const bool child = ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG) == 0 && info.si_pid != 0;
        return out + (child ? "caller has a child" : "no child");
    });
    EXPECT_EQ(report.text, "clone EPERM\nno child");
}

// --- What the teardown leaves ---

struct TeardownCase {
    const char* name;
    bool isolate_signals;
    std::string script;  // D stands for a directory the command may write
};
void PrintTo(const TeardownCase& c, std::ostream* os) { *os << c.name; }

// Alive and not a zombie (which its new parent may not have reaped yet).
bool is_running(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) return false;
    auto close = line.rfind(')');
    return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z' &&
           line[close + 2] != 'X';
}

class HostileTeardown : public ::testing::TestWithParam<TeardownCase> {};

// Processes of the sandbox that a hostile command leaves behind, each named by a pid file in D
// (one pid a line): none may run once the run has returned, and a process of the caller's that
// runs beside the sandbox is unharmed.
TEST_P(HostileTeardown, LeavesNoProcessOfTheSandbox) {
    test::TempDir dir;
    std::string script = GetParam().script;
    // The directory's own name may hold a D: search on after each replacement.
    for (std::size_t at = 0; (at = script.find('D', at)) != std::string::npos; at += dir.path().native().size())
        script.replace(at, 1, dir.path().native());
    pid_t bystander = ::fork();
    if (bystander == 0) {
        ::pause();
        ::_exit(0);
    }
    auto policy = *Policy::builder()
                       .fs_read("/")
                       .fs_write(dir.path())
                       .isolate_signals(GetParam().isolate_signals)
                       .build();
    const Args argv{"sh", "-c", script};
    auto result = Sandbox::run(policy, argv);
    ASSERT_TRUE(result) << result.error().message();
    std::vector<pid_t> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
        std::istringstream pids(test::read_file(entry.path()));
        for (pid_t pid; pids >> pid;)
            if (is_running(pid)) left.push_back(pid);
    }
    EXPECT_TRUE(left.empty()) << left.size() << " processes of the sandbox still run";
    EXPECT_EQ(::kill(bystander, 0), 0) << "the caller's own process was hit";
    ::kill(bystander, SIGKILL);
    ::waitpid(bystander, nullptr, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostileTeardown,
    ::testing::Values(
        // The grandchild, orphaned, signals every process it may reach: under isolate_signals
        // that is the sandbox's own; then it lingers.
        TeardownCase{"DoubleForkKillsEverything", true,
                     "(sh -c 'echo $$ > D/grandchild; sleep 0.2; kill -9 -1; exec sleep 30' &); "
                     "echo $$ > D/top; sleep 30"},
        // Without isolate_signals a root caller's command could reach every root process of
        // the machine: here the grandchild kills only its own group.
        TeardownCase{"DoubleForkKillsItsGroup", false,
                     "(sh -c 'echo $$ > D/grandchild; sleep 0.2; kill -9 0; exec sleep 30' &); "
                     "echo $$ > D/top; sleep 30"},
        // A grandchild forks without end (the process budget refuses most of it) while the
        // command itself returns.
        TeardownCase{"ForkLoopOutlivesTheCommand", true,
                     "(sh -c 'echo $$ > D/loop; while :; do "
                     "sh -c \"echo \\$\\$ >> D/forked; exec sleep 30\" & done 2>/dev/null' &); "
                     "sleep 0.3"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- One hostile program under every shape of policy ---

enum class Shape { Defaults, Budgets, CopyOnWrite, VirtualRoot };

struct ShapeCase {
    const char* name;
    Shape shape;
};
void PrintTo(const ShapeCase& c, std::ostream* os) { *os << c.name; }

class PolicyShapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(PolicyShapes, RefuseTheSameHostileProgram) {
    test::TempDir dir;
    PolicyBuilder b = Policy::builder().fs_read("/");
    switch (GetParam().shape) {
        case Shape::Defaults:
            b = std::move(b).fs_write(dir.path());
            break;
        case Shape::Budgets:
            b = std::move(b).fs_write(dir.path()).max_memory(256 << 20).max_processes(8).random_seed(1);
            break;
        case Shape::CopyOnWrite:
            b = std::move(b).workdir(dir.path()).cwd(dir.path()).on_exit(BranchAction::Abort);
            break;
        case Shape::VirtualRoot:
            b = std::move(b).fs_write(dir.path()).chroot("/");
            break;
    }
    auto policy = std::move(b).build();
    ASSERT_TRUE(policy) << policy.error().message();
    const Args argv{VESTRION_HOSTILE_HELPER, dir.path().native()};
    auto result = Sandbox::run(*policy, argv);
    ASSERT_TRUE(result) << result.error().message();
    EXPECT_EQ(result->status, ExitStatus::code(0)) << *result->stderr_bytes;
    // Reads of a path that is not there or never ends fail as the kernel fails them; the
    // supervisor never lets the kernel read such a path again after looking at it.
    std::string expected =
        "clone3 ENOSYS\n"
        "io_uring_setup EPERM\n"
        "open_by_handle_at EPERM\n"
        "process_vm_writev EPERM\n"
        "ioctl TIOCSTI high EPERM\n"
        "clone NEWUSER high EPERM\n";
    for (const char* path : {"unmapped", "endless"}) {
        const char* error = std::string_view(path) == "unmapped" ? "EFAULT" : "ENAMETOOLONG";
        for (const char* call : {"openat", "creat", "stat", "mkdir", "chmod", "execve", "chdir",
                                 "unlink", "readlink"})
            expected += std::string(path) + " " + call + " " + error + "\n";
    }
    expected +=
        "full open write EMFILE\n"
        "full open read EMFILE\n"
        "after open ok\n";
    EXPECT_EQ(*result->stdout_bytes, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PolicyShapes,
    ::testing::Values(ShapeCase{"Defaults", Shape::Defaults}, ShapeCase{"Budgets", Shape::Budgets},
                      ShapeCase{"CopyOnWrite", Shape::CopyOnWrite},
                      ShapeCase{"VirtualRoot", Shape::VirtualRoot}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Reaching the caller ---

struct CallerState {
    rlim_t files;
    int nice;
    cpu_set_t cpus;
    bool operator==(const CallerState& o) const {
        return files == o.files && nice == o.nice && CPU_EQUAL(&cpus, &o.cpus);
    }
};

CallerState caller_state() {
    CallerState s{};
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    s.files = files.rlim_cur;
    errno = 0;
    s.nice = ::getpriority(PRIO_PROCESS, 0);
    ::sched_getaffinity(0, sizeof s.cpus, &s.cpus);
    return s;
}

// The command lowers its caller's file limit, raises its niceness and moves it to CPU 0, which
// the kernel allows without capabilities; the same on its own child works. The caller is a
// forked fixture, so that a regression cannot cripple the test binary.
TEST(CallerReach, LimitsNicenessAndPlacementOfTheCallerStay) {
    if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "needs two CPUs";
    const std::pair<const char*, Policy> policies[] = {
        {"plain", readable_root()},
        {"isolated", *Policy::builder()
                          .fs_read("/")
                          .isolate_signals(true)
                          .isolate_ipc(true)
                          .build()},
    };
    for (const auto& [name, policy] : policies) {
        SCOPED_TRACE(name);
        auto report = test::run_forked([&] {
            const CallerState before = caller_state();
            std::string out = run_output(
                policy, {VESTRION_TEST_HELPER, "reach", std::to_string(::getpid())});
            return out + (caller_state() == before ? "unchanged" : "changed");
        });
        EXPECT_EQ(report.text,
                  "other: prlimit EPERM setpriority EPERM affinity EPERM\n"
                  "own child: prlimit ok setpriority ok affinity ok\n"
                  "own group ok user EPERM\n"
                  "unchanged");
    }
}

}  // namespace
}  // namespace vestrion
