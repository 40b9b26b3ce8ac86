#include "core/cow/dispatch.hpp"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/un.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "core/child_rights.hpp"
#include "core/cow/pending_open.hpp"
#include "core/cow/resolve.hpp"
#include "core/cow/seccomp.hpp"
#include "core/procfs.hpp"
#include "core/seccomp/notif.hpp"
#include "core/seccomp/steer.hpp"
#include "core/sys/proc.hpp"
#include "core/sys/structs.hpp"
#include "core/sys/syscall.hpp"
#include "core/text.hpp"

namespace vestrion::cow::dispatch {

namespace {

using seccomp::notif::SharedSupervisorState;
using Answer = std::optional<NotifAction>;

// The kernel's bounds on extended attributes.
constexpr std::size_t kXattrNameMax = 255;
constexpr std::size_t kXattrSizeMax = 65536;
// struct xattr_args of setxattrat and getxattrat: value, size, flags.
constexpr std::size_t kXattrArgsSize = 16;
constexpr unsigned kRenameFlagsKnown = RENAME_NOREPLACE | RENAME_EXCHANGE | RENAME_WHITEOUT;

NotifAction fail(int error) {
    return NotifAction::Errno{error};
}
NotifAction done(std::int64_t value = 0) {
    return NotifAction::ReturnValue{value};
}
NotifAction answer_of(const Outcome& outcome) {
    return outcome ? done() : fail(outcome.error());
}

int as_fd(std::uint64_t arg) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(arg));
}
std::uint32_t as_u32(std::uint64_t arg) {
    return static_cast<std::uint32_t>(arg);
}

// The layer as the resolver sees it.
class BranchView final : public MergedView {
  public:
    explicit BranchView(const SeccompCowBranch& branch)
        : branch_(branch), workdir_(branch.workdir().native()), upper_(branch.upper().native()) {}

    const std::string& workdir() const override { return workdir_; }
    const std::string& upper() const override { return upper_; }
    const struct stat& workdir_status() const override { return branch_.workdir_status(); }

    ViewEntry lookup(std::string_view rel) const override {
        const std::string path = rel.empty() ? workdir_ : workdir_ + "/" + std::string(rel);
        auto entry = branch_.locate(path);
        if (!entry) return {};
        const mode_t mode = entry->st.st_mode;
        if (S_ISDIR(mode)) return {ViewEntry::Kind::Directory, {}, false};
        if (!S_ISLNK(mode)) return {ViewEntry::Kind::Other, {}, false};
        auto target = branch_.handle_readlink(path);
        // A link of W that the layer only placed for the kernel is W's, not the command's.
        return {ViewEntry::Kind::Link, target.value_or(std::string()),
                entry->in_upper && !branch_.is_placed_copy(path)};
    }

  private:
    const SeccompCowBranch& branch_;
    std::string workdir_;
    std::string upper_;
};

// --- Reading the child's arguments ---

std::expected<std::vector<std::uint8_t>, int> read_exact(const Call& call, std::uint64_t address,
                                                         std::size_t length) {
    if (length == 0) return std::vector<std::uint8_t>{};
    if (address == 0) return std::unexpected(EFAULT);
    auto bytes = seccomp::notif::read_child_mem(call.listener, call.notif, address, length);
    if (!bytes || bytes->size() != length) return std::unexpected(EFAULT);
    return std::move(*bytes);
}

NotifAction write_back(const Call& call, std::uint64_t address, std::span<const std::uint8_t> bytes,
                       std::int64_t result) {
    if (bytes.empty()) return done(result);
    if (address == 0) return fail(EFAULT);
    auto put = seccomp::notif::write_child_mem(call.listener, call.notif, address, bytes);
    return put ? done(result) : fail(EFAULT);
}

template <class T>
NotifAction write_struct(const Call& call, std::uint64_t address, const T& value) {
    return write_back(call, address,
                      std::span(reinterpret_cast<const std::uint8_t*>(&value), sizeof value), 0);
}

// One path argument as the call takes it.
struct PathArg {
    int dirfd = AT_FDCWD;
    std::uint64_t address = 0;
    bool follow = true;
    bool empty_is_dirfd = false;  // AT_EMPTY_PATH
    bool null_is_dirfd = false;   // utimensat, futimesat: no path names the descriptor
};

// The path bytes of an argument, or none when the call names the descriptor itself.
struct ReadPath {
    std::optional<std::string> bytes;
};

std::expected<ReadPath, int> read_path(const Call& call, const PathArg& arg) {
    if (arg.address == 0 && arg.null_is_dirfd) return ReadPath{};
    auto bytes = read_string(call, arg.address, PATH_MAX);
    if (!bytes) return std::unexpected(bytes.error());
    if (bytes->empty() && arg.empty_is_dirfd) return ReadPath{};
    return ReadPath{std::move(*bytes)};
}

// Where a descriptor of the child points: a file of the upper tree (which the layer made or
// copied up), one of the working directory itself (which the layer handed out for reading), or
// something else.
struct DescriptorPlace {
    enum class Kind { Upper, Workdir, Outside } kind = Kind::Outside;
    std::string view_path;  // the working-directory path of an upper file
};

DescriptorPlace descriptor_place(const SeccompCowBranch& branch, std::uint32_t tid, int fd) {
    const std::string proc = "/proc/" + std::to_string(tid);
    std::string link = fd == AT_FDCWD ? proc + "/cwd" : proc + "/fd/" + std::to_string(fd);
    char buf[PATH_MAX];
    ssize_t n = fd == AT_FDCWD || fd >= 0 ? ::readlink(link.c_str(), buf, sizeof buf) : -1;
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
    std::string_view target(buf, static_cast<std::size_t>(n));
    if (auto back = branch.map_back(target))
        return {DescriptorPlace::Kind::Upper, std::move(*back)};
    if (branch.matches(target)) return {DescriptorPlace::Kind::Workdir, std::string(target)};
    return {};
}

// A path argument resolved through the view: inside the working directory (`rel` set), outside,
// or the descriptor itself.
struct Place {
    Resolved where;
    std::optional<DescriptorPlace> descriptor;

    bool inside() const { return descriptor ? descriptor->kind != DescriptorPlace::Kind::Outside
                                            : where.rel.has_value(); }
    // The working-directory path the layer acts on.
    const std::string& path() const { return descriptor ? descriptor->view_path : where.path; }
};

// A relative path that leads out of W, from a directory of the upper tree where the kernel
// resolves it: by its own ".." it would climb into the layer's storage instead (EXDEV: it cannot
// be left to the kernel); through a link of W the kernel follows the link once the layer has
// placed it beside the directory. 0 when the kernel may resolve it.
int leave_from_upper(SeccompCowBranch& branch, const std::string& start, const std::string& path) {
    auto rel = branch.safe_rel(start);
    if (!rel) return EXDEV;
    std::vector<std::string> parts;
    auto walk = [&](const std::string& text, bool check_links) -> std::optional<int> {
        for (std::size_t i = 0; i <= text.size();) {
            const std::size_t j = std::min(text.find('/', i), text.size());
            std::string comp = text.substr(i, j - i);
            i = j + 1;
            if (comp.empty() || comp == ".") continue;
            if (comp == "..") {
                if (parts.empty()) return EXDEV;
                parts.pop_back();
                continue;
            }
            parts.push_back(std::move(comp));
            if (!check_links) continue;
            std::string at = branch.workdir_str();
            for (const auto& part : parts) at += "/" + part;
            auto entry = branch.locate(at);
            if (entry && S_ISLNK(entry->st.st_mode))
                return branch.place_for_kernel(at) ? 0 : EXDEV;
        }
        return std::nullopt;
    };
    if (auto done = walk(*rel, false)) return *done;
    return walk(path, true).value_or(0);
}

std::expected<Place, int> place_of(const Call& call, SeccompCowBranch& branch,
                                   const PathArg& arg, const ReadPath& read) {
    if (!read.bytes) {
        // Built member by member: GCC 12 at -O3 misreads a braced empty `Resolved` as used
        // uninitialised.
        Place place;
        place.descriptor = descriptor_place(branch, call.notif.pid, arg.dirfd);
        return place;
    }
    BranchView view(branch);
    auto where = resolve(view, PathRequest{call.notif.pid, arg.dirfd, *read.bytes, arg.follow,
                                           false});
    if (!where) return std::unexpected(where.error());
    if (!where->rel && !read.bytes->empty() && (*read.bytes)[0] != '/') {
        auto start = descriptor_place(branch, call.notif.pid, arg.dirfd);
        if (start.kind == DescriptorPlace::Kind::Upper)
            if (int error = leave_from_upper(branch, start.view_path, *read.bytes))
                return std::unexpected(error);
    }
    return Place{std::move(*where), std::nullopt};
}

// The absolute path with "." and ".." taken by their text, repeated and final "/" dropped.
std::string lexical(std::string_view path) {
    std::vector<std::string_view> parts;
    for (std::size_t i = 0; i < path.size();) {
        const std::size_t j = std::min(path.find('/', i), path.size());
        const std::string_view part = path.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
            continue;
        }
        parts.push_back(part);
    }
    std::string out;
    for (std::string_view part : parts) out.append("/").append(part);
    return out.empty() ? "/" : out;
}

