#include "core/chroot/dispatch.hpp"

#include <sys/syscall.h>

#include "core/chroot/handlers.hpp"
#include "core/sys/structs.hpp"

namespace vestrion::chroot::dispatch {

namespace {

enum class Family { Status, Link, Cwd, Exec, Chdir, Change, Bind, Refused, Denied, Other };

Family family_of(int nr) {
    // clang-format off
    switch (nr) {
        case SYS_newfstatat: case SYS_stat: case SYS_lstat: case SYS_statx:
        case SYS_faccessat: case SYS_faccessat2: case SYS_access: case SYS_statfs:
            return Family::Status;
        case SYS_readlinkat: case SYS_readlink: return Family::Link;
        case SYS_getcwd: return Family::Cwd;
        case SYS_execve: case SYS_execveat: return Family::Exec;
        case SYS_chdir: return Family::Chdir;
        case SYS_bind: return Family::Bind;
        case SYS_mkdir: case SYS_mkdirat: case SYS_mknod: case SYS_mknodat:
        case SYS_unlink: case SYS_rmdir: case SYS_unlinkat:
        case SYS_rename: case SYS_renameat: case SYS_renameat2:
        case SYS_link: case SYS_linkat: case SYS_symlink: case SYS_symlinkat:
        case SYS_chmod: case SYS_fchmodat: case SYS_chown: case SYS_lchown: case SYS_fchownat:
        case SYS_truncate: case SYS_utime: case SYS_utimes: case SYS_futimesat:
        case SYS_utimensat:
        case SYS_setxattr: case SYS_lsetxattr: case SYS_getxattr: case SYS_lgetxattr:
        case SYS_listxattr: case SYS_llistxattr: case SYS_removexattr: case SYS_lremovexattr:
        case SYS_inotify_add_watch: case SYS_fanotify_mark:
            return Family::Change;
        // A root of the command's own would have the kernel resolve its paths from a host
        // directory.
        case SYS_chroot: return Family::Denied;
        // The newer forms: C libraries fall back to the older ones the root serves.
        case sys::NR_OPENAT2: case sys::NR_FCHMODAT2:
        case sys::NR_SETXATTRAT: case sys::NR_GETXATTRAT: case sys::NR_LISTXATTRAT:
        case sys::NR_REMOVEXATTRAT: case sys::NR_FILE_GETATTR: case sys::NR_FILE_SETATTR:
            return Family::Refused;
        default: return Family::Other;
    }
    // clang-format on
}

}  // namespace

bool is_chroot_call(int nr) {
    return family_of(nr) != Family::Other;
}

NotifAction handle_open(const Call& call) {
    auto s = Session::open(call);
    if (!s) return refuse(s.error());
    return open_file(*s);
}

std::optional<NotifAction> handle_call(const Call& call) {
    const Family family = family_of(call.notif.data.nr);
    if (family == Family::Other) return std::nullopt;
    if (family == Family::Refused) return refuse(ENOSYS);
    if (family == Family::Denied) return refuse(EPERM);
    auto s = Session::open(call);
    if (!s) return refuse(s.error());
    switch (family) {
        case Family::Status: return status(*s);
        case Family::Link: return read_link(*s);
        case Family::Cwd: return getcwd(*s);
        case Family::Exec: return exec(*s);
        case Family::Chdir: return chdir(*s);
        case Family::Change: return change(*s);
        case Family::Bind: return bind_socket(*s);
        default: return std::nullopt;
    }
}

}  // namespace vestrion::chroot::dispatch
