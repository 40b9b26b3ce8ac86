// Checkpoints of running sandboxes: what the capture reads, the exec gate, freeze and thaw, and
// the forks held while frozen.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "core/checkpoint/capture.hpp"
#include "core/checkpoint/checkpoint.hpp"
#include "core/checkpoint/driver.hpp"
#include "core/checkpoint/policy_codec.hpp"
#include "core/resource.hpp"
#include "core/sandbox.hpp"
#include "core/seccomp/notif.hpp"
#include "core/seccomp/state.hpp"
#include "tests/routed_child.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

using Args = std::vector<std::string>;
using namespace std::chrono_literals;

// --- What the capture parses ---

TEST(CheckpointMaps, ParsesTheLinesTheKernelWrites) {
    std::string text =
        "55d0c0a00000-55d0c0a21000 rw-p 00000000 00:00 0                          [heap]\n"
        "7f00deadb000-7f00deadc000 r-xp 0001a000 fd:01 1234                       /usr/lib/x 2.so\r\n"
        "7f00deadd000-7f00deade000 rw-p 00000000 00:00 0 \n"
        "garbage line\n"
        "1-2-3 rw-p 0 0 0\n"
        "zz-10 rw-p 00000000 00:00 0\n"
        "7ffd00000000-7ffd00021000 rw-p 00000000 00:00 0                          [stack]";
    auto maps = checkpoint::parse_maps(text);
    ASSERT_EQ(maps.size(), 5u);
    EXPECT_EQ(maps[0].start, 0x55d0c0a00000u);
    EXPECT_EQ(maps[0].end, 0x55d0c0a21000u);
    EXPECT_EQ(maps[0].perms, "rw-p");
    EXPECT_EQ(maps[0].path, "[heap]");
    EXPECT_EQ(maps[1].offset, 0x1a000u);
    EXPECT_EQ(maps[1].path, "/usr/lib/x 2.so");  // spaces kept, carriage return dropped
    EXPECT_EQ(maps[2].path, std::nullopt);        // anonymous: an empty sixth field
    EXPECT_EQ(maps[3].start, 0u);                  // a bound that does not parse reads 0
    EXPECT_EQ(maps[3].end, 0x10u);
    EXPECT_EQ(maps[3].path, std::nullopt);         // exactly five fields
    EXPECT_EQ(maps[4].path, "[stack]");            // a last line without a line feed
}

TEST(CheckpointMaps, DumpsOnlyPrivateWritableRangesOfBoundedSize) {
    struct Case {
        const char* perms;
        std::uint64_t length;
        const char* path;
        bool dumped;
    } cases[] = {
        {"rw-p", 4096, nullptr, true},
        {"rwxp", 4096, nullptr, true},
        {"rw-s", 4096, "/dev/shm/x", false},
        {"r--p", 4096, "/usr/bin/x", false},
        {"rw-p", 4096, "[vvar]", false},
        {"rw-p", 4096, "[vdso]", false},
        {"rw-p", 0x10000000, nullptr, true},
        {"rw-p", 0x10001000, nullptr, false},
        {"rw-p", 4096, "[heap]", true},
    };
    for (const Case& c : cases) {
        MemoryMap m{0x10000, 0x10000 + c.length, c.perms, 0,
                    c.path ? std::optional<std::string>(c.path) : std::nullopt};
        EXPECT_EQ(checkpoint::is_dumped(m), c.dumped) << c.perms << " " << c.length << " " << (c.path ? c.path : "");
    }
}

TEST(CheckpointFds, ReadsFlagsInOctalAndThePositionInDecimal) {
    struct Case {
        const char* text;
        std::int32_t flags;
        std::uint64_t offset;
    } cases[] = {
        {"pos:\t42\nflags:\t0100002\nmnt_id:\t25\n", 0100002, 42},
        {"pos:\t7\nflags:\t09\n", 0, 7},               // not octal
        {"flags: 02\npos:\t\n", 0, 0},                  // a space is no tab; an empty value
        {"pos:\t1\npos:\t2\r\n", 0, 2},                 // a later line wins
        {"", 0, 0},
    };
    for (const Case& c : cases) {
        FdInfo info;
        checkpoint::apply_fdinfo(c.text, info);
        EXPECT_EQ(info.flags, c.flags) << c.text;
        EXPECT_EQ(info.offset, c.offset) << c.text;
    }
}

