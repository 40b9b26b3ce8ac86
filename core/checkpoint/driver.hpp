// What the checkpoint of a running sandbox waits for: the command's exec, and the stop of its
// first process. The driver itself is `Sandbox::checkpoint`, with `Sandbox::freeze` and
// `Sandbox::thaw` (core/checkpoint/driver.cpp).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>

#include "core/error.hpp"

namespace vestrion::checkpoint {

// How long a checkpoint waits for a command that has not executed yet.
inline constexpr std::chrono::milliseconds kExecWait{5000};
// How long a freeze waits for the first process to stop: longer than the 5 s a policy
// callback's verdict may hold a thread inside a routed call.
inline constexpr std::chrono::milliseconds kFreezeWait{7000};

// Until its exec the child runs on the caller's memory (or a copy of it), which a capture would
// write to disk. The spawn's failure pipe is close-on-exec in the child: its read end `fail_r`
// reaches end of file once no process holds the write end any more. Waits up to `bound` for
// that; a process that keeps the write end (a fan-out template forked meanwhile) makes it
// refuse.
Result<void> wait_for_exec(int fail_r, std::chrono::milliseconds bound);

// The process that traces `pid` (a debugger), from its status file; none when untraced.
std::optional<pid_t> tracer_of(pid_t pid);

}  // namespace vestrion::checkpoint
