// The control requests of the outside branching filesystem (tessarin), issued as ioctls on its
// control files: ".tessarin_ctl" at the mount root makes a branch, "@"id/".tessarin_ctl" finishes
// it. The command must never issue them itself (the filter refuses them), or it could commit the
// branch of its own dry run.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vestrion::cow::tessarin {

inline constexpr const char* CTL_NAME = ".tessarin_ctl";
// The answer of CREATE: the new branch's id, NUL-terminated, in this many bytes.
inline constexpr std::size_t ID_BUFFER = 128;
inline constexpr std::uint32_t CREATE = 0x80806200;  // read, 128 bytes, type 'b', number 0
inline constexpr std::uint32_t COMMIT = 0x6201;      // no argument, type 'b', number 1
inline constexpr std::uint32_t ABORT = 0x6202;       // no argument, type 'b', number 2

}  // namespace vestrion::cow::tessarin
