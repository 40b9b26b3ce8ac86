// Pipelines: several commands, each a sandbox of its own under its own policy, with the standard
// output of each one feeding the standard input of the next. The result is the last command's
// status with its standard output and error.
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/policy.hpp"
#include "core/result.hpp"
#include "core/sys/fd.hpp"

namespace vestrion {

// One command of a pipeline, with its own copy of the policy.
struct Stage {
    Stage(const Policy& policy, std::span<const std::string> args)
        : policy(policy.clone()), args(args.begin(), args.end()) {}

    Policy policy;
    std::vector<std::string> args;
};

// Two stages or more, first stage first; made only by the | operators.
class Pipeline {
public:
    // Runs every stage and waits for them all. When `timeout` passes first, every stage is killed
    // with what it started, and the result says Timeout without output: that is no error.
    Result<RunResult> run(std::optional<std::chrono::nanoseconds> timeout) &&;

    std::size_t size() const { return stages_.size(); }

private:
    friend Pipeline operator|(Stage left, Stage right);
    friend Pipeline operator|(Pipeline left, Stage right);
    Pipeline() = default;

    std::vector<Stage> stages_;
};

Pipeline operator|(Stage left, Stage right);
Pipeline operator|(Pipeline left, Stage right);

namespace pipeline {

using Clock = std::chrono::steady_clock;

// One close-on-exec pipe: the read end, then the write end.
SysResult<std::pair<UniqueFd, UniqueFd>> make_pipe();

// The body of a run; with a deadline, a run that has not ended by then ends as Timeout.
Result<RunResult> run_pipeline(std::vector<Stage> stages,
                               std::optional<Clock::time_point> deadline = std::nullopt);

}  // namespace pipeline

}  // namespace vestrion
