// The records of a dry run: what a command would have changed under its working directory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/result.hpp"

namespace vestrion {

enum class ChangeKind : std::uint8_t { Added = 0, Modified = 1, Deleted = 2 };

struct Change {
    std::filesystem::path path;  // relative to the working directory
    ChangeKind kind;

    bool operator==(const Change&) const = default;
};

struct DryRunResult {
    std::vector<Change> changes;
    std::optional<std::string> stdout_bytes;
    std::optional<std::string> stderr_bytes;
    ExitStatus status;
};

}  // namespace vestrion
