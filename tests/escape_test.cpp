// What a hostile command tries against the sandbox as a whole: capabilities, host mounts,
// leaving the process group, children of our caller, reaching its caller's process, and every
// system call the filters may have forgotten.
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <thread>

#include "core/context/filter_lists.hpp"
#include "core/sandbox.hpp"
#include "core/seccomp/bpf.hpp"
#include "core/sys/syscall.hpp"
#include "tests/bpf_interpreter.hpp"
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
        const std::string stat = test::read_proc_file("/proc/" + pid + "/stat");
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
    // Past each replacement: the directory's own name may hold a D.
    const std::string& d = dir.path().native();
    for (std::size_t at = 0; (at = script.find('D', at)) != std::string::npos; at += d.size())
        script.replace(at, 1, d);
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
                                 "unlink", "readlink", "fanotify_mark"})
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

// --- Every system call ---

// The features whose rules must see a call: they resolve its path, judge its address or serve
// what it reads.
enum Route : unsigned {
    Every = 1u << 0,     // every policy: the process budget and the process groups
    Metadata = 1u << 1,  // every policy: changes of mode, owner, times and attributes
    Root = 1u << 2,      // the virtual root
    Layer = 1u << 3,     // the copy-on-write layer
    Callback = 1u << 4,  // the policy callback
    Views = 1u << 5,     // the /proc, CPU-count and host-name views, and sorted listings
    Network = 1u << 6,   // the IP allow-list and port remapping
    Writable = 1u << 7,  // a writable tree, beneath which a Unix socket file may be reached
};
// Where the agent makes the connects and sends by name: with no such feature the command gets
// no socket that could name a Unix socket file.
constexpr unsigned kWithAgent = Layer | Callback | Network | Writable;

struct Row {
    std::uint32_t first, last;  // one number, or a run of unassigned ones
    std::string_view name;
    unsigned routed;       // the features that route it to the supervisor
    bool denied;           // refused: by the default deny list, or by every program
    std::string_view why;  // what it reaches, and why the features that do not route it need not
};

constexpr std::uint32_t kLastCall = 469;  // file_setattr, this kernel's last

// Reasons many rows share.
constexpr std::string_view kNoObject = "takes no path, descriptor or address";
constexpr std::string_view kHeld = "acts through a descriptor held: its open was judged";
constexpr std::string_view kGone = "not in this kernel for x86-64: ENOSYS";
constexpr std::string_view kAddressOut = "tells the command an address; reaches no one";
constexpr std::string_view kOwnIds = "the command's own ids, within what it holds";
constexpr std::string_view kIpc = "an object of the command's IPC namespace, not a file";
constexpr std::string_view kSignal = "signals a process: isolate_signals' scope bounds it";
constexpr std::string_view kOtherProcess =
    "acts on a process by number: another's goes to the supervisor by its argument";
constexpr std::string_view kHostCapability =
    "needs a capability in the host's namespace, which the command never holds";
constexpr std::string_view kNarrows = "only narrows what the command may do";
constexpr std::string_view kStatus =
    "status by path: the callback vetoes only opens, execs and addresses";
constexpr std::string_view kChange =
    "changes by path, as Landlock allows; the callback vetoes only opens, execs and addresses";
constexpr std::string_view kMetadataChange =
    "metadata by path: performed beneath fs_write only, resolved in the root or the layer";
constexpr std::string_view kMetadataHeld =
    "metadata through a descriptor: the root handed out the descriptor already";
constexpr std::string_view kAttributeRead =
    "reads attributes by path: the callback vetoes only opens, execs and addresses";
constexpr std::string_view kSocketAddress =
    "an address: a Unix socket file is reached beneath fs_write only (without one the command "
    "has no socket that could name it), an IP one by the allow-list";
constexpr std::string_view kMounts = "changes or opens the host's mounts";
constexpr std::string_view kListing =
    "lists a held directory: the callback judged its open; the views sort and filter it";
constexpr std::string_view kIoUring = "opens, connects and sends inside the kernel, past all rules";
constexpr std::string_view kKernelCode = "loads, runs or removes kernel code";
constexpr std::string_view kOtherMemory = "reads or writes another process's memory";

