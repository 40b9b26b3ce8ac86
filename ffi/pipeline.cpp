// The C calls of pipelines: stages collected one by one, then run once.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "core/pipeline.hpp"
#include "ffi/convert.hpp"
#include "ffi/handles.hpp"
#include "vestrion.h"

struct vestrion_pipeline {
    std::vector<vestrion::Stage> stages;
    // A stage whose argv held a NULL: the run must not go on without it.
    bool invalid = false;
};

extern "C" {

vestrion_pipeline_t* vestrion_pipeline_new(void) noexcept { return new vestrion_pipeline{}; }

void vestrion_pipeline_add_stage(vestrion_pipeline_t* pl, const vestrion_policy_t* policy,
                                 const char* const* argv, std::uint32_t argc) noexcept {
    if (!pl || !policy || !argv) return;
    auto args = vestrion::ffi::read_argv(argv, argc);
    if (!args) {
        pl->invalid = true;
        return;
    }
    pl->stages.emplace_back(policy->policy, *args);
}

vestrion_result_t* vestrion_pipeline_run(vestrion_pipeline_t* pl, std::uint64_t timeout_ms) noexcept {
    if (!pl) return nullptr;
    std::unique_ptr<vestrion_pipeline> owned(pl);
    auto& stages = owned->stages;
    if (stages.size() < 2 || owned->invalid) return nullptr;
    vestrion::Pipeline pipeline = std::move(stages[0]) | std::move(stages[1]);
    for (std::size_t i = 2; i < stages.size(); ++i) pipeline = std::move(pipeline) | std::move(stages[i]);
    // A limit past what nanoseconds can count is none.
    std::optional<std::chrono::nanoseconds> timeout;
    if (timeout_ms != 0 && timeout_ms <= static_cast<std::uint64_t>(INT64_MAX / 1'000'000))
        timeout = std::chrono::milliseconds(timeout_ms);
    auto result = std::move(pipeline).run(timeout);
    return result ? vestrion::ffi::box(std::move(*result)) : nullptr;
}

void vestrion_pipeline_free(vestrion_pipeline_t* pl) noexcept { delete pl; }

}  // extern "C"
