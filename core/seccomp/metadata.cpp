#include "core/seccomp/metadata.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "core/seccomp/dispatch.hpp"
#include "core/seccomp/notif.hpp"
#include "core/sys/proc.hpp"
#include "core/sys/structs.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::seccomp::notif {

namespace sc = sys::syscall;

using namespace metadata;

namespace {

constexpr std::size_t kXattrNameMax = 255;
constexpr std::size_t kXattrSizeMax = 65536;
// The kernel refuses larger argument records of setxattrat and file_setattr (E2BIG).
constexpr std::size_t kRecordMax = 4096;

bool has_unknown(std::uint64_t flags, std::uint64_t known) {
    return (flags & ~known) != 0;
}

Errno<Request> at_form(Op op, std::uint64_t dirfd, std::uint64_t path, std::uint64_t flags) {
    if (has_unknown(flags, AT_SYMLINK_NOFOLLOW | AT_EMPTY_PATH)) return std::unexpected(EINVAL);
    Request r{op};
    r.dirfd = static_cast<int>(dirfd);
    r.path = path;
    r.follow = !(flags & AT_SYMLINK_NOFOLLOW);
    if (flags & AT_EMPTY_PATH) r.empty = EmptyPath::AnyDescriptor;
    return r;
}

Request path_form(Op op, std::uint64_t path, bool follow = true, int dirfd = AT_FDCWD) {
    Request r{op};
    r.dirfd = dirfd;
    r.path = path;
    r.follow = follow;
    return r;
}

Request descriptor_form(Op op, std::uint64_t fd) {
    Request r{op};
    r.form = Form::Descriptor;
    r.dirfd = static_cast<int>(fd);
    return r;
}

// The calls of the two time families with a null path act on the descriptor.
Errno<Request> times_form(const seccomp_data& d) {
    const auto& a = d.args;
    if (d.nr == SYS_utimensat) {
        if (a[1] != 0) return at_form(Op::Times, a[0], a[1], a[3]);
        if (a[3] != 0) return std::unexpected(EINVAL);
        if (static_cast<int>(a[0]) == AT_FDCWD) return std::unexpected(EFAULT);
        return descriptor_form(Op::Times, a[0]);
    }
    if (d.nr == SYS_futimesat) {
        if (a[1] != 0) return path_form(Op::Times, a[1], true, static_cast<int>(a[0]));
        if (static_cast<int>(a[0]) == AT_FDCWD) return std::unexpected(EFAULT);
        return descriptor_form(Op::Times, a[0]);
    }
    return path_form(Op::Times, a[0]);
}

// The xattr "at" calls and file_setattr: an empty path with AT_EMPTY_PATH is the descriptor,
// which must then be open for I/O.
Errno<Request> attr_at_form(Op op, std::uint64_t dirfd, std::uint64_t path, std::uint64_t flags) {
    auto r = at_form(op, dirfd, path, flags);
    if (r && r->empty == EmptyPath::AnyDescriptor) r->empty = EmptyPath::IoDescriptor;
    return r;
}

Errno<Request> decode(const seccomp_data& d) {
    const auto& a = d.args;
    switch (d.nr) {
        case SYS_chmod: return path_form(Op::Mode, a[0]);
        case SYS_fchmod: return descriptor_form(Op::Mode, a[0]);
        case SYS_fchmodat: return path_form(Op::Mode, a[1], true, static_cast<int>(a[0]));
        case sys::NR_FCHMODAT2: return at_form(Op::Mode, a[0], a[1], a[3]);
        case SYS_chown: return path_form(Op::Owner, a[0]);
        case SYS_lchown: return path_form(Op::Owner, a[0], false);
        case SYS_fchown: return descriptor_form(Op::Owner, a[0]);
        case SYS_fchownat: return at_form(Op::Owner, a[0], a[1], a[4]);
        case SYS_utime:
        case SYS_utimes:
        case SYS_futimesat:
        case SYS_utimensat: return times_form(d);
        case SYS_setxattr: return path_form(Op::SetXattr, a[0]);
        case SYS_lsetxattr: return path_form(Op::SetXattr, a[0], false);
        case SYS_fsetxattr: return descriptor_form(Op::SetXattr, a[0]);
        case SYS_removexattr: return path_form(Op::RemoveXattr, a[0]);
        case SYS_lremovexattr: return path_form(Op::RemoveXattr, a[0], false);
        case SYS_fremovexattr: return descriptor_form(Op::RemoveXattr, a[0]);
        case sys::NR_SETXATTRAT: return attr_at_form(Op::SetXattr, a[0], a[1], a[2]);
        case sys::NR_REMOVEXATTRAT: return attr_at_form(Op::RemoveXattr, a[0], a[1], a[2]);
        case sys::NR_FILE_SETATTR: return attr_at_form(Op::FileAttr, a[0], a[1], a[4]);
        case SYS_ioctl: return descriptor_form(Op::Ioctl, a[0]);
        default: return std::unexpected(ENOSYS);
    }
}

Errno<std::vector<std::uint8_t>> read_exact(const ChildReader& read, std::uint64_t address,
                                            std::size_t length) {
    if (length == 0) return std::vector<std::uint8_t>{};
    auto bytes = read(address, length);
    if (!bytes || bytes->size() < length) return std::unexpected(EFAULT);
    return std::move(*bytes);
}

Errno<std::string> read_xattr_name(const ChildReader& read, std::uint64_t address) {
    if (address == 0) return std::unexpected(EFAULT);
    auto bytes = read(address, kXattrNameMax + 1);
    if (!bytes || bytes->empty()) return std::unexpected(EFAULT);
    auto end = std::find(bytes->begin(), bytes->end(), 0);
    if (end == bytes->end())
        return std::unexpected(bytes->size() > kXattrNameMax ? ERANGE : EFAULT);
    if (end == bytes->begin()) return std::unexpected(ERANGE);
    return std::string(bytes->begin(), end);
}

// utime takes seconds, utimes and futimesat microseconds, utimensat nanoseconds.
Errno<void> read_times(const ChildReader& read, int nr, std::uint64_t address, Payload& p) {
    if (address == 0) return {};  // now
    p.times_now = false;
    if (nr == SYS_utime) {
        auto bytes = read_exact(read, address, 2 * sizeof(long));
        if (!bytes) return std::unexpected(bytes.error());
        long t[2];
        std::memcpy(t, bytes->data(), sizeof t);
        p.times = {timespec{t[0], 0}, timespec{t[1], 0}};
    } else if (nr == SYS_utimes || nr == SYS_futimesat) {
        auto bytes = read_exact(read, address, 2 * sizeof(timeval));
        if (!bytes) return std::unexpected(bytes.error());
        timeval t[2];
        std::memcpy(t, bytes->data(), sizeof t);
        for (int i = 0; i < 2; ++i) {
            if (t[i].tv_usec < 0 || t[i].tv_usec >= 1000000) return std::unexpected(EINVAL);
            p.times[i] = timespec{t[i].tv_sec, t[i].tv_usec * 1000};
        }
    } else {
        auto bytes = read_exact(read, address, sizeof p.times);
        if (!bytes) return std::unexpected(bytes.error());
        std::memcpy(p.times.data(), bytes->data(), sizeof p.times);
    }
    return {};
}

Errno<void> read_xattr_value(const ChildReader& read, std::uint64_t address, std::uint64_t size,
                             Payload& p) {
    if (size > kXattrSizeMax) return std::unexpected(E2BIG);
    auto value = read_exact(read, address, size);
    if (!value) return std::unexpected(value.error());
    p.bytes = std::move(*value);
    return {};
}

// An extensible argument record: at least `least` bytes, at most a page; bytes beyond the ones
// this kernel interface knows are the kernel's to judge, so they are passed on as given.
Errno<std::vector<std::uint8_t>> read_record(const ChildReader& read, std::uint64_t address,
                                             std::uint64_t size, std::size_t least) {
    if (size > kRecordMax) return std::unexpected(E2BIG);
    if (size < least) return std::unexpected(EINVAL);
    return read_exact(read, address, size);
}

Errno<Payload> read_payload(const seccomp_data& d, const Request& r, const ChildReader& read) {
    const auto& a = d.args;
    const int nr = d.nr;
    Payload p;
    auto fail = [](int e) { return std::unexpected(e); };
    switch (r.op) {
        case Op::Mode:
            p.mode = static_cast<std::uint32_t>(nr == SYS_chmod || nr == SYS_fchmod ? a[1] : a[2]);
            break;
        case Op::Owner: {
            const bool at = nr == SYS_fchownat;
            p.uid = static_cast<std::uint32_t>(a[at ? 2 : 1]);
            p.gid = static_cast<std::uint32_t>(a[at ? 3 : 2]);
            break;
        }
        case Op::Times: {
            const std::uint64_t address = nr == SYS_utime || nr == SYS_utimes ? a[1] : a[2];
            if (auto ok = read_times(read, nr, address, p); !ok) return fail(ok.error());
            break;
        }
        case Op::SetXattr:
        case Op::RemoveXattr: {
            const bool at = nr == sys::NR_SETXATTRAT || nr == sys::NR_REMOVEXATTRAT;
            auto name = read_xattr_name(read, a[at ? 3 : 1]);
            if (!name) return fail(name.error());
            p.name = std::move(*name);
            if (r.op == Op::RemoveXattr) break;
            if (!at) {
                p.flags = static_cast<int>(a[4]);
                if (auto ok = read_xattr_value(read, a[2], a[3], p); !ok) return fail(ok.error());
                break;
            }
            auto record = read_record(read, a[4], a[5], sizeof(sys::XattrArgs));
            if (!record) return fail(record.error());
            if (std::any_of(record->begin() + sizeof(sys::XattrArgs), record->end(),
                            [](std::uint8_t b) { return b != 0; }))
                return fail(E2BIG);
            sys::XattrArgs args;
            std::memcpy(&args, record->data(), sizeof args);
            p.flags = static_cast<int>(args.flags);
            if (auto ok = read_xattr_value(read, args.value, args.size, p); !ok)
                return fail(ok.error());
            break;
        }
        case Op::FileAttr: {
            auto record = read_record(read, a[2], a[3], sys::FILE_ATTR_SIZE_VER0);
            if (!record) return fail(record.error());
            p.bytes = std::move(*record);
            break;
        }
        case Op::Ioctl: {
            p.request = static_cast<std::uint32_t>(a[1]);
            // The flags are an int, whatever size FS_IOC_SETFLAGS declares; the attribute record
            // of FS_IOC_FSSETXATTR is 28 bytes.
            std::size_t size = p.request == sys::SET_FSXATTR_REQUEST ? 28 : sizeof(int);
            auto arg = read_exact(read, a[2], size);
            if (!arg) return fail(arg.error());
            p.bytes = std::move(*arg);
            break;
        }
    }
    return p;
}

// The file a call acts on, with whether it is an O_PATH descriptor.
struct Target {
    UniqueFd fd;
    bool path_only = false;
};

bool is_path_only(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_PATH);
}

