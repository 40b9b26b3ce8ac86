// The calls that describe files: status, access, file-system status, links, the working
// directory. Each resolves beneath the root with the child's rights and reports the host file
// under its virtual name.
#include <fcntl.h>
#include <linux/stat.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>

#include <cstring>
#include <string>

#include "core/chroot/handlers.hpp"
#include "core/seccomp/notif.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::chroot {

namespace sc = sys::syscall;

namespace {

constexpr std::uint64_t kStatFlags = AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH | AT_NO_AUTOMOUNT;
constexpr std::uint64_t kStatxFlags = kStatFlags | AT_STATX_SYNC_TYPE;
constexpr std::uint64_t kAccessFlags = AT_EACCESS | AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH;

template <class T>
std::span<const std::uint8_t> bytes_of(const T& value) {
    return {reinterpret_cast<const std::uint8_t*>(&value), sizeof value};
}

// How one status call names its file and where its record goes.
struct StatCall {
    int dirfd = AT_FDCWD;
    std::uint64_t path = 0;
    std::uint64_t flags = 0;
    std::uint64_t buffer = 0;
    std::uint32_t mask = 0;  // statx
    std::uint32_t mode = 0;  // access
    enum class Kind { Stat, Statx, Access, Statfs } kind = Kind::Stat;
};

StatCall decode(const seccomp_data& d) {
    const auto& a = d.args;
    StatCall c;
    switch (d.nr) {
        case SYS_stat: c.path = a[0]; c.buffer = a[1]; break;
        case SYS_lstat: c.path = a[0]; c.buffer = a[1]; c.flags = AT_SYMLINK_NOFOLLOW; break;
        case SYS_newfstatat:
            c.dirfd = static_cast<int>(a[0]); c.path = a[1]; c.buffer = a[2]; c.flags = a[3];
            break;
        case SYS_statx:
            c.kind = StatCall::Kind::Statx;
            c.dirfd = static_cast<int>(a[0]); c.path = a[1]; c.flags = a[2];
            c.mask = static_cast<std::uint32_t>(a[3]); c.buffer = a[4];
            break;
        case SYS_access:
            c.kind = StatCall::Kind::Access; c.path = a[0]; c.mode = static_cast<std::uint32_t>(a[1]);
            break;
        case SYS_faccessat:
        case SYS_faccessat2:
            c.kind = StatCall::Kind::Access;
            c.dirfd = static_cast<int>(a[0]); c.path = a[1];
            c.mode = static_cast<std::uint32_t>(a[2]);
            c.flags = d.nr == SYS_faccessat2 ? a[3] : 0;
            break;
        case SYS_statfs: c.kind = StatCall::Kind::Statfs; c.path = a[0]; c.buffer = a[1]; break;
    }
    return c;
}

std::uint64_t known_flags(StatCall::Kind kind) {
    switch (kind) {
        case StatCall::Kind::Stat: return kStatFlags;
        case StatCall::Kind::Statx: return kStatxFlags;
        case StatCall::Kind::Access: return kAccessFlags;
        case StatCall::Kind::Statfs: return 0;
    }
    return 0;
}

// One call on the file: `fd` and `name` as an "at" pair that never follows a final link (the
// lookup has followed it already, when asked to), `empty` when `fd` is the file itself.
long describe(const StatCall& c, int fd, const char* name, bool empty, void* out) noexcept {
    const long nofollow = AT_SYMLINK_NOFOLLOW | (empty ? AT_EMPTY_PATH : 0);
    const auto n = reinterpret_cast<long>(name);
    const auto o = reinterpret_cast<long>(out);
    switch (c.kind) {
        case StatCall::Kind::Stat: return sc::raw(SYS_newfstatat, fd, n, o, nofollow);
        case StatCall::Kind::Statx:
            return sc::raw(SYS_statx, fd, n, nofollow | static_cast<long>(c.flags & AT_STATX_SYNC_TYPE),
                           c.mask, o);
        case StatCall::Kind::Access:
            return sc::raw(SYS_faccessat2, fd, n, c.mode,
                           nofollow | static_cast<long>(c.flags & AT_EACCESS));
        case StatCall::Kind::Statfs: return sc::raw(SYS_fstatfs, fd, o);
    }
    return -ENOSYS;
}

struct Records {
    struct stat st {};
    struct statx stx {};
    struct statfs sfs {};
    void* for_kind(StatCall::Kind kind) {
        switch (kind) {
            case StatCall::Kind::Stat: return &st;
            case StatCall::Kind::Statx: return &stx;
            case StatCall::Kind::Statfs: return &sfs;
            case StatCall::Kind::Access: break;
        }
        return nullptr;
    }
};

NotifAction deliver(const Session& s, const StatCall& c, Records& rec) {
    switch (c.kind) {
        case StatCall::Kind::Stat: return write_out(s, c.buffer, bytes_of(rec.st), 0);
        case StatCall::Kind::Statx: return write_out(s, c.buffer, bytes_of(rec.stx), 0);
        case StatCall::Kind::Statfs: return write_out(s, c.buffer, bytes_of(rec.sfs), 0);
        case StatCall::Kind::Access: break;
    }
    return NotifAction::ReturnValue{0};
}

}  // namespace

