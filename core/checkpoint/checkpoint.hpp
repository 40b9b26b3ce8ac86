// A checkpoint: what was captured of a running sandbox's first process (registers, writable
// private memory, open descriptors), a copy of its policy, and what the caller attached. It can
// be saved to a directory and loaded back; nothing restores a process from it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/policy.hpp"

namespace vestrion {

// One line of the process's maps file.
struct MemoryMap {
    std::uint64_t start = 0;
    std::uint64_t end = 0;  // exclusive
    std::string perms;      // as the kernel prints them, "rw-p"
    std::uint64_t offset = 0;
    std::optional<std::string> path;  // a file or a bracketed name; none for anonymous memory
};

struct MemorySegment {
    std::uint64_t start = 0;
    std::string data;  // the bytes from `start` on
};

struct FdInfo {
    std::int32_t fd = 0;
    std::string path;  // the descriptor's link target; "" when it could not be read
    std::int32_t flags = 0;
    std::uint64_t offset = 0;
};

struct ProcessState {
    std::string cwd;
    std::string exe;
    // The 27 words of the kernel's x86-64 register record, r15 first, gs last.
    std::vector<std::uint64_t> regs;
    std::vector<MemoryMap> maps;         // every usable line, in address order
    std::vector<MemorySegment> memory;   // the ranges dumped, in the order of `maps`
    std::int32_t pid = 0;
};

struct Checkpoint {
    std::string name;
    Policy policy;
    ProcessState process;
    std::vector<FdInfo> fds;  // ascending by descriptor number
    std::optional<Path> cow_snapshot;
    std::optional<std::string> app_state;

    // Writes the checkpoint to directory `dir` (see checkpoint/directory.hpp for the layout and
    // for what a save may replace).
    Result<void> save(const Path& dir) const;
    // Reads the checkpoint saved in `dir`.
    static Result<Checkpoint> load(const Path& dir);
};

namespace checkpoint {

// The register record of PTRACE_GETREGS: 27 words.
inline constexpr std::size_t kRegisterWords = 27;
inline constexpr std::size_t kRegisterBytes = kRegisterWords * 8;
// Where rip and rsp sit among them.
inline constexpr std::size_t kRipWord = 16;
inline constexpr std::size_t kRspWord = 19;

// The most memory one checkpoint holds, captured or loaded: a command with more writable memory
// than this is refused rather than copied into the caller.
inline constexpr std::uint64_t kMaxCheckpointBytes = 4ull << 30;
// A single range larger than this is listed but not dumped.
inline constexpr std::uint64_t kMaxDumpedRange = 0x10000000;

}  // namespace checkpoint

}  // namespace vestrion