Errno<Target> descriptor_target(const ThreadView& view, int fd, bool path_only_allowed) {
    // AT_FDCWD names the working directory only for a path (an empty one, here).
    if (fd < 0 && !path_only_allowed) return std::unexpected(EBADF);
    auto dup = view.descriptor(fd);
    if (!dup) return std::unexpected(dup.error());
    const bool path_only = is_path_only(dup->get());
    if (path_only && !path_only_allowed) return std::unexpected(EBADF);
    return Target{std::move(*dup), path_only};
}

Errno<Target> open_target(const Request& r, std::optional<std::string> path,
                          const ThreadView& view, child_rights::ChildRights& rights,
                          const child_rights::Credentials& creds) {
    if (r.form == Form::Descriptor) return descriptor_target(view, r.dirfd, false);
    // NULL with AT_EMPTY_PATH is an empty path too.
    if (!path || path->empty()) {
        switch (r.empty) {
            case EmptyPath::Refused: return std::unexpected(ENOENT);
            case EmptyPath::AnyDescriptor: return descriptor_target(view, r.dirfd, true);
            case EmptyPath::IoDescriptor: return descriptor_target(view, r.dirfd, false);
        }
    }
    auto lookup = prepare_lookup(view, r.dirfd, std::move(*path), r.follow);
    if (!lookup) return std::unexpected(lookup.error());
    Errno<UniqueFd> found = std::unexpected(EPERM);
    if (!rights.run(creds, [&] { found = finish_lookup(*lookup, r.follow); }))
        return std::unexpected(EPERM);
    if (!found) return std::unexpected(found.error());
    const bool path_only = is_path_only(found->get());
    return Target{std::move(*found), path_only};
}

