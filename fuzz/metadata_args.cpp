// The metadata rule's decoding of a call's arguments and of the records they point to, over
// memory of the fuzzer's making: it gives a request or the kernel's error for malformed ones,
// never asks for more memory than the largest attribute value, and what it accepts holds what
// the kernel would accept (a name of 1 to 255 bytes, microseconds below a second, a record of
// the sizes the kernel takes).
#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "core/seccomp/metadata.hpp"
#include "core/sys/structs.hpp"

namespace {

constexpr std::uint64_t kBase = 0x10000;  // where the input lies in the pretended memory

constexpr std::array<int, 22> kCalls{
    SYS_chmod,        SYS_fchmod,       SYS_fchmodat,      vestrion::sys::NR_FCHMODAT2,
    SYS_chown,        SYS_lchown,       SYS_fchown,        SYS_fchownat,
    SYS_utime,        SYS_utimes,       SYS_futimesat,     SYS_utimensat,
    SYS_setxattr,     SYS_lsetxattr,    SYS_fsetxattr,     SYS_removexattr,
    SYS_lremovexattr, SYS_fremovexattr, vestrion::sys::NR_SETXATTRAT,
    vestrion::sys::NR_REMOVEXATTRAT,    vestrion::sys::NR_FILE_SETATTR, SYS_ioctl};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vestrion::seccomp::notif;
    constexpr std::size_t kHeader = 1 + 6 * 8;
    if (size < kHeader) return 0;
    seccomp_data call{};
    call.nr = kCalls[data[0] % kCalls.size()];
    std::memcpy(call.args, data + 1, sizeof call.args);
    const std::span<const std::uint8_t> memory(data, size);
    ChildReader read = [&](std::uint64_t address, std::size_t length)
        -> std::optional<std::vector<std::uint8_t>> {
        if (length > 65536) std::abort();  // more than the largest attribute value
        if (address < kBase || address - kBase >= memory.size()) return std::nullopt;
        const std::size_t at = address - kBase;
        const std::size_t n = std::min(length, memory.size() - at);
        return std::vector<std::uint8_t>(memory.begin() + at, memory.begin() + at + n);
    };

    auto decoded = metadata::decode_call(call, read);
    if (!decoded) {
        switch (decoded.error()) {
            case EINVAL: case EFAULT: case ERANGE: case E2BIG: return 0;
            default: std::abort();
        }
    }
    const metadata::Payload& p = decoded->payload;
    switch (decoded->request.op) {
        case metadata::Op::SetXattr:
            if (p.bytes.size() > 65536) std::abort();
            [[fallthrough]];
        case metadata::Op::RemoveXattr:
            if (p.name.empty() || p.name.size() > 255 || p.name.find('\0') != std::string::npos)
                std::abort();
            break;
        case metadata::Op::Times:
            if (!p.times_now && (call.nr == SYS_utimes || call.nr == SYS_futimesat))
                for (const timespec& t : p.times)
                    if (t.tv_nsec < 0 || t.tv_nsec >= 1000000000) std::abort();
            break;
        case metadata::Op::FileAttr:
            if (p.bytes.size() < vestrion::sys::FILE_ATTR_SIZE_VER0 || p.bytes.size() > 4096)
                std::abort();
            break;
        case metadata::Op::Ioctl:
            if (p.bytes.size() != (p.request == vestrion::sys::SET_FSXATTR_REQUEST ? 28 : 4))
                std::abort();
            break;
        case metadata::Op::Mode:
        case metadata::Op::Owner:
            break;
    }
    return 0;
}
