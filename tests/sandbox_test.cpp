#include "core/sandbox.hpp"

#include <dirent.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "core/seccomp/bpf.hpp"
#include "tests/continue_supervisor.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

using Args = std::vector<std::string>;

Policy readable_root() { return *Policy::builder().fs_read("/").build(); }

RunResult run_ok(const Policy& policy, const Args& argv) {
    auto result = Sandbox::run(policy, argv);
    EXPECT_TRUE(result.has_value()) << result.error().message();
    return result ? std::move(*result) : RunResult{};
}

std::unique_ptr<Sandbox> spawned(const Policy& policy, const Args& argv) {
    auto sandbox = Sandbox::create(policy);
    auto ok = (*sandbox)->spawn(argv);
    EXPECT_TRUE(ok.has_value()) << ok.error().message();
    return std::move(*sandbox);
}

struct StatusCase {
    const char* name;
    Args argv;
    ExitStatus status;
};

void PrintTo(const StatusCase& c, std::ostream* os) { *os << c.name; }

class ExitStatuses : public ::testing::TestWithParam<StatusCase> {};

TEST_P(ExitStatuses, MapHowTheCommandEnded) {
    EXPECT_EQ(run_ok(readable_root(), GetParam().argv).status, GetParam().status);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ExitStatuses,
    ::testing::Values(StatusCase{"Code3", {"sh", "-c", "exit 3"}, ExitStatus::code(3)},
                      StatusCase{"Term", {"sh", "-c", "kill -TERM $$"}, ExitStatus::signal(15)},
                      StatusCase{"Kill", {"sh", "-c", "kill -KILL $$"}, ExitStatus::killed()},
                      StatusCase{"ConfinementFails",
                                 {"vestrion-no-such-command"},
                                 ExitStatus::code(127)}),
    [](const auto& info) { return info.param.name; });

TEST(SandboxWait, KillThenWaitAndWaitAgain) {
    auto sandbox = spawned(readable_root(), {"sleep", "100"});
    ASSERT_TRUE(sandbox->kill().has_value());
    auto first = sandbox->wait();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->status, ExitStatus::killed());
    EXPECT_TRUE(first->stdout_bytes.has_value());
    auto second = sandbox->wait();
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->status, ExitStatus::killed());
    EXPECT_FALSE(second->stdout_bytes || second->stderr_bytes);
    // The group is gone: killing it again is no error.
    EXPECT_TRUE(sandbox->kill().has_value());
}

TEST(SandboxWait, NeverSpawnedIsNotRunning) {
    auto sandbox = *Sandbox::create(readable_root());
    EXPECT_EQ(sandbox->wait().error().message(), "sandbox error: sandbox not running");
    EXPECT_EQ(sandbox->kill().error().message(), "sandbox error: sandbox not running");
}

TEST(SandboxOutput, MegabytesOnBothStreamsComeBackWhole) {
    constexpr std::size_t size = 4 << 20;
    auto result = run_ok(readable_root(),
                         {VESTRION_TEST_HELPER, "write-both", std::to_string(size)});
    EXPECT_EQ(result.status, ExitStatus::code(0));
    ASSERT_EQ(result.stdout_bytes->size(), size);
    ASSERT_EQ(result.stderr_bytes->size(), size);
    for (std::size_t i = 0; i < size; i += 4093) {
        ASSERT_EQ((*result.stdout_bytes)[i], static_cast<char>('a' + i % 26)) << i;
        ASSERT_EQ((*result.stderr_bytes)[i], static_cast<char>('A' + i % 26)) << i;
    }
}

TEST(SandboxOutput, SilentRunHasEmptyOutputsInteractiveHasNone) {
    auto quiet = run_ok(readable_root(), {"true"});
    EXPECT_EQ(quiet.stdout_bytes, std::optional<std::string>(""));
    EXPECT_EQ(quiet.stderr_bytes, std::optional<std::string>(""));
    auto interactive = Sandbox::run_interactive(readable_root(), Args{"true"});
    ASSERT_TRUE(interactive.has_value());
    EXPECT_EQ(interactive->status, ExitStatus::code(0));
    EXPECT_FALSE(interactive->stdout_bytes || interactive->stderr_bytes);
}

