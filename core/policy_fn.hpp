// The policy callback: the event that describes one routed system call, the verdict the callback
// gives, the live policy it may narrow while the sandbox runs, and the thread that calls it.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <shared_mutex>
#include <string>
#include <variant>
#include <vector>

#include "core/error.hpp"

namespace vestrion {

enum class SyscallCategory : std::uint8_t { File = 0, Network = 1, Process = 2, Memory = 3 };

// An IPv4 or IPv6 address, in network byte order.
using IpAddr = std::variant<std::array<std::uint8_t, 4>, std::array<std::uint8_t, 16>>;

struct SyscallEvent {
    std::string syscall;  // "unknown" for a call without a name of its own
    SyscallCategory category = SyscallCategory::File;
    std::uint32_t pid = 0;  // the notifying thread
    std::optional<std::uint32_t> ppid;
    std::optional<std::string> path;
    std::optional<std::vector<std::string>> argv;
    std::optional<IpAddr> host;
    std::optional<std::uint16_t> port;  // host byte order
    // The supervisor's own answer to the call is an error.
    bool denied = false;
};

struct Verdict {
    enum class Kind : std::uint8_t { Allow = 0, Defer = 1, Deny = 2, DenyWith = 3 };
    Kind kind = Kind::Allow;
    std::int32_t errno_value = 0;  // for DenyWith

    static Verdict allow() { return {Kind::Allow, 0}; }
    static Verdict defer() { return {Kind::Defer, 0}; }
    static Verdict deny() { return {Kind::Deny, 0}; }
    static Verdict deny_with(std::int32_t error) { return {Kind::DenyWith, error}; }
};

// What the callback may narrow while the sandbox runs, shared with the supervisor.
struct LivePolicy {
    std::set<IpAddr> allowed_ips;
    std::uint64_t max_memory_bytes = 0;  // 0: no limit of its own
    std::uint32_t max_processes = 0;
    // Once the callback has restricted the set it applies even when empty: no address at all.
    bool allowed_ips_restricted = false;
};

struct SharedLivePolicy {
    std::shared_mutex lock;
    LivePolicy value;
};

// Written by the callback thread without the supervisor's mutex: each has a lock of its own,
// always taken after that mutex.
struct DeniedPaths {
    std::shared_mutex lock;
    std::set<std::string> paths;  // normalised absolute paths
};
struct PidNetworks {
    std::shared_mutex lock;
    std::map<std::uint32_t, std::set<IpAddr>> networks;  // by thread-group id
};

// Lent to every call of the callback. Changes apply to notifications read after them.
class PolicyContext {
  public:
    // A context over fresh shared values of its own.
    PolicyContext();
    PolicyContext(std::shared_ptr<SharedLivePolicy> live, LivePolicy initial,
                  std::shared_ptr<PidNetworks> pid_network,
                  std::shared_ptr<DeniedPaths> denied_paths);

    // Refuses opens of the path and of everything below it, compared after lexical
    // normalisation; a relative path is taken from the root. Stops a careless command, not a
    // hostile one: hard boundaries belong in the policy's filesystem rules.
    void deny_path(const std::string& path);
    // Removes exactly that entry (after the same normalisation); other entries stay.
    void allow_path(const std::string& path);
    // Puts back addresses of the starting set; "allowed_ips" once the set has been restricted.
    std::expected<void, std::string> grant_network(const std::vector<IpAddr>& addresses);
    // From now on exactly these addresses, none when the list is empty.
    void restrict_network(const std::vector<IpAddr>& addresses);
    // The memory budget becomes the smaller of this and the policy's (0: no live limit). Without
    // a memory limit in the policy the memory calls are not watched and this has no effect.
    void restrict_max_memory(std::uint64_t bytes);
    // The process budget becomes the smaller of this and the policy's; 0: no more forks.
    void restrict_max_processes(std::uint32_t count);
    // The process of thread `pid`, and every process it starts, may reach only these addresses.
    void restrict_pid_network(std::uint32_t pid, const std::vector<IpAddr>& addresses);

    const std::set<std::string>& restricted() const { return restricted_; }

  private:
    std::shared_ptr<SharedLivePolicy> live_;
    LivePolicy initial_;
    std::set<std::string> restricted_;
    std::shared_ptr<PidNetworks> pid_network_;
    std::shared_ptr<DeniedPaths> denied_paths_;
};

using PolicyFn = std::function<Verdict(SyscallEvent, PolicyContext&)>;

// One event on its way to the callback; `reply` is present for the calls that wait for the
// verdict.
struct PolicyEvent {
    SyscallEvent event;
    std::optional<std::promise<Verdict>> reply;
};

namespace policy_fn {

// Events nobody waits on that may queue for a slow callback; beyond it they are dropped. Held
// events have a bound of their own and go ahead of these.
inline constexpr std::size_t MAX_QUEUED_EVENTS = 4096;

class EventChannel;

// The sending end of the callback thread's queue. Dropping the last copy closes the queue; what
// is still queued is dropped and the thread ends after the call in progress.
class PolicyEventSender {
  public:
    explicit PolicyEventSender(std::shared_ptr<EventChannel> channel);
    ~PolicyEventSender();
    PolicyEventSender(const PolicyEventSender&) = delete;
    PolicyEventSender& operator=(const PolicyEventSender&) = delete;

    // False when the thread is gone, the queue is closed or full: the event, and its reply,
    // are dropped.
    bool send(PolicyEvent event) const;
    // Drops what is queued; the callback is called no more.
    void close() const;
    // A held call stopped waiting for this verdict: until it arrives, held calls do not wait.
    void mark_stalled(std::shared_future<Verdict> late) const;
    bool stalled() const;

  private:
    std::shared_ptr<EventChannel> channel_;
};

// Starts the thread that calls `callback` for every event sent, one at a time, held events first,
// each kind in order. Nobody joins it: it ends once the sender is gone.
Result<std::shared_ptr<PolicyEventSender>> spawn_policy_fn(
    std::shared_ptr<const PolicyFn> callback, std::shared_ptr<SharedLivePolicy> live,
    LivePolicy initial, std::shared_ptr<PidNetworks> pid_network,
    std::shared_ptr<DeniedPaths> denied_paths);

}  // namespace policy_fn

// The sending end as the supervisor state keeps it.
using PolicyEventQueue = policy_fn::PolicyEventSender;

}  // namespace vestrion
