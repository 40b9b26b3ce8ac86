// A classic-BPF evaluator for seccomp programs, so that tests judge a filter by the verdicts it
// gives rather than by its bytes. It knows only the instructions our filters use and reports any
// other instruction, a jump past the end or a run off the end as a fault.
#pragma once

#include <linux/filter.h>
#include <linux/seccomp.h>

#include <cstdint>
#include <expected>
#include <span>
#include <string>

namespace vestrion::test {

// `steps`, when given, receives the number of instructions the run executed.
std::expected<std::uint32_t, std::string> run_bpf(std::span<const sock_filter> program,
                                                  const seccomp_data& data,
                                                  std::size_t* steps = nullptr);

}  // namespace vestrion::test
