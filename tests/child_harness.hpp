// Runs one command through the child's confinement sequence with a stand-in supervisor, and
// reports what the parent saw.
#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/policy.hpp"
#include "core/seccomp/state.hpp"

namespace vestrion::test {

struct ChildRun {
    std::optional<std::uint32_t> listener_number;  // absent when the child never sent it
    int wait_status = 0;
    std::string out;
    std::string err;
    int answered = 0;  // routed calls the stand-in supervisor let through
    // The real supervisor's state, after the run (with `real_supervisor`).
    std::shared_ptr<seccomp::notif::SharedSupervisorState> state;
    bool guard_fired = false;  // the run outlived `guard_seconds` and its group was killed

    int exit_code() const;
};

struct ChildOptions {
    bool nested = false;
    bool send_go = true;  // false: close the go pipe without writing
    // Supervise with seccomp::notif::supervisor instead of the stand-in.
    bool real_supervisor = false;
    // Adjusts the real supervisor's state before the child runs.
    std::function<void(seccomp::notif::SupervisorState&)> configure = nullptr;
    // Kills the child's group when it has not finished by then, so a hang fails instead of
    // stalling the suite (0: no guard).
    int guard_seconds = 0;
};

ChildRun run_confined(const Policy& policy, const std::vector<std::string>& command,
                      ChildOptions options = {});

// A policy that may read the whole filesystem, which most commands need to start.
PolicyBuilder readable_root();

}  // namespace vestrion::test
