#include "core/cow/seccomp.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/sendfile.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <functional>

#include "core/cow/commit.hpp"
#include "core/cow/storage.hpp"
#include "core/sys/syscall.hpp"
#include "core/text.hpp"

namespace vestrion::cow {

namespace {

namespace fs = std::filesystem;

// Stay beneath the directory we start from, and never through /proc's magic links.
constexpr std::uint64_t BENEATH = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
// No link at all on the way: for the parents of what we change.
constexpr std::uint64_t NO_LINKS = BENEATH | RESOLVE_NO_SYMLINKS;
constexpr mode_t SET_ID_BITS = S_ISUID | S_ISGID;
constexpr std::uint32_t KEEP_ID = 0xFFFFFFFF;

using Errno = std::unexpected<int>;

int last_errno() { return errno; }

BranchError failed(const std::string& what, int error) {
    return BranchError(BranchError::Failed{what + ": " + SystemError::from_errno(error).message()});
}

std::expected<UniqueFd, int> open_beneath(int root, std::string_view rel, std::uint64_t flags,
                                          std::uint64_t resolve = BENEATH, mode_t mode = 0) {
    std::string path = rel.empty() ? std::string(".") : std::string(rel);
    auto fd = sys::syscall::openat2(root, path.c_str(), flags, mode, resolve);
    if (!fd) return Errno(fd.error().code());
    return std::move(*fd);
}

std::pair<std::string_view, std::string_view> split_last(std::string_view rel) {
    auto slash = rel.rfind('/');
    if (slash == std::string_view::npos) return {std::string_view(), rel};
    return {rel.substr(0, slash), rel.substr(slash + 1)};
}

std::string join(std::string_view rel, std::string_view name) {
    if (rel.empty()) return std::string(name);
    std::string out(rel);
    out += '/';
    out += name;
    return out;
}

bool is_below(std::string_view rel, std::string_view dir) {
    return rel.size() > dir.size() && rel.starts_with(dir) && rel[dir.size()] == '/';
}

// The parent directory of rel beneath `root`, reached without a link, and rel's last name.
std::expected<Place, int> place_in(int root, std::string_view rel) {
    if (rel.empty()) {
        auto self = open_beneath(root, "", O_PATH | O_DIRECTORY, NO_LINKS);
        if (!self) return Errno(self.error());
        return Place{std::move(*self), "."};
    }
    auto [dir, name] = split_last(rel);
    auto fd = open_beneath(root, dir, O_PATH | O_DIRECTORY, NO_LINKS);
    if (!fd) return Errno(fd.error() == ELOOP ? ENOTDIR : fd.error());
    return Place{std::move(*fd), std::string(name)};
}

std::optional<struct stat> lstat_at(int dir, const std::string& name) {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return std::nullopt;
    return st;
}

UniqueFd dup_cloexec(int fd) { return UniqueFd(::fcntl(fd, F_DUPFD_CLOEXEC, 0)); }

// The names of a directory, sorted by bytes.
std::expected<std::vector<std::string>, int> read_names(int dir) {
    int fd = ::openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Errno(last_errno());
    DIR* d = ::fdopendir(fd);
    if (!d) {
        int e = last_errno();
        ::close(fd);
        return Errno(e);
    }
    std::vector<std::string> names;
    errno = 0;
    while (dirent* e = ::readdir(d)) {
        std::string_view n = e->d_name;
        if (n != "." && n != "..") names.emplace_back(n);
    }
    int error = errno;
    ::closedir(d);
    if (error != 0) return Errno(error);
    std::sort(names.begin(), names.end());
    return names;
}

// Bytes [from, to) of `in` to the same offsets of `out`.
std::expected<void, int> copy_range(int in, int out, off_t from, off_t to) {
    off_t in_at = from, out_at = from;
    while (in_at < to) {
        ssize_t n = ::copy_file_range(in, &in_at, out, &out_at, static_cast<std::size_t>(to - in_at), 0);
        if (n > 0) continue;
        if (n == 0) return {};  // the file shrank meanwhile
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return Errno(last_errno());
        break;
    }
    char buf[65536];
    while (in_at < to) {
        ssize_t n = ::pread(in, buf, static_cast<std::size_t>(std::min<off_t>(to - in_at, sizeof buf)), in_at);
        if (n == 0) return {};
        if (n < 0) {
            if (errno == EINTR) continue;
            return Errno(last_errno());
        }
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::pwrite(out, buf + done, static_cast<std::size_t>(n - done), out_at);
            if (w < 0) {
                if (errno == EINTR) continue;
                return Errno(last_errno());
            }
            done += w;
            out_at += w;
        }
        in_at += n;
    }
    return {};
}

// The contents of one regular file into another, empty one: only the ranges that hold data, so a
// sparse file keeps its holes (a file of gigabytes of nothing stays nothing on disk).
std::expected<void, int> copy_contents(int in, int out) {
    struct stat st;
    if (::fstat(in, &st) != 0) return Errno(last_errno());
    const off_t size = st.st_size;
    for (off_t at = 0; at < size;) {
        off_t data = ::lseek(in, at, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO) break;  // nothing but a hole to the end
            data = at;                  // no hole support: all of it is data
        }
        off_t hole = data < size ? ::lseek(in, data, SEEK_HOLE) : size;
        if (hole < 0 || hole > size) hole = size;
        if (hole <= data) break;
        if (auto copied = copy_range(in, out, data, hole); !copied) return copied;
        at = hole;
    }
    if (::ftruncate(out, size) != 0) return Errno(last_errno());
    return {};
}

// Attributes that never go to W: a file capability (the kernel drops it when a file is written,
// and we must not carry it onto contents the command wrote) and the overlay's own records.
bool foreign_xattr(std::string_view name) {
    return name == "security.capability" || name.starts_with("user.overlay.") ||
           name.starts_with("trusted.overlay.");
}

// Removes them from a regular file that arrived by rename, which keeps every attribute.
void strip_foreign_xattrs(int dir, const std::string& name) {
    int fd = ::openat(dir, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return;
    UniqueFd owned(fd);
    std::string proc = "/proc/self/fd/" + std::to_string(fd);
    ssize_t size = ::listxattr(proc.c_str(), nullptr, 0);
    if (size <= 0) return;
    std::string names(static_cast<std::size_t>(size), '\0');
    size = ::listxattr(proc.c_str(), names.data(), names.size());
    if (size <= 0) return;
    names.resize(static_cast<std::size_t>(size));
    for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1)
        if (foreign_xattr(names.c_str() + at)) ::removexattr(proc.c_str(), names.c_str() + at);
}

// The extended attributes of one open file onto another (ACLs, labels, user attributes), so a
// file replaced at commit keeps them. Never a file capability: the kernel drops it when a file
// is written, and we must not carry it onto contents the command wrote. Best effort.
void copy_xattrs(int from, int to) {
    ssize_t size = ::flistxattr(from, nullptr, 0);
    if (size <= 0) return;
    std::string names(static_cast<std::size_t>(size), '\0');
    size = ::flistxattr(from, names.data(), names.size());
    if (size <= 0) return;
    names.resize(static_cast<std::size_t>(size));
    for (std::size_t at = 0; at < names.size(); at = names.find('\0', at) + 1) {
        const char* name = names.c_str() + at;
        if (foreign_xattr(name)) continue;
        ssize_t len = ::fgetxattr(from, name, nullptr, 0);
        if (len < 0) continue;
        std::string value(static_cast<std::size_t>(len), '\0');
        len = ::fgetxattr(from, name, value.data(), value.size());
        if (len >= 0) ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(len), 0);
    }
}

