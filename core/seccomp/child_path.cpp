#include "core/seccomp/child_path.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <string_view>

#include "core/landlock.hpp"
#include "core/seccomp/notif.hpp"
#include "core/sys/proc.hpp"
#include "core/sys/structs.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::seccomp::notif {

namespace sc = sys::syscall;

namespace {

constexpr int kPathFlags = O_PATH;  // the wrapper adds O_CLOEXEC

// A rename racing the walk of a lookup held inside a directory gives EAGAIN; the wrapper tries a
// few times, and what is left reaches the child as its call's error.
Errno<UniqueFd> openat2(int dirfd, const char* path, std::uint64_t flags,
                        std::uint64_t resolve) noexcept {
    auto fd = sc::openat2(dirfd, path, flags, 0, resolve);
    if (!fd) return std::unexpected(fd.error().code());
    return std::move(*fd);
}

Errno<UniqueFd> open_proc_dir(std::uint32_t tid, const char* name) noexcept {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%u/%s", tid, name);
    UniqueFd fd(::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd) return std::unexpected(errno == ENOENT ? ESRCH : errno);
    return fd;
}

Errno<UniqueFd> duplicate(int fd) noexcept {
    UniqueFd dup(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!dup) return std::unexpected(errno);
    return dup;
}

// The same directory as seen through the same mount: same inode, device and mount.
bool same_place(int a, int b) noexcept {
    struct statx sa {}, sb {};
    constexpr unsigned mask = STATX_INO | STATX_MNT_ID;
    if (::statx(a, "", AT_EMPTY_PATH, mask, &sa) != 0 || ::statx(b, "", AT_EMPTY_PATH, mask, &sb))
        return false;
    return sa.stx_ino == sb.stx_ino && sa.stx_dev_major == sb.stx_dev_major &&
           sa.stx_dev_minor == sb.stx_dev_minor && (sa.stx_mask & STATX_MNT_ID) &&
           (sb.stx_mask & STATX_MNT_ID) && sa.stx_mnt_id == sb.stx_mnt_id;
}

// Walks up from directory `dir` to the root of its mount namespace; true when a write tree is met.
bool directory_beneath(int dir, const WriteTrees& trees) {
    auto first = duplicate(dir);
    if (!first) return false;
    UniqueFd current = std::move(*first);
    auto id = file_id(current.get());
    // The walk ends where ".." leads back to itself; the bound only keeps a tree changing under
    // it from holding the supervisor.
    for (int depth = 0; id && depth < PATH_MAX; ++depth) {
        if (trees.contains(*id)) return true;
        UniqueFd parent(::openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!parent) return false;
        auto parent_id = file_id(parent.get());
        if (!parent_id || *parent_id == *id) return false;  // the top: ".." leads back to itself
        current = std::move(parent);
        id = parent_id;
    }
    return false;
}

// A name of the magic links of a thread's own /proc directory: "fd/N", "cwd" or "root", with
// what follows it. Nothing for any other path.
struct OwnLink {
    enum Kind { Fd, Cwd, Root } kind;
    int fd = -1;
    std::string_view rest;
};

std::optional<OwnLink> own_proc_link(std::string_view path) {
    for (std::string_view prefix : {"/proc/self/", "/proc/thread-self/"}) {
        if (!path.starts_with(prefix)) continue;
        std::string_view tail = path.substr(prefix.size());
        auto split = [](std::string_view t, std::size_t at) { return t.substr(at); };
        auto ends_at = [](std::string_view t, std::size_t at) {
            return at == t.size() || t[at] == '/';
        };
        if (tail.starts_with("cwd") && ends_at(tail, 3))
            return OwnLink{OwnLink::Cwd, -1, split(tail, 3)};
        if (tail.starts_with("root") && ends_at(tail, 4))
            return OwnLink{OwnLink::Root, -1, split(tail, 4)};
        if (tail.starts_with("fd/")) {
            std::string_view number = tail.substr(3);
            int fd = -1;
            auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), fd);
            std::size_t used = static_cast<std::size_t>(end - number.data());
            if (ec == std::errc() && fd >= 0 && used > 0 && ends_at(number, used))
                return OwnLink{OwnLink::Fd, fd, split(number, used)};
        }
        return std::nullopt;
    }
    return std::nullopt;
}

