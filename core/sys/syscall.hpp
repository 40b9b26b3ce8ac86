// The one place where raw system calls are issued. The plain forms return the kernel's value as it
// is (a negated error number between -4095 and -1 on failure) and are async-signal-safe, so the child
// of a spawn can use them between fork and exec.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/error.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::sys::syscall {

long raw(long nr, long a0 = 0, long a1 = 0, long a2 = 0, long a3 = 0, long a4 = 0,
         long a5 = 0) noexcept;

inline bool is_error(long ret) noexcept { return ret < 0 && ret >= -4095; }

long landlock_create_ruleset(const void* attr, std::size_t size, std::uint32_t flags) noexcept;
long landlock_add_rule(int ruleset_fd, int rule_type, const void* rule_attr,
                       std::uint32_t flags) noexcept;
long landlock_restrict_self(int ruleset_fd, std::uint32_t flags) noexcept;

// A descriptor referring to the process `pid`.
SysResult<UniqueFd> pidfd_open(std::int32_t pid, std::uint32_t flags) noexcept;
// A duplicate, in this process, of descriptor `target_fd` of the process behind `pidfd`.
SysResult<UniqueFd> pidfd_getfd(int pidfd, std::int32_t target_fd, std::uint32_t flags) noexcept;
// Sends `signal` to the process behind `pidfd` (or its group, with PIDFD_SIGNAL_PROCESS_GROUP).
SysResult<void> pidfd_send_signal(int pidfd, int signal, std::uint32_t flags) noexcept;
// An anonymous in-memory file; a name with a NUL byte is refused without a system call.
SysResult<UniqueFd> memfd_create(std::string_view name, std::uint32_t flags);

// openat2: `resolve` takes RESOLVE_* flags. O_CLOEXEC is always added.
SysResult<UniqueFd> openat2(int dirfd, const char* path, std::uint64_t flags, std::uint64_t mode,
                            std::uint64_t resolve) noexcept;

long close_range(unsigned int first, unsigned int last, unsigned int flags) noexcept;

}  // namespace vestrion::sys::syscall