#define CALL(name, routed, why) Row{__NR_##name, __NR_##name, #name, routed, false, why}
#define DENIED(name, why) Row{__NR_##name, __NR_##name, #name, 0, true, why}
// Calls newer than the installed headers.
#define NEWER(nr, name, routed, why) Row{nr, nr, #name, routed, false, why}

// clang-format off
constexpr auto kCoverage = std::to_array<Row>({
    CALL(read, 0, kHeld),
    CALL(write, 0, kHeld),
    CALL(open, Root | Layer | Callback,
         "opens by path; the views serve openat, the call C libraries make (see the README)"),
    CALL(close, 0, kHeld),
    CALL(stat, Root | Layer, kStatus),
    CALL(fstat, 0, kHeld),
    CALL(lstat, Root | Layer, kStatus),
    CALL(poll, 0, kHeld),
    CALL(lseek, 0, kHeld),
    CALL(mmap, 0, "maps a held descriptor or anonymous memory; only the memory budget counts it"),
    CALL(mprotect, 0, kNoObject),
    CALL(munmap, 0, kNoObject),
    CALL(brk, 0, kNoObject),
    CALL(rt_sigaction, 0, kNoObject),
    CALL(rt_sigprocmask, 0, kNoObject),
    CALL(rt_sigreturn, 0, kNoObject),
    CALL(ioctl, 0, "a held descriptor; requests that change inode flags go to the metadata rule"),
    CALL(pread64, 0, kHeld),
    CALL(pwrite64, 0, kHeld),
    CALL(readv, 0, kHeld),
    CALL(writev, 0, kHeld),
    CALL(access, Root | Layer, kStatus),
    CALL(pipe, 0, kNoObject),
    CALL(select, 0, kHeld),
    CALL(sched_yield, 0, kNoObject),
    CALL(mremap, 0, kNoObject),
    CALL(msync, 0, kNoObject),
    CALL(mincore, 0, kNoObject),
    CALL(madvise, 0, kNoObject),
    CALL(shmget, 0, kIpc),
    CALL(shmat, 0, kIpc),
    CALL(shmctl, 0, kIpc),
    CALL(dup, 0, kHeld),
    CALL(dup2, 0, kHeld),
    CALL(pause, 0, kNoObject),
    CALL(nanosleep, 0, kNoObject),
    CALL(getitimer, 0, kNoObject),
    CALL(alarm, 0, kNoObject),
    CALL(setitimer, 0, kNoObject),
    CALL(getpid, 0, kNoObject),
    CALL(sendfile, 0, kHeld),
    CALL(socket, 0,
         "makes a socket; the argument checks refuse the families and types refused, and the Unix "
         "family where no agent starts"),
    CALL(connect, kWithAgent, kSocketAddress),
    CALL(accept, 0, kAddressOut),
    CALL(sendto, Callback,
         "an address when its pointer is set: then every program that starts the agent routes "
         "it by that argument"),
    CALL(recvfrom, 0, kAddressOut),
    CALL(sendmsg, kWithAgent, kSocketAddress),
    CALL(recvmsg, 0, kAddressOut),
    CALL(shutdown, 0, kHeld),
    CALL(bind, Root | Layer | Callback | Network,
         "an address; the root resolves a Unix socket's name, the layer makes one named relative "
         "to its directory in the view"),
    CALL(listen, 0, kHeld),
    CALL(getsockname, Network, kAddressOut),
    CALL(getpeername, 0, kAddressOut),
    CALL(socketpair, 0,
         "a connected pair of the command's own; a datagram one is refused where no agent starts"),
    CALL(setsockopt, 0, kHeld),
    CALL(getsockopt, 0, kHeld),
    CALL(clone, Every, "a process: the budget counts it and the teardown must find it"),
    CALL(fork, Every, "a process: the budget counts it and the teardown must find it"),
    CALL(vfork, Every, "a process: the budget counts it and the teardown must find it"),
    CALL(execve, Root | Layer | Callback, "runs a path: the views serve no program"),
    CALL(exit, 0, kNoObject),
    CALL(wait4, 0, kNoObject),
    CALL(kill, 0, kSignal),
    CALL(uname, Views, "the host name, which only the views change"),
    CALL(semget, 0, kIpc),
    CALL(semop, 0, kIpc),
    CALL(semctl, 0, kIpc),
    CALL(shmdt, 0, kIpc),
    CALL(msgget, 0, kIpc),
    CALL(msgsnd, 0, kIpc),
    CALL(msgrcv, 0, kIpc),
    CALL(msgctl, 0, kIpc),
    CALL(fcntl, 0, kHeld),
    CALL(flock, 0, kHeld),
    CALL(fsync, 0, kHeld),
    CALL(fdatasync, 0, kHeld),
    CALL(truncate, Root | Layer, kChange),
    CALL(ftruncate, 0, kHeld),
    CALL(getdents, Root | Layer | Views, kListing),
    CALL(getcwd, Root | Layer, "names the working directory as the root or the layer shows it"),
    CALL(chdir, Root | Layer, "enters a path: the callback vetoes only opens, execs and addresses"),
    CALL(fchdir, 0, kHeld),
    CALL(rename, Root | Layer, kChange),
    CALL(mkdir, Root | Layer, kChange),
    CALL(rmdir, Root | Layer, kChange),
    CALL(creat, Root | Layer | Callback, "creates by path: the views serve only reads"),
    CALL(link, Root | Layer, kChange),
    CALL(unlink, Root | Layer, kChange),
    CALL(symlink, Root | Layer, kChange),
    CALL(readlink, Root | Layer, kStatus),
    CALL(chmod, Root | Layer | Metadata, kMetadataChange),
    CALL(fchmod, Layer | Metadata, kMetadataHeld),
    CALL(chown, Root | Layer | Metadata, kMetadataChange),
    CALL(fchown, Layer | Metadata, kMetadataHeld),
    CALL(lchown, Root | Layer | Metadata, kMetadataChange),
    CALL(umask, 0, kNoObject),
    CALL(gettimeofday, 0, kNoObject),
    CALL(getrlimit, 0, kNoObject),
    CALL(getrusage, 0, kNoObject),
    CALL(sysinfo, 0, kNoObject),
    CALL(times, 0, kNoObject),
    DENIED(ptrace, kOtherMemory),
    CALL(getuid, 0, kNoObject),
    CALL(syslog, 0, "the kernel's log: CAP_SYSLOG, or dmesg_restrict off; no path"),
    CALL(getgid, 0, kNoObject),
    CALL(setuid, 0, kOwnIds),
    CALL(setgid, 0, kOwnIds),
    CALL(geteuid, 0, kNoObject),
    CALL(getegid, 0, kNoObject),
    CALL(setpgid, Every, "a process group, which the teardown must know"),
    CALL(getppid, 0, kNoObject),
    CALL(getpgrp, 0, kNoObject),
    CALL(setsid, Every, "a session, which the teardown must know"),
    CALL(setreuid, 0, kOwnIds),
    CALL(setregid, 0, kOwnIds),
    CALL(getgroups, 0, kNoObject),
    CALL(setgroups, 0, kOwnIds),
    CALL(setresuid, 0, kOwnIds),
    CALL(getresuid, 0, kNoObject),
    CALL(setresgid, 0, kOwnIds),
    CALL(getresgid, 0, kNoObject),
    CALL(getpgid, 0, kNoObject),
    CALL(setfsuid, 0, kOwnIds),
    CALL(setfsgid, 0, kOwnIds),
    CALL(getsid, 0, kNoObject),
    CALL(capget, 0, kNoObject),
    CALL(capset, 0, kNarrows),
    CALL(rt_sigpending, 0, kNoObject),
    CALL(rt_sigtimedwait, 0, kNoObject),
    CALL(rt_sigqueueinfo, 0, kSignal),
    CALL(rt_sigsuspend, 0, kNoObject),
    CALL(sigaltstack, 0, kNoObject),
    CALL(utime, Root | Layer | Metadata, kMetadataChange),
    CALL(mknod, Root | Layer, kChange),
    CALL(uselib, 0, kGone),
    CALL(personality, 0, kNoObject),
    CALL(ustat, 0, "statistics of a file system by device number; no path"),
    CALL(statfs, Root | Layer, "a file system's statistics, of the entry the root or the view shows"),
    CALL(fstatfs, 0, kHeld),
    CALL(sysfs, 0, "the kernel's file-system types"),
    CALL(getpriority, 0, kNoObject),
    CALL(setpriority, 0, kOtherProcess),
    CALL(sched_setparam, 0, kOtherProcess),
    CALL(sched_getparam, 0, kNoObject),
    CALL(sched_setscheduler, 0, kOtherProcess),
    CALL(sched_getscheduler, 0, kNoObject),
    CALL(sched_get_priority_max, 0, kNoObject),
    CALL(sched_get_priority_min, 0, kNoObject),
    CALL(sched_rr_get_interval, 0, kNoObject),
    CALL(mlock, 0, kNoObject),
    CALL(munlock, 0, kNoObject),
    CALL(mlockall, 0, kNoObject),
    CALL(munlockall, 0, kNoObject),
    CALL(vhangup, 0, kHostCapability),
    CALL(modify_ldt, 0, kNoObject),
    DENIED(pivot_root, kMounts),
    CALL(_sysctl, 0, kGone),
    CALL(prctl, 0, "the command's own process; the options that loosen it are refused by argument"),
    CALL(arch_prctl, 0, kNoObject),
    CALL(adjtimex, 0, kHostCapability),
    CALL(setrlimit, 0, kNoObject),
    CALL(chroot, Root,
         "needs CAP_SYS_CHROOT, held only in a privileged command's namespace; it only narrows; "
         "refused under a root, whose paths the kernel would read from a host directory"),
    CALL(sync, 0, kNoObject),
    DENIED(acct, "writes accounting records to a path"),
    CALL(settimeofday, 0, kHostCapability),
    DENIED(mount, kMounts),
    DENIED(umount2, kMounts),
    DENIED(swapon, "swaps to a path"),
    DENIED(swapoff, "swaps to a path"),
    DENIED(reboot, "ends the machine"),
    DENIED(sethostname, "the host's name"),
    DENIED(setdomainname, "the host's name"),
    DENIED(iopl, "raw hardware ports"),
    DENIED(ioperm, "raw hardware ports"),
    CALL(create_module, 0, kGone),
    DENIED(init_module, kKernelCode),
    DENIED(delete_module, kKernelCode),
    CALL(get_kernel_syms, 0, kGone),
    CALL(query_module, 0, kGone),
    DENIED(quotactl, "the quotas of a file system named by a device path"),
    CALL(nfsservctl, 0, kGone),
    CALL(getpmsg, 0, kGone),
    CALL(putpmsg, 0, kGone),
    CALL(afs_syscall, 0, kGone),
    CALL(tuxcall, 0, kGone),
    CALL(security, 0, kGone),
    CALL(gettid, 0, kNoObject),
    CALL(readahead, 0, kHeld),
    CALL(setxattr, Root | Layer | Metadata, kMetadataChange),
    CALL(lsetxattr, Root | Layer | Metadata, kMetadataChange),
    CALL(fsetxattr, Layer | Metadata, kMetadataHeld),
    CALL(getxattr, Root | Layer, kAttributeRead),
    CALL(lgetxattr, Root | Layer, kAttributeRead),
    CALL(fgetxattr, 0, kHeld),
    CALL(listxattr, Root | Layer, kAttributeRead),
    CALL(llistxattr, Root | Layer, kAttributeRead),
    CALL(flistxattr, 0, kHeld),
    CALL(removexattr, Root | Layer | Metadata, kMetadataChange),
    CALL(lremovexattr, Root | Layer | Metadata, kMetadataChange),
    CALL(fremovexattr, Layer | Metadata, kMetadataHeld),
    CALL(tkill, 0, kSignal),
    CALL(time, 0, kNoObject),
    CALL(futex, 0, kNoObject),
    CALL(sched_setaffinity, 0, kOtherProcess),
    CALL(sched_getaffinity, Views, "the CPUs, which only the views change"),
    CALL(set_thread_area, 0, kGone),
    CALL(io_setup, 0, kNoObject),
    CALL(io_destroy, 0, kNoObject),
    CALL(io_getevents, 0, kNoObject),
    CALL(io_submit, 0, kHeld),
    CALL(io_cancel, 0, kNoObject),
    CALL(get_thread_area, 0, kGone),
    DENIED(lookup_dcookie, "names a path by a profiling cookie"),
    CALL(epoll_create, 0, kNoObject),
    CALL(epoll_ctl_old, 0, kGone),
    CALL(epoll_wait_old, 0, kGone),
    CALL(remap_file_pages, 0, kNoObject),
    CALL(getdents64, Root | Layer | Views, kListing),
    CALL(set_tid_address, 0, kNoObject),
    CALL(restart_syscall, 0, kNoObject),
    CALL(semtimedop, 0, kIpc),
    CALL(fadvise64, 0, kHeld),
    CALL(timer_create, 0, kNoObject),
    CALL(timer_settime, 0, "a timer of the command's; only the clock offset moves it"),
    CALL(timer_gettime, 0, kNoObject),
    CALL(timer_getoverrun, 0, kNoObject),
    CALL(timer_delete, 0, kNoObject),
    CALL(clock_settime, 0, kHostCapability),
    CALL(clock_gettime, 0, kNoObject),
    CALL(clock_getres, 0, kNoObject),
    CALL(clock_nanosleep, 0, "a sleep; only the clock offset moves it"),
    CALL(exit_group, 0, kNoObject),
    CALL(epoll_wait, 0, kHeld),
    CALL(epoll_ctl, 0, kHeld),
    CALL(tgkill, 0, kSignal),
    CALL(utimes, Root | Layer | Metadata, kMetadataChange),
    CALL(vserver, 0, kGone),
    CALL(mbind, 0, kNoObject),
    CALL(set_mempolicy, 0, kNoObject),
    CALL(get_mempolicy, 0, kNoObject),
    CALL(mq_open, 0, kIpc),
    CALL(mq_unlink, 0, kIpc),
    CALL(mq_timedsend, 0, kIpc),
    CALL(mq_timedreceive, 0, kIpc),
    CALL(mq_notify, 0, kIpc),
    CALL(mq_getsetattr, 0, kIpc),
    DENIED(kexec_load, kKernelCode),
    CALL(waitid, 0, kNoObject),
    DENIED(add_key, "the kernel's key rings"),
    DENIED(request_key, "the kernel's key rings"),
    DENIED(keyctl, "the kernel's key rings"),
    CALL(ioprio_set, 0, kOtherProcess),
    CALL(ioprio_get, 0, kNoObject),
    CALL(inotify_init, 0, kNoObject),
    CALL(inotify_add_watch, Root | Layer,
         "watches a path: the entry the root or the view shows; events only"),
    CALL(inotify_rm_watch, 0, kHeld),
    CALL(migrate_pages, 0, "moves a process's pages between memory nodes: placement, not data"),
    CALL(openat, Root | Layer | Callback | Views | Network, "opens by path"),
    CALL(mkdirat, Root | Layer, kChange),
    CALL(mknodat, Root | Layer, kChange),
    CALL(fchownat, Root | Layer | Metadata, kMetadataChange),
    CALL(futimesat, Root | Layer | Metadata, kMetadataChange),
    CALL(newfstatat, Root | Layer, kStatus),
    CALL(unlinkat, Root | Layer, kChange),
    CALL(renameat, Root | Layer, kChange),
    CALL(linkat, Root | Layer, kChange),
    CALL(symlinkat, Root | Layer, kChange),
    CALL(readlinkat, Root | Layer, kStatus),
    CALL(fchmodat, Root | Layer | Metadata, kMetadataChange),
    CALL(faccessat, Root | Layer, kStatus),
    CALL(pselect6, 0, kHeld),
    CALL(ppoll, 0, kHeld),
    DENIED(unshare, "new namespaces"),
    CALL(set_robust_list, 0, kNoObject),
    CALL(get_robust_list, 0, kNoObject),
    CALL(splice, 0, kHeld),
    CALL(tee, 0, kHeld),
    CALL(sync_file_range, 0, kHeld),
    CALL(vmsplice, 0, kHeld),
    CALL(move_pages, 0, "moves a process's pages between memory nodes: placement, not data"),
    CALL(utimensat, Root | Layer | Metadata, kMetadataChange),
    CALL(epoll_pwait, 0, kHeld),
    CALL(signalfd, 0, kNoObject),
    CALL(timerfd_create, 0, kNoObject),
    CALL(eventfd, 0, kNoObject),
    CALL(fallocate, 0, kHeld),
    CALL(timerfd_settime, 0, "a timer of the command's; only the clock offset moves it"),
    CALL(timerfd_gettime, 0, kHeld),
    CALL(accept4, 0, kAddressOut),
    CALL(signalfd4, 0, kNoObject),
    CALL(eventfd2, 0, kNoObject),
    CALL(epoll_create1, 0, kNoObject),
    CALL(dup3, 0, kHeld),
    CALL(pipe2, 0, kNoObject),
    CALL(inotify_init1, 0, kNoObject),
    CALL(preadv, 0, kHeld),
    CALL(pwritev, 0, kHeld),
    CALL(rt_tgsigqueueinfo, 0, kSignal),
    DENIED(perf_event_open, "the kernel's performance counters"),
    CALL(recvmmsg, 0, kAddressOut),
    CALL(fanotify_init, 0, kNoObject),
    CALL(fanotify_mark, Root,
         "watches a path by file handle: the entry the root shows; events only, and "
         "unprivileged single files only"),
    CALL(prlimit64, 0, kOtherProcess),
    DENIED(name_to_handle_at, "file handles, which open_by_handle_at would open past Landlock"),
    DENIED(open_by_handle_at, "opens by file handle, past Landlock"),
    CALL(clock_adjtime, 0, kHostCapability),
    CALL(syncfs, 0, kHeld),
    CALL(sendmmsg, kWithAgent, kSocketAddress),
    DENIED(setns, "joins other namespaces"),
    CALL(getcpu, 0, kNoObject),
    DENIED(process_vm_readv, kOtherMemory),
    DENIED(process_vm_writev, kOtherMemory),
    CALL(kcmp, 0, "compares two processes' resources; both must be the command's to trace"),
    DENIED(finit_module, kKernelCode),
    CALL(sched_setattr, 0, kOtherProcess),
    CALL(sched_getattr, 0, kNoObject),
    CALL(renameat2, Root | Layer, kChange),
    CALL(seccomp, 0, kNarrows),
    CALL(getrandom, 0, "randomness; only the seed changes it"),
    CALL(memfd_create, 0, "an anonymous file of the command's own"),
    CALL(kexec_file_load, 0, kHostCapability),
    DENIED(bpf, kKernelCode),
    CALL(execveat, Root | Layer | Callback, "runs a path: the views serve no program"),
    DENIED(userfaultfd, "stalls the kernel on a page fault at the command's will"),
    CALL(membarrier, 0, kNoObject),
    CALL(mlock2, 0, kNoObject),
    CALL(copy_file_range, 0, kHeld),
    CALL(preadv2, 0, kHeld),
    CALL(pwritev2, 0, kHeld),
    CALL(pkey_mprotect, 0, kNoObject),
    CALL(pkey_alloc, 0, kNoObject),
    CALL(pkey_free, 0, kNoObject),
    CALL(statx, Root | Layer, kStatus),
    CALL(io_pgetevents, 0, kNoObject),
    CALL(rseq, 0, kNoObject),
    NEWER(335, uretprobe, 0, "returns from a kernel probe; outside one it kills its caller"),
    NEWER(336, uprobe, 0, "enters a kernel probe; outside one it fails"),
    Row{337, 423, "", 0, false, "no x86-64 call has these numbers: ENOSYS"},
    CALL(pidfd_send_signal, 0, kSignal),
    DENIED(io_uring_setup, kIoUring),
    DENIED(io_uring_enter, kIoUring),
    DENIED(io_uring_register, kIoUring),
    DENIED(open_tree, kMounts),
    DENIED(move_mount, kMounts),
    DENIED(fsopen, kMounts),
    DENIED(fsconfig, kMounts),
    DENIED(fsmount, kMounts),
    DENIED(fspick, kMounts),
    CALL(pidfd_open, 0, "a descriptor of a process; signals through it keep to the signal scope"),
    DENIED(clone3, "its flags lie where the filter cannot read: ENOSYS, so C libraries use clone"),
    CALL(close_range, 0, kHeld),
    CALL(openat2, Root | Layer | Callback,
         "opens by path (refused in the root and the layer); the views serve openat only"),
    CALL(pidfd_getfd, 0, "copies a descriptor of a process the command may trace: its own"),
    CALL(faccessat2, Root | Layer, kStatus),
    CALL(process_madvise, 0, "advises on the memory of a process the command may trace"),
    CALL(epoll_pwait2, 0, kHeld),
    DENIED(mount_setattr, kMounts),
    CALL(quotactl_fd, 0, "queries quotas; changes need CAP_SYS_ADMIN of the host's namespace"),
    CALL(landlock_create_ruleset, 0, kNarrows),
    CALL(landlock_add_rule, 0, kNarrows),
    CALL(landlock_restrict_self, 0, kNarrows),
    CALL(memfd_secret, 0, "an anonymous file of the command's own"),
    CALL(process_mrelease, 0, "frees the memory of a process being killed"),
    CALL(futex_waitv, 0, kNoObject),
    CALL(set_mempolicy_home_node, 0, kNoObject),
    NEWER(451, cachestat, 0, kHeld),
    NEWER(452, fchmodat2, Root | Layer | Metadata, kMetadataChange),
    NEWER(453, map_shadow_stack, 0, kNoObject),
    NEWER(454, futex_wake, 0, kNoObject),
    NEWER(455, futex_wait, 0, kNoObject),
    NEWER(456, futex_requeue, 0, kNoObject),
    NEWER(457, statmount, 0, "a mount of the command's namespace by id, as /proc/self/mountinfo"),
    NEWER(458, listmount, 0, "the mounts of the command's namespace, as /proc/self/mountinfo"),
    NEWER(459, lsm_get_self_attr, 0, kNoObject),
    NEWER(460, lsm_set_self_attr, 0, kNoObject),
    NEWER(461, lsm_list_modules, 0, kNoObject),
    NEWER(462, mseal, 0, kNoObject),
    NEWER(463, setxattrat, Root | Layer | Metadata, kMetadataChange),
    NEWER(464, getxattrat, Root | Layer, kAttributeRead),
    NEWER(465, listxattrat, Root | Layer, kAttributeRead),
    NEWER(466, removexattrat, Root | Layer | Metadata, kMetadataChange),
    Row{467, 467, "open_tree_attr", 0, true, kMounts},
    NEWER(468, file_getattr, Root, "inode flags by path, of the working directory's own copy"),
    NEWER(469, file_setattr, Root | Layer | Metadata, kMetadataChange),
});
// clang-format on
static_assert(std::ranges::is_sorted(kCoverage, {}, &Row::first));

