#include "core/procfs.hpp"

#include <fcntl.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/seccomp/notif.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::procfs {

using seccomp::notif::NotifAction;

namespace {

constexpr std::uint32_t PIDFD_THREAD = O_EXCL;  // Linux 6.9: a pidfd for one thread

std::size_t align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

template <class T>
void put(std::string& record, std::size_t offset, T value) {
    std::memcpy(record.data() + offset, &value, sizeof value);
}

bool still_valid(int listener, std::uint64_t id) {
    return ::ioctl(listener, SECCOMP_IOCTL_NOTIF_ID_VALID, &id) == 0;
}

}  // namespace

SysResult<UniqueFd> child_descriptor(const seccomp_notif& notif, int fd) {
    auto pidfd = sys::syscall::pidfd_open(static_cast<std::int32_t>(notif.pid), PIDFD_THREAD);
    if (!pidfd) pidfd = sys::syscall::pidfd_open(static_cast<std::int32_t>(notif.pid), 0);
    if (!pidfd) return std::unexpected(pidfd.error());
    return sys::syscall::pidfd_getfd(pidfd->get(), fd, 0);
}

std::uint8_t dirent_type(mode_t mode) {
    if (S_ISDIR(mode)) return DT_DIRECTORY;
    if (S_ISLNK(mode)) return DT_SYMLINK;
    return DT_REGULAR;
}

namespace {

// A zero-filled record with the fields both formats share and the name at `name_at`.
std::string record(std::uint64_t ino, std::uint64_t off, std::size_t reclen, std::size_t name_at,
                   std::string_view name) {
    std::string out(reclen, '\0');
    put(out, 0, ino);
    put(out, 8, off);
    put(out, 16, static_cast<std::uint16_t>(reclen));
    std::memcpy(out.data() + name_at, name.data(), name.size());
    return out;
}

}  // namespace

std::string build_dirent64(std::uint64_t ino, std::uint64_t off, std::uint8_t type,
                           std::string_view name) {
    std::string out = record(ino, off, align8(19 + name.size() + 1), 19, name);
    put(out, 18, type);
    return out;
}

std::string build_dirent(std::uint64_t ino, std::uint64_t off, std::uint8_t type,
                         std::string_view name) {
    // The name starts at 18; a NUL and the type byte follow it, the type last in the record.
    std::string out = record(ino, off, align8(18 + name.size() + 2), 18, name);
    put(out, out.size() - 1, type);
    return out;
}

NotifAction inject_memfd(std::string_view text, bool cloexec) {
    auto memfd = sys::syscall::memfd_create("vestrion", MFD_CLOEXEC);
    if (!memfd) return NotifAction::Continue{};
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(memfd->get(), p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return NotifAction::Continue{};
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    if (::lseek(memfd->get(), 0, SEEK_SET) != 0) return NotifAction::Continue{};
    return NotifAction::InjectFdSend{std::move(*memfd), cloexec};
}

NotifAction deliver_listing(const seccomp_notif& notif, int listener, std::mutex& mutex,
                            ListingCache& cache, const ListingBuilder& build) {
    const bool old_format = notif.data.nr == SYS_getdents;
    const int fd = static_cast<int>(static_cast<std::uint32_t>(notif.data.args[0]));
    const std::uint64_t dirp = notif.data.args[1];
    const std::uint32_t count = static_cast<std::uint32_t>(notif.data.args[2]);

    auto dup = child_descriptor(notif, fd);
    if (!dup) return NotifAction::Errno{dup.error().code() == ESRCH ? ESRCH : EBADF};
    // The thread id may have been reused since the notification: only a live one vouches for the
    // descriptor we took.
    if (!still_valid(listener, notif.id)) return NotifAction::Errno{ESRCH};
    const off_t position = ::lseek(dup->get(), 0, SEEK_CUR);

    std::lock_guard lock(mutex);
    const auto key = std::pair{notif.pid, static_cast<std::int32_t>(fd)};
    auto it = cache.find(key);
    // Position 0 is a fresh open, a rewind or a reused descriptor number: a new snapshot.
    if (it == cache.end() || position == 0) {
        auto entries = build();
        if (!entries) return NotifAction::Errno{entries.error()};
        it = cache.insert_or_assign(key, Listing{std::move(*entries), 0}).first;
    }
    Listing& listing = it->second;
    std::size_t index = position >= 0 ? static_cast<std::size_t>(position) : listing.next;

    std::string out;
    std::size_t taken = index;
    while (taken < listing.entries.size()) {
        const DirEntry& e = listing.entries[taken];
        std::string record = old_format ? build_dirent(e.ino, taken + 1, e.type, e.name)
                                        : build_dirent64(e.ino, taken + 1, e.type, e.name);
        if (out.size() + record.size() > count) break;
        out += record;
        ++taken;
    }
    if (taken == index) {
        if (index < listing.entries.size()) return NotifAction::Errno{EINVAL};
        return NotifAction::ReturnValue{0};
    }
    auto written = seccomp::notif::write_child_mem(
        listener, notif, dirp,
        std::span(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()));
    if (!written) return NotifAction::Errno{EFAULT};
    listing.next = taken;
    ::lseek(dup->get(), static_cast<off_t>(taken), SEEK_SET);
    return NotifAction::ReturnValue{static_cast<std::int64_t>(out.size())};
}

}  // namespace vestrion::procfs
