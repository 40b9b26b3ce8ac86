// Reading a stopped process: its registers through ptrace, its maps, writable private memory and
// descriptors through /proc. Only reads; nothing is written into the process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string_view>
#include <vector>

#include "core/checkpoint/checkpoint.hpp"

namespace vestrion::checkpoint {

// How long the capture waits for the stop its interrupt causes.
inline constexpr std::chrono::seconds kTraceStopWait{5};

// The usable lines of a maps file, in file order.
std::vector<MemoryMap> parse_maps(std::string_view text);

// Whether a range is dumped: private, readable and writable, not the kernel's vdso, vvar or
// vsyscall, and at most `kMaxDumpedRange` long.
bool is_dumped(const MemoryMap& map);

// The flags (octal) and pos (decimal) of an fdinfo file, into `info`; what does not parse is 0.
void apply_fdinfo(std::string_view text, FdInfo& info);

// Captures process `pid`, which the caller has stopped and may trace. `pidfd` (-1: none) is used
// to wait for the trace stop, so a process that dies meanwhile is never reaped here. Every ptrace
// request comes from the calling thread.
Result<Checkpoint> capture(pid_t pid, int pidfd, const Policy& policy);

}  // namespace vestrion::checkpoint