// Ids given to chown by a thread in a user namespace of its own are ids of that namespace: a
// namespace root's "chown 0:0" must not become a chown to our root.
Errno<void> map_owner(std::uint32_t tid, Payload& p) {
    if (sys::proc::shares_user_namespace(tid)) return {};
    // An id the namespace maps to nothing is EINVAL, as the kernel answers.
    auto uid = sys::proc::id_to_ours(tid, sys::proc::IdKind::User, p.uid);
    if (!uid) return std::unexpected(EINVAL);
    auto gid = sys::proc::id_to_ours(tid, sys::proc::IdKind::Group, p.gid);
    if (!gid) return std::unexpected(EINVAL);
    p.uid = *uid;
    p.gid = *gid;
    return {};
}

long perform(Op op, const Target& t, const Payload& p) noexcept {
    const int fd = t.fd.get();
    const auto empty = reinterpret_cast<long>("");
    // The extended-attribute calls take no O_PATH descriptor, but its /proc link leads to the
    // very file (a link itself, when the lookup stopped at one).
    char link[48];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const auto by_link = reinterpret_cast<long>(link);
    const auto name = reinterpret_cast<long>(p.name.c_str());
    const auto bytes = reinterpret_cast<long>(p.bytes.data());
    const auto size = static_cast<long>(p.bytes.size());
    switch (op) {
        case Op::Mode: return sc::raw(sys::NR_FCHMODAT2, fd, empty, p.mode, AT_EMPTY_PATH);
        case Op::Owner:
            return sc::raw(SYS_fchownat, fd, empty, p.uid, p.gid, AT_EMPTY_PATH);
        case Op::Times:
            return sc::raw(SYS_utimensat, fd, empty,
                           p.times_now ? 0 : reinterpret_cast<long>(p.times.data()),
                           AT_EMPTY_PATH);
        case Op::SetXattr:
            return t.path_only ? sc::raw(SYS_setxattr, by_link, name, bytes, size, p.flags)
                               : sc::raw(SYS_fsetxattr, fd, name, bytes, size, p.flags);
        case Op::RemoveXattr:
            return t.path_only ? sc::raw(SYS_removexattr, by_link, name)
                               : sc::raw(SYS_fremovexattr, fd, name);
        case Op::FileAttr:
            return t.path_only ? sc::raw(sys::NR_FILE_SETATTR, AT_FDCWD, by_link, bytes, size, 0)
                               : sc::raw(sys::NR_FILE_SETATTR, fd, empty, bytes, size,
                                         AT_EMPTY_PATH);
        case Op::Ioctl: return sc::raw(SYS_ioctl, fd, p.request, bytes);
    }
    return -ENOSYS;
}

