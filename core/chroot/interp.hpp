// The program interpreter an ELF file names (its PT_INTERP): the kernel opens it by host path,
// whatever root the command sees, so a root's Landlock rules must grant it.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/policy.hpp"

namespace vestrion::chroot {

// The interpreter of the ELF file `fd` refers to; none for a file that names none (static, a
// script, not ELF at all) or that cannot be read.
std::optional<std::string> elf_interpreter(int fd);

// The host files the kernel opens by host path for `program` run under `root`: the interpreter
// of the program found inside the root (by PATH from `search_dirs` when it has no slash).
std::vector<std::string> host_files_for(const Path& root, const std::string& program,
                                        const std::vector<std::string>& search_dirs);

}  // namespace vestrion::chroot
