// Dry runs over the supervisor's layer and the overlay: the changes are listed, W never changes
// and no branch stays behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>

#include "core/sandbox.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

struct Scratch {
    test::TempDir work, store;
    fs::path w() const { return work / "w"; }
    fs::path storage() const { return store / "s"; }
    Scratch() {
        fs::create_directory(w());
        test::write_file(w() / "mod", "old\n");
        test::write_file(w() / "del", "gone\n");
        test::write_file(w() / "keep", "same\n");
    }
};

std::size_t entries(const fs::path& dir) {
    if (!fs::is_directory(dir)) return 0;
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

using ChangeSet = std::set<std::pair<std::string, ChangeKind>>;
ChangeSet as_set(const std::vector<Change>& changes) {
    ChangeSet out;
    for (const auto& c : changes) out.insert({c.path.native(), c.kind});
    return out;
}

struct Backend {
    const char* name;
    FsIsolation isolation;
};
void PrintTo(const Backend& b, std::ostream* os) { *os << b.name; }

PolicyBuilder under(const Backend& b, const Scratch& s, BranchAction action) {
    return Policy::builder()
        .fs_read("/")
        .workdir(s.w())
        .cwd(s.w())
        .fs_storage(s.storage())
        .fs_isolation(b.isolation)
        .on_exit(action)
        .on_error(action);
}

// The reason this backend cannot run here, if it cannot.
std::optional<std::string> unavailable(const Backend& b) {
    Scratch s;
    auto result = Sandbox::run(*under(b, s, BranchAction::Abort).build(), Args{"/bin/true"});
    if (!result) return std::string(b.name) + " unavailable here: " + result.error().message();
    if (!result->status.success()) return std::string(b.name) + " unavailable here: " + *result->stderr_bytes;
    return std::nullopt;
}

class DryRun : public ::testing::TestWithParam<Backend> {
protected:
    void SetUp() override {
        if (auto why = unavailable(GetParam())) GTEST_SKIP() << *why;
    }
};

TEST_P(DryRun, ListsTheChangesReportsTheStatusAndLeavesWAsItWas) {
    // Each exit action of the caller's policy: the dry run overrides none of them for good.
    for (BranchAction action : {BranchAction::Commit, BranchAction::Abort, BranchAction::Keep}) {
        Scratch s;
        const std::string before = test::tree_state(s.w());
        auto policy = *under(GetParam(), s, action).build();
        auto result = Sandbox::dry_run(
            policy, Args{"/bin/sh", "-c", "echo x > new; echo y >> mod; rm del; echo out; exit 3"});
        ASSERT_TRUE(result.has_value()) << result.error().message();
        EXPECT_EQ(as_set(result->changes),
                  (ChangeSet{{"new", ChangeKind::Added}, {"mod", ChangeKind::Modified},
                             {"del", ChangeKind::Deleted}}));
        EXPECT_EQ(result->changes.size(), 3u);
        EXPECT_EQ(result->status, ExitStatus::code(3));
        EXPECT_EQ(result->stdout_bytes, "out\n");
        EXPECT_EQ(test::tree_state(s.w()), before);
        EXPECT_EQ(entries(s.storage()), 0u);
        EXPECT_EQ(policy.on_exit, action);
        EXPECT_EQ(policy.on_error, action);
    }
}

TEST_P(DryRun, ARefusedSpawnFailsTheDryRunAndChangesNothing) {
    Scratch s;
    const std::string before = test::tree_state(s.w());
    auto policy = *under(GetParam(), s, BranchAction::Commit).fs_write(s.work.path()).build();
    auto result = Sandbox::dry_run(policy, Args{"/bin/sh", "-c", "echo x > new; rm del"});
    ASSERT_FALSE(result.has_value());
    EXPECT_NE(result.error().message().find("branch conflict"), std::string::npos)
        << result.error().message();
    EXPECT_EQ(test::tree_state(s.w()), before);
    EXPECT_EQ(entries(s.storage()), 0u);
}

TEST_P(DryRun, ACommandThatFailsToStartLeavesNoBranch) {
    Scratch s;
    const std::string before = test::tree_state(s.w());
    auto result = Sandbox::dry_run(*under(GetParam(), s, BranchAction::Commit).build(),
                                   Args{"/no/such/command"});
    if (result) {
        EXPECT_EQ(result->status, ExitStatus::code(127));
    }
    EXPECT_EQ(test::tree_state(s.w()), before);
    EXPECT_EQ(entries(s.storage()), 0u);
}

INSTANTIATE_TEST_SUITE_P(Backends, DryRun,
                         ::testing::Values(Backend{"SupervisorLayer", FsIsolation::None},
                                           Backend{"Overlay", FsIsolation::OverlayFs}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DryRunWithoutWorkdir, HasNoChangesAndItsWritesAreReal) {
    test::TempDir dir;
    auto policy = *Policy::builder().fs_read("/").fs_write(dir.path()).build();
    auto result = Sandbox::dry_run(
        policy, Args{"/bin/sh", "-c", "echo x > " + (dir / "f").native()});
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_TRUE(result->changes.empty());
    EXPECT_TRUE(result->status.success());
    EXPECT_EQ(test::read_file(dir / "f"), "x\n");
}

}  // namespace
}  // namespace vestrion
