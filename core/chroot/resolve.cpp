#include "core/chroot/resolve.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/sys/syscall.hpp"

namespace vestrion::chroot {

namespace sc = sys::syscall;

namespace {

constexpr int kMaxLinks = 40;
// openat2 with RESOLVE_IN_ROOT answers EAGAIN while a rename anywhere races its ".." steps.
constexpr int kAgainTries = 16;
constexpr std::uint64_t kInRoot = RESOLVE_IN_ROOT | RESOLVE_NO_MAGICLINKS;

std::string_view trim_slashes(std::string_view s) {
    while (!s.empty() && s.front() == '/') s.remove_prefix(1);
    while (!s.empty() && s.back() == '/') s.remove_suffix(1);
    return s;
}

std::optional<std::string> link_of(int fd) {
    char link[48];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    std::string target(4096, '\0');
    ssize_t n = ::readlink(link, target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size() || target[0] != '/')
        return std::nullopt;
    target.resize(static_cast<std::size_t>(n));
    return target;
}

Errno<std::string> read_link_at(int dir, const char* name) {
    std::string target(4096, '\0');
    ssize_t n = ::readlinkat(dir, name, target.data(), target.size());
    if (n < 0) return std::unexpected(errno);
    if (static_cast<std::size_t>(n) >= target.size()) return std::unexpected(ENAMETOOLONG);
    target.resize(static_cast<std::size_t>(n));
    return target;
}

}  // namespace

bool is_component_prefix(std::string_view prefix, std::string_view path) {
    while (prefix.size() > 1 && prefix.back() == '/') prefix.remove_suffix(1);
    if (prefix == "/" || prefix.empty()) return path.starts_with('/');
    if (!path.starts_with(prefix)) return false;
    return path.size() == prefix.size() || path[prefix.size()] == '/';
}

std::string confine(std::string_view path) {
    std::vector<std::string_view> kept;
    while (!path.empty()) {
        std::size_t slash = path.find('/');
        std::string_view piece = path.substr(0, slash);
        path = slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (piece.empty() || piece == ".") continue;
        if (piece == "..") {
            if (!kept.empty()) kept.pop_back();
            continue;
        }
        kept.push_back(piece);
    }
    if (kept.empty()) return "/";
    std::string out;
    for (auto piece : kept) {
        out += '/';
        out += piece;
    }
    return out;
}

std::string to_host_path(std::string_view root, std::string_view v) {
    std::string out(root);
    std::string_view rest = v;
    if (rest.starts_with('/')) rest.remove_prefix(1);
    if (rest.empty()) return out;
    if (!out.ends_with('/')) out += '/';
    out += rest;
    return out;
}

std::optional<std::string> to_virtual_path(std::string_view root, std::string_view host) {
    while (root.size() > 1 && root.back() == '/') root.remove_suffix(1);
    if (!is_component_prefix(root, host)) return std::nullopt;
    if (root == "/") return std::string(host);
    std::string_view rest = host.substr(root.size());
    if (rest.empty()) return "/";
    return std::string(rest);
}

std::string join(std::string_view base, std::string_view path) {
    if (path.starts_with('/')) return std::string(path);
    std::string out(base);
    if (!out.ends_with('/')) out += '/';
    out += path;
    return out;
}

ChrootCtx::ChrootCtx(const std::vector<Path>& readable, const std::vector<Path>& writable) {
    for (const auto& p : readable) readable_.push_back(confine(p.native()));
    for (const auto& p : writable) writable_.push_back(confine(p.native()));
}

bool ChrootCtx::can_read(std::string_view v) const {
    if (readable_.empty()) return true;
    for (const auto* list : {&readable_, &writable_})
        for (const auto& entry : *list)
            if (is_component_prefix(entry, v) || is_component_prefix(v, entry)) return true;
    return false;
}

bool ChrootCtx::can_write(std::string_view v) const {
    for (const auto& entry : writable_)
        if (is_component_prefix(entry, v)) return true;
    return false;
}

Errno<Root> Root::open(const Path& path) {
    auto fd = sc::openat2(AT_FDCWD, path.c_str(), O_PATH | O_DIRECTORY, 0, 0);
    if (!fd) return std::unexpected(fd.error().code());
    auto host = link_of(fd->get());
    if (!host) return std::unexpected(ENOENT);
    Root root;
    root.fd_ = std::move(*fd);
    root.host_ = std::move(*host);
    return root;
}

std::optional<std::string> Root::virtual_of(int fd) const {
    auto host = link_of(fd);
    if (!host) return std::nullopt;
    return to_virtual_path(host_, *host);
}

Errno<UniqueFd> open_in_root(const Root& root, std::string_view rel, std::uint64_t flags,
                             std::uint64_t mode) {
    while (rel.starts_with('/')) rel.remove_prefix(1);
    std::string path = rel.empty() ? std::string(".") : std::string(rel);
    if (path.find('\0') != std::string::npos) return std::unexpected(ENOENT);
    for (int i = 0;; ++i) {
        auto fd = sc::openat2(root.fd(), path.c_str(), flags, mode, kInRoot);
        if (fd) return std::move(*fd);
        if (fd.error().code() != EAGAIN || i + 1 >= kAgainTries)
            return std::unexpected(fd.error().code());
    }
}

Errno<Resolved> resolve(const Root& root, std::string_view v, bool follow) {
    std::string cur(v);
    for (int depth = 0;; ++depth) {
        const bool trailing = cur.size() > 1 && cur.ends_with('/');
        std::string_view body = trim_slashes(cur);
        const std::size_t slash = body.rfind('/');
        std::string_view last = slash == std::string_view::npos ? body : body.substr(slash + 1);
        std::string_view parent =
            slash == std::string_view::npos ? std::string_view{} : body.substr(0, slash);
        Resolved r;
        r.must_be_dir = trailing;
        if (last.empty() || last == "." || last == "..") {
            // The directory is the file itself.
            auto dir = open_in_root(root, body, O_PATH | O_DIRECTORY);
            if (!dir) return std::unexpected(dir.error());
            auto virt = root.virtual_of(dir->get());
            if (!virt) return std::unexpected(EACCES);
            r.dir = std::move(*dir);
            r.virt = std::move(*virt);
            r.must_be_dir = true;
            return r;
        }
        auto dir = open_in_root(root, parent, O_PATH | O_DIRECTORY);
        if (!dir) return std::unexpected(dir.error());
        auto dvirt = root.virtual_of(dir->get());
        if (!dvirt) return std::unexpected(EACCES);
        r.name = std::string(last);
        if (follow || trailing) {
            auto target = read_link_at(dir->get(), r.name.c_str());
            if (target) {
                if (depth >= kMaxLinks) return std::unexpected(ELOOP);
                if (target->empty()) return std::unexpected(ENOENT);
                cur = join(*dvirt, *target);
                if (trailing) cur += '/';
                continue;
            }
        }
        r.dir = std::move(*dir);
        r.virt = join(*dvirt, r.name);
        return r;
    }
}

Errno<UniqueFd> open_resolved(const Resolved& r) {
    if (r.name.empty()) {
        auto fd = sc::openat2(r.dir.get(), ".", O_PATH, 0, 0);
        if (!fd) return std::unexpected(fd.error().code());
        return std::move(*fd);
    }
    std::uint64_t flags = O_PATH | O_NOFOLLOW | (r.must_be_dir ? O_DIRECTORY : 0);
    auto fd = sc::openat2(r.dir.get(), r.name.c_str(), flags, 0, RESOLVE_BENEATH);
    if (!fd) return std::unexpected(fd.error().code());
    return std::move(*fd);
}

}  // namespace vestrion::chroot
