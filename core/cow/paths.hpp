// Where a copy-on-write working directory W and its storage may lie, and the policy the child's
// rules come from under the supervisor's layer.
#pragma once

#include <expected>
#include <memory>
#include <string>

#include "core/error.hpp"
#include "core/policy.hpp"

namespace vestrion::cow {

// While a copy-on-write branch of W is in force the child must reach neither W nor any
// layer's storage with rights of its own: Landlock grants a path the union of its ancestors'
// rules, so one fs_write entry above them would undo the layer.
//
// Refuses an fs_write entry that contains W or the storage, and a storage inside W or W inside
// the storage, naming both paths.
std::expected<void, BranchError> check_cow_paths(const Policy& policy, const Path& workdir,
                                                 const Path& storage);
// A storage base for a branch when the policy names none: `name` (by default one of this
// process's own) in the first of the temporary directories that lies outside every fs_write
// tree and apart from W.
std::expected<Path, BranchError> default_cow_storage(const Policy& policy, const Path& workdir,
                                                     const std::string& name = {});
// The policy the child's ruleset is built from while the layer is in force: fs_write entries
// equal to or inside W become read-only, and W is readable. Each spawn adds its own branch's
// upper tree (`readable_upper`) as one more readable path. Kept in the policy's derived slot
// while W is the same (canonical) directory, so that every spawn of the policy shares these
// rules and what is prepared from them.
// `workdir` is canonical (absolute, without links), as the layer holds it.
std::shared_ptr<const Policy> child_rules_under_cow(const Policy& policy, const Path& workdir);
// The upper tree as the child's rules name it.
Path readable_upper(const Path& upper);

}  // namespace vestrion::cow
