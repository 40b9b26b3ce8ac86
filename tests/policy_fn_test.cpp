// The policy callback against real sandboxed commands: verdicts on the calls it may veto, denied
// paths, and the live budgets.
#include "core/policy_fn.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "core/sandbox.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

using Args = std::vector<std::string>;

// The callback runs on a thread of its own that may outlive the run: everything it touches is
// shared with it, never borrowed from the test's stack.
struct Seen {
    std::mutex mutex;
    std::vector<SyscallEvent> events;

    void add(const SyscallEvent& event) {
        std::lock_guard lock(mutex);
        events.push_back(event);
    }
    std::vector<SyscallEvent> snapshot() {
        std::lock_guard lock(mutex);
        return events;
    }
};

RunResult run_ok(const Policy& policy, const Args& argv) {
    auto result = Sandbox::run(policy, argv);
    EXPECT_TRUE(result.has_value()) << result.error().message();
    return result ? std::move(*result) : RunResult{};
}

bool ends_with(const std::optional<std::string>& text, std::string_view tail) {
    return text && text->ends_with(tail);
}

// --- Verdicts ---

struct VerdictCase {
    const char* name;
    std::string call;  // the verdict applies to events of this call whose path ends so
    std::string path_tail;
    Verdict verdict;
    Args argv;  // "FILE" stands for the fixture file
    ExitStatus status;
    std::string stderr_has;
};
void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }

class CallbackVerdicts : public ::testing::TestWithParam<VerdictCase> {};

