// The copy-on-write layer in a run: the spawn's refusals, the child's Landlock rules while the
// layer is in force, and what teardown does with the branch.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>

#include "core/sandbox.hpp"
#include "core/text.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// A working directory, a storage directory outside it, and a tree beside them that fs_write
// entries may name.
struct Scratch {
    test::TempDir work, store;
    fs::path w() const { return work / "w"; }
    fs::path storage() const { return store / "s"; }
    Scratch() { fs::create_directory(w()); }
};

PolicyBuilder base(const Scratch& s) {
    return Policy::builder().fs_read("/").workdir(s.w()).fs_storage(s.storage());
}

std::size_t entries(const fs::path& dir) {
    if (!fs::is_directory(dir)) return 0;
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

std::string q(const fs::path& p) { return text::quoted(p.native()); }

// The child binds a Unix socket at `path`; its stdout says how that went.
Result<RunResult> bind_unix(const Policy& policy, const fs::path& path) {
    return Sandbox::run(policy, Args{VESTRION_TEST_HELPER, "bind-unix", path.native()});
}

struct RefusalCase {
    const char* name;
    std::function<PolicyBuilder(const Scratch&)> policy;
    // Texts the error must hold.
    std::function<std::vector<std::string>(const Scratch&)> said;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class CowSpawnRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(CowSpawnRefusal, FailsTheSpawnAndLeavesNothingBehind) {
    Scratch s;
    test::write_file(s.w() / "f", "x");
    auto policy = GetParam().policy(s).build();
    ASSERT_TRUE(policy.has_value()) << policy.error().message();
    auto result = bind_unix(*policy, s.w() / "sock");
    ASSERT_FALSE(result.has_value());
    for (const auto& text : GetParam().said(s))
        EXPECT_NE(result.error().message().find(text), std::string::npos)
            << result.error().message() << "\nlacks " << text;
    EXPECT_EQ(entries(s.w()), 1u);
    EXPECT_EQ(entries(s.storage()), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CowSpawnRefusal,
    ::testing::Values(
        RefusalCase{"FsWriteNamingTheParentOfW",
                    [](const Scratch& s) { return base(s).fs_write(s.work.path()); },
                    [](const Scratch& s) {
                        return std::vector<std::string>{"branch conflict: ", q(s.work.path()), q(s.w())};
                    }},
        RefusalCase{"FsWriteNamingTheStorage",
                    [](const Scratch& s) { return base(s).fs_write(s.store.path()); },
                    [](const Scratch& s) {
                        return std::vector<std::string>{q(s.store.path()), q(s.storage())};
                    }},
        RefusalCase{"StorageInsideW",
                    [](const Scratch& s) { return base(s).fs_storage(s.w() / "store"); },
                    [](const Scratch& s) {
                        return std::vector<std::string>{q(s.w() / "store"), q(s.w())};
                    }},
        RefusalCase{"WInsideTheStorage",
                    [](const Scratch& s) { return base(s).fs_storage(s.work.path()); },
                    [](const Scratch& s) {
                        return std::vector<std::string>{q(s.work.path()), q(s.w())};
                    }},
        RefusalCase{"StorageALinkWithOnExitAbort",
                    [](const Scratch& s) {
                        fs::create_directory_symlink(s.store / "elsewhere", s.storage());
                        fs::create_directory(s.store / "elsewhere");
                        return base(s).on_exit(BranchAction::Abort);
                    },
                    [](const Scratch&) {
                        return std::vector<std::string>{"branch error: branch operation failed: create upper: "};
                    }},
        RefusalCase{"StorageAFileWithOnErrorKeep",
                    [](const Scratch& s) {
                        test::write_file(s.storage(), "");
                        return base(s).on_error(BranchAction::Keep);
                    },
                    [](const Scratch&) {
                        return std::vector<std::string>{"branch error: branch operation failed: create upper: "};
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CowSpawn, ASpawnFromInsideASandboxRefusesTheWorkdirWhateverTheActions) {
    Scratch s;
    for (BranchAction action : {BranchAction::Commit, BranchAction::Abort}) {
        auto report = test::run_forked([&] {
            CONFINED.store(true);
            auto result = Sandbox::run(*base(s).on_exit(action).on_error(action).build(),
                                       Args{"/bin/true"});
            return result ? std::string("ran") : result.error().message();
        });
        EXPECT_EQ(report.text,
                  "sandbox error: child process error: a copy-on-write working directory (workdir) "
                  "needs the syscall supervisor, which cannot run in a spawn from inside a vestrion "
                  "sandbox");
        EXPECT_EQ(entries(s.storage()), 0u);
    }
}

TEST(CowSpawn, WithoutTheLayerACommittingRunGoesOnAndKeepsItsWriteRules) {
    Scratch s;
    test::write_file(s.storage(), "");  // unusable
    auto policy = base(s).fs_write(s.w()).build();
    ASSERT_TRUE(policy.has_value());
    testing::internal::CaptureStderr();
    auto result = bind_unix(*policy, s.w() / "sock");
    std::string said = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_TRUE(said.starts_with("vestrion: seccomp COW branch creation failed: branch operation failed: create upper: "))
        << said;
    EXPECT_EQ(result->stdout_bytes, "ok\n");
    EXPECT_TRUE(fs::exists(s.w() / "sock"));
}

TEST(CowSpawn, WriteRulesOnWAreCutToReadWhileTheLayerIsInForce) {
    // A socket name is made by bind, which no file handler serves: only Landlock stands between
    // the child and W, and an fs_write entry on W or inside it must not open the way.
    Scratch s;
    fs::create_directory(s.w() / "sub");
    auto policy = base(s).fs_write(s.w()).fs_write(s.w() / "sub").on_exit(BranchAction::Abort).build();
    ASSERT_TRUE(policy.has_value());
    for (const char* rel : {"sock", "sub/sock"}) {
        auto result = bind_unix(*policy, s.w() / rel);
        ASSERT_TRUE(result.has_value()) << result.error().message();
        EXPECT_EQ(result->stdout_bytes, "EACCES\n") << rel;
        EXPECT_FALSE(fs::exists(s.w() / rel)) << rel;
    }
    // The layer's storage is no more writable to the child than W.
    auto direct = bind_unix(*policy, s.store / "sock");
    ASSERT_TRUE(direct.has_value());
    EXPECT_EQ(direct->stdout_bytes, "EACCES\n");
}

struct TeardownCase {
    const char* name;
    BranchAction action;
    bool wait;
    std::size_t branches_left;
};
void PrintTo(const TeardownCase& c, std::ostream* os) { *os << c.name; }

class CowTeardown : public ::testing::TestWithParam<TeardownCase> {};

TEST_P(CowTeardown, FinishesTheBranchByTheExitAction) {
    Scratch s;
    auto policy = base(s).on_exit(GetParam().action).on_error(GetParam().action).build();
    ASSERT_TRUE(policy.has_value());
    {
        auto sandbox = Sandbox::create(*policy);
        ASSERT_TRUE(sandbox.has_value());
        ASSERT_TRUE((*sandbox)->spawn(Args{"/bin/true"}));
        EXPECT_EQ(entries(s.storage()), 1u);  // the branch exists while the child runs
        if (GetParam().wait) {
            ASSERT_TRUE((*sandbox)->wait());
        }
    }
    EXPECT_EQ(entries(s.storage()), GetParam().branches_left);
    EXPECT_EQ(entries(s.w()), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CowTeardown,
    ::testing::Values(TeardownCase{"Commit", BranchAction::Commit, true, 0},
                      TeardownCase{"Abort", BranchAction::Abort, true, 0},
                      TeardownCase{"Keep", BranchAction::Keep, true, 1},
                      TeardownCase{"AbortWithoutAWait", BranchAction::Abort, false, 0},
                      TeardownCase{"KeepWithoutAWait", BranchAction::Keep, false, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CowSpawn, TheDefaultStorageIsPrivateAndOutsideEveryWriteTree) {
    // The temporary directory lies in a write tree: the branch goes to the next candidate.
    Scratch s;
    fs::path temp = s.store / "tmp";
    fs::create_directory(temp);
    const char* old = std::getenv("TMPDIR");
    std::string saved = old ? old : "";
    ::setenv("TMPDIR", temp.c_str(), 1);
    auto policy = Policy::builder().fs_read("/").fs_write(temp).workdir(s.w())
                      .on_exit(BranchAction::Keep).build();
    ASSERT_TRUE(policy.has_value());
    auto sandbox = Sandbox::create(*policy);
    auto spawned = (*sandbox)->spawn(Args{"/bin/true"});
    old ? ::setenv("TMPDIR", saved.c_str(), 1) : ::unsetenv("TMPDIR");
    ASSERT_TRUE(spawned.has_value()) << spawned.error().message();
    ASSERT_TRUE((*sandbox)->wait());
    const fs::path base = "/var/tmp/vestrion-cow-" + std::to_string(::getpid());
    struct stat st;
    ASSERT_EQ(::lstat(base.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(entries(base), 1u);
    EXPECT_EQ(entries(temp), 0u);
    sandbox->reset();
    fs::remove_all(base);
}

}  // namespace
}  // namespace vestrion