// --- The exec gate ---

TEST(ExecGate, OpensOnlyOnceNoProcessHoldsTheWriteEnd) {
    struct Case {
        const char* name;
        bool close_write_end;
        bool write_a_line_first;
        bool passes;
    } cases[] = {
        {"write end held, as by a template", false, false, false},
        {"write end closed by the exec", true, false, true},
        {"failure line left, then closed", true, true, true},
    };
    for (const Case& c : cases) {
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC | O_NONBLOCK), 0);
        UniqueFd r(fds[0]), w(fds[1]);
        if (c.write_a_line_first) {
            ASSERT_EQ(::write(w.get(), "x\n", 2), 2);
        }
        if (c.close_write_end) w.reset();
        auto gate = checkpoint::wait_for_exec(r.get(), 50ms);
        EXPECT_EQ(gate.has_value(), c.passes) << c.name;
        if (!gate) {
            EXPECT_NE(gate.error().message().find("checkpoint refused: the command has not started within 50 ms"),
                      std::string::npos)
                << gate.error().message();
        }
    }
}

TEST(ExecGate, ProceedsWhenTheLastWriterClosesDuringTheWait) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    UniqueFd r(fds[0]), w(fds[1]);
    std::thread closer([&] {
        std::this_thread::sleep_for(20ms);
        w.reset();
    });
    auto gate = checkpoint::wait_for_exec(r.get(), 10s);
    closer.join();
    EXPECT_TRUE(gate.has_value());
}

// --- Running sandboxes ---

// Whether this process may trace its own children; the reason when it may not.
std::optional<std::string> cannot_trace() {
    std::ifstream in("/proc/sys/kernel/yama/ptrace_scope");
    int scope = 0;
    if (!(in >> scope)) return std::nullopt;
    if (scope >= 3) return "Yama ptrace_scope is 3: no process may trace";
    if (scope == 2 && ::geteuid() != 0) return "Yama ptrace_scope is 2 and the tests lack CAP_SYS_PTRACE";
    return std::nullopt;
}

#define SKIP_UNLESS_TRACEABLE()                              \
    do {                                                     \
        if (auto why = cannot_trace()) GTEST_SKIP() << *why; \
    } while (0)