bool lies_in(std::string_view path, std::string_view dir) {
    return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

// Where the kernel's own lookup of an absolute name goes, when it goes there by the name's text
// alone: then the layer need not walk it. Outside W (and outside the upper tree), the open is the
// kernel's; in W, a read of one of W's own files that the layer has not touched is the kernel's
// as well, since it opens the very file the view shows.
enum class QuickOpen : std::uint8_t { Unknown, Outside, OwnFile };

QuickOpen quick_open(const SeccompCowBranch& layer, const std::string& bytes, int flags,
                     bool follow) {
    if (bytes.empty() || bytes[0] != '/') return QuickOpen::Unknown;
    const std::string path = lexical(bytes);
    if (lies_in(path, layer.upper().native())) return QuickOpen::Unknown;
    const bool in_w = lies_in(path, layer.workdir_str());
    const bool reads = (flags & O_ACCMODE) == O_RDONLY &&
                       !(flags & (O_CREAT | O_TRUNC | O_PATH | __O_TMPFILE));
    if (in_w && (!reads || path.size() == layer.workdir_str().size())) return QuickOpen::Unknown;
    // No link and no mount point on the way (our root is the command's while the layer is in
    // force): the kernel's lookup is the text's, ".." included. A name that does not exist
    // outside W is the kernel's to refuse, or to make there.
    auto probe = sys::syscall::openat2(AT_FDCWD, bytes.c_str(), O_PATH | (follow ? 0 : O_NOFOLLOW),
                                       0, RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS |
                                              RESOLVE_NO_XDEV);
    if (!in_w) {
        if (probe) return QuickOpen::Outside;
        const int error = probe.error().code();
        return error == ENOENT || error == ENOTDIR ? QuickOpen::Outside : QuickOpen::Unknown;
    }
    struct stat st {};
    if (!probe || ::fstat(probe->get(), &st) != 0 || !S_ISREG(st.st_mode)) return QuickOpen::Unknown;
    const std::string_view rel = std::string_view(path).substr(layer.workdir_str().size() + 1);
    return layer.shows_own_entry(rel) ? QuickOpen::OwnFile : QuickOpen::Unknown;
}

// --- The write side ---

enum class Op : std::uint8_t {
    Mkdir,
    Unlink,
    Rename,
    Link,
    Symlink,
    Chmod,
    Chown,
    Truncate,
    Mknod,
    Utimens,
    SetXattr,
    RemoveXattr,
    Unserved,  // a change the layer cannot make (inode attributes by path)
};

enum class Times : std::uint8_t { Timespec, Timeval, Utimbuf };

// One write call, decoded from its registers.
struct WriteCall {
    Op op = Op::Unserved;
    PathArg path;                 // the name acted on (the new name of rename and link)
    std::optional<PathArg> from;  // the old name of rename and link
    std::uint64_t target = 0;     // symlink's target
    std::uint64_t mode = 0;
    std::uint32_t uid = 0;
    std::uint32_t gid = 0;
    std::int64_t length = 0;
    unsigned flags = 0;  // unlink's AT_REMOVEDIR, rename's flags, setxattr's flags
    bool bad_flags = false;
    Times times_kind = Times::Timespec;
    std::uint64_t times = 0;
    std::uint64_t name = 0;  // extended attribute name
    std::uint64_t value = 0;
    std::uint64_t size = 0;
    std::uint64_t xattr_args = 0;  // setxattrat's struct, read for value, size and flags
    std::uint64_t xattr_args_size = 0;
};

PathArg at(std::uint64_t dirfd, std::uint64_t path, bool follow, unsigned at_flags = 0) {
    PathArg arg{as_fd(dirfd), path, follow, false, false};
    if (at_flags & AT_SYMLINK_NOFOLLOW) arg.follow = false;
    arg.empty_is_dirfd = (at_flags & AT_EMPTY_PATH) != 0;
    return arg;
}
PathArg cwd(std::uint64_t path, bool follow) {
    return PathArg{AT_FDCWD, path, follow, false, false};
}

WriteCall decode_write(const seccomp_data& d) {
    const auto& a = d.args;
    WriteCall w;
    switch (d.nr) {
        case SYS_mkdirat:
            w.op = Op::Mkdir;
            w.path = at(a[0], a[1], false);
            w.mode = a[2];
            break;
        case SYS_mkdir:
            w.op = Op::Mkdir;
            w.path = cwd(a[0], false);
            w.mode = a[1];
            break;
        case SYS_unlinkat:
            w.op = Op::Unlink;
            w.path = at(a[0], a[1], false);
            w.flags = as_u32(a[2]);
            w.bad_flags = (w.flags & ~unsigned(AT_REMOVEDIR)) != 0;
            break;
        case SYS_unlink:
            w.op = Op::Unlink;
            w.path = cwd(a[0], false);
            break;
        case SYS_rmdir:
            w.op = Op::Unlink;
            w.path = cwd(a[0], false);
            w.flags = AT_REMOVEDIR;
            break;
        case SYS_renameat2:
            w.op = Op::Rename;
            w.path = at(a[2], a[3], false);
            w.from = at(a[0], a[1], false);
            w.flags = as_u32(a[4]);
            w.bad_flags = (w.flags & ~kRenameFlagsKnown) != 0;
            break;
        case SYS_renameat:
            w.op = Op::Rename;
            w.path = at(a[2], a[3], false);
            w.from = at(a[0], a[1], false);
            break;
        case SYS_rename:
            w.op = Op::Rename;
            w.path = cwd(a[1], false);
            w.from = cwd(a[0], false);
            break;
        case SYS_linkat: {
            const unsigned flags = as_u32(a[4]);
            w.op = Op::Link;
            w.path = at(a[2], a[3], false);
            w.from = at(a[0], a[1], (flags & AT_SYMLINK_FOLLOW) != 0, flags & AT_EMPTY_PATH);
            w.bad_flags = (flags & ~unsigned(AT_SYMLINK_FOLLOW | AT_EMPTY_PATH)) != 0;
            break;
        }
        case SYS_link:
            w.op = Op::Link;
            w.path = cwd(a[1], false);
            w.from = cwd(a[0], false);
            break;
        case SYS_symlinkat:
            w.op = Op::Symlink;
            w.path = at(a[1], a[2], false);
            w.target = a[0];
            break;
        case SYS_symlink:
            w.op = Op::Symlink;
            w.path = cwd(a[1], false);
            w.target = a[0];
            break;
        case SYS_fchmodat:
            w.op = Op::Chmod;
            w.path = at(a[0], a[1], true);
            w.mode = a[2];
            break;
        case SYS_chmod:
            w.op = Op::Chmod;
            w.path = cwd(a[0], true);
            w.mode = a[1];
            break;
        case SYS_fchownat: {
            const unsigned flags = as_u32(a[4]);
            w.op = Op::Chown;
            w.path = at(a[0], a[1], true, flags);
            w.uid = as_u32(a[2]);
            w.gid = as_u32(a[3]);
            w.bad_flags = (flags & ~unsigned(AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH)) != 0;
            break;
        }
        case SYS_chown:
        case SYS_lchown:
            w.op = Op::Chown;
            w.path = cwd(a[0], d.nr == SYS_chown);
            w.uid = as_u32(a[1]);
            w.gid = as_u32(a[2]);
            break;
        case SYS_truncate:
            w.op = Op::Truncate;
            w.path = cwd(a[0], true);
            w.length = static_cast<std::int64_t>(a[1]);
            break;
        case SYS_mknodat:
            w.op = Op::Mknod;
            w.path = at(a[0], a[1], false);
            w.mode = as_u32(a[2]);
            break;
        case SYS_mknod:
            w.op = Op::Mknod;
            w.path = cwd(a[0], false);
            w.mode = as_u32(a[1]);
            break;
        case SYS_utimensat: {
            const unsigned flags = as_u32(a[3]);
            w.op = Op::Utimens;
            w.path = at(a[0], a[1], true, flags);
            w.times = a[2];
            w.path.null_is_dirfd = true;
            w.bad_flags = (flags & ~unsigned(AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH)) != 0;
            break;
        }
        case SYS_futimesat:
            w.op = Op::Utimens;
            w.path = at(a[0], a[1], true);
            w.times_kind = Times::Timeval;
            w.times = a[2];
            w.path.null_is_dirfd = true;
            break;
        case SYS_utimes:
            w.op = Op::Utimens;
            w.path = cwd(a[0], true);
            w.times_kind = Times::Timeval;
            w.times = a[1];
            break;
        case SYS_utime:
            w.op = Op::Utimens;
            w.path = cwd(a[0], true);
            w.times_kind = Times::Utimbuf;
            w.times = a[1];
            break;
        case SYS_setxattr:
        case SYS_lsetxattr:
            w.op = Op::SetXattr;
            w.path = cwd(a[0], d.nr == SYS_setxattr);
            w.flags = as_u32(a[4]);
            w.name = a[1];
            w.value = a[2];
            w.size = a[3];
            break;
        case sys::NR_SETXATTRAT: {
            const unsigned flags = as_u32(a[2]);
            w.op = Op::SetXattr;
            w.path = at(a[0], a[1], true, flags);
            w.name = a[3];
            w.xattr_args = a[4];
            w.xattr_args_size = a[5];
            w.bad_flags = (flags & ~unsigned(AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH)) != 0;
            break;
        }
        case SYS_removexattr:
        case SYS_lremovexattr:
            w.op = Op::RemoveXattr;
            w.path = cwd(a[0], d.nr == SYS_removexattr);
            w.name = a[1];
            break;
        case sys::NR_REMOVEXATTRAT: {
            const unsigned flags = as_u32(a[2]);
            w.op = Op::RemoveXattr;
            w.path = at(a[0], a[1], true, flags);
            w.name = a[3];
            w.bad_flags = (flags & ~unsigned(AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH)) != 0;
            break;
        }
        case sys::NR_FILE_SETATTR:
            w.op = Op::Unserved;
            w.path = at(a[0], a[1], true, as_u32(a[4]));
            break;
        default:
            break;
    }
    return w;
}

// Everything a write call carries besides its paths, read from the child before the layer is
// locked.
struct WriteData {
    std::optional<ReadPath> from;
    ReadPath path;
    std::string target;
    std::optional<std::array<timespec, 2>> times;
    std::string name;
    std::string value;
    unsigned xattr_flags = 0;
};

std::expected<std::array<timespec, 2>, int> read_times(const Call& call, Times kind,
                                                       std::uint64_t address) {
    std::array<timespec, 2> out{};
    switch (kind) {
        case Times::Timespec: {
            auto bytes = read_exact(call, address, sizeof out);
            if (!bytes) return std::unexpected(bytes.error());
            std::memcpy(out.data(), bytes->data(), sizeof out);
            return out;
        }
        case Times::Timeval: {
            std::array<timeval, 2> tv{};
            auto bytes = read_exact(call, address, sizeof tv);
            if (!bytes) return std::unexpected(bytes.error());
            std::memcpy(tv.data(), bytes->data(), sizeof tv);
            for (std::size_t i = 0; i < 2; ++i) {
                if (tv[i].tv_usec < 0 || tv[i].tv_usec >= 1000000) return std::unexpected(EINVAL);
                out[i] = {tv[i].tv_sec, tv[i].tv_usec * 1000};
            }
            return out;
        }
        case Times::Utimbuf: {
            std::array<std::int64_t, 2> secs{};
            auto bytes = read_exact(call, address, sizeof secs);
            if (!bytes) return std::unexpected(bytes.error());
            std::memcpy(secs.data(), bytes->data(), sizeof secs);
            for (std::size_t i = 0; i < 2; ++i) out[i] = {secs[i], 0};
            return out;
        }
    }
    return std::unexpected(EINVAL);
}

std::expected<std::string, int> read_xattr_name(const Call& call, std::uint64_t address) {
    auto name = read_string(call, address, kXattrNameMax + 1);
    if (!name) return std::unexpected(name.error() == ENAMETOOLONG ? ERANGE : name.error());
    if (name->empty()) return std::unexpected(ERANGE);
    return name;
}

std::expected<WriteData, int> read_write_data(const Call& call, const WriteCall& w) {
    WriteData data;
    if (w.from) {
        auto from = read_path(call, *w.from);
        if (!from) return std::unexpected(from.error());
        data.from = std::move(*from);
    }
    auto path = read_path(call, w.path);
    if (!path) return std::unexpected(path.error());
    data.path = std::move(*path);
    if (w.op == Op::Symlink) {
        auto target = read_string(call, w.target, PATH_MAX);
        if (!target) return std::unexpected(target.error());
        if (target->empty()) return std::unexpected(ENOENT);
        data.target = std::move(*target);
    }
    if (w.op == Op::Utimens && w.times != 0) {
        auto times = read_times(call, w.times_kind, w.times);
        if (!times) return std::unexpected(times.error());
        data.times = *times;
    }
    if (w.op == Op::SetXattr || w.op == Op::RemoveXattr) {
        auto name = read_xattr_name(call, w.name);
        if (!name) return std::unexpected(name.error());
        data.name = std::move(*name);
    }
    if (w.op == Op::SetXattr) {
        std::uint64_t value = w.value, size = w.size;
        data.xattr_flags = w.flags;
        if (w.xattr_args != 0 || w.xattr_args_size != 0) {
            if (w.xattr_args_size < kXattrArgsSize) return std::unexpected(EINVAL);
            auto args = read_exact(call, w.xattr_args, kXattrArgsSize);
            if (!args) return std::unexpected(args.error());
            std::uint32_t size32, flags32;
            std::memcpy(&value, args->data(), 8);
            std::memcpy(&size32, args->data() + 8, 4);
            std::memcpy(&flags32, args->data() + 12, 4);
            size = size32;
            data.xattr_flags = flags32;
        }
        if (data.xattr_flags & ~unsigned(XATTR_CREATE | XATTR_REPLACE))
            return std::unexpected(EINVAL);
        if (size > kXattrSizeMax) return std::unexpected(E2BIG);
        auto bytes = read_exact(call, value, size);
        if (!bytes) return std::unexpected(bytes.error());
        data.value.assign(bytes->begin(), bytes->end());
    }
    return data;
}

// The permission bits of a new file or directory, under the child's umask (the supervisor's
// own umask is not the child's).
mode_t creation_mode(std::uint64_t mode, const std::optional<sys::proc::FileCredentials>& creds,
                     mode_t keep) {
    const mode_t umask = creds ? static_cast<mode_t>(creds->umask) : 022;
    return static_cast<mode_t>(mode) & keep & ~umask;
}

Answer layer_write(SeccompCowBranch& layer, const WriteCall& w, const WriteData& data,
                   const std::string& path,
                   const std::optional<sys::proc::FileCredentials>& creds) {
    switch (w.op) {
        case Op::Mkdir:
            return answer_of(layer.handle_mkdir(path, creation_mode(w.mode, creds, 01777)));
        case Op::Unlink:
            return answer_of(layer.handle_unlink(path, (w.flags & AT_REMOVEDIR) != 0));
        case Op::Symlink:
            return answer_of(layer.handle_symlink(data.target, path));
        case Op::Chmod:
            return answer_of(layer.handle_chmod(path, static_cast<mode_t>(w.mode & 07777)));
        case Op::Chown:
            return answer_of(layer.handle_chown(path, w.uid, w.gid));
        case Op::Truncate:
            if (w.length < 0) return fail(EINVAL);
            return answer_of(layer.handle_truncate(path, static_cast<std::uint64_t>(w.length)));
        case Op::Mknod: {
            const mode_t type = static_cast<mode_t>(w.mode) & S_IFMT;
            return answer_of(layer.handle_mknod(path, type | creation_mode(w.mode, creds, 07777)));
        }
        case Op::Utimens:
            return answer_of(layer.handle_utimens(path, data.times ? data.times->data() : nullptr));
        case Op::SetXattr:
            return answer_of(layer.handle_setxattr(path, data.name, data.value,
                                                   static_cast<int>(data.xattr_flags)));
        case Op::RemoveXattr:
            return answer_of(layer.handle_removexattr(path, data.name));
        case Op::Unserved:
            return fail(ENOTSUP);
        case Op::Rename:
        case Op::Link:
            break;
    }
    return fail(EINVAL);
}

// Ids a thread of another user namespace gives to chown are ids of that namespace: the
// namespace's root asking for 0 must not become our root. EINVAL for an id it maps to nothing.
int owner_to_ours(std::uint32_t tid, WriteCall& w) {
    if (w.op != Op::Chown || sys::proc::shares_user_namespace(tid)) return 0;
    auto uid = sys::proc::id_to_ours(tid, sys::proc::IdKind::User, w.uid);
    auto gid = sys::proc::id_to_ours(tid, sys::proc::IdKind::Group, w.gid);
    if (!uid || !gid) return EINVAL;
    w.uid = *uid;
    w.gid = *gid;
    return 0;
}

// Status answers show owners as the thread's namespace names them.
template <class Id>
void owner_to_theirs(std::uint32_t tid, Id& uid, Id& gid) {
    if (sys::proc::shares_user_namespace(tid)) return;
    uid = sys::proc::id_to_theirs(tid, sys::proc::IdKind::User, uid);
    gid = sys::proc::id_to_theirs(tid, sys::proc::IdKind::Group, gid);
}

// The metadata calls that name a descriptor: on a file of the upper tree the layer acts (under
// its rules); a file of the working directory itself is read-only until commit.
bool is_metadata_call(Op op) {
    return op == Op::Chmod || op == Op::Chown || op == Op::Utimens || op == Op::SetXattr ||
           op == Op::RemoveXattr || op == Op::Unserved;
}

Answer descriptor_write(SeccompCowBranch& layer, const WriteCall& w, const WriteData& data,
                        const DescriptorPlace& place,
                        const std::optional<sys::proc::FileCredentials>& creds) {
    switch (place.kind) {
        case DescriptorPlace::Kind::Outside:
            return std::nullopt;
        case DescriptorPlace::Kind::Workdir:
            if (is_metadata_call(w.op)) return fail(EROFS);
            break;
        case DescriptorPlace::Kind::Upper:
            break;
    }
    return layer_write(layer, w, data, place.view_path, creds);
}

Answer two_path_write(SeccompCowBranch& layer, const WriteCall& w, const Place& from,
                      const Place& to) {
    if (!from.inside() && !to.inside()) {
        if (from.where.through_layer_link || to.where.through_layer_link) return fail(EACCES);
        return std::nullopt;
    }
    // The working directory's contents live in the layer until commit: no name moves or links
    // across its edge.
    if (!from.inside() || !to.inside()) return fail(EXDEV);
    if (w.op == Op::Rename) return answer_of(layer.handle_rename(from.path(), to.path(), w.flags));
    return answer_of(layer.handle_link(from.path(), to.path()));
}

Answer fd_metadata_write(const Call& call);

bool layer_in_force(const Call& call) {
    std::lock_guard lock(call.shared.mutex);
    return call.shared.state.cow_branch.has_value();
}

// --- Opens ---

struct OpenCall {
    PathArg path;
    int flags = 0;
    std::uint64_t mode = 0;
};

OpenCall decode_open(const seccomp_data& d) {
    const auto& a = d.args;
    switch (d.nr) {
        case SYS_open:
            return {cwd(a[0], true), static_cast<int>(a[1]), a[2]};
        case SYS_creat:
            return {cwd(a[0], true), O_CREAT | O_WRONLY | O_TRUNC, a[1]};
        default:
            return {at(a[0], a[1], true), static_cast<int>(a[2]), a[3]};
    }
}

// --- The read side ---

// A file to describe: beneath a directory of the layer, or (reached through a link the
// command made) a host path, which the child may look at as well as we.
struct Subject {
    UniqueFd dir;
    std::string name;
    int dirfd() const { return dir ? dir.get() : AT_FDCWD; }
};

enum class Look : std::uint8_t { Stat, Statx, Access, Readlink, GetXattr, ListXattr };

struct ReadCall {
    Look look = Look::Stat;
    PathArg path;
    unsigned flags = 0;  // statx's flags, faccessat's mode
    unsigned mask = 0;   // statx's mask
    std::uint64_t buf = 0;
    std::uint64_t size = 0;
    std::uint64_t name = 0;
    std::uint64_t xattr_args = 0;
    std::uint64_t xattr_args_size = 0;
    bool bad_flags = false;
};

ReadCall decode_read(const seccomp_data& d) {
    const auto& a = d.args;
    ReadCall r;
    switch (d.nr) {
        case SYS_newfstatat:
            r.look = Look::Stat;
            r.path = at(a[0], a[1], true, as_u32(a[3]));
            r.buf = a[2];
            break;
        case SYS_stat:
        case SYS_lstat:
            r.look = Look::Stat;
            r.path = cwd(a[0], d.nr == SYS_stat);
            r.buf = a[1];
            break;
        case SYS_statx:
            r.look = Look::Statx;
            r.path = at(a[0], a[1], true, as_u32(a[2]));
            r.flags = as_u32(a[2]);
            r.mask = as_u32(a[3]);
            r.buf = a[4];
            break;
        case SYS_faccessat:
            r.look = Look::Access;
            r.path = at(a[0], a[1], true);
            r.flags = as_u32(a[2]);
            break;
        case SYS_faccessat2: {
            const unsigned flags = as_u32(a[3]);
            r.look = Look::Access;
            r.path = at(a[0], a[1], true, flags);
            r.flags = as_u32(a[2]);
            r.bad_flags =
                (flags & ~unsigned(AT_EACCESS | AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH)) != 0;
            break;
        }
        case SYS_access:
            r.look = Look::Access;
            r.path = cwd(a[0], true);
            r.flags = as_u32(a[1]);
            break;
        case SYS_readlinkat:
            r.look = Look::Readlink;
            r.path = at(a[0], a[1], false);
            r.buf = a[2];
            r.size = a[3];
            break;
        case SYS_readlink:
            r.look = Look::Readlink;
            r.path = cwd(a[0], false);
            r.buf = a[1];
            r.size = a[2];
            break;
        case SYS_getxattr:
        case SYS_lgetxattr:
            r.look = Look::GetXattr;
            r.path = cwd(a[0], d.nr == SYS_getxattr);
            r.buf = a[2];
            r.size = a[3];
            r.name = a[1];
            break;
        case sys::NR_GETXATTRAT:
            r.look = Look::GetXattr;
            r.path = at(a[0], a[1], true, as_u32(a[2]));
            r.name = a[3];
            r.xattr_args = a[4];
            r.xattr_args_size = a[5];
            break;
        case SYS_listxattr:
        case SYS_llistxattr:
            r.look = Look::ListXattr;
            r.path = cwd(a[0], d.nr == SYS_listxattr);
            r.buf = a[1];
            r.size = a[2];
            break;
        case sys::NR_LISTXATTRAT:
            r.look = Look::ListXattr;
            r.path = at(a[0], a[1], true, as_u32(a[2]));
            r.buf = a[3];
            r.size = a[4];
            break;
        default:
            break;
    }
    return r;
}

// Access as the child would be granted it by the permission bits, with its file-system ids.
// Root bypasses them only where it holds capabilities: in a user namespace of its own.
int access_error(const struct stat& st, unsigned mode,
                 const std::optional<sys::proc::FileCredentials>& creds, bool privileged) {
    if (mode & ~unsigned(R_OK | W_OK | X_OK)) return EINVAL;
    if (mode == F_OK) return 0;
    const std::uint32_t uid = creds ? creds->fsuid : ::getuid();
    const std::uint32_t gid = creds ? creds->fsgid : ::getgid();
    if (uid == 0 && privileged) {
        // Root passes every check but execution, which needs one execute bit on a file.
        if ((mode & X_OK) && !S_ISDIR(st.st_mode) && !(st.st_mode & 0111)) return EACCES;
        return 0;
    }
    unsigned granted = st.st_mode & 07;
    if (st.st_uid == uid)
        granted = (st.st_mode >> 6) & 07;
    else if (st.st_gid == gid)
        granted = (st.st_mode >> 3) & 07;
    return (granted & mode) == mode ? 0 : EACCES;
}

// The layer opens, copies and creates with the supervisor's rights. A caller that holds
// capabilities would lend them to the command, which holds none (beyond a user namespace of its
// own), so W's modes must then bind the command here as they bind its own calls. A caller
// without capabilities needs no such check: the kernel refuses the layer what it refuses the
// command.
struct ChildModes {
    std::optional<sys::proc::FileCredentials> creds;
    bool privileged = false;
};

// The state's mutex must not be held.
std::optional<ChildModes> modes_to_check(const Call& call) {
    if (!child_rights::holds_capabilities()) return std::nullopt;
    std::shared_ptr<child_rights::ChildRights> rights;
    {
        std::lock_guard lock(call.shared.mutex);
        rights = call.shared.state.child_rights;
    }
    // The thread's ids as the metadata rule keeps them (the umask plays no part here).
    auto facts = rights->facts(call.notif.pid);
    if (!facts) return ChildModes{std::nullopt, false};
    return ChildModes{sys::proc::FileCredentials{022, facts->creds.uids[3], facts->creds.gids[3]},
                      !facts->shares_user_namespace};
}

// 0, or the error the command's own call would get for `mode` on the entry the merged view
// shows at `path`; a missing entry is left to the operation's own answer.
int entry_access(const SeccompCowBranch& layer, std::string_view path, unsigned mode,
                 const ChildModes& m) {
    auto entry = layer.locate(path);
    return entry ? access_error(entry->st, mode, m.creds, m.privileged) : 0;
}

// Adding or removing a name needs write and search access to its directory.
int parent_access(const SeccompCowBranch& layer, std::string_view path, const ChildModes& m) {
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string_view::npos) return 0;
    const std::string_view parent = path.substr(0, slash == 0 ? 1 : slash);
    if (!layer.matches(parent)) return 0;
    return entry_access(layer, parent, W_OK | X_OK, m);
}