// The name the kernel shows for descriptor `fd` of ours.
std::optional<std::string> name_of(int fd) {
    char link[48];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::string name(PATH_MAX, '\0');
    ssize_t n = ::readlink(link, name.data(), name.size());
    if (n <= 0) return std::nullopt;
    name.resize(static_cast<std::size_t>(n));
    return name;
}

// The path of directory `dir` beneath the thread's root `root`, checked to lead to `dir` itself;
// nothing when `dir` does not lie beneath it or its name has changed meanwhile.
std::optional<std::string> path_beneath(int dir, int root) {
    auto dir_name = name_of(dir);
    auto root_name = name_of(root);
    if (!dir_name || !root_name || !dir_name->starts_with('/')) return std::nullopt;
    std::string path;
    if (*root_name == "/")
        path = *dir_name;
    else if (*dir_name == *root_name)
        path.assign(1, '/');
    else if (dir_name->starts_with(*root_name + "/"))
        path = dir_name->substr(root_name->size());
    else
        return std::nullopt;
    auto found = openat2(root, path.c_str(), kPathFlags | O_DIRECTORY,
                         RESOLVE_IN_ROOT | RESOLVE_NO_SYMLINKS);
    if (!found || !same_place(found->get(), dir)) return std::nullopt;
    return path;
}

// A relative lookup of a thread whose root is not ours: the kernel would take ".." no higher
// than that root and start an absolute link there, so it becomes the absolute lookup it stands
// for, inside the root. Where the directory's place beneath the root cannot be told, the lookup
// must stay beneath the directory (EXDEV otherwise).
void anchor_in_root(const ThreadView& view, Lookup& lookup) {
    if (view.same_root || lookup.rest.empty()) return;
    auto path = path_beneath(lookup.base.get(), view.root.get());
    auto root = duplicate(view.root.get());
    if (!path || !root) {
        lookup.resolve |= RESOLVE_BENEATH;
        return;
    }
    lookup.base = std::move(*root);
    lookup.rest = *path + "/" + lookup.rest;
    lookup.resolve |= RESOLVE_IN_ROOT;
}

}  // namespace

std::optional<FileId> file_id(int fd) noexcept {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return FileId{st.st_dev, st.st_ino};
}

WriteTrees::WriteTrees(std::vector<FileId> roots, std::vector<Named> named)
    : roots_(std::move(roots)), named_(std::move(named)) {
    std::ranges::sort(roots_);
}

