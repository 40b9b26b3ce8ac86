// The outside branching filesystem's backend, against a stand-in mounted with FUSE: a branch is
// made at spawn and finished exactly once, a dry run aborts it, the command cannot drive it, and
// every wrong answer of CREATE fails the spawn with its own error.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <sstream>
#include <thread>

#include "core/sandbox.hpp"
#include "tests/support.hpp"

extern char** environ;

namespace vestrion {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using Lines = std::vector<std::string>;

#ifdef VESTRION_TESSARIN_STANDIN
constexpr const char* kStandIn = VESTRION_TESSARIN_STANDIN;
#else
constexpr const char* kStandIn = nullptr;
#endif

// The stand-in, mounted at w() over a backing directory of its own while the object lives.
class StandIn {
public:
    explicit StandIn(const std::string& answer = "ok") {
        fs::create_directory(backing());
        fs::create_directory(w());
        if (!kStandIn) {
            why_not_ = "the tessarin stand-in is not built: pkg-config found no fuse3";
            return;
        }
        if (::access("/dev/fuse", R_OK | W_OK) != 0) {
            why_not_ = "no usable /dev/fuse here";
            return;
        }
        start(answer);
    }
    ~StandIn() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (mounted()) ::umount2(w().c_str(), MNT_DETACH);
    }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    // Why it is not mounted, if it is not.
    const std::optional<std::string>& why_not() const { return why_not_; }
    fs::path w() const { return dir_ / "w"; }
    fs::path backing() const { return dir_ / "backing"; }
    Lines log() const {
        Lines lines;
        std::istringstream in(test::read_file(dir_ / "log"));
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

private:
    bool mounted() const {
        struct stat st;
        return ::stat((w() / ".tessarin_ctl").c_str(), &st) == 0;
    }

    void start(const std::string& answer) {
        test::write_file(dir_ / "log", "");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, (dir_ / "stderr").c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const std::string b = backing(), m = w(), l = dir_ / "log";
        std::vector<char*> argv{const_cast<char*>(kStandIn), const_cast<char*>(b.c_str()),
                                const_cast<char*>(m.c_str()), const_cast<char*>(l.c_str()),
                                const_cast<char*>(answer.c_str()), nullptr};
        int error = posix_spawn(&pid_, kStandIn, &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (error != 0) {
            pid_ = -1;
            why_not_ = "cannot start the tessarin stand-in";
            return;
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!mounted()) {
            int status;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                why_not_ = "the tessarin stand-in cannot mount here: " + test::read_file(dir_ / "stderr");
                return;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                why_not_ = "the tessarin stand-in did not mount in time";
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    test::TempDir dir_;
    pid_t pid_ = -1;
    std::optional<std::string> why_not_;
};

#define MOUNT_STAND_IN(name, ...)                      \
    StandIn name{__VA_ARGS__};                         \
    if (name.why_not()) GTEST_SKIP() << *name.why_not()

PolicyBuilder on_branch(const StandIn& s) {
    return Policy::builder()
        .fs_read("/")
        .workdir(s.w())
        .cwd(s.w())
        .fs_isolation(FsIsolation::Tessarin)
        .on_exit(BranchAction::Commit)
        .on_error(BranchAction::Abort);
}

struct Teardown {
    const char* name;
    const char* script;
    BranchAction on_exit;
    Lines log;
};
void PrintTo(const Teardown& c, std::ostream* os) { *os << c.name; }

class TessarinTeardown : public ::testing::TestWithParam<Teardown> {};

TEST_P(TessarinTeardown, CreatesAtSpawnAndFinishesAtMostOnce) {
    MOUNT_STAND_IN(s);
    auto policy = *on_branch(s).on_exit(GetParam().on_exit).build();
    // No fs_write entry for W: the command may change it, as under the other branches.
    auto result = Sandbox::run(policy, Args{"/bin/sh", "-c", GetParam().script});
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(s.log(), GetParam().log);
    EXPECT_EQ(test::read_file(s.backing() / "f"), "x\n");
}

INSTANTIATE_TEST_SUITE_P(
    Actions, TessarinTeardown,
    ::testing::Values(
        Teardown{"CommitOnExit", "echo x > f", BranchAction::Commit, {"CREATE branch-1", "COMMIT branch-1"}},
        Teardown{"AbortOnError", "echo x > f; exit 1", BranchAction::Commit, {"CREATE branch-1", "ABORT branch-1"}},
        Teardown{"KeepOnExit", "echo x > f", BranchAction::Keep, {"CREATE branch-1"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Tessarin, ADryRunAbortsTheBranchAndListsNothing) {
    MOUNT_STAND_IN(s);
    auto policy = *on_branch(s).build();
    auto result = Sandbox::dry_run(policy, Args{"/bin/sh", "-c", "echo x > new; exit 3"});
    ASSERT_TRUE(result.has_value()) << result.error().message();
    // The stand-in passes writes through, so W says nothing: the change list is the point.
    EXPECT_TRUE(result->changes.empty());
    EXPECT_EQ(result->status, ExitStatus::code(3));
    EXPECT_EQ(s.log(), (Lines{"CREATE branch-1", "ABORT branch-1"}));
}

TEST(Tessarin, TheCommandCannotDriveItsOwnBranch) {
    MOUNT_STAND_IN(s);
    const std::string own = (s.w() / "@branch-1" / ".tessarin_ctl").native();
    const std::string root = (s.w() / ".tessarin_ctl").native();
    const std::string h = VESTRION_TEST_HELPER;
    auto result = Sandbox::run(
        *on_branch(s).build(),
        Args{"/bin/sh", "-c",
             h + " ioctl " + own + " 0x6201; " + h + " ioctl " + own + " 0x6202; " + h +
                 " ioctl " + root + " 0x80806200; " + h + " ioctl " + own + " 0x100006201"});
    ASSERT_TRUE(result.has_value()) << result.error().message();
    // The last one differs above the low 32 bits, which the kernel ignores for ioctl numbers.
    EXPECT_EQ(result->stdout_bytes, "ioctl EPERM\nioctl EPERM\nioctl EPERM\nioctl EPERM\n")
        << *result->stderr_bytes;
    EXPECT_EQ(s.log(), (Lines{"CREATE branch-1", "COMMIT branch-1"}));
}

TEST(Tessarin, ASpawnThatFailsAfterCreatingTheBranchAbortsIt) {
    MOUNT_STAND_IN(s);
    auto result = Sandbox::run(*on_branch(s).on_exit(BranchAction::Keep).on_error(BranchAction::Keep).build(),
                               Args{"/bin/true", std::string("a\0b", 3)});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(s.log(), (Lines{"CREATE branch-1", "ABORT branch-1"}));
}

struct Answer {
    const char* name;
    const char* answer;
    const char* error;  // nullptr: the spawn succeeds
};
void PrintTo(const Answer& c, std::ostream* os) { *os << c.name; }

class TessarinAnswer : public ::testing::TestWithParam<Answer> {};

TEST_P(TessarinAnswer, AWrongAnswerFailsTheSpawnWithItsError) {
    MOUNT_STAND_IN(s, GetParam().answer);
    auto result = Sandbox::run(*on_branch(s).build(), Args{"/bin/true"});
    if (!GetParam().error) {
        ASSERT_TRUE(result.has_value()) << result.error().message();
        EXPECT_TRUE(result->status.success()) << *result->stderr_bytes;
        // The empty id names the branch "@".
        EXPECT_EQ(s.log(), (Lines{"CREATE ", "COMMIT "}));
        return;
    }
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(),
              std::string("sandbox error: branch error: branch operation failed: ") + GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, TessarinAnswer,
    ::testing::Values(Answer{"NoNul", "no-nul", "invalid UUID from ioctl"},
                      Answer{"NotUtf8", "non-utf8", "non-UTF8 UUID"},
                      Answer{"Slash", "slash", "invalid UUID from ioctl"},
                      Answer{"ErrorNumber", "errno=5", "ioctl CREATE: Input/output error (os error 5)"},
                      Answer{"EmptyId", "empty", nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Tessarin, AWorkdirWithoutTheFilesystemFailsTheSpawn) {
    test::TempDir w;
    auto policy = *Policy::builder().fs_read("/").workdir(w.path()).fs_isolation(FsIsolation::Tessarin).build();
    auto result = Sandbox::run(policy, Args{"/bin/true"});
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(),
              "sandbox error: branch error: branch operation failed: open " +
                  (w.path() / ".tessarin_ctl").native() + ": No such file or directory (os error 2)");
}

}  // namespace
}  // namespace vestrion
