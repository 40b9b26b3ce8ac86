// Resolving a path argument of the child the way its own call would, component by component,
// through the copy-on-write view: names the command made exist only in the layer, so the kernel's
// view of the working directory cannot answer where such a path leads.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace vestrion::cow {

// One name of the merged view, as the resolver needs it.
struct ViewEntry {
    enum class Kind : std::uint8_t { Missing, Directory, Link, Other };
    Kind kind = Kind::Missing;
    std::string target;       // of a link, as stored
    bool from_layer = false;  // the link is the layer's (made or moved by the command)
};

// The merged view of the working directory. `rel` is normalised: no "." or ".." components,
// no leading, trailing or repeated "/", the empty text for the working directory itself.
class MergedView {
  public:
    virtual ~MergedView() = default;
    virtual const std::string& workdir() const = 0;  // canonical, no trailing "/"
    virtual const std::string& upper() const = 0;    // the layer's upper tree, likewise
    virtual const struct stat& workdir_status() const = 0;  // of the working directory itself
    virtual ViewEntry lookup(std::string_view rel) const = 0;
};

struct Resolved {
    std::string path;                // absolute, normalised
    std::optional<std::string> rel;  // set when the path lies in the working directory
    // A link that only the layer holds was followed: the kernel, which sees the working
    // directory itself, would not go where this path goes.
    bool through_layer_link = false;
};

struct PathRequest {
    std::uint32_t tid = 0;  // the notifying thread, for /proc/<tid>/cwd and /proc/<tid>/fd
    int dirfd = -100;       // AT_FDCWD
    std::string_view path;
    bool follow_final = true;  // the call follows a final symbolic link
    bool empty_is_dirfd = false;  // AT_EMPTY_PATH: an empty path names the descriptor itself
};

// Where the path leads, or the error number the call would give for it (ENOENT, ENOTDIR,
// ELOOP, ENAMETOOLONG, EBADF for a directory descriptor that cannot be read).
std::expected<Resolved, int> resolve(const MergedView& view, const PathRequest& request);

// The directory a relative path starts from: the thread's working directory for AT_FDCWD,
// else what its descriptor names; a place in the upper tree is reported as its place in the
// working directory.
std::expected<std::string, int> start_directory(const MergedView& view, std::uint32_t tid,
                                                int dirfd);

// A host path seen through the view: a path in the upper tree as the working-directory path
// it stands for; any other path unchanged.
std::string as_view_path(const MergedView& view, std::string_view host_path);

// The path relative to the working directory when `path` (absolute, normalised) lies in it.
std::optional<std::string> rel_in(const MergedView& view, std::string_view path);

}  // namespace vestrion::cow