namespace {

// The name in lexically normal form, or none when it holds ".." (whose meaning depends on
// links) or is not absolute.
std::optional<std::string> normal_absolute(std::string_view path) {
    if (!path.starts_with('/')) return std::nullopt;
    std::string out;
    for (std::size_t i = 0; i < path.size();) {
        std::size_t j = std::min(path.find('/', i), path.size());
        std::string_view part = path.substr(i, j - i);
        i = j + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return std::nullopt;
        out += '/';
        out += part;
    }
    return out;
}

// Every directory above `dir` lets anyone search it: then the command reaches the tree by its
// name whatever its ids, and a lookup that starts at the tree asks nothing more of it.
bool searchable_above(int dir) {
    auto first = duplicate(dir);
    if (!first) return false;
    UniqueFd current = std::move(*first);
    auto id = file_id(current.get());
    for (int depth = 0; id && depth < PATH_MAX; ++depth) {
        UniqueFd parent(::openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat st {};
        if (!parent || ::fstat(parent.get(), &st) != 0) return false;
        if (FileId{st.st_dev, st.st_ino} == *id) return true;  // the top
        if (!(st.st_mode & S_IXOTH)) return false;
        current = std::move(parent);
        id = FileId{st.st_dev, st.st_ino};
    }
    return false;
}

}  // namespace

std::optional<WriteTrees::Beneath> WriteTrees::named_prefix(std::string_view path) const {
    std::optional<Beneath> best;
    for (const Named& tree : named_) {
        // "/" is the tree "" here: every absolute path lies beneath it.
        if (!path.starts_with(tree.path) || path.size() <= tree.path.size() + 1 ||
            path[tree.path.size()] != '/')
            continue;
        if (!best || tree.path.size() > best->tree->path.size())
            best = Beneath{&tree, path.substr(tree.path.size() + 1)};
    }
    return best;
}

WriteTrees WriteTrees::of(const landlock::Plan& plan, pid_t pid) {
    auto grants_writing = [](const landlock::PathRule& rule) {
        return (rule.mask & sys::LANDLOCK_ACCESS_FS_WRITE_FILE) != 0;
    };
    // Most policies grant no writing at all: nothing to open then.
    if (std::ranges::none_of(plan.paths, grants_writing)) return WriteTrees();
    auto root = open_proc_dir(static_cast<std::uint32_t>(pid), "root");
    auto cwd = open_proc_dir(static_cast<std::uint32_t>(pid), "cwd");
    std::vector<FileId> roots;
    std::vector<Named> named;
    if (!root || !cwd) return WriteTrees();
    for (const auto& rule : plan.paths) {
        if (!grants_writing(rule)) continue;
        // Landlock opened the path following its links, inside the child's mount namespace and
        // from its working directory, which has not moved since.
        const bool absolute = rule.path.starts_with('/');
        auto fd = openat2(absolute ? root->get() : cwd->get(), rule.path.c_str(), kPathFlags,
                          absolute ? RESOLVE_IN_ROOT : 0);
        if (!fd) continue;
        auto id = file_id(fd->get());
        if (!id) continue;
        roots.push_back(*id);
        auto name = normal_absolute(rule.path);
        if (name && searchable_above(fd->get())) named.push_back(Named{std::move(*name), std::move(*fd)});
    }
    return WriteTrees(std::move(roots), std::move(named));
}

bool WriteTrees::contains(FileId id) const {
    return std::ranges::binary_search(roots_, id);
}

Placement place(int fd, int child_root, const WriteTrees& trees) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Placement::Outside;
    // Nothing names an unlinked file any more: like a pipe, it is the child's own object.
    if (st.st_nlink == 0) return Placement::NoPlace;
    auto shown = name_of(fd);
    if (!shown) return Placement::Outside;
    const std::string& name = *shown;
    // Pipes, sockets and anonymous inodes have names like "pipe:[1234]".
    if (name.front() != '/') return Placement::NoPlace;
    const FileId id{st.st_dev, st.st_ino};
    // Beneath a tree, or else the tree itself (the entry a policy names, a host's /tmp or
    // /dev/null, is only lent to the child), or else outside.
    const Placement otherwise = trees.contains(id) ? Placement::WriteRoot : Placement::Outside;
    if (S_ISDIR(st.st_mode)) {
        UniqueFd parent(::openat(fd, "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        auto parent_id = parent ? file_id(parent.get()) : std::nullopt;
        if (!parent_id || *parent_id == id) return otherwise;  // the top of the namespace
        return directory_beneath(parent.get(), trees) ? Placement::Writable : otherwise;
    }

    // The name is the one the file was opened through; find its directory again (no link may
    // take part: the kernel's name has none) and make sure the name still leads to this file.
    // The kernel shows it from our root, or from the root of the child's mount namespace when
    // ours cannot reach it; a directory found either way and holding this very file is a place
    // of it.
    std::size_t slash = name.rfind('/');
    std::string dir_name = slash == 0 ? "/" : name.substr(0, slash);
    std::string base = name.substr(slash + 1);
    if (base.empty()) return otherwise;
    for (int from : {AT_FDCWD, child_root}) {
        auto dir = openat2(from, dir_name.c_str(), kPathFlags | O_DIRECTORY,
                           RESOLVE_NO_SYMLINKS | (from == AT_FDCWD ? 0 : RESOLVE_IN_ROOT));
        struct stat entry {};
        if (!dir || ::fstatat(dir->get(), base.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0 ||
            FileId{entry.st_dev, entry.st_ino} != id)
            continue;
        return directory_beneath(dir->get(), trees) ? Placement::Writable : otherwise;
    }
    return otherwise;
}

Errno<std::string> read_child_path(int listener, const SeccompNotif& notif,
                                   std::uint64_t address) {
    if (address == 0) return std::unexpected(EFAULT);
    std::string path(PATH_MAX, '\0');
    auto got = read_child_mem_into(listener, notif, address,
                                   {reinterpret_cast<std::uint8_t*>(path.data()), path.size()});
    if (!got) return std::unexpected(EFAULT);
    std::size_t end = path.find('\0');
    if (end >= *got) return std::unexpected(*got < path.size() ? EFAULT : ENAMETOOLONG);
    path.resize(end);
    return path;
}

Errno<ThreadView> ThreadView::open(const SeccompNotif& notif, int listener) {
    ThreadView view;
    auto root = open_proc_dir(notif.pid, "root");
    if (!root) return std::unexpected(root.error());
    auto cwd = open_proc_dir(notif.pid, "cwd");
    if (!cwd) return std::unexpected(cwd.error());
    auto pidfd = sc::pidfd_open(static_cast<std::int32_t>(notif.pid), sys::PIDFD_THREAD);
    if (!pidfd) {
        // Before Linux 6.9 only a thread-group leader has a pidfd; the descriptor table is the
        // whole group's either way.
        auto group = sys::proc::thread_group(notif.pid);
        if (group) pidfd = sc::pidfd_open(static_cast<std::int32_t>(*group), 0);
        if (!pidfd) return std::unexpected(ESRCH);
    }
    // The thread id may have been reused before we opened all three.
    if (!notif_id_valid(listener, notif.id)) return std::unexpected(ESRCH);
    view.root = std::move(*root);
    view.cwd = std::move(*cwd);
    view.pidfd = std::move(*pidfd);
    UniqueFd ours(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    view.same_root = ours && same_place(view.root.get(), ours.get());
    return view;
}

Errno<UniqueFd> ThreadView::descriptor(int fd) const {
    if (fd == AT_FDCWD) return duplicate(cwd.get());
    if (fd < 0) return std::unexpected(EBADF);
    auto dup = sc::pidfd_getfd(pidfd.get(), fd, 0);
    if (!dup) return std::unexpected(dup.error().code());
    return std::move(*dup);
}

Errno<Lookup> prepare_lookup(const ThreadView& view, int dirfd, std::string path, bool follow) {
    Lookup lookup;
    lookup.resolve = RESOLVE_NO_MAGICLINKS;
    if (auto link = own_proc_link(path)) {
        // The link itself, not followed, is an object of /proc: never a write tree.
        if (link->rest.empty() && !follow) return std::unexpected(EACCES);
        auto base = link->kind == OwnLink::Fd    ? view.descriptor(link->fd)
                    : link->kind == OwnLink::Cwd ? duplicate(view.cwd.get())
                                                 : duplicate(view.root.get());
        if (!base) return std::unexpected(base.error() == EBADF ? ENOENT : base.error());
        lookup.base = std::move(*base);
        std::string_view rest = link->rest;
        while (rest.starts_with('/')) rest.remove_prefix(1);
        lookup.rest = std::string(rest);
        if (link->kind == OwnLink::Root)
            lookup.resolve |= RESOLVE_IN_ROOT;
        else
            anchor_in_root(view, lookup);
        return lookup;
    }
    if (path.starts_with('/')) {
        auto base = duplicate(view.root.get());
        if (!base) return std::unexpected(base.error());
        lookup.base = std::move(*base);
        lookup.rest = std::move(path);
        lookup.resolve |= RESOLVE_IN_ROOT;
        return lookup;
    }
    auto base = view.descriptor(dirfd);
    if (!base) return std::unexpected(base.error());
    lookup.base = std::move(*base);
    lookup.rest = std::move(path);
    anchor_in_root(view, lookup);
    return lookup;
}

Errno<UniqueFd> finish_lookup(const Lookup& lookup, bool follow) noexcept {
    if (lookup.rest.empty()) return duplicate(lookup.base.get());
    return openat2(lookup.base.get(), lookup.rest.c_str(), kPathFlags | (follow ? 0 : O_NOFOLLOW),
                   lookup.resolve);
}

}  // namespace vestrion::seccomp::notif
