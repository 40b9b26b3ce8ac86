// The outside-filesystem backend: a branch of tessarin, which the user has mounted at W. The
// library only drives it through its control files; how the command's writes under W reach the
// branch is the filesystem's business (no mount, no change of directory here).
#pragma once

#include <expected>
#include <filesystem>
#include <memory>
#include <span>
#include <string>

#include "core/cow/branch.hpp"
#include "core/cow/tessarin_ctl.hpp"

namespace vestrion::cow {

class TessarinBranch final : public CowBranch {
public:
    // Asks the filesystem mounted at `workdir` for a new branch (CREATE on its root control file).
    static std::expected<std::unique_ptr<TessarinBranch>, BranchError> create(
        const std::filesystem::path& workdir);
    // Issues a request without argument on the control file at `path`.
    static std::expected<void, BranchError> ctl_ioctl(const std::filesystem::path& path,
                                                      std::uint32_t request);

    std::expected<void, BranchError> commit() override;
    std::expected<void, BranchError> abort() override;
    std::expected<void, BranchError> cleanup() override;
    // The filesystem keeps the branch's contents to itself: there is nothing to list.
    std::expected<std::vector<Change>, BranchError> changes() const override;

    const std::filesystem::path& ctl_path() const { return ctl_path_; }

private:
    TessarinBranch() = default;
    std::filesystem::path ctl_path_;
};

// The branch id in CREATE's answer: the text before the first NUL, which must be UTF-8 and hold
// no "/" (the id names a directory under W: "@../x" would lead out of it). An empty id is an id.
std::expected<std::string, BranchError> tessarin_id_from_answer(
    std::span<const unsigned char, tessarin::ID_BUFFER> answer);

}  // namespace vestrion::cow