// Times that only write access may set: now, or each now or left alone (utimensat's markers).
bool sets_times_to_now(const Payload& p) {
    if (p.times_now) return true;
    return std::ranges::all_of(p.times, [](const timespec& t) {
        return t.tv_nsec == UTIME_NOW || t.tv_nsec == UTIME_OMIT;
    });
}

// What the child may change where the file lies. The entry a policy names in fs_write lends the
// child what lies beneath it, not the entry itself: its mode, owner, attributes and flags stay
// the host's (a device node, the sticky bit of a shared /tmp). Setting its times to now needs only
// write access, which the child has.
bool may_change(Op op, const Payload& p, Placement placement) {
    switch (placement) {
        case Placement::NoPlace:
        case Placement::Writable: return true;
        case Placement::WriteRoot: return op == Op::Times && sets_times_to_now(p);
        case Placement::Outside: return false;
    }
    return false;
}

NotifAction answer(long ret);

// A relative path of plain names: no empty, "." or ".." part.
bool plain_names(std::string_view rest) {
    if (rest.empty()) return false;
    for (std::size_t i = 0; i <= rest.size();) {
        const std::size_t j = std::min(rest.find('/', i), rest.size());
        const std::string_view part = rest.substr(i, j - i);
        if (part.empty() || part == "." || part == "..") return false;
        i = j + 1;
    }
    return true;
}