// Changing the mode or owner needs the file's owner.
int owner_access(const SeccompCowBranch& layer, std::string_view path, const ChildModes& m) {
    auto entry = layer.locate(path);
    if (!entry || (m.privileged && m.creds && m.creds->fsuid == 0)) return 0;
    const std::uint32_t uid = m.creds ? m.creds->fsuid : ::getuid();
    return entry->st.st_uid == uid ? 0 : EPERM;
}

int open_access(const SeccompCowBranch& layer, std::string_view path, int flags,
                const ChildModes& m) {
    if (flags & O_PATH) return 0;
    const int acc = flags & O_ACCMODE;
    unsigned mode = acc == O_RDONLY ? R_OK : acc == O_WRONLY ? W_OK : R_OK | W_OK;
    if (flags & O_TRUNC) mode |= W_OK;
    if (auto entry = layer.locate(path))
        return access_error(entry->st, mode, m.creds, m.privileged);
    return (flags & O_CREAT) ? parent_access(layer, path, m) : 0;
}

int write_access(const SeccompCowBranch& layer, Op op, std::string_view path,
                 const ChildModes& m) {
    switch (op) {
        case Op::Mkdir:
        case Op::Unlink:
        case Op::Symlink:
        case Op::Mknod:
        case Op::Rename:
        case Op::Link:
            return parent_access(layer, path, m);
        case Op::Truncate:
        case Op::SetXattr:
        case Op::RemoveXattr:
            return entry_access(layer, path, W_OK, m);
        case Op::Chmod:
        case Op::Chown:
            return owner_access(layer, path, m);
        case Op::Utimens:
            return owner_access(layer, path, m) == 0 ? 0 : entry_access(layer, path, W_OK, m);
        default:
            return 0;
    }
}

