#include "core/sys/proc.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

namespace vestrion::sys::proc {

namespace {

UniqueFd open_entry(std::uint32_t pid, const char* name) noexcept {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%u/%s", pid, name);
    return UniqueFd(::open(path, O_RDONLY | O_CLOEXEC));
}

// Reads up to `size` bytes from the start of the entry; the count, or nothing on failure.
std::optional<std::size_t> read_entry(std::uint32_t pid, const char* name, char* buf,
                                      std::size_t size) noexcept {
    UniqueFd fd = open_entry(pid, name);
    if (!fd) return std::nullopt;
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd.get(), buf + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

template <class T>
std::optional<T> parse_number(std::string_view text, int base = 10) noexcept {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (ec != std::errc() || end == text.data()) return std::nullopt;
    return value;
}

// Splits off the next field separated by spaces or tabs.
std::string_view next_field(std::string_view& rest) noexcept {
    std::size_t start = rest.find_first_not_of(" \t");
    if (start == std::string_view::npos) {
        rest = {};
        return {};
    }
    rest.remove_prefix(start);
    std::size_t stop = rest.find_first_of(" \t");
    std::string_view field = rest.substr(0, stop);
    rest.remove_prefix(stop == std::string_view::npos ? rest.size() : stop);
    return field;
}

Mapping::Kind kind_of_path(std::string_view path) noexcept {
    if (path.empty() || path.starts_with("[anon:")) return Mapping::Kind::Anonymous;
    if (path.starts_with('[')) return Mapping::Kind::Special;
    return Mapping::Kind::File;
}

}  // namespace

std::optional<std::uint32_t> parse_thread_group(std::string_view status) noexcept {
    std::size_t at = status.starts_with("Tgid:") ? 0 : status.find("\nTgid:");
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view rest = status.substr(at + (at == 0 ? 5 : 6));
    return parse_number<std::uint32_t>(next_field(rest));
}

std::optional<std::uint32_t> thread_group(std::uint32_t tid) noexcept {
    char buf[512];  // Tgid is the fourth line, well inside the first 512 bytes
    auto got = read_entry(tid, "status", buf, sizeof buf);
    if (!got) return std::nullopt;
    return parse_thread_group(std::string_view(buf, *got));
}

namespace {

// The value after "<key>:" on its line of a status text.
std::optional<std::string_view> status_line(std::string_view status, std::string_view key) noexcept {
    for (std::size_t at = 0; at < status.size();) {
        std::size_t end = status.find('\n', at);
        if (end == std::string_view::npos) end = status.size();
        std::string_view line = status.substr(at, end - at);
        if (line.size() > key.size() && line.starts_with(key) && line[key.size()] == ':')
            return line.substr(key.size() + 1);
        at = end + 1;
    }
    return std::nullopt;
}

}  // namespace

std::optional<FileCredentials> parse_file_credentials(std::string_view status) noexcept {
    auto umask = status_line(status, "Umask");
    auto uid = status_line(status, "Uid");
    auto gid = status_line(status, "Gid");
    if (!umask || !uid || !gid) return std::nullopt;
    FileCredentials out;
    auto mask = parse_number<std::uint32_t>(next_field(*umask), 8);
    // Real, effective, saved, file-system: the last decides what the thread may touch.
    for (int i = 0; i < 3; ++i) {
        next_field(*uid);
        next_field(*gid);
    }
    auto fsuid = parse_number<std::uint32_t>(next_field(*uid));
    auto fsgid = parse_number<std::uint32_t>(next_field(*gid));
    if (!mask || !fsuid || !fsgid) return std::nullopt;
    out.umask = *mask;
    out.fsuid = *fsuid;
    out.fsgid = *fsgid;
    return out;
}

std::optional<FileCredentials> file_credentials(std::uint32_t tid) noexcept {
    char buf[2048];  // Umask, Uid and Gid come within the first dozen short lines
    auto got = read_entry(tid, "status", buf, sizeof buf);
    if (!got) return std::nullopt;
    return parse_file_credentials(std::string_view(buf, *got));
}

bool shares_user_namespace(std::uint32_t tid) noexcept {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%u/ns/user", tid);
    struct stat theirs {}, ours {};
    if (::stat(path, &theirs) != 0 || ::stat("/proc/self/ns/user", &ours) != 0) return false;
    return theirs.st_dev == ours.st_dev && theirs.st_ino == ours.st_ino;
}

std::optional<std::uint32_t> map_id(std::string_view map, std::uint32_t id, bool to_ours) noexcept {
    while (!map.empty()) {
        std::size_t end = map.find('\n');
        std::string_view line = map.substr(0, end);
        map.remove_prefix(end == std::string_view::npos ? map.size() : end + 1);
        auto inside = parse_number<std::uint64_t>(next_field(line));
        auto outside = parse_number<std::uint64_t>(next_field(line));
        auto count = parse_number<std::uint64_t>(next_field(line));
        if (!inside || !outside || !count) continue;
        const std::uint64_t from = to_ours ? *inside : *outside;
        const std::uint64_t to = to_ours ? *outside : *inside;
        if (id >= from && id - from < *count) return static_cast<std::uint32_t>(to + (id - from));
    }
    return std::nullopt;
}

namespace {

std::optional<std::uint32_t> map_thread_id(std::uint32_t tid, IdKind kind, std::uint32_t id,
                                           bool to_ours) noexcept {
    char buf[4096];  // a map holds at most 340 lines; the usual one line
    auto got = read_entry(tid, kind == IdKind::User ? "uid_map" : "gid_map", buf, sizeof buf);
    if (!got) return std::nullopt;
    return map_id(std::string_view(buf, *got), id, to_ours);
}

}  // namespace

std::optional<std::uint32_t> id_to_ours(std::uint32_t tid, IdKind kind, std::uint32_t id) noexcept {
    if (id == UINT32_MAX) return id;
    return map_thread_id(tid, kind, id, true);
}

std::uint32_t id_to_theirs(std::uint32_t tid, IdKind kind, std::uint32_t id) noexcept {
    constexpr std::uint32_t kOverflowId = 65534;
    return map_thread_id(tid, kind, id, false).value_or(kOverflowId);
}

std::optional<std::uint32_t> parse_parent_pid(std::string_view stat) noexcept {
    // The command name may hold spaces and parentheses: the fields start after the last ')'.
    std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = stat.substr(close + 1);
    next_field(rest);  // the state
    std::string_view field = next_field(rest);
    if (field.starts_with('+')) field.remove_prefix(1);
    return parse_number<std::uint32_t>(field);
}

std::optional<std::uint32_t> parent_pid(std::uint32_t pid) noexcept {
    char buf[512];  // the parent is the fourth field, after a name of at most 64 bytes
    auto got = read_entry(pid, "stat", buf, sizeof buf);
    if (!got) return std::nullopt;
    return parse_parent_pid(std::string_view(buf, *got));
}

std::optional<std::string> directory_path(std::uint32_t tid, int dirfd) {
    char link[64];
    if (dirfd == AT_FDCWD)
        std::snprintf(link, sizeof link, "/proc/%u/cwd", tid);
    else if (dirfd >= 0)
        std::snprintf(link, sizeof link, "/proc/%u/fd/%d", tid, dirfd);
    else
        return std::nullopt;
    std::string target(4096, '\0');
    ssize_t n = ::readlink(link, target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size() || target[0] != '/')
        return std::nullopt;
    target.resize(static_cast<std::size_t>(n));
    return target;
}

std::optional<ImageLayout> parse_image_layout(std::string_view stat) noexcept {
    // The command name may hold spaces and parentheses: count fields after the last ')'.
    std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = stat.substr(close + 1);
    // Field 3 (the state) comes first; start_brk is field 47 and arg_start field 48.
    constexpr int START_BRK = 47 - 3;
    ImageLayout layout;
    for (int i = 0; i <= START_BRK + 1; ++i) {
        std::string_view field = next_field(rest);
        if (field.empty()) return std::nullopt;
        if (i == START_BRK || i == START_BRK + 1) {
            auto value = parse_number<std::uint64_t>(field);
            if (!value) return std::nullopt;
            (i == START_BRK ? layout.start_brk : layout.arg_start) = *value;
        }
    }
    return layout;
}

std::optional<ImageLayout> image_layout(std::uint32_t pid) noexcept {
    char buf[2048];
    auto got = read_entry(pid, "stat", buf, sizeof buf);
    if (!got) return std::nullopt;
    return parse_image_layout(std::string_view(buf, *got));
}

std::optional<GroupMembership> parse_group_membership(std::string_view stat) noexcept {
    std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view rest = stat.substr(close + 1);
    // Fields 3 (state), 4 (parent) and 5 (process group).
    std::string_view state = next_field(rest);
    next_field(rest);
    auto group = parse_number<std::int32_t>(next_field(rest));
    if (state.size() != 1 || !group) return std::nullopt;
    return GroupMembership{*group, state != "Z" && state != "X"};
}

std::optional<GroupMembership> group_membership(std::uint32_t tid) noexcept {
    char buf[512];  // the group comes before the long fields
    auto got = read_entry(tid, "stat", buf, sizeof buf);
    if (!got) return std::nullopt;
    return parse_group_membership(std::string_view(buf, *got));
}

std::optional<Mapping> parse_maps_line(std::string_view line) noexcept {
    // "start-end perms offset dev inode [path]"
    std::string_view rest = line;
    std::string_view range = next_field(rest);
    std::string_view perms = next_field(rest);
    std::string_view offset = next_field(rest);
    std::string_view dev = next_field(rest);
    std::string_view inode = next_field(rest);
    std::size_t dash = range.find('-');
    if (dash == std::string_view::npos || perms.size() < 4 || offset.empty() || dev.empty() ||
        inode.empty())
        return std::nullopt;
    auto start = parse_number<std::uint64_t>(range.substr(0, dash), 16);
    auto end = parse_number<std::uint64_t>(range.substr(dash + 1), 16);
    if (!start || !end || *end < *start) return std::nullopt;
    std::size_t path_at = rest.find_first_not_of(" \t");
    std::string_view path =
        path_at == std::string_view::npos ? std::string_view{} : rest.substr(path_at);
    Mapping m;
    m.start = *start;
    m.end = *end;
    m.accessible = perms[0] == 'r' || perms[1] == 'w' || perms[2] == 'x';
    m.shared = perms[3] == 's';
    m.kind = kind_of_path(path);
    return m;
}

namespace {

// The kernel's procmap_query record and request (linux/fs.h of Linux 6.11).
struct ProcmapQuery {
    std::uint64_t size;
    std::uint64_t query_flags;
    std::uint64_t query_addr;
    std::uint64_t vma_start;
    std::uint64_t vma_end;
    std::uint64_t vma_flags;
    std::uint64_t vma_page_size;
    std::uint64_t vma_offset;
    std::uint64_t inode;
    std::uint32_t dev_major;
    std::uint32_t dev_minor;
    std::uint32_t vma_name_size;
    std::uint32_t build_id_size;
    std::uint64_t vma_name_addr;
    std::uint64_t build_id_addr;
};
static_assert(sizeof(ProcmapQuery) == 104);
constexpr unsigned long PROCMAP_QUERY = _IOWR('f', 17, ProcmapQuery);
constexpr std::uint64_t PROCMAP_QUERY_COVERING_OR_NEXT_VMA = 0x10;
constexpr std::uint64_t VMA_ACCESS = 0x1 | 0x2 | 0x4;  // readable, writable, executable
constexpr std::uint64_t VMA_SHARED = 0x8;

}  // namespace

MapsQuery::MapsQuery(std::uint32_t pid) noexcept : fd_(open_entry(pid, "maps")) {}

MapsQuery::Status MapsQuery::next(std::uint64_t address, Mapping& out) noexcept {
    ProcmapQuery q{};
    q.size = sizeof q;
    q.query_flags = PROCMAP_QUERY_COVERING_OR_NEXT_VMA;
    q.query_addr = address;
    if (::ioctl(fd_.get(), PROCMAP_QUERY, &q) != 0) {
        if (errno == ENOENT) return Status::End;
        if (errno == ENOTTY || errno == EINVAL) return Status::Unsupported;
        return Status::Stale;  // ESRCH: the image or the process is gone
    }
    out.start = q.vma_start;
    out.end = q.vma_end;
    out.accessible = (q.vma_flags & VMA_ACCESS) != 0;
    out.shared = (q.vma_flags & VMA_SHARED) != 0;
    out.kind = Mapping::Kind::File;
    if (q.inode != 0 || q.dev_major != 0 || q.dev_minor != 0) return Status::Found;
    // No file: anonymous, unless the kernel names it ([heap], [stack], [vdso]...). Only those
    // names are asked for; a file's path would cost the kernel a path walk.
    char name[32];
    ProcmapQuery named{};
    named.size = sizeof named;
    named.query_addr = q.vma_start;
    named.vma_name_size = sizeof name;
    named.vma_name_addr = reinterpret_cast<std::uint64_t>(name);
    if (::ioctl(fd_.get(), PROCMAP_QUERY, &named) != 0) {
        // Too long for the buffer: only a name given with prctl is, and that is anonymous.
        if (errno != ENAMETOOLONG) return Status::Stale;
        out.kind = Mapping::Kind::Anonymous;
        return Status::Found;
    }
    out.kind = kind_of_path(named.vma_name_size > 1 ? std::string_view(name) : std::string_view());
    return Status::Found;
}

MapsReader::MapsReader(std::uint32_t pid) noexcept : fd_(open_entry(pid, "maps")) {
    eof_ = !fd_;
}

bool MapsReader::fill() noexcept {
    if (begin_ > 0) {
        std::memmove(buf_, buf_ + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    while (end_ < sizeof buf_) {
        ssize_t n = ::read(fd_.get(), buf_ + end_, sizeof buf_ - end_);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            eof_ = true;
            return false;
        }
        end_ += static_cast<std::size_t>(n);
        return true;
    }
    return true;
}

std::optional<Mapping> MapsReader::next() noexcept {
    while (true) {
        std::string_view pending(buf_ + begin_, end_ - begin_);
        std::size_t nl = pending.find('\n');
        if (nl != std::string_view::npos) {
            begin_ += nl + 1;
            if (skipping_) {
                skipping_ = false;
                continue;
            }
            if (auto m = parse_maps_line(pending.substr(0, nl))) return m;
            continue;
        }
        if (skipping_) {
            begin_ = end_;
        } else if (begin_ == 0 && end_ == sizeof buf_) {
            // A line longer than the buffer: its head has every field we read.
            skipping_ = true;
            begin_ = end_;
            if (auto m = parse_maps_line(pending)) return m;
            continue;
        }
        if (eof_ || !fill()) {
            if (skipping_ || begin_ == end_) return std::nullopt;
            std::string_view last(buf_ + begin_, end_ - begin_);
            begin_ = end_;
            return parse_maps_line(last);
        }
    }
}

}  // namespace vestrion::sys::proc
