// Applying an upper tree to the working directory W: shared by the supervisor's layer and the
// overlay branch, whose upper trees differ only in how they record deletions.
//
// Every entry is checked before W changes; W's entries go only where the command removed them;
// entries are reached beneath W without following a link; files arrive under a temporary name
// beside their place and are renamed into it; links arrive as links; set-user-ID and
// set-group-ID bits never arrive, nor a file capability or the overlay's own attributes.
#pragma once

#include <sys/stat.h>

#include <expected>
#include <set>
#include <string>
#include <vector>

#include "core/error.hpp"

namespace vestrion::cow {

struct UpperItem {
    std::string rel;
    struct stat st;
};

// The upper tree below `upper_fd` in walk order: each directory before its contents, names
// sorted; links not followed. An error number when a directory cannot be read.
std::expected<std::vector<UpperItem>, int> walk_upper(int upper_fd);

struct TreeCommit {
    int w_fd = -1;
    int upper_fd = -1;
    // The entries of the walk to install; what they do not hold is not touched.
    std::vector<UpperItem> items;
    // W's entries the command removed; they go first, deepest first, a directory only when that
    // leaves nothing behind that the command never saw.
    std::set<std::string> removed;
    // Directories of the upper tree whose own mode, owner and times go to W ("" is W itself);
    // directories W lacked always carry theirs.
    std::set<std::string> dir_meta;
    bool all_dir_meta = false;
};

// Where a commit stopped (rel "" for no one entry) and why; what was done stays done.
struct CommitFailure {
    std::string rel;
    BranchError cause;
};

std::expected<void, CommitFailure> commit_tree(const TreeCommit& commit);

}  // namespace vestrion::cow
