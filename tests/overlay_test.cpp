// The overlay branch in a run: what a command's changes do to W at commit and abort, the spawn's
// refusals, and that the command reaches neither the real W nor the mount itself.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "core/sandbox.hpp"
#include "core/text.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// A working directory, a storage directory outside it, and their parents.
struct Scratch {
    test::TempDir work, store;
    fs::path w() const { return work / "w"; }
    fs::path storage() const { return store / "s"; }
    Scratch() { fs::create_directory(w()); }
};

PolicyBuilder overlay(const Scratch& s) {
    return Policy::builder()
        .fs_read("/")
        .workdir(s.w())
        .cwd(s.w())
        .fs_storage(s.storage())
        .fs_isolation(FsIsolation::OverlayFs);
}

std::size_t entries(const fs::path& dir) {
    if (!fs::is_directory(dir)) return 0;
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

Result<RunResult> sh(const Policy& policy, const std::string& script) {
    return Sandbox::run(policy, Args{"/bin/sh", "-c", script});
}

// Whether this machine lets us mount an overlay in a user namespace; the reason when not.
const std::optional<std::string>& overlay_unavailable() {
    static const std::optional<std::string> reason = []() -> std::optional<std::string> {
        Scratch s;
        auto result = sh(*overlay(s).build(), "true");
        if (!result) return "overlay branch unavailable here: " + result.error().message();
        if (!result->status.success()) return "overlay branch unavailable here: " + *result->stderr_bytes;
        return std::nullopt;
    }();
    return reason;
}

#define SKIP_WITHOUT_OVERLAY()                                                  \
    do {                                                                        \
        if (overlay_unavailable()) GTEST_SKIP() << *overlay_unavailable();      \
    } while (0)

TEST(Overlay, CommitAppliesExactlyTheCommandsChanges) {
    SKIP_WITHOUT_OVERLAY();
    Scratch s;
    test::write_file(s.w() / "mod", "old\n");
    test::write_file(s.w() / "del", "gone\n");
    test::write_file(s.w() / "keep", "same\n");
    fs::create_directories(s.w() / "d" / "sub");
    test::write_file(s.w() / "d" / "sub" / "deep", "deep\n");
    auto result = sh(*overlay(s).build(),
                     "echo x > new && echo y >> mod && rm del && rm -r d/sub && mkdir made && "
                     "echo z > made/inner && ln -s nowhere dangling");
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_TRUE(result->status.success()) << *result->stderr_bytes;
    EXPECT_EQ(test::read_file(s.w() / "new"), "x\n");
    EXPECT_EQ(test::read_file(s.w() / "mod"), "old\ny\n");
    EXPECT_EQ(test::read_file(s.w() / "keep"), "same\n");
    EXPECT_FALSE(fs::exists(fs::symlink_status(s.w() / "del")));
    EXPECT_TRUE(fs::is_directory(s.w() / "d"));
    EXPECT_FALSE(fs::exists(s.w() / "d" / "sub"));
    EXPECT_EQ(test::read_file(s.w() / "made" / "inner"), "z\n");
    EXPECT_TRUE(fs::is_symlink(s.w() / "dangling"));
    EXPECT_EQ(fs::read_symlink(s.w() / "dangling"), "nowhere");
    EXPECT_EQ(entries(s.storage()), 0u);
}

TEST(Overlay, AbortLeavesWAsItWas) {
    SKIP_WITHOUT_OVERLAY();
    Scratch s;
    test::write_file(s.w() / "mod", "old\n");
    test::write_file(s.w() / "del", "gone\n");
    fs::create_directories(s.w() / "d");
    test::write_file(s.w() / "d" / "f", "f\n");
    const std::string before = test::tree_state(s.w());
    for (auto [action, script] : {std::pair{BranchAction::Abort, "echo x > new; echo y >> mod; rm del; rm -rf d"},
                                  std::pair{BranchAction::Abort, "chmod 600 mod; touch -d 2001-01-01 del; exit 4"}}) {
        auto result = sh(*overlay(s).on_exit(action).on_error(action).build(), script);
        ASSERT_TRUE(result.has_value()) << result.error().message();
        EXPECT_EQ(test::tree_state(s.w()), before) << script;
        EXPECT_EQ(entries(s.storage()), 0u);
    }
}

TEST(Overlay, ARemovedAndRemadeDirectoryHoldsOnlyWhatTheCommandPutThere) {
    SKIP_WITHOUT_OVERLAY();
    Scratch s;
    fs::create_directories(s.w() / "d" / "sub");
    test::write_file(s.w() / "d" / "a", "a");
    test::write_file(s.w() / "d" / "sub" / "b", "b");
    for (auto [script, expected] : {std::pair{"rm -rf d && mkdir d", 0u},
                                    std::pair{"rm -rf d && mkdir -p d/sub && echo n > d/sub/n", 1u}}) {
        auto result = sh(*overlay(s).build(), script);
        ASSERT_TRUE(result.has_value()) << result.error().message();
        ASSERT_TRUE(result->status.success()) << *result->stderr_bytes;
        EXPECT_TRUE(fs::is_directory(s.w() / "d"));
        EXPECT_EQ(entries(s.w() / "d"), expected) << script;
        EXPECT_FALSE(fs::exists(s.w() / "d" / "a"));
        EXPECT_FALSE(fs::exists(s.w() / "d" / "sub" / "b"));
        fs::create_directories(s.w() / "d" / "sub");
        test::write_file(s.w() / "d" / "a", "a");
        test::write_file(s.w() / "d" / "sub" / "b", "b");
    }
}

TEST(Overlay, ModesReachWButNeverSetIdBits) {
    SKIP_WITHOUT_OVERLAY();
    Scratch s;
    test::write_file(s.w() / "tool", "#!/bin/sh\n");
    test::write_file(s.w() / "setid", "x");
    ::chmod((s.w() / "tool").c_str(), 0644);
    ::chmod((s.w() / "setid").c_str(), 0755);
    auto result = sh(*overlay(s).build(), "chmod +x tool && chmod u+s,g+s setid && "
                                          "echo n > fresh && chmod 4755 fresh");
    ASSERT_TRUE(result.has_value()) << result.error().message();
    ASSERT_TRUE(result->status.success()) << *result->stderr_bytes;
    struct stat st;
    ASSERT_EQ(::stat((s.w() / "tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    for (const char* name : {"setid", "fresh"}) {
        ASSERT_EQ(::stat((s.w() / name).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & (S_ISUID | S_ISGID), 0u) << name;
    }
}

TEST(Overlay, NoOverlayRecordOrCapabilityReachesW) {
    SKIP_WITHOUT_OVERLAY();
    Scratch s;
    test::write_file(s.w() / "f", "x");
    auto result = sh(*overlay(s).build(), "echo more >> f");
    ASSERT_TRUE(result.has_value()) << result.error().message();
    ASSERT_TRUE(result->status.success()) << *result->stderr_bytes;
    char names[4096];
    ssize_t n = ::listxattr((s.w() / "f").c_str(), names, sizeof names);
    ASSERT_GE(n, 0);
    for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(std::strlen(names + at)) + 1)
        EXPECT_FALSE(std::string_view(names + at).starts_with("user.overlay.")) << names + at;
}

TEST(Overlay, TheMountStaysInPlaceEvenForAPrivilegedCommand) {
    SKIP_WITHOUT_OVERLAY();
    Scratch s;
    test::write_file(s.w() / "f", "x");
    const std::string before = test::tree_state(s.w());
    auto policy = overlay(s).privileged(true).deny_syscalls({}).on_exit(BranchAction::Abort).build();
    ASSERT_TRUE(policy.has_value()) << policy.error().message();
    auto result = Sandbox::run(*policy, Args{VESTRION_TEST_HELPER, "umount", s.w().native()});
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(*result->stdout_bytes, "umount2 EPERM\n") << *result->stderr_bytes;
    EXPECT_EQ(test::tree_state(s.w()), before);
}

TEST(Overlay, ACommandStartedFromInsideWWritesOnlyIntoTheBranch) {
    SKIP_WITHOUT_OVERLAY();
    Scratch s;
    fs::create_directory(s.w() / "sub");
    for (BranchAction action : {BranchAction::Abort, BranchAction::Commit}) {
        const std::string before = test::tree_state(s.w());
        auto report = test::run_forked([&] {
            if (::chdir((s.w() / "sub").c_str()) != 0) return std::string("chdir");
            auto policy = Policy::builder()
                              .fs_read("/")
                              .workdir(s.w())
                              .fs_storage(s.storage())
                              .fs_isolation(FsIsolation::OverlayFs)
                              .on_exit(action)
                              .build();
            auto result = Sandbox::run(*policy, Args{"/bin/sh", "-c", "cd . && echo x > f"});
            if (!result) return result.error().message();
            return result->status.success() ? std::string("ok") : *result->stderr_bytes;
        });
        EXPECT_EQ(report.text, "ok");
        if (action == BranchAction::Abort)
            EXPECT_EQ(test::tree_state(s.w()), before);
        else
            EXPECT_EQ(test::read_file(s.w() / "sub" / "f"), "x\n");
        EXPECT_EQ(entries(s.storage()), 0u);
    }
}

TEST(Overlay, ACallerThatIsNotRootCommitsAndLeavesNoBranch) {
    SKIP_WITHOUT_OVERLAY();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    Scratch s;
    constexpr uid_t nobody = 65534;
    test::write_file(s.w() / "f", "x");
    fs::create_directories(s.w() / "d");
    test::write_file(s.w() / "d" / "g", "g");
    for (const fs::path& p : {s.work.path(), s.w(), s.w() / "f", s.w() / "d", s.w() / "d" / "g",
                              s.store.path()})
        ASSERT_EQ(::chown(p.c_str(), nobody, nobody), 0) << p;
    auto report = test::run_forked([&] {
        if (::setresgid(nobody, nobody, nobody) != 0 || ::setresuid(nobody, nobody, nobody) != 0)
            return std::string("setresuid");
        // As a process that never changed its ids is: the kernel hides /proc/self from others
        // (its id maps among them) after a change of ids.
        ::prctl(PR_SET_DUMPABLE, 1);
        auto result = sh(*overlay(s).build(), "echo y > f && rm -rf d && echo n > new");
        if (!result) return result.error().message();
        return result->status.success() ? std::string("ok") : *result->stderr_bytes;
    });
    if (report.text.find("unshare") != std::string::npos)
        GTEST_SKIP() << "user namespaces are closed to other users here: " << report.text;
    EXPECT_EQ(report.text, "ok");
    EXPECT_EQ(test::read_file(s.w() / "f"), "y\n");
    EXPECT_EQ(test::read_file(s.w() / "new"), "n\n");
    EXPECT_FALSE(fs::exists(s.w() / "d"));
    EXPECT_EQ(entries(s.storage()), 0u);
}

struct RefusalCase {
    const char* name;
    std::function<PolicyBuilder(const Scratch&)> policy;
    // Texts the error must hold.
    std::function<std::vector<std::string>(const Scratch&)> said;
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

std::string q(const fs::path& p) { return text::quoted(p.native()); }

class OverlayRefusal : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(OverlayRefusal, FailsTheSpawnAndLeavesNothingBehind) {
    Scratch s;
    test::write_file(s.w() / "f", "x");
    const std::string before = test::tree_state(s.w());
    auto policy = GetParam().policy(s).build();
    ASSERT_TRUE(policy.has_value()) << policy.error().message();
    auto result = sh(*policy, "echo y > f; echo n > new");
    ASSERT_FALSE(result.has_value()) << "the command ran";
    for (const auto& text : GetParam().said(s))
        EXPECT_NE(result.error().message().find(text), std::string::npos)
            << result.error().message() << "\nlacks " << text;
    EXPECT_EQ(test::tree_state(s.w()), before);
    EXPECT_EQ(entries(s.storage()), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, OverlayRefusal,
    ::testing::Values(
        RefusalCase{"FsWriteNamingTheParentOfW",
                    [](const Scratch& s) { return overlay(s).fs_write(s.work.path()); },
                    [](const Scratch& s) {
                        return std::vector<std::string>{"branch conflict: ", q(s.work.path()), q(s.w())};
                    }},
        RefusalCase{"FsWriteNamingTheStorage",
                    [](const Scratch& s) { return overlay(s).fs_write(s.store.path()); },
                    [](const Scratch& s) {
                        return std::vector<std::string>{q(s.store.path()), q(s.storage())};
                    }},
        RefusalCase{"StorageInsideW",
                    [](const Scratch& s) { return overlay(s).fs_storage(s.w() / "store"); },
                    [](const Scratch& s) {
                        return std::vector<std::string>{q(s.w() / "store"), q(s.w())};
                    }},
        RefusalCase{"WInsideTheStorage",
                    [](const Scratch& s) { return overlay(s).fs_storage(s.work.path()); },
                    [](const Scratch& s) {
                        return std::vector<std::string>{q(s.work.path()), q(s.w())};
                    }},
        RefusalCase{"StorageALink",
                    [](const Scratch& s) {
                        fs::create_directory(s.store / "elsewhere");
                        fs::create_directory_symlink(s.store / "elsewhere", s.storage());
                        return overlay(s);
                    },
                    [](const Scratch& s) {
                        return std::vector<std::string>{"create upper: storage " + s.storage().native()};
                    }},
        RefusalCase{"StorageOfAnotherUser",
                    [](const Scratch& s) {
                        fs::create_directory(s.storage());
                        if (::chown(s.storage().c_str(), ::geteuid() + 1, ::getegid()) != 0)
                            ADD_FAILURE() << "chown";
                        return overlay(s);
                    },
                    [](const Scratch&) { return std::vector<std::string>{"belongs to another user"}; }},
        RefusalCase{"StorageWithAComma",
                    [](const Scratch& s) { return overlay(s).fs_storage(s.store / "a,lowerdir=x"); },
                    [](const Scratch& s) {
                        return std::vector<std::string>{q(s.store / "a,lowerdir=x"), "mount options"};
                    }},
        RefusalCase{"WorkdirWithAColon",
                    [](const Scratch& s) {
                        fs::create_directory(s.work / "a:b");
                        return overlay(s).workdir(s.work / "a:b").cwd(s.work / "a:b");
                    },
                    [](const Scratch& s) {
                        return std::vector<std::string>{q(s.work / "a:b"), "mount options"};
                    }},
        RefusalCase{"WithAVirtualRoot",
                    [](const Scratch& s) { return overlay(s).chroot(s.work.path()); },
                    [](const Scratch&) {
                        return std::vector<std::string>{"(chroot)", "(fs_isolation)"};
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Overlay, AMissingWorkdirFailsTheSpawnWithTheChildsLineAndLeavesNoBranch) {
    SKIP_WITHOUT_OVERLAY();
    Scratch s;
    auto policy = Policy::builder()
                      .fs_read("/")
                      .workdir(s.work / "missing")
                      .fs_storage(s.storage())
                      .fs_isolation(FsIsolation::OverlayFs)
                      .build();
    auto result = sh(*policy, "true");
    ASSERT_FALSE(result.has_value());
    EXPECT_NE(result.error().message().find("mount overlay: "), std::string::npos)
        << result.error().message();
    EXPECT_EQ(entries(s.storage()), 0u);
}

}  // namespace
}  // namespace vestrion