#undef CALL
#undef DENIED
#undef NEWER

struct FeatureProgram {
    Route route;
    const char* name;
    std::expected<Policy, PolicyError> policy;
};

std::vector<FeatureProgram> feature_programs() {
    auto allow = [](const SyscallEvent&, PolicyContext&) { return Verdict{}; };
    return {
        {Metadata, "defaults", Policy::builder().build()},
        {Root, "virtual root", Policy::builder().chroot("/srv/root").build()},
        {Layer, "copy-on-write layer", Policy::builder().workdir("/tmp/w").build()},
        {Callback, "callback", Policy::builder().policy_fn(allow).build()},
        {Views, "views",
         Policy::builder().num_cpus(2).isolate_pids(true).hostname("box").deterministic_dirs(true)
             .build()},
        {Network, "network",
         Policy::builder().net_allow_host("example.org").port_remap(true).build()},
        {Writable, "writable tree", Policy::builder().fs_write("/tmp").build()},
    };
}

// Every number up to the kernel's last has one row; under each feature's program a row is routed
// exactly where it says, and refused exactly where it says denied. A call the kernel adds, or one
// a feature forgets or starts to route, fails here.
TEST(SyscallCoverage, EveryNumberHasOneRowThatTheProgramsKeep) {
    std::map<std::uint32_t, const Row*> rows;
    for (const Row& row : kCoverage) {
        EXPECT_FALSE(row.why.empty()) << row.name;
        EXPECT_FALSE(row.denied && row.routed != 0) << row.name << ": routed wins over denied";
        for (std::uint32_t n = row.first; n <= row.last; ++n)
            EXPECT_TRUE(rows.emplace(n, &row).second) << "two rows for " << n;
    }
    for (std::uint32_t n = 0; n <= kLastCall; ++n)
        EXPECT_TRUE(rows.contains(n)) << "no row for " << n;
    EXPECT_EQ(rows.rbegin()->first, kLastCall);
    for (const auto& entry : context::syscall_table()) {
        auto row = rows.find(entry.nr);
        ASSERT_NE(row, rows.end()) << entry.name;
        EXPECT_EQ(row->second->name, entry.name) << entry.nr;
    }
    // Up to the first x32 number, nothing past the last row answers but with ENOSYS.
    for (long n = kLastCall + 1; n < 512; ++n) {
        errno = 0;
        EXPECT_EQ(::syscall(n, 0, 0, 0, 0, 0, 0), -1) << "this kernel has a call " << n;
        EXPECT_EQ(errno, ENOSYS) << "this kernel has a call " << n;
    }
    for (const FeatureProgram& feature : feature_programs()) {
        ASSERT_TRUE(feature.policy) << feature.policy.error().message();
        const Policy& policy = *feature.policy;
        auto program = seccomp::bpf::assemble_filter(context::notif_syscalls(policy),
                                                     context::deny_syscall_numbers(policy),
                                                     context::arg_filters(policy, true));
        ASSERT_TRUE(program) << program.error().message();
        const unsigned in_force = feature.route | Every | Metadata;
        for (const auto& [n, row] : rows) {
            seccomp_data data{};
            data.nr = static_cast<int>(n);
            data.arch = AUDIT_ARCH_X86_64;
            auto verdict = test::run_bpf(*program, data);
            ASSERT_TRUE(verdict) << verdict.error();
            const std::string where = std::string(feature.name) + ": " + std::to_string(n) + " " +
                                      std::string(row->name) + " (" + std::string(row->why) + ")";
            EXPECT_EQ(*verdict == SECCOMP_RET_USER_NOTIF, (row->routed & in_force) != 0) << where;
            // Zero arguments: the argument checks refuse none of them with EPERM.
            const bool refused = (*verdict & SECCOMP_RET_ACTION_FULL) == SECCOMP_RET_ERRNO;
            if (row->denied) EXPECT_TRUE(refused) << where;
            else EXPECT_NE(*verdict, SECCOMP_RET_ERRNO | EPERM) << where;
        }
    }
}

