#include "core/cow/tessarin.hpp"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "core/sys/fd.hpp"
#include "core/text.hpp"

namespace vestrion::cow {

namespace {

namespace fs = std::filesystem;

BranchError failed(std::string text) { return BranchError(BranchError::Failed{std::move(text)}); }

std::string system_text(int error) { return SystemError::from_errno(error).message(); }

// Read-write, never created; a link in the last place is not followed (the control files are
// the filesystem's own, never links).
std::expected<UniqueFd, int> open_ctl(const fs::path& path) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return std::unexpected(errno);
    return fd;
}

}  // namespace

std::expected<std::string, BranchError> tessarin_id_from_answer(
    std::span<const unsigned char, tessarin::ID_BUFFER> answer) {
    auto nul = std::ranges::find(answer, '\0');
    if (nul == answer.end()) return std::unexpected(failed("invalid UUID from ioctl"));
    std::string id(answer.begin(), nul);
    if (!text::is_valid_utf8(id)) return std::unexpected(failed("non-UTF8 UUID"));
    if (id.find('/') != std::string::npos) return std::unexpected(failed("invalid UUID from ioctl"));
    return id;
}

std::expected<std::unique_ptr<TessarinBranch>, BranchError> TessarinBranch::create(
    const fs::path& workdir) {
    const fs::path w = fs::absolute(workdir);
    const fs::path root_ctl = w / tessarin::CTL_NAME;
    auto fd = open_ctl(root_ctl);
    if (!fd) return std::unexpected(failed("open " + root_ctl.native() + ": " + system_text(fd.error())));
    std::array<unsigned char, tessarin::ID_BUFFER> answer{};
    if (::ioctl(fd->get(), tessarin::CREATE, answer.data()) < 0)
        return std::unexpected(failed("ioctl CREATE: " + system_text(errno)));
    fd->reset();
    auto id = tessarin_id_from_answer(answer);
    if (!id) return std::unexpected(std::move(id.error()));
    std::unique_ptr<TessarinBranch> b(new TessarinBranch());
    b->ctl_path_ = w / ("@" + *id) / tessarin::CTL_NAME;
    return b;
}

std::expected<void, BranchError> TessarinBranch::ctl_ioctl(const fs::path& path, std::uint32_t request) {
    auto fd = open_ctl(path);
    if (!fd) return std::unexpected(failed("open ctl: " + system_text(fd.error())));
    if (::ioctl(fd->get(), request, 0) < 0) return std::unexpected(failed("ioctl: " + system_text(errno)));
    return {};
}

std::expected<void, BranchError> TessarinBranch::commit() { return ctl_ioctl(ctl_path_, tessarin::COMMIT); }

std::expected<void, BranchError> TessarinBranch::abort() { return ctl_ioctl(ctl_path_, tessarin::ABORT); }

std::expected<void, BranchError> TessarinBranch::cleanup() { return abort(); }

std::expected<std::vector<Change>, BranchError> TessarinBranch::changes() const {
    return std::vector<Change>();
}

}  // namespace vestrion::cow
