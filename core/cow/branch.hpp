// A copy-on-write branch kept by a backend outside the supervisor: an overlay the child mounts
// over the working directory W, or a branch of the outside branching filesystem mounted at W.
// The spawn makes it before the fork; teardown commits, aborts or keeps it; a dry run lists its
// changes and aborts it. Destroying the object never touches the filesystem.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <vector>

#include "core/context/child.hpp"
#include "core/dry_run.hpp"
#include "core/error.hpp"
#include "core/policy.hpp"

namespace vestrion::cow {

class CowBranch {
public:
    virtual ~CowBranch() = default;

    // The overlay mount the child performs, if any.
    virtual std::optional<context::ChildMountConfig> child_mount_config() const {
        return std::nullopt;
    }
    virtual std::expected<void, BranchError> commit() = 0;
    virtual std::expected<void, BranchError> abort() = 0;
    virtual std::expected<void, BranchError> cleanup() = 0;
    virtual std::expected<std::vector<Change>, BranchError> changes() const = 0;
};

// The backend the policy's `fs_isolation` asks for (none for `None`), with its paths checked.
Result<std::unique_ptr<CowBranch>> make_backend(const Policy& policy);

// The policy the child's rules come from while the backend is in force: under the overlay the
// child may change W, which it reaches (after the mount) on the merged view only.
Policy child_policy_under_backend(const Policy& policy);

// Why the policy cannot run with its backend yet, if it cannot.
std::optional<std::string> refuse_backend_combination(const Policy& policy);

}  // namespace vestrion::cow
