// File metadata: the calls that change a file's mode, owner, times or extended attributes, and
// the two ioctls that change its flags. Landlock covers none of them, so a command could change
// files it may only read. The supervisor performs them itself: on the file it resolved from its
// own copy of the path (or the descriptor's own file), only beneath a writable tree of the policy
// (EACCES elsewhere, as Landlock answers a write), and with the child's ids and no capability.
#pragma once

#include "core/seccomp/action.hpp"
#include "core/seccomp/child_path.hpp"

namespace vestrion::seccomp::notif {

struct Call;

bool is_metadata_call(const SeccompNotif& notif) noexcept;

// Answers one metadata call: the result of performing it, or the error the child's own call would
// have met; EACCES for a file outside every write tree.
NotifAction handle_metadata(const Call& call);

}  // namespace vestrion::seccomp::notif
