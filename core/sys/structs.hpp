// Kernel constants and records that this machine's headers may predate.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vestrion::sys {

// System-call numbers (x86-64).
inline constexpr long NR_SECCOMP = 317;
inline constexpr long NR_MEMFD_CREATE = 319;
inline constexpr long NR_PIDFD_SEND_SIGNAL = 424;
inline constexpr long NR_PIDFD_OPEN = 434;
inline constexpr long NR_CLOSE_RANGE = 436;
inline constexpr long NR_OPENAT2 = 437;
inline constexpr long NR_PIDFD_GETFD = 438;
inline constexpr long NR_LANDLOCK_CREATE_RULESET = 444;
inline constexpr long NR_LANDLOCK_ADD_RULE = 445;
inline constexpr long NR_LANDLOCK_RESTRICT_SELF = 446;
inline constexpr long NR_FCHMODAT2 = 452;
inline constexpr long NR_SETXATTRAT = 463;
inline constexpr long NR_GETXATTRAT = 464;
inline constexpr long NR_LISTXATTRAT = 465;
inline constexpr long NR_REMOVEXATTRAT = 466;
inline constexpr long NR_FILE_GETATTR = 468;
inline constexpr long NR_FILE_SETATTR = 469;

// openat2's argument.
struct OpenHow {
    std::uint64_t flags;
    std::uint64_t mode;
    std::uint64_t resolve;
};
static_assert(sizeof(OpenHow) == 24);

// Landlock.
struct LandlockRulesetAttr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;
    std::uint64_t scoped;
};
static_assert(sizeof(LandlockRulesetAttr) == 24);

struct __attribute__((packed)) LandlockPathBeneathAttr {
    std::uint64_t allowed_access;
    std::int32_t parent_fd;
};
static_assert(sizeof(LandlockPathBeneathAttr) == 12);

struct LandlockNetPortAttr {
    std::uint64_t allowed_access;
    std::uint64_t port;
};
static_assert(sizeof(LandlockNetPortAttr) == 16);

inline constexpr std::uint32_t LANDLOCK_CREATE_RULESET_VERSION = 1;
inline constexpr int LANDLOCK_RULE_PATH_BENEATH = 1;
inline constexpr int LANDLOCK_RULE_NET_PORT = 2;

inline constexpr std::uint64_t LANDLOCK_ACCESS_FS_EXECUTE = 1ull << 0;
inline constexpr std::uint64_t LANDLOCK_ACCESS_FS_WRITE_FILE = 1ull << 1;
inline constexpr std::uint64_t LANDLOCK_ACCESS_FS_READ_FILE = 1ull << 2;
inline constexpr std::uint64_t LANDLOCK_ACCESS_FS_READ_DIR = 1ull << 3;
inline constexpr std::uint64_t LANDLOCK_ACCESS_FS_TRUNCATE = 1ull << 14;
inline constexpr std::uint64_t LANDLOCK_ACCESS_FS_IOCTL_DEV = 1ull << 15;
// EXECUTE (1) through IOCTL_DEV (0x8000).
inline constexpr std::uint64_t LANDLOCK_ACCESS_FS_ALL = 0xFFFF;
// The only rights Landlock accepts in a rule on something that is not a directory.
inline constexpr std::uint64_t LANDLOCK_ACCESS_FS_FILE_RIGHTS =
    LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_READ_FILE |
    LANDLOCK_ACCESS_FS_TRUNCATE | LANDLOCK_ACCESS_FS_IOCTL_DEV;

inline constexpr std::uint64_t LANDLOCK_ACCESS_NET_BIND_TCP = 1;
inline constexpr std::uint64_t LANDLOCK_ACCESS_NET_CONNECT_TCP = 2;

inline constexpr std::uint64_t LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET = 1;
inline constexpr std::uint64_t LANDLOCK_SCOPE_SIGNAL = 2;

// Seccomp user notification, beyond what the machine's headers define.
inline constexpr unsigned long SECCOMP_IOCTL_NOTIF_SET_FLAGS = 0x40082104;
inline constexpr std::uint64_t SECCOMP_USER_NOTIF_FD_SYNC_WAKE_UP = 1;

// pidfd_open: a descriptor for one thread rather than a thread-group leader (Linux 6.9).
inline constexpr unsigned int PIDFD_THREAD = 0x80;  // O_EXCL

// PIDFD_GET_INFO (Linux 6.13): a thread's ids, as our user namespace sees them, through its pidfd;
// ESRCH once the thread has ended.
struct PidfdInfo {
    std::uint64_t mask = 0;
    std::uint64_t cgroupid = 0;
    std::uint32_t pid = 0, tgid = 0, ppid = 0;
    std::uint32_t ruid = 0, rgid = 0, euid = 0, egid = 0, suid = 0, sgid = 0, fsuid = 0, fsgid = 0;
    std::int32_t exit_code = 0;
    std::uint32_t coredump_mask = 0;
    std::uint32_t spare = 0;
};
static_assert(sizeof(PidfdInfo) == 72);
inline constexpr std::uint64_t PIDFD_INFO_PID = 1;
inline constexpr std::uint64_t PIDFD_INFO_CREDS = 2;
inline constexpr unsigned long PIDFD_GET_INFO = 0xc048ff0b;  // _IOWR(0xFF, 11, struct pidfd_info)

// The argument record of setxattrat.
struct XattrArgs {
    std::uint64_t value;
    std::uint32_t size;
    std::uint32_t flags;
};
static_assert(sizeof(XattrArgs) == 16);

// The argument record of file_setattr, and its smallest accepted size.
inline constexpr std::size_t FILE_ATTR_SIZE_VER0 = 24;

// The ioctl requests that change a file's attributes through a descriptor (FS_IOC_SETFLAGS and
// its 32-bit twin, FS_IOC_FSSETXATTR).
inline constexpr std::uint32_t SET_FLAGS_REQUEST = 0x40086602;
inline constexpr std::uint32_t SET_FLAGS_32_REQUEST = 0x40046602;  // FS_IOC32_SETFLAGS
inline constexpr std::uint32_t SET_FSXATTR_REQUEST = 0x401c5820;

// pidfd_send_signal: reach the whole process group of the pidfd's process.
inline constexpr unsigned int PIDFD_SIGNAL_PROCESS_GROUP = 1u << 2;

}  // namespace vestrion::sys
