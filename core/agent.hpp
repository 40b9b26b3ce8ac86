// The sandbox's agent: a process inside the child's confinement that makes calls for the
// supervisor.
//
// The supervisor acts with the caller's rights, outside the child's Landlock domain and with
// capabilities the child has dropped. A call it makes on the child's behalf (a connect, a send,
// a bind) goes to the agent instead, which makes it with exactly the child's rights: the child
// starts the agent after every restriction but its seccomp filter, so the agent shares the child's
// namespaces, ids, capabilities and Landlock domain (TCP ports, the abstract-socket scope), and
// its calls are not routed back to the supervisor. A thread of the supervisor that restricted
// itself would get a domain of its own, whose scope refuses the sandbox's own abstract names.
//
// The agent is a real fork of the child, with an address space of its own, made non-dumpable at
// once: the command may share its ids but can neither read its memory (a copy of the caller's)
// nor take its descriptors. That holds with `privileged` too: an address space keeps the user
// namespace of the one it was copied from, the caller's, where the command holds no capability.
// It is the caller's child (CLONE_PARENT), so the command cannot wait for it; the sandbox reaps
// it. It runs raw system calls only and allocates nothing, as the child may have been running on
// the caller's memory when it forked.
#pragma once

#include <cstdint>
#include <span>

#include "core/error.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::agent {

// The most the agent takes per call: the payload, the destination and the control data.
inline constexpr std::size_t MAX_PAYLOAD = 1 << 20;
inline constexpr std::size_t MAX_NAME = 128;
inline constexpr std::size_t MAX_CONTROL = 4096;
// The kernel passes at most this many descriptors in one message.
inline constexpr std::size_t MAX_RIGHTS = 253;

// --- In the child of a spawn, between its restrictions and its filter. ---

struct Started {
    int channel;  // the supervisor's end of the socketpair, close-on-exec
    int pidfd;    // the agent's pidfd, close-on-exec
};
// Starts the agent: 0, or the error number of the failed call.
int start(Started& out) noexcept;

// Puts the agent's descriptors (`rights`, `count` of them) and its pid where the supervisor
// left indexes and the child's pid in control data of `len` bytes; false for malformed data or
// an index past `count`. Allocates nothing: the agent calls it.
bool fix_control(std::uint8_t* control, std::size_t len, const int* rights, std::size_t count,
                 int pid) noexcept;

// --- In the supervisor. ---

// Where a call goes: an address as the child gave it, or a Unix path name that the agent opens
// from `base` (the child's working directory, or its root for an absolute path) and reaches as
// /proc/self/fd/N, so that the name resolves as the child would resolve it, with its rights; or
// a Unix socket file the supervisor has found and judged already (`base`, an O_PATH descriptor),
// reached the same way, so that what is reached is the very file judged.
struct Destination {
    enum class Kind : std::uint8_t { None, Address, PathFromDir, PathInRoot, File };
    Kind kind = Kind::None;
    std::span<const std::uint8_t> bytes;  // the address, or the path without its NUL
    int base = -1;
};

struct Message {
    Destination to;
    std::span<const std::uint8_t> payload;
    // Control data as the agent sends it, except that an SCM_RIGHTS entry holds indexes into
    // `rights` and the agent puts its own pid into SCM_CREDENTIALS.
    std::span<const std::uint8_t> control;
    std::span<const int> rights;
    int flags = 0;
};

class Agent {
  public:
    // `stop_fd` (borrowed) becomes readable when the sandbox stops: a call still blocked then is
    // woken by shutting its socket down.
    Agent(UniqueFd channel, UniqueFd pidfd, int stop_fd) noexcept;
    // Ends the agent and reaps it.
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    // Waits until the agent has made itself safe from the command (non-dumpable): the child
    // must not be let go towards the command's exec before. An error when the agent ended first.
    SysResult<void> await_ready();

    // The call's result (0 for connect, the count sent) or its error. `socket` is the
    // supervisor's duplicate of the child's socket. An agent that is gone gives ENOSYS.
    SysResult<std::int64_t> connect(int socket, const Destination& to);
    // A Unix path is bound from the directory that holds its last name.
    SysResult<std::int64_t> bind(int socket, const Destination& to);
    SysResult<std::int64_t> send(int socket, const Message& message);

    // The agent's process, for a signal to it alone.
    int pidfd() const noexcept { return pidfd_.get(); }
    // Its process id in our namespace; 0 when unknown. The command's views of the sandbox's
    // processes leave it out: it is the sandbox's, not the command's.
    int pid() const noexcept { return pid_; }

  private:
    SysResult<std::int64_t> call(std::uint32_t op, int socket, const Message& message);
    bool await_reply(int socket, std::int64_t& reply);

    UniqueFd channel_;
    UniqueFd pidfd_;
    int pid_ = 0;
    int stop_fd_;
    bool broken_ = false;  // a failed exchange leaves the stream out of step
};

}  // namespace vestrion::agent
