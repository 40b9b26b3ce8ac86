// Files named by a notifying thread, found as that thread would find them, and where they lie.
//
// A path is read once from the child's memory and resolved once, from the thread's own root,
// working directory or descriptor, into an O_PATH descriptor; every later step acts on that
// descriptor, so a path the child swaps meanwhile changes nothing. Where a file lies is judged
// by identity (device and inode), walking up its directories as Landlock walks up a path.
#pragma once

#include <linux/seccomp.h>
#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/landlock.hpp"
#include "core/policy.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::seccomp::notif {

using SeccompNotif = seccomp_notif;

// Failures here are the error numbers the child's call answers with.
template <class T>
using Errno = std::expected<T, int>;

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    auto operator<=>(const FileId&) const = default;
};
std::optional<FileId> file_id(int fd) noexcept;

// The files and directories the child may write to or beneath: the targets of its Landlock rules
// that grant writing, by identity.
class WriteTrees {
  public:
    // A tree by the absolute name the policy gave it, opened where the command saw that name at
    // its start, whose every directory above lets anyone search it.
    struct Named {
        std::string path;  // lexically normal: no ".", "..", repeated or final "/"
        UniqueFd dir;      // O_PATH
    };

    WriteTrees() = default;
    explicit WriteTrees(std::vector<FileId> roots, std::vector<Named> named = {});
    // The writable paths of the Landlock rules `plan`, opened inside the root of process `pid`
    // (its mount namespace may differ from ours). Taken before the command starts, so that it
    // cannot have replaced any of them; a path that is missing is left out, as Landlock leaves it.
    static WriteTrees of(const landlock::Plan& plan, pid_t pid);

    bool contains(FileId id) const;
    bool empty() const { return roots_.empty(); }

    // The named tree that `path` (absolute) lies strictly beneath by its text, with the rest of
    // the path after it (never empty); the longest such name. Where the command's own lookup
    // would lead is for the lookup beneath the tree's descriptor to find out.
    struct Beneath {
        const Named* tree = nullptr;
        std::string_view rest;
    };
    std::optional<Beneath> named_prefix(std::string_view path) const;

  private:
    std::vector<FileId> roots_;  // sorted
    std::vector<Named> named_;
};

enum class Placement {
    NoPlace,    // not in any file system (pipe, socket, anonymous inode, memfd, unlinked file)
    Writable,   // strictly beneath a write tree
    WriteRoot,  // a write tree itself, beneath no other: its contents are the child's, not it
    Outside,
};

// Where the file behind `fd` lies. A file that is not a directory is placed by the name the kernel
// shows for it, found again beneath `child_root` and checked to be the same file; one that cannot
// be found that way counts as outside.
Placement place(int fd, int child_root, const WriteTrees& trees);

// A NUL-terminated path from the child's memory: EFAULT when unreadable, ENAMETOOLONG when no NUL
// ends it within PATH_MAX bytes.
Errno<std::string> read_child_path(int listener, const SeccompNotif& notif, std::uint64_t address);

// What the notifying thread resolves paths from, opened with the supervisor's rights: its root,
// its working directory and a pidfd through which its descriptors are reached.
struct ThreadView {
    UniqueFd root;
    UniqueFd cwd;
    UniqueFd pidfd;
    bool same_root = false;  // its root is this process's root

    // Fails with ESRCH when the thread is gone or its notification no longer stands.
    static Errno<ThreadView> open(const SeccompNotif& notif, int listener);

    // The thread's descriptor `fd` (AT_FDCWD: its working directory), duplicated.
    Errno<UniqueFd> descriptor(int fd) const;
};

// A lookup prepared with the supervisor's rights (its starting directory) and finished with the
// child's (the walk itself, which needs search permission on every directory).
struct Lookup {
    UniqueFd base;
    std::string rest;           // relative to `base`; empty: `base` itself is the file
    std::uint64_t resolve = 0;  // openat2 resolve flags
};

// Prepares the lookup of `path` from the thread's directory `dirfd` (a descriptor number or
// AT_FDCWD). The thread's own /proc/self (or thread-self) fd, cwd and root links lead to its own
// objects; other magic links are refused (ELOOP), since ours would stand in for them.
Errno<Lookup> prepare_lookup(const ThreadView& view, int dirfd, std::string path, bool follow);
// The file, O_PATH; the final link is followed when `follow`.
Errno<UniqueFd> finish_lookup(const Lookup& lookup, bool follow) noexcept;

}  // namespace vestrion::seccomp::notif
