// The example tool vestrion-run, used as a script would use it: exit status, output bytes,
// the files it grants, and what a stop signal leaves behind.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "tests/support.hpp"

extern char** environ;

namespace vestrion {
namespace {

using Args = std::vector<std::string>;

struct ToolOutcome {
    int exit_code = -1;  // -1: it did not exit
    std::string out, err;
};

// One run of the tool with its standard output and error on pipes and TMPDIR set to `tmpdir`.
class Tool {
public:
    Tool(const Args& args, const std::string& tmpdir) {
        int out[2], err[2];
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);

        std::vector<std::string> env_storage{"TMPDIR=" + tmpdir};
        for (char** e = environ; *e; ++e)
            if (std::string_view(*e).substr(0, 7) != "TMPDIR=") env_storage.emplace_back(*e);
        std::vector<char*> envp;
        for (auto& entry : env_storage) envp.push_back(entry.data());
        envp.push_back(nullptr);
        std::vector<std::string> argv_storage{VESTRION_RUN_TOOL};
        argv_storage.insert(argv_storage.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& arg : argv_storage) argv.push_back(arg.data());
        argv.push_back(nullptr);

        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        ::close(err[1]);
        out_ = out[0];
        err_ = err[0];
    }
    Tool(const Tool&) = delete;
    Tool& operator=(const Tool&) = delete;
    ~Tool() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            finish();
        }
    }

    pid_t pid() const { return pid_; }

    ToolOutcome finish() {
        ToolOutcome outcome;
        test::drain(out_, err_, outcome.out, outcome.err, 0);
        ::close(out_);
        ::close(err_);
        out_ = err_ = -1;
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, 0) == pid_ && WIFEXITED(status))
            outcome.exit_code = WEXITSTATUS(status);
        pid_ = -1;
        return outcome;
    }

private:
    pid_t pid_ = -1;
    int out_ = -1, err_ = -1;
};

ToolOutcome run_tool(const Args& args) {
    test::TempDir tmp;
    Tool tool(args, tmp.path());
    return tool.finish();
}

struct ToolCase {
    const char* name;
    Args args;
    int exit_code;
    std::string out;
    std::string err_holds;  // "" : standard error must stay empty
};

void PrintTo(const ToolCase& c, std::ostream* os) { *os << c.name; }

class ToolRuns : public ::testing::TestWithParam<ToolCase> {};

TEST_P(ToolRuns, PassStatusAndOutputThrough) {
    const ToolCase& c = GetParam();
    ToolOutcome outcome = run_tool(c.args);
    EXPECT_EQ(outcome.exit_code, c.exit_code);
    EXPECT_EQ(outcome.out, c.out);
    if (c.err_holds.empty())
        EXPECT_EQ(outcome.err, "");
    else
        EXPECT_NE(outcome.err.find(c.err_holds), std::string::npos) << outcome.err;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ToolRuns,
    ::testing::Values(
        ToolCase{"OwnExitStatus", {"sh", "-c", "exit 3"}, 3, "", ""},
        ToolCase{"KilledIs137", {"sh", "-c", "kill -9 $$"}, 137, "", "did not exit by itself"},
        ToolCase{"BytesUnchanged", {"printf", "a\\000b"}, 0, std::string("a\0b", 3), ""},
        ToolCase{"StreamsKeptApartWithoutNewlines",
                 {"sh", "-c", "printf out; printf err >&2"},
                 0,
                 "out",
                 "err"},
        ToolCase{"Devices",
                 {"sh", "-c",
                  "echo x > /dev/null && head -c 2 /dev/zero && head -c 1 /dev/urandom >/dev/null "
                  "&& head -c 1 /dev/random >/dev/null"},
                 0,
                 std::string(2, '\0'),
                 ""},
        ToolCase{"ScratchIsWorkingDirectoryAndTmpdir",
                 {"sh", "-c", "test \"$TMPDIR\" = \"$PWD\" && mktemp >/dev/null && echo ok"},
                 0,
                 "ok\n",
                 ""},
        ToolCase{"ScratchIsHomeToo",
                 {"sh", "-c", "test \"$HOME\" = \"$PWD\" && echo ok"},
                 0,
                 "ok\n",
                 ""},
        ToolCase{"NoCommandGivesTheUsage", {}, 2, "", "usage: vestrion-run [--help]"},
        ToolCase{"UnknownOptionIsRefused", {"--frobnicate", "true"}, 2, "", "unknown option"},
        ToolCase{"DoubleDashEndsTheOptions", {"--", "sh", "-c", "echo $0"}, 0, "sh\n", ""},
        ToolCase{"DoubleDashAloneGivesTheUsage", {"--"}, 2, "", "usage:"}),
    [](const auto& info) { return info.param.name; });

TEST(ToolRuns, HelpPrintsTheUsageAndRunsNothing) {
    ToolOutcome outcome = run_tool({"--help", "touch", "/tmp/never"});
    EXPECT_EQ(outcome.exit_code, 0);
    EXPECT_TRUE(outcome.out.starts_with("usage: vestrion-run")) << outcome.out;
    EXPECT_EQ(outcome.err, "");
}

TEST(ToolRuns, GccCompilesAndRunsInTheWritableDirectory) {
    if (::access("/usr/bin/gcc", X_OK) != 0) GTEST_SKIP() << "no gcc on this machine";
    ToolOutcome outcome = run_tool(
        {"sh", "-c",
         "printf '#include <stdio.h>\\nint main(void) { puts(\"built\"); return 5; }\\n' > t.c "
         "&& gcc t.c -o t && ./t"});
    EXPECT_EQ(outcome.exit_code, 5) << outcome.err;
    EXPECT_EQ(outcome.out, "built\n");
}

