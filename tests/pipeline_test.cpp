#include "core/pipeline.hpp"

#include <dirent.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>

#include "tests/support.hpp"

namespace vestrion {
namespace {

using Args = std::vector<std::string>;
using namespace std::chrono_literals;

Policy readable_root() { return *Policy::builder().fs_read("/").build(); }

Pipeline join(const Policy& policy, const std::vector<Args>& commands) {
    Pipeline pipeline = Stage(policy, commands[0]) | Stage(policy, commands[1]);
    for (std::size_t i = 2; i < commands.size(); ++i) pipeline = std::move(pipeline) | Stage(policy, commands[i]);
    return pipeline;
}

// The pids of running processes whose command line is exactly `argv`.
std::vector<pid_t> running(const Args& argv) {
    std::string wanted;
    for (const auto& arg : argv) wanted += arg + '\0';
    std::vector<pid_t> found;
    DIR* dir = ::opendir("/proc");
    while (dirent* entry = dir ? ::readdir(dir) : nullptr) {
        pid_t pid = std::atoi(entry->d_name);
        if (pid <= 0) continue;
        const std::string content = test::read_proc_file("/proc/" + std::to_string(pid) + "/cmdline");
        const std::string status = test::read_proc_file("/proc/" + std::to_string(pid) + "/stat");
        auto close = status.rfind(')');
        bool alive = close != std::string::npos && close + 2 < status.size() &&
                     status[close + 2] != 'Z' && status[close + 2] != 'X';
        if (content == wanted && alive) found.push_back(pid);
    }
    if (dir) ::closedir(dir);
    return found;
}

struct PipelineCase {
    const char* name;
    std::vector<Args> commands;
    std::optional<std::chrono::nanoseconds> timeout;
    std::string out, err;
    ExitStatus status;
};

void PrintTo(const PipelineCase& c, std::ostream* os) { *os << c.name; }

class Pipelines : public ::testing::TestWithParam<PipelineCase> {};

TEST_P(Pipelines, GiveTheLastStagesOutputAndStatus) {
    const auto& c = GetParam();
    auto result = join(readable_root(), c.commands).run(c.timeout);
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(result->stdout_bytes, std::optional(c.out));
    EXPECT_EQ(result->stderr_bytes, std::optional(c.err));
    EXPECT_EQ(result->status, c.status);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Pipelines,
    ::testing::Values(
        PipelineCase{"Sort", {{"printf", "a\\nb\\n"}, {"sort", "-r"}}, {}, "b\na\n", "",
                     ExitStatus::code(0)},
        PipelineCase{"SortWellWithinATimeout", {{"printf", "a\\nb\\n"}, {"sort", "-r"}}, 60s,
                     "b\na\n", "", ExitStatus::code(0)},
        PipelineCase{"OnlyTheLastStatusCounts", {{"sh", "-c", "exit 1"}, {"true"}}, {}, "", "",
                     ExitStatus::code(0)},
        PipelineCase{"LastStatusIsTheResult", {{"true"}, {"sh", "-c", "exit 4"}}, {}, "", "",
                     ExitStatus::code(4)},
        PipelineCase{"ThreeStagesInOrder",
                     {{"printf", "c\\nb\\na\\n"}, {"sort"}, {"head", "-n", "1"}},
                     {}, "a\n", "", ExitStatus::code(0)},
        PipelineCase{"OnlyTheLastStagesErrorIsCollected",
                     {{"sh", "-c", "echo early-error >&2; echo x"},
                      {"sh", "-c", "cat; echo last-error >&2"}},
                     {}, "x\n", "last-error\n", ExitStatus::code(0)}),
    [](const auto& info) { return info.param.name; });

TEST(Pipeline, EachStageRunsUnderItsOwnPolicy) {
    Policy first = *Policy::builder().fs_read("/").env_var("WHICH", "first").build();
    Policy second = *Policy::builder().fs_read("/").env_var("WHICH", "second").build();
    auto result = (Stage(first, Args{"sh", "-c", "echo $WHICH"}) |
                   Stage(second, Args{"sh", "-c", "cat; echo $WHICH"}))
                      .run(std::nullopt);
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(result->stdout_bytes, std::optional<std::string>("first\nsecond\n"));
}

TEST(Pipeline, OutputOfAnySizeComesBackWhole) {
    constexpr std::size_t size = 1 << 20;
    auto result = join(readable_root(),
                       {{"true"}, {VESTRION_TEST_HELPER, "write-both", std::to_string(size)}})
                      .run(std::nullopt);
    ASSERT_TRUE(result.has_value()) << result.error().message();
    ASSERT_EQ(result->stdout_bytes->size(), size);
    ASSERT_EQ(result->stderr_bytes->size(), size);
    for (std::size_t i = 0; i < size; i += 4093) {
        ASSERT_EQ((*result->stdout_bytes)[i], static_cast<char>('a' + i % 26)) << i;
        ASSERT_EQ((*result->stderr_bytes)[i], static_cast<char>('A' + i % 26)) << i;
    }
}

// The longer limit makes sure that both sleeps have started on a loaded machine.
class Timeouts : public ::testing::TestWithParam<std::chrono::milliseconds> {};

TEST_P(Timeouts, KillEveryStageAndWhatItStarted) {
    // Arguments no other test uses, so that whatever is left is ours.
    const std::string tag = std::to_string(GetParam().count());
    const Args in_own_session{"sleep", "9.8761" + tag};
    const Args in_the_stage{"sleep", "9.8762" + tag};
    auto result = join(readable_root(), {{"sh", "-c",
                                          "setsid sleep " + in_own_session[1] + " & exec sleep " +
                                              in_the_stage[1]},
                                         {"cat"}})
                      .run(GetParam());
    ASSERT_TRUE(result.has_value()) << result.error().message();
    EXPECT_EQ(result->status, ExitStatus::timeout());
    EXPECT_FALSE(result->stdout_bytes.has_value());
    EXPECT_FALSE(result->stderr_bytes.has_value());
    EXPECT_EQ(running(in_own_session), std::vector<pid_t>{});
    EXPECT_EQ(running(in_the_stage), std::vector<pid_t>{});
}

INSTANTIATE_TEST_SUITE_P(Limits, Timeouts, ::testing::Values(200ms, 2000ms));

TEST(Pipeline, AStageThatCannotStartEndsTheRunAndTheStagesBeforeIt) {
    const Args first{"sleep", "9.8763"};
    auto result = join(readable_root(), {first, {"cat"}, {}}).run(std::nullopt);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(), "sandbox error: child process error: empty command");
    EXPECT_EQ(running(first), std::vector<pid_t>{});
}

}  // namespace
}  // namespace vestrion
