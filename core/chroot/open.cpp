// Opens under a virtual root: the file is opened beneath the root, with the child's rights and
// umask, and installed in the child as the result of its call.
#include <fcntl.h>
#include <linux/openat2.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <charconv>
#include <cstdio>
#include <string>

#include "core/chroot/handlers.hpp"
#include "core/seccomp/notif.hpp"
#include "core/sys/syscall.hpp"
#include "core/text.hpp"

namespace vestrion::chroot {

namespace sc = sys::syscall;

namespace {

// The kernel's own value, which glibc leaves out on x86-64 but some programs pass.
constexpr std::uint64_t kLargeFile = 0100000;
constexpr std::uint64_t kKnownFlags = O_ACCMODE | O_CREAT | O_EXCL | O_NOCTTY | O_TRUNC |
                                      O_APPEND | O_NONBLOCK | O_DSYNC | FASYNC | O_DIRECT |
                                      kLargeFile | O_DIRECTORY | O_NOFOLLOW | O_NOATIME |
                                      O_CLOEXEC | O_SYNC | O_PATH | O_TMPFILE;

struct OpenCall {
    int dirfd = AT_FDCWD;
    std::uint64_t path = 0;
    std::uint64_t flags = 0;
    std::uint32_t mode = 0;
};

OpenCall decode(const seccomp_data& d) {
    const auto& a = d.args;
    switch (d.nr) {
        case SYS_open: return {AT_FDCWD, a[0], a[1], static_cast<std::uint32_t>(a[2])};
        case SYS_creat:
            return {AT_FDCWD, a[0], O_CREAT | O_WRONLY | O_TRUNC, static_cast<std::uint32_t>(a[1])};
        default:
            return {static_cast<int>(a[0]), a[1], a[2], static_cast<std::uint32_t>(a[3])};
    }
}

bool creates(std::uint64_t flags) {
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE;
}

bool writes(std::uint64_t flags) {
    return (flags & O_ACCMODE) != O_RDONLY || (flags & O_TRUNC) || creates(flags);
}

// What the supervisor opens: the kernel installs no O_PATH descriptor from another process, so
// such an open gets the file for reading, without blocking on a FIFO; no terminal ever becomes
// the supervisor's; close-on-exec is the injection's business.
std::uint64_t host_flags(std::uint64_t flags) {
    flags &= ~static_cast<std::uint64_t>(O_CLOEXEC);
    if (flags & O_PATH) {
        flags &= O_DIRECTORY | O_NOFOLLOW;
        flags |= O_RDONLY | O_NONBLOCK;
    }
    return flags | O_NOCTTY;
}

// The child's own descriptor that a /dev/fd/N, /proc/self/fd/N, /dev/stdin, /dev/stdout or
// /dev/stderr path names; none for any other path.
std::optional<int> own_descriptor(std::string_view path) {
    if (path == "/dev/stdin") return 0;
    if (path == "/dev/stdout") return 1;
    if (path == "/dev/stderr") return 2;
    for (std::string_view prefix : {"/dev/fd/", "/proc/self/fd/", "/proc/thread-self/fd/"}) {
        if (!path.starts_with(prefix)) continue;
        std::string_view digits = path.substr(prefix.size());
        int fd = -1;
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), fd);
        if (ec != std::errc{} || end != digits.data() + digits.size() || digits.empty() || fd < 0)
            return std::nullopt;
        return fd;
    }
    return std::nullopt;
}

// Access modes as sets: O_RDWR holds both.
bool mode_within(std::uint64_t wanted, int held) {
    const auto set = [](std::uint64_t m) { return m == O_RDWR ? 3u : m == O_WRONLY ? 2u : 1u; };
    return (set(wanted & O_ACCMODE) & ~set(static_cast<std::uint64_t>(held) & O_ACCMODE)) == 0;
}

Errno<UniqueFd> reopen(int fd, std::uint64_t flags) {
    char link[48];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    auto opened = sc::openat2(AT_FDCWD, link, flags, 0, 0);
    if (!opened) return std::unexpected(opened.error().code());
    return std::move(*opened);
}

