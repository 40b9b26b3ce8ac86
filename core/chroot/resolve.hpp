// Paths under a virtual root: the child names files by paths whose "/" is a host directory. The
// root is opened once; every lookup starts from that descriptor with the kernel's RESOLVE_IN_ROOT,
// so neither ".." nor an absolute link target climbs out of it, and the final name is followed by
// hand so that the caller learns, and can check, the virtual path of what it will act on.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/policy.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::chroot {

// Failures are the error numbers the child's call answers with.
template <class T>
using Errno = std::expected<T, int>;

// `prefix` equals `path` or is one of its ancestors, compared component by component.
bool is_component_prefix(std::string_view prefix, std::string_view path);

// ".." never climbs above "/", "." and empty names are dropped; a relative text becomes absolute.
std::string confine(std::string_view path);

// The host path of virtual path `v`: `root` joined with it.
std::string to_host_path(std::string_view root, std::string_view v);
// The virtual path of host path `host`; none when it lies outside `root`.
std::optional<std::string> to_virtual_path(std::string_view root, std::string_view host);

// `base` joined with a relative `path` (an absolute one stands alone).
std::string join(std::string_view base, std::string_view path);

// The policy's readable and writable lists, read as paths inside the root. They add to the
// kernel's own checks, never replace them.
class ChrootCtx {
  public:
    ChrootCtx(const std::vector<Path>& readable, const std::vector<Path>& writable);
    // An empty readable list reads everything; an ancestor of a listed path is readable, so that
    // it can be opened and listed on the way there.
    bool can_read(std::string_view v) const;
    // Only paths at or beneath a writable entry; an empty list writes nothing.
    bool can_write(std::string_view v) const;

  private:
    std::vector<std::string> readable_;
    std::vector<std::string> writable_;
};

// The root directory, open for the lifetime of the sandbox.
class Root {
  public:
    // Opens `path` as a directory. Its host path is taken from the kernel, so a root named
    // through a link still works.
    static Errno<Root> open(const Path& path);

    int fd() const { return fd_.get(); }
    const std::string& host() const { return host_; }
    // The virtual path of the file behind our descriptor `fd`; none when it lies outside.
    std::optional<std::string> virtual_of(int fd) const;

  private:
    UniqueFd fd_;
    std::string host_;
};

// A file named by a virtual path: the directory that holds it and its name there, or, when the
// path ends in "/", "." or "..", or names the root, the directory itself (`name` empty).
struct Resolved {
    UniqueFd dir;      // O_PATH
    std::string name;  // one component, never "." or ".."
    std::string virt;  // where it lies, as the child sees it
    bool must_be_dir = false;  // the path ended in "/"

    // The name for an "at" call on `dir`: "" with AT_EMPTY_PATH when the directory is the file.
    const char* at_name() const { return name.empty() ? "" : name.c_str(); }
};

// Opens `rel` (virtual, with or without a leading "/") beneath the root, retrying the EAGAIN the
// kernel answers when a rename elsewhere races a ".." step.
Errno<UniqueFd> open_in_root(const Root& root, std::string_view rel, std::uint64_t flags,
                             std::uint64_t mode = 0);

// Resolves absolute virtual path `v`. The directories on the way are resolved by the kernel;
// a link in the final name is followed (at most 40 deep) only when `follow`. Must run with the
// child's rights: the walk needs its search permission on every directory.
Errno<Resolved> resolve(const Root& root, std::string_view v, bool follow);

// The file itself, O_PATH, without following a final link (already followed by `resolve`).
Errno<UniqueFd> open_resolved(const Resolved& r);

}  // namespace vestrion::chroot
