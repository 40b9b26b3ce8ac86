// The virtual root's handlers by family, behind the router of dispatch.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/chroot/session.hpp"

namespace vestrion::chroot {

// open, openat, creat.
NotifAction open_file(const Session& s);

// newfstatat, stat, lstat, statx, faccessat, faccessat2, access, statfs.
NotifAction status(const Session& s);
// readlinkat, readlink.
NotifAction read_link(const Session& s);
NotifAction getcwd(const Session& s);

// The calls that change a path or what a file holds by path; none when the call names a
// descriptor and goes on to the later rules.
std::optional<NotifAction> change(const Session& s);

// bind of a Unix socket to a path, resolved beneath the root; none for any other address, which
// goes on to the later rules.
std::optional<NotifAction> bind_socket(const Session& s);

// execve, execveat, chdir.
NotifAction exec(const Session& s);
NotifAction chdir(const Session& s);

// Copies `bytes` to the child: EFAULT when they cannot be written (never Continue, which would
// let the kernel act on the child's virtual path as a host path).
NotifAction write_out(const Session& s, std::uint64_t address, std::span<const std::uint8_t> bytes,
                      std::int64_t answer);

// The call's answer from a raw system call's return value.
NotifAction answer_of(long ret);

}  // namespace vestrion::chroot