// Processes whose command line is exactly `argv`.
int count_processes(const Args& argv) {
    std::string wanted;
    for (const auto& arg : argv) wanted += arg + '\0';
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        // Read with plain calls: a process that ends in the middle makes the read fail, which
        // a file stream reports by throwing.
        std::string cmdline;
        const int fd = ::open((entry.path() / "cmdline").c_str(), O_RDONLY | O_CLOEXEC);
        char buf[4096];
        ssize_t n;
        while (fd >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0)
            cmdline.append(buf, static_cast<std::size_t>(n));
        if (fd >= 0) ::close(fd);
        if (cmdline == wanted) ++count;
    }
    return count;
}

class ToolStopSignal : public ::testing::TestWithParam<int> {};

TEST_P(ToolStopSignal, KillsTheBackgroundAndRemovesTheDirectory) {
    // A duration no other test uses, so that only our own sleeps are counted.
    std::string duration = "30.7" + std::to_string(::getpid());
    Args sleep{"sleep", duration};
    test::TempDir tmp;
    Tool tool({"sh", "-c", "sleep " + duration + " & sleep " + duration + " & wait"}, tmp.path());
    // A guard against a tool that never starts them, not a measure of speed.
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (count_processes(sleep) < 2 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(count_processes(sleep), 2);

    ASSERT_EQ(::kill(tool.pid(), GetParam()), 0);
    ToolOutcome outcome = tool.finish();
    EXPECT_EQ(outcome.exit_code, 128 + GetParam());
    // A killed process may take a moment to be gone from /proc; a left one stays for 30 s.
    give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (count_processes(sleep) > 0 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(count_processes(sleep), 0);
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "the writable directory is left";
}

INSTANTIATE_TEST_SUITE_P(Signals, ToolStopSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) { return info.param == SIGTERM ? "Term" : "Int"; });

// A dry run of DIR: the command works in DIR, its changes follow its output on standard error,
// and DIR is left as it was.
struct DryRunCase {
    const char* name;
    std::string script;
    int exit_code;
    std::string out;
    std::string err;                   // the command's own standard error, first
    std::vector<std::string> changes;  // the lines after it, in any order
};

std::vector<std::string> sorted_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}
void PrintTo(const DryRunCase& c, std::ostream* os) { *os << c.name; }

class ToolDryRun : public ::testing::TestWithParam<DryRunCase> {};

TEST_P(ToolDryRun, ListsTheChangesAndLeavesTheDirectoryAsItWas) {
    const DryRunCase& c = GetParam();
    test::TempDir dir;
    if (c.script.find("mod") != std::string::npos) {
        test::write_file(dir / "mod", "old\n");
        test::write_file(dir / "del", "gone\n");
    }
    const std::string before = test::tree_state(dir.path());
    ToolOutcome outcome = run_tool({"--dry-run", dir.path().native(), "sh", "-c", c.script});
    EXPECT_EQ(outcome.exit_code, c.exit_code) << outcome.err;
    EXPECT_EQ(outcome.out, c.out);
    ASSERT_TRUE(outcome.err.starts_with(c.err)) << outcome.err;
    EXPECT_EQ(sorted_lines(outcome.err.substr(c.err.size())), c.changes) << outcome.err;
    EXPECT_EQ(test::tree_state(dir.path()), before);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ToolDryRun,
    ::testing::Values(
        DryRunCase{"OneNewFile", "echo x > f", 0, "", "", {"A f"}},
        DryRunCase{"EachKindAfterTheOutput",
                   "echo x > new; echo y >> mod; rm del; echo out; echo err >&2; exit 3", 3,
                   "out\n", "err\n", {"A new", "D del", "M mod"}},
        DryRunCase{"WorksInDirWithTheFreshDirectoryAsTmpdirAndHome",
                   "test \"$TMPDIR\" = \"$HOME\" && test \"$PWD\" != \"$TMPDIR\" && "
                   "touch \"$TMPDIR/t\" && pwd > here && echo ok",
                   0, "ok\n", "", {"A here"}}),
    [](const auto& info) { return info.param.name; });

TEST(ToolDryRun, ADirectoryThatIsNotOneIsRefused) {
    test::TempDir tmp;
    test::write_file(tmp / "file", "");
    for (const std::string& dir : {(tmp / "file").native(), (tmp / "missing").native()}) {
        ToolOutcome outcome = run_tool({"--dry-run", dir, "true"});
        EXPECT_EQ(outcome.exit_code, 125);
        EXPECT_NE(outcome.err.find("--dry-run " + dir + ": "), std::string::npos) << outcome.err;
    }
    ToolOutcome outcome = run_tool({"--dry-run"});
    EXPECT_EQ(outcome.exit_code, 2);
    EXPECT_NE(outcome.err.find("--dry-run needs a directory"), std::string::npos) << outcome.err;
}

// Nothing can end the command while vestrion_dry_run runs: the signal waits for it, then the
// tool reports what it did and exits as the signal says.
TEST(ToolDryRun, AStopSignalIsActedOnWhenTheCommandEnds) {
    std::string duration = "1.3" + std::to_string(::getpid());
    test::TempDir tmp, dir;
    Tool tool({"--dry-run", dir.path().native(), "sh", "-c", "sleep " + duration + "; echo x > f"},
              tmp.path());
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (count_processes({"sleep", duration}) < 1 && std::chrono::steady_clock::now() < give_up)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(count_processes({"sleep", duration}), 1);
    ASSERT_EQ(::kill(tool.pid(), SIGTERM), 0);
    ToolOutcome outcome = tool.finish();
    EXPECT_EQ(outcome.exit_code, 128 + SIGTERM);
    EXPECT_EQ(outcome.err, "A f\n");
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "the writable directory is left";
}

}  // namespace
}  // namespace vestrion