// Owner and times of `st` onto the entry (dir, name), the entry itself, never a link's target.
// The owner only where we may set it; a failure there keeps ours.
void copy_owner_and_times(int dir, const std::string& name, const struct stat& st) {
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid())
        ::fchownat(dir, name.c_str(), st.st_uid, st.st_gid, AT_SYMLINK_NOFOLLOW);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(dir, name.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

// Removes the entry (dir, name) and, for a directory, everything below it, through descriptors
// and without following links. Directories are made writable first: the tree may be ours with
// modes a command chose.
void remove_tree_at(int dir, const std::string& name) {
    struct stat st;
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        ::unlinkat(dir, name.c_str(), 0);
        return;
    }
    if ((st.st_mode & S_IRWXU) != S_IRWXU) ::fchmodat(dir, name.c_str(), st.st_mode | S_IRWXU, 0);
    auto sub = open_beneath(dir, name, O_PATH | O_DIRECTORY | O_NOFOLLOW, NO_LINKS);
    if (sub) {
        int subfd = sub->get();
        if (auto names = read_names(subfd))
            for (const auto& n : *names) remove_tree_at(subfd, n);
    }
    ::unlinkat(dir, name.c_str(), AT_REMOVEDIR);
}

std::expected<std::string, int> read_link_at(int dir, const std::string& name) {
    std::string target(PATH_MAX, '\0');
    ssize_t n = ::readlinkat(dir, name.c_str(), target.data(), target.size());
    if (n < 0) return Errno(last_errno());
    target.resize(static_cast<std::size_t>(n));
    return target;
}

}  // namespace

