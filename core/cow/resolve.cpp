#include "core/cow/resolve.hpp"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <vector>

#include "core/sys/proc.hpp"

namespace vestrion::cow {

namespace {

// The kernel's own bound on the links one lookup may follow.
constexpr int kMaxLinks = 40;

bool lies_under(std::string_view path, std::string_view dir) {
    if (dir == "/") return !path.empty() && path[0] == '/';
    return path.starts_with(dir) && (path.size() == dir.size() || path[dir.size()] == '/');
}

void split_into(std::string_view path, std::deque<std::string>& out, bool front) {
    std::vector<std::string> parts;
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string_view::npos) j = path.size();
        if (j > i) parts.emplace_back(path.substr(i, j - i));
        i = j + 1;
    }
    if (front)
        out.insert(out.begin(), parts.begin(), parts.end());
    else
        out.insert(out.end(), parts.begin(), parts.end());
}

std::string join(const std::vector<std::string>& parts) {
    if (parts.empty()) return "/";
    std::string out;
    for (const auto& part : parts) out.append("/").append(part);
    return out;
}

std::vector<std::string> components(std::string_view absolute) {
    std::deque<std::string> parts;
    split_into(absolute, parts, false);
    std::vector<std::string> out;
    for (auto& part : parts) {
        if (part == ".") continue;
        if (part == "..") {
            if (!out.empty()) out.pop_back();
            continue;
        }
        out.push_back(std::move(part));
    }
    return out;
}

std::optional<std::string> read_link(const std::string& path) {
    char buf[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), buf, sizeof buf);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof buf) return std::nullopt;
    return std::string(buf, static_cast<std::size_t>(n));
}

struct HostEntry {
    ViewEntry entry;
    bool is_workdir = false;  // a directory that is the working directory under another name
};

HostEntry host_entry(const std::string& path, const struct stat& workdir) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return {};
    if (S_ISLNK(st.st_mode)) {
        auto target = read_link(path);
        if (!target) return {};
        return {ViewEntry{ViewEntry::Kind::Link, std::move(*target), false}};
    }
    if (S_ISDIR(st.st_mode))
        return {ViewEntry{ViewEntry::Kind::Directory, {}, false},
                st.st_dev == workdir.st_dev && st.st_ino == workdir.st_ino};
    return {ViewEntry{ViewEntry::Kind::Other, {}, false}};
}

// /proc/self and /proc/thread-self name the notifying process, not the supervisor.
bool rewrite_proc_self(std::vector<std::string>& cur, std::uint32_t tid) {
    if (cur.size() != 2 || cur[0] != "proc") return false;
    if (cur[1] != "self" && cur[1] != "thread-self") return false;
    auto tgid = sys::proc::thread_group(tid);
    if (!tgid) return false;
    const bool thread = cur[1] == "thread-self";
    cur[1] = std::to_string(*tgid);
    if (thread) {
        cur.emplace_back("task");
        cur.push_back(std::to_string(tid));
    }
    return true;
}

bool only_empty_left(const std::deque<std::string>& pending) {
    for (const auto& c : pending)
        if (!c.empty() && c != ".") return false;
    return true;
}

}  // namespace

std::string as_view_path(const MergedView& view, std::string_view host_path) {
    if (!lies_under(host_path, view.upper())) return std::string(host_path);
    return view.workdir() + std::string(host_path.substr(view.upper().size()));
}

std::optional<std::string> rel_in(const MergedView& view, std::string_view path) {
    const std::string& w = view.workdir();
    if (!lies_under(path, w)) return std::nullopt;
    if (path.size() == w.size()) return std::string();
    return std::string(path.substr(w == "/" ? 1 : w.size() + 1));
}

std::expected<std::string, int> start_directory(const MergedView& view, std::uint32_t tid,
                                                int dirfd) {
    const std::string proc = "/proc/" + std::to_string(tid);
    if (dirfd != AT_FDCWD && dirfd < 0) return std::unexpected(EBADF);
    auto link = read_link(dirfd == AT_FDCWD ? proc + "/cwd" : proc + "/fd/" + std::to_string(dirfd));
    if (!link) return std::unexpected(dirfd == AT_FDCWD ? ENOENT : EBADF);
    // Not a place in the file system (a pipe, a socket): no relative path starts there.
    if (link->empty() || (*link)[0] != '/') return std::unexpected(ENOTDIR);
    return as_view_path(view, *link);
}

std::expected<Resolved, int> resolve(const MergedView& view, const PathRequest& req) {
    if (req.path.size() >= PATH_MAX) return std::unexpected(ENAMETOOLONG);
    if (req.path.empty() && !req.empty_is_dirfd) return std::unexpected(ENOENT);

    std::vector<std::string> cur;
    if (req.path.empty() || req.path[0] != '/') {
        auto start = start_directory(view, req.tid, req.dirfd);
        if (!start) return std::unexpected(start.error());
        cur = components(*start);
    }
    std::deque<std::string> pending;
    split_into(req.path, pending, false);
    // A trailing slash makes the call look through a final link, as a trailing "." would.
    const bool follow_final = req.follow_final || req.path.ends_with('/');

    const struct stat& workdir_st = view.workdir_status();

    Resolved out;
    int links = 0;
    while (!pending.empty()) {
        std::string c = std::move(pending.front());
        pending.pop_front();
        if (c.empty() || c == ".") continue;
        if (c == "..") {
            if (!cur.empty()) cur.pop_back();
            continue;
        }
        if (c.size() > NAME_MAX) return std::unexpected(ENAMETOOLONG);
        cur.push_back(std::move(c));
        const bool last = only_empty_left(pending);
        if (rewrite_proc_self(cur, req.tid)) continue;
        if (last && !follow_final) break;

        const std::string here = join(cur);
        ViewEntry entry;
        const auto rel = rel_in(view, here);
        if (rel) {
            entry = view.lookup(*rel);
        } else {
            HostEntry host = host_entry(here, workdir_st);
            // Another name of the working directory (a bind mount, a hard alias) is the
            // working directory.
            if (host.is_workdir) cur = components(view.workdir());
            entry = std::move(host.entry);
        }
        switch (entry.kind) {
            case ViewEntry::Kind::Directory:
                continue;
            case ViewEntry::Kind::Missing:
                if (last) break;
                if (!rel) {
                    // Outside the view the kernel gives its own error for this path.
                    for (auto& rest : pending) cur.push_back(std::move(rest));
                    out.path = join(components(join(cur)));
                    return out;
                }
                return std::unexpected(ENOENT);
            case ViewEntry::Kind::Other:
                if (last) break;
                if (!rel) {
                    out.path = join(cur);
                    return out;
                }
                return std::unexpected(ENOTDIR);
            case ViewEntry::Kind::Link: {
                if (++links > kMaxLinks) return std::unexpected(ELOOP);
                if (entry.target.empty()) return std::unexpected(ENOENT);
                out.through_layer_link |= entry.from_layer;
                cur.pop_back();
                std::string target = std::move(entry.target);
                if (target[0] == '/') {
                    cur.clear();
                    target = as_view_path(view, target);
                }
                split_into(target, pending, true);
                continue;
            }
        }
        break;
    }
    out.path = join(cur);
    out.rel = rel_in(view, out.path);
    return out;
}

}  // namespace vestrion::cow
