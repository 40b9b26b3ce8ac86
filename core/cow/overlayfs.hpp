// The overlay backend: the child mounts a kernel overlay over W in its own user and mount
// namespaces (lower W, upper and work directories in the storage); the parent never mounts it.
// Commit applies the upper tree to W as the supervisor's layer does; whiteouts and opaque
// directories are the overlay's deletions.
#pragma once

#include <expected>
#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "core/cow/branch.hpp"
#include "core/cow/commit.hpp"

namespace vestrion::cow {

class OverlayBranch final : public CowBranch {
public:
    // A branch under `storage` (a base directory of this user, made 0700 when missing) for the
    // working directory `workdir`. Paths holding "," ":" or "\" are refused: they would change
    // the mount options' meaning.
    static std::expected<std::unique_ptr<OverlayBranch>, BranchError> create(
        const std::filesystem::path& workdir, const std::filesystem::path& storage);

    std::optional<context::ChildMountConfig> child_mount_config() const override;
    std::expected<void, BranchError> commit() override;
    std::expected<void, BranchError> abort() override;
    std::expected<void, BranchError> cleanup() override;
    std::expected<std::vector<Change>, BranchError> changes() const override;

    const std::filesystem::path& workdir() const { return workdir_; }
    const std::filesystem::path& branch_dir() const { return branch_dir_; }
    const std::filesystem::path& upper() const { return upper_; }
    const std::filesystem::path& merged() const { return merged_; }

private:
    OverlayBranch() = default;

    // What the upper tree records: its entries to install, and W's entries the command removed
    // (at whiteouts, and below opaque directories).
    struct Reading {
        std::vector<UpperItem> items;
        std::set<std::string> removed;
    };
    std::expected<Reading, BranchError> read_upper(int w_fd, int upper_fd) const;
    BranchError commit_error(const std::string& rel, const BranchError& cause) const;

    std::filesystem::path workdir_;
    std::filesystem::path branch_dir_;
    std::filesystem::path upper_;
    std::filesystem::path merged_;
    bool finished_ = false;
};

}  // namespace vestrion::cow
