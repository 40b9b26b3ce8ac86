// The handles that several files of the C interface share.
#pragma once

#include <memory>

#include "core/policy.hpp"
#include "core/result.hpp"
#include "core/sandbox.hpp"
#include "vestrion.h"

struct vestrion_policy {
    vestrion::Policy policy;
};

struct vestrion_result {
    vestrion::RunResult result;
};

struct vestrion_handle {
    std::unique_ptr<vestrion::Sandbox> sandbox;
};

namespace vestrion::ffi {

inline vestrion_result_t* box(RunResult result) { return new vestrion_result{std::move(result)}; }

}  // namespace vestrion::ffi
