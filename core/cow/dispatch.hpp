// The system-call handlers of the copy-on-write working directory: each reads the child's
// arguments, resolves its paths through the merged view, and lets the layer in the supervisor
// state act. A call on a path inside the working directory is always answered here (by the
// layer, or with the error the call must give); the kernel never performs it, since it would act
// on the working directory itself. A call on a path outside gets no answer, so the later rules
// of the dispatch and in the end the kernel decide.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "core/seccomp/dispatch.hpp"

namespace vestrion::cow::dispatch {

using seccomp::notif::Call;
using seccomp::notif::NotifAction;

// Calls that change a path or a file: the "at" forms, their older forms, times, nodes, extended
// attributes, and the metadata calls on descriptors.
bool is_cow_write(int nr);
// Calls that open by path.
bool is_cow_open(int nr);
// Calls that only look: status, access, links, extended attributes, listings. The kernel
// answers them from the working directory until the layer holds a change.
bool is_cow_read(int nr);

// Calls whose paths the kernel resolves itself, from the directory a process stands in: exec,
// chdir, statfs, inotify_add_watch, bind; and getcwd.
bool is_cow_place(int nr);

std::optional<NotifAction> handle_cow_write(const Call& call);
// execve and execveat run the file the view shows, chdir enters the view's directory, getcwd
// names W's path, statfs and inotify_add_watch reach the view's entry, and bind makes a Unix
// socket named relative to a directory of the view there: or the call fails with the error the
// view gives, never acting on W's old entry.
std::optional<NotifAction> handle_cow_place(const Call& call);
std::optional<NotifAction> handle_cow_open(const Call& call);
std::optional<NotifAction> handle_cow_read(const Call& call);

// The NUL-terminated bytes at `address` in the notifying thread, never crossing into a page the
// first read did not reach: EFAULT when nothing can be read, ENAMETOOLONG without a NUL within
// `limit` bytes.
std::expected<std::string, int> read_string(const Call& call, std::uint64_t address,
                                            std::size_t limit);

}  // namespace vestrion::cow::dispatch
