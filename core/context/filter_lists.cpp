#include "core/context/filter_lists.hpp"

#include <linux/fs.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <span>

#include "core/cow/tessarin_ctl.hpp"

namespace vestrion::context {
namespace {

// The one table of the system calls the filter knows.
constexpr auto kSyscalls = std::to_array<SyscallEntry>({
    {"open", 2},
    {"stat", 4},
    {"lstat", 6},
    {"mmap", 9},
    {"munmap", 11},
    {"brk", 12},
    {"ioctl", 16},
    {"access", 21},
    {"mremap", 25},
    {"shmget", 29},
    {"socket", 41},
    {"connect", 42},
    {"sendto", 44},
    {"sendmsg", 46},
    {"bind", 49},
    {"getsockname", 51},
    {"socketpair", 53},
    {"clone", 56},
    {"fork", 57},
    {"vfork", 58},
    {"execve", 59},
    {"uname", 63},
    {"truncate", 76},
    {"getdents", 78},
    {"getcwd", 79},
    {"chdir", 80},
    {"rename", 82},
    {"mkdir", 83},
    {"rmdir", 84},
    {"creat", 85},
    {"link", 86},
    {"unlink", 87},
    {"symlink", 88},
    {"readlink", 89},
    {"chmod", 90},
    {"fchmod", 91},
    {"chown", 92},
    {"fchown", 93},
    {"lchown", 94},
    {"gettimeofday", 96},
    {"ptrace", 101},
    {"setpgid", 109},
    {"setsid", 112},
    {"utime", 132},
    {"mknod", 133},
    {"statfs", 137},
    {"setpriority", 141},
    {"sched_setparam", 142},
    {"sched_setscheduler", 144},
    {"pivot_root", 155},
    {"prctl", 157},
    {"chroot", 161},
    {"acct", 163},
    {"mount", 165},
    {"umount2", 166},
    {"swapon", 167},
    {"swapoff", 168},
    {"reboot", 169},
    {"sethostname", 170},
    {"setdomainname", 171},
    {"iopl", 172},
    {"ioperm", 173},
    {"init_module", 175},
    {"delete_module", 176},
    {"quotactl", 179},
    {"setxattr", 188},
    {"lsetxattr", 189},
    {"fsetxattr", 190},
    {"getxattr", 191},
    {"lgetxattr", 192},
    {"listxattr", 194},
    {"llistxattr", 195},
    {"removexattr", 197},
    {"lremovexattr", 198},
    {"fremovexattr", 199},
    {"time", 201},
    {"sched_setaffinity", 203},
    {"sched_getaffinity", 204},
    {"lookup_dcookie", 212},
    {"getdents64", 217},
    {"timer_settime", 223},
    {"clock_gettime", 228},
    {"clock_nanosleep", 230},
    {"utimes", 235},
    {"kexec_load", 246},
    {"add_key", 248},
    {"request_key", 249},
    {"keyctl", 250},
    {"ioprio_set", 251},
    {"inotify_add_watch", 254},
    {"openat", 257},
    {"mkdirat", 258},
    {"mknodat", 259},
    {"fchownat", 260},
    {"futimesat", 261},
    {"newfstatat", 262},
    {"unlinkat", 263},
    {"renameat", 264},
    {"linkat", 265},
    {"symlinkat", 266},
    {"readlinkat", 267},
    {"fchmodat", 268},
    {"faccessat", 269},
    {"unshare", 272},
    {"utimensat", 280},
    {"timerfd_settime", 286},
    {"perf_event_open", 298},
    {"fanotify_mark", 301},
    {"prlimit64", 302},
    {"name_to_handle_at", 303},
    {"open_by_handle_at", 304},
    {"sendmmsg", 307},
    {"setns", 308},
    {"process_vm_readv", 310},
    {"process_vm_writev", 311},
    {"finit_module", 313},
    {"sched_setattr", 314},
    {"renameat2", 316},
    {"getrandom", 318},
    {"bpf", 321},
    {"execveat", 322},
    {"userfaultfd", 323},
    {"statx", 332},
    {"io_uring_setup", 425},
    {"io_uring_enter", 426},
    {"io_uring_register", 427},
    {"open_tree", 428},
    {"move_mount", 429},
    {"fsopen", 430},
    {"fsconfig", 431},
    {"fsmount", 432},
    {"fspick", 433},
    {"clone3", 435},
    {"openat2", 437},
    {"faccessat2", 439},
    {"mount_setattr", 442},
    {"fchmodat2", 452},
    {"setxattrat", 463},
    {"getxattrat", 464},
    {"listxattrat", 465},
    {"removexattrat", 466},
    {"open_tree_attr", 467},
    {"file_getattr", 468},
    {"file_setattr", 469},
});

static_assert(std::ranges::is_sorted(kSyscalls, {}, &SyscallEntry::nr));

// Compile-time lookup: a misspelt name in a rule below fails the build instead of routing nothing.
consteval std::uint32_t nr(std::string_view name) {
    for (const auto& entry : kSyscalls)
        if (entry.name == name) return entry.nr;
    throw "system call missing from the table";
}

template <std::size_t N>
using Numbers = std::array<std::uint32_t, N>;

// fork too: a raw fork would otherwise create processes that the process budget never counts.
// setsid and setpgid: the teardown must know every process group the sandbox makes.
constexpr Numbers<6> kAlwaysRouted{nr("clone"), nr("fork"),   nr("clone3"),
                                   nr("vfork"), nr("setsid"), nr("setpgid")};
constexpr Numbers<5> kMemory{nr("mmap"), nr("munmap"), nr("brk"), nr("mremap"), nr("shmget")};
// sendmmsg too: unrouted, its datagrams would reach any address. sendto is routed by the
// argument block, when it names a destination.
constexpr Numbers<4> kNetwork{nr("connect"), nr("sendmsg"), nr("sendmmsg"), nr("bind")};
// Landlock does not check a connect or a send to a Unix socket file: the supervisor makes each
// one that may name a path (sendmsg and sendmmsg keep their name in memory).
constexpr Numbers<3> kUnixSockets{nr("connect"), nr("sendmsg"), nr("sendmmsg")};
// brk is the first call of every program, static ones too, which open nothing before main: the
// supervisor patches a fresh vDSO at a process's first routed call after its exec. open too:
// some C libraries open the random devices with it.
constexpr Numbers<4> kRandom{nr("getrandom"), nr("openat"), nr("open"), nr("brk")};
constexpr Numbers<5> kTime{nr("clock_nanosleep"), nr("timerfd_settime"), nr("timer_settime"),
                           nr("openat"), nr("brk")};
constexpr Numbers<2> kCpus{nr("openat"), nr("sched_getaffinity")};
constexpr Numbers<1> kProcFiles{nr("openat")};
constexpr Numbers<2> kDirListing{nr("getdents64"), nr("getdents")};
constexpr Numbers<2> kHostname{nr("uname"), nr("openat")};
// Every call that changes or reads a path inside the working directory, in each of its forms:
// Landlock does not govern mode, owner, times or extended attributes, and the layer serves the
// names only it holds. openat2 and fchmodat2 are refused while the layer is in force, so that C
// libraries fall back to the forms it serves.
constexpr Numbers<64> kCopyOnWrite{
    // opens
    nr("openat"), nr("open"), nr("creat"), nr("openat2"),
    // changes by path
    nr("mkdirat"), nr("mkdir"), nr("unlinkat"), nr("unlink"), nr("rmdir"), nr("renameat2"),
    nr("renameat"), nr("rename"), nr("linkat"), nr("link"), nr("symlinkat"), nr("symlink"),
    nr("fchmodat"), nr("fchmodat2"), nr("chmod"), nr("fchownat"), nr("chown"), nr("lchown"),
    nr("truncate"), nr("mknodat"), nr("mknod"), nr("utimensat"), nr("utime"), nr("utimes"),
    nr("futimesat"),
    // changes by descriptor
    nr("fchmod"), nr("fchown"),
    // extended attributes, changed
    nr("setxattr"), nr("lsetxattr"), nr("fsetxattr"), nr("setxattrat"), nr("removexattr"),
    nr("lremovexattr"), nr("fremovexattr"), nr("removexattrat"), nr("file_setattr"),
    // extended attributes, read by path (a descriptor names the file the layer chose already)
    nr("getxattr"), nr("lgetxattr"), nr("getxattrat"), nr("listxattr"), nr("llistxattr"),
    nr("listxattrat"),
    // status, links and listings
    nr("newfstatat"), nr("stat"), nr("lstat"), nr("statx"), nr("faccessat"), nr("faccessat2"),
    nr("access"), nr("readlinkat"), nr("readlink"), nr("getdents64"), nr("getdents"),
    // the paths the kernel resolves itself: programs run and directories entered, and the name
    // of the one a process stands in
    nr("execve"), nr("execveat"), nr("chdir"), nr("getcwd"),
    // names the kernel resolves from the directory a process stands in
    nr("statfs"), nr("inotify_add_watch"), nr("bind")};
// Every call that names a path, in each of its forms: under a root the supervisor resolves them
// all, since the kernel would read the child's paths as host paths. Landlock grants the host's
// own copy of each readable entry (the kernel loads interpreters by host path), so a call left
// to the kernel could read the host's files there. openat2, fchmodat2 and the newest attribute
// calls are refused with ENOSYS: C libraries fall back to the forms the root serves.
constexpr Numbers<63> kVirtualRoot{
    // opens and exec
    nr("openat"), nr("open"), nr("creat"), nr("openat2"), nr("execve"), nr("execveat"),
    // changes by path
    nr("unlinkat"), nr("unlink"), nr("rmdir"), nr("mkdirat"), nr("mkdir"), nr("mknodat"),
    nr("mknod"), nr("renameat2"), nr("renameat"), nr("rename"), nr("symlinkat"), nr("symlink"),
    nr("linkat"), nr("link"), nr("fchmodat"), nr("fchmodat2"), nr("chmod"), nr("fchownat"),
    nr("chown"), nr("lchown"), nr("truncate"), nr("utimensat"), nr("utime"), nr("utimes"),
    nr("futimesat"),
    // extended attributes by path, read and changed
    nr("setxattr"), nr("lsetxattr"), nr("getxattr"), nr("lgetxattr"), nr("listxattr"),
    nr("llistxattr"), nr("removexattr"), nr("lremovexattr"), nr("setxattrat"),
    nr("getxattrat"), nr("listxattrat"), nr("removexattrat"), nr("file_getattr"),
    nr("file_setattr"),
    // status, links, listings, the working directory, watches
    nr("newfstatat"), nr("stat"), nr("lstat"), nr("statx"), nr("faccessat"), nr("faccessat2"),
    nr("access"), nr("readlinkat"), nr("readlink"), nr("statfs"), nr("getdents64"),
    nr("getdents"), nr("chdir"), nr("getcwd"), nr("inotify_add_watch"), nr("fanotify_mark"),
    // a root of the command's own, refused
    nr("chroot"),
    // a Unix socket's name
    nr("bind")};
// Every way to open by path, so that a path the callback denied is not one open(2) away.
constexpr Numbers<9> kCallback{nr("openat"), nr("open"),   nr("creat"),  nr("openat2"), nr("connect"),
                               nr("sendto"), nr("bind"),   nr("execve"), nr("execveat")};
constexpr Numbers<2> kPortRemap{nr("bind"), nr("getsockname")};
// The calls that change a file's mode, owner, times or extended attributes: Landlock does not
// cover them, so only the supervisor may perform them,
// and only beneath the writable trees. (The ioctls that change a file's flags are matched by
// their request in the argument block.)
constexpr Numbers<21> kFileMetadata{
    nr("chmod"),        nr("fchmod"),        nr("fchmodat"),      nr("fchmodat2"),
    nr("chown"),        nr("fchown"),        nr("lchown"),        nr("fchownat"),
    nr("utime"),        nr("utimes"),        nr("futimesat"),     nr("utimensat"),
    nr("setxattr"),     nr("lsetxattr"),     nr("fsetxattr"),     nr("removexattr"),
    nr("lremovexattr"), nr("fremovexattr"),  nr("setxattrat"),    nr("removexattrat"),
    nr("file_setattr")};

struct RoutedRule {
    bool (*applies)(const Policy&);
    std::span<const std::uint32_t> numbers;
    // The metadata rule routes calls that nothing routed before; a policy whose own list denies
    // one of them keeps it denied rather than have the supervisor perform it.
    bool yields_to_deny_list = false;
};

bool copy_on_write(const Policy& p) {
    return p.workdir && p.fs_isolation == FsIsolation::None;
}

// The supervisor decides where the command's connections and datagrams may go.
bool network_rule(const Policy& p) {
    return !p.net_allow_hosts.empty() || p.policy_fn != nullptr;
}

constexpr std::array<RoutedRule, 15> kRoutedRules{{
    {[](const Policy&) { return true; }, kAlwaysRouted},
    {[](const Policy&) { return true; }, kFileMetadata, true},
    {needs_agent, kUnixSockets, true},
    {[](const Policy& p) { return p.max_memory.has_value(); }, kMemory},
    {network_rule, kNetwork},
    {[](const Policy& p) { return p.random_seed.has_value(); }, kRandom},
    {[](const Policy& p) { return p.time_start.has_value(); }, kTime},
    {[](const Policy& p) { return p.num_cpus.has_value(); }, kCpus},
    {[](const Policy& p) {
         return !p.num_cpus && (p.max_memory || p.isolate_pids || p.port_remap);
     },
     kProcFiles},
    {[](const Policy& p) { return p.isolate_pids || p.deterministic_dirs; }, kDirListing},
    {[](const Policy& p) { return p.hostname.has_value(); }, kHostname},
    {copy_on_write, kCopyOnWrite},
    {[](const Policy& p) { return p.chroot.has_value(); }, kVirtualRoot},
    {[](const Policy& p) { return p.policy_fn != nullptr; }, kCallback},
    {[](const Policy& p) { return p.port_remap; }, kPortRemap},
}};

// clang-format off
constexpr std::array<std::string_view, 42> kDefaultDenied{
    "mount", "umount2", "pivot_root", "swapon", "swapoff", "reboot", "sethostname",
    "setdomainname", "kexec_load", "init_module", "finit_module", "delete_module", "unshare",
    "setns", "perf_event_open", "bpf", "userfaultfd", "keyctl", "add_key", "request_key",
    "ptrace", "process_vm_readv", "process_vm_writev", "open_by_handle_at", "name_to_handle_at",
    "ioperm", "iopl", "quotactl", "acct", "lookup_dcookie", "nfsservctl", "io_uring_setup",
    "io_uring_enter", "io_uring_register", "open_tree", "move_mount", "fsopen", "fsconfig",
    "fsmount", "fspick", "mount_setattr", "open_tree_attr"};
// clang-format on

constexpr Numbers<3> kIoUring{nr("io_uring_setup"), nr("io_uring_enter"), nr("io_uring_register")};

template <class Names>
std::vector<std::uint32_t> numbers_of(const Names& names) {
    std::vector<std::uint32_t> out;
    for (const auto& name : names)
        if (auto number = syscall_name_to_nr(name)) out.push_back(*number);
    return out;
}

constexpr std::uint32_t kRefuse = SECCOMP_RET_ERRNO | EPERM;
// What Landlock answers a write it does not allow, and so the answer to a metadata change.
constexpr std::uint32_t kNoAccess = SECCOMP_RET_ERRNO | EACCES;
constexpr std::uint32_t kOffsetArg0 = 16;
constexpr std::uint32_t kOffsetArg1 = 24;
constexpr std::uint32_t kOffsetArg2 = 32;
constexpr std::uint32_t kOffsetArg4 = 48;  // its low half; the high half follows
constexpr std::uint32_t kNamespaceFlags = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS |
                                          CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID |
                                          CLONE_NEWNET;
// A child of our caller, which never reaps it and which the teardown never finds.
constexpr std::uint32_t kCloneParent = CLONE_PARENT;
constexpr std::uint32_t kSockPacket = 10;  // the obsolete packet socket of the inet family
constexpr std::uint32_t kPrioUser = 2;        // setpriority: every process of a user
constexpr std::uint32_t kIoprioWhoUser = 3;   // ioprio_set: the same

using Insns = std::vector<sock_filter>;
using Checks = std::vector<seccomp::bpf::ArgCheck>;

sock_filter load(std::uint32_t offset) {
    return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
}
sock_filter jeq(std::uint32_t k, std::uint8_t jt, std::uint8_t jf) {
    return BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, k, jt, jf);
}
sock_filter ret(std::uint32_t verdict) {
    return BPF_STMT(BPF_RET | BPF_K, verdict);
}
sock_filter refuse() {
    return ret(kRefuse);
}

// "If the accumulator equals `k`, return `verdict`"; falls through otherwise.
void return_if(Insns& out, std::uint32_t k, std::uint32_t verdict) {
    out.push_back(jeq(k, 0, 1));
    out.push_back(ret(verdict));
}

// Runs `body` for system call `number` only. The body either returns or falls through to the
// lists.
void for_call(Checks& out, std::uint32_t number, Insns body) {
    out.push_back({number, std::move(body)});
}

// The verdict for a call that the supervisor decides: routed to it, or `without` when the
// program has no listener.
std::uint32_t decided_by_supervisor(bool supervised, std::uint32_t without) {
    return supervised ? SECCOMP_RET_USER_NOTIF : without;
}

// The socket block: raw, packet and/or datagram sockets of the two internet families.
void append_socket_block(const Policy& policy, Checks& out) {
    std::vector<std::uint32_t> types;
    if (policy.no_raw_sockets) {
        types.push_back(SOCK_RAW);
        types.push_back(kSockPacket);
    }
    if (policy.no_udp) types.push_back(SOCK_DGRAM);
    if (types.empty()) return;
    const auto b = static_cast<std::uint8_t>(types.size());
    Insns body{load(kOffsetArg0), jeq(AF_INET, 1, 0), jeq(AF_INET6, 0, b + 3), load(kOffsetArg1),
               // Only the type proper: SOCK_NONBLOCK and SOCK_CLOEXEC ride in the higher bits.
               BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xFF)};
    for (std::uint8_t t = 0; t < b; ++t) {
        const bool last = t + 1 == b;
        body.push_back(jeq(types[t], static_cast<std::uint8_t>(b - 1 - t), last ? 1 : 0));
    }
    body.push_back(refuse());
    for_call(out, nr("socket"), std::move(body));
}

