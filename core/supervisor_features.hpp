// The one list of what only the syscall supervisor enforces. A spawn whose child cannot have a
// supervisor (nested in a sandbox, or under a filter chain that already holds a listener) refuses
// a policy that asks for any of it, rather than run as if it were enforced.
#pragma once

#include <optional>
#include <string>

#include "core/policy.hpp"

namespace vestrion::sandbox {

// The first feature of the policy that needs the supervisor, named for an error message; nothing
// when the policy runs as asked without one. The process budget is not listed: without a
// supervisor it is not kept, and the README says so.
std::optional<std::string> feature_needing_supervisor(const Policy& policy);

}  // namespace vestrion::sandbox