std::string random_id() {
    unsigned char b[16];
    for (std::size_t got = 0; got < sizeof b;) {
        ssize_t n = ::getrandom(b + got, sizeof b - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // variant 1
    char text[37];
    std::snprintf(text, sizeof text,
                  "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0],
                  b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

// The storage base: made 0700 when missing; an existing one must be a directory of ours, not a
// link, or another user could read the branch or swap it under us.
std::expected<UniqueFd, BranchError> open_storage_base(const fs::path& base) {
    std::error_code ec;
    if (base.has_parent_path()) fs::create_directories(base.parent_path(), ec);
    if (::mkdir(base.c_str(), 0700) != 0 && errno != EEXIST) return std::unexpected(failed("create upper", errno));
    int fd = ::open(base.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        int e = errno == ELOOP || errno == ENOTDIR ? ENOTDIR : errno;
        return std::unexpected(BranchError(BranchError::Failed{
            "create upper: storage " + base.native() + " is not a directory: " +
            SystemError::from_errno(e).message()}));
    }
    UniqueFd owned(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) return std::unexpected(failed("create upper", errno));
    if (!S_ISDIR(st.st_mode))
        return std::unexpected(BranchError(BranchError::Failed{
            "create upper: storage " + base.native() + " is not a directory"}));
    if (st.st_uid != ::geteuid())
        return std::unexpected(BranchError(BranchError::Failed{
            "create upper: storage " + base.native() + " belongs to another user"}));
    return owned;
}

void remove_branch_dir(const fs::path& branch_dir) {
    int base = ::open(branch_dir.parent_path().c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (base < 0) return;
    UniqueFd owned(base);
    remove_tree_at(base, branch_dir.filename().native());
}

// ---------------------------------------------------------------------------------------------
// Creation and paths

std::expected<void, BranchError> SeccompCowBranch::check_workdir(const fs::path& workdir) {
    auto refuse = [&](const std::string& why) {
        return std::unexpected(BranchError(
            BranchError::Failed{"workdir " + text::quoted(workdir.native()) + " " + why}));
    };
    struct stat st;
    if (::lstat(workdir.c_str(), &st) != 0)
        return refuse("cannot be used: " + SystemError::from_errno(errno).message());
    if (S_ISLNK(st.st_mode)) {
        std::error_code ec;
        const fs::path target = fs::read_symlink(workdir, ec);
        // The view, its paths and the command's rules would all stand over the link's target,
        // not over the directory the policy names.
        return refuse("is a symbolic link (to " + text::quoted(target.native()) +
                      "): name the directory itself");
    }
    if (!S_ISDIR(st.st_mode)) return refuse("is not a directory");
    return {};
}

std::expected<SeccompCowBranch, BranchError> SeccompCowBranch::create(
    const fs::path& workdir, const std::optional<fs::path>& storage, bool own_base) {
    if (auto checked = check_workdir(workdir); !checked) return std::unexpected(checked.error());
    SeccompCowBranch b;
    std::error_code ec;
    b.workdir_ = fs::canonical(workdir, ec);
    if (ec) return std::unexpected(failed("canonicalize workdir", ec.value()));
    b.workdir_str_ = b.workdir_.native();
    int wfd = ::open(b.workdir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (wfd < 0) return std::unexpected(failed("canonicalize workdir", errno));
    b.w_fd_.reset(wfd);
    if (::fstat(wfd, &b.workdir_st_) != 0) return std::unexpected(failed("canonicalize workdir", errno));

    b.base_ = storage ? fs::absolute(*storage)
                      : fs::temp_directory_path() / ("vestrion-cow-" + std::to_string(::getpid()));
    b.own_base_ = own_base || !storage;
    const std::string id = random_id();
    std::expected<UniqueFd, BranchError> base = std::unexpected(BranchError(BranchError::Failed{}));
    // A base of our own may vanish under us as another layer of this process removes it with
    // its last branch: then it is made again.
    for (int tries = 0;; ++tries) {
        base = open_storage_base(b.base_);
        if (!base) return std::unexpected(std::move(base.error()));
        if (::mkdirat(base->get(), id.c_str(), 0700) == 0) break;
        if (errno != ENOENT || tries == 3) return std::unexpected(failed("create upper", errno));
    }
    b.branch_dir_ = b.base_ / id;
    auto branch = open_beneath(base->get(), id, O_PATH | O_DIRECTORY | O_NOFOLLOW, NO_LINKS);
    if (!branch || ::mkdirat(branch->get(), "upper", 0700) != 0) {
        int e = branch ? errno : branch.error();
        b.cleanup();
        return std::unexpected(failed("create upper", e));
    }
    auto upper = open_beneath(branch->get(), "upper", O_PATH | O_DIRECTORY | O_NOFOLLOW, NO_LINKS);
    if (!upper) {
        b.cleanup();
        return std::unexpected(failed("create upper", upper.error()));
    }
    b.upper_fd_ = std::move(*upper);
    b.upper_ = b.branch_dir_ / "upper";
    return b;
}

bool SeccompCowBranch::matches(std::string_view path) const {
    return path == workdir_str_ ||
           (path.starts_with(workdir_str_) && path.size() > workdir_str_.size() &&
            (path[workdir_str_.size()] == '/' || workdir_str_ == "/"));
}

std::optional<std::string> SeccompCowBranch::safe_rel(std::string_view path) const {
    if (!matches(path)) return std::nullopt;
    std::string_view rest = path.substr(workdir_str_.size());
    std::vector<std::string_view> parts;
    while (!rest.empty()) {
        auto slash = rest.find('/');
        std::string_view comp = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (comp.empty() || comp == ".") continue;
        if (comp == "..") {
            if (parts.empty()) return std::nullopt;  // climbs out of W
            parts.pop_back();
            continue;
        }
        parts.push_back(comp);
    }
    std::string rel;
    for (auto comp : parts) {
        if (!rel.empty()) rel += '/';
        rel += comp;
    }
    return rel;
}

std::optional<std::string> SeccompCowBranch::map_back(std::string_view path) const {
    const std::string& up = upper_.native();
    if (path == up) return workdir_str_;
    if (path.size() > up.size() && path.starts_with(up) && path[up.size()] == '/')
        return (workdir_ / std::string(path.substr(up.size() + 1))).native();
    return std::nullopt;
}

std::expected<std::string, int> SeccompCowBranch::rel_of(std::string_view path) const {
    auto rel = safe_rel(path);
    if (!rel) return Errno(EXDEV);
    return std::move(*rel);
}

bool SeccompCowBranch::is_deleted(std::string_view rel) const {
    if (deleted_.empty() || rel.empty()) return false;
    for (std::size_t i = rel.find('/'); i != std::string_view::npos; i = rel.find('/', i + 1))
        if (deleted_.contains(std::string(rel.substr(0, i)))) return true;
    return deleted_.contains(std::string(rel));
}

bool SeccompCowBranch::shows_own_entry(std::string_view rel) const {
    if (rel.empty() || is_deleted(rel)) return false;
    // Missing, with only plain directories of the upper tree on the way (ENOTDIR: a file there;
    // ELOOP: a link of the layer's).
    auto upper = open_beneath(upper_fd_.get(), rel, O_PATH | O_NOFOLLOW, NO_LINKS);
    return !upper && upper.error() == ENOENT;
}

void SeccompCowBranch::clear_mark(const std::string& rel) { deleted_.erase(rel); }

void SeccompCowBranch::mark_removed(const std::string& rel) {
    deleted_.insert(rel);
    removed_.insert(rel);
}

// ---------------------------------------------------------------------------------------------
// Lookups

std::expected<Entry, int> SeccompCowBranch::locate_rel(std::string_view rel) const {
    // The upper tree holds what the command made or changed, and wins; deletion marks hide only
    // what W has.
    const bool meta = dir_meta_.contains(std::string(rel));
    int upper_error = ENOENT;
    if (auto up = place_in(upper_fd_.get(), rel)) {
        if (auto st = lstat_at(up->dir.get(), up->name)) {
            if (S_ISDIR(st->st_mode) && !meta && !is_deleted(rel))
                if (auto w = place_in(w_fd_.get(), rel))
                    if (auto wst = lstat_at(w->dir.get(), w->name); wst && S_ISDIR(wst->st_mode)) {
                        // A directory mirrored for its contents: its own metadata is W's.
                        return Entry{std::move(w->dir), std::move(w->name), false, *wst};
                    }
            return Entry{std::move(up->dir), std::move(up->name), true, *st};
        }
    } else {
        upper_error = up.error();
    }
    // A file in the upper tree where the path needs a directory.
    if (upper_error == ENOTDIR) return Errno(ENOTDIR);
    if (is_deleted(rel)) return Errno(ENOENT);
    auto w = place_in(w_fd_.get(), rel);
    if (!w) return Errno(w.error());
    auto st = lstat_at(w->dir.get(), w->name);
    if (!st) return Errno(last_errno());
    return Entry{std::move(w->dir), std::move(w->name), false, *st};
}

std::expected<Entry, int> SeccompCowBranch::locate(std::string_view path) const {
    auto rel = rel_of(path);
    if (!rel) return Errno(rel.error());
    return locate_rel(*rel);
}

fs::path SeccompCowBranch::resolve_read(std::string_view rel) const {
    if (auto up = place_in(upper_fd_.get(), rel); up && lstat_at(up->dir.get(), up->name))
        return upper_ / std::string(rel);
    return workdir_ / std::string(rel);
}

bool SeccompCowBranch::dir_empty_merged(std::string_view rel) const {
    auto entries = merged_dir_entries(rel);
    return entries && entries->empty();
}

// ---------------------------------------------------------------------------------------------
// Copy-up

// The parent of rel in the upper tree, made where missing as a mirror of W's directory (its
// mode, owner and times, so the view shows them until the command changes them).
std::expected<Place, int> SeccompCowBranch::upper_parent(std::string_view rel) {
    auto [dir, name] = split_last(rel);
    if (rel.empty()) return Errno(EBUSY);
    UniqueFd up = dup_cloexec(upper_fd_.get());
    UniqueFd w = dup_cloexec(w_fd_.get());
    std::string walked;
    std::string_view rest = dir;
    while (!rest.empty()) {
        auto slash = rest.find('/');
        std::string comp(rest.substr(0, slash));
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        walked = join(walked, comp);
        auto next = open_beneath(up.get(), comp, O_PATH | O_DIRECTORY | O_NOFOLLOW, NO_LINKS);
        std::optional<struct stat> wst;
        if (w && !is_deleted(walked)) wst = lstat_at(w.get(), comp);
        if (!next) {
            if (next.error() != ENOENT) return Errno(next.error() == ELOOP ? ENOTDIR : next.error());
            if (!wst) return Errno(ENOENT);
            if (!S_ISDIR(wst->st_mode)) return Errno(ENOTDIR);
            if (::mkdirat(up.get(), comp.c_str(), 0700) != 0) return Errno(last_errno());
            ::fchmodat(up.get(), comp.c_str(), wst->st_mode & 07777, 0);
            copy_owner_and_times(up.get(), comp, *wst);
            next = open_beneath(up.get(), comp, O_PATH | O_DIRECTORY | O_NOFOLLOW, NO_LINKS);
            if (!next) return Errno(next.error());
        }
        if (wst && S_ISDIR(wst->st_mode)) {
            auto wn = open_beneath(w.get(), comp, O_PATH | O_DIRECTORY | O_NOFOLLOW, NO_LINKS);
            w = wn ? std::move(*wn) : UniqueFd();
        } else {
            w.reset();
        }
        up = std::move(*next);
    }
    return Place{std::move(up), std::string(name)};
}

// Makes upper/rel a copy of what the merged view shows at rel: nothing when the upper tree has it
// already or the view has nothing there. `contents` false copies a file's metadata only (the
// caller truncates it).
std::expected<void, int> SeccompCowBranch::copy_up(std::string_view rel, bool contents) {
    dirty_ = true;
    auto source = locate_rel(rel);
    const std::string key(rel);
    if (source && source->in_upper) return {};
    if (!source) {
        if (source.error() != ENOENT) return Errno(source.error());
        clear_mark(key);
        return {};
    }
    if (rel.empty()) return {};  // W itself: the upper root mirrors it already
    auto parent = upper_parent(rel);
    if (!parent) return Errno(parent.error());
    if (auto st = lstat_at(parent->dir.get(), parent->name)) {
        if (S_ISDIR(st->st_mode)) return {};  // a mirrored directory, metadata as W's
        return Errno(EEXIST);
    }
    const int udir = parent->dir.get();
    const char* name = parent->name.c_str();
    const struct stat& st = source->st;
    const mode_t perm = st.st_mode & 07777;
    switch (st.st_mode & S_IFMT) {
        case S_IFLNK: {
            auto target = read_link_at(source->dir.get(), source->name);
            if (!target) return Errno(target.error());
            if (::symlinkat(target->c_str(), udir, name) != 0) return Errno(last_errno());
            break;
        }
        case S_IFDIR:
            if (::mkdirat(udir, name, 0700) != 0) return Errno(last_errno());
            ::fchmodat(udir, name, perm, 0);
            break;
        case S_IFIFO:
        case S_IFSOCK:
            if (::mknodat(udir, name, (st.st_mode & S_IFMT) | 0600, 0) != 0)
                return Errno(last_errno());
            ::fchmodat(udir, name, perm, 0);
            break;
        case S_IFREG: {
            int in = ::openat(source->dir.get(), source->name.c_str(),
                              O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
            if (in < 0) return Errno(last_errno());
            UniqueFd src(in);
            int out = ::openat(udir, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (out < 0) return Errno(last_errno());
            UniqueFd dst(out);
            if (contents) {
                if (auto copied = copy_contents(src.get(), dst.get()); !copied) {
                    ::unlinkat(udir, name, 0);
                    return copied;
                }
            }
            ::fchmod(dst.get(), perm);
            copy_xattrs(src.get(), dst.get());
            break;
        }
        default:
            return Errno(EPERM);  // devices are not copied
    }
    copy_owner_and_times(udir, parent->name, st);
    return {};
}

std::expected<fs::path, int> SeccompCowBranch::ensure_dir_mirror(std::string_view path) {
    auto rel = rel_of(path);
    if (!rel) return Errno(rel.error());
    auto entry = locate_rel(*rel);
    if (!entry) return Errno(entry.error());
    if (!S_ISDIR(entry->st.st_mode)) return Errno(ENOTDIR);
    if (auto copied = copy_up(*rel, false); !copied) return Errno(copied.error());
    return rel->empty() ? upper_ : upper_ / *rel;
}

std::optional<fs::path> SeccompCowBranch::mirror_of(const fs::path& dir) {
    std::error_code ec;
    const fs::path canonical = fs::canonical(dir, ec);
    if (ec || !matches(canonical.native())) return std::nullopt;
    auto mirror = ensure_dir_mirror(canonical.native());
    if (!mirror) return std::nullopt;
    return std::move(*mirror);
}

Outcome SeccompCowBranch::place_for_kernel(std::string_view path) {
    auto rel = rel_of(path);
    if (!rel) return Errno(rel.error());
    auto entry = locate_rel(*rel);
    if (!entry) return Errno(entry.error());
    if (entry->in_upper) return {};
    if (S_ISDIR(entry->st.st_mode)) {
        auto mirror = ensure_dir_mirror(path);
        if (!mirror) return Errno(mirror.error());
        return {};
    }
    if (auto copied = copy_up(*rel, true); !copied) return Errno(copied.error());
    if (auto up = place_in(upper_fd_.get(), *rel))
        if (auto st = lstat_at(up->dir.get(), up->name)) kernel_copies_[*rel] = st->st_ctim;
    return {};
}

bool SeccompCowBranch::is_placed_copy(std::string_view path) const {
    auto rel = safe_rel(path);
    if (!rel || !kernel_copies_.contains(*rel)) return false;
    auto entry = locate_rel(*rel);
    return entry && entry->in_upper && unchanged_copy(*rel, entry->st);
}

bool SeccompCowBranch::unchanged_copy(const std::string& rel, const struct stat& st) const {
    auto it = kernel_copies_.find(rel);
    return it != kernel_copies_.end() && !S_ISDIR(st.st_mode) &&
           it->second.tv_sec == st.st_ctim.tv_sec && it->second.tv_nsec == st.st_ctim.tv_nsec;
}

std::expected<fs::path, BranchError> SeccompCowBranch::ensure_cow_copy(std::string_view rel) {
    if (auto copied = copy_up(rel, true); !copied) return std::unexpected(failed("copy", copied.error()));
    return upper_ / std::string(rel);
}

// ---------------------------------------------------------------------------------------------
// Operations for the child

std::expected<UniqueFd, int> OpenTarget::open() const {
    auto fd = open_beneath(dir.get(), name, static_cast<std::uint64_t>(flags) | O_CLOEXEC);
    if (!fd) return Errno(fd.error());
    return std::move(*fd);
}

std::expected<OpenTarget, int> SeccompCowBranch::handle_open(std::string_view path, int flags,
                                                             mode_t mode) {
    auto rel = rel_of(path);
    if (!rel) return Errno(rel.error());
    constexpr int WRITE_INTENT = O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND;
    const int accmode = flags & O_ACCMODE;
    auto entry = locate_rel(*rel);
    if (!entry && entry.error() != ENOENT) return Errno(entry.error());

    if (!(flags & WRITE_INTENT)) {
        if (!entry) return Errno(ENOENT);
        // We open with our own rights, which may reach a device the command could not: the
        // layer serves files, not devices.
        if (S_ISCHR(entry->st.st_mode) || S_ISBLK(entry->st.st_mode)) return Errno(EACCES);
        // A directory is handed out as its mirror in the upper tree: the kernel then finds the
        // layer's names relative to it (an O_PATH open, an exec), and listings of it are the
        // view's.
        if (S_ISDIR(entry->st.st_mode) && !entry->in_upper) {
            if (auto mirror = ensure_dir_mirror(path); mirror)
                return OpenTarget{dup_cloexec(upper_fd_.get()), rel->empty() ? "." : *rel, flags, true};
        }
        // The whole path beneath the tree the entry lies in, so a relative link inside it is
        // followed as the kernel would and never out of it.
        OpenTarget t{dup_cloexec(entry->in_upper ? upper_fd_.get() : w_fd_.get()),
                     rel->empty() ? "." : *rel, flags, entry->in_upper};
        return t;
    }
    // An unnamed file would reach the tree only through a later link: the caller falls back to a
    // named one, as on a file system without it.
    if ((flags & O_TMPFILE) == O_TMPFILE) return Errno(EOPNOTSUPP);
    if (entry) {
        if ((flags & O_CREAT) && (flags & O_EXCL)) return Errno(EEXIST);
        if (S_ISDIR(entry->st.st_mode)) return Errno(EISDIR);
        if (S_ISLNK(entry->st.st_mode)) {
            // The caller resolves a link the open follows; one left here is not followed by us.
            return Errno((flags & O_NOFOLLOW) ? ELOOP : EACCES);
        }
        if ((accmode == O_WRONLY || accmode == O_RDWR) && !S_ISREG(entry->st.st_mode) &&
            !S_ISFIFO(entry->st.st_mode) && !S_ISSOCK(entry->st.st_mode))
            return Errno(EPERM);
        bool truncating = (flags & O_TRUNC) && S_ISREG(entry->st.st_mode);
        if (auto copied = copy_up(*rel, !truncating); !copied) return Errno(copied.error());
    } else {
        if (!(flags & O_CREAT)) return Errno(ENOENT);
        if (rel->empty()) return Errno(EISDIR);
        auto parent = upper_parent(*rel);
        if (!parent) return Errno(parent.error());
        int fd = ::openat(parent->dir.get(), parent->name.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) return Errno(last_errno());
        // The child's mode under the child's umask, not ours; never set-id bits.
        ::fchmod(fd, mode & 07777 & ~SET_ID_BITS);
        ::close(fd);
        clear_mark(*rel);
        dirty_ = true;
        OpenTarget made{dup_cloexec(upper_fd_.get()), *rel, flags & ~(O_CREAT | O_EXCL), true};
        made.created = true;
        return made;
    }
    return OpenTarget{dup_cloexec(upper_fd_.get()), *rel, flags & ~(O_CREAT | O_EXCL), true};
}

std::expected<Entry, int> SeccompCowBranch::handle_stat(std::string_view path) const {
    return locate(path);
}

std::expected<std::string, int> SeccompCowBranch::handle_readlink(std::string_view path) const {
    auto entry = locate(path);
    if (!entry) return Errno(entry.error());
    if (!S_ISLNK(entry->st.st_mode)) return Errno(EINVAL);
    return read_link_at(entry->dir.get(), entry->name);
}

std::expected<std::string, int> SeccompCowBranch::make_name(std::string_view path,
                                                           const MakeFn& make) {
    auto rel = rel_of(path);
    if (!rel) return Errno(rel.error());
    auto existing = locate_rel(*rel);
    if (existing) return Errno(EEXIST);
    if (existing.error() != ENOENT) return Errno(existing.error());
    auto parent = upper_parent(*rel);
    if (!parent) return Errno(parent.error());
    if (make(parent->dir.get(), parent->name.c_str()) != 0) return Errno(last_errno());
    clear_mark(*rel);
    dirty_ = true;
    return std::move(*rel);
}

Outcome SeccompCowBranch::handle_mkdir(std::string_view path, mode_t mode) {
    auto rel = make_name(path, [&](int dir, const char* name) {
        if (::mkdirat(dir, name, 0700) != 0) return -1;
        ::fchmodat(dir, name, mode & 07777 & ~SET_ID_BITS, 0);
        return 0;
    });
    if (!rel) return Errno(rel.error());
    dir_meta_.insert(*rel);
    return {};
}

Outcome SeccompCowBranch::handle_unlink(std::string_view path, bool is_dir) {
    auto rel = rel_of(path);
    if (!rel) return Errno(rel.error());
    if (rel->empty()) return Errno(is_dir ? EBUSY : EISDIR);
    auto entry = locate_rel(*rel);
    if (!entry) return Errno(entry.error());
    const bool dir = S_ISDIR(entry->st.st_mode);
    if (is_dir && !dir) return Errno(ENOTDIR);
    if (!is_dir && dir) return Errno(EISDIR);
    if (is_dir && !dir_empty_merged(*rel)) return Errno(ENOTEMPTY);

    if (auto up = place_in(upper_fd_.get(), *rel); up && lstat_at(up->dir.get(), up->name))
        remove_tree_at(up->dir.get(), up->name);  // an empty directory or one name
    if (auto w = place_in(w_fd_.get(), *rel); w && lstat_at(w->dir.get(), w->name))
        mark_removed(*rel);
    dir_meta_.erase(*rel);
    dirty_ = true;
    return {};
}

Outcome SeccompCowBranch::handle_rename(std::string_view old_path, std::string_view new_path,
                                        unsigned int flags) {
    if (flags & ~static_cast<unsigned int>(RENAME_NOREPLACE)) return Errno(EINVAL);
    auto old_rel = rel_of(old_path);
    if (!old_rel) return Errno(old_rel.error());
    auto new_rel = rel_of(new_path);
    if (!new_rel) return Errno(new_rel.error());
    if (old_rel->empty() || new_rel->empty()) return Errno(EBUSY);
    auto from = locate_rel(*old_rel);
    if (!from) return Errno(from.error());
    const bool from_dir = S_ISDIR(from->st.st_mode);
    if (from_dir && is_below(*new_rel, *old_rel)) return Errno(EINVAL);

    auto to = locate_rel(*new_rel);
    if (to) {
        if (flags & RENAME_NOREPLACE) return Errno(EEXIST);
        if (*old_rel == *new_rel) return {};
        const bool to_dir = S_ISDIR(to->st.st_mode);
        if (from_dir && !to_dir) return Errno(ENOTDIR);
        if (!from_dir && to_dir) return Errno(EISDIR);
        if (to_dir && !dir_empty_merged(*new_rel)) return Errno(ENOTEMPTY);
    } else if (to.error() != ENOENT) {
        return Errno(to.error());
    }

    auto w_old = place_in(w_fd_.get(), *old_rel);
    std::optional<struct stat> w_old_st;
    if (w_old) w_old_st = lstat_at(w_old->dir.get(), w_old->name);
    if (from_dir && w_old_st && S_ISDIR(w_old_st->st_mode)) {
        // W's entries would have to move with it: let the caller copy them through the layer.
        auto w_dir = open_beneath(w_old->dir.get(), w_old->name, O_PATH | O_DIRECTORY | O_NOFOLLOW, NO_LINKS);
        if (!w_dir) return Errno(w_dir.error());
        auto names = read_names(w_dir->get());
        if (!names || !names->empty()) return Errno(EXDEV);
    }

    auto new_parent = upper_parent(*new_rel);
    if (!new_parent) return Errno(new_parent.error());
    if (auto copied = copy_up(*old_rel, true); !copied) return Errno(copied.error());
    auto old_parent = place_in(upper_fd_.get(), *old_rel);
    if (!old_parent) return Errno(old_parent.error());
    if (to && to->in_upper && S_ISDIR(to->st.st_mode))
        ::unlinkat(new_parent->dir.get(), new_parent->name.c_str(), AT_REMOVEDIR);
    if (::renameat(old_parent->dir.get(), old_parent->name.c_str(), new_parent->dir.get(),
                   new_parent->name.c_str()) != 0)
        return Errno(last_errno());

    if (w_old_st) mark_removed(*old_rel);
    clear_mark(*new_rel);
    if (from_dir) {
        // Made directories below the old name move with it; the moved directory is one W did
        // not have at its new name, so it carries its own metadata.
        std::set<std::string> moved;
        for (auto it = dir_meta_.begin(); it != dir_meta_.end();) {
            if (is_below(*it, *old_rel)) {
                moved.insert(*new_rel + it->substr(old_rel->size()));
                it = dir_meta_.erase(it);
            } else {
                ++it;
            }
        }
        dir_meta_.erase(*old_rel);
        dir_meta_.insert(moved.begin(), moved.end());
        dir_meta_.insert(*new_rel);
    }
    dirty_ = true;
    return {};
}

Outcome SeccompCowBranch::handle_link(std::string_view old_path, std::string_view new_path) {
    auto old_rel = rel_of(old_path);
    if (!old_rel) return Errno(old_rel.error());
    auto new_rel = rel_of(new_path);
    if (!new_rel) return Errno(new_rel.error());
    auto from = locate_rel(*old_rel);
    if (!from) return Errno(from.error());
    if (S_ISDIR(from->st.st_mode)) return Errno(EPERM);
    auto to = locate_rel(*new_rel);
    if (to) return Errno(EEXIST);
    if (to.error() != ENOENT) return Errno(to.error());
    auto new_parent = upper_parent(*new_rel);
    if (!new_parent) return Errno(new_parent.error());
    if (auto copied = copy_up(*old_rel, true); !copied) return Errno(copied.error());
    auto old_parent = place_in(upper_fd_.get(), *old_rel);
    if (!old_parent) return Errno(old_parent.error());
    if (::linkat(old_parent->dir.get(), old_parent->name.c_str(), new_parent->dir.get(),
                 new_parent->name.c_str(), 0) != 0)
        return Errno(last_errno());
    clear_mark(*new_rel);
    dirty_ = true;
    return {};
}

Outcome SeccompCowBranch::handle_symlink(std::string_view target, std::string_view link_path) {
    const std::string text(target);
    auto rel = make_name(link_path, [&](int dir, const char* name) {
        return ::symlinkat(text.c_str(), dir, name);
    });
    if (!rel) return Errno(rel.error());
    return {};
}

Outcome SeccompCowBranch::handle_chmod(std::string_view path, mode_t mode) {
    auto rel = rel_of(path);
    if (!rel) return Errno(rel.error());
    auto entry = locate_rel(*rel);
    if (!entry) return Errno(entry.error());
    if (S_ISLNK(entry->st.st_mode)) return Errno(EOPNOTSUPP);
    if (auto copied = copy_up(*rel, true); !copied) return Errno(copied.error());
    auto up = place_in(upper_fd_.get(), *rel);
    if (!up) return Errno(up.error());
    if (::fchmodat(up->dir.get(), up->name.c_str(), mode & 07777 & ~SET_ID_BITS, 0) != 0)
        return Errno(last_errno());
    if (S_ISDIR(entry->st.st_mode)) dir_meta_.insert(*rel);
    return {};
}

Outcome SeccompCowBranch::handle_chown(std::string_view path, std::uint32_t uid,
                                       std::uint32_t gid) {
    auto entry = locate(path);
    if (!entry) return Errno(entry.error());
    // The command holds no capability: it may name the ids the entry has, nothing else. Those
    // change nothing, so nothing is copied.
    if ((uid != KEEP_ID && uid != entry->st.st_uid) || (gid != KEEP_ID && gid != entry->st.st_gid))
        return Errno(EPERM);
    return {};
}

Outcome SeccompCowBranch::handle_truncate(std::string_view path, std::uint64_t length) {
    if (length > static_cast<std::uint64_t>(LLONG_MAX)) return Errno(EINVAL);
    auto rel = rel_of(path);
    if (!rel) return Errno(rel.error());
    auto entry = locate_rel(*rel);
    if (!entry) return Errno(entry.error());
    if (S_ISDIR(entry->st.st_mode)) return Errno(EISDIR);
    if (S_ISLNK(entry->st.st_mode)) return Errno(EACCES);
    if (!S_ISREG(entry->st.st_mode)) return Errno(EINVAL);
    if (auto copied = copy_up(*rel, length > 0); !copied) return Errno(copied.error());
    auto fd = open_beneath(upper_fd_.get(), *rel, O_WRONLY | O_NOFOLLOW);
    if (!fd) return Errno(fd.error());
    if (::ftruncate(fd->get(), static_cast<off_t>(length)) != 0) return Errno(last_errno());
    return {};
}

Outcome SeccompCowBranch::handle_mknod(std::string_view path, mode_t mode) {
    const mode_t type = mode & S_IFMT;
    if (type != 0 && type != S_IFREG && type != S_IFIFO && type != S_IFSOCK) return Errno(EPERM);
    auto rel = make_name(path, [&](int dir, const char* name) {
        if (::mknodat(dir, name, (type ? type : S_IFREG) | 0600, 0) != 0) return -1;
        ::fchmodat(dir, name, mode & 07777 & ~SET_ID_BITS, 0);
        return 0;
    });
    if (!rel) return Errno(rel.error());
    return {};
}

Outcome SeccompCowBranch::handle_utimens(std::string_view path, const struct timespec* times) {
    auto rel = rel_of(path);
    if (!rel) return Errno(rel.error());
    auto entry = locate_rel(*rel);
    if (!entry) return Errno(entry.error());
    if (auto copied = copy_up(*rel, true); !copied) return Errno(copied.error());
    auto up = place_in(upper_fd_.get(), *rel);
    if (!up) return Errno(up.error());
    if (::utimensat(up->dir.get(), up->name.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        return Errno(last_errno());
    if (S_ISDIR(entry->st.st_mode)) dir_meta_.insert(*rel);
    return {};
}

namespace {

// Extended attributes of an entry opened without following it.
// The user namespace only: the others (security.capability, trusted.*) need capabilities the
// command lacks and we hold.
bool served_xattr(const std::string& name) { return name.starts_with("user."); }

template <class Op>
Outcome on_xattrs(int upper_fd, const std::string& rel, Op op) {
    auto fd = open_beneath(upper_fd, rel, O_PATH | O_NOFOLLOW);
    if (!fd) return Errno(fd.error());
    std::string proc = "/proc/self/fd/" + std::to_string(fd->get());
    if (op(proc.c_str()) != 0) return Errno(last_errno());
    return {};
}

}  // namespace

Outcome SeccompCowBranch::handle_setxattr(std::string_view path, const std::string& name,
                                          const std::string& value, int flags) {
    if (!served_xattr(name)) return Errno(ENOTSUP);
    auto rel = rel_of(path);
    if (!rel) return Errno(rel.error());
    auto entry = locate_rel(*rel);
    if (!entry) return Errno(entry.error());
    if (auto copied = copy_up(*rel, true); !copied) return Errno(copied.error());
    return on_xattrs(upper_fd_.get(), *rel, [&](const char* p) {
        return ::setxattr(p, name.c_str(), value.data(), value.size(), flags);
    });
}

Outcome SeccompCowBranch::handle_removexattr(std::string_view path, const std::string& name) {
    if (!served_xattr(name)) return Errno(ENOTSUP);
    auto rel = rel_of(path);
    if (!rel) return Errno(rel.error());
    auto entry = locate_rel(*rel);
    if (!entry) return Errno(entry.error());
    if (auto copied = copy_up(*rel, true); !copied) return Errno(copied.error());
    return on_xattrs(upper_fd_.get(), *rel,
                     [&](const char* p) { return ::removexattr(p, name.c_str()); });
}

// ---------------------------------------------------------------------------------------------
// Listings

std::expected<std::vector<procfs::DirEntry>, int> SeccompCowBranch::merged_dir_entries(
    std::string_view rel) const {
    auto self = locate_rel(rel);
    if (!self) return Errno(self.error());
    if (!S_ISDIR(self->st.st_mode)) return Errno(ENOTDIR);

    std::vector<procfs::DirEntry> out;
    std::set<std::string> seen;
    auto add_from = [&](int root, bool hide_deleted) {
        auto dir = open_beneath(root, rel, O_PATH | O_DIRECTORY | O_NOFOLLOW, NO_LINKS);
        if (!dir) return;
        int dfd = dir->get();
        auto names = read_names(dfd);
        if (!names) return;
        for (auto& name : *names) {
            if (seen.contains(name)) continue;
            if (hide_deleted && is_deleted(join(rel, name))) continue;
            auto st = lstat_at(dfd, name);
            if (!st) continue;
            seen.insert(name);
            out.push_back({name, static_cast<std::uint64_t>(st->st_ino), procfs::dirent_type(st->st_mode)});
        }
    };
    add_from(upper_fd_.get(), false);
    if (!is_deleted(rel)) add_from(w_fd_.get(), true);
    std::sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    return out;
}

std::vector<std::string> SeccompCowBranch::list_merged_dir(std::string_view rel) const {
    std::vector<std::string> names;
    if (auto entries = merged_dir_entries(rel))
        for (auto& e : *entries) names.push_back(std::move(e.name));
    return names;
}

// ---------------------------------------------------------------------------------------------
// Finishing

namespace {

// The upper tree in walk order: each directory before its contents, names sorted.
std::expected<void, int> walk(int dir, const std::string& rel, std::vector<UpperItem>& out) {
    auto fd = open_beneath(dir, rel, O_PATH | O_DIRECTORY | O_NOFOLLOW, NO_LINKS);
    if (!fd) return Errno(fd.error());
    auto names = read_names(fd->get());
    if (!names) return Errno(names.error());
    for (const auto& name : *names) {
        std::string child = join(rel, name);
        auto parent = open_beneath(dir, rel, O_PATH | O_DIRECTORY | O_NOFOLLOW, NO_LINKS);
        if (!parent) return Errno(parent.error());
        auto st = lstat_at(parent->get(), name);
        if (!st) return Errno(last_errno());
        out.push_back({child, *st});
        if (S_ISDIR(st->st_mode))
            if (auto sub = walk(dir, child, out); !sub) return sub;
    }
    return {};
}

// Puts the upper entry (src_dir, src_name) at (dir, tmp) in W: moved when both trees share a file
// system, else made anew there (a file copied, a link or a FIFO or socket node made as what it
// is, never read through). The entry keeps its times and owner, never set-id bits.
std::expected<void, int> stage(int src_dir, const std::string& src_name, const struct stat& st,
                               int dir, const std::string& tmp) {
    const mode_t perm = st.st_mode & 07777 & ~SET_ID_BITS;
    if (!S_ISLNK(st.st_mode) && (st.st_mode & SET_ID_BITS))
        ::fchmodat(src_dir, src_name.c_str(), perm, 0);
    if (::renameat(src_dir, src_name.c_str(), dir, tmp.c_str()) == 0) {
        if (S_ISREG(st.st_mode)) strip_foreign_xattrs(dir, tmp);
        return {};
    }
    if (errno != EXDEV) return Errno(last_errno());
    switch (st.st_mode & S_IFMT) {
        case S_IFREG: {
            int in = ::openat(src_dir, src_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
            if (in < 0) return Errno(last_errno());
            UniqueFd src(in);
            int out = ::openat(dir, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (out < 0) return Errno(last_errno());
            UniqueFd dst(out);
            if (auto copied = copy_contents(src.get(), dst.get()); !copied) return copied;
            if (::fchmod(dst.get(), perm) != 0) return Errno(last_errno());
            copy_xattrs(src.get(), dst.get());
            break;
        }
        case S_IFLNK: {
            auto target = read_link_at(src_dir, src_name);
            if (!target) return Errno(target.error());
            if (::symlinkat(target->c_str(), dir, tmp.c_str()) != 0) return Errno(last_errno());
            break;
        }
        default:  // FIFO or socket node
            if (::mknodat(dir, tmp.c_str(), (st.st_mode & S_IFMT) | 0600, 0) != 0 ||
                ::fchmodat(dir, tmp.c_str(), perm, 0) != 0)
                return Errno(last_errno());
            break;
    }
    copy_owner_and_times(dir, tmp, st);
    return {};
}

std::size_t depth(const std::string& rel) { return static_cast<std::size_t>(std::count(rel.begin(), rel.end(), '/')); }

// Only what commit can make anew: directories, files, links, FIFOs and socket nodes.
std::expected<void, BranchError> check_committable(const UpperItem& item) {
    switch (item.st.st_mode & S_IFMT) {
        case S_IFDIR: case S_IFREG: case S_IFLNK: case S_IFIFO: case S_IFSOCK:
            return {};
        default:
            return std::unexpected(failed("copy", EPERM));
    }
}

std::string text_of(const BranchError& error) {
    return std::visit([](const auto& kind) { return kind.text; }, error.kind);
}

// What the commit could not do without destroying what the command never saw: the entries stay
// in the branch, and the commit reports them.
struct Conflicts {
    std::vector<std::string> texts;
    std::set<std::string> skipped_dirs;  // upper directories left in the branch, with their contents

    bool skips(const std::string& rel) const {
        for (const auto& dir : skipped_dirs)
            if (rel == dir || is_below(rel, dir)) return true;
        return false;
    }
};

// The W entries the command removed, deepest first, each reached beneath W without a link on the
// way, and nothing else: a directory goes only when that leaves nothing behind (another process
// may have added to it meanwhile), and one the command made again stays as it is.
void apply_deletions(int w_fd, const std::set<std::string>& removed,
                     const std::set<std::string>& upper_dirs, Conflicts& conflicts) {
    std::vector<std::string> doomed(removed.begin(), removed.end());
    std::sort(doomed.begin(), doomed.end(), [](const auto& a, const auto& b) {
        return depth(a) != depth(b) ? depth(a) > depth(b) : a > b;
    });
    for (const auto& rel : doomed) {
        auto w = place_in(w_fd, rel);
        if (!w) continue;
        auto st = lstat_at(w->dir.get(), w->name);
        if (!st) continue;
        if (!S_ISDIR(st->st_mode)) {
            ::unlinkat(w->dir.get(), w->name.c_str(), 0);
            continue;
        }
        if (upper_dirs.contains(rel)) continue;
        if (::unlinkat(w->dir.get(), w->name.c_str(), AT_REMOVEDIR) != 0 &&
            (errno == ENOTEMPTY || errno == EEXIST))
            conflicts.texts.push_back(text::quoted(rel) +
                                      " was removed by the command but holds entries it never saw");
    }
}

struct CommitMarks {
    std::set<std::string> made_dirs;     // W lacked them
    std::set<std::string> touched_dirs;  // an entry arrived in them
};

// One entry of the upper tree into its place in W. A file arrives under the fresh name `tmp`
// beside its place and is renamed into it: nothing is written through a link or a hard link of
// the old entry, and no half-made file is left. An entry of another kind at the place is one the
// command never removed (those went first): it stays, and the entry stays in the branch.
std::expected<void, BranchError> install(int w_fd, int upper_fd, const UpperItem& item,
                                         const std::string& tmp, CommitMarks& marks,
                                         Conflicts& conflicts) {
    const bool is_dir = S_ISDIR(item.st.st_mode);
    auto place = place_in(w_fd, item.rel);
    if (!place) return std::unexpected(failed(is_dir ? "mkdir" : "copy", place.error()));
    const int pdir = place->dir.get();
    const char* name = place->name.c_str();
    auto existing = lstat_at(pdir, place->name);
    if (existing && S_ISDIR(existing->st_mode) != is_dir) {
        conflicts.texts.push_back(text::quoted(item.rel) + " is " +
                                  (is_dir ? "no directory" : "a directory") +
                                  " in the working directory now");
        if (is_dir) conflicts.skipped_dirs.insert(item.rel);
        return {};
    }
    if (is_dir) {
        if (existing) return {};
        if (::mkdirat(pdir, name, 0700) != 0) return std::unexpected(failed("mkdir", errno));
        marks.made_dirs.insert(item.rel);
        return {};
    }
    auto source = place_in(upper_fd, item.rel);
    if (!source) return std::unexpected(failed("copy", source.error()));
    if (auto staged = stage(source->dir.get(), source->name, item.st, pdir, tmp); !staged) {
        ::unlinkat(pdir, tmp.c_str(), 0);
        return std::unexpected(failed("copy", staged.error()));
    }
    if (::renameat(pdir, tmp.c_str(), pdir, name) != 0) {
        int e = errno;
        ::unlinkat(pdir, tmp.c_str(), 0);
        return std::unexpected(failed("copy", e));
    }
    marks.touched_dirs.insert(std::string(split_last(item.rel).first));
    return {};
}

// Mode, owner and times of the upper directories onto W's, deepest first, so that a parent's
// times are set after its contents changed.
void apply_dir_metadata(int w_fd, std::vector<UpperItem> dirs) {
    std::stable_sort(dirs.begin(), dirs.end(), [](const UpperItem& a, const UpperItem& b) {
        return depth(a.rel) + !a.rel.empty() > depth(b.rel) + !b.rel.empty();
    });
    for (const UpperItem& item : dirs) {
        auto fd = open_beneath(w_fd, item.rel, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, NO_LINKS);
        if (!fd) continue;
        ::fchmod(fd->get(), item.st.st_mode & 07777 & ~SET_ID_BITS);
        if (item.st.st_uid != ::geteuid() || item.st.st_gid != ::getegid())
            ::fchown(fd->get(), item.st.st_uid, item.st.st_gid);
        const struct timespec times[2] = {item.st.st_atim, item.st.st_mtim};
        ::futimens(fd->get(), times);
    }
}

void sync_dirs(int w_fd, const std::set<std::string>& dirs) {
    for (const auto& dir : dirs)
        if (auto fd = open_beneath(w_fd, dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, NO_LINKS))
            ::fsync(fd->get());
}

}  // namespace

std::expected<std::vector<UpperItem>, int> walk_upper(int upper_fd) {
    std::vector<UpperItem> items;
    if (auto walked = walk(upper_fd, "", items); !walked) return Errno(walked.error());
    return items;
}

std::expected<void, CommitFailure> commit_tree(const TreeCommit& commit) {
    // Everything is read and checked before W changes at all.
    for (const auto& item : commit.items)
        if (auto checked = check_committable(item); !checked)
            return std::unexpected(CommitFailure{item.rel, checked.error()});

    std::set<std::string> upper_dirs;
    for (const auto& item : commit.items)
        if (S_ISDIR(item.st.st_mode)) upper_dirs.insert(item.rel);
    Conflicts conflicts;
    apply_deletions(commit.w_fd, commit.removed, upper_dirs, conflicts);
    CommitMarks marks;
    const std::string tmp_prefix = ".vestrion-" + random_id().substr(0, 8) + "-";
    for (std::size_t i = 0; i < commit.items.size(); ++i) {
        const UpperItem& item = commit.items[i];
        if (conflicts.skips(item.rel)) continue;
        if (auto installed = install(commit.w_fd, commit.upper_fd, item,
                                     tmp_prefix + std::to_string(i), marks, conflicts);
            !installed)
            return std::unexpected(CommitFailure{item.rel, installed.error()});
    }

    // Directories the command made or changed, and those W lacked, carry their own metadata.
    std::vector<UpperItem> dirs;
    for (const auto& item : commit.items)
        if (S_ISDIR(item.st.st_mode) && (commit.all_dir_meta || commit.dir_meta.contains(item.rel) ||
                                         marks.made_dirs.contains(item.rel)))
            dirs.push_back(item);
    if (commit.all_dir_meta || commit.dir_meta.contains(""))
        if (auto root = lstat_at(commit.upper_fd, ".")) dirs.push_back({"", *root});
    apply_dir_metadata(commit.w_fd, std::move(dirs));
    sync_dirs(commit.w_fd, marks.touched_dirs);

    if (!conflicts.texts.empty()) {
        std::string text;
        for (const auto& t : conflicts.texts) text += (text.empty() ? "" : "; ") + t;
        return std::unexpected(CommitFailure{"", BranchError(BranchError::Conflict{std::move(text)})});
    }
    return {};
}

std::expected<std::vector<Change>, BranchError> SeccompCowBranch::changes() const {
    std::vector<UpperItem> items;
    if (auto walked = walk(upper_fd_.get(), "", items); !walked)
        return std::unexpected(failed("walk", walked.error()));
    std::vector<Change> out;
    std::set<std::string> in_upper;
    for (const auto& item : items) {
        if (unchanged_copy(item.rel, item.st)) continue;
        in_upper.insert(item.rel);
        if (S_ISDIR(item.st.st_mode)) continue;
        bool in_w = false;
        if (auto w = place_in(w_fd_.get(), item.rel)) in_w = lstat_at(w->dir.get(), w->name).has_value();
        out.push_back({item.rel, in_w ? ChangeKind::Modified : ChangeKind::Added});
    }
    for (const auto& rel : deleted_)
        if (!in_upper.contains(rel)) out.push_back({rel, ChangeKind::Deleted});
    return out;
}

std::expected<void, BranchError> SeccompCowBranch::commit() {
    if (finished_) return {};
    auto items = walk_upper(upper_fd_.get());
    if (!items) return std::unexpected(commit_error("", failed("walk", items.error())));
    // A file the layer copied up only so that the kernel could reach it (an exec, a link opened
    // by O_PATH) is no change of the command's.
    std::erase_if(*items, [&](const UpperItem& item) { return unchanged_copy(item.rel, item.st); });
    TreeCommit tree{w_fd_.get(), upper_fd_.get(), std::move(*items), removed_, dir_meta_, false};
    if (auto committed = commit_tree(tree); !committed)
        return std::unexpected(commit_error(committed.error().rel, committed.error().cause));
    cleanup();
    finished_ = true;
    return {};
}

BranchError SeccompCowBranch::commit_error(const std::string& rel, const BranchError& cause) const {
    std::string text = "commit to " + text::quoted(workdir_str_);
    if (!rel.empty()) text += " at " + text::quoted(rel);
    text += ": " + text_of(cause) + "; the branch is kept at " + text::quoted(branch_dir_.native());
    if (std::holds_alternative<BranchError::Conflict>(cause.kind))
        return BranchError(BranchError::Conflict{std::move(text)});
    return BranchError(BranchError::Failed{std::move(text)});
}

std::expected<void, BranchError> SeccompCowBranch::abort() {
    if (finished_) return {};
    cleanup();
    if (!branch_dir_.empty()) {
        struct stat st;
        const bool left = ::lstat(branch_dir_.c_str(), &st) == 0;
        if (left || errno != ENOENT) {
            std::string text = "abort: the branch at " + text::quoted(branch_dir_.native()) +
                               " could not be removed";
            if (!left) text += ": " + SystemError::from_errno(errno).message();
            return std::unexpected(BranchError(BranchError::Failed{std::move(text)}));
        }
    }
    finished_ = true;
    return {};
}

void SeccompCowBranch::cleanup() {
    if (branch_dir_.empty()) return;
    int base = ::open(base_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (base < 0) return;
    UniqueFd owned(base);
    remove_tree_at(base, branch_dir_.filename().native());
    if (own_base_) ::rmdir(base_.c_str());  // only when no other branch is left in it
}

}  // namespace vestrion::cow
