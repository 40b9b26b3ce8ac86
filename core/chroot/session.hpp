// What one virtual-root handler works with: the root, the lists, the notifying thread's view
// (its working directory and descriptors) and its rights. Every lookup beneath the root and every
// host call made for the child runs on the child-rights worker, with the child's ids and no
// capability, so the kernel refuses the child what it would refuse the child's own call.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/child_rights.hpp"
#include "core/chroot/resolve.hpp"
#include "core/seccomp/child_path.hpp"
#include "core/seccomp/dispatch.hpp"

namespace vestrion::chroot {

using seccomp::notif::Call;
using seccomp::notif::NotifAction;

class Session {
  public:
    // ESRCH when the thread is gone; the root's own error when it cannot be opened.
    static Errno<Session> open(const Call& call);

    const Call& call() const { return *call_; }
    const Root& root() const { return *root_; }
    const ChrootCtx& lists() const { return lists_; }
    const seccomp::notif::ThreadView& view() const { return view_; }
    std::uint32_t umask() const { return umask_; }

    // The path argument at `address`: EFAULT when unreadable, ENAMETOOLONG without a NUL within
    // 4096 bytes. Bytes, not text.
    Errno<std::string> read_path(std::uint64_t address) const;
    // The absolute virtual path of `text` as thread's `dirfd` (or AT_FDCWD) names it: EBADF for
    // a descriptor it does not hold, EACCES for a base directory outside the root (a pipe, a
    // socket, a host directory).
    Errno<std::string> virtual_path(int dirfd, std::string_view text) const;
    // Reads and resolves in one step; ENOENT for an empty path.
    Errno<Resolved> resolve_arg(int dirfd, std::uint64_t address, bool follow) const;

    // Runs `f` with the child's rights; EPERM when they cannot be taken.
    template <class F>
    auto as_child(F&& f) const -> decltype(f()) {
        using R = decltype(f());
        R out = std::unexpected(EPERM);
        if (!rights_->run(creds_, [&] { out = f(); })) return R(std::unexpected(EPERM));
        return out;
    }

  private:
    const Call* call_ = nullptr;
    std::shared_ptr<const Root> root_;
    ChrootCtx lists_{{}, {}};
    seccomp::notif::ThreadView view_;
    std::shared_ptr<child_rights::ChildRights> rights_;
    child_rights::Credentials creds_;
    std::uint32_t umask_ = 022;
};

// An error number as the answer.
inline NotifAction refuse(int error) {
    return NotifAction::Errno{error};
}

}  // namespace vestrion::chroot
