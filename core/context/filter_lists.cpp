#include "core/context/filter_lists.hpp"

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

namespace vestrion::context {
namespace {

// One table of the x86-64 system calls the filter knows. `by_name` marks the calls a deny or allow
// list may name; the others appear only in routing rules.
struct SyscallEntry {
    std::string_view name;
    std::uint32_t nr;
    bool by_name;
};

constexpr std::array<SyscallEntry, 97> kSyscalls{{
    {"open", 2, true},
    {"stat", 4, true},
    {"lstat", 6, true},
    {"mmap", 9, true},
    {"munmap", 11, true},
    {"brk", 12, true},
    {"ioctl", 16, true},
    {"access", 21, true},
    {"mremap", 25, true},
    {"shmget", 29, false},
    {"socket", 41, true},
    {"connect", 42, true},
    {"sendto", 44, true},
    {"sendmsg", 46, true},
    {"bind", 49, true},
    {"getsockname", 51, true},
    {"clone", 56, true},
    {"fork", 57, true},
    {"vfork", 58, true},
    {"execve", 59, true},
    {"uname", 63, false},
    {"truncate", 76, true},
    {"getdents", 78, true},
    {"getcwd", 79, false},
    {"chdir", 80, false},
    {"rename", 82, true},
    {"mkdir", 83, true},
    {"rmdir", 84, true},
    {"link", 86, true},
    {"unlink", 87, true},
    {"symlink", 88, true},
    {"readlink", 89, true},
    {"chmod", 90, true},
    {"chown", 92, true},
    {"lchown", 94, true},
    {"gettimeofday", 96, true},
    {"ptrace", 101, true},
    {"statfs", 137, false},
    {"pivot_root", 155, true},
    {"prctl", 157, true},
    {"acct", 163, true},
    {"mount", 165, true},
    {"umount2", 166, true},
    {"swapon", 167, true},
    {"swapoff", 168, true},
    {"reboot", 169, true},
    {"sethostname", 170, true},
    {"setdomainname", 171, true},
    {"iopl", 172, true},
    {"ioperm", 173, true},
    {"init_module", 175, true},
    {"delete_module", 176, true},
    {"quotactl", 179, true},
    {"time", 201, true},
    {"sched_getaffinity", 204, false},
    {"lookup_dcookie", 212, true},
    {"getdents64", 217, true},
    {"timer_settime", 223, true},
    {"clock_gettime", 228, true},
    {"clock_nanosleep", 230, true},
    {"kexec_load", 246, true},
    {"add_key", 248, true},
    {"request_key", 249, true},
    {"keyctl", 250, true},
    {"openat", 257, true},
    {"mkdirat", 258, true},
    {"fchownat", 260, true},
    {"futimesat", 261, true},
    {"newfstatat", 262, true},
    {"unlinkat", 263, true},
    {"linkat", 265, true},
    {"symlinkat", 266, true},
    {"readlinkat", 267, true},
    {"fchmodat", 268, true},
    {"faccessat", 269, true},
    {"unshare", 272, true},
    {"utimensat", 280, true},
    {"timerfd_settime", 286, true},
    {"perf_event_open", 298, true},
    {"name_to_handle_at", 303, true},
    {"open_by_handle_at", 304, true},
    {"sendmmsg", 307, false},
    {"setns", 308, true},
    {"process_vm_readv", 310, true},
    {"process_vm_writev", 311, true},
    {"finit_module", 313, true},
    {"renameat2", 316, true},
    {"getrandom", 318, true},
    {"bpf", 321, true},
    {"execveat", 322, true},
    {"userfaultfd", 323, true},
    {"statx", 332, true},
    {"io_uring_setup", 425, true},
    {"io_uring_enter", 426, true},
    {"io_uring_register", 427, true},
    {"clone3", 435, true},
    {"faccessat2", 439, false},
}};

// Compile-time lookup: a misspelt name in a rule below fails the build instead of routing nothing.
consteval std::uint32_t nr(std::string_view name) {
    for (const auto& entry : kSyscalls)
        if (entry.name == name) return entry.nr;
    throw "system call missing from the table";
}

template <std::size_t N>
using Numbers = std::array<std::uint32_t, N>;

// fork too: a raw fork would otherwise create processes that the process budget never counts.
constexpr Numbers<4> kAlwaysRouted{nr("clone"), nr("fork"), nr("clone3"), nr("vfork")};
constexpr Numbers<5> kMemory{nr("mmap"), nr("munmap"), nr("brk"), nr("mremap"), nr("shmget")};
// sendmmsg too: unrouted, its datagrams would reach any address.
constexpr Numbers<5> kNetwork{nr("connect"), nr("sendto"), nr("sendmsg"), nr("sendmmsg"),
                              nr("bind")};
constexpr Numbers<2> kRandom{nr("getrandom"), nr("openat")};
constexpr Numbers<4> kTime{nr("clock_nanosleep"), nr("timerfd_settime"), nr("timer_settime"),
                           nr("openat")};
constexpr Numbers<2> kCpus{nr("openat"), nr("sched_getaffinity")};
constexpr Numbers<1> kProcFiles{nr("openat")};
constexpr Numbers<2> kDirListing{nr("getdents64"), nr("getdents")};
constexpr Numbers<2> kHostname{nr("uname"), nr("openat")};
constexpr Numbers<15> kCopyOnWrite{
    nr("openat"), nr("unlinkat"),  nr("mkdirat"),    nr("renameat2"),  nr("symlinkat"),
    nr("linkat"), nr("fchmodat"),  nr("fchownat"),   nr("truncate"),   nr("newfstatat"),
    nr("statx"),  nr("faccessat"), nr("readlinkat"), nr("getdents64"), nr("getdents")};
// faccessat2 too: the virtual-root handler serves it, and unrouted it would resolve host paths.
constexpr Numbers<36> kVirtualRoot{
    nr("openat"),     nr("open"),      nr("execve"),     nr("execveat"),   nr("unlinkat"),
    nr("mkdirat"),    nr("renameat2"), nr("symlinkat"),  nr("linkat"),     nr("fchmodat"),
    nr("fchownat"),   nr("truncate"),  nr("newfstatat"), nr("stat"),       nr("lstat"),
    nr("statx"),      nr("faccessat"), nr("access"),     nr("readlinkat"), nr("readlink"),
    nr("getdents64"), nr("getdents"),  nr("chdir"),      nr("getcwd"),     nr("statfs"),
    nr("utimensat"),  nr("unlink"),    nr("rmdir"),      nr("mkdir"),      nr("rename"),
    nr("symlink"),    nr("link"),      nr("chmod"),      nr("chown"),      nr("lchown"),
    nr("faccessat2")};
constexpr Numbers<6> kCallback{nr("openat"), nr("connect"), nr("sendto"),
                               nr("bind"),   nr("execve"),  nr("execveat")};
constexpr Numbers<2> kPortRemap{nr("bind"), nr("getsockname")};

struct RoutedRule {
    bool (*applies)(const Policy&);
    std::span<const std::uint32_t> numbers;
};

bool copy_on_write(const Policy& p) {
    return p.workdir && p.fs_isolation == FsIsolation::None;
}

constexpr std::array<RoutedRule, 13> kRoutedRules{{
    {[](const Policy&) { return true; }, kAlwaysRouted},
    {[](const Policy& p) { return p.max_memory.has_value(); }, kMemory},
    {[](const Policy& p) { return !p.net_allow_hosts.empty() || p.policy_fn != nullptr; },
     kNetwork},
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
constexpr std::array<std::string_view, 34> kDefaultDenied{
    "mount", "umount2", "pivot_root", "swapon", "swapoff", "reboot", "sethostname",
    "setdomainname", "kexec_load", "init_module", "finit_module", "delete_module", "unshare",
    "setns", "perf_event_open", "bpf", "userfaultfd", "keyctl", "add_key", "request_key",
    "ptrace", "process_vm_readv", "process_vm_writev", "open_by_handle_at", "name_to_handle_at",
    "ioperm", "iopl", "quotactl", "acct", "lookup_dcookie", "nfsservctl", "io_uring_setup",
    "io_uring_enter", "io_uring_register"};
// clang-format on

constexpr Numbers<3> kIoUring{nr("io_uring_setup"), nr("io_uring_enter"), nr("io_uring_register")};

template <class Names>
std::vector<std::uint32_t> numbers_of(const Names& names) {
    std::vector<std::uint32_t> out;
    for (const auto& name : names)
        if (auto number = syscall_name_to_nr(name)) out.push_back(*number);
    return out;
}

// io_uring performs opens, connects and sends inside the kernel, where the supervisor never sees
// them: whenever the supervisor enforces something on those calls, io_uring stays shut.
bool supervisor_bypassable(const Policy& p) {
    return !p.net_allow_hosts.empty() || p.policy_fn != nullptr || copy_on_write(p) ||
           p.chroot.has_value();
}

constexpr std::uint32_t kRefuse = SECCOMP_RET_ERRNO | EPERM;
constexpr std::uint32_t kOffsetNr = 0;
constexpr std::uint32_t kOffsetArg0 = 16;
constexpr std::uint32_t kOffsetArg1 = 24;
constexpr std::uint32_t kOffsetArg2 = 32;
constexpr std::uint32_t kNamespaceFlags = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS |
                                          CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID |
                                          CLONE_NEWNET;

sock_filter load(std::uint32_t offset) {
    return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
}
sock_filter jeq(std::uint32_t k, std::uint8_t jt, std::uint8_t jf) {
    return BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, k, jt, jf);
}
sock_filter refuse() {
    return BPF_STMT(BPF_RET | BPF_K, kRefuse);
}

// The socket block: raw and/or datagram sockets of the two internet families.
void append_socket_block(const Policy& policy, std::vector<sock_filter>& out) {
    std::vector<std::uint32_t> types;
    if (policy.no_raw_sockets) types.push_back(SOCK_RAW);
    if (policy.no_udp) types.push_back(SOCK_DGRAM);
    if (types.empty()) return;
    const auto b = static_cast<std::uint8_t>(types.size());
    out.push_back(load(kOffsetNr));
    out.push_back(jeq(nr("socket"), 0, b + 6));
    out.push_back(load(kOffsetArg0));
    out.push_back(jeq(AF_INET, 1, 0));
    out.push_back(jeq(AF_INET6, 0, b + 3));
    out.push_back(load(kOffsetArg1));
    // Only the type proper: SOCK_NONBLOCK and SOCK_CLOEXEC ride in the higher bits.
    out.push_back(BPF_STMT(BPF_ALU | BPF_AND | BPF_K, 0xFF));
    for (std::uint8_t t = 0; t < b; ++t) {
        const bool last = t + 1 == b;
        out.push_back(jeq(types[t], static_cast<std::uint8_t>(b - 1 - t), last ? 1 : 0));
    }
    out.push_back(refuse());
}

// Packet sockets send and receive raw frames below IP; whoever may open them (a caller running as
// root) could forge or sniff traffic just as with raw IP sockets.
void append_packet_block(const Policy& policy, std::vector<sock_filter>& out) {
    if (!policy.no_raw_sockets) return;
    out.push_back(load(kOffsetNr));
    out.push_back(jeq(nr("socket"), 0, 3));
    out.push_back(load(kOffsetArg0));
    out.push_back(jeq(AF_PACKET, 0, 1));
    out.push_back(refuse());
}

}  // namespace

std::optional<std::uint32_t> syscall_name_to_nr(std::string_view name) {
    for (const auto& entry : kSyscalls)
        if (entry.by_name && entry.name == name) return entry.nr;
    return std::nullopt;
}

std::vector<std::uint32_t> notif_syscalls(const Policy& policy) {
    std::vector<std::uint32_t> routed;
    for (const auto& rule : kRoutedRules)
        if (rule.applies(policy))
            routed.insert(routed.end(), rule.numbers.begin(), rule.numbers.end());
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
    if (supervisor_bypassable(policy))
        for (std::uint32_t number : kIoUring)
            if (std::ranges::find(denied, number) == denied.end()) denied.push_back(number);
    return denied;
}

std::vector<sock_filter> arg_filters(const Policy& policy) {
    std::vector<sock_filter> out{
        // clone creating a namespace
        load(kOffsetNr),
        jeq(nr("clone"), 0, 3),
        load(kOffsetArg0),
        BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kNamespaceFlags, 0, 1),
        refuse(),
        // ioctl pushing input into a terminal
        load(kOffsetNr),
        jeq(nr("ioctl"), 0, 5),
        load(kOffsetArg1),
        jeq(TIOCSTI, 0, 1),
        refuse(),
        jeq(TIOCLINUX, 0, 1),
        refuse(),
        // prctl loosening what may inspect or control the process
        load(kOffsetNr),
        jeq(nr("prctl"), 0, 7),
        load(kOffsetArg0),
        jeq(PR_SET_DUMPABLE, 0, 1),
        refuse(),
        jeq(PR_SET_SECUREBITS, 0, 1),
        refuse(),
        jeq(PR_SET_PTRACER, 0, 1),
        refuse(),
        // sock_diag lists every socket of the host
        load(kOffsetNr),
        jeq(nr("socket"), 0, 5),
        load(kOffsetArg0),
        jeq(AF_NETLINK, 0, 3),
        load(kOffsetArg2),
        jeq(NETLINK_SOCK_DIAG, 0, 1),
        refuse(),
    };
    append_socket_block(policy, out);
    append_packet_block(policy, out);
    return out;
}

}  // namespace vestrion::context
