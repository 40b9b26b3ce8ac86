// The values of a notified call that lie in the child's memory besides its paths: exact-length
// records, attribute names and the time pairs of the utime family. Each is copied once, before
// anything is resolved, as the kernel copies them.
#pragma once

#include <time.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/seccomp/child_path.hpp"

namespace vestrion::seccomp::notif {

inline constexpr std::size_t kXattrNameMax = 255;
inline constexpr std::size_t kXattrSizeMax = 65536;

// Exactly `length` bytes at `address`: EFAULT when fewer can be read.
Errno<std::vector<std::uint8_t>> read_exact(int listener, const SeccompNotif& notif,
                                            std::uint64_t address, std::size_t length);

// An extended attribute's name: EFAULT when unreadable, ERANGE when empty or longer than 255.
Errno<std::string> read_xattr_name(int listener, const SeccompNotif& notif, std::uint64_t address);

// The access and modification times of call `nr`: seconds for utime, microseconds for utimes
// and futimesat, nanoseconds for utimensat. None for a null address (both now).
Errno<std::optional<std::array<timespec, 2>>> read_times(int listener, const SeccompNotif& notif,
                                                         int nr, std::uint64_t address);

}  // namespace vestrion::seccomp::notif
