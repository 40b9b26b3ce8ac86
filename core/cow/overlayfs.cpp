#include "core/cow/overlayfs.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <variant>

#include "core/cow/storage.hpp"
#include "core/sys/syscall.hpp"
#include "core/text.hpp"

namespace vestrion::cow {

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t NO_LINKS = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_SYMLINKS;

BranchError failed(const std::string& what, int error) {
    return BranchError(BranchError::Failed{what + ": " + SystemError::from_errno(error).message()});
}

std::expected<UniqueFd, int> open_dir_beneath(int root, const std::string& rel) {
    auto fd = sys::syscall::openat2(root, rel.empty() ? "." : rel.c_str(),
                                    O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC, 0, NO_LINKS);
    if (!fd) return std::unexpected(fd.error().code());
    return std::move(*fd);
}

// Whether W holds an entry at rel, reached beneath W without following a link.
bool w_has(int w_fd, const std::string& rel) {
    auto slash = rel.rfind('/');
    std::string dir = slash == std::string::npos ? std::string() : rel.substr(0, slash);
    std::string name = slash == std::string::npos ? rel : rel.substr(slash + 1);
    auto parent = open_dir_beneath(w_fd, dir);
    struct stat st;
    return parent && ::fstatat(parent->get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool is_whiteout(const struct stat& st) { return S_ISCHR(st.st_mode) && st.st_rdev == makedev(0, 0); }

// An opaque directory hides everything the lower layer had under its name: the command removed
// the directory and made a new one.
bool is_opaque(int upper_fd, const std::string& rel) {
    auto fd = open_dir_beneath(upper_fd, rel);
    if (!fd) return false;
    std::string proc = "/proc/self/fd/" + std::to_string(fd->get());
    for (const char* name : {"user.overlay.opaque", "trusted.overlay.opaque"}) {
        char value[2] = {};
        ssize_t n = ::getxattr(proc.c_str(), name, value, sizeof value);
        if (n == 1 && value[0] == 'y') return true;
    }
    return false;
}

// Characters that separate or escape the overlay's mount options.
bool unfit_for_options(const std::string& path) {
    return path.find_first_of(",:\\") != std::string::npos;
}

std::optional<BranchError> refuse_option_chars(const fs::path& path, const char* what) {
    if (!unfit_for_options(path.native())) return std::nullopt;
    return BranchError(BranchError::Failed{
        std::string(what) + " " + text::quoted(path.native()) +
        " holds \",\", \":\" or \"\\\", which the overlay's mount options cannot carry"});
}

// The upper tree's root stands for W in the merged view: it shows W's mode, owner and times.
void mirror_w(const fs::path& workdir, int upper_fd) {
    struct stat st;
    if (::stat(workdir.c_str(), &st) != 0) return;
    std::string proc = "/proc/self/fd/" + std::to_string(upper_fd);
    ::chmod(proc.c_str(), st.st_mode & 07777);
    if (st.st_uid != ::geteuid() || st.st_gid != ::getegid()) ::chown(proc.c_str(), st.st_uid, st.st_gid);
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    ::utimensat(AT_FDCWD, proc.c_str(), times, 0);
}

}  // namespace

std::expected<std::unique_ptr<OverlayBranch>, BranchError> OverlayBranch::create(
    const fs::path& workdir, const fs::path& storage) {
    std::unique_ptr<OverlayBranch> b(new OverlayBranch());
    b->workdir_ = fs::absolute(workdir);
    const fs::path base = fs::absolute(storage);
    if (auto refused = refuse_option_chars(b->workdir_, "working directory"))
        return std::unexpected(std::move(*refused));
    if (auto refused = refuse_option_chars(base, "storage")) return std::unexpected(std::move(*refused));

    auto base_fd = open_storage_base(base);
    if (!base_fd) return std::unexpected(std::move(base_fd.error()));
    const std::string id = random_id();
    if (::mkdirat(base_fd->get(), id.c_str(), 0700) != 0)
        return std::unexpected(failed("create upper", errno));
    b->branch_dir_ = base / id;
    b->upper_ = b->branch_dir_ / "upper";
    b->merged_ = b->branch_dir_ / "merged";
    // Nothing of a branch that could not be made stays behind.
    auto fail = [&](const char* what, int error) {
        remove_branch_dir(b->branch_dir_);
        return std::unexpected(failed(what, error));
    };
    auto branch = open_dir_beneath(base_fd->get(), id);
    if (!branch) return fail("create upper", branch.error());
    for (auto [name, what] : {std::pair{"upper", "create upper"}, std::pair{"work", "create work"},
                              std::pair{"merged", "create merged"}})
        if (::mkdirat(branch->get(), name, 0700) != 0) return fail(what, errno);
    auto upper = open_dir_beneath(branch->get(), "upper");
    if (!upper) return fail("create upper", upper.error());
    mirror_w(b->workdir_, upper->get());
    return b;
}

std::optional<context::ChildMountConfig> OverlayBranch::child_mount_config() const {
    return context::ChildMountConfig{workdir_, upper_, branch_dir_ / "work", {workdir_}};
}

std::expected<OverlayBranch::Reading, BranchError> OverlayBranch::read_upper(int w_fd,
                                                                           int upper_fd) const {
    auto walked = walk_upper(upper_fd);
    if (!walked) return std::unexpected(failed("walk", walked.error()));
    Reading r;
    for (auto& item : *walked) {
        const bool whiteout = is_whiteout(item.st);
        if (whiteout || (S_ISDIR(item.st.st_mode) && is_opaque(upper_fd, item.rel))) {
            // The command removed the name (a whiteout) or everything below it (an opaque
            // directory made again): so W's entries there, all of which it saw, are removed.
            if (whiteout) r.removed.insert(item.rel);
            if (auto below = open_dir_beneath(w_fd, item.rel))
                if (auto old = walk_upper(below->get()))
                    for (const auto& entry : *old) r.removed.insert(item.rel + "/" + entry.rel);
        }
        if (!whiteout) r.items.push_back(std::move(item));
    }
    return r;
}

std::expected<void, BranchError> OverlayBranch::commit() {
    if (finished_) return {};
    int w = ::open(workdir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (w < 0) return std::unexpected(commit_error("", failed("open", errno)));
    UniqueFd w_fd(w);
    int up = ::open(upper_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (up < 0) return std::unexpected(commit_error("", failed("walk", errno)));
    UniqueFd upper_fd(up);
    auto reading = read_upper(w_fd.get(), upper_fd.get());
    if (!reading) return std::unexpected(commit_error("", reading.error()));

    TreeCommit tree{w_fd.get(), upper_fd.get(), std::move(reading->items),
                    std::move(reading->removed), {}, true};
    if (auto committed = commit_tree(tree); !committed)
        return std::unexpected(commit_error(committed.error().rel, committed.error().cause));
    (void)cleanup();
    finished_ = true;
    return {};
}

BranchError OverlayBranch::commit_error(const std::string& rel, const BranchError& cause) const {
    std::string text = "commit to " + text::quoted(workdir_.native());
    if (!rel.empty()) text += " at " + text::quoted(rel);
    text += ": " + std::visit([](const auto& kind) { return kind.text; }, cause.kind) +
            "; the branch is kept at " + text::quoted(branch_dir_.native());
    if (std::holds_alternative<BranchError::Conflict>(cause.kind))
        return BranchError(BranchError::Conflict{std::move(text)});
    return BranchError(BranchError::Failed{std::move(text)});
}

std::expected<void, BranchError> OverlayBranch::abort() {
    if (finished_) return {};
    (void)cleanup();
    finished_ = true;
    return {};
}

std::expected<void, BranchError> OverlayBranch::cleanup() {
    // Only a mount of our own could be there: the child mounts in a namespace of its own.
    const std::string& merged = merged_.native();
    ::umount2(text::is_valid_utf8(merged) ? merged.c_str() : "", MNT_DETACH);
    remove_branch_dir(branch_dir_);
    return {};
}

std::expected<std::vector<Change>, BranchError> OverlayBranch::changes() const {
    int w = ::open(workdir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (w < 0) return std::unexpected(failed("open " + workdir_.native(), errno));
    UniqueFd w_fd(w);
    int up = ::open(upper_.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (up < 0) return std::unexpected(failed("walk", errno));
    UniqueFd upper_fd(up);
    auto walked = walk_upper(upper_fd.get());
    if (!walked) return std::unexpected(failed("walk", walked.error()));

    std::vector<Change> out;
    std::set<std::string> in_upper;
    for (const auto& item : *walked) in_upper.insert(item.rel);
    for (const auto& item : *walked) {
        if (is_whiteout(item.st)) {
            out.push_back({item.rel, ChangeKind::Deleted});
            continue;
        }
        if (!S_ISDIR(item.st.st_mode)) {
            out.push_back({item.rel, w_has(w_fd.get(), item.rel) ? ChangeKind::Modified : ChangeKind::Added});
            continue;
        }
        if (!is_opaque(upper_fd.get(), item.rel)) continue;
        // What W had below an opaque directory is gone unless the upper tree has it again.
        auto below = open_dir_beneath(w_fd.get(), item.rel);
        if (!below) continue;
        auto old = walk_upper(below->get());
        if (!old) return std::unexpected(failed("walk", old.error()));
        for (const auto& entry : *old) {
            std::string rel = item.rel + "/" + entry.rel;
            if (!in_upper.contains(rel)) out.push_back({rel, ChangeKind::Deleted});
        }
    }
    return out;
}

}  // namespace vestrion::cow
