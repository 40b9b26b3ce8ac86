// The calls that take randomness from the kernel, answered from the sandbox's stream instead.
#pragma once

#include <optional>

#include "core/random.hpp"
#include "core/seccomp/action.hpp"
#include "core/seccomp/dispatch.hpp"

namespace vestrion::random {

// getrandom: at most 1 MiB of the stream per call, written to the child's buffer.
seccomp::notif::NotifAction handle_getrandom(const seccomp::notif::Call& call, Rng& rng);

// An open (open or openat) of exactly "/dev/random" or "/dev/urandom" for reading gets a device
// of its own: its first MiB from the stream, then its own stream without end. None for any other
// open: the routing goes on.
std::optional<seccomp::notif::NotifAction> handle_random_open(const seccomp::notif::Call& call,
                                                              Rng& rng, DeviceStreams& devices);

}  // namespace vestrion::random
