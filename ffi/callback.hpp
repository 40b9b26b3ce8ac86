// The bridge between a C policy callback and the library's own.
#pragma once

#include "core/policy_fn.hpp"
#include "vestrion.h"

namespace vestrion::ffi {

// A callback that hands each event to `fn` as a vestrion_event_t and maps its return value to
// a verdict.
PolicyFn bridge_policy_fn(vestrion_policy_fn_t fn);

}  // namespace vestrion::ffi
