// Runs one command through the child's confinement sequence with a stand-in supervisor, and
// reports what the parent saw.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "core/policy.hpp"

namespace vestrion::test {

struct ChildRun {
    std::optional<std::uint32_t> listener_number;  // absent when the child never sent it
    int wait_status = 0;
    std::string out;
    std::string err;
    int answered = 0;  // routed calls the stand-in supervisor let through

    int exit_code() const;
};

struct ChildOptions {
    bool nested = false;
    bool send_go = true;  // false: close the go pipe without writing
};

ChildRun run_confined(const Policy& policy, const std::vector<std::string>& command,
                      ChildOptions options = {});

// A policy that may read the whole filesystem, which most commands need to start.
PolicyBuilder readable_root();

}  // namespace vestrion::test
