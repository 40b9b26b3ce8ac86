#include "core/sys/syscall.hpp"

#include <fcntl.h>

#include <cerrno>
#include <string>

#include "core/sys/structs.hpp"

namespace vestrion::sys::syscall {

long raw(long nr, long a0, long a1, long a2, long a3, long a4, long a5) noexcept {
    long ret;
    register long r10 __asm__("r10") = a3;
    register long r8 __asm__("r8") = a4;
    register long r9 __asm__("r9") = a5;
    __asm__ volatile("syscall"
                     : "=a"(ret)
                     : "a"(nr), "D"(a0), "S"(a1), "d"(a2), "r"(r10), "r"(r8), "r"(r9)
                     : "rcx", "r11", "memory");
    return ret;
}

long landlock_create_ruleset(const void* attr, std::size_t size, std::uint32_t flags) noexcept {
    return raw(NR_LANDLOCK_CREATE_RULESET, reinterpret_cast<long>(attr), static_cast<long>(size),
               flags);
}

long landlock_add_rule(int ruleset_fd, int rule_type, const void* rule_attr,
                       std::uint32_t flags) noexcept {
    return raw(NR_LANDLOCK_ADD_RULE, ruleset_fd, rule_type, reinterpret_cast<long>(rule_attr),
               flags);
}

long landlock_restrict_self(int ruleset_fd, std::uint32_t flags) noexcept {
    return raw(NR_LANDLOCK_RESTRICT_SELF, ruleset_fd, flags);
}

namespace {

SysResult<UniqueFd> owned_fd(long ret) noexcept {
    if (is_error(ret)) return std::unexpected(SystemError::from_errno(static_cast<int>(-ret)));
    return UniqueFd(static_cast<int>(ret));
}

}  // namespace

SysResult<UniqueFd> pidfd_open(std::int32_t pid, std::uint32_t flags) noexcept {
    return owned_fd(raw(NR_PIDFD_OPEN, pid, flags));
}

SysResult<UniqueFd> pidfd_getfd(int pidfd, std::int32_t target_fd, std::uint32_t flags) noexcept {
    return owned_fd(raw(NR_PIDFD_GETFD, pidfd, target_fd, flags));
}

SysResult<void> pidfd_send_signal(int pidfd, int signal, std::uint32_t flags) noexcept {
    long ret = raw(NR_PIDFD_SEND_SIGNAL, pidfd, signal, 0, flags);
    if (is_error(ret)) return std::unexpected(SystemError::from_errno(static_cast<int>(-ret)));
    return {};
}

SysResult<UniqueFd> memfd_create(std::string_view name, std::uint32_t flags) {
    if (name.find('\0') != std::string_view::npos)
        return std::unexpected(SystemError::from_errno(EINVAL));
    std::string c_name(name);
    return owned_fd(raw(NR_MEMFD_CREATE, reinterpret_cast<long>(c_name.c_str()), flags));
}

SysResult<UniqueFd> openat2(int dirfd, const char* path, std::uint64_t flags, std::uint64_t mode,
                            std::uint64_t resolve) noexcept {
    OpenHow how{flags | O_CLOEXEC, mode, resolve};
    // EAGAIN: a rename raced the walk of a RESOLVE_BENEATH lookup. A few tries, not forever,
    // since the racing process may be the sandboxed one.
    long ret = -EAGAIN;
    for (int tries = 0; tries < 16 && (ret == -EAGAIN || ret == -EINTR); ++tries)
        ret = raw(NR_OPENAT2, dirfd, reinterpret_cast<long>(path), reinterpret_cast<long>(&how),
                  sizeof how);
    return owned_fd(ret);
}

long close_range(unsigned int first, unsigned int last, unsigned int flags) noexcept {
    return raw(NR_CLOSE_RANGE, first, last, flags);
}

}  // namespace vestrion::sys::syscall
