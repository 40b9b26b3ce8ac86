// Reading a process's /proc entries on the supervisor's hot path: fixed buffers, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/sys/fd.hpp"

namespace vestrion::sys::proc {

// The thread group (process) that thread `tid` belongs to, from /proc/<tid>/status.
std::optional<std::uint32_t> thread_group(std::uint32_t tid) noexcept;
// The Tgid line of a status text.
std::optional<std::uint32_t> parse_thread_group(std::string_view status) noexcept;

// What a thread creates files and is checked with: its umask and its file-system ids, from
// /proc/<tid>/status.
struct FileCredentials {
    std::uint32_t umask = 022;
    std::uint32_t fsuid = 0;
    std::uint32_t fsgid = 0;
    bool operator==(const FileCredentials&) const = default;
};
std::optional<FileCredentials> file_credentials(std::uint32_t tid) noexcept;
// The Umask line and the fourth fields of the Uid and Gid lines of a status text.
std::optional<FileCredentials> parse_file_credentials(std::string_view status) noexcept;

// Ids between a thread's user namespace and ours, through /proc/<tid>/uid_map and gid_map.
enum class IdKind : std::uint8_t { User, Group };
bool shares_user_namespace(std::uint32_t tid) noexcept;
// Our id for the thread's `id`; none when its namespace maps it to nothing. -1 ("leave it as it
// is" to chown) stays -1.
std::optional<std::uint32_t> id_to_ours(std::uint32_t tid, IdKind kind, std::uint32_t id) noexcept;
// The thread's id for our `id`; the overflow id 65534 when its namespace has none.
std::uint32_t id_to_theirs(std::uint32_t tid, IdKind kind, std::uint32_t id) noexcept;
// The same over the text of a map ("inside outside count" lines).
std::optional<std::uint32_t> map_id(std::string_view map, std::uint32_t id, bool to_ours) noexcept;

// The parent of process (or thread) `pid`, from /proc/<pid>/stat.
std::optional<std::uint32_t> parent_pid(std::uint32_t pid) noexcept;
// The parent field of a stat line (a leading '+' accepted).
std::optional<std::uint32_t> parse_parent_pid(std::string_view stat) noexcept;

// The path of the directory a relative path of thread `tid` starts from: its working directory
// for AT_FDCWD, else the path of its descriptor `dirfd`.
std::optional<std::string> directory_path(std::uint32_t tid, int dirfd);

// Where the heap of the process's current image starts and where its argument strings lie:
// both are fixed for one image and move with every exec.
struct ImageLayout {
    std::uint64_t start_brk = 0;
    std::uint64_t arg_start = 0;
    bool operator==(const ImageLayout&) const = default;
};
std::optional<ImageLayout> image_layout(std::uint32_t pid) noexcept;
// The layout fields of a stat line.
std::optional<ImageLayout> parse_image_layout(std::string_view stat) noexcept;

// The process group of thread `tid`, and whether the thread still runs (not a zombie), from
// /proc/<tid>/stat; also for a thread id that /proc does not list.
struct GroupMembership {
    std::int32_t group = 0;
    bool running = false;
    bool operator==(const GroupMembership&) const = default;
};
std::optional<GroupMembership> group_membership(std::uint32_t tid) noexcept;
// The state and group fields of a stat line.
std::optional<GroupMembership> parse_group_membership(std::string_view stat) noexcept;

// One line of /proc/<pid>/maps, as far as memory accounting needs it.
struct Mapping {
    enum class Kind : std::uint8_t {
        Anonymous,  // no backing file, also when named with prctl ("[anon:...]")
        Special,    // [heap], [stack], [vdso], [vvar], [vsyscall]
        File,       // anything with a path, shared anonymous memory included ("/dev/zero")
    };
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    bool accessible = false;  // any of r, w, x
    bool shared = false;
    Kind kind = Kind::File;
};
std::optional<Mapping> parse_maps_line(std::string_view line) noexcept;

// Walks /proc/<pid>/maps line by line through one fixed buffer; a line longer than the buffer is
// parsed from its head, which holds every field but the end of the path.
class MapsReader {
  public:
    explicit MapsReader(std::uint32_t pid) noexcept;
    bool is_open() const noexcept { return fd_.valid(); }
    // The next mapping, or nothing at the end of the file or on a read error.
    std::optional<Mapping> next() noexcept;

  private:
    bool fill() noexcept;

    UniqueFd fd_;
    char buf_[4096];
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool eof_ = false;
    bool skipping_ = false;  // dropping the tail of an overlong line
};

// Asks the kernel for one mapping at a time (the PROCMAP_QUERY request of /proc/<pid>/maps,
// Linux 6.11) instead of reading and parsing the whole text. The descriptor serves the image the
// process ran when it was opened: after an exec, or once the process is gone, it is stale.
class MapsQuery {
  public:
    enum class Status { Found, End, Stale, Unsupported };

    explicit MapsQuery(std::uint32_t pid) noexcept;
    bool is_open() const noexcept { return fd_.valid(); }
    // The first mapping that ends above `address`.
    Status next(std::uint64_t address, Mapping& out) noexcept;

  private:
    UniqueFd fd_;
};

}  // namespace vestrion::sys::proc
