#include "core/context/handshake.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "core/sys/syscall.hpp"
#include "core/text.hpp"

namespace vestrion::context {

namespace {

SysResult<std::pair<UniqueFd, UniqueFd>> pipe_with(int flags) {
    int fds[2];
    if (::pipe2(fds, flags) != 0) return std::unexpected(SystemError::last());
    return std::pair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace

SysResult<PipePair> PipePair::create() {
    auto notif = pipe_with(O_CLOEXEC);
    if (!notif) return std::unexpected(notif.error());
    auto ready = pipe_with(O_CLOEXEC);
    if (!ready) return std::unexpected(ready.error());
    auto fail = pipe_with(O_CLOEXEC | O_NONBLOCK);
    if (!fail) return std::unexpected(fail.error());
    return PipePair{std::move(notif->first), std::move(notif->second), std::move(ready->first),
                    std::move(ready->second), std::move(fail->first), std::move(fail->second)};
}

std::string read_failure_line(int fd) {
    std::string line;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) line.append(buf, static_cast<std::size_t>(n));
    while (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

// Raw calls: the child uses these while it may share the caller's memory, errno included.
int write_u32_raw(int fd, std::uint32_t value) noexcept {
    char bytes[4];
    std::memcpy(bytes, &value, 4);
    std::size_t done = 0;
    while (done < 4) {
        long n = sys::syscall::raw(SYS_write, fd, reinterpret_cast<long>(bytes + done), 4 - done);
        if (n < 0) return static_cast<int>(-n);
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int read_u32_raw(int fd, std::uint32_t& value) noexcept {
    char bytes[4];
    std::size_t done = 0;
    while (done < 4) {
        long n = sys::syscall::raw(SYS_read, fd, reinterpret_cast<long>(bytes + done), 4 - done);
        if (n < 0) return static_cast<int>(-n);
        if (n == 0) return READ_EOF;
        done += static_cast<std::size_t>(n);
    }
    std::memcpy(&value, bytes, 4);
    return 0;
}

SysResult<void> write_u32_fd(int fd, std::uint32_t value) {
    if (int error = write_u32_raw(fd, value)) return std::unexpected(SystemError::from_errno(error));
    return {};
}

SysResult<std::uint32_t> read_u32_fd(int fd) {
    std::uint32_t value = 0;
    int error = read_u32_raw(fd, value);
    if (error == READ_EOF)
        return std::unexpected(
            SystemError::with_message(SystemError::Kind::UnexpectedEof, READ_EOF_TEXT));
    if (error) return std::unexpected(SystemError::from_errno(error));
    return value;
}

namespace {

void write_whole_file(const char* path, std::string_view content) noexcept {
    namespace sc = sys::syscall;
    long fd = sc::raw(SYS_openat, AT_FDCWD, reinterpret_cast<long>(path), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return;
    sc::raw(SYS_write, fd, reinterpret_cast<long>(content.data()),
            static_cast<long>(content.size()));
    sc::raw(SYS_close, fd);
}

}  // namespace

namespace {

void write_maps(std::uint32_t inside_uid, std::uint32_t uid, std::uint32_t inside_gid,
                std::uint32_t gid) noexcept {
    text::LineBuf uid_map, gid_map;
    uid_map.add_uint(inside_uid).add(" ").add_uint(uid).add(" 1\n");
    gid_map.add_uint(inside_gid).add(" ").add_uint(gid).add(" 1\n");
    write_whole_file("/proc/self/uid_map", uid_map.view());
    write_whole_file("/proc/self/setgroups", "deny\n");
    write_whole_file("/proc/self/gid_map", gid_map.view());
}

}  // namespace

void write_id_maps(std::uint32_t uid, std::uint32_t gid) noexcept { write_maps(0, uid, 0, gid); }

void write_id_maps_identity(std::uint32_t uid, std::uint32_t gid) noexcept {
    write_maps(uid, uid, gid, gid);
}

void close_fds_above(std::span<const int> keep) noexcept {
    // close_range needs no directory listing, which Landlock may not grant. The keep-list is
    // small; walk the gaps between its sorted members.
    int sorted[16];
    std::size_t n = 0;
    for (int fd : keep)
        if (fd > 2 && n < std::size(sorted)) sorted[n++] = fd;
    std::sort(sorted, sorted + n);
    unsigned int next = 3;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned int fd = static_cast<unsigned int>(sorted[i]);
        if (fd > next) sys::syscall::close_range(next, fd - 1, 0);
        next = std::max(next, fd + 1);
    }
    sys::syscall::close_range(next, ~0u, 0);
}

Result<UniqueFd> fetch_listener(pid_t pid, int pidfd, std::uint32_t number) {
    if (pidfd >= 0) {
        auto fd = sys::syscall::pidfd_getfd(pidfd, static_cast<std::int32_t>(number), 0);
        if (!fd)
            return std::unexpected(VestrionError(
                SandboxError(SandboxError::Child{"pidfd_getfd: " + fd.error().message()})));
        return std::move(*fd);
    }
    std::string path = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(number);
    int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return std::unexpected(VestrionError(
            SandboxError(SandboxError::Child{"failed to open notif fd from /proc"})));
    return UniqueFd(fd);
}

}  // namespace vestrion::context