// Packet sockets send and receive raw frames below IP; whoever may open them (a caller running as
// root) could forge or sniff traffic just as with raw IP sockets.
void append_packet_block(const Policy& policy, Checks& out) {
    if (!policy.no_raw_sockets) return;
    for_call(out, nr("socket"), {load(kOffsetArg0), jeq(AF_PACKET, 0, 1), refuse()});
}

// Under the network rule a socket may be only of a family whose destinations the supervisor
// judges (the two internet families) or that reaches no other host (Unix, netlink). Any other
// (vsock to the hypervisor, TIPC, RDS, CAN, Bluetooth...) would carry data past the allow-list.
// The family is a plain argument, so the filter refuses it, with or without a listener.
void append_family_block(const Policy& policy, Checks& out) {
    if (!network_rule(policy)) return;
    constexpr std::array<std::uint32_t, 4> kFamilies{AF_UNIX, AF_INET, AF_INET6, AF_NETLINK};
    Insns body{load(kOffsetArg0)};
    for (std::size_t i = 0; i < kFamilies.size(); ++i)
        body.push_back(jeq(kFamilies[i], static_cast<std::uint8_t>(kFamilies.size() - i), 0));
    body.push_back(ret(SECCOMP_RET_ERRNO | EAFNOSUPPORT));
    for (std::uint32_t number : {nr("socket"), nr("socketpair")}) for_call(out, number, body);
}