TEST_P(CallbackVerdicts, DecideTheCallsTheyMayVeto) {
    const VerdictCase& c = GetParam();
    test::TempDir dir;
    test::write_file(dir / "file", "content\n");
    Args argv = c.argv;
    for (auto& arg : argv)
        if (arg == "FILE") arg = (dir / "file").string();
    auto seen = std::make_shared<Seen>();
    auto policy = Policy::builder()
                      .fs_read("/")
                      .policy_fn([c, seen](SyscallEvent event, PolicyContext&) {
                          seen->add(event);
                          if (event.syscall == c.call && ends_with(event.path, c.path_tail))
                              return c.verdict;
                          return Verdict::allow();
                      })
                      .build();
    ASSERT_TRUE(policy);
    auto result = run_ok(*policy, argv);
    EXPECT_EQ(result.status, c.status) << *result.stderr_bytes;
    EXPECT_NE(result.stderr_bytes->find(c.stderr_has), std::string::npos) << *result.stderr_bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Table, CallbackVerdicts,
    ::testing::Values(
        VerdictCase{"DenyWithEaccesRefusesAnExec", "execve", "/true", Verdict::deny_with(13),
                    {"sh", "-c", "exec true"}, ExitStatus::code(126), "Permission denied"},
        VerdictCase{"DenyRefusesAnOpen", "openat", "/file", Verdict::deny(),
                    {"cat", "FILE"}, ExitStatus::code(1), "Operation not permitted"},
        // An error number of 0 would reach the child as a successful open.
        VerdictCase{"DenyWithoutAnErrorNumberStillRefuses", "openat", "/file",
                    Verdict::deny_with(0), {"cat", "FILE"}, ExitStatus::code(1),
                    "Operation not permitted"},
        VerdictCase{"DeferLetsTheCallRun", "openat", "/file", Verdict::defer(),
                    {"cat", "FILE"}, ExitStatus::code(0), ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CallbackVerdicts, HeldCallIsAnsweredWhileTheCallbackNeverReturns) {
    struct Gate {
        std::promise<void> release;
        std::shared_future<void> opened = release.get_future().share();
        std::atomic<bool> blocked{false};
        std::atomic<bool> returned{false};
    };
    test::TempDir dir;
    test::write_file(dir / "file", "content\n");
    auto gate = std::make_shared<Gate>();
    auto policy = Policy::builder()
                      .fs_read("/")
                      .policy_fn([gate](SyscallEvent event, PolicyContext&) {
                          // The command's last held call: nothing queues behind it.
                          if (event.syscall == "openat" && ends_with(event.path, "/file")) {
                              gate->blocked = true;
                              gate->opened.wait();
                              gate->returned = true;
                              return Verdict::deny();
                          }
                          return Verdict::allow();
                      })
                      .build();
    ASSERT_TRUE(policy);
    auto result = run_ok(*policy, {"cat", (dir / "file").string()});
    // The supervisor stopped waiting: its own answer (open the file) stood.
    EXPECT_EQ(*result.stdout_bytes, "content\n") << *result.stderr_bytes;
    EXPECT_TRUE(gate->blocked);
    EXPECT_FALSE(gate->returned);
    gate->release.set_value();
}

// A callback slow on every event: the calls it may veto must not queue behind the flood of
// events nobody waits on, or their verdicts come too late and the refused open goes through.
TEST(CallbackVerdicts, HeldCallsGoAheadOfAFloodOfOtherEvents) {
    test::TempDir dir;
    test::write_file(dir / "file", "content\n");
    const std::string file = (dir / "file").string();
    auto policy = Policy::builder()
                      .fs_read("/")
                      .max_memory(std::uint64_t{1} << 30)
                      .policy_fn([file](SyscallEvent event, PolicyContext&) {
                          if (event.category == SyscallCategory::Memory)
                              std::this_thread::sleep_for(std::chrono::milliseconds(1));
                          if (event.syscall == "openat" && event.path == file)
                              return Verdict::deny();
                          return Verdict::allow();
                      })
                      .build();
    ASSERT_TRUE(policy);
    auto result = run_ok(*policy, {"sh", "-c",
                                   std::string(VESTRION_TEST_HELPER) + " mmap-loop 1 5000 && cat " +
                                       file});
    EXPECT_EQ(result.status, ExitStatus::code(1)) << *result.stdout_bytes;
    EXPECT_NE(result.stderr_bytes->find("Operation not permitted"), std::string::npos)
        << *result.stderr_bytes;
}

TEST(CallbackEvents, DescribeTheExecAndTheOpen) {
    test::TempDir dir;
    test::write_file(dir / "file", "x");
    const std::string file = (dir / "file").string();
    auto seen = std::make_shared<Seen>();
    auto policy = Policy::builder()
                      .fs_read("/")
                      .policy_fn([seen](SyscallEvent event, PolicyContext&) {
                          seen->add(event);
                          return Verdict::allow();
                      })
                      .build();
    ASSERT_TRUE(policy);
    auto result = run_ok(*policy, {"sh", "-c", "cat " + file});
    ASSERT_EQ(result.status, ExitStatus::code(0));
    // Both calls are held: their events were delivered before the run ended.
    bool exec_seen = false, open_seen = false;
    for (const SyscallEvent& e : seen->snapshot()) {
        if (e.syscall == "execve" && e.argv == Args{"sh", "-c", "cat " + file}) {
            exec_seen = true;
            EXPECT_EQ(e.category, SyscallCategory::Process);
            EXPECT_TRUE(e.ppid.has_value());
        }
        if (e.syscall == "openat" && e.path == file) {
            open_seen = true;
            EXPECT_EQ(e.category, SyscallCategory::File);
            EXPECT_FALSE(e.denied);
        }
    }
    EXPECT_TRUE(exec_seen);
    EXPECT_TRUE(open_seen);
}

// --- Denied paths ---

// Denies `dir/etc` and a directory whose name is not UTF-8 at the first event; an open of
// `dir/restore` allows `dir/etc` again.
struct PathFixture {
    test::TempDir dir;
    std::string etc = (dir / "etc").string();
    std::string odd = (dir / "\xff\xfe").string();
    std::shared_ptr<Seen> seen = std::make_shared<Seen>();

    PathFixture() {
        for (const char* sub : {"etc", "etcx", "other", "\xff\xfe"})
            std::filesystem::create_directory(dir / sub);
        test::write_file(dir / "etc" / "passwd", "x");
        test::write_file(dir / "etcx" / "passwd", "x");
        test::write_file(dir / "\xff\xfe" / "f", "x");
    }

    Policy policy() const {
        auto once = std::make_shared<std::atomic<bool>>(false);
        auto restore = (dir / "restore").string();
        return *Policy::builder()
                    .fs_read("/")
                    .fs_write(dir.path())
                    .cwd(dir / "other")
                    .policy_fn([=, etc = etc, odd = odd, seen = seen](SyscallEvent event,
                                                                      PolicyContext& ctx) {
                        if (!once->exchange(true)) {
                            ctx.deny_path(etc);
                            ctx.deny_path(odd);
                        }
                        if (event.path == restore) ctx.allow_path(etc);
                        seen->add(event);
                        return Verdict::allow();
                    })
                    .build();
    }
};

struct PathCase {
    const char* name;
    const char* how;
    std::vector<std::string> paths;  // "D" stands for the fixture directory
    std::string outcomes;
};
void PrintTo(const PathCase& c, std::ostream* os) { *os << c.name; }

class DeniedPaths : public ::testing::TestWithParam<PathCase> {};

TEST_P(DeniedPaths, RefuseEverySpellingAndEveryOpenCall) {
    PathFixture f;
    Args argv{VESTRION_TEST_HELPER, "open-paths", GetParam().how};
    for (std::string path : GetParam().paths) {
        if (auto at = path.find('D'); at != std::string::npos)
            path.replace(at, 1, f.dir.path().string());
        argv.push_back(path);
    }
    auto result = run_ok(f.policy(), argv);
    EXPECT_EQ(result.status, ExitStatus::code(0)) << *result.stderr_bytes;
    EXPECT_EQ(*result.stdout_bytes, GetParam().outcomes + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeniedPaths,
    ::testing::Values(
        PathCase{"Openat",
                 "openat",
                 {"D/etc/passwd", "D/etc", "D//etc/./passwd", "D/other/../etc/passwd",
                  "../etc/passwd", std::string(300, '/') + "D/etc/passwd", "D/etcx/passwd",
                  "D/\xff\xfe/f"},
                 "EACCES EACCES EACCES EACCES EACCES EACCES ok EACCES"},
        PathCase{"Open", "open", {"D/etc/passwd", "../etc//passwd", "D/etcx/passwd"},
                 "EACCES EACCES ok"},
        PathCase{"Openat2", "openat2", {"D/etc/passwd", "../etc/passwd", "D/etcx/passwd"},
                 "EACCES EACCES ok"},
        PathCase{"Creat", "creat", {"D/etc/new", "D/etcx/new"}, "EACCES ok"},
        PathCase{"AllowPathRestores",
                 "openat",
                 {"D/etc/passwd", "D/restore", "D/etc/passwd"},
                 "EACCES ENOENT ok"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(DeniedPathEvents, ReportTheRefusal) {
    PathFixture f;
    auto result = run_ok(f.policy(), {"cat", f.etc + "/passwd"});
    EXPECT_EQ(result.status, ExitStatus::code(1));
    bool reported = false;
    for (const SyscallEvent& e : f.seen->snapshot())
        if (e.syscall == "openat" && e.path == f.etc + "/passwd") reported = e.denied;
    EXPECT_TRUE(reported);
}

// --- Live budgets ---

TEST(LiveBudgets, ProcessLimitSetAtTheFirstEventStopsTheSecondFork) {
    auto policy = Policy::builder()
                      .fs_read("/")
                      .policy_fn([](SyscallEvent, PolicyContext& ctx) {
                          ctx.restrict_max_processes(1);
                          return Verdict::allow();
                      })
                      .build();
    ASSERT_TRUE(policy);
    auto result = run_ok(*policy, {VESTRION_TEST_HELPER, "fork-n", "2"});
    EXPECT_EQ(*result.stdout_bytes, "ok EAGAIN\n");
}

}  // namespace
}  // namespace vestrion
