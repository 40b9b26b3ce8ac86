// Classic-BPF seccomp programs: assembling one from its three lists, and installing it.
#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::seccomp::bpf {

using Program = std::vector<sock_filter>;

// The checks of one system call's arguments: instructions that either return a verdict or run
// off their end, which leaves the call to the lists. They start with the call's number in the
// accumulator; their jumps stay inside them.
struct ArgCheck {
    std::uint32_t nr;
    Program body;
};

// The program for a routed list, a deny list and the argument checks, laid out as a binary
// search over the numbers: a call walks a few comparisons, not every list. Fails only when the
// program would be longer than the kernel accepts.
std::expected<Program, SeccompError> assemble_filter(std::span<const std::uint32_t> routed,
                                                     std::span<const std::uint32_t> denied,
                                                     std::span<const ArgCheck> checks);

// The raw seccomp(SECCOMP_SET_MODE_FILTER) call with the given flags; returns the kernel's value
// (a descriptor, 0, or a negated error number). Async-signal-safe: the child of a spawn uses it.
long install_raw(const Program& program, unsigned int flags) noexcept;

// Installs with a notification listener (new-listener and wait-killable-receive flags) and returns
// the listener, which the kernel creates close-on-exec.
SysResult<UniqueFd> install_filter(const Program& program) noexcept;

}  // namespace vestrion::seccomp::bpf