// sendto with a destination goes to the supervisor, which judges it as connect; one without
// (a connected socket's send) reads nothing from memory that a check could miss and stays the
// kernel's. A policy whose own list denies sendto keeps it denied.
void append_sendto_block(const Policy& policy, bool supervised, Checks& out) {
    const std::vector<std::uint32_t> denied = deny_syscall_numbers(policy);
    if (!supervised || !needs_agent(policy) || std::ranges::find(denied, nr("sendto")) != denied.end())
        return;
    for_call(out, nr("sendto"),
             {load(kOffsetArg4), jeq(0, 0, 2), load(kOffsetArg4 + 4), jeq(0, 1, 0),
              ret(SECCOMP_RET_USER_NOTIF)});
}

// Without the agent nothing can make a connect or a send by name for the command from a copy
// the command cannot change afterwards, and an answer that lets the kernel make it reads the
// name, and the descriptor, again: a second thread could put a Unix socket at that number and
// a path in the name. So the command gets no socket that could reach a name: no Unix socket
// from socket(), no datagram pair (either end may send to, or connect to, any name). Stream
// and sequenced-packet pairs are connected for good; the kernel refuses or ignores a name on
// them. Landlock refuses the bind that would make a socket file (no tree is writable), so this
// takes nothing that could be served.
void append_unix_block(const Policy& policy, Checks& out) {
    if (needs_agent(policy)) return;
    constexpr std::uint32_t kRefuseUnix = SECCOMP_RET_ERRNO | EACCES;
    for_call(out, nr("socket"), {load(kOffsetArg0), jeq(AF_UNIX, 0, 1), ret(kRefuseUnix)});
    // Only the type proper: SOCK_NONBLOCK and SOCK_CLOEXEC ride in the higher bits.
    for_call(out, nr("socketpair"),
             {load(kOffsetArg0), jeq(AF_UNIX, 0, 4), load(kOffsetArg1),
              BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xFF), jeq(SOCK_DGRAM, 0, 1), ret(kRefuseUnix)});
}