// A reopen of the child's own descriptor. A file inside the root is opened again with the
// child's rights and lists; anything else (a pipe, which bash's "<(...)" and the capture pipes
// are, or a file outside the root) only with at most the access it holds already.
NotifAction reopen_own(const Session& s, int child_fd, std::uint64_t flags) {
    auto fd = s.view().descriptor(child_fd);
    if (!fd) return refuse(fd.error());
    flags = host_flags(flags) & ~static_cast<std::uint64_t>(O_CREAT | O_EXCL | O_TMPFILE);
    const bool cloexec = false;
    if (auto virt = s.root().virtual_of(fd->get())) {
        if (!(writes(flags) ? s.lists().can_write(*virt) : s.lists().can_read(*virt)))
            return refuse(EACCES);
        auto opened = s.as_child([&] { return reopen(fd->get(), flags); });
        if (!opened) return refuse(opened.error());
        return NotifAction::InjectFdSend{std::move(*opened), cloexec};
    }
    const int held = ::fcntl(fd->get(), F_GETFL);
    if (held < 0 || (held & O_PATH) || !mode_within(flags, held)) return refuse(EACCES);
    auto opened = reopen(fd->get(), flags);
    if (!opened) return refuse(opened.error());
    return NotifAction::InjectFdSend{std::move(*opened), cloexec};
}

}  // namespace

NotifAction open_file(const Session& s) {
    const OpenCall c = decode(s.call().notif.data);
    if (c.flags & ~kKnownFlags) return refuse(EINVAL);
    const bool cloexec = c.flags & O_CLOEXEC;
    auto text = s.read_path(c.path);
    if (!text) return refuse(text.error());
    if (text->empty()) return refuse(ENOENT);
    if (auto own = own_descriptor(*text)) {
        NotifAction a = reopen_own(s, *own, c.flags);
        if (auto* inject = std::get_if<NotifAction::InjectFdSend>(&a.kind)) inject->cloexec = cloexec;
        return a;
    }
    auto virt = s.virtual_path(c.dirfd, *text);
    if (!virt) return refuse(virt.error());

    // O_CREAT | O_EXCL never follows a final link: a dangling one exists (EEXIST).
    const bool exclusive = (c.flags & O_CREAT) && (c.flags & O_EXCL);
    const bool follow = !(c.flags & O_NOFOLLOW) && !exclusive;
    auto r = s.as_child([&] { return resolve(s.root(), *virt, follow); });
    if (!r) return refuse(r.error());
    if (!(writes(c.flags) ? s.lists().can_write(r->virt) : s.lists().can_read(r->virt)))
        return refuse(EACCES);

    // The callback decides before anything is created or truncated.
    SyscallEvent event = seccomp::notif::event_for(s.call().notif);
    event.path = text::lossy_utf8(*text);
    if (auto refusal = seccomp::notif::ask_before_act(s.call(), std::move(event)))
        return std::move(*refusal);

    std::uint64_t flags = host_flags(c.flags);
    if (r->must_be_dir) flags |= O_DIRECTORY;
    const std::uint32_t mode = c.mode & 07777;
    auto opened = s.as_child([&]() -> Errno<UniqueFd> {
        // The worker's umask becomes the child's, on a file-system context of its own: the
        // process-wide one stays the caller's.
        if (creates(c.flags)) {
            if (::unshare(CLONE_FS) != 0) return std::unexpected(errno);
            ::umask(s.umask());
        }
        const bool self = r->name.empty();
        auto fd = sc::openat2(r->dir.get(), self ? "." : r->name.c_str(), flags, creates(c.flags) ? mode : 0,
                              self ? 0 : RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS);
        if (!fd) return std::unexpected(fd.error().code());
        return std::move(*fd);
    });
    if (!opened) return refuse(opened.error());
    return NotifAction::InjectFdSend{std::move(*opened), cloexec};
}

}  // namespace vestrion::chroot