// The quick way, for an absolute path whose text lies beneath a tree the policy named, by plain
// names: the file is looked up beneath that tree's descriptor, with the child's rights and no
// link on the way, so what it finds lies strictly beneath the tree by its text and the child
// may change it; the call is made then and there, in one taking of the child's rights. Nothing
// when the lookup fails (a link, a missing name): the full resolution from the thread's own
// directories decides, and its answer is the one the child gets. A thread of another user
// namespace never comes here, as owners given to chown would need mapping and its root may not
// be the one the trees were named in.
std::optional<NotifAction> beneath_named_tree(const Request& r, const Payload& p,
                                              const std::string& path, const WriteTrees& trees,
                                              child_rights::ChildRights& rights,
                                              const child_rights::Credentials& creds) {
    auto beneath = trees.named_prefix(path);
    if (!beneath || !plain_names(beneath->rest)) return std::nullopt;
    const std::string rest(beneath->rest);
    std::optional<long> ret;
    auto quick = [&] {
        auto fd = sc::openat2(beneath->tree->dir.get(), rest.c_str(),
                              O_PATH | (r.follow ? 0 : O_NOFOLLOW), 0,
                              RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
        if (fd) ret = perform(r.op, Target{std::move(*fd), true}, p);
    };
    if (!rights.run(creds, quick) || !ret) return std::nullopt;
    return answer(*ret);
}

NotifAction answer(long ret) {
    if (sc::is_error(ret)) return NotifAction::Errno{static_cast<int>(-ret)};
    return NotifAction::ReturnValue{ret};
}

}  // namespace

Errno<metadata::Decoded> metadata::decode_call(const seccomp_data& data, const ChildReader& read) {
    auto request = decode(data);
    if (!request) return std::unexpected(request.error());
    auto payload = read_payload(data, *request, read);
    if (!payload) return std::unexpected(payload.error());
    return Decoded{*request, std::move(*payload)};
}

bool is_metadata_call(const SeccompNotif& notif) noexcept {
    switch (notif.data.nr) {
        case SYS_chmod: case SYS_fchmod: case SYS_fchmodat: case sys::NR_FCHMODAT2:
        case SYS_chown: case SYS_fchown: case SYS_lchown: case SYS_fchownat:
        case SYS_utime: case SYS_utimes: case SYS_futimesat: case SYS_utimensat:
        case SYS_setxattr: case SYS_lsetxattr: case SYS_fsetxattr:
        case SYS_removexattr: case SYS_lremovexattr: case SYS_fremovexattr:
        case sys::NR_SETXATTRAT: case sys::NR_REMOVEXATTRAT: case sys::NR_FILE_SETATTR:
            return true;
        case SYS_ioctl: {
            // The kernel reads the request as a 32-bit number.
            auto request = static_cast<std::uint32_t>(notif.data.args[1]);
            return request == sys::SET_FLAGS_REQUEST || request == sys::SET_FLAGS_32_REQUEST ||
                   request == sys::SET_FSXATTR_REQUEST;
        }
        default:
            return false;
    }
}

NotifAction handle_metadata(const Call& call) {
    const SeccompNotif& notif = call.notif;
    auto decoded = metadata::decode_call(notif.data, child_reader(call.listener, notif));
    if (!decoded) return NotifAction::Errno{decoded.error()};
    const Request& request = decoded->request;
    Payload& payload = decoded->payload;

    std::shared_ptr<const WriteTrees> trees;
    std::shared_ptr<child_rights::ChildRights> rights;
    {
        std::lock_guard lock(call.shared.mutex);
        trees = call.shared.state.write_trees;
        rights = call.shared.state.child_rights;
    }
    auto facts = rights->facts(notif.pid);
    if (!facts) return NotifAction::Errno{ESRCH};
    const child_rights::Credentials& creds = facts->creds;

    // The path is read once, here; both ways of finding its file use these bytes.
    std::optional<std::string> path;
    if (request.form == Form::Path && (request.path != 0 || request.empty == EmptyPath::Refused)) {
        auto read = read_child_path(call.listener, notif, request.path);
        if (!read) return NotifAction::Errno{read.error()};
        path = std::move(*read);
    }
    if (path && facts->shares_user_namespace)
        if (auto done = beneath_named_tree(request, payload, *path, *trees, *rights, creds))
            return std::move(*done);

    auto view = ThreadView::open(notif, call.listener);
    if (!view) return NotifAction::Errno{view.error()};
    auto target = open_target(request, std::move(path), *view, *rights, creds);
    if (!target) return NotifAction::Errno{target.error()};
    if (!may_change(request.op, payload, place(target->fd.get(), view->root.get(), *trees)))
        return NotifAction::Errno{EACCES};
    if (request.op == Op::Owner)
        if (auto mapped = map_owner(notif.pid, payload); !mapped)
            return NotifAction::Errno{mapped.error()};

    long ret = -EPERM;
    if (!rights->run(creds, [&] { ret = perform(request.op, *target, payload); }))
        return NotifAction::Errno{EPERM};
    return answer(ret);
}

}  // namespace vestrion::seccomp::notif