constexpr Numbers<5> kActOnProcess{nr("prlimit64"), nr("sched_setparam"),
                                   nr("sched_setscheduler"), nr("sched_setaffinity"),
                                   nr("sched_setattr")};

// Calls that act on another process by number reach the caller of the library just as well:
// its limits, niceness and CPU placement. The process's own forms (number 0) pass here; the
// others go to the supervisor, which allows the sandbox's own processes, or are refused.
void append_other_process_block(bool supervised, Checks& out) {
    const std::uint32_t other = decided_by_supervisor(supervised, kRefuse);
    Insns self_or_other{load(kOffsetArg0)};
    return_if(self_or_other, 0, SECCOMP_RET_ALLOW);
    self_or_other.push_back(ret(other));
    for (std::uint32_t number : kActOnProcess) for_call(out, number, self_or_other);

    // setpriority and ioprio_set name a process, a group or a user in their first argument
    // and the member in the second, 0 for the caller's own. A whole user reaches every process
    // of that user on the host.
    auto by_kind = [&](std::uint32_t user_kind) {
        Insns body{load(kOffsetArg0)};
        return_if(body, user_kind, kRefuse);
        body.push_back(load(kOffsetArg1));
        return_if(body, 0, SECCOMP_RET_ALLOW);
        body.push_back(ret(other));
        return body;
    };
    for_call(out, nr("setpriority"), by_kind(kPrioUser));
    for_call(out, nr("ioprio_set"), by_kind(kIoprioWhoUser));
}

