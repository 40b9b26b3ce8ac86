#include "core/seccomp/notif.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/uio.h>

#include <cerrno>
#include <string>

#include "core/sys/structs.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::seccomp::notif {

namespace {

SysResult<void> ioctl_result(int ret) noexcept {
    if (ret < 0) return std::unexpected(SystemError::last());
    return {};
}

SysResult<void> send_plain(int listener, std::uint64_t id, std::int64_t val, int error,
                           std::uint32_t flags) noexcept {
    seccomp_notif_resp resp{};
    resp.id = id;
    resp.val = val;
    resp.error = error;
    resp.flags = flags;
    return ioctl_result(::ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &resp));
}

SysResult<void> send_injected(int listener, std::uint64_t id,
                              NotifAction::InjectFdSend inject) noexcept {
    seccomp_notif_addfd addfd{};
    addfd.id = id;
    addfd.flags = SECCOMP_ADDFD_FLAG_SEND;
    addfd.srcfd = static_cast<std::uint32_t>(inject.fd.get());
    addfd.newfd_flags = inject.cloexec ? O_CLOEXEC : 0;
    if (::ioctl(listener, SECCOMP_IOCTL_NOTIF_ADDFD, &addfd) >= 0) return {};
    int error = errno;
    // The call must not run as made: a handler that injects has served it in place of the
    // kernel, so its failure (EMFILE, say) is the call's.
    if (error == ENOENT) return std::unexpected(SystemError::from_errno(error));
    return send_plain(listener, id, 0, -error, 0);
}

// Signals the sandbox's process group: through the pidfd (never a recycled pid), else by id.
void signal_group(const NotifAction::Kill& kill) noexcept {
    if (kill.pidfd >= 0 &&
        sys::syscall::pidfd_send_signal(kill.pidfd, kill.signal, sys::PIDFD_SIGNAL_PROCESS_GROUP))
        return;
    // Group ids 0 and 1 would name the supervisor's own group and init's.
    if (kill.group > 1) ::killpg(kill.group, kill.signal);
}

std::expected<void, NotifError> check_valid(int listener, std::uint64_t id) noexcept {
    if (::ioctl(listener, SECCOMP_IOCTL_NOTIF_ID_VALID, &id) < 0)
        return std::unexpected(NotifError(NotifError::Ioctl{SystemError::last()}));
    return {};
}

}  // namespace

bool still_valid(int listener, std::uint64_t id) noexcept {
    return check_valid(listener, id).has_value();
}

bool try_set_sync_wakeup(int listener) noexcept {
    std::uint64_t flags = sys::SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP;
    return ::ioctl(listener, sys::SECCOMP_IOCTL_NOTIF_SET_FLAGS, flags) == 0;
}

SysResult<SeccompNotif> recv_notif(int listener) noexcept {
    SeccompNotif notif{};
    if (::ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &notif) < 0)
        return std::unexpected(SystemError::last());
    return notif;
}

SysResult<void> send_response(int listener, std::uint64_t id, NotifAction action) noexcept {
    struct Sender {
        int listener;
        std::uint64_t id;
        SysResult<void> operator()(NotifAction::Continue) const noexcept {
            return send_plain(listener, id, 0, 0, SECCOMP_USER_NOTIF_FLAG_CONTINUE);
        }
        SysResult<void> operator()(NotifAction::Errno e) const noexcept {
            return send_plain(listener, id, 0, -e.error, 0);
        }
        SysResult<void> operator()(NotifAction::ReturnValue v) const noexcept {
            return send_plain(listener, id, v.value, 0, 0);
        }
        SysResult<void> operator()(NotifAction::InjectFdSend& inject) const noexcept {
            return send_injected(listener, id, std::move(inject));
        }
        SysResult<void> operator()(NotifAction::Hold) const noexcept { return {}; }
        SysResult<void> operator()(NotifAction::Kill kill) const noexcept {
            signal_group(kill);
            return send_plain(listener, id, 0, -ENOMEM, 0);
        }
    };
    return std::visit(Sender{listener, id}, action.kind);
}

