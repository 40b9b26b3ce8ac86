// Where copy-on-write branches keep their trees.
#pragma once

#include <expected>
#include <filesystem>
#include <string>

#include "core/error.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::cow {

// A random version-4 UUID in lower-case hyphenated text: a branch id.
std::string random_id();

// The storage base, made 0700 when missing; an existing one must be a directory of ours, not a
// link, or another user could read the branch or swap it under us.
std::expected<UniqueFd, BranchError> open_storage_base(const std::filesystem::path& base);

// Removes a branch directory with everything below it, without following links and whatever
// modes the command or the kernel left on its directories; errors are ignored.
void remove_branch_dir(const std::filesystem::path& branch_dir);

}  // namespace vestrion::cow