// Without a listener nothing can decide what the supervisor would: refuse it.
void append_listenerless_refusals(Checks& out) {
    for (std::uint32_t number : {nr("setsid"), nr("setpgid")}) for_call(out, number, {refuse()});
    for (std::uint32_t number : kFileMetadata) for_call(out, number, {ret(kNoAccess)});
}

}  // namespace

bool needs_agent(const Policy& policy) {
    return network_rule(policy) || policy.port_remap || !policy.fs_writable.empty() ||
           policy.workdir.has_value() || policy.gpu_devices.has_value();
}

std::span<const SyscallEntry> syscall_table() {
    return kSyscalls;
}

std::optional<std::uint32_t> syscall_name_to_nr(std::string_view name) {
    for (const auto& entry : kSyscalls)
        if (entry.name == name) return entry.nr;
    return std::nullopt;
}

std::vector<std::uint32_t> notif_syscalls(const Policy& policy) {
    const std::vector<std::uint32_t> denied = deny_syscall_numbers(policy);
    std::vector<std::uint32_t> routed;
    for (const auto& rule : kRoutedRules) {
        if (!rule.applies(policy)) continue;
        for (std::uint32_t number : rule.numbers)
            if (!rule.yields_to_deny_list || std::ranges::find(denied, number) == denied.end())
                routed.push_back(number);
    }
    std::ranges::sort(routed);
    routed.erase(std::unique(routed.begin(), routed.end()), routed.end());
    return routed;
}

