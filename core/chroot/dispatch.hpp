// The handlers of the calls that name a path while a virtual root is in force. The root's rule
// answers every such call itself (the later rules read paths as host paths and must never see
// a virtual one); only the descriptor forms go on to them.
#pragma once

#include <optional>

#include "core/seccomp/dispatch.hpp"

namespace vestrion::chroot::dispatch {

using seccomp::notif::Call;
using seccomp::notif::NotifAction;

// open, openat and creat: the file opened beneath the root and installed in the child.
NotifAction handle_open(const Call& call);
// Every other call the root takes; none for one that acts on a descriptor (utimensat with no
// path), which goes on to the later rules.
std::optional<NotifAction> handle_call(const Call& call);

// The calls of `handle_call`: status, links, listings, the working directory, exec, and every
// change by path.
bool is_chroot_call(int nr);

}  // namespace vestrion::chroot::dispatch
