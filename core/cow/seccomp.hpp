// The supervisor's copy-on-write layer over the working directory W: the child's writes under W
// go to a private upper tree, its deletions to a set of marks, and W itself changes only at
// commit. Every operation works beneath a descriptor of W or of the upper tree and never follows
// a link out of them, so a link in W (or one the command made) cannot lead the supervisor, which
// acts with its own rights, anywhere else.
//
// Paths given to the operations are absolute host paths, already resolved against the calling
// process's directories and through the merged view (the callers test `matches` first). The
// operations that change an entry act on the entry itself, never through its final link (only a
// prepared read open follows a link, and only within the tree it lies in). They answer as the
// kernel would against the merged view: done, or the error number the call must fail with.
//
// The layer acts with the supervisor's rights: it keeps to W and the branch, but does not check
// the command's file permissions.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/dry_run.hpp"
#include "core/error.hpp"
#include "core/procfs.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::cow {

// Done, or the (positive) error number the child's call fails with.
using Outcome = std::expected<void, int>;

// An entry of the merged view: its parent directory, opened beneath W or the upper tree, and its
// name in it ("." for W itself). Use the *at calls with AT_SYMLINK_NOFOLLOW on (dir, name).
struct Entry {
    UniqueFd dir;
    std::string name;
    bool in_upper = false;
    struct stat st {};  // the entry's own status (a link's, not its target's)
};

// Where an entry lies: its parent directory, opened beneath W or the upper tree, and its name
// in it ("." for the tree's root itself).
struct Place {
    UniqueFd dir;
    std::string name;
};

// An open the layer has prepared: made with `open()`, which may block (a FIFO) and so can run
// on another thread, without the layer or its lock.
struct OpenTarget {
    UniqueFd dir;
    std::string name;
    int flags = 0;     // the child's flags, O_CLOEXEC added, O_CREAT and O_EXCL already served
    bool in_upper = false;
    bool created = false;  // the name was made for this open

    // The descriptor for the child; an error number otherwise. Never follows a link out of the
    // tree the entry lies in.
    std::expected<UniqueFd, int> open() const;
};

class SeccompCowBranch {
public:
    // The layer over `workdir`, its branch kept under `storage` (or a directory of this process
    // under the temporary directory). A storage base is created 0700 and used only when it is a
    // directory of this user and not a link. A base of this process's own (`own_base`, and the
    // default one) is removed with its last branch.
    static std::expected<SeccompCowBranch, BranchError> create(
        const std::filesystem::path& workdir, const std::optional<std::filesystem::path>& storage,
        bool own_base = false);
    // A working directory the layer can stand over: one that exists and is a directory, named
    // as itself rather than through a symbolic link. The error names the path and the reason.
    static std::expected<void, BranchError> check_workdir(const std::filesystem::path& workdir);

    SeccompCowBranch(SeccompCowBranch&&) = default;
    SeccompCowBranch& operator=(SeccompCowBranch&&) = default;
    ~SeccompCowBranch() = default;

    const std::filesystem::path& workdir() const { return workdir_; }
    const std::string& workdir_str() const { return workdir_str_; }
    // W's own status, taken when the layer was made (W stays in place until the commit).
    const struct stat& workdir_status() const { return workdir_st_; }
    const std::filesystem::path& upper() const { return upper_; }
    const std::filesystem::path& branch_dir() const { return branch_dir_; }
    // Where this layer's branch lies: `branch_dir`'s parent, shared with other layers.
    const std::filesystem::path& storage_base() const { return base_; }

    // Set by every operation that may change the view, never cleared: until then the read-side
    // rules leave calls to the kernel.
    bool dirty() const { return dirty_; }
    void mark_dirty() { dirty_ = true; }

    // The path is W or lies below it.
    bool matches(std::string_view path) const;
    // The path below W as a relative path: "" for W, components joined by "/", "." and ".."
    // taken away; none for a path outside W.
    std::optional<std::string> safe_rel(std::string_view path) const;
    // The W path of a path inside the upper tree (a descriptor or working directory of the child
    // there); none for any other path.
    std::optional<std::string> map_back(std::string_view path) const;

    // True when rel or one of its parents is marked deleted.
    bool is_deleted(std::string_view rel) const;
    // The view shows W's own entry at rel (not the working directory itself): no deletion mark
    // on it or above it, and no name of the upper tree there, nor a link or file of the upper
    // tree on the way to it. From the marks and one lookup in the upper tree.
    bool shows_own_entry(std::string_view rel) const;
    // upper/rel when the upper tree holds it, else workdir/rel.
    std::filesystem::path resolve_read(std::string_view rel) const;
    // The copy-up: upper/rel with the contents and metadata of W's entry (a link as a link, a
    // directory's metadata only); an error for what cannot be copied.
    std::expected<std::filesystem::path, BranchError> ensure_cow_copy(std::string_view rel);

    // The entry the merged view shows at `path`; ENOENT for a deleted or missing one.
    std::expected<Entry, int> locate(std::string_view path) const;