NotifAction write_out(const Session& s, std::uint64_t address, std::span<const std::uint8_t> bytes,
                      std::int64_t answer) {
    if (address == 0 && !bytes.empty()) return refuse(EFAULT);
    if (!seccomp::notif::write_child_mem(s.call().listener, s.call().notif, address, bytes))
        return refuse(EFAULT);
    return NotifAction::ReturnValue{answer};
}

NotifAction answer_of(long ret) {
    if (sc::is_error(ret)) return refuse(static_cast<int>(-ret));
    return NotifAction::ReturnValue{ret};
}

NotifAction status(const Session& s) {
    const StatCall c = decode(s.call().notif.data);
    if (c.flags & ~known_flags(c.kind)) return refuse(EINVAL);
    if (c.kind == StatCall::Kind::Access && (c.mode & ~07u)) return refuse(EINVAL);
    Records rec;
    // An empty (or, with AT_EMPTY_PATH, null) path names the descriptor itself: the child's own
    // file, which it may describe whatever it is.
    std::string text;
    if (c.path != 0 || !(c.flags & AT_EMPTY_PATH)) {
        auto read = s.read_path(c.path);
        if (!read) return refuse(read.error());
        text = std::move(*read);
    }
    if (text.empty()) {
        if (!(c.flags & AT_EMPTY_PATH)) return refuse(ENOENT);
        auto fd = s.view().descriptor(c.dirfd);
        if (!fd) return refuse(fd.error());
        long ret = s.as_child([&]() -> Errno<long> {
                        return describe(c, fd->get(), "", true, rec.for_kind(c.kind));
                    }).value_or(-EPERM);
        if (sc::is_error(ret)) return answer_of(ret);
        return deliver(s, c, rec);
    }
    auto virt = s.virtual_path(c.dirfd, text);
    if (!virt) return refuse(virt.error());
    const bool follow = !(c.flags & AT_SYMLINK_NOFOLLOW);
    auto ret = s.as_child([&]() -> Errno<long> {
        auto r = resolve(s.root(), *virt, follow);
        if (!r) return std::unexpected(r.error());
        if (!s.lists().can_read(r->virt)) return std::unexpected(EACCES);
        if (c.kind == StatCall::Kind::Statfs) {
            auto file = open_resolved(*r);
            if (!file) return std::unexpected(file.error());
            return describe(c, file->get(), "", true, rec.for_kind(c.kind));
        }
        long got = describe(c, r->dir.get(), r->at_name(), r->name.empty(), rec.for_kind(c.kind));
        if (!sc::is_error(got) && r->must_be_dir) {
            struct stat st {};
            if (::fstatat(r->dir.get(), r->at_name(), &st,
                          AT_SYMLINK_NOFOLLOW | (r->name.empty() ? AT_EMPTY_PATH : 0)) == 0 &&
                !S_ISDIR(st.st_mode))
                return -ENOTDIR;
        }
        return got;
    });
    if (!ret) return refuse(ret.error());
    if (sc::is_error(*ret)) return answer_of(*ret);
    return deliver(s, c, rec);
}

