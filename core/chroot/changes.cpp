// The calls that change names, modes, owners, times and attributes by path under a virtual root.
// Each path is resolved beneath the root (a final link followed only where the call follows
// it), checked against the lists, and the change is made with the child's rights on the
// resolved directory and name, so a link swapped in meanwhile never leads out.
#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/xattr.h>

#include <array>
#include <cstring>
#include <vector>

#include "core/chroot/handlers.hpp"
#include "core/seccomp/call_args.hpp"
#include "core/seccomp/notif.hpp"
#include "core/sys/proc.hpp"
#include "core/sys/structs.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::chroot {

namespace sc = sys::syscall;

namespace {

using seccomp::notif::kXattrSizeMax;

enum class Op {
    Mkdir, Mknod, Unlink, Rename, Link, Symlink, Chmod, Chown, Truncate, Times,
    SetXattr, GetXattr, ListXattr, RemoveXattr, Watch, Mark,
};

struct PathArg {
    int dirfd = AT_FDCWD;
    std::uint64_t address = 0;
    bool follow = true;
};

struct Change {
    Op op;
    PathArg first;
    PathArg second;  // rename's and link's new name, symlink's link
    std::uint64_t a = 0, b = 0, c = 0, d = 0;  // the call's values, by op
    std::uint64_t flags = 0;
};

Change make(Op op, PathArg first, PathArg second = {}, std::uint64_t a = 0, std::uint64_t b = 0,
            std::uint64_t c = 0, std::uint64_t d = 0, std::uint64_t flags = 0) {
    Change out{op, first, second, 0, 0, 0, 0, 0};
    out.a = a;
    out.b = b;
    out.c = c;
    out.d = d;
    out.flags = flags;
    return out;
}

PathArg at(std::uint64_t dirfd, std::uint64_t path, bool follow = true) {
    return {static_cast<int>(dirfd), path, follow};
}
PathArg cwd(std::uint64_t path, bool follow = true) {
    return {AT_FDCWD, path, follow};
}

// none: the call names a descriptor (a null path, or an empty one with AT_EMPTY_PATH) and goes
// on to the later rules.
std::optional<Errno<Change>> decode(const seccomp_data& d) {
    const auto& x = d.args;
    auto bad = [](int e) { return std::optional<Errno<Change>>(std::unexpected(e)); };
    switch (d.nr) {
        case SYS_mkdir: return make(Op::Mkdir, cwd(x[0], false), {}, x[1]);
        case SYS_mkdirat: return make(Op::Mkdir, at(x[0], x[1], false), {}, x[2]);
        case SYS_mknod: return make(Op::Mknod, cwd(x[0], false), {}, x[1], x[2]);
        case SYS_mknodat: return make(Op::Mknod, at(x[0], x[1], false), {}, x[2], x[3]);
        case SYS_unlink: return make(Op::Unlink, cwd(x[0], false));
        case SYS_rmdir: return make(Op::Unlink, cwd(x[0], false), {}, 0, 0, 0, 0, AT_REMOVEDIR);
        case SYS_unlinkat:
            if (x[2] & ~static_cast<std::uint64_t>(AT_REMOVEDIR)) return bad(EINVAL);
            return make(Op::Unlink, at(x[0], x[1], false), {}, 0, 0, 0, 0, x[2]);
        case SYS_rename: return make(Op::Rename, cwd(x[0], false), cwd(x[1], false));
        case SYS_renameat: return make(Op::Rename, at(x[0], x[1], false), at(x[2], x[3], false));
        case SYS_renameat2:
            if (x[4] & ~static_cast<std::uint64_t>(RENAME_NOREPLACE | RENAME_EXCHANGE |
                                                   RENAME_WHITEOUT))
                return bad(EINVAL);
            return make(Op::Rename, at(x[0], x[1], false), at(x[2], x[3], false), 0, 0, 0, 0,
                          x[4]);
        case SYS_link: return make(Op::Link, cwd(x[0], false), cwd(x[1], false));
        case SYS_linkat:
            if (x[4] & ~static_cast<std::uint64_t>(AT_SYMLINK_FOLLOW)) return bad(EINVAL);
            return make(Op::Link, at(x[0], x[1], x[4] & AT_SYMLINK_FOLLOW), at(x[2], x[3], false));
        case SYS_symlink: return make(Op::Symlink, {}, cwd(x[1], false), x[0]);
        case SYS_symlinkat: return make(Op::Symlink, {}, at(x[1], x[2], false), x[0]);
        case SYS_chmod: return make(Op::Chmod, cwd(x[0]), {}, x[1]);
        case SYS_fchmodat: return make(Op::Chmod, at(x[0], x[1]), {}, x[2]);
        case SYS_chown: return make(Op::Chown, cwd(x[0]), {}, x[1], x[2]);
        case SYS_lchown: return make(Op::Chown, cwd(x[0], false), {}, x[1], x[2]);
        case SYS_fchownat:
            if (x[4] & ~static_cast<std::uint64_t>(AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH))
                return bad(EINVAL);
            if (x[4] & AT_EMPTY_PATH) return std::nullopt;
            return make(Op::Chown, at(x[0], x[1], !(x[4] & AT_SYMLINK_NOFOLLOW)), {}, x[2], x[3]);
        case SYS_truncate: return make(Op::Truncate, cwd(x[0]), {}, x[1]);
        case SYS_utime: return make(Op::Times, cwd(x[0]), {}, x[1]);
        case SYS_utimes: return make(Op::Times, cwd(x[0]), {}, x[1]);
        case SYS_futimesat:
            if (x[1] == 0) return std::nullopt;
            return make(Op::Times, at(x[0], x[1]), {}, x[2]);
        case SYS_utimensat:
            if (x[3] & ~static_cast<std::uint64_t>(AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH))
                return bad(EINVAL);
            if (x[1] == 0 || (x[3] & AT_EMPTY_PATH)) return std::nullopt;
            return make(Op::Times, at(x[0], x[1], !(x[3] & AT_SYMLINK_NOFOLLOW)), {}, x[2]);
        case SYS_setxattr:
        case SYS_lsetxattr:
            return make(Op::SetXattr, cwd(x[0], d.nr == SYS_setxattr), {}, x[1], x[2], x[3], 0,
                          x[4]);
        case SYS_getxattr:
        case SYS_lgetxattr:
            return make(Op::GetXattr, cwd(x[0], d.nr == SYS_getxattr), {}, x[1], x[2], x[3]);
        case SYS_listxattr:
        case SYS_llistxattr:
            return make(Op::ListXattr, cwd(x[0], d.nr == SYS_listxattr), {}, 0, x[1], x[2]);
        case SYS_removexattr:
        case SYS_lremovexattr:
            return make(Op::RemoveXattr, cwd(x[0], d.nr == SYS_removexattr), {}, x[1]);
        case SYS_inotify_add_watch:
            return make(Op::Watch, cwd(x[1], !(x[2] & IN_DONT_FOLLOW)), {}, x[0], x[2]);
        case SYS_fanotify_mark:
            // A flush names nothing; a null path marks what the directory descriptor (or the
            // working directory) is, which the command holds already.
            if (x[4] == 0 || (x[1] & FAN_MARK_FLUSH)) return std::nullopt;
            return make(Op::Mark, at(x[3], x[4], !(x[1] & FAN_MARK_DONT_FOLLOW)), {}, x[0], x[1],
                        x[2]);
    }
    return bad(ENOSYS);
}

bool checks_write(Op op) {
    return op != Op::GetXattr && op != Op::ListXattr && op != Op::Watch && op != Op::Mark;
}

// What the call sets, copied from the child before anything is resolved.
struct Payload {
    std::string target;  // symlink's
    std::string name;    // the attribute's
    std::vector<std::uint8_t> value;
    bool times_now = true;
    std::array<timespec, 2> times{};
    std::uint32_t uid = UINT32_MAX, gid = UINT32_MAX;
};

Errno<Payload> read_payload(const Session& s, const Change& c) {
    Payload p;
    const int nr = s.call().notif.data.nr;
    switch (c.op) {
        case Op::Symlink: {
            auto target = s.read_path(c.a);
            if (!target) return std::unexpected(target.error());
            if (target->empty()) return std::unexpected(ENOENT);
            p.target = std::move(*target);
            break;
        }
        case Op::Times: {
            auto times = seccomp::notif::read_times(s.call().listener, s.call().notif, nr, c.a);
            if (!times) return std::unexpected(times.error());
            p.times_now = !*times;
            if (*times) p.times = **times;
            break;
        }
        case Op::Chown: {
            p.uid = static_cast<std::uint32_t>(c.a);
            p.gid = static_cast<std::uint32_t>(c.b);
            // Ids of a thread in a user namespace of its own are ids of that namespace.
            const std::uint32_t tid = s.call().notif.pid;
            if (!sys::proc::shares_user_namespace(tid)) {
                auto uid = sys::proc::id_to_ours(tid, sys::proc::IdKind::User, p.uid);
                auto gid = sys::proc::id_to_ours(tid, sys::proc::IdKind::Group, p.gid);
                if (!uid || !gid) return std::unexpected(EINVAL);
                p.uid = *uid;
                p.gid = *gid;
            }
            break;
        }
        case Op::SetXattr:
        case Op::GetXattr:
        case Op::RemoveXattr: {
            auto name = seccomp::notif::read_xattr_name(s.call().listener, s.call().notif, c.a);
            if (!name) return std::unexpected(name.error());
            p.name = std::move(*name);
            if (c.op != Op::SetXattr) break;
            if (c.c > kXattrSizeMax) return std::unexpected(E2BIG);
            auto value = seccomp::notif::read_exact(s.call().listener, s.call().notif, c.b, c.c);
            if (!value) return std::unexpected(value.error());
            p.value = std::move(*value);
            break;
        }
        default: break;
    }
    return p;
}

// The change itself, on the worker. `one` (and `two`) are the resolved names.
long perform(const Session& s, const Change& c, const Payload& p, const Resolved& one,
             const Resolved* two, std::vector<std::uint8_t>& out) {
    const int dir = one.dir.get();
    const char* name = one.name.c_str();
    auto self = [&](const Resolved& r) { return r.name.empty(); };
    switch (c.op) {
        case Op::Mkdir:
        case Op::Mknod: {
            if (self(one)) return -EEXIST;
            if (::unshare(CLONE_FS) != 0) return -errno;
            ::umask(s.umask());
            if (c.op == Op::Mkdir)
                return sc::raw(SYS_mkdirat, dir, reinterpret_cast<long>(name),
                               static_cast<long>(c.a & 07777));
            return sc::raw(SYS_mknodat, dir, reinterpret_cast<long>(name),
                           static_cast<long>(c.a & 0177777), static_cast<long>(c.b));
        }
        case Op::Unlink:
            if (self(one)) return c.flags & AT_REMOVEDIR ? -EBUSY : -EISDIR;
            return sc::raw(SYS_unlinkat, dir, reinterpret_cast<long>(name),
                           static_cast<long>(c.flags));
        case Op::Rename:
            if (self(one) || self(*two)) return -EBUSY;
            return sc::raw(SYS_renameat2, dir, reinterpret_cast<long>(name), two->dir.get(),
                           reinterpret_cast<long>(two->name.c_str()), static_cast<long>(c.flags));
        case Op::Link:
            if (self(*two)) return -EEXIST;
            if (self(one)) return -EPERM;
            return sc::raw(SYS_linkat, dir, reinterpret_cast<long>(name), two->dir.get(),
                           reinterpret_cast<long>(two->name.c_str()), 0);
        case Op::Symlink:
            if (self(*two)) return -EEXIST;
            return sc::raw(SYS_symlinkat, reinterpret_cast<long>(p.target.c_str()),
                           two->dir.get(), reinterpret_cast<long>(two->name.c_str()));
        default: break;
    }
    // The rest act on the file itself.
    auto file = open_resolved(one);
    if (!file) return -file.error();
    const int fd = file->get();
    const auto empty = reinterpret_cast<long>("");
    char link[48];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const auto by_link = reinterpret_cast<long>(link);
    switch (c.op) {
        case Op::Chmod:
            return sc::raw(sys::NR_FCHMODAT2, fd, empty, static_cast<long>(c.a & 07777),
                           AT_EMPTY_PATH);
        case Op::Chown: return sc::raw(SYS_fchownat, fd, empty, p.uid, p.gid, AT_EMPTY_PATH);
        case Op::Times:
            return sc::raw(SYS_utimensat, fd, empty,
                           p.times_now ? 0 : reinterpret_cast<long>(p.times.data()), AT_EMPTY_PATH);
        case Op::Truncate: {
            // truncate needs what an open for writing needs.
            auto w = sc::openat2(AT_FDCWD, link, O_WRONLY | O_NONBLOCK | O_NOCTTY, 0, 0);
            if (!w) return -w.error().code();
            return sc::raw(SYS_ftruncate, w->get(), static_cast<long>(c.a));
        }
        case Op::SetXattr:
            return sc::raw(SYS_setxattr, by_link, reinterpret_cast<long>(p.name.c_str()),
                           reinterpret_cast<long>(p.value.data()),
                           static_cast<long>(p.value.size()), static_cast<long>(c.flags));
        case Op::RemoveXattr:
            return sc::raw(SYS_removexattr, by_link, reinterpret_cast<long>(p.name.c_str()));
        case Op::GetXattr:
        case Op::ListXattr: {
            const std::size_t size = std::min<std::uint64_t>(c.c, kXattrSizeMax);
            out.assign(size, 0);
            long ret = c.op == Op::GetXattr
                           ? sc::raw(SYS_getxattr, by_link, reinterpret_cast<long>(p.name.c_str()),
                                     reinterpret_cast<long>(out.data()), static_cast<long>(size))
                           : sc::raw(SYS_listxattr, by_link, reinterpret_cast<long>(out.data()),
                                     static_cast<long>(size));
            if (!sc::is_error(ret) && size > 0) out.resize(static_cast<std::size_t>(ret));
            else out.clear();
            return ret;
        }
        default: return -ENOSYS;
    }
}

// Whether `r` may be acted on by the op: the new names need the writable list, link's old one
// only the readable list, reads the readable list.
bool allowed(const Session& s, const Change& c, const Resolved& r, bool is_second) {
    if (c.op == Op::Link && !is_second) return s.lists().can_read(r.virt);
    if (!checks_write(c.op)) return s.lists().can_read(r.virt);
    return s.lists().can_write(r.virt);
}

Errno<std::string> virtual_arg(const Session& s, const PathArg& arg) {
    auto text = s.read_path(arg.address);
    if (!text) return std::unexpected(text.error());
    if (text->empty()) return std::unexpected(ENOENT);
    return s.virtual_path(arg.dirfd, *text);
}

}  // namespace

