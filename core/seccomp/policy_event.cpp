// The policy callback's side of the supervisor: events built from notifications, and the wait
// for a verdict on the calls the callback may veto.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/syscall.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <mutex>

#include "core/seccomp/notif.hpp"
#include "core/sys/proc.hpp"
#include "core/text.hpp"

namespace vestrion::seccomp::notif {

namespace {

constexpr std::size_t PATH_BYTES = 4096;  // PATH_MAX, the terminating NUL included
constexpr std::size_t ARG_BYTES = 256;
constexpr std::size_t MAX_ARGS = 64;
constexpr std::size_t ADDRESS_BYTES = 128;  // sizeof(struct sockaddr_storage)
constexpr std::size_t MSGHDR_BYTES = 56;
constexpr std::size_t MMSGHDR_BYTES = 64;
constexpr std::size_t MAX_MESSAGES = 1024;  // UIO_MAXIOV, as the kernel bounds sendmmsg

struct CallName {
    int nr;
    const char* name;
    SyscallCategory category;
    bool held;  // the supervisor waits for the verdict
};

// Calls with a name of their own; every other number is "unknown" in the File category, except
// the two below.
constexpr std::array<CallName, 22> kNames{{
    {SYS_mmap, "mmap", SyscallCategory::Memory, false},
    {SYS_munmap, "munmap", SyscallCategory::Memory, false},
    {SYS_brk, "brk", SyscallCategory::Memory, false},
    {SYS_mremap, "unknown", SyscallCategory::Memory, false},
    {SYS_connect, "connect", SyscallCategory::Network, true},
    {SYS_sendto, "sendto", SyscallCategory::Network, true},
    {SYS_sendmsg, "sendmsg", SyscallCategory::Network, true},
    {SYS_sendmmsg, "sendmmsg", SyscallCategory::Network, true},
    {SYS_bind, "bind", SyscallCategory::Network, true},
    {SYS_getsockname, "unknown", SyscallCategory::Network, false},
    {SYS_clone, "clone", SyscallCategory::Process, false},
    {SYS_vfork, "vfork", SyscallCategory::Process, false},
    {SYS_clone3, "clone3", SyscallCategory::Process, false},
    {SYS_execve, "execve", SyscallCategory::Process, true},
    {SYS_execveat, "execveat", SyscallCategory::Process, true},
    {SYS_open, "open", SyscallCategory::File, true},
    {SYS_creat, "creat", SyscallCategory::File, true},
    {SYS_openat, "openat", SyscallCategory::File, true},
    {SYS_openat2, "openat2", SyscallCategory::File, true},
    {SYS_mkdirat, "mkdirat", SyscallCategory::File, false},
    {SYS_unlinkat, "unlinkat", SyscallCategory::File, false},
    {SYS_getrandom, "getrandom", SyscallCategory::File, false},
}};

const CallName* name_of(int nr) {
    auto it = std::ranges::find(kNames, nr, &CallName::nr);
    return it == kNames.end() ? nullptr : &*it;
}

bool is_held(int nr) {
    const CallName* name = name_of(nr);
    return name && name->held;
}

std::uint64_t load_u64(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint64_t value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

std::uint32_t load_u32(const std::vector<std::uint8_t>& bytes, std::size_t at) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}

// Text up to the first NUL (or the end of what could be read), absent unless UTF-8.
std::optional<std::string> read_text(const ChildReader& read, std::uint64_t address,
                                     std::size_t limit) {
    if (address == 0) return std::nullopt;
    auto bytes = read(address, limit);
    if (!bytes) return std::nullopt;
    std::string text(bytes->begin(), std::find(bytes->begin(), bytes->end(), 0));
    if (!text::is_valid_utf8(text)) return std::nullopt;
    return text;
}

// The destination of every message of a sendmmsg, one event each; one without an address when
// the vector cannot be read or is empty.
std::vector<SyscallEvent> sendmmsg_events(const Call& call, SyscallEvent base) {
    const SeccompNotif& n = call.notif;
    std::size_t count = std::min<std::uint64_t>(n.data.args[2] & 0xFFFFFFFF, MAX_MESSAGES);
    std::vector<SyscallEvent> events;
    auto vec = count ? read_child_mem(call.listener, n, n.data.args[1], count * MMSGHDR_BYTES)
                     : std::vector<std::uint8_t>{};
    if (vec) {
        for (std::size_t at = 0; at + MMSGHDR_BYTES <= vec->size(); at += MMSGHDR_BYTES) {
            SyscallEvent event = base;
            auto address = read_sockaddr_for_event(call.listener, n, load_u64(*vec, at),
                                                   load_u32(*vec, at + 8));
            event.host = address.host;
            event.port = address.port;
            events.push_back(std::move(event));
        }
    }
    if (events.empty()) events.push_back(std::move(base));
    return events;
}

// The events of one notification with their argument fields; several only for sendmmsg.
std::vector<SyscallEvent> events_for(const Call& call, bool denied) {
    const SeccompNotif& n = call.notif;
    const auto& a = n.data.args;
    const int listener = call.listener;
    SyscallEvent event = event_for(n);
    event.denied = denied;
    auto set_address = [&](std::uint64_t address, std::uint64_t length) {
        auto parsed = read_sockaddr_for_event(listener, n, address, length);
        event.host = parsed.host;
        event.port = parsed.port;
    };
    switch (n.data.nr) {
        case SYS_connect:
        case SYS_bind:
            set_address(a[1], a[2] & 0xFFFFFFFF);
            break;
        case SYS_sendto:
            set_address(a[4], a[5] & 0xFFFFFFFF);
            break;
        case SYS_sendmsg:
            if (auto header = read_child_mem(listener, n, a[1], MSGHDR_BYTES);
                header && header->size() == MSGHDR_BYTES)
                set_address(load_u64(*header, 0), load_u32(*header, 8));
            break;
        case SYS_sendmmsg:
            return sendmmsg_events(call, std::move(event));
        case SYS_open:
        case SYS_creat:
            event.path = read_path_for_event(listener, n, a[0]);
            break;
        case SYS_openat:
        case SYS_openat2:
            event.path = read_path_for_event(listener, n, a[1]);
            break;
        case SYS_execve:
            event.path = read_path_for_event(listener, n, a[0]);
            event.argv = read_argv_for_event(listener, n, a[1]);
            break;
        case SYS_execveat:
            event.path = read_path_for_event(listener, n, a[1]);
            event.argv = read_argv_for_event(listener, n, a[2]);
            break;
        default:
            break;
    }
    std::vector<SyscallEvent> events;
    events.push_back(std::move(event));
    return events;
}

std::shared_ptr<PolicyEventQueue> event_sender(SharedSupervisorState& shared) {
    std::lock_guard lock(shared.mutex);
    return shared.state.policy_events;
}

// What a verdict makes of the answer: an error for a refusal, none when the answer stands.
std::optional<NotifAction> refusal_of(const Verdict& verdict) {
    switch (verdict.kind) {
        case Verdict::Kind::Deny:
            return NotifAction::Errno{EPERM};
        case Verdict::Kind::DenyWith:
            // Anything but an error number would reach the child as a return value: a refusal
            // reported as success.
            if (verdict.errno_value < 1 || verdict.errno_value > 4095)
                return NotifAction::Errno{EPERM};
            return NotifAction::Errno{verdict.errno_value};
        case Verdict::Kind::Allow:
        case Verdict::Kind::Defer:
            break;
    }
    return std::nullopt;
}

// Sends every event with a reply channel and waits, up to one common deadline, for the verdicts
// in order; the first refusal. A closed or full channel, a callback still busy with a verdict
// that came too late, or a missed deadline lets the answer stand.
std::optional<NotifAction> ask(const PolicyEventQueue& sender, std::vector<SyscallEvent> events) {
    if (sender.stalled()) {
        // The callback still learns of the call, if there is room.
        for (SyscallEvent& event : events) sender.send(PolicyEvent{std::move(event), {}});
        return std::nullopt;
    }
    auto deadline = std::chrono::steady_clock::now() + VERDICT_WAIT;
    std::vector<std::future<Verdict>> replies;
    for (SyscallEvent& event : events) {
        std::promise<Verdict> reply;
        std::future<Verdict> verdict = reply.get_future();
        if (!sender.send(PolicyEvent{std::move(event), std::move(reply)})) return std::nullopt;
        replies.push_back(std::move(verdict));
    }
    for (auto& reply : replies) {
        if (reply.wait_until(deadline) != std::future_status::ready) {
            sender.mark_stalled(reply.share());
            return std::nullopt;
        }
        try {
            if (auto refusal = refusal_of(reply.get())) return refusal;
        } catch (const std::future_error&) {
            // The callback thread dropped the reply without a verdict.
        }
    }
    return std::nullopt;
}

}  // namespace

SyscallEvent event_for(const SeccompNotif& notif) {
    SyscallEvent event;
    if (const CallName* name = name_of(notif.data.nr)) {
        event.syscall = name->name;
        event.category = name->category;
    } else {
        event.syscall = "unknown";
        event.category = SyscallCategory::File;
    }
    event.pid = notif.pid;
    event.ppid = read_ppid(notif.pid);
    return event;
}

std::optional<std::string> read_path_for_event(int listener, const SeccompNotif& notif,
                                               std::uint64_t address) {
    return event_path(child_reader(listener, notif), address);
}

std::optional<std::vector<std::string>> read_argv_for_event(int listener,
                                                            const SeccompNotif& notif,
                                                            std::uint64_t address) {
    return event_argv(child_reader(listener, notif), address);
}

EventAddress read_sockaddr_for_event(int listener, const SeccompNotif& notif,
                                     std::uint64_t address, std::uint64_t length) {
    return event_address(child_reader(listener, notif), address, length);
}

std::optional<std::string> event_path(const ChildReader& read, std::uint64_t address) {
    return read_text(read, address, PATH_BYTES);
}

std::optional<std::vector<std::string>> event_argv(const ChildReader& read, std::uint64_t address) {
    if (address == 0) return std::nullopt;
    auto slots = read(address, MAX_ARGS * 8);
    if (!slots) return std::nullopt;
    std::vector<std::string> argv;
    for (std::size_t at = 0; at < MAX_ARGS * 8; at += 8) {
        // A slot that cannot be read in full leaves the list unknown.
        if (at + 8 > slots->size()) return std::nullopt;
        std::uint64_t pointer = load_u64(*slots, at);
        if (pointer == 0) break;
        auto arg = read_text(read, pointer, ARG_BYTES);
        if (!arg) break;
        argv.push_back(std::move(*arg));
    }
    if (argv.empty()) return std::nullopt;
    return argv;
}

EventAddress event_address(const ChildReader& read, std::uint64_t address, std::uint64_t length) {
    EventAddress out;
    if (address == 0 || length <= 3) return out;
    auto bytes = read(address, std::min<std::uint64_t>(length, ADDRESS_BYTES));
    if (!bytes || bytes->size() < 4) return out;
    const auto& b = *bytes;
    std::uint16_t family;
    std::memcpy(&family, b.data(), sizeof family);
    if (b[2] != 0 || b[3] != 0) out.port = static_cast<std::uint16_t>((b[2] << 8) | b[3]);
    if (family == AF_INET && b.size() >= 8) {
        std::array<std::uint8_t, 4> ip;
        std::copy_n(b.begin() + 4, 4, ip.begin());
        out.host = ip;
    } else if (family == AF_INET6 && b.size() >= 24) {
        std::array<std::uint8_t, 16> ip;
        std::copy_n(b.begin() + 8, 16, ip.begin());
        out.host = ip;
    }
    return out;
}

std::optional<std::uint32_t> read_ppid(std::uint32_t pid) { return sys::proc::parent_pid(pid); }

NotifAction emit_policy_event(const Call& call, NotifAction action) {
    if (call.policy_asked) return action;
    auto sender = event_sender(call.shared);
    if (!sender) return action;
    const bool denied = action.is<NotifAction::Errno>();
    std::vector<SyscallEvent> events = events_for(call, denied);
    if (!is_held(call.notif.data.nr)) {
        for (SyscallEvent& event : events) sender->send(PolicyEvent{std::move(event), {}});
        return action;
    }
    // Replacing an injecting answer closes its descriptor, as sending it would have.
    if (auto refusal = ask(*sender, std::move(events))) return std::move(*refusal);
    return action;
}

std::optional<NotifAction> ask_before_act(const Call& call, SyscallEvent event) {
    call.policy_asked = true;
    auto sender = event_sender(call.shared);
    if (!sender) return std::nullopt;
    std::vector<SyscallEvent> events;
    events.push_back(std::move(event));
    return ask(*sender, std::move(events));
}

}  // namespace vestrion::seccomp::notif