NotifAction read_link(const Session& s) {
    const auto& d = s.call().notif.data;
    const bool at = d.nr == SYS_readlinkat;
    const int dirfd = at ? static_cast<int>(d.args[0]) : AT_FDCWD;
    const std::uint64_t buffer = d.args[at ? 2 : 1];
    const int size = static_cast<int>(d.args[at ? 3 : 2]);
    if (size <= 0) return refuse(EINVAL);
    auto text = s.read_path(d.args[at ? 1 : 0]);
    if (!text) return refuse(text.error());
    if (text->empty()) return refuse(ENOENT);

    std::string target;
    if (*text == "/proc/self/root" || *text == "/proc/thread-self/root") {
        target.assign(1, '/');  // not = "/": GCC 12 warns wrongly (restrict) under the sanitizers
    } else if (*text == "/proc/self/exe") {
        char link[64];
        std::snprintf(link, sizeof link, "/proc/%u/exe", s.call().notif.pid);
        std::string host(4096, '\0');
        ssize_t n = ::readlink(link, host.data(), host.size());
        if (n <= 0) return refuse(ENOENT);
        host.resize(static_cast<std::size_t>(n));
        if (!seccomp::notif::notif_id_valid(s.call().listener, s.call().notif.id))
            return refuse(ESRCH);
        target = to_virtual_path(s.root().host(), host).value_or(host);
    } else {
        auto virt = s.virtual_path(dirfd, *text);
        if (!virt) return refuse(virt.error());
        auto read = s.as_child([&]() -> Errno<std::string> {
            auto r = resolve(s.root(), *virt, false);
            if (!r) return std::unexpected(r.error());
            if (r->name.empty() || r->must_be_dir) return std::unexpected(EINVAL);
            std::string out(4096, '\0');
            ssize_t n = ::readlinkat(r->dir.get(), r->name.c_str(), out.data(), out.size());
            if (n < 0) return std::unexpected(errno);
            out.resize(static_cast<std::size_t>(n));
            return out;
        });
        if (!read) return refuse(read.error());
        target = std::move(*read);
        // A target written with the root's own host prefix names a file inside it.
        if (target.starts_with('/'))
            if (auto inside = to_virtual_path(s.root().host(), target)) target = *inside;
    }
    const std::size_t n = std::min(target.size(), static_cast<std::size_t>(size));
    return write_out(s, buffer, {reinterpret_cast<const std::uint8_t*>(target.data()), n},
                     static_cast<std::int64_t>(n));
}

NotifAction getcwd(const Session& s) {
    const auto& d = s.call().notif.data;
    const std::uint64_t size = static_cast<std::uint32_t>(d.args[1]);
    struct stat st {};
    // A working directory that was removed has no path, as the kernel answers.
    if (::fstat(s.view().cwd.get(), &st) == 0 && st.st_nlink == 0) return refuse(ENOENT);
    // A directory outside the root shows as "/".
    std::string cwd = s.root().virtual_of(s.view().cwd.get()).value_or("/");
    if (cwd.size() + 1 > size) return refuse(ERANGE);
    return write_out(s, d.args[0], {reinterpret_cast<const std::uint8_t*>(cwd.c_str()), cwd.size() + 1},
                     static_cast<std::int64_t>(cwd.size() + 1));
}

}  // namespace vestrion::chroot