std::optional<NotifAction> change(const Session& s) {
    const auto& d = s.call().notif.data;
    auto decoded = decode(d);
    if (!decoded) return std::nullopt;
    if (!*decoded) return refuse(decoded->error());
    const Change& c = **decoded;
    // The paths are read in argument order, the values with them, before any lookup.
    std::optional<std::string> first, second;
    if (c.op != Op::Symlink) {
        auto v = virtual_arg(s, c.first);
        if (!v) return refuse(v.error());
        first = std::move(*v);
    }
    auto payload = read_payload(s, c);
    if (!payload) return refuse(payload.error());
    if (c.op == Op::Rename || c.op == Op::Link || c.op == Op::Symlink) {
        auto v = virtual_arg(s, c.second);
        if (!v) return refuse(v.error());
        second = std::move(*v);
    }
    UniqueFd watcher;  // the command's inotify or fanotify instance
    if (c.op == Op::Watch || c.op == Op::Mark) {
        auto fd = s.view().descriptor(static_cast<int>(c.a));
        if (!fd) return refuse(fd.error());
        watcher = std::move(*fd);
    }

    std::vector<std::uint8_t> out;
    auto ret = s.as_child([&]() -> Errno<long> {
        std::optional<Resolved> one, two;
        if (first) {
            auto r = resolve(s.root(), *first, c.first.follow);
            if (!r) return std::unexpected(r.error());
            if (!allowed(s, c, *r, false)) return std::unexpected(EACCES);
            one = std::move(*r);
        }
        if (second) {
            auto r = resolve(s.root(), *second, c.second.follow);
            if (!r) return std::unexpected(r.error());
            if (!allowed(s, c, *r, true)) return std::unexpected(EACCES);
            two = std::move(*r);
        }
        if (c.op == Op::Watch) {
            auto file = open_resolved(*one);
            if (!file) return std::unexpected(file.error());
            char link[48];
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", file->get());
            return sc::raw(SYS_inotify_add_watch, watcher.get(), reinterpret_cast<long>(link),
                           static_cast<long>(c.b & ~static_cast<std::uint64_t>(IN_DONT_FOLLOW)));
        }
        if (c.op == Op::Mark) {
            // The mark goes on the file found in the root; the kernel checks the command's right
            // to read it, and refuses mount and file-system marks to a thread without
            // capabilities, as it refuses the command.
            auto file = open_resolved(*one);
            if (!file) return std::unexpected(file.error());
            char link[48];
            std::snprintf(link, sizeof link, "/proc/self/fd/%d", file->get());
            return sc::raw(SYS_fanotify_mark, watcher.get(),
                           static_cast<long>(c.b & ~static_cast<std::uint64_t>(FAN_MARK_DONT_FOLLOW)),
                           static_cast<long>(c.c), AT_FDCWD, reinterpret_cast<long>(link));
        }
        if (c.op == Op::Symlink) return perform(s, c, *payload, *two, &*two, out);
        return perform(s, c, *payload, *one, two ? &*two : nullptr, out);
    });
    if (!ret) return refuse(ret.error());
    if (sc::is_error(*ret)) return answer_of(*ret);
    if ((c.op == Op::GetXattr || c.op == Op::ListXattr) && !out.empty())
        return write_out(s, c.b, out, *ret);
    return NotifAction::ReturnValue{*ret};
}

}  // namespace vestrion::chroot