// A descriptor that names the subject itself, never what a link there points to.
UniqueFd open_subject(const Subject& s) {
    return UniqueFd(::openat(s.dirfd(), s.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
}

std::string proc_self_fd(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

NotifAction xattr_answer(const Call& call, ssize_t got, const std::vector<char>& buf,
                         std::uint64_t address) {
    if (got < 0) return fail(errno);
    if (buf.empty()) return done(got);
    return write_back(call, address,
                      std::span(reinterpret_cast<const std::uint8_t*>(buf.data()),
                                static_cast<std::size_t>(got)),
                      got);
}

NotifAction look_at(const Call& call, const ReadCall& r, const Subject& s,
                    const std::string& xattr_name, std::uint64_t value_address,
                    std::uint64_t value_size) {
    switch (r.look) {
        case Look::Stat: {
            struct stat st;
            if (::fstatat(s.dirfd(), s.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return fail(errno);
            static_assert(sizeof st == 144, "the x86-64 struct stat of the system call");
            owner_to_theirs(call.notif.pid, st.st_uid, st.st_gid);
            return write_struct(call, r.buf, st);
        }
        case Look::Statx: {
            struct statx stx;
            std::memset(&stx, 0, sizeof stx);
            const int flags = AT_SYMLINK_NOFOLLOW | static_cast<int>(r.flags & AT_STATX_SYNC_TYPE);
            if (::statx(s.dirfd(), s.name.c_str(), flags, r.mask, &stx) != 0) return fail(errno);
            owner_to_theirs(call.notif.pid, stx.stx_uid, stx.stx_gid);
            return write_struct(call, r.buf, stx);
        }
        case Look::Access: {
            struct stat st;
            if (::fstatat(s.dirfd(), s.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
                return fail(errno);
            int error = access_error(st, r.flags, sys::proc::file_credentials(call.notif.pid),
                                     !sys::proc::shares_user_namespace(call.notif.pid));
            return error ? fail(error) : done();
        }
        case Look::Readlink:
            break;  // answered from the layer
        case Look::GetXattr:
        case Look::ListXattr: {
            UniqueFd fd = open_subject(s);
            if (!fd) return fail(errno);
            std::vector<char> buf(std::min<std::uint64_t>(value_size, kXattrSizeMax));
            const std::string self = proc_self_fd(fd.get());
            ssize_t got = r.look == Look::GetXattr
                              ? ::getxattr(self.c_str(), xattr_name.c_str(), buf.data(), buf.size())
                              : ::listxattr(self.c_str(), buf.data(), buf.size());
            return xattr_answer(call, got, buf, value_address);
        }
    }
    return fail(EINVAL);
}

NotifAction readlink_answer(const Call& call, const ReadCall& r,
                            std::expected<std::string, int> target) {
    if (!target) return fail(target.error());
    const auto size = static_cast<std::int64_t>(r.size);
    if (size <= 0 || size > INT_MAX) return fail(EINVAL);
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(size), target->size());
    return write_back(call, r.buf,
                      std::span(reinterpret_cast<const std::uint8_t*>(target->data()), n),
                      static_cast<std::int64_t>(n));
}

std::expected<std::string, int> host_readlink(const std::string& path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    if (n < 0) return std::unexpected(errno);
    return std::string(buf, static_cast<std::size_t>(n));
}

// /proc/<pid>/cwd or /proc/<pid>/task/<tid>/cwd.
bool is_proc_cwd(std::string_view path) {
    auto digits = [](std::string_view s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
    };
    if (!path.starts_with("/proc/") || !path.ends_with("/cwd")) return false;
    std::string_view mid = path.substr(6, path.size() - 6 - 4);
    auto slash = mid.find('/');
    if (slash == std::string_view::npos) return digits(mid);
    if (!digits(mid.substr(0, slash))) return false;
    mid = mid.substr(slash + 1);
    return mid.starts_with("task/") && digits(mid.substr(5));
}

Answer handle_listing(const Call& call) {
    const int fd = as_fd(call.notif.data.args[0]);
    std::string rel;
    {
        std::lock_guard lock(call.shared.mutex);
        auto& layer = call.shared.state.cow_branch;
        if (!layer) return std::nullopt;
        DescriptorPlace place = descriptor_place(*layer, call.notif.pid, fd);
        if (place.kind == DescriptorPlace::Kind::Outside) return std::nullopt;
        auto r = layer->safe_rel(place.view_path);
        if (!r) return std::nullopt;
        rel = std::move(*r);
    }
    auto& state = call.shared.state;
    return procfs::deliver_listing(
        call.notif, call.listener, call.shared.mutex, state.cow_dir_cache,
        [&]() -> std::expected<std::vector<procfs::DirEntry>, int> {
            if (!state.cow_branch) return std::unexpected(EBADF);
            return state.cow_branch->merged_dir_entries(rel);
        });
}

}  // namespace

// --- Routing ---

bool is_cow_write(int nr) {
    // clang-format off
    switch (nr) {
        case SYS_mkdirat: case SYS_mkdir: case SYS_unlinkat: case SYS_unlink: case SYS_rmdir:
        case SYS_renameat2: case SYS_renameat: case SYS_rename: case SYS_linkat: case SYS_link:
        case SYS_symlinkat: case SYS_symlink: case SYS_fchmodat: case SYS_chmod:
        case SYS_fchownat: case SYS_chown: case SYS_lchown: case SYS_truncate:
        case SYS_mknodat: case SYS_mknod:
        case SYS_utimensat: case SYS_futimesat: case SYS_utimes: case SYS_utime:
        case SYS_setxattr: case SYS_lsetxattr: case sys::NR_SETXATTRAT:
        case SYS_removexattr: case SYS_lremovexattr: case sys::NR_REMOVEXATTRAT: case sys::NR_FILE_SETATTR:
        case SYS_fchmod: case SYS_fchown: case SYS_fsetxattr: case SYS_fremovexattr: case SYS_ioctl:
        case SYS_openat2: case sys::NR_FCHMODAT2:
            return true;
        default:
            return false;
    }
    // clang-format on
}

bool is_cow_open(int nr) {
    return nr == SYS_openat || nr == SYS_open || nr == SYS_creat;
}

bool is_cow_read(int nr) {
    // clang-format off
    switch (nr) {
        case SYS_getdents: case SYS_getdents64:
        case SYS_newfstatat: case SYS_stat: case SYS_lstat: case SYS_statx:
        case SYS_faccessat: case SYS_faccessat2: case SYS_access:
        case SYS_readlinkat: case SYS_readlink:
        case SYS_getxattr: case SYS_lgetxattr: case sys::NR_GETXATTRAT:
        case SYS_listxattr: case SYS_llistxattr: case sys::NR_LISTXATTRAT:
            return true;
        default:
            return false;
    }
    // clang-format on
}

std::expected<std::string, int> read_string(const Call& call, std::uint64_t address,
                                            std::size_t limit) {
    if (address == 0) return std::unexpected(EFAULT);
    constexpr std::size_t kPage = 4096;
    std::string out;
    while (out.size() < limit) {
        // Never ask across a page boundary: the next page may be unmapped while the string
        // ends before it.
        const std::size_t chunk =
            std::min(limit - out.size(), kPage - static_cast<std::size_t>(address % kPage));
        std::array<std::uint8_t, kPage> buf;
        auto got = seccomp::notif::read_child_mem_into(call.listener, call.notif, address,
                                                       std::span(buf.data(), chunk));
        if (!got || *got == 0) return std::unexpected(EFAULT);
        const auto* begin = reinterpret_cast<const char*>(buf.data());
        const std::string_view piece(begin, *got);
        if (std::size_t nul = piece.find('\0'); nul != std::string_view::npos) {
            out.append(piece.substr(0, nul));
            return out;
        }
        out.append(piece);
        if (*got < chunk) return std::unexpected(EFAULT);
        address += chunk;
    }
    return std::unexpected(ENAMETOOLONG);
}

std::optional<NotifAction> handle_cow_write(const Call& call) {
    const int nr = call.notif.data.nr;
    if (nr == SYS_openat2 || nr == sys::NR_FCHMODAT2) {
        // C libraries fall back to openat and fchmodat, which the layer serves.
        return layer_in_force(call) ? std::optional<NotifAction>(fail(ENOSYS)) : std::nullopt;
    }
    if (nr == SYS_fchmod || nr == SYS_fchown || nr == SYS_fsetxattr || nr == SYS_fremovexattr ||
        nr == SYS_ioctl)
        return fd_metadata_write(call);

    WriteCall w = decode_write(call.notif.data);
    auto data = read_write_data(call, w);
    const int owner_error = owner_to_ours(call.notif.pid, w);
    // Only what the call creates needs the child's umask.
    const bool creates = w.op == Op::Mkdir || w.op == Op::Mknod;
    const auto creds = creates ? sys::proc::file_credentials(call.notif.pid) : std::nullopt;

    const auto modes = modes_to_check(call);

    std::lock_guard lock(call.shared.mutex);
    auto& layer = call.shared.state.cow_branch;
    if (!layer) return std::nullopt;
    if (!data) return fail(data.error());
    if (w.bad_flags || owner_error) return fail(EINVAL);

    auto to = place_of(call, *layer, w.path, data->path);
    if (!to) return fail(to.error());
    if (w.from) {
        auto from = place_of(call, *layer, *w.from, *data->from);
        if (!from) return fail(from.error());
        if (modes && from->inside() && to->inside()) {
            if (int error = write_access(*layer, w.op, to->path(), *modes)) return fail(error);
            if (w.op == Op::Rename)
                if (int error = parent_access(*layer, from->path(), *modes)) return fail(error);
        }
        return two_path_write(*layer, w, *from, *to);
    }
    if (to->descriptor) return descriptor_write(*layer, w, *data, *to->descriptor, creds);
    if (!to->inside()) {
        if (to->where.through_layer_link) return fail(EACCES);
        return std::nullopt;
    }
    if (modes)
        if (int error = write_access(*layer, w.op, to->path(), *modes)) return fail(error);
    return layer_write(*layer, w, *data, to->path(), creds);
}

namespace {

bool is_attribute_ioctl(std::uint64_t request) {
    // The kernel reads the request as a 32-bit number.
    const auto r = static_cast<std::uint32_t>(request);
    return r == sys::SET_FLAGS_REQUEST || r == sys::SET_FLAGS_32_REQUEST ||
           r == sys::SET_FSXATTR_REQUEST;
}

Answer fd_metadata_write(const Call& call) {
    const auto& d = call.notif.data;
    const auto& a = d.args;
    WriteCall w;
    w.path = PathArg{as_fd(a[0]), 0, false, true, true};
    WriteData data;
    switch (d.nr) {
        case SYS_fchmod:
            w.op = Op::Chmod;
            w.mode = a[1];
            break;
        case SYS_fchown:
            w.op = Op::Chown;
            w.uid = as_u32(a[1]);
            w.gid = as_u32(a[2]);
            break;
        case SYS_fsetxattr:
        case SYS_fremovexattr:
            w.op = d.nr == SYS_fsetxattr ? Op::SetXattr : Op::RemoveXattr;
            w.name = a[1];
            if (d.nr == SYS_fsetxattr) {
                w.value = a[2];
                w.size = a[3];
                w.flags = as_u32(a[4]);
            }
            break;
        default:
            // Of the ioctls only those that change inode flags or attributes are the layer's.
            if (!is_attribute_ioctl(a[1])) return std::nullopt;
            w.op = Op::Unserved;
            break;
    }
    std::expected<WriteData, int> read = data;
    if (w.op == Op::SetXattr || w.op == Op::RemoveXattr) read = read_write_data(call, w);
    if (int error = owner_to_ours(call.notif.pid, w)) read = std::unexpected(error);

    std::lock_guard lock(call.shared.mutex);
    auto& layer = call.shared.state.cow_branch;
    if (!layer) return std::nullopt;
    DescriptorPlace place = descriptor_place(*layer, call.notif.pid, w.path.dirfd);
    if (place.kind == DescriptorPlace::Kind::Outside) return std::nullopt;
    if (place.kind == DescriptorPlace::Kind::Workdir) return fail(EROFS);
    // A file of the upper tree: inode flags are the kernel's to set on the copy.
    if (w.op == Op::Unserved) return std::nullopt;
    if (!read) return fail(read.error());
    return layer_write(*layer, w, *read, place.view_path, std::nullopt);
}

}  // namespace

namespace {

// A path argument as the kernel will resolve it after a Continue, from the thread's own
// directories: /proc/self names the thread's process, not ours.
std::string kernel_path(std::uint32_t tid, int dirfd, const std::string& path) {
    const std::string proc = "/proc/" + std::to_string(tid);
    if (!path.empty() && path[0] == '/') {
        for (std::string_view self : {"/proc/self/", "/proc/thread-self/"})
            if (path.starts_with(self)) {
                auto tgid = sys::proc::thread_group(tid);
                if (!tgid) return path;
                const std::string base = "/proc/" + std::to_string(*tgid) + "/";
                return self == "/proc/self/" ? base + path.substr(self.size())
                                             : base + "task/" + std::to_string(tid) + "/" +
                                                   path.substr(self.size());
            }
        return path;
    }
    if (dirfd == AT_FDCWD) return proc + "/cwd/" + path;
    return proc + "/fd/" + std::to_string(dirfd) + "/" + path;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// What the kernel finds at the path: the status of the file, following a final link as asked.
std::optional<struct stat> kernel_sees(std::uint32_t tid, int dirfd, const std::string& path,
                                       bool follow) {
    struct stat st;
    const std::string at = kernel_path(tid, dirfd, path);
    if (::fstatat(AT_FDCWD, at.c_str(), &st, follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0)
        return std::nullopt;
    return st;
}

// The directory a relative path starts from lies in the upper tree: the kernel finds the names
// the layer placed there.
bool starts_in_upper(const SeccompCowBranch& layer, std::uint32_t tid, int dirfd,
                     const std::string& path) {
    if (!path.empty() && path[0] == '/') return false;
    const std::string proc = "/proc/" + std::to_string(tid);
    char buf[PATH_MAX];
    const std::string link = dirfd == AT_FDCWD ? proc + "/cwd" : proc + "/fd/" + std::to_string(dirfd);
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return false;
    return layer.map_back(std::string_view(buf, static_cast<std::size_t>(n))).has_value();
}

bool is_script(int fd) {
    char head[2];
    return ::pread(fd, head, sizeof head, 0) == 2 && head[0] == '#' && head[1] == '!';
}

// The executable the view shows, for a path the kernel would resolve to another file: a
// descriptor of it, or the error the call gives.
struct ExecPlan {
    bool kernel_finds_it = false;
    UniqueFd file;
};

std::expected<ExecPlan, int> plan_exec(const Call& call, SeccompCowBranch& layer, const PathArg& arg,
                                       const std::string& path, const std::string& view_path) {
    auto entry = layer.locate(view_path);
    if (!entry) return std::unexpected(entry.error());
    if (S_ISLNK(entry->st.st_mode)) return std::unexpected(ELOOP);  // AT_SYMLINK_NOFOLLOW
    if (!S_ISREG(entry->st.st_mode)) return std::unexpected(EACCES);
    const std::uint32_t tid = call.notif.pid;
    if (auto seen = kernel_sees(tid, arg.dirfd, path, arg.follow); seen && same_file(*seen, entry->st))
        return ExecPlan{true, {}};
    // From a directory of the upper tree the kernel finds what the layer places beside it.
    if (starts_in_upper(layer, tid, arg.dirfd, path) && layer.place_for_kernel(view_path)) {
        auto placed = layer.locate(view_path);
        auto seen = kernel_sees(tid, arg.dirfd, path, arg.follow);
        if (placed && seen && same_file(*seen, placed->st)) return ExecPlan{true, {}};
    }
    int fd = ::openat(entry->dir.get(), entry->name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::unexpected(errno);
    return ExecPlan{false, UniqueFd(fd)};
}

// The kernel is to run the view's file under the name the child gave: the name is replaced in
// place by one of a descriptor installed in the child, when that fits in its bytes. The
// descriptor stays open across the exec for a script, whose interpreter opens it by that name.
NotifAction redirect_exec(const Call& call, const PathArg& arg, const std::string& path,
                          UniqueFd file) {
    constexpr std::string_view kSelfFd = "/proc/self/fd/";
    // The shortest name a descriptor can have; whatever is shorter cannot be redirected.
    if (path.size() < kSelfFd.size() + 1) return fail(EACCES);
    auto number = seccomp::notif::add_fd(call.listener, call.notif.id, file.get(), !is_script(file.get()));
    if (!number) return fail(number.error().code() ? number.error().code() : EACCES);
    std::string name = std::string(kSelfFd) + std::to_string(*number);
    if (name.size() > path.size()) return fail(EACCES);
    name.push_back('\0');
    auto put = seccomp::notif::write_child_mem(
        call.listener, call.notif, arg.address,
        std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size()));
    if (!put) return fail(EACCES);
    return NotifAction::Continue{};
}

Answer handle_exec(const Call& call) {
    const auto& a = call.notif.data.args;
    const bool at_form = call.notif.data.nr == SYS_execveat;
    const unsigned flags = at_form ? as_u32(a[4]) : 0;
    PathArg arg = at_form ? at(a[0], a[1], true, flags) : cwd(a[0], true);
    auto path = read_path(call, arg);
    std::expected<ExecPlan, int> plan = std::unexpected(EACCES);
    {
        std::lock_guard lock(call.shared.mutex);
        auto& layer = call.shared.state.cow_branch;
        if (!layer) return std::nullopt;
        if (!path) return fail(path.error());
        if (!path->bytes) return std::nullopt;  // the descriptor itself, which the layer handed out
        if (quick_open(*layer, *path->bytes, O_RDONLY, arg.follow) == QuickOpen::Outside)
            return std::nullopt;
        auto place = place_of(call, *layer, arg, *path);
        if (!place) return fail(place.error());
        if (!place->inside()) {
            if (place->where.through_layer_link) return fail(EACCES);
            return std::nullopt;
        }
        plan = plan_exec(call, *layer, arg, *path->bytes, place->path());
    }
    if (!plan) return fail(plan.error());
    if (plan->kernel_finds_it) return std::nullopt;
    return redirect_exec(call, arg, *path->bytes, std::move(plan->file));
}

// The shortest name by which the kernel reaches `target` from the directory `from` (both
// canonical; `from` empty when unknown): a relative one when it is shorter, else `target`.
std::string shortest_name(const std::string& from, const std::string& target) {
    if (from.empty() || from[0] != '/') return target;
    auto parts = [](const std::string& p) {
        std::vector<std::string_view> out;
        std::string_view rest(p);
        for (std::size_t i = 0; i < rest.size();) {
            const std::size_t j = std::min(rest.find('/', i), rest.size());
            if (j > i) out.push_back(rest.substr(i, j - i));
            i = j + 1;
        }
        return out;
    };
    const auto a = parts(from);
    const auto b = parts(target);
    std::size_t common = 0;
    while (common < a.size() && common < b.size() && a[common] == b[common]) ++common;
    std::string rel;
    for (std::size_t i = common; i < a.size(); ++i) rel += rel.empty() ? ".." : "/..";
    for (std::size_t i = common; i < b.size(); ++i) (rel += rel.empty() ? "" : "/") += b[i];
    if (rel.empty()) rel = ".";
    return rel.size() < target.size() ? rel : target;
}

// A directory's canonical path and identity.
struct Directory {
    std::string path;
    struct stat st;
};
std::optional<Directory> directory_at(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    UniqueFd owned(fd);
    Directory d;
    char buf[PATH_MAX];
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    ssize_t n = ::readlink(self.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf || ::fstat(fd, &d.st) != 0)
        return std::nullopt;
    d.path.assign(buf, static_cast<std::size_t>(n));
    return d;
}

std::string working_directory(std::uint32_t tid) {
    char buf[PATH_MAX];
    const std::string link = "/proc/" + std::to_string(tid) + "/cwd";
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof buf) return {};
    std::string dir(buf, static_cast<std::size_t>(n));
    // A removed directory: no name leads anywhere from it.
    if (dir.ends_with(" (deleted)")) return {};
    return dir;
}

// How a chdir into a directory of the view is served.
struct ChdirPlan {
    static ChdirPlan answered(NotifAction answer) {
        ChdirPlan plan;
        plan.answer = std::move(answer);
        return plan;
    }
    std::optional<NotifAction> answer;  // set: this answer, no steering
    std::string kernel_name;            // else the name that leads the kernel to the mirror
    bool otherwise_continue = false;    // when steering cannot be done: W's own directory, or EXDEV

    NotifAction otherwise() const {
        return otherwise_continue ? NotifAction(NotifAction::Continue{}) : fail(EXDEV);
    }
};

ChdirPlan plan_chdir(const Call& call, SeccompCowBranch& layer, const std::string& view_path,
                     const std::string& bytes) {
    const std::uint32_t tid = call.notif.pid;
    auto entry = layer.locate(view_path);
    if (!entry) return ChdirPlan::answered(fail(entry.error()));
    if (!S_ISDIR(entry->st.st_mode)) return ChdirPlan::answered(fail(ENOTDIR));
    auto seen = kernel_sees(tid, AT_FDCWD, bytes, true);
    // W's own directory by that name, where the kernel would go unaided: the layer answers the
    // calls made from there on the view, though the kernel finds nothing the run made there.
    ChdirPlan plan;
    if (seen && S_ISDIR(seen->st_mode)) {
        struct stat own;
        plan.otherwise_continue = ::lstat(view_path.c_str(), &own) == 0 && same_file(*seen, own);
    }
    auto mirror_path = layer.ensure_dir_mirror(view_path);
    auto mirror = mirror_path ? directory_at(*mirror_path) : std::nullopt;
    if (!mirror) return ChdirPlan::answered(plan.otherwise());
    if (seen && same_file(*seen, mirror->st)) return ChdirPlan::answered(NotifAction::Continue{});
    plan.kernel_name = shortest_name(working_directory(tid), mirror->path);
    if (plan.kernel_name.size() > bytes.size())
        return ChdirPlan::answered(plan.otherwise());
    return plan;
}

// chdir: the process is to stand in the view's directory, which is its mirror in the upper tree
// (made where missing), so that the kernel finds the layer's names from there and getcwd can
// name W's path. A name that leads the kernel there already is left to it; any other (an absolute
// name, one from a directory outside the mirror) is steered there: the kernel reads a name of
// the mirror instead, no longer than the program's, and the program gets its own bytes back
// before it runs on. Where that cannot be done, a directory W has is entered as W's, and one
// made in the run is EXDEV.
Answer handle_chdir(const Call& call) {
    PathArg arg = cwd(call.notif.data.args[0], true);
    auto path = read_path(call, arg);
    ChdirPlan plan;
    {
        std::lock_guard lock(call.shared.mutex);
        auto& layer = call.shared.state.cow_branch;
        if (!layer) return std::nullopt;
        if (!path) return fail(path.error());
        auto place = place_of(call, *layer, arg, *path);
        if (!place) return fail(place.error());
        if (!place->inside()) {
            if (place->where.through_layer_link) return fail(EACCES);
            return std::nullopt;
        }
        plan = plan_chdir(call, *layer, place->path(), *path->bytes);
    }
    if (plan.answer) return std::move(plan.answer);
    const std::string& bytes = *path->bytes;
    const std::span<const std::uint8_t> original(reinterpret_cast<const std::uint8_t*>(bytes.c_str()),
                                                 bytes.size() + 1);
    const std::span<const std::uint8_t> kernel(
        reinterpret_cast<const std::uint8_t*>(plan.kernel_name.c_str()), plan.kernel_name.size() + 1);
    if (seccomp::notif::continue_steered(call, arg.address, kernel, original, plan.otherwise()))
        return NotifAction::Hold{};
    return plan.otherwise();
}

// What the view shows at a name a call passes (followed as the call follows it), for the calls
// the kernel resolves itself from the directory the process stands in: the entry, or the
// answer. None when the kernel finds that entry by the name itself, or the name lies outside W.
struct SeenEntry {
    std::optional<NotifAction> answer;
    UniqueFd file;  // an O_PATH descriptor of the view's entry
};

std::optional<SeenEntry> view_entry_for_kernel(const Call& call, SeccompCowBranch& layer,
                                               const PathArg& arg, const ReadPath& path) {
    auto answered = [](NotifAction a) { return SeenEntry{std::move(a), {}}; };
    if (!path.bytes) return std::nullopt;
    auto place = place_of(call, layer, arg, path);
    if (!place) return answered(fail(place.error()));
    if (!place->inside()) {
        if (place->where.through_layer_link) return answered(fail(EACCES));
        return std::nullopt;
    }
    auto entry = layer.locate(place->path());
    if (!entry) return answered(fail(entry.error()));
    auto seen = kernel_sees(call.notif.pid, arg.dirfd, *path.bytes, arg.follow);
    if (seen && same_file(*seen, entry->st)) return std::nullopt;
    int fd = ::openat(entry->dir.get(), entry->name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return answered(fail(errno));
    return SeenEntry{std::nullopt, UniqueFd(fd)};
}

// statfs by a name the kernel would resolve elsewhere (a name only W holds, from a mirrored
// directory): the file system of the view's entry.
Answer handle_statfs(const Call& call) {
    PathArg arg = cwd(call.notif.data.args[0], true);
    auto path = read_path(call, arg);
    struct statfs out {};
    {
        std::lock_guard lock(call.shared.mutex);
        auto& layer = call.shared.state.cow_branch;
        if (!layer) return std::nullopt;
        if (!path) return fail(path.error());
        auto seen = view_entry_for_kernel(call, *layer, arg, *path);
        if (!seen) return std::nullopt;
        if (seen->answer) return std::move(seen->answer);
        if (::fstatfs(seen->file.get(), &out) != 0) return fail(errno);
    }
    return write_struct(call, call.notif.data.args[1], out);
}

// The command's own descriptor `fd`, duplicated into the supervisor.
std::expected<UniqueFd, int> command_descriptor(const Call& call, int fd) {
    auto tgid = sys::proc::thread_group(call.notif.pid);
    if (!tgid) return std::unexpected(ESRCH);
    auto pidfd = sys::syscall::pidfd_open(static_cast<std::int32_t>(*tgid), 0);
    if (!pidfd) return std::unexpected(ESRCH);
    auto dup = sys::syscall::pidfd_getfd(pidfd->get(), fd, 0);
    if (!dup) return std::unexpected(dup.error().code() == EBADF ? EBADF : EPERM);
    // The pid may have been given to another process meanwhile.
    if (!seccomp::notif::still_valid(call.listener, call.notif.id)) return std::unexpected(ESRCH);
    return std::move(*dup);
}

// inotify_add_watch by a name the kernel would resolve elsewhere: the watch goes on the view's
// entry, added to the command's own inotify instance.
Answer handle_inotify_add_watch(const Call& call) {
    const auto& a = call.notif.data.args;
    const std::uint32_t mask = as_u32(a[2]);
    PathArg arg = cwd(a[1], !(mask & IN_DONT_FOLLOW));
    auto path = read_path(call, arg);
    UniqueFd entry;
    {
        std::lock_guard lock(call.shared.mutex);
        auto& layer = call.shared.state.cow_branch;
        if (!layer) return std::nullopt;
        if (!path) return fail(path.error());
        auto seen = view_entry_for_kernel(call, *layer, arg, *path);
        if (!seen) return std::nullopt;
        if (seen->answer) return std::move(seen->answer);
        entry = std::move(seen->file);
    }
    auto instance = command_descriptor(call, as_fd(a[0]));
    if (!instance) return fail(instance.error());
    // The descriptor's name leads to the entry itself, a link included: it is not followed again.
    const std::string name = "/proc/self/fd/" + std::to_string(entry.get());
    int wd = ::inotify_add_watch(instance->get(), name.c_str(), mask & ~IN_DONT_FOLLOW);
    return wd >= 0 ? done(wd) : fail(errno);
}

// bind of a Unix socket by a name relative to a mirrored directory: the kernel would make the
// socket in the upper tree, where the command may not write. The layer binds the command's own
// socket there by the same name, from the same directory, with the command's umask; an existing
// name of the view is EADDRINUSE. Other names are the kernel's (an absolute name in W: EACCES).
Answer handle_unix_bind(const Call& call) {
    const auto& a = call.notif.data.args;
    constexpr std::size_t kPathAt = offsetof(sockaddr_un, sun_path);
    const std::uint64_t length = a[2];
    if (length <= kPathAt || length > sizeof(sockaddr_un)) return std::nullopt;
    auto bytes = read_exact(call, a[1], length);
    if (!bytes) return std::nullopt;
    sockaddr_un address{};
    std::memcpy(&address, bytes->data(), length);
    if (address.sun_family != AF_UNIX || address.sun_path[0] == '\0' || address.sun_path[0] == '/')
        return std::nullopt;
    const std::string name(address.sun_path, ::strnlen(address.sun_path, length - kPathAt));
    const std::uint32_t tid = call.notif.pid;
    {
        std::lock_guard lock(call.shared.mutex);
        auto& layer = call.shared.state.cow_branch;
        if (!layer || !layer->map_back(working_directory(tid))) return std::nullopt;
        PathArg arg = cwd(0, false);
        auto place = place_of(call, *layer, arg, ReadPath{name});
        if (!place) return fail(place.error());
        if (!place->inside()) return place->where.through_layer_link ? fail(EACCES) : Answer{};
        if (layer->locate(place->path())) return fail(EADDRINUSE);
        const std::string& view = place->path();
        auto mirror = layer->ensure_dir_mirror(view.substr(0, view.rfind('/')));
        if (!mirror) return fail(mirror.error());
        // The kernel must reach the mirror by the name's own directory part.
        const std::size_t slash = name.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : name.substr(0, slash + 1);
        struct stat mst;
        auto seen = kernel_sees(tid, AT_FDCWD, dir, true);
        if (::stat(mirror->c_str(), &mst) != 0 || !seen || !same_file(*seen, mst)) return fail(EXDEV);
        layer->mark_dirty();
    }
    auto socket = command_descriptor(call, as_fd(a[0]));
    if (!socket) return fail(socket.error());
    const auto creds = sys::proc::file_credentials(tid);
    int error = 0;
    // A thread of our own that stands where the command's does, so that the name resolves as the
    // command's would, and that may take the command's umask without changing ours.
    std::thread([&] {
        const std::string there = "/proc/" + std::to_string(tid) + "/cwd";
        if (::unshare(CLONE_FS) != 0 || ::chdir(there.c_str()) != 0) {
            error = errno;
            return;
        }
        ::umask(creds ? creds->umask : 022);
        if (::bind(socket->get(), reinterpret_cast<const sockaddr*>(&address),
                   static_cast<socklen_t>(length)) != 0)
            error = errno;
    }).join();
    return error ? fail(error) : done();
}

// getcwd in a mirrored directory: the kernel would name the layer's storage.
Answer handle_getcwd(const Call& call) {
    const std::uint64_t buf = call.notif.data.args[0];
    const std::uint64_t size = call.notif.data.args[1];
    char link[PATH_MAX];
    const std::string proc_cwd = "/proc/" + std::to_string(call.notif.pid) + "/cwd";
    ssize_t n = ::readlink(proc_cwd.c_str(), link, sizeof link);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof link) return std::nullopt;
    std::optional<std::string> back;
    {
        std::lock_guard lock(call.shared.mutex);
        auto& layer = call.shared.state.cow_branch;
        if (!layer) return std::nullopt;
        back = layer->map_back(std::string_view(link, static_cast<std::size_t>(n)));
    }
    // A directory since removed: the kernel tells.
    struct stat st;
    if (!back || ::stat(proc_cwd.c_str(), &st) != 0 || st.st_nlink == 0) return std::nullopt;
    back->push_back('\0');
    if (size < back->size()) return fail(ERANGE);
    return write_back(call, buf, std::span(reinterpret_cast<const std::uint8_t*>(back->data()), back->size()),
                      static_cast<std::int64_t>(back->size()));
}

}  // namespace

namespace {

// An O_PATH open the kernel is to make itself (we cannot hand out such a descriptor): only where
// the name leads it to the entry the view shows, which from a directory of the upper tree it
// does once the layer has placed the entry there.
bool kernel_opens_path(const Call& call, const PathArg& arg, bool follow, const std::string& bytes,
                       const OpenTarget& target, const std::string& view_path) {
    struct stat want;
    if (::fstatat(target.dir.get(), target.name.c_str(), &want, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    const std::uint32_t tid = call.notif.pid;
    if (auto seen = kernel_sees(tid, arg.dirfd, bytes, follow); seen && same_file(*seen, want))
        return true;
    std::lock_guard lock(call.shared.mutex);
    auto& layer = call.shared.state.cow_branch;
    if (!layer || !starts_in_upper(*layer, tid, arg.dirfd, bytes)) return false;
    if (!layer->place_for_kernel(view_path)) return false;
    auto placed = layer->locate(view_path);
    auto seen = kernel_sees(tid, arg.dirfd, bytes, follow);
    return placed && seen && same_file(*seen, placed->st);
}

}  // namespace

bool is_cow_place(int nr) {
    return nr == SYS_execve || nr == SYS_execveat || nr == SYS_chdir || nr == SYS_getcwd ||
           nr == SYS_statfs || nr == SYS_inotify_add_watch || nr == SYS_bind;
}

std::optional<NotifAction> handle_cow_place(const Call& call) {
    switch (call.notif.data.nr) {
        case SYS_execve:
        case SYS_execveat:
            return handle_exec(call);
        case SYS_chdir:
            return handle_chdir(call);
        case SYS_getcwd:
            return handle_getcwd(call);
        case SYS_statfs:
            return handle_statfs(call);
        case SYS_inotify_add_watch:
            return handle_inotify_add_watch(call);
        case SYS_bind:
            return handle_unix_bind(call);
        default:
            return std::nullopt;
    }
}

std::optional<NotifAction> handle_cow_open(const Call& call) {
    const OpenCall o = decode_open(call.notif.data);
    auto path = read_path(call, o.path);
    const bool creates = (o.flags & O_CREAT) || (o.flags & O_TMPFILE) == O_TMPFILE;
    // An exclusive creation, like O_NOFOLLOW, acts on a final link itself.
    const bool follow =
        !(o.flags & O_NOFOLLOW) && !((o.flags & O_CREAT) && (o.flags & O_EXCL));

    std::string where;
    {
        std::lock_guard lock(call.shared.mutex);
        auto& layer = call.shared.state.cow_branch;
        if (!layer) return std::nullopt;
        if (!path) return fail(path.error());
        if (path->bytes) {
            switch (quick_open(*layer, *path->bytes, o.flags, follow)) {
                case QuickOpen::Outside: return std::nullopt;
                case QuickOpen::OwnFile: return NotifAction::Continue{};
                case QuickOpen::Unknown: break;
            }
        }
        PathArg arg = o.path;
        arg.follow = follow;
        auto place = place_of(call, *layer, arg, *path);
        if (!place) return fail(place.error());
        if (!place->inside()) {
            // The kernel would not find a name only the layer holds, and the layer does not
            // open outside the working directory with its own rights.
            if (place->where.through_layer_link) return fail(EACCES);
            return std::nullopt;
        }
        where = place->path();
    }
    // What only an open in the working directory needs: the child's umask and ids, read from
    // /proc (the opens elsewhere, most of them, pay nothing for it).
    const auto creds = creates ? sys::proc::file_credentials(call.notif.pid) : std::nullopt;
    if (const auto modes = modes_to_check(call)) {
        std::lock_guard lock(call.shared.mutex);
        auto& layer = call.shared.state.cow_branch;
        if (!layer) return std::nullopt;
        if (int error = open_access(*layer, where, o.flags, *modes)) return fail(error);
    }
    // The policy callback's verdict comes before the layer copies or creates anything; the
    // state is not locked while it is awaited.
    SyscallEvent event = seccomp::notif::event_for(call.notif);
    if (path->bytes) event.path = text::lossy_utf8(*path->bytes);
    if (auto refusal = seccomp::notif::ask_before_act(call, std::move(event))) return refusal;

    std::optional<OpenTarget> target;
    bool made = false;  // the open creates the name
    {
        std::lock_guard lock(call.shared.mutex);
        auto& layer = call.shared.state.cow_branch;
        if (!layer) return std::nullopt;
        auto prepared = layer->handle_open(where, o.flags, creation_mode(o.mode, creds, 07777));
        if (!prepared) return fail(prepared.error());
        target = std::move(*prepared);
        made = target->created;
    }
    const bool cloexec = seccomp::notif::wants_cloexec(call.notif);
    if ((target->flags & O_PATH) && kernel_opens_path(call, o.path, follow, *path->bytes, *target, where))
        return NotifAction::Continue{};
    if (target->flags & O_PATH) {
        // The kernel installs no O_PATH descriptor of ours in the child. One of W's own entries
        // the child may open itself (it reaches nothing by it that the layer must guard); one of
        // the upper tree it gets opened for reading, without waiting on a FIFO.
        if (!target->in_upper) return NotifAction::Continue{};
        target->flags = (target->flags & ~(O_PATH | O_ACCMODE)) | O_RDONLY | O_NONBLOCK;
        auto fd = target->open();
        if (!fd) return fail(fd.error());
        ::fcntl(fd->get(), F_SETFL, ::fcntl(fd->get(), F_GETFL) & ~O_NONBLOCK);
        return NotifAction::InjectFdSend{std::move(*fd), cloexec};
    }
    if (PendingOpens::may_block(*target)) {
        std::shared_ptr<PendingOpens> pending;
        {
            std::lock_guard lock(call.shared.mutex);
            auto& slot = call.shared.state.pending_opens;
            if (!slot) slot = std::make_shared<PendingOpens>();
            pending = slot;
        }
        if (int error = pending->start(call.listener, call.notif.id, std::move(*target), cloexec))
            return fail(error);
        return NotifAction::Hold{};
    }
    auto fd = target->open();
    if (!fd) return fail(fd.error());
    if (!made) return NotifAction::InjectFdSend{std::move(*fd), cloexec};
    // A name the open made goes again when the descriptor cannot be installed (the command's
    // table is full: EMFILE), as the kernel makes no file for an open that fails.
    auto number = seccomp::notif::add_fd(call.listener, call.notif.id, fd->get(), cloexec);
    if (number) return done(*number);
    const int error = number.error().code() ? number.error().code() : EMFILE;
    std::lock_guard lock(call.shared.mutex);
    if (auto& layer = call.shared.state.cow_branch) (void)layer->handle_unlink(where, false);
    return fail(error);
}

std::optional<NotifAction> handle_cow_read(const Call& call) {
    const int nr = call.notif.data.nr;
    if (nr == SYS_getdents || nr == SYS_getdents64) return handle_listing(call);

    const ReadCall r = decode_read(call.notif.data);
    auto path = read_path(call, r.path);
    std::string xattr_name;
    std::uint64_t value_address = r.buf, value_size = r.size;
    std::optional<int> early_error;
    if (r.look == Look::GetXattr) {
        auto name = read_xattr_name(call, r.name);
        if (!name) early_error = name.error();
        else xattr_name = std::move(*name);
        if (r.xattr_args != 0 || r.xattr_args_size != 0) {
            std::expected<std::vector<std::uint8_t>, int> args = std::unexpected(EINVAL);
            if (r.xattr_args_size >= kXattrArgsSize)
                args = read_exact(call, r.xattr_args, kXattrArgsSize);
            if (!args) {
                early_error = args.error();
            } else {
                std::uint32_t size32;
                std::memcpy(&value_address, args->data(), 8);
                std::memcpy(&size32, args->data() + 8, 4);
                value_size = size32;
            }
        }
    }

    Subject subject;
    std::expected<std::string, int> link_target = std::unexpected(EINVAL);
    std::optional<std::string> proc_cwd;
    {
        std::lock_guard lock(call.shared.mutex);
        auto& layer = call.shared.state.cow_branch;
        if (!layer) return std::nullopt;
        if (!path) return fail(path.error());
        // A descriptor names the file the layer chose when it was opened: the kernel describes it.
        if (!path->bytes) return std::nullopt;
        if (early_error) return fail(*early_error);
        if (r.bad_flags) return fail(EINVAL);
        auto place = place_of(call, *layer, r.path, *path);
        if (!place) return fail(place.error());
        if (!place->inside() && r.look == Look::Readlink && is_proc_cwd(place->where.path)) {
            // A process standing in a mirrored directory: its W path, not the storage's.
            if (auto target = host_readlink(place->where.path)) proc_cwd = layer->map_back(*target);
            if (!proc_cwd) return std::nullopt;
        } else if (!place->inside()) {
            if (!place->where.through_layer_link) return std::nullopt;
            // Where a link the command made leads: looking is no more than the child may do.
            if (r.look == Look::Readlink) link_target = host_readlink(place->where.path);
            subject.name = place->where.path;
        } else if (r.look == Look::Readlink) {
            link_target = layer->handle_readlink(place->path());
        } else {
            auto entry = layer->handle_stat(place->path());
            if (!entry) return fail(entry.error());
            subject.dir = std::move(entry->dir);
            subject.name = std::move(entry->name);
        }
    }
    if (proc_cwd) return readlink_answer(call, r, std::move(*proc_cwd));
    if (r.look == Look::Readlink) return readlink_answer(call, r, std::move(link_target));
    return look_at(call, r, subject, xattr_name, value_address, value_size);
}

}  // namespace vestrion::cow::dispatch
