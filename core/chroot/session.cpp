#include "core/chroot/session.hpp"

#include <fcntl.h>

#include <mutex>

#include "core/seccomp/notif.hpp"
#include "core/sys/proc.hpp"

namespace vestrion::chroot {

namespace {

// The root is opened once per sandbox, by the first call that needs it.
Errno<std::shared_ptr<const Root>> root_of(const Call& call) {
    std::lock_guard lock(call.shared.mutex);
    auto& root = call.shared.state.chroot_root;
    if (!root) {
        auto opened = Root::open(*call.policy.chroot);
        if (!opened) return std::unexpected(opened.error());
        root = std::make_shared<const Root>(std::move(*opened));
    }
    return root;
}

}  // namespace

Errno<Session> Session::open(const Call& call) {
    Session s;
    s.call_ = &call;
    auto root = root_of(call);
    if (!root) return std::unexpected(root.error());
    s.root_ = std::move(*root);
    s.lists_ = ChrootCtx(call.policy.fs_readable, call.policy.fs_writable);
    {
        std::lock_guard lock(call.shared.mutex);
        s.rights_ = call.shared.state.child_rights;
    }
    auto creds = child_rights::credentials_of(call.notif.pid);
    if (!creds) return std::unexpected(ESRCH);
    s.creds_ = std::move(*creds);
    auto file = sys::proc::file_credentials(call.notif.pid);
    if (!file) return std::unexpected(ESRCH);
    s.umask_ = file->umask;
    auto view = seccomp::notif::ThreadView::open(call.notif, call.listener);
    if (!view) return std::unexpected(view.error());
    s.view_ = std::move(*view);
    return s;
}

Errno<std::string> Session::read_path(std::uint64_t address) const {
    return seccomp::notif::read_child_path(call_->listener, call_->notif, address);
}

Errno<std::string> Session::virtual_path(int dirfd, std::string_view text) const {
    if (text.starts_with('/')) return std::string(text);
    auto base = view_.descriptor(dirfd);
    if (!base) return std::unexpected(base.error());
    auto virt = root_->virtual_of(base->get());
    if (!virt) return std::unexpected(EACCES);
    return join(*virt, text);
}

Errno<Resolved> Session::resolve_arg(int dirfd, std::uint64_t address, bool follow) const {
    auto text = read_path(address);
    if (!text) return std::unexpected(text.error());
    if (text->empty()) return std::unexpected(ENOENT);
    auto virt = virtual_path(dirfd, *text);
    if (!virt) return std::unexpected(virt.error());
    return as_child([&] { return resolve(*root_, *virt, follow); });
}

}  // namespace vestrion::chroot
