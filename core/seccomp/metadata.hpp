// File metadata: the calls that change a file's mode, owner, times or extended attributes, and
// the two ioctls that change its flags. Landlock covers none of them, so a command could change
// files it may only read. The supervisor performs them itself: on the file it resolved from its
// own copy of the path (or the descriptor's own file), only beneath a writable tree of the policy
// (EACCES elsewhere, as Landlock answers a write), and with the child's ids and no capability.
#pragma once

#include <fcntl.h>
#include <time.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/seccomp/action.hpp"
#include "core/seccomp/child_path.hpp"
#include "core/seccomp/notif.hpp"

namespace vestrion::seccomp::notif {

struct Call;

namespace metadata {

enum class Op { Mode, Owner, Times, SetXattr, RemoveXattr, FileAttr, Ioctl };

// How the call names its file.
enum class Form {
    Path,        // a path from `dirfd`; empty means the descriptor when `empty_path` is set
    Descriptor,  // the descriptor `dirfd` itself, which must be open for I/O (not O_PATH)
};

// What an empty path names (AT_EMPTY_PATH): nothing (ENOENT), or the descriptor `dirfd`, which
// may be an O_PATH one for the calls that act through a path, but not for the others.
enum class EmptyPath { Refused, AnyDescriptor, IoDescriptor };

struct Request {
    Op op;
    Form form = Form::Path;
    int dirfd = AT_FDCWD;
    std::uint64_t path = 0;  // still in the child's memory: read once, when it is resolved
    bool follow = true;
    EmptyPath empty = EmptyPath::Refused;
};

// What the call asks to set, copied from the child before anything is resolved (the kernel,
// too, reads these first).
struct Payload {
    std::uint32_t mode = 0;
    std::uint32_t uid = UINT32_MAX, gid = UINT32_MAX;
    bool times_now = true;
    std::array<timespec, 2> times{};
    std::string name;
    std::vector<std::uint8_t> bytes;  // the attribute value, the file_setattr record, or the
                                      // ioctl argument
    int flags = 0;                    // setxattr's flags
    std::uint32_t request = 0;        // the ioctl request
};

struct Decoded {
    Request request;
    Payload payload;
};

// A metadata call's arguments, with the records they point to read through `read`: the error
// the kernel gives for malformed ones (ENOSYS for a call that is none of them).
Errno<Decoded> decode_call(const seccomp_data& data, const ChildReader& read);

}  // namespace metadata

bool is_metadata_call(const SeccompNotif& notif) noexcept;

// Answers one metadata call: the result of performing it, or the error the child's own call would
// have met; EACCES for a file outside every write tree.
NotifAction handle_metadata(const Call& call);

}  // namespace vestrion::seccomp::notif
