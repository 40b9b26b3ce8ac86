// The copy-on-write layer in a run: the spawn's refusals, the child's Landlock rules while the
// layer is in force, and what teardown does with the branch.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

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
        // Landlock takes a relative entry from the command's working directory, and so does the
        // check: "." there is W's parent.
        RefusalCase{"RelativeFsWriteNamingTheParentOfWFromTheCommandsDirectory",
                    [](const Scratch& s) { return base(s).cwd(s.work.path()).fs_write("."); },
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
                    }},
        // Without the layer the command would write W itself: no exit action lets it run so.
        RefusalCase{"StorageAFileWithBothActionsCommit",
                    [](const Scratch& s) {
                        test::write_file(s.storage(), "");
                        return base(s).fs_write(s.w());
                    },
                    [](const Scratch&) {
                        return std::vector<std::string>{"branch error: branch operation failed: create upper: "};
                    }},
        RefusalCase{"WorkdirMissing",
                    [](const Scratch& s) { return base(s).workdir(s.work / "mispelt"); },
                    [](const Scratch& s) {
                        return std::vector<std::string>{"branch error: branch operation failed: workdir ",
                                                        q(s.work / "mispelt"), "No such file or directory"};
                    }},
        RefusalCase{"WorkdirAFile",
                    [](const Scratch& s) { return base(s).workdir(s.w() / "f"); },
                    [](const Scratch& s) {
                        return std::vector<std::string>{q(s.w() / "f"), "is not a directory"};
                    }},
        RefusalCase{"WorkdirALinkToAnotherDirectory",
                    [](const Scratch& s) {
                        fs::create_directory(s.store / "elsewhere");
                        fs::create_directory_symlink(s.store / "elsewhere", s.work / "link");
                        return base(s).workdir(s.work / "link");
                    },
                    [](const Scratch& s) {
                        return std::vector<std::string>{q(s.work / "link"), "is a symbolic link",
                                                        q(s.store / "elsewhere")};
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

TEST(CowSpawn, EverySpawnOfOnePolicyReachesItsOwnUpperTree) {
    // The rules under the layer are made once per policy; each spawn adds its own branch's upper
    // tree, from which the kernel runs a program made in the run. Two at once, then one more.
    Scratch s;
    auto policy = base(s).cwd(s.w()).on_exit(BranchAction::Abort).build();
    ASSERT_TRUE(policy.has_value());
    const Args make_and_run{"/bin/sh", "-c",
                            "printf '#!/bin/sh\\necho ran\\n' > app && chmod +x app && ./app"};
    for (int round = 0; round < 2; ++round) {
        std::vector<std::unique_ptr<Sandbox>> sandboxes;
        for (int i = 0; i < 2 - round; ++i) {
            auto sandbox = Sandbox::create(*policy);
            ASSERT_TRUE(sandbox.has_value());
            auto spawned = (*sandbox)->spawn(make_and_run);
            ASSERT_TRUE(spawned.has_value()) << spawned.error().message();
            sandboxes.push_back(std::move(*sandbox));
        }
        for (auto& sandbox : sandboxes) {
            auto result = sandbox->wait();
            ASSERT_TRUE(result.has_value()) << result.error().message();
            EXPECT_EQ(result->stdout_bytes, "ran\n") << result->stderr_bytes.value_or("");
        }
    }
    EXPECT_EQ(entries(s.w()), 0u);
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

std::size_t open_descriptors() { return entries("/proc/self/fd"); }

TEST(CowSpawn, WaitingFifoOpensAreBoundedAndTheCallerKeepsItsDescriptors) {
    Scratch s;
    ASSERT_EQ(::mkfifo((s.w() / "p").c_str(), 0644), 0);
    auto policy = base(s).cwd(s.w()).on_exit(BranchAction::Abort).build();
    ASSERT_TRUE(policy.has_value());
    const std::size_t before = open_descriptors();
    auto sandbox = Sandbox::create(*policy);
    ASSERT_TRUE((*sandbox)->spawn(Args{VESTRION_TEST_HELPER, "fifo-opens", "400", "p"}));
    const fs::path branch = *fs::directory_iterator(s.storage());
    while (!fs::exists(branch / "upper" / "ready")) ::usleep(10000);
    // 64 waiting opens hold a thread and three descriptors each; the rest held nothing.
    EXPECT_LE(open_descriptors(), before + 64 * 3 + 32);
    int own = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    EXPECT_GE(own, 0) << strerror(errno);
    if (own >= 0) ::close(own);
    test::write_file(s.w() / "done", "");
    auto result = (*sandbox)->wait();
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(result->stdout_bytes, "ENFILE 336 other 0\n");
    sandbox->reset();
    EXPECT_LE(open_descriptors(), before);
}

// The command writes d/new, then waits until W holds "go"; meanwhile the test puts a file where
// W had the directory d, so the commit cannot place d/new.
TEST(CowSpawn, ACommitThatCannotFinishFailsTheRunAndKeepsTheBranch) {
    Scratch s;
    fs::create_directory(s.w() / "d");
    auto policy = base(s).build();
    ASSERT_TRUE(policy.has_value());
    auto sandbox = Sandbox::create(*policy);
    ASSERT_TRUE((*sandbox)->spawn(Args{
        "/bin/sh", "-c",
        "cd " + s.w().native() + " && echo made > d/new && while [ ! -e go ]; do sleep 0.02; done"}));
    const fs::path branch = *fs::directory_iterator(s.storage());
    while (!fs::exists(branch / "upper" / "d" / "new")) ::usleep(10000);
    fs::remove(s.w() / "d");
    test::write_file(s.w() / "d", "from outside");
    test::write_file(s.w() / "go", "");

    ASSERT_TRUE((*sandbox)->wait());
    auto result = (*sandbox)->finish();
    ASSERT_FALSE(result.has_value());
    const std::string said = result.error().message();
    for (const std::string& text :
         {std::string("sandbox error: branch error: "), q(s.w()), q("d"), q(branch)})
        EXPECT_NE(said.find(text), std::string::npos) << said << "\nlacks " << text;
    EXPECT_EQ(test::read_file(branch / "upper" / "d" / "new"), "made\n");
    EXPECT_EQ(test::read_file(s.w() / "d"), "from outside");
    // Asked again it tells the same, and the teardown leaves the branch where the error said.
    auto again = (*sandbox)->finish();
    ASSERT_FALSE(again.has_value());
    EXPECT_EQ(again.error().message(), said);
    sandbox->reset();
    EXPECT_TRUE(fs::exists(branch / "upper" / "d" / "new"));
}

}  // namespace
}  // namespace vestrion
