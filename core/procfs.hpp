// Answers the supervisor makes itself: directory records, listings served from a snapshot, and
// texts handed to the child as open files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/seccomp/action.hpp"
#include "core/sys/fd.hpp"

struct seccomp_notif;

namespace vestrion::procfs {

inline constexpr std::uint8_t DT_DIRECTORY = 4;
inline constexpr std::uint8_t DT_SYMLINK = 10;
inline constexpr std::uint8_t DT_REGULAR = 8;

// One name of a listing. The name is bytes, as the file system holds it.
struct DirEntry {
    std::string name;
    std::uint64_t ino = 0;
    std::uint8_t type = DT_REGULAR;

    bool operator==(const DirEntry&) const = default;
};

// The record type of a file mode (from lstat): directory, symbolic link, or 8 for anything else.
std::uint8_t dirent_type(mode_t mode);

// One record in getdents64's format: d_ino, d_off, d_reclen, d_type, the name, a NUL, padding to
// a multiple of 8.
std::string build_dirent64(std::uint64_t ino, std::uint64_t off, std::uint8_t type,
                           std::string_view name);
// One record in the format of the older getdents: d_ino, d_off, d_reclen, the name, a NUL, and
// d_type in the record's last byte.
std::string build_dirent(std::uint64_t ino, std::uint64_t off, std::uint8_t type,
                         std::string_view name);

// The supervisor's duplicate of descriptor `fd` of the notifying thread: the same open file, so
// the same directory position. Trust it only while the notification is still valid.
SysResult<UniqueFd> child_descriptor(const seccomp_notif& notif, int fd);

// Hands `text` to the child as the result of its open: an in-memory file positioned at its
// start, close-on-exec in the child when `cloexec` (the child's open asked for it). `Continue`
// when the file cannot be made, so the kernel performs the open instead.
seccomp::notif::NotifAction inject_memfd(std::string_view text, bool cloexec = true);

// The snapshot of one listing being delivered, and where the next call goes on when the
// directory's position cannot be read.
struct Listing {
    std::vector<DirEntry> entries;
    std::size_t next = 0;
};
// One per (notifying thread, descriptor number).
using ListingCache = std::map<std::pair<std::uint32_t, std::int32_t>, Listing>;

// Builds the names of one listing; an error number answers the child's call.
using ListingBuilder = std::function<std::expected<std::vector<DirEntry>, int>()>;

// Answers one getdents (78) or getdents64 (217) call from a listing the supervisor makes. The
// listing is built when the child's directory position is 0 (a fresh open, a rewind, or a
// descriptor number reused for another directory) and delivered from that position on, in
// whole records that fit the child's buffer; the position is moved on a duplicate of the child's
// descriptor, so it is the child's own. `mutex` guards `cache` and is held while `build` runs.
seccomp::notif::NotifAction deliver_listing(const seccomp_notif& notif, int listener,
                                            std::mutex& mutex, ListingCache& cache,
                                            const ListingBuilder& build);

}  // namespace vestrion::procfs
