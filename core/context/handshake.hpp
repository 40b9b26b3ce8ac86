// The parent/child handshake: two close-on-exec pipes carrying one native-endian u32 each way
// (the listener number from the child, the go value from the parent), a third that carries a copy
// of the child's failure line, and small helpers of the child's sequence.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>
#include <string>

#include "core/error.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::context {

struct PipePair {
    UniqueFd notif_r;  // parent reads the listener number
    UniqueFd notif_w;  // child writes it
    UniqueFd ready_r;  // child reads the go value
    UniqueFd ready_w;  // parent writes it
    // A copy of the child's failure line, so that a failed spawn can say why; both ends are
    // non-blocking: the parent reads only what a dead child left behind.
    UniqueFd fail_r;
    UniqueFd fail_w;

    static SysResult<PipePair> create();
};

// What a child that ended before the handshake left in the failure pipe, without its newline;
// "" when it left nothing (it was killed, say).
std::string read_failure_line(int fd);

// The non-allocating cores of the two transfers, for the child: 0, an error number, or
// READ_EOF when the pipe closed before 4 bytes arrived.
inline constexpr int READ_EOF = -1;
int write_u32_raw(int fd, std::uint32_t value) noexcept;
int read_u32_raw(int fd, std::uint32_t& value) noexcept;
inline constexpr const char* READ_EOF_TEXT = "pipe closed before 4 bytes read";

SysResult<void> write_u32_fd(int fd, std::uint32_t value);
SysResult<std::uint32_t> read_u32_fd(int fd);

// Maps `uid` and `gid` to 0 in the calling process's user namespace; failures are ignored.
void write_id_maps(std::uint32_t uid, std::uint32_t gid) noexcept;
// Maps `uid` and `gid` to themselves. The ids must be read before the unshare: after it they
// read as the kernel's overflow ids, which only their owner may map.
void write_id_maps_identity(std::uint32_t uid, std::uint32_t gid) noexcept;

// Closes every descriptor above 2 that is not in `keep`.
void close_fds_above(std::span<const int> keep) noexcept;

// The parent's copy of the child's listener: through the pidfd when there is one, else through
// the child's /proc entry.
Result<UniqueFd> fetch_listener(pid_t pid, int pidfd, std::uint32_t number);

}  // namespace vestrion::context
