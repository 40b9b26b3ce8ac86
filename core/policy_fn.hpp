// The policy callback's event, context and verdict. They are small for now: the supervisor's
// callback thread gives them their full shape when it lands.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <shared_mutex>
#include <variant>

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

// An IPv4 or IPv6 address, in network byte order.
using IpAddr = std::variant<std::array<std::uint8_t, 4>, std::array<std::uint8_t, 16>>;

// What the callback may change while the sandbox runs, shared with the supervisor.
struct LivePolicy {
    std::set<IpAddr> allowed_ips;
    std::uint64_t max_memory_bytes = 0;
    std::uint32_t max_processes = 0;
};

struct SharedLivePolicy {
    std::shared_mutex lock;
    LivePolicy value;
};

// One notification described to the callback. The reply channel of the six calls the supervisor
// waits for comes with the callback thread.
struct PolicyEvent {
    SyscallEvent event;
};

// The sending end of the callback thread's event queue; built with the callback thread.
class PolicyEventQueue;

}  // namespace vestrion