char process_state(pid_t pid);

// Gone, or dead and waiting for its new parent to reap it.
bool dead(pid_t pid) {
    for (int i = 0; i < 200; ++i) {
        char state = process_state(pid);
        if (state == '?' || state == 'Z' || state == 'X') return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(SandboxLifetime, BackgroundLeftoversDoNotOutliveTheRun) {
    auto result = run_ok(readable_root(), {"sh", "-c", "sleep 1000 & echo $!"});
    ASSERT_EQ(result.status, ExitStatus::code(0));
    pid_t leftover = std::stoi(*result.stdout_bytes);
    EXPECT_TRUE(dead(leftover));
}

TEST(SandboxLifetime, ALeftoverThatLeftTheGroupCannotHangTheWait) {
    // setsid moves the sleeper out of the group; it still holds the capture pipes.
    auto result = run_ok(readable_root(),
                         {"sh", "-c", "setsid sleep 3 & echo before; sleep 0.1"});
    EXPECT_EQ(result.stdout_bytes, std::optional<std::string>("before\n"));
}

TEST(SandboxSpawn, RefusalsBeforeAnythingIsForked) {
    auto sandbox = *Sandbox::create(readable_root());
    EXPECT_EQ(sandbox->spawn(Args{}).error().message(),
              "sandbox error: child process error: empty command");
    EXPECT_EQ(sandbox->spawn(Args{"echo", std::string("a\0b", 3)}).error().message(),
              "sandbox error: child process error: invalid command string");
    EXPECT_FALSE(sandbox->pid().has_value());

    ASSERT_TRUE(sandbox->spawn(Args{"true"}).has_value());
    EXPECT_EQ(sandbox->spawn(Args{"true"}).error().message(),
              "sandbox error: child process error: sandbox already spawned");
    ASSERT_TRUE(sandbox->wait().has_value());
    EXPECT_EQ(sandbox->spawn(Args{"true"}).error().message(),
              "sandbox error: child process error: sandbox already spawned");
}

// The child starts on our memory unless it must change its own (huge pages off): both ways
// must bring its failure line back.
class ConfinementFailure : public ::testing::TestWithParam<bool> {};

TEST_P(ConfinementFailure, SpawnErrorEndsWithTheChildsLine) {
    Policy policy =
        *Policy::builder().fs_read("/").cwd("/no/such/dir").no_huge_pages(GetParam()).build();
    auto sandbox = *Sandbox::create(policy);
    auto spawned = sandbox->spawn(Args{"true"});
    ASSERT_FALSE(spawned.has_value());
    EXPECT_EQ(spawned.error().message(),
              "sandbox error: child process error: read notif fd from child: pipe closed before 4 "
              "bytes read: vestrion child: chdir: No such file or directory (os error 2)");
    // The child still writes the line to its own standard error.
    auto result = sandbox->wait();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, ExitStatus::code(127));
    EXPECT_EQ(*result->stderr_bytes,
              "vestrion child: chdir: No such file or directory (os error 2)\n");
}

INSTANTIATE_TEST_SUITE_P(StartedBy, ConfinementFailure, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Fork" : "SharedMemory"; });

TEST(SandboxSpawn, ExecFailureAfterTheHandshakeIsStatus127WithDescriptorsKept) {
    // Without close_fds the failure pipe is still open when the exec fails: its copy of the line
    // must not end the child by SIGPIPE.
    Policy policy = *Policy::builder().fs_read("/").close_fds(false).build();
    auto result = run_ok(policy, {"vestrion-no-such-command"});
    EXPECT_EQ(result.status, ExitStatus::code(127));
    EXPECT_EQ(*result.stderr_bytes,
              "vestrion child: execvp 'vestrion-no-such-command': No such file or directory (os "
              "error 2)\n");
}

// The virtual root's handlers keep no copy-on-write branch: a change beneath the root would reach
// the working directory itself.
TEST(SandboxSpawn, AVirtualRootWithACopyOnWriteDirectoryIsRefused) {
    test::TempDir dir;
    Policy policy = *Policy::builder().chroot(dir.path()).workdir(dir.path()).build();
    auto result = Sandbox::run(policy, Args{"true"});
    ASSERT_FALSE(result.has_value());
    EXPECT_NE(result.error().message().find(
                  "a virtual root (chroot) together with a copy-on-write working directory"),
              std::string::npos)
        << result.error().message();
}

TEST(SandboxSpawn, HugePagesAreTurnedOffForTheCommandOnly) {
    // The setting belongs to the whole address space, which a child may share with us until its
    // exec: it must not reach the caller.
    Policy policy = *Policy::builder().fs_read("/").no_huge_pages(true).build();
    auto result = run_ok(policy, {"grep", "THP_enabled", "/proc/self/status"});
    EXPECT_EQ(*result.stdout_bytes, "THP_enabled:\t0\n");
    std::ifstream status("/proc/self/status");
    std::string content((std::istreambuf_iterator<char>(status)), {});
    EXPECT_NE(content.find("THP_enabled:\t1"), std::string::npos);
}

TEST(SandboxSpawn, PrivilegedRunsAsRootOfItsOwnUserNamespace) {
    Policy policy = *Policy::builder().fs_read("/").privileged(true).build();
    auto result = run_ok(policy, {"cat", "/proc/self/uid_map"});
    std::istringstream map(*result.stdout_bytes);
    std::uint64_t inside = 99, outside = 99, count = 0;
    map >> inside >> outside >> count;
    EXPECT_EQ(inside, 0u);
    EXPECT_EQ(outside, ::getuid());
    EXPECT_EQ(count, 1u);
}

TEST(SandboxSpawn, AScriptWithoutInterpreterLineRunsInTheShell) {
    test::TempDir dir;
    test::write_file(dir / "plain-script", "echo from the shell\n");
    ::chmod((dir / "plain-script").c_str(), 0755);
    auto result = run_ok(readable_root(), {(dir / "plain-script").native()});
    EXPECT_EQ(result.status, ExitStatus::code(0));
    EXPECT_EQ(*result.stdout_bytes, "from the shell\n");
}

TEST(SandboxSpawn, TheTerminalComesBackToTheCaller) {
    // A terminal of our own: the command takes its foreground, and must give it back.
    auto report = test::run_forked([] {
        int master = -1, slave = -1;
        if (::setsid() < 0 || ::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0 ||
            ::ioctl(slave, TIOCSCTTY, 0) != 0 || ::dup2(slave, 0) < 0)
            return std::string("no terminal");
        bool before = ::tcgetpgrp(0) == ::getpgrp();
        auto result = Sandbox::run(readable_root(), Args{"sh", "-c", "test -t 0 && echo tty"});
        bool after = ::tcgetpgrp(0) == ::getpgrp();
        std::string out = result ? *result->stdout_bytes : result.error().message();
        return out + (before ? "before " : "") + (after ? "after" : "");
    });
    if (report.text == "no terminal") GTEST_SKIP() << "no pseudo-terminal here";
    EXPECT_EQ(report.text, "tty\nbefore after");
}

TEST(SandboxSpawn, ChildSurvivesTheThreadThatSpawnedIt) {
    std::unique_ptr<Sandbox> sandbox;
    std::thread([&] { sandbox = spawned(readable_root(), {"sh", "-c", "sleep 0.3; echo alive"}); })
        .join();
    auto result = sandbox->wait();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->status, ExitStatus::code(0));
    EXPECT_EQ(*result->stdout_bytes, "alive\n");
}

// What is prepared once for a policy and shared by its spawns belongs to that policy alone:
// policies that differ in one readable path and one denied call, built and freed in turn on 16
// threads at once (so that their addresses repeat), each give their child exactly their own path
// and their own refusal.
TEST(SandboxSpawn, ConcurrentPoliciesKeepTheirOwnPathAndRefusal) {
    struct Call {
        const char* name;
        long nr;
    };
    // Names the deny list takes; each call made with bad pointers fails at once when allowed.
    constexpr Call calls[] = {{"mkdir", SYS_mkdir},       {"rmdir", SYS_rmdir},
                              {"unlink", SYS_unlink},     {"access", SYS_access},
                              {"stat", SYS_stat},         {"lstat", SYS_lstat},
                              {"truncate", SYS_truncate}, {"readlink", SYS_readlink},
                              {"rename", SYS_rename},     {"link", SYS_link},
                              {"symlink", SYS_symlink},   {"mkdirat", SYS_mkdirat},
                              {"unlinkat", SYS_unlinkat}, {"linkat", SYS_linkat},
                              {"symlinkat", SYS_symlinkat}, {"readlinkat", SYS_readlinkat}};
    constexpr int kThreads = std::size(calls), kRounds = 4;
    test::TempDir dir;
    Args argv{VESTRION_TEST_HELPER, "reads-and-calls"};
    for (int i = 0; i < kThreads; ++i) {
        test::write_file(dir / ("f" + std::to_string(i)), "x");
        argv.push_back((dir / ("f" + std::to_string(i))).native());
    }
    argv.push_back("--");
    for (const Call& call : calls) argv.push_back(std::to_string(call.nr));
    const std::string helper_dir = std::filesystem::path(VESTRION_TEST_HELPER).parent_path();

    std::atomic<int> ready{0};
    std::mutex mutex;
    std::vector<std::string> wrong;
    // The reads exactly as expected; the calls refused (EPERM) exactly where expected, each
    // other failing in its own way.
    auto as_expected = [&](const std::string& out, int t) {
        std::istringstream lines(out);
        std::string reads, calls, rest;
        if (!std::getline(lines, reads) || !std::getline(lines, calls) || std::getline(lines, rest))
            return false;
        std::istringstream read_words(reads), call_words(calls);
        std::string word;
        for (int i = 0; i < kThreads; ++i) {
            if (!(read_words >> word) || word != (i == t ? "ok" : "EACCES")) return false;
            if (!(call_words >> word) || (word == "EPERM") != (i == t)) return false;
        }
        return !(read_words >> word) && !(call_words >> word);
    };
    auto worker = [&](int t) {
        ready.fetch_add(1);
        while (ready.load() < kThreads) std::this_thread::yield();
        for (int round = 0; round < kRounds; ++round) {
            auto builder = Policy::builder().fs_read(helper_dir).fs_read(argv[2 + t]);
            for (const char* system : {"/usr", "/lib", "/lib64", "/etc", "/bin"})
                if (std::filesystem::exists(system)) builder = std::move(builder).fs_read(system);
            auto built = std::move(builder).deny_syscalls({calls[t].name}).build();
            auto policy = std::make_unique<Policy>(std::move(*built));
            auto result = Sandbox::run(*policy, argv);
            policy.reset();
            std::string got = result ? *result->stdout_bytes + *result->stderr_bytes
                                     : "error: " + result.error().message();
            if (!as_expected(got, t)) {
                std::lock_guard lock(mutex);
                wrong.push_back("thread " + std::to_string(t) + " (" + calls[t].name + ") round " +
                                std::to_string(round) + ":\n" + got);
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t);
    for (auto& thread : threads) thread.join();
    for (const std::string& w : wrong) ADD_FAILURE() << w;
}

// A copy shares what spawns prepared for the policy it came from; one changed after the copy
// must still get its own rules, and the original keep its own.
TEST(SandboxSpawn, AChangedCopyOfAPolicyGetsItsOwnRules) {
    const Args argv{VESTRION_TEST_HELPER, "reads-and-calls", "--", std::to_string(SYS_mkdir)};
    Policy original = readable_root();
    EXPECT_EQ(*run_ok(original, argv).stdout_bytes, "\nEFAULT\n");
    Policy changed = original.clone();
    changed.deny_syscalls = std::vector<std::string>{"mkdir"};
    EXPECT_EQ(*run_ok(changed, argv).stdout_bytes, "\nEPERM\n");
    EXPECT_EQ(*run_ok(original, argv).stdout_bytes, "\nEFAULT\n");
}

// The command inherits the caller's environment as it is at each spawn, not as it was at the
// policy's first.
TEST(SandboxSpawn, EachSpawnSeesTheCallersEnvironmentOfThatMoment) {
    const Policy policy = readable_root();
    const Args argv{"sh", "-c", "echo \"$VESTRION_TEST_VALUE\""};
    ::setenv("VESTRION_TEST_VALUE", "first", 1);
    EXPECT_EQ(*run_ok(policy, argv).stdout_bytes, "first\n");
    ::setenv("VESTRION_TEST_VALUE", "second", 1);
    EXPECT_EQ(*run_ok(policy, argv).stdout_bytes, "second\n");
    ::unsetenv("VESTRION_TEST_VALUE");
    EXPECT_EQ(*run_ok(policy, argv).stdout_bytes, "\n");
}

// How a caller can be placed where its child cannot have a supervisor of its own.
enum class NoSupervisor { OuterListener, Confined };

// Puts the calling (forked) process in that place; an error text, or empty. An outer listener
// (as a container runtime might hold) routes uname and is answered "continue" by `supervisor`.
std::string place_caller(NoSupervisor how, std::optional<test::ContinueSupervisor>& supervisor) {
    if (how == NoSupervisor::Confined) {
        CONFINED.store(true);
        return "";
    }
    ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
    sock_filter route_uname[] = {
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 0),
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_uname, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
        BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    };
    seccomp::bpf::Program program(std::begin(route_uname), std::end(route_uname));
    auto outer = seccomp::bpf::install_filter(program);
    if (!outer) return "outer listener: " + outer.error().message();
    supervisor.emplace(std::move(*outer));
    return "";
}

struct NoSupervisorCase {
    const char* name;
    NoSupervisor how;
    std::string_view feature;  // "", "max_memory", "hostname" or "policy_fn"
    const char* expected;      // the output, or the start of the error
};

void PrintTo(const NoSupervisorCase& c, std::ostream* os) { *os << c.name; }

class WithoutSupervisor : public ::testing::TestWithParam<NoSupervisorCase> {};

// The child runs under the deny-only program; a policy that only the supervisor could enforce is
// refused with the reason instead of running unenforced.
TEST_P(WithoutSupervisor, PlainPolicyRunsAndSupervisedOneIsRefused) {
    const NoSupervisorCase& c = GetParam();
    auto report = test::run_forked([&] {
        std::optional<test::ContinueSupervisor> supervisor;
        if (std::string failed = place_caller(c.how, supervisor); !failed.empty()) return failed;
        auto builder = Policy::builder().fs_read("/");
        if (c.feature == "max_memory") builder = std::move(builder).max_memory(1 << 30);
        if (c.feature == "hostname") builder = std::move(builder).hostname("box");
        if (c.feature == "policy_fn")
            builder = std::move(builder).policy_fn(
                [](SyscallEvent, PolicyContext&) { return Verdict::allow(); });
        auto result =
            Sandbox::run(*std::move(builder).build(), Args{"sh", "-c", "uname -s; (true)"});
        if (!result) return result.error().message();
        return *result->stdout_bytes;
    });
    EXPECT_TRUE(report.text.starts_with(c.expected)) << report.text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, WithoutSupervisor,
    ::testing::Values(
        NoSupervisorCase{"OuterListenerPlain", NoSupervisor::OuterListener, "", "Linux\n"},
        NoSupervisorCase{"ConfinedPlain", NoSupervisor::Confined, "", "Linux\n"},
        NoSupervisorCase{"OuterListenerMaxMemory", NoSupervisor::OuterListener, "max_memory",
                         "sandbox error: child process error: the memory limit (max_memory) needs "
                         "the syscall supervisor, which cannot run under a seccomp filter that already holds"},
        NoSupervisorCase{"OuterListenerCallback", NoSupervisor::OuterListener, "policy_fn",
                         "sandbox error: child process error: a policy callback (policy_fn) needs "
                         "the syscall supervisor, which cannot run under a seccomp filter"},
        NoSupervisorCase{"ConfinedMaxMemory", NoSupervisor::Confined, "max_memory",
                         "sandbox error: child process error: the memory limit (max_memory) needs "
                         "the syscall supervisor, which cannot run in a spawn from inside a vestrion sandbox"},
        NoSupervisorCase{"ConfinedHostName", NoSupervisor::Confined, "hostname",
                         "sandbox error: child process error: the host-name view (hostname) needs "
                         "the syscall supervisor, which cannot run in a spawn from inside"}),
    [](const auto& info) { return info.param.name; });

char process_state(pid_t pid) {
    const std::string content = test::read_proc_file("/proc/" + std::to_string(pid) + "/stat");
    auto close = content.rfind(')');
    return close == std::string::npos || close + 2 >= content.size() ? '?' : content[close + 2];
}

TEST(CpuThrottle, StopsTheGroupAndLeavesItRunning) {
    pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        while (true) {
        }
    }
    ::setpgid(child, child);
    bool seen_stopped = false;
    {
        sandbox::CpuThrottle throttle(-1, child, 25);
        for (int i = 0; i < 400 && !seen_stopped; ++i) {
            seen_stopped = process_state(child) == 'T';
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_TRUE(seen_stopped);
    for (int i = 0; i < 20; ++i) {
        EXPECT_NE(process_state(child), 'T');
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

TEST(CpuThrottle, SandboxWithMaxCpuIsSeenStopped) {
    Policy policy = *Policy::builder().fs_read("/").max_cpu(25).build();
    auto sandbox = spawned(policy, {"sh", "-c", "while :; do :; done"});
    bool seen_stopped = false;
    for (int i = 0; i < 400 && !seen_stopped; ++i) {
        seen_stopped = process_state(*sandbox->pid()) == 'T';
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(seen_stopped);
    ASSERT_TRUE(sandbox->kill().has_value());
    EXPECT_EQ(sandbox->wait()->status, ExitStatus::killed());
}

// A process that starts a session of its own leaves the first group, not the limit.
TEST(CpuThrottle, ReachesAGroupThatLeftTheFirst) {
    test::TempDir dir;
    Policy policy = *Policy::builder().fs_read("/").fs_write(dir.path()).max_cpu(25).build();
    const std::string pid_file = (dir / "pid").native();
    auto sandbox = spawned(
        policy, {"sh", "-c",
                 "setsid sh -c 'echo $$ > " + pid_file + ".tmp; mv " + pid_file + ".tmp " +
                     pid_file + "; while :; do :; done' & wait"});
    pid_t spinner = 0;
    for (int i = 0; i < 400 && spinner == 0; ++i) {
        std::ifstream(pid_file) >> spinner;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_NE(spinner, 0) << "the spinner never wrote its pid";
    ASSERT_NE(::getpgid(spinner), *sandbox->pid());
    bool seen_stopped = false;
    for (int i = 0; i < 400 && !seen_stopped; ++i) {
        seen_stopped = process_state(spinner) == 'T';
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(seen_stopped);
    ASSERT_TRUE(sandbox->kill().has_value());
    EXPECT_EQ(sandbox->wait()->status, ExitStatus::killed());
}

std::size_t count_entries(const char* dir) {
    std::size_t n = 0;
    DIR* d = ::opendir(dir);
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

TEST(SandboxLifetime, RunsLeaveNoDescriptorOrThread) {
    Policy policy = readable_root();
    run_ok(policy, {"true"});  // let one-time allocations happen
    std::size_t fds = count_entries("/proc/self/fd");
    std::size_t threads = count_entries("/proc/self/task");
    for (int i = 0; i < 100; ++i) run_ok(policy, {"true"});
    for (int i = 0; i < 10; ++i) {
        auto sandbox = spawned(policy, {"sleep", "100"});  // torn down while running
    }
    EXPECT_EQ(count_entries("/proc/self/fd"), fds);
    EXPECT_EQ(count_entries("/proc/self/task"), threads);
}

}  // namespace
}  // namespace vestrion
