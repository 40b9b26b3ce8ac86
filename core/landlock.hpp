// Landlock: one ruleset built from a policy and applied to the calling thread.
//
// The ruleset is planned in two halves so that the child of a spawn can apply it between fork and
// exec: `plan` allocates and runs in the parent; `apply` uses only raw system calls and reports a
// failure as a plain record that `failure_error` (parent) or `write_failure` (child) renders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/policy.hpp"
#include "core/text.hpp"

namespace vestrion::landlock {

inline constexpr std::uint32_t MIN_ABI = 6;
inline constexpr std::uint64_t READ_ACCESS = 0xD;  // execute, read file, read dir

struct PathRule {
    enum class Mode : std::uint8_t {
        Required,       // every failure ends confinement
        SkipIfMissing,  // a path that does not exist is skipped; other failures end confinement
        Optional,       // every failure is ignored
    };
    std::string path;
    std::string quoted;  // the path as messages show it
    std::uint64_t mask;
    Mode mode;
};

struct NetRule {
    std::uint16_t port;
    std::uint64_t access;
};

struct Plan {
    std::uint64_t handled_access_fs = 0;
    std::uint64_t handled_access_net = 0;
    std::uint64_t scoped = 0;
    std::vector<PathRule> paths;
    std::vector<NetRule> ports;
};

struct Failure {
    enum class Step : std::uint8_t {
        None,
        Unavailable,  // the ABI query said ENOSYS or EOPNOTSUPP
        AbiQuery,
        AbiTooOld,
        CreateRuleset,
        OpenPath,
        AddPathRule,
        AddNetRule,
        RestrictSelf,
    };
    Step step = Step::None;
    int error = 0;            // the error number of the failed call
    std::uint32_t abi = 0;    // for AbiTooOld
    std::size_t index = 0;    // the rule that failed, for the rule steps

    explicit operator bool() const { return step != Step::None; }
};

std::expected<std::uint32_t, ConfinementError> abi_version();

// Adds one path-beneath rule. The path is opened with O_PATH, so a FIFO cannot block us; for
// anything but a directory the mask is cut to the rights Landlock accepts on files.
std::expected<void, ConfinementError> add_path_rule(int ruleset_fd, const std::string& path,
                                                    std::uint64_t mask);
std::expected<void, ConfinementError> add_net_rule(int ruleset_fd, std::uint16_t port,
                                                   std::uint64_t mask);

// Grants reading and executing one more host path, skipped when it is missing.
void grant_read(Plan& plan, std::string path);

Plan plan(const Policy& policy);
// Adds one more readable entry to a plan made from `policy`, as an fs_read entry of it would be.
void add_readable(Plan& plan, const Policy& policy, const Path& entry);
Failure apply(const Plan& plan) noexcept;
VestrionError failure_error(const Plan& plan, const Failure& failure);
// The full message of the failure ("sandbox error: confinement failed: ..."), without allocating.
void write_failure(text::LineBuf& line, const Plan& plan, const Failure& failure) noexcept;

// Builds and applies the ruleset to the calling thread.
Result<void> confine(const Policy& policy);

// Where an fs_write or fs_read entry of `policy` lies, as Landlock takes it: a relative entry
// from the command's working directory (`cwd`, itself from ours when relative), normalised.
// Every check that compares policy paths goes through this one helper.
Path entry_path(const Policy& policy, const Path& entry);

}  // namespace vestrion::landlock

namespace vestrion {

// No-new-privileges, then Landlock, for the calling thread; no seccomp filter.
Result<void> confine_current_process(const Policy& policy);

Result<std::uint32_t> landlock_abi_version();

}  // namespace vestrion
