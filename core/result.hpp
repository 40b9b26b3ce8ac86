// How a run ended, and what it printed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vestrion {

struct ExitStatus {
    enum class Kind : std::uint32_t { Code = 0, Signal = 1, Killed = 2, Timeout = 3 };

    Kind kind = Kind::Code;
    std::int32_t value = 0;  // exit code for Code, signal number for Signal, else unused

    static ExitStatus code(std::int32_t c) { return {Kind::Code, c}; }
    static ExitStatus signal(std::int32_t s) { return {Kind::Signal, s}; }
    static ExitStatus killed() { return {Kind::Killed, 0}; }
    static ExitStatus timeout() { return {Kind::Timeout, 0}; }

    // A run succeeded exactly when the process exited with code 0.
    bool success() const { return kind == Kind::Code && value == 0; }

    bool operator==(const ExitStatus&) const = default;
};

struct RunResult {
    std::optional<std::string> stdout_bytes;  // absent when output was not captured
    std::optional<std::string> stderr_bytes;
    ExitStatus status;
};

}  // namespace vestrion
