// Steering a call the kernel performs: the call runs as the child made it, except that the
// kernel reads other bytes at one of its arguments, and the child never sees them.
//
// The supervisor cannot change a call's arguments, only the memory they point at, and the
// program keeps using that memory after the call (a shell keeps the name it gave chdir as its
// PWD). So the thread is held at its return to user space, before it runs another instruction:
// it is seized with ptrace and interrupted while it still waits for our answer (the wait is
// killable only once received, so the interrupt does not end it), the bytes are written, the call
// continues, and once the thread has stopped the program's own bytes are put back and the thread
// is let go. Its parent sees no stop. Nothing the command could not do by itself is gained by
// changing the bytes meanwhile: the kernel checks the call as it checks every call of the
// command.
#pragma once

#include <cstdint>
#include <span>

#include "core/seccomp/dispatch.hpp"

namespace vestrion::seccomp::notif {

// Answers the notification with a Continue that the kernel performs on `kernel_bytes` at
// `address` in place of `original` (the bytes there now, at least as long), or with `otherwise`
// when the bytes cannot be written. False, with the notification unanswered, when the thread
// cannot be held (ptrace refused: another tracer, a sandbox nested in ours); the caller then
// answers it as it would without steering.
bool continue_steered(const Call& call, std::uint64_t address,
                      std::span<const std::uint8_t> kernel_bytes,
                      std::span<const std::uint8_t> original, NotifAction otherwise);

}  // namespace vestrion::seccomp::notif