std::expected<std::size_t, NotifError> read_child_mem_into(int listener, const SeccompNotif& notif,
                                                           std::uint64_t address,
                                                           std::span<std::uint8_t> out) noexcept {
    iovec local{out.data(), out.size()};
    iovec remote{reinterpret_cast<void*>(address), out.size()};
    ssize_t got = ::process_vm_readv(static_cast<pid_t>(notif.pid), &local, 1, &remote, 1, 0);
    const int read_errno = errno;
    // The pid may have been reused before or while we read: only an id still valid afterwards
    // vouches for the bytes (reading has no effect, so no check is needed before it). The same
    // check tells a thread that has gone from memory that cannot be read.
    if (auto valid = check_valid(listener, notif.id); !valid)
        return std::unexpected(std::move(valid.error()));
    if (got < 0)
        return std::unexpected(NotifError(NotifError::MemoryRead{SystemError::from_errno(read_errno)}));
    return static_cast<std::size_t>(got);
}

std::expected<std::vector<std::uint8_t>, NotifError> read_child_mem(int listener,
                                                                    const SeccompNotif& notif,
                                                                    std::uint64_t address,
                                                                    std::size_t length) {
    std::vector<std::uint8_t> bytes(length);
    auto got = read_child_mem_into(listener, notif, address, bytes);
    if (!got) return std::unexpected(std::move(got.error()));
    bytes.resize(*got);
    return bytes;
}

ChildReader child_reader(int listener, const SeccompNotif& notif) {
    return [listener, &notif](std::uint64_t address, std::size_t length)
               -> std::optional<std::vector<std::uint8_t>> {
        auto bytes = read_child_mem(listener, notif, address, length);
        if (!bytes) return std::nullopt;
        return std::move(*bytes);
    };
}

std::expected<void, NotifError> write_child_mem(int listener, const SeccompNotif& notif,
                                                std::uint64_t address,
                                                std::span<const std::uint8_t> bytes) {
    if (auto valid = check_valid(listener, notif.id); !valid) return valid;
    iovec local{const_cast<std::uint8_t*>(bytes.data()), bytes.size()};
    iovec remote{reinterpret_cast<void*>(address), bytes.size()};
    ssize_t put = ::process_vm_writev(static_cast<pid_t>(notif.pid), &local, 1, &remote, 1, 0);
    if (put < 0) return std::unexpected(NotifError(NotifError::MemoryRead{SystemError::last()}));
    if (static_cast<std::size_t>(put) < bytes.size()) {
        std::string text = "short write: " + std::to_string(put) + " of " +
                           std::to_string(bytes.size()) + " bytes";
        return std::unexpected(NotifError(NotifError::MemoryRead{
            SystemError::with_message(SystemError::Kind::Other, std::move(text))}));
    }
    return check_valid(listener, notif.id);
}

SysResult<int> add_fd(int listener, std::uint64_t id, int fd, bool cloexec) noexcept {
    seccomp_notif_addfd addfd{};
    addfd.id = id;
    addfd.flags = 0;
    addfd.srcfd = static_cast<std::uint32_t>(fd);
    addfd.newfd_flags = cloexec ? O_CLOEXEC : 0;
    int number = ::ioctl(listener, SECCOMP_IOCTL_NOTIF_ADDFD, &addfd);
    if (number < 0) return std::unexpected(SystemError::last());
    return number;
}

bool notif_id_valid(int listener, std::uint64_t id) noexcept {
    return check_valid(listener, id).has_value();
}

SysResult<UniqueFd> dup_child_fd(int pidfd, int fd) noexcept {
    return sys::syscall::pidfd_getfd(pidfd, fd, 0);
}

bool wants_cloexec(const SeccompNotif& notif) noexcept {
    switch (notif.data.nr) {
        case SYS_open:
            return (notif.data.args[1] & O_CLOEXEC) != 0;
        case SYS_openat:
            return (notif.data.args[2] & O_CLOEXEC) != 0;
        default:
            return false;
    }
}

bool maybe_patch_vdso(std::uint32_t pid, SupervisorState& state) {
    if (!state.vdso) return true;
    return state.vdso->ensure(pid).has_value();
}

}  // namespace vestrion::seccomp::notif