    // Prepares an open with the child's flags. `mode` is the mode of a new file, the child's
    // umask already applied. A write open copies the file up first; a deleted name opened
    // without O_CREAT is ENOENT, with it a new empty file.
    std::expected<OpenTarget, int> handle_open(std::string_view path, int flags, mode_t mode);
    // The entry to describe: see `locate`.
    std::expected<Entry, int> handle_stat(std::string_view path) const;
    // The target of the link at `path` (bytes); EINVAL when it is no link.
    std::expected<std::string, int> handle_readlink(std::string_view path) const;
    // `mode` as for `handle_open`.
    Outcome handle_mkdir(std::string_view path, mode_t mode);
    Outcome handle_unlink(std::string_view path, bool is_dir);
    // `flags` as renameat2's: RENAME_NOREPLACE is honoured, the others refused (EINVAL).
    Outcome handle_rename(std::string_view old_path, std::string_view new_path,
                          unsigned int flags = 0);
    Outcome handle_link(std::string_view old_path, std::string_view new_path);
    // The target is stored as given, whatever it names.
    Outcome handle_symlink(std::string_view target, std::string_view link_path);
    // Set-user-ID and set-group-ID bits are dropped.
    Outcome handle_chmod(std::string_view path, mode_t mode);
    // -1 (0xFFFFFFFF) keeps an id; another owner or group than the entry's is EPERM.
    Outcome handle_chown(std::string_view path, std::uint32_t uid, std::uint32_t gid);
    Outcome handle_truncate(std::string_view path, std::uint64_t length);
    // A FIFO, socket or regular node; anything else is EPERM. `mode` as for `handle_open`.
    Outcome handle_mknod(std::string_view path, mode_t mode);
    // Access and modification times as utimensat takes them (UTIME_NOW, UTIME_OMIT honoured);
    // null: both now.
    Outcome handle_utimens(std::string_view path, const struct timespec* times);
    // Extended attributes of the user namespace; the others are ENOTSUP.
    Outcome handle_setxattr(std::string_view path, const std::string& name,
                            const std::string& value, int flags);
    Outcome handle_removexattr(std::string_view path, const std::string& name);

    // The directory the view shows at `path`, mirrored at its place in the upper tree (made where
    // missing, showing W's metadata until the command changes it), so that a process can stand
    // in it and the kernel finds the layer's names from there: the mirror's path.
    std::expected<std::filesystem::path, int> ensure_dir_mirror(std::string_view path);
    // The mirror of `dir` (a host path, made canonical) when it lies in W; none otherwise.
    std::optional<std::filesystem::path> mirror_of(const std::filesystem::path& dir);
    // Puts what the view shows at `path` at its place in the upper tree, for the kernel to find
    // by a name relative to a mirrored directory: W's own file or link is copied, and the copy
    // counts as no change for as long as nothing changes it.
    Outcome place_for_kernel(std::string_view path);

    // Whether the entry at `path` is W's own, though a copy of it stands in the upper tree for
    // the kernel.
    bool is_placed_copy(std::string_view path) const;

    // The names of the merged directory at rel, sorted by bytes.
    std::vector<std::string> list_merged_dir(std::string_view rel) const;
    // The same with each entry's inode and type, for listings; ENOENT or ENOTDIR as the kernel.
    std::expected<std::vector<procfs::DirEntry>, int> merged_dir_entries(std::string_view rel) const;

    // Applies the changes to W: everything is checked first; files arrive under a temporary name
    // beside their place and are renamed into it. Then the branch is removed. A commit that cannot
    // finish names W, the entry and the reason, and keeps the branch (with what it has not yet
    // moved into W) where the error says.
    std::expected<void, BranchError> commit();
    // Removes the branch; an error names what could not be removed.
    std::expected<void, BranchError> abort();
    void cleanup();
    // Added and Modified files in the upper tree, then the deletions.
    std::expected<std::vector<Change>, BranchError> changes() const;

private:
    SeccompCowBranch() = default;

    // Makes a name the merged view lacks in the upper tree: 0 or -1 with errno, as a system call.
    using MakeFn = std::function<int(int dir, const char* name)>;
    std::expected<std::string, int> make_name(std::string_view path, const MakeFn& make);
    std::expected<Place, int> upper_parent(std::string_view rel);
    std::expected<Entry, int> locate_rel(std::string_view rel) const;
    std::expected<void, int> copy_up(std::string_view rel, bool contents);
    std::expected<std::string, int> rel_of(std::string_view path) const;
    void clear_mark(const std::string& rel);
    // Hides W's entry at rel, and records it for the commit to remove.
    void mark_removed(const std::string& rel);
    bool dir_empty_merged(std::string_view rel) const;
    // A commit's error: W, the entry (none: the whole branch), the cause and where the branch is.
    BranchError commit_error(const std::string& rel, const BranchError& cause) const;
    // An entry of the upper tree that is only a copy placed for the kernel, unchanged since.
    bool unchanged_copy(const std::string& rel, const struct stat& st) const;

    std::filesystem::path workdir_;
    std::string workdir_str_;
    std::filesystem::path base_;
    std::filesystem::path branch_dir_;
    std::filesystem::path upper_;
    UniqueFd w_fd_;      // W, O_PATH
    struct stat workdir_st_ {};
    UniqueFd upper_fd_;  // the upper tree, O_PATH
    std::set<std::string> deleted_;
    // Every W entry the command removed, also where it made a new one at the name since: the
    // commit removes exactly these from W.
    std::set<std::string> removed_;
    // Copies placed for the kernel, by their status change time then: an entry whose time has
    // not moved since is W's own and no change.
    std::map<std::string, struct timespec> kernel_copies_;
    // Directories whose own metadata the command set (made, or changed mode, owner or times):
    // only these carry theirs to W at commit.
    std::set<std::string> dir_meta_;
    bool own_base_ = false;
    bool dirty_ = false;
    bool finished_ = false;
};

}  // namespace vestrion::cow
