// The notification primitives and answers against a real routed child, and the supervisor loop.
#include "core/seccomp/notif.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <thread>

#include "core/sys/syscall.hpp"
#include "tests/child_harness.hpp"
#include "tests/routed_child.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

using seccomp::notif::NotifAction;
using test::RoutedChild;

constexpr long PAGE = 4096;

// The body's routed call, made with `arg` as its first argument; its result as text.
std::string routed_call(long arg = 0) {
    long r = ::syscall(SYS_getppid, arg);
    return r < 0 ? test::errno_name(errno) : std::to_string(r);
}

// --- Answers ---

struct AnswerCase {
    const char* name;
    std::function<NotifAction()> answer;
    std::string seen;  // "ppid" stands for the real parent's pid
};
void PrintTo(const AnswerCase& c, std::ostream* os) {
    *os << c.name;
}

class Answers : public ::testing::TestWithParam<AnswerCase> {};

TEST_P(Answers, ReachTheChildAsItsCallsResult) {
    const pid_t parent = ::getpid();
    RoutedChild child({SYS_getppid}, [] { return routed_call(); });
    auto notif = child.next();
    EXPECT_EQ(notif.pid, static_cast<std::uint32_t>(child.pid()));
    ASSERT_TRUE(seccomp::notif::send_response(child.listener(), notif.id, GetParam().answer()));
    std::string expected = GetParam().seen == "ppid" ? std::to_string(parent) : GetParam().seen;
    EXPECT_EQ(child.finish().text, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, Answers,
    ::testing::Values(
        AnswerCase{"Continue", [] { return NotifAction(NotifAction::Continue{}); }, "ppid"},
        AnswerCase{"Errno", [] { return NotifAction(NotifAction::Errno{EPERM}); }, "EPERM"},
        AnswerCase{"ReturnValue", [] { return NotifAction(NotifAction::ReturnValue{42}); }, "42"},
        // No such group: the signal fails and only the error reaches the call.
        AnswerCase{"KillOfMissingGroup",
                   [] {
                       return NotifAction(NotifAction::Kill{SIGKILL, 0x3ffffff0, -1});
                   },
                   "ENOMEM"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Answers, HoldSendsNothingUntilTheIdIsAnswered) {
    RoutedChild child({SYS_getppid}, [] { return routed_call(); });
    auto notif = child.next();
    ASSERT_TRUE(seccomp::notif::send_response(child.listener(), notif.id, NotifAction::Hold{}));
    // Still pending: a second answer for the same id is accepted.
    ASSERT_TRUE(
        seccomp::notif::send_response(child.listener(), notif.id, NotifAction::ReturnValue{7}));
    EXPECT_EQ(child.finish().text, "7");
}

// The child reports the close-on-exec flag of the descriptor its call returned.
std::string injected_fd_flag() {
    long fd = ::syscall(SYS_getppid);
    if (fd < 0) return test::errno_name(errno);
    return (::fcntl(static_cast<int>(fd), F_GETFD) & FD_CLOEXEC) ? "cloexec" : "inherited";
}

TEST(Answers, InjectedDescriptorIsCloseOnExecOnlyWhenAskedFor) {
    for (bool cloexec : {false, true}) {
        RoutedChild child({SYS_getppid}, injected_fd_flag);
        auto notif = child.next();
        NotifAction::InjectFdSend inject{UniqueFd(::eventfd(0, EFD_CLOEXEC)), cloexec};
        int ours = inject.fd.get();
        ASSERT_TRUE(seccomp::notif::send_response(child.listener(), notif.id, std::move(inject)));
        EXPECT_EQ(::fcntl(ours, F_GETFD), -1) << "the supervisor's copy is closed";
        EXPECT_EQ(child.finish().text, cloexec ? "cloexec" : "inherited");
    }
}

TEST(Answers, FailedInjectionFailsTheCallInsteadOfRunningIt) {
    RoutedChild child({SYS_getppid}, [] {
        // Leave no descriptor number free.
        int lowest = ::dup(0);
        ::close(lowest);
        rlimit limit{static_cast<rlim_t>(lowest), static_cast<rlim_t>(lowest)};
        ::setrlimit(RLIMIT_NOFILE, &limit);
        return routed_call();
    });
    auto notif = child.next();
    auto sent = seccomp::notif::send_response(
        child.listener(), notif.id, NotifAction::InjectFdSend{UniqueFd(::eventfd(0, 0)), false});
    EXPECT_TRUE(sent);
    EXPECT_EQ(child.finish().text, "EMFILE");
}

TEST(Answers, InjectionForADeadCallerFailsAndClosesTheDescriptor) {
    RoutedChild child({SYS_getppid}, [] { return routed_call(); });
    auto notif = child.next();
    child.kill();
    NotifAction::InjectFdSend inject{UniqueFd(::eventfd(0, EFD_CLOEXEC)), false};
    int ours = inject.fd.get();
    auto sent = seccomp::notif::send_response(child.listener(), notif.id, std::move(inject));
    ASSERT_FALSE(sent);
    EXPECT_EQ(sent.error().code(), ENOENT);
    EXPECT_EQ(::fcntl(ours, F_GETFD), -1);
}

TEST(OpenFlags, CloseOnExecIsReadFromTheOpenFlagsArgument) {
    seccomp_notif n{};
    n.data.nr = SYS_openat;
    n.data.args[2] = O_RDONLY | O_CLOEXEC;
    EXPECT_TRUE(seccomp::notif::wants_cloexec(n));
    n.data.args[2] = O_RDONLY;
    n.data.args[1] = O_CLOEXEC;  // the path argument of openat, not its flags
    EXPECT_FALSE(seccomp::notif::wants_cloexec(n));
    n.data.nr = SYS_open;
    EXPECT_TRUE(seccomp::notif::wants_cloexec(n));
}

// --- Child memory ---

// Maps two pages, unmaps the second, fills the last `tail` bytes of the first with 'x' and
// makes the routed call with their address.
std::string call_with_tail(std::size_t tail) {
    auto* p = static_cast<char*>(
        ::mmap(nullptr, 2 * PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ::munmap(p + PAGE, PAGE);
    char* at = p + PAGE - tail;
    std::memset(at, 'x', tail);
    routed_call(reinterpret_cast<long>(at));
    return std::string(at, tail);
}

TEST(ChildMemory, ReadOfAPartlyMappedRangeGivesTheMappedPrefix) {
    RoutedChild child({SYS_getppid}, [] { return call_with_tail(40); });
    auto notif = child.next();
    auto bytes = seccomp::notif::read_child_mem(child.listener(), notif, notif.data.args[0], 100);
    ASSERT_TRUE(bytes) << bytes.error().message();
    EXPECT_EQ(std::string(bytes->begin(), bytes->end()), std::string(40, 'x'));
    ASSERT_TRUE(seccomp::notif::send_response(child.listener(), notif.id, NotifAction::Continue{}));
    child.finish();
}

TEST(ChildMemory, ShortWriteIsAMemoryError) {
    RoutedChild child({SYS_getppid}, [] { return call_with_tail(6); });
    auto notif = child.next();
    const std::uint8_t bytes[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    auto written =
        seccomp::notif::write_child_mem(child.listener(), notif, notif.data.args[0], bytes);
    ASSERT_FALSE(written);
    ASSERT_TRUE(std::holds_alternative<NotifError::MemoryRead>(written.error().kind));
    EXPECT_EQ(std::get<NotifError::MemoryRead>(written.error().kind).error.message(),
              "short write: 6 of 8 bytes");
    EXPECT_EQ(written.error().message(), "child memory read failed: short write: 6 of 8 bytes");
    ASSERT_TRUE(seccomp::notif::send_response(child.listener(), notif.id, NotifAction::Continue{}));
    EXPECT_EQ(child.finish().text, "abcdef");
}

TEST(ChildMemory, AfterTheCallerDiedReadsAndWritesFailWithTheIoctlKind) {
    RoutedChild child({SYS_getppid}, [] { return call_with_tail(40); });
    auto notif = child.next();
    child.kill();
    auto read = seccomp::notif::read_child_mem(child.listener(), notif, notif.data.args[0], 8);
    ASSERT_FALSE(read);
    EXPECT_TRUE(std::holds_alternative<NotifError::Ioctl>(read.error().kind));
    const std::uint8_t byte[1] = {0};
    auto written =
        seccomp::notif::write_child_mem(child.listener(), notif, notif.data.args[0], byte);
    ASSERT_FALSE(written);
    EXPECT_TRUE(std::holds_alternative<NotifError::Ioctl>(written.error().kind));
}

TEST(ChildMemory, DescriptorOfTheChildIsDuplicated) {
    RoutedChild child({SYS_getppid}, [] {
        int fds[2];
        if (::pipe(fds) != 0) return std::string("pipe");
        routed_call(fds[1]);
        char c = 0;
        return ::read(fds[0], &c, 1) == 1 ? std::string(1, c) : std::string("nothing");
    });
    auto notif = child.next();
    auto pidfd = sys::syscall::pidfd_open(child.pid(), 0);
    ASSERT_TRUE(pidfd);
    auto fd = seccomp::notif::dup_child_fd(pidfd->get(), static_cast<int>(notif.data.args[0]));
    ASSERT_TRUE(fd);
    ASSERT_EQ(::write(fd->get(), "z", 1), 1);
    ASSERT_TRUE(seccomp::notif::send_response(child.listener(), notif.id, NotifAction::Continue{}));
    EXPECT_EQ(child.finish().text, "z");
}

// --- The loop ---

// Runs the supervisor on a thread; the stop eventfd is never written unless the test must.
class LoopRun {
  public:
    LoopRun(UniqueFd listener, std::shared_ptr<seccomp::notif::SharedSupervisorState> state)
        : stop_(::eventfd(0, EFD_CLOEXEC)) {
        done_ = std::async(std::launch::async, [this, listener = std::move(listener),
                                                state = std::move(state)]() mutable {
            seccomp::notif::supervisor(seccomp::notif::NotifPolicy{}, std::move(state),
                                       std::move(listener), stop_.get());
        });
    }
    // True when the supervisor returned on its own; a hang is turned into a failure.
    bool returned_by_itself() {
        if (done_.wait_for(std::chrono::seconds(30)) == std::future_status::ready) return true;
        stop();
        return false;
    }
    void stop() {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_.get(), &one, sizeof one);
        done_.wait();
    }
    ~LoopRun() {
        if (done_.valid() && done_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            stop();
    }

  private:
    UniqueFd stop_;
    std::future<void> done_;
};

std::shared_ptr<seccomp::notif::SharedSupervisorState> fresh_state() {
    return std::make_shared<seccomp::notif::SharedSupervisorState>(64u, std::nullopt);
}

TEST(SupervisorLoop, EndsByItselfWhenEveryProcessUnderTheFilterHasEnded) {
    RoutedChild child({SYS_getppid}, [] {
        for (int i = 0; i < 10; ++i) routed_call();
        return std::string("done");
    });
    LoopRun loop(child.take_listener(), fresh_state());
    EXPECT_EQ(child.finish().text, "done");
    EXPECT_TRUE(loop.returned_by_itself());
}

TEST(SupervisorLoop, StopsOnItsEventfdWhileTheChildRuns) {
    RoutedChild child({SYS_getppid}, [] {
        ::pause();
        return std::string();
    });
    LoopRun loop(child.take_listener(), fresh_state());
    loop.stop();  // returns only once the supervisor has
}

TEST(SupervisorLoop, DeniedPathIsRefusedBeforeDispatchWhicheverOpenAsks) {
    test::TempDir dir;
    test::write_file(dir / "secret", "s");
    test::write_file(dir / "open", "o");
    auto state = fresh_state();
    state->state.denied_paths->paths.insert((dir / "secret").native());
    std::string secret = (dir / "secret").native(), allowed = (dir / "open").native();
    RoutedChild child({SYS_openat, SYS_open}, [secret, allowed] {
        std::string r = test::outcome(::open(secret.c_str(), O_RDONLY));
        r += " " + test::outcome(static_cast<int>(::syscall(SYS_open, secret.c_str(), O_RDONLY)));
        return r + " " + test::outcome(::open(allowed.c_str(), O_RDONLY));
    });
    LoopRun loop(child.take_listener(), state);
    EXPECT_EQ(child.finish().text, "EACCES EACCES ok");
}

Policy budget_policy(std::uint64_t memory, std::uint32_t processes) {
    return *test::readable_root().max_memory(memory).max_processes(processes).build();
}

test::ChildOptions supervised() {
    return {.real_supervisor = true, .guard_seconds = 60};
}

TEST(SupervisorLoop, ConcurrentCallsOfTwoProcessesAreAllAnswered) {
    auto run = test::run_confined(budget_policy(16u << 20, 8),
                                  {VESTRION_TEST_HELPER, "procs-mmap", "2", "1000"}, supervised());
    EXPECT_FALSE(run.guard_fired);
    EXPECT_EQ(run.out, "2 of 2\n") << run.err;
}

TEST(SupervisorLoop, EightThreadsTimesAThousandCallsComplete) {
    // Under 16 MiB the loop of 8000 one-page mappings lives only if every unmapping is credited.
    auto run = test::run_confined(budget_policy(16u << 20, 8),
                                  {VESTRION_TEST_HELPER, "mmap-loop", "8", "1000"}, supervised());
    EXPECT_FALSE(run.guard_fired);
    EXPECT_EQ(run.out, "done\n") << run.err;
    EXPECT_EQ(run.exit_code(), 0);
}

TEST(SupervisorLoop, CallersKilledInTheMiddleOfTheirCallsDoNotEndSupervision) {
    auto run = test::run_confined(budget_policy(64u << 20, 1000),
                                  {VESTRION_TEST_HELPER, "kill-storm", "150"}, supervised());
    EXPECT_FALSE(run.guard_fired);
    EXPECT_EQ(run.out, "survived 150\n") << run.err;
}

}  // namespace
}  // namespace vestrion
