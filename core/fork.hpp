// Fan-out: a confined template process runs an init function once, then forks clones of itself
// that each run a work function with their index. The template reports the clones' pids and exit
// codes over a control pipe; the parent drains each clone's output while it runs.
//
// `Sandbox::fork` and `Sandbox::reduce` live in fork.cpp; this header holds what they share with
// the template and the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vestrion::fork {

// The control pipe carries two messages back to back, n values each, every value a signed 32-bit
// big-endian integer: the clones' pids (0 for a fork that failed), then their exit codes (-1 for a
// clone ended by a signal or never forked).
std::string encode(std::span<const std::int32_t> values);
// The first `count` values of `bytes`; values the bytes do not hold whole read as `missing`.
std::vector<std::int32_t> decode(std::string_view bytes, std::size_t count, std::int32_t missing);

// The template's loop: forks one clone per index, each with write end `out_w[i]` (-1: none) as its
// standard output and CLONE_ID set to its index, reports their pids, waits for them in order and
// reports their exit codes. Runs in the template only.
void fork_ready_loop_fn(int control_w, std::uint32_t n,
                        const std::function<void(std::uint32_t)>& work,
                        std::span<const int> out_w) noexcept;

}  // namespace vestrion::fork
