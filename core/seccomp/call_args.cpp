#include "core/seccomp/call_args.hpp"

#include <sys/syscall.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/seccomp/notif.hpp"

namespace vestrion::seccomp::notif {

Errno<std::vector<std::uint8_t>> read_exact(int listener, const SeccompNotif& notif,
                                            std::uint64_t address, std::size_t length) {
    if (length == 0) return std::vector<std::uint8_t>{};
    auto bytes = read_child_mem(listener, notif, address, length);
    if (!bytes || bytes->size() < length) return std::unexpected(EFAULT);
    return std::move(*bytes);
}

Errno<std::string> read_xattr_name(int listener, const SeccompNotif& notif, std::uint64_t address) {
    if (address == 0) return std::unexpected(EFAULT);
    auto bytes = read_child_mem(listener, notif, address, kXattrNameMax + 1);
    if (!bytes || bytes->empty()) return std::unexpected(EFAULT);
    auto end = std::find(bytes->begin(), bytes->end(), 0);
    if (end == bytes->end())
        return std::unexpected(bytes->size() > kXattrNameMax ? ERANGE : EFAULT);
    if (end == bytes->begin()) return std::unexpected(ERANGE);
    return std::string(bytes->begin(), end);
}

Errno<std::optional<std::array<timespec, 2>>> read_times(int listener, const SeccompNotif& notif,
                                                         int nr, std::uint64_t address) {
    if (address == 0) return std::nullopt;
    std::array<timespec, 2> times{};
    if (nr == SYS_utime) {
        auto bytes = read_exact(listener, notif, address, 2 * sizeof(long));
        if (!bytes) return std::unexpected(bytes.error());
        long t[2];
        std::memcpy(t, bytes->data(), sizeof t);
        times = {timespec{t[0], 0}, timespec{t[1], 0}};
    } else if (nr == SYS_utimes || nr == SYS_futimesat) {
        auto bytes = read_exact(listener, notif, address, 2 * sizeof(timeval));
        if (!bytes) return std::unexpected(bytes.error());
        timeval t[2];
        std::memcpy(t, bytes->data(), sizeof t);
        for (int i = 0; i < 2; ++i) {
            if (t[i].tv_usec < 0 || t[i].tv_usec >= 1000000) return std::unexpected(EINVAL);
            times[i] = timespec{t[i].tv_sec, t[i].tv_usec * 1000};
        }
    } else {
        auto bytes = read_exact(listener, notif, address, sizeof times);
        if (!bytes) return std::unexpected(bytes.error());
        std::memcpy(times.data(), bytes->data(), sizeof times);
    }
    return times;
}

}  // namespace vestrion::seccomp::notif
