// The policy callback's event, context and verdict. They are small for now: the supervisor's
// callback thread gives them their full shape when it lands.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace vestrion {

struct SyscallEvent {
    std::int32_t pid = 0;
    std::int64_t syscall_nr = 0;
};

class PolicyContext {};

struct Verdict {
    enum class Kind : std::uint8_t { Allow, Deny, DenyWith };
    Kind kind = Kind::Allow;
    std::int32_t errno_value = 0;  // for DenyWith
};

using PolicyFn = std::function<Verdict(const SyscallEvent&, PolicyContext&)>;

}  // namespace vestrion
