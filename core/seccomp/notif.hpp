// The seccomp user-notification supervisor: the loop that answers the system calls the child's
// filter routes to the listener, the answers themselves, and the primitives that reach into the
// notifying process.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <span>
#include <vector>

#include "core/error.hpp"
#include "core/policy_fn.hpp"
#include "core/seccomp/action.hpp"
#include "core/seccomp/dispatch.hpp"
#include "core/seccomp/state.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::seccomp::notif {

// Supervises one sandbox on the calling thread, one notification at a time, until `stop_fd`
// (an eventfd) becomes readable or the listener is gone (every process under the filter has
// ended). Owns the listener and closes it on return.
void supervisor(NotifPolicy policy, std::shared_ptr<SharedSupervisorState> shared,
                UniqueFd listener, int stop_fd);

// Supervision of one sandbox whose poll loop the caller owns (the sandbox thread polls the
// listener beside the child's pidfd and output pipes). Owns the listener.
class Supervision {
  public:
    Supervision(NotifPolicy policy, std::shared_ptr<SharedSupervisorState> shared,
                UniqueFd listener);
    int fd() const { return listener_.get(); }
    // Readable when a thaw released the forks held while the sandbox was frozen.
    int wake_fd() const { return shared_->wake.get(); }
    void answer_held();
    // Answers what a poll saw on the listener: at most one notification, since the receive
    // blocks unless one is pending. False once supervision is over: the listener is gone or
    // hung up (every process under the filter has ended).
    bool serve(short revents);

  private:
    NotifPolicy policy_;
    std::shared_ptr<SharedSupervisorState> shared_;
    UniqueFd listener_;
};

// Asks the kernel to wake the notifying thread on the supervisor's CPU, which cuts the round
// trip of a routed call several times over. False where the kernel lacks the flag.
bool try_set_sync_wakeup(int listener) noexcept;

// One notification. Blocks while none is pending, whatever the descriptor's flags: poll first.
SysResult<SeccompNotif> recv_notif(int listener) noexcept;

// Sends the answer (nothing for `Hold`); the error of the last request made. An injected
// descriptor is closed in every case; a failed injection answers the call with its error.
SysResult<void> send_response(int listener, std::uint64_t id, NotifAction action) noexcept;

// Whether the notification still waits for its answer: the thread that made the call has not
// gone, and so its pid has not been given to another. Checked after opening anything by pid.
bool still_valid(int listener, std::uint64_t id) noexcept;

// Copies from the notifying process, checking before and after that the notification is still
// valid (the ioctl kind of NotifError otherwise). A range that ends in unmapped memory gives the
// bytes before it. Callers bound `length` before calling.
std::expected<std::vector<std::uint8_t>, NotifError> read_child_mem(int listener,
                                                                    const SeccompNotif& notif,
                                                                    std::uint64_t address,
                                                                    std::size_t length);
// The same into a caller's buffer, for paths that must not allocate; the number of bytes read.
std::expected<std::size_t, NotifError> read_child_mem_into(int listener, const SeccompNotif& notif,
                                                           std::uint64_t address,
                                                           std::span<std::uint8_t> out) noexcept;
// Reads `length` bytes of a child at `address`: fewer where the range runs into unmapped memory,
// none when nothing can be read. The decoders of what a command hands in read through one, so
// that tests and fuzzers can hand them bytes of their own.
using ChildReader = std::function<std::optional<std::vector<std::uint8_t>>(
    std::uint64_t address, std::size_t length)>;
// read_child_mem of the notifying process.
ChildReader child_reader(int listener, const SeccompNotif& notif);
// Copies all of `bytes` to the notifying process; a short write is the memory kind.
std::expected<void, NotifError> write_child_mem(int listener, const SeccompNotif& notif,
                                                std::uint64_t address,
                                                std::span<const std::uint8_t> bytes);

// Whether the notification still stands: its thread has neither ended nor been answered, so its
// pid still names it.
bool notif_id_valid(int listener, std::uint64_t id) noexcept;

// The supervisor's own descriptor for descriptor `fd` of the process behind `pidfd`.
SysResult<UniqueFd> dup_child_fd(int pidfd, int fd) noexcept;

// Installs a duplicate of `fd` in the notifying process without answering its call; the
// descriptor number it got there.
SysResult<int> add_fd(int listener, std::uint64_t id, int fd, bool cloexec) noexcept;

// Whether an open or openat notification asked for close-on-exec: what an injected descriptor
// answering it must carry.
bool wants_cloexec(const SeccompNotif& notif) noexcept;

// Patches the vDSO of the notifying process when it is not yet (after each exec): one read of
// its memory when it is. False when a patch was needed and could not be made.
bool maybe_patch_vdso(std::uint32_t pid, SupervisorState& state);

// --- The policy callback's events. ---

// A verdict is awaited this long; then the supervisor's own answer stands.
inline constexpr std::chrono::seconds VERDICT_WAIT{5};

// The event of a call with its name, category, pid and parent filled; the handler adds the path
// or the host and port.
SyscallEvent event_for(const SeccompNotif& notif);

// Readers of the notifying process's memory for events: absent when unreadable. A path reads up
// to 4096 bytes and must be UTF-8; an argument list at most 64 strings of 256 bytes.
std::optional<std::string> read_path_for_event(int listener, const SeccompNotif& notif,
                                               std::uint64_t address);
std::optional<std::vector<std::string>> read_argv_for_event(int listener,
                                                            const SeccompNotif& notif,
                                                            std::uint64_t address);
struct EventAddress {
    std::optional<IpAddr> host;
    std::optional<std::uint16_t> port;
};
EventAddress read_sockaddr_for_event(int listener, const SeccompNotif& notif,
                                     std::uint64_t address, std::uint64_t length);
std::optional<std::uint32_t> read_ppid(std::uint32_t pid);
// The same readers over any memory: the decoding itself.
std::optional<std::string> event_path(const ChildReader& read, std::uint64_t address);
std::optional<std::vector<std::string>> event_argv(const ChildReader& read, std::uint64_t address);
EventAddress event_address(const ChildReader& read, std::uint64_t address, std::uint64_t length);

// The callback's step before an answer is sent: tells the callback of the call and, for the calls
// it may veto, waits for its verdict, which may turn the answer into an error. Nothing when the
// handler already asked (ask_before_act).
NotifAction emit_policy_event(const Call& call, NotifAction action);

// For a call the supervisor itself performs (connect, sendto, sendmsg, sendmmsg, bind; opens under
// a virtual root or copy-on-write layer): sends the held event built from the handler's own copies
// (after the handler's own checks) and waits for the verdict before the act. Returns the refusal
// (EPERM for Deny, the errno of DenyWith) when the callback vetoes; none when the act may go ahead
// (Allow, Defer, closed reply channel, deadline, no callback). Either way the generic event step
// of this notification does not ask a second time.
std::optional<NotifAction> ask_before_act(const Call& call, SyscallEvent event);

}  // namespace vestrion::seccomp::notif