std::vector<std::uint32_t> deny_syscall_numbers(const Policy& policy) {
    std::vector<std::uint32_t> denied;
    if (policy.deny_syscalls)
        denied = numbers_of(*policy.deny_syscalls);
    else if (!policy.allow_syscalls)
        denied = numbers_of(kDefaultDenied);
    // io_uring performs opens, connects, sends and changes of extended attributes inside the
    // kernel, where neither the filter nor the supervisor sees them.
    for (std::uint32_t number : kIoUring)
        if (std::ranges::find(denied, number) == denied.end()) denied.push_back(number);
    return denied;
}

std::vector<seccomp::bpf::ArgCheck> arg_filters(const Policy& policy, bool supervised) {
    Checks out;
    // clone creating a namespace, or a process that our caller would have to reap
    for_call(out, nr("clone"),
             {load(kOffsetArg0), BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kNamespaceFlags | kCloneParent, 0, 1),
              refuse()});
    // ioctl pushing input into a terminal, or changing a file's flags and attributes
    Insns ioctl{load(kOffsetArg1)};
    return_if(ioctl, TIOCSTI, kRefuse);
    return_if(ioctl, TIOCLINUX, kRefuse);
    // Inode flags (chattr) and extended file attributes change through any open descriptor, a
    // read-only one included. A policy that denies ioctl outright keeps these denied too.
    const std::vector<std::uint32_t> denied = deny_syscall_numbers(policy);
    if (std::ranges::find(denied, nr("ioctl")) == denied.end())
        for (std::uint32_t request : {FS_IOC_SETFLAGS, FS_IOC32_SETFLAGS, FS_IOC_FSSETXATTR})
            return_if(ioctl, request, decided_by_supervisor(supervised, kNoAccess));
    // The command must not finish (or make) the outside filesystem's branch of its own run: a
    // COMMIT would make a dry run change W. Landlock's ioctl right covers device files only.
    if (policy.workdir && policy.fs_isolation == FsIsolation::Tessarin)
        for (std::uint32_t request : {cow::tessarin::CREATE, cow::tessarin::COMMIT, cow::tessarin::ABORT})
            return_if(ioctl, request, kRefuse);
    for_call(out, nr("ioctl"), ioctl);
    // prctl loosening what may inspect or control the process
    Insns prctl{load(kOffsetArg0)};
    for (std::uint32_t option : {PR_SET_DUMPABLE, PR_SET_SECUREBITS, PR_SET_PTRACER})
        return_if(prctl, option, kRefuse);
    for_call(out, nr("prctl"), prctl);
    // sock_diag lists every socket of the host
    for_call(out, nr("socket"),
             {load(kOffsetArg0), jeq(AF_NETLINK, 0, 3), load(kOffsetArg2),
              jeq(NETLINK_SOCK_DIAG, 0, 1), refuse()});
    append_socket_block(policy, out);
    append_packet_block(policy, out);
    append_family_block(policy, out);
    append_unix_block(policy, out);
    append_sendto_block(policy, supervised, out);
    append_other_process_block(supervised, out);
    if (!supervised) append_listenerless_refusals(out);
    return out;
}

}  // namespace vestrion::context