// The calls that name a file by path. Under a root the kernel would read each such path as a
// host path, so each reaches the root's rule (which resolves it inside the root, or refuses it)
// or is denied outright. Unix socket addresses are another matter: their paths are the host's.
constexpr std::string_view kNamesAPath[] = {
    "open", "stat", "lstat", "access", "execve", "truncate", "chdir", "rename", "mkdir", "rmdir",
    "creat", "link", "unlink", "symlink", "readlink", "chmod", "chown", "lchown", "utime",
    "mknod", "statfs", "pivot_root", "chroot", "acct", "mount", "umount2", "swapon", "swapoff",
    "quotactl", "setxattr", "lsetxattr", "getxattr", "lgetxattr", "listxattr", "llistxattr",
    "removexattr", "lremovexattr", "utimes", "inotify_add_watch", "openat", "mkdirat",
    "mknodat", "fchownat", "futimesat", "newfstatat", "unlinkat", "renameat", "linkat",
    "symlinkat", "readlinkat", "fchmodat", "faccessat", "utimensat", "fanotify_mark",
    "name_to_handle_at", "renameat2", "bpf", "execveat", "statx", "open_tree", "move_mount",
    "fsconfig", "fspick", "openat2", "faccessat2", "mount_setattr", "fchmodat2", "setxattrat",
    "getxattrat", "listxattrat", "removexattrat", "open_tree_attr", "file_getattr",
    "file_setattr"};

TEST(SyscallCoverage, UnderARootEveryPathReachesTheRootOrIsDenied) {
    auto policy = Policy::builder().chroot("/srv/root").build();
    ASSERT_TRUE(policy) << policy.error().message();
    auto program = seccomp::bpf::assemble_filter(context::notif_syscalls(*policy),
                                                 context::deny_syscall_numbers(*policy),
                                                 context::arg_filters(*policy, true));
    ASSERT_TRUE(program) << program.error().message();
    for (std::string_view name : kNamesAPath) {
        auto row = std::ranges::find(kCoverage, name, &Row::name);
        ASSERT_NE(row, kCoverage.end()) << name;
        seccomp_data data{};
        data.nr = static_cast<int>(row->first);
        data.arch = AUDIT_ARCH_X86_64;
        auto verdict = test::run_bpf(*program, data);
        ASSERT_TRUE(verdict) << verdict.error();
        const bool routed = *verdict == SECCOMP_RET_USER_NOTIF;
        const bool denied = (*verdict & SECCOMP_RET_ACTION_FULL) == SECCOMP_RET_ERRNO;
        EXPECT_TRUE(routed || denied) << name << " is left to the kernel under a root";
    }
}

}  // namespace
}  // namespace vestrion