bool wait_for_file(const std::filesystem::path& file) {
    for (int i = 0; i < 2000; ++i) {
        if (std::filesystem::exists(file)) return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

char process_state(pid_t pid) {
    const std::string stat = test::read_proc_file("/proc/" + std::to_string(pid) + "/stat");
    std::size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// Waits, within a generous bound, for the process to leave the stopped state.
bool runs_again(pid_t pid) {
    for (int i = 0; i < 1000; ++i) {
        if (process_state(pid) != 'T') return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

bool holds(const Checkpoint& cp, std::string_view bytes) {
    return std::any_of(cp.process.memory.begin(), cp.process.memory.end(),
                       [&](const MemorySegment& s) { return s.data.find(bytes) != std::string::npos; });
}

const MemoryMap* map_holding(const Checkpoint& cp, std::uint64_t address) {
    for (const MemoryMap& m : cp.process.maps)
        if (m.start <= address && address < m.end) return &m;
    return nullptr;
}

std::string sandbox_error(const Result<Checkpoint>& r) { return r ? "captured" : r.error().message(); }

Policy helper_policy(const std::filesystem::path& dir) {
    return *Policy::builder().fs_read("/").fs_write(dir).build();
}

TEST(CheckpointCapture, ReadsTheRunningCommandAndLetsItFinish) {
    SKIP_UNLESS_TRACEABLE();
    test::TempDir dir;
    std::string marker = "vestrion-marker-" + std::to_string(::getpid()) + "-4f1c";
    std::string reversed(marker.rbegin(), marker.rend());
    Policy policy = helper_policy(dir.path());
    auto sandbox = std::move(*Sandbox::create(policy));
    ASSERT_TRUE(sandbox->spawn(Args{VESTRION_TEST_HELPER, "hold-marker", reversed, dir.path().native()}));
    ASSERT_TRUE(wait_for_file(dir / "ready"));

    auto cp = sandbox->checkpoint();
    ASSERT_TRUE(cp.has_value()) << cp.error().message();
    EXPECT_TRUE(holds(*cp, marker)) << "no memory image holds the marker";
    EXPECT_EQ(cp->process.pid, *sandbox->pid());
    EXPECT_EQ(cp->process.exe, std::filesystem::canonical(VESTRION_TEST_HELPER).native());
    EXPECT_FALSE(cp->process.cwd.empty());
    ASSERT_EQ(cp->process.regs.size(), checkpoint::kRegisterWords);
    const MemoryMap* stack = map_holding(*cp, cp->process.regs[checkpoint::kRspWord]);
    ASSERT_NE(stack, nullptr);
    EXPECT_EQ(stack->path, "[stack]");
    const MemoryMap* code = map_holding(*cp, cp->process.regs[checkpoint::kRipWord]);
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->perms[2], 'x') << code->perms;
    // Every dumped range is a listed private writable one, read whole.
    for (const MemorySegment& s : cp->process.memory) {
        const MemoryMap* m = map_holding(*cp, s.start);
        ASSERT_NE(m, nullptr);
        EXPECT_TRUE(checkpoint::is_dumped(*m));
        EXPECT_EQ(s.data.size(), m->end - m->start);
    }
    std::vector<std::int32_t> numbers;
    for (const FdInfo& f : cp->fds) numbers.push_back(f.fd);
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    auto ten = std::find(numbers.begin(), numbers.end(), 10);
    ASSERT_NE(ten, numbers.end());
    EXPECT_EQ(cp->fds[static_cast<std::size_t>(ten - numbers.begin())].path, "/dev/null");
    EXPECT_NE(std::find(numbers.begin(), numbers.end(), 3), numbers.end());
    EXPECT_EQ(cp->name, "");
    EXPECT_FALSE(cp->app_state || cp->cow_snapshot);
    EXPECT_EQ(checkpoint::encode_policy(cp->policy).value_or("a"), checkpoint::encode_policy(policy).value_or("b"));

    test::write_file(dir / "release", "");
    auto result = sandbox->wait();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, ExitStatus::code(0)) << result->stderr_bytes.value_or("");
}

TEST(CheckpointCapture, RightAfterTheSpawnHoldsNothingOfTheCallersMemory) {
    SKIP_UNLESS_TRACEABLE();
    test::TempDir dir;
    // Built here, on the caller's heap, and never passed to the command.
    auto marker = std::make_unique<std::string>("caller-heap-marker-" + std::to_string(::getpid()) + "-9b2e");
    auto sandbox = std::move(*Sandbox::create(helper_policy(dir.path())));
    ASSERT_TRUE(sandbox->spawn(Args{VESTRION_TEST_HELPER, "hold-marker", "x", dir.path().native()}));
    auto cp = sandbox->checkpoint();
    ASSERT_TRUE(cp.has_value()) << cp.error().message();
    EXPECT_FALSE(cp->process.memory.empty());
    EXPECT_FALSE(holds(*cp, *marker)) << "a memory image holds the caller's heap";
    EXPECT_EQ(cp->process.exe, std::filesystem::canonical(VESTRION_TEST_HELPER).native());
    test::write_file(dir / "release", "");
    EXPECT_TRUE(sandbox->wait());
}

// More writable memory than a checkpoint may hold: refused before anything is copied into the
// caller, and the command runs on.
TEST(CheckpointCapture, RefusesMoreWritableMemoryThanTheCap) {
    SKIP_UNLESS_TRACEABLE();
    test::TempDir dir;
    auto sandbox = std::move(*Sandbox::create(helper_policy(dir.path())));
    // 17 ranges of 256 MiB: each small enough to be dumped, 4.25 GiB in all.
    ASSERT_TRUE(sandbox->spawn(Args{VESTRION_TEST_HELPER, "wide-writable", "17", dir.path().native()}));
    if (!wait_for_file(dir / "ready")) {
        auto result = sandbox->wait();
        GTEST_SKIP() << "the command could not map 4.25 GiB: " << (result ? result->stderr_bytes.value_or("") : "");
    }
    auto cp = sandbox->checkpoint();
    ASSERT_FALSE(cp.has_value());
    EXPECT_NE(cp.error().message().find("more than the 4294967296 bytes a checkpoint may hold"), std::string::npos)
        << cp.error().message();
    EXPECT_TRUE(runs_again(*sandbox->pid()));
    test::write_file(dir / "release", "");
    auto result = sandbox->wait();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, ExitStatus::code(0));
}

TEST(CheckpointCapture, RefusesASandboxThatDoesNotRun) {
    auto never = std::move(*Sandbox::create(*Policy::builder().build()));
    auto ended = std::move(*Sandbox::create(*Policy::builder().fs_read("/").build()));
    ASSERT_TRUE(ended->spawn(Args{"/bin/true"}));
    ASSERT_TRUE(ended->wait());
    for (Sandbox* s : {never.get(), ended.get()}) {
        EXPECT_EQ(sandbox_error(s->checkpoint()), "sandbox error: sandbox not running");
        auto frozen = s->freeze();
        ASSERT_FALSE(frozen);
        EXPECT_EQ(frozen.error().message(), "sandbox error: sandbox not running");
    }
    auto thawed = never->thaw();
    ASSERT_FALSE(thawed);
    EXPECT_EQ(thawed.error().message(), "sandbox error: sandbox not running");
}

TEST(CheckpointFreeze, StopsAProcessInASessionOfItsOwnAndThawContinuesIt) {
    test::TempDir dir;
    auto sandbox = std::move(*Sandbox::create(helper_policy(dir.path())));
    ASSERT_TRUE(sandbox->spawn(Args{VESTRION_TEST_HELPER, "session-child", dir.path().native()}));
    ASSERT_TRUE(wait_for_file(dir / "pid"));
    pid_t session = 0;
    std::ifstream(dir / "pid") >> session;
    ASSERT_GT(session, 0);
    ASSERT_NE(process_state(session), 'T');

    ASSERT_TRUE(sandbox->freeze());
    EXPECT_EQ(process_state(*sandbox->pid()), 'T');
    // The signal has been sent by now; the stop itself lands when the process next runs.
    bool stopped = false;
    for (int i = 0; i < 1000 && !stopped; ++i) {
        stopped = process_state(session) == 'T';
        if (!stopped) std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(stopped) << "the process in its own session was not stopped";

    ASSERT_TRUE(sandbox->thaw());
    EXPECT_TRUE(runs_again(*sandbox->pid()));
    EXPECT_TRUE(runs_again(session));
    test::write_file(dir / "release", "");
    auto result = sandbox->wait();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, ExitStatus::code(0));
}

// A listener on a loopback port the kernel picks, accepting until destroyed.
class AcceptingPeer {
  public:
    AcceptingPeer() {
        fd_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(::listen(fd_.get(), 128), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            while (!stop_.load()) {
                pollfd p{fd_.get(), POLLIN, 0};
                if (::poll(&p, 1, 20) <= 0) continue;
                int c;
                while ((c = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0) ::close(c);
            }
        });
    }
    ~AcceptingPeer() {
        stop_.store(true);
        thread_.join();
    }
    std::uint16_t port() const { return port_; }

  private:
    UniqueFd fd_;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(CheckpointFreeze, TenCheckpointsInARowWhileTheAgentConnects) {
    SKIP_UNLESS_TRACEABLE();
    AcceptingPeer peer;
    auto policy = *Policy::builder().fs_read("/").net_allow_host("127.0.0.1").build();
    auto sandbox = std::move(*Sandbox::create(policy));
    ASSERT_TRUE(sandbox->spawn(
        Args{VESTRION_NET_HELPER, "connect-loop", "127.0.0.1", std::to_string(peer.port())}));
    for (int i = 0; i < 10; ++i) {
        auto cp = sandbox->checkpoint();
        ASSERT_TRUE(cp.has_value()) << "checkpoint " << i << ": " << cp.error().message();
        EXPECT_EQ(cp->process.regs.size(), checkpoint::kRegisterWords);
    }
    ASSERT_TRUE(sandbox->kill());
    auto result = sandbox->wait();
    ASSERT_TRUE(result);
    // Still connecting when killed: no connect failed meanwhile.
    EXPECT_EQ(result->status, ExitStatus::killed()) << result->stdout_bytes.value_or("");
}

TEST(CheckpointFreeze, ThrottledSandboxRunsOnAfterACheckpoint) {
    SKIP_UNLESS_TRACEABLE();
    test::TempDir dir;
    auto policy = *Policy::builder().fs_read("/").fs_write(dir.path()).max_cpu(30).build();
    auto sandbox = std::move(*Sandbox::create(policy));
    ASSERT_TRUE(sandbox->spawn(Args{VESTRION_TEST_HELPER, "hold-marker", "x", dir.path().native()}));
    ASSERT_TRUE(wait_for_file(dir / "ready"));
    for (int i = 0; i < 3; ++i) {
        auto cp = sandbox->checkpoint();
        ASSERT_TRUE(cp.has_value()) << cp.error().message();
    }
    test::write_file(dir / "release", "");
    auto result = sandbox->wait();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, ExitStatus::code(0));
}

// --- Hostile commands ---

// A command whose threads and processes come and go without pause: every checkpoint stops them
// all, the forks made meanwhile are answered, and the command works on afterwards.
TEST(CheckpointHostile, CommandThatForksAndMakesThreadsThroughTheFreeze) {
    SKIP_UNLESS_TRACEABLE();
    test::TempDir dir;
    auto policy = *Policy::builder().fs_read("/").fs_write(dir.path()).max_processes(1'000'000).build();
    auto sandbox = std::move(*Sandbox::create(policy));
    ASSERT_TRUE(sandbox->spawn(Args{VESTRION_TEST_HELPER, "churn", dir.path().native()}));
    ASSERT_TRUE(wait_for_file(dir / "ready"));
    for (int i = 0; i < 10; ++i) {
        auto cp = sandbox->checkpoint();
        ASSERT_TRUE(cp.has_value()) << "checkpoint " << i << ": " << cp.error().message();
        EXPECT_EQ(cp->process.regs.size(), checkpoint::kRegisterWords);
    }
    test::write_file(dir / "release", "");
    auto result = sandbox->wait();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, ExitStatus::code(0)) << result->stderr_bytes.value_or("");
    EXPECT_EQ(result->stdout_bytes.value_or(""), "churned\n");
}

// A process of the test's own that attaches to the command as a debugger would, and does no
// more; it ends with the object.
class Debugger {
  public:
    explicit Debugger(pid_t target) {
        int report[2];
        if (::pipe2(report, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            char attached = ::ptrace(PTRACE_SEIZE, target, nullptr, nullptr) == 0 ? 'y' : 'n';
            (void)!::write(report[1], &attached, 1);
            while (true) ::pause();
        }
        ::close(report[1]);
        char attached = 'n';
        if (pid_ > 0 && ::read(report[0], &attached, 1) == 1) attached_ = attached == 'y';
        ::close(report[0]);
    }
    ~Debugger() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    Debugger(const Debugger&) = delete;
    Debugger& operator=(const Debugger&) = delete;
    bool attached() const { return attached_; }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    bool attached_ = false;
};

// A debugger already attached to the command: the checkpoint is refused at once, naming the
// attach, nothing is stopped, and the command runs on to its end.
TEST(CheckpointHostile, CommandUnderADebuggerIsRefused) {
    SKIP_UNLESS_TRACEABLE();
    test::TempDir dir;
    auto sandbox = std::move(*Sandbox::create(helper_policy(dir.path())));
    ASSERT_TRUE(sandbox->spawn(Args{VESTRION_TEST_HELPER, "hold-marker", "x", dir.path().native()}));
    ASSERT_TRUE(wait_for_file(dir / "ready"));
    {
        Debugger debugger(*sandbox->pid());
        if (!debugger.attached()) {
            test::write_file(dir / "release", "");
            (void)sandbox->wait();
            GTEST_SKIP() << "the test may not attach a debugger to the command "
                            "(Yama ptrace_scope 1 or more without CAP_SYS_PTRACE)";
        }
        auto started = std::chrono::steady_clock::now();
        auto cp = sandbox->checkpoint();
        ASSERT_FALSE(cp.has_value());
        EXPECT_EQ(cp.error().message(), "sandbox error: child process error: ptrace seize: the command is "
                                        "traced by process " + std::to_string(debugger.pid()) + " already");
        // Refused before any stop: no freeze deadline was waited out.
        EXPECT_LT(std::chrono::steady_clock::now() - started, checkpoint::kFreezeWait);
        EXPECT_NE(process_state(*sandbox->pid()), 'T');
    }
    test::write_file(dir / "release", "");
    auto result = sandbox->wait();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, ExitStatus::code(0));
}

// --- Forks held while frozen ---

struct HeldForkCase {
    const char* name;
    std::uint32_t max_processes;
    const char* child_said;
    std::uint32_t counted;
};
void PrintTo(const HeldForkCase& c, std::ostream* os) { *os << c.name; }

class HeldFork : public ::testing::TestWithParam<HeldForkCase> {};

// The supervisor runs for real on a routed child; the state is frozen directly, no signal sent.
TEST_P(HeldFork, IsAnsweredByTheBudgetWhenThawed) {
    const HeldForkCase& c = GetParam();
    test::RoutedChild child({SYS_clone}, [] {
        pid_t pid = ::fork();
        if (pid == 0) ::_exit(0);
        if (pid < 0) return test::errno_name(errno);
        int status;
        ::waitpid(pid, &status, 0);
        return std::string("forked");
    });
    auto shared = std::make_shared<seccomp::notif::SharedSupervisorState>(c.max_processes, std::nullopt);
    shared->freeze();
    UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
    std::thread supervisor(seccomp::notif::supervisor, seccomp::notif::NotifPolicy{}, shared,
                           child.take_listener(), stop.get());
    std::vector<seccomp::notif::HeldNotif> held;
    for (int i = 0; i < 2000 && held.empty(); ++i) {
        {
            std::lock_guard lock(shared->mutex);
            held = shared->state.held_notifs;
        }
        if (held.empty()) std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].pid, static_cast<std::uint32_t>(child.pid()));

    shared->thaw();
    test::ChildReport report = child.finish();
    std::uint64_t one = 1;
    ASSERT_EQ(::write(stop.get(), &one, sizeof one), 8);
    supervisor.join();
    EXPECT_EQ(report.text, c.child_said);
    std::lock_guard lock(shared->mutex);
    EXPECT_TRUE(shared->state.held_notifs.empty());
    EXPECT_EQ(shared->state.fork_count, c.counted);
}

INSTANTIATE_TEST_SUITE_P(Cases, HeldFork,
                         ::testing::Values(HeldForkCase{"WithinBudget", 64, "forked", 1},
                                           HeldForkCase{"OverBudget", 0, "EAGAIN", 0}),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace vestrion
