#include <asm/unistd.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/audit.h>
#include <linux/fs.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <numeric>

#include "core/context/filter_lists.hpp"
#include "core/seccomp/bpf.hpp"
#include "core/sys/syscall.hpp"
#include "tests/bpf_interpreter.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

using context::arg_filters;
using context::deny_syscall_numbers;
using context::notif_syscalls;
using context::needs_agent;
using context::syscall_name_to_nr;
using seccomp::bpf::ArgCheck;
using seccomp::bpf::assemble_filter;
using seccomp::bpf::Program;
using Numbers = std::vector<std::uint32_t>;

constexpr std::uint32_t kX32 = 0x40000000;
constexpr std::uint32_t kClone3 = 435;

Policy built(std::expected<Policy, PolicyError> policy) {
    EXPECT_TRUE(policy.has_value()) << policy.error().message();
    return policy ? std::move(*policy) : Policy{};
}

Policy defaults() {
    return built(Policy::builder().build());
}

PolicyFn allow_all() {
    return [](const SyscallEvent&, PolicyContext&) { return Verdict{}; };
}

// The program a supervised child installs.
Program program_for(const Policy& policy) {
    auto program = assemble_filter(notif_syscalls(policy), deny_syscall_numbers(policy),
                                   arg_filters(policy, true));
    EXPECT_TRUE(program.has_value()) << program.error().message();
    return program.value_or(Program{});
}

// The program of a nested child: nothing routed, since no supervisor listens.
Program nested_program_for(const Policy& policy) {
    auto program = assemble_filter({}, deny_syscall_numbers(policy), arg_filters(policy, false));
    EXPECT_TRUE(program.has_value()) << program.error().message();
    return program.value_or(Program{});
}

seccomp_data call(std::uint32_t nr, std::array<std::uint64_t, 6> args = {},
                  std::uint32_t arch = AUDIT_ARCH_X86_64) {
    seccomp_data data{};
    data.nr = static_cast<int>(nr);
    data.arch = arch;
    data.instruction_pointer = 0x401000;
    std::copy(args.begin(), args.end(), data.args);
    return data;
}

std::string verdict_name(std::uint32_t verdict) {
    switch (verdict) {
        case SECCOMP_RET_ALLOW:
            return "ALLOW";
        case SECCOMP_RET_USER_NOTIF:
            return "NOTIFY";
        case SECCOMP_RET_ERRNO | EPERM:
            return "EPERM";
        case SECCOMP_RET_ERRNO | ENOSYS:
            return "ENOSYS";
        case SECCOMP_RET_ERRNO | EACCES:
            return "EACCES";
        case SECCOMP_RET_ERRNO | EAFNOSUPPORT:
            return "EAFNOSUPPORT";
        case SECCOMP_RET_KILL_PROCESS:
            return "KILL";
        default:
            return "verdict " + std::to_string(verdict);
    }
}

std::string verdict(const Program& program, const seccomp_data& data) {
    auto result = test::run_bpf(program, data);
    return result ? verdict_name(*result) : "fault: " + result.error();
}

bool contains(const Numbers& list, std::uint32_t nr) {
    return std::ranges::find(list, nr) != list.end();
}

// The calls that change a file's mode, owner, times or extended attributes.
const Numbers kFileMetadata{90,  91,  268, 452, 92,  93,  94,  260, 132, 235, 261,
                            280, 188, 189, 190, 197, 198, 199, 463, 466, 469};
// What only the supervisor decides; the program without a listener refuses it.
const Numbers kSessionCalls{109, 112};

// What a program is checked against: the routed and denied numbers, whether a listener takes
// the routed ones, and whether the network rule is on (then socket and socketpair refuse every
// family but a few, and zero arguments name the unspecified family).
struct Expected {
    const Numbers& routed;
    const Numbers& denied;
    bool supervised;
    bool network_rule = false;
};

// The verdict a program must give a call with zero arguments. With zero arguments the calls
// that act on another process name the caller itself, which the argument block lets pass.
std::string expected_verdict(std::uint32_t nr, const Expected& e) {
    const auto& [routed, denied, supervised, network_rule] = e;
    if (nr == kClone3) return "ENOSYS";
    if (network_rule && (nr == 41 || nr == 53)) return "EAFNOSUPPORT";
    if (!supervised && contains(kFileMetadata, nr)) return "EACCES";
    if (!supervised && contains(kSessionCalls, nr)) return "EPERM";
    if (contains(routed, nr)) return "NOTIFY";
    if (contains(denied, nr)) return "EPERM";
    return "ALLOW";
}

// Every number from 0 to 511, its x32 twin and its i386 namesake, against the reference lists.
void expect_verdicts(const Program& program, const Expected& expected) {
    for (std::uint32_t nr = 0; nr < 512; ++nr) {
        SCOPED_TRACE("system call " + std::to_string(nr));
        EXPECT_EQ(verdict(program, call(nr)), expected_verdict(nr, expected));
        EXPECT_EQ(verdict(program, call(nr | kX32)), "KILL");
        EXPECT_EQ(verdict(program, call(nr, {}, AUDIT_ARCH_I386)), "KILL");
    }
}

// The default deny list, in its order: 42 names, of which nfsservctl has no number.
const Numbers kDefaultDenied{165, 166, 155, 167, 168, 169, 170, 171, 246, 175, 313, 176, 272, 308,
                             298, 321, 323, 250, 248, 249, 101, 310, 311, 304, 303, 173, 172, 179,
                             163, 212, 425, 426, 427, 428, 429, 430, 431, 432, 433, 442, 467};
const Numbers kDefaultRouted{56, 57, 58, 109, 112, 435};
const Numbers kCopyOnWriteRouted{
    2,   4,   6,   21,  49,  56,  57,  58,  59,  76,  78,  79,  80,  82,  83,  84,  85,
    86,  87,  88,  89,  90,  91,  92,  93,  94,  109, 112, 132, 133, 137, 188, 189, 190,
    191, 192, 194, 195, 197, 198, 199, 217, 235, 254, 257, 258, 259, 260, 261, 262, 263,
    264, 265, 266, 267, 268, 269, 280, 316, 322, 332, 435, 437, 439, 452, 463, 464, 465,
    466, 469};
const Numbers kVirtualRootRouted{2, 4, 6, 21, 49, 56, 57, 58, 59, 76, 78, 79, 80, 82, 83, 84, 85, 86,
                                 87, 88, 89, 90, 92, 94, 109, 112, 132, 133, 137, 161, 188, 189,
                                 191, 192, 194, 195, 197, 198, 217, 235, 254, 257, 258, 259, 260,
                                 261, 262, 263, 264, 265, 266, 267, 268, 269, 280, 301, 316, 322,
                                 332, 435, 437, 439, 452, 463, 464, 465, 466, 468, 469};
const Numbers kIoUring{425, 426, 427};
// connect, sendmsg and sendmmsg: a Unix socket file may be named in any of them.
const Numbers kUnixSocketCalls{42, 46, 307};
// The calls that change file metadata are routed under every policy; those that may name a Unix
// socket file under every policy that starts the agent.
Numbers with_metadata(Numbers routed, const Policy& policy) {
    routed.insert(routed.end(), kFileMetadata.begin(), kFileMetadata.end());
    if (needs_agent(policy))
        routed.insert(routed.end(), kUnixSocketCalls.begin(), kUnixSocketCalls.end());
    std::ranges::sort(routed);
    routed.erase(std::unique(routed.begin(), routed.end()), routed.end());
    return routed;
}

// The nameable calls, with the numbers the installed kernel headers give.
const std::vector<std::pair<std::string_view, long>> kNameTable{
    {"open", __NR_open},
    {"stat", __NR_stat},
    {"lstat", __NR_lstat},
    {"mmap", __NR_mmap},
    {"munmap", __NR_munmap},
    {"brk", __NR_brk},
    {"ioctl", __NR_ioctl},
    {"access", __NR_access},
    {"mremap", __NR_mremap},
    {"socket", __NR_socket},
    {"connect", __NR_connect},
    {"sendto", __NR_sendto},
    {"sendmsg", __NR_sendmsg},
    {"bind", __NR_bind},
    {"getsockname", __NR_getsockname},
    {"clone", __NR_clone},
    {"fork", __NR_fork},
    {"vfork", __NR_vfork},
    {"execve", __NR_execve},
    {"truncate", __NR_truncate},
    {"getdents", __NR_getdents},
    {"rename", __NR_rename},
    {"mkdir", __NR_mkdir},
    {"rmdir", __NR_rmdir},
    {"link", __NR_link},
    {"unlink", __NR_unlink},
    {"symlink", __NR_symlink},
    {"readlink", __NR_readlink},
    {"chmod", __NR_chmod},
    {"chown", __NR_chown},
    {"lchown", __NR_lchown},
    {"gettimeofday", __NR_gettimeofday},
    {"ptrace", __NR_ptrace},
    {"pivot_root", __NR_pivot_root},
    {"prctl", __NR_prctl},
    {"acct", __NR_acct},
    {"mount", __NR_mount},
    {"umount2", __NR_umount2},
    {"swapon", __NR_swapon},
    {"swapoff", __NR_swapoff},
    {"reboot", __NR_reboot},
    {"sethostname", __NR_sethostname},
    {"setdomainname", __NR_setdomainname},
    {"iopl", __NR_iopl},
    {"ioperm", __NR_ioperm},
    {"init_module", __NR_init_module},
    {"delete_module", __NR_delete_module},
    {"quotactl", __NR_quotactl},
    {"time", __NR_time},
    {"lookup_dcookie", __NR_lookup_dcookie},
    {"getdents64", __NR_getdents64},
    {"timer_settime", __NR_timer_settime},
    {"clock_gettime", __NR_clock_gettime},
    {"clock_nanosleep", __NR_clock_nanosleep},
    {"kexec_load", __NR_kexec_load},
    {"add_key", __NR_add_key},
    {"request_key", __NR_request_key},
    {"keyctl", __NR_keyctl},
    {"openat", __NR_openat},
    {"mkdirat", __NR_mkdirat},
    {"fchownat", __NR_fchownat},
    {"futimesat", __NR_futimesat},
    {"newfstatat", __NR_newfstatat},
    {"unlinkat", __NR_unlinkat},
    {"linkat", __NR_linkat},
    {"symlinkat", __NR_symlinkat},
    {"readlinkat", __NR_readlinkat},
    {"fchmodat", __NR_fchmodat},
    {"faccessat", __NR_faccessat},
    {"unshare", __NR_unshare},
    {"utimensat", __NR_utimensat},
    {"timerfd_settime", __NR_timerfd_settime},
    {"perf_event_open", __NR_perf_event_open},
    {"name_to_handle_at", __NR_name_to_handle_at},
    {"open_by_handle_at", __NR_open_by_handle_at},
    {"setns", __NR_setns},
    {"process_vm_readv", __NR_process_vm_readv},
    {"process_vm_writev", __NR_process_vm_writev},
    {"finit_module", __NR_finit_module},
    {"renameat2", __NR_renameat2},
    {"getrandom", __NR_getrandom},
    {"bpf", __NR_bpf},
    {"execveat", __NR_execveat},
    {"userfaultfd", __NR_userfaultfd},
    {"statx", __NR_statx},
    {"io_uring_setup", __NR_io_uring_setup},
    {"io_uring_enter", __NR_io_uring_enter},
    {"io_uring_register", __NR_io_uring_register},
    {"clone3", __NR_clone3},
    {"open_tree", __NR_open_tree},
    {"move_mount", __NR_move_mount},
    {"fsopen", __NR_fsopen},
    {"fsconfig", __NR_fsconfig},
    {"fsmount", __NR_fsmount},
    {"fspick", __NR_fspick},
    {"mount_setattr", __NR_mount_setattr},
    {"open_tree_attr", 467},  // newer than the installed headers
};

TEST(SyscallNames, EveryNameMapsToItsX86_64Number) {
    for (const auto& [name, nr] : kNameTable)
        EXPECT_EQ(syscall_name_to_nr(name), std::optional<std::uint32_t>(nr)) << name;
}

TEST(SyscallNames, OtherNamesHaveNoNumber) {
    using namespace std::string_view_literals;
    for (std::string_view name :
         {""sv, "nfsservctl"sv, "Mount"sv, "mount "sv, " mount"sv, "mount\0x"sv, "read"sv})
        EXPECT_EQ(syscall_name_to_nr(name), std::nullopt) << '"' << name << '"';
}

TEST(SyscallNames, CallsOfTheRoutingRulesMayBeDeniedByName) {
    // A deny list naming one of them used to deny nothing.
    const std::pair<const char*, std::uint32_t> calls[] = {
        {"uname", 63},   {"faccessat2", 439}, {"sched_getaffinity", 204}, {"openat2", 437},
        {"fchmod", 91},  {"setxattr", 188},   {"file_setattr", 469},      {"chdir", 80}};
    for (const auto& [name, nr] : calls)
        EXPECT_EQ(syscall_name_to_nr(name), std::optional<std::uint32_t>(nr)) << name;
}

struct ListCase {
    const char* label;
    std::function<std::expected<Policy, PolicyError>()> make;
    Numbers routed;
    Numbers denied;
};

void PrintTo(const ListCase& c, std::ostream* os) {
    *os << c.label;
}

std::vector<ListCase> list_cases() {
    auto p = [] { return Policy::builder(); };
    return {
        {"defaults", [=] { return p().build(); }, kDefaultRouted, kDefaultDenied},
        {"max_memory",
         [=] { return p().max_memory(1 << 30).build(); },
         {9, 11, 12, 25, 29, 56, 57, 58, 109, 112, 257, 435},
         kDefaultDenied},
        {"max_memory_num_cpus",
         [=] { return p().max_memory(1 << 30).num_cpus(2).build(); },
         {9, 11, 12, 25, 29, 56, 57, 58, 109, 112, 204, 257, 435},
         kDefaultDenied},
        // The default list already holds the io_uring calls: none is added twice.
        {"net_allow_hosts",
         [=] { return p().net_allow_host("example.org").build(); },
         {42, 46, 49, 56, 57, 58, 109, 112, 307, 435},
         kDefaultDenied},
        {"random_seed",
         [=] { return p().random_seed(7).build(); },
         {2, 12, 56, 57, 58, 109, 112, 257, 318, 435},
         kDefaultDenied},
        {"time_start",
         [=] { return p().time_start(TimePoint{}).build(); },
         {12, 56, 57, 58, 109, 112, 223, 230, 257, 286, 435},
         kDefaultDenied},
        {"isolate_pids",
         [=] { return p().isolate_pids(true).build(); },
         {56, 57, 58, 78, 109, 112, 217, 257, 435},
         kDefaultDenied},
        {"deterministic_dirs",
         [=] { return p().deterministic_dirs(true).build(); },
         {56, 57, 58, 78, 109, 112, 217, 435},
         kDefaultDenied},
        {"hostname",
         [=] { return p().hostname("box").build(); },
         {56, 57, 58, 63, 109, 112, 257, 435},
         kDefaultDenied},
        {"port_remap",
         [=] { return p().port_remap(true).build(); },
         {49, 51, 56, 57, 58, 109, 112, 257, 435},
         kDefaultDenied},
        {"workdir_copy_on_write_deny_mkdir",
         [=] { return p().workdir("/tmp/w").deny_syscalls({"mkdir"}).build(); },
         kCopyOnWriteRouted,
         {83, 425, 426, 427}},
        {"workdir_overlay_allow_list",
         [=] {
             return p()
                 .workdir("/tmp/w")
                 .fs_isolation(FsIsolation::OverlayFs)
                 .allow_syscalls({"read"})
                 .build();
         },
         kDefaultRouted,
         kIoUring},
        {"chroot_allow_list",
         [=] { return p().chroot("/srv/root").allow_syscalls({"read"}).build(); },
         kVirtualRootRouted, kIoUring},
        {"policy_fn_deny_io_uring_enter",
         [=] { return p().policy_fn(allow_all()).deny_syscalls({"io_uring_enter"}).build(); },
         {2, 42, 44, 46, 49, 56, 57, 58, 59, 85, 109, 112, 257, 307, 322, 435, 437},
         {426, 425, 427}},
        {"net_allow_hosts_empty_deny_list",
         [=] { return p().net_allow_host("example.org").deny_syscalls({}).build(); },
         {42, 46, 49, 56, 57, 58, 109, 112, 307, 435},
         kIoUring},
        {"allow_list_denies_nothing",
         [=] {
             return p().allow_syscalls({"read", "mount"}).build();
         },
         kDefaultRouted,
         kIoUring},
        {"empty_deny_list", [=] { return p().deny_syscalls({}).build(); }, kDefaultRouted,
         kIoUring},
        {"deny_mount_twice",
         [=] { return p().deny_syscalls({"mount", "mount"}).build(); },
         kDefaultRouted,
         {165, 165, 425, 426, 427}},
        // Calls that only routing rules used to name are denied as well.
        {"deny_chdir_statfs_getxattr_mknod",
         [=] { return p().deny_syscalls({"chdir", "statfs", "getxattr", "mknod"}).build(); },
         kDefaultRouted,
         {80, 137, 191, 133, 425, 426, 427}},
        // Both routed and denied: routed wins.
        {"deny_clone_and_mount",
         [=] {
             return p().deny_syscalls({"clone", "mount"}).build();
         },
         kDefaultRouted,
         {56, 165, 425, 426, 427}},
        {"deny_clone3",
         [=] { return p().deny_syscalls({"clone3"}).build(); },
         kDefaultRouted,
         {435, 425, 426, 427}},
    };
}

class FilterLists : public ::testing::TestWithParam<ListCase> {};

TEST_P(FilterLists, ListsAndProgramVerdicts) {
    const Policy policy = built(GetParam().make());
    const Numbers routed = with_metadata(GetParam().routed, policy);
    const Numbers& denied = GetParam().denied;
    const bool network = !policy.net_allow_hosts.empty() || policy.policy_fn != nullptr;
    EXPECT_EQ(notif_syscalls(policy), routed);
    EXPECT_EQ(deny_syscall_numbers(policy), denied);
    {
        SCOPED_TRACE("supervised program");
        expect_verdicts(program_for(policy), {routed, denied, true, network});
    }
    {
        SCOPED_TRACE("nested program");
        expect_verdicts(nested_program_for(policy), {{}, denied, false, network});
    }
}

INSTANTIATE_TEST_SUITE_P(Policies, FilterLists, ::testing::ValuesIn(list_cases()),
                         [](const auto& info) { return std::string(info.param.label); });

struct ArgCase {
    const char* label;
    std::uint32_t nr;
    std::array<std::uint64_t, 6> args;
    const char* defaults;  // no_raw_sockets on, no_udp off
    const char* no_udp;    // no_raw_sockets and no_udp on
    const char* udp_only;  // no_raw_sockets off, no_udp on
    const char* neither;   // both off: only the fixed block
    // Without a listener, under the defaults; none: as with one, but a routed call is allowed.
    const char* without_listener = nullptr;
};

void PrintTo(const ArgCase& c, std::ostream* os) {
    *os << c.label;
}

constexpr std::uint64_t kHigh = 1ull << 32;

const ArgCase kArgCases[] = {
    {"clone_plain", 56, {SIGCHLD}, "NOTIFY", "NOTIFY", "NOTIFY", "NOTIFY"},
    {"clone_threads",
     56,
     {CLONE_VM | CLONE_FS | CLONE_FILES | CLONE_SIGHAND | CLONE_THREAD},
     "NOTIFY",
     "NOTIFY",
     "NOTIFY",
     "NOTIFY"},
    {"clone_newns", 56, {CLONE_NEWNS | SIGCHLD}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"clone_newcgroup", 56, {CLONE_NEWCGROUP}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"clone_newuts", 56, {CLONE_NEWUTS}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"clone_newipc", 56, {CLONE_NEWIPC}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"clone_newuser", 56, {CLONE_NEWUSER | SIGCHLD}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"clone_newpid", 56, {CLONE_NEWPID}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"clone_newnet", 56, {CLONE_NEWNET}, "EPERM", "EPERM", "EPERM", "EPERM"},
    // The kernel reads only the low half of clone's flags, and so does the filter.
    {"clone_newuser_in_high_half",
     56,
     {kHigh * CLONE_NEWUSER | SIGCHLD},
     "NOTIFY",
     "NOTIFY",
     "NOTIFY",
     "NOTIFY"},
    // The new process would be our caller's child: never reaped, out of the teardown's reach.
    {"clone_parent", 56, {CLONE_PARENT | SIGCHLD}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"clone_parent_thread",
     56,
     {CLONE_VM | CLONE_THREAD | CLONE_SIGHAND | CLONE_PARENT},
     "EPERM",
     "EPERM",
     "EPERM",
     "EPERM"},
    {"clone3_whatever_its_arguments", 435, {0, 88}, "ENOSYS", "ENOSYS", "ENOSYS", "ENOSYS"},
    {"ioctl_tiocsti", 16, {0, TIOCSTI, 1}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"ioctl_tiocsti_high_half_set",
     16,
     {0, kHigh | TIOCSTI, 1},
     "EPERM",
     "EPERM",
     "EPERM",
     "EPERM"},
    {"ioctl_tioclinux", 16, {0, TIOCLINUX, 1}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"ioctl_tcgets", 16, {0, TCGETS, 1}, "ALLOW", "ALLOW", "ALLOW", "ALLOW"},
    // A file's flags and extended attributes, changed through a descriptor that may be open for
    // reading only: the supervisor decides, and without it Landlock's answer to a write stands.
    {"ioctl_fs_setflags", 16, {3, 0x40086602, 1}, "NOTIFY", "NOTIFY", "NOTIFY", "NOTIFY",
     "EACCES"},
    {"ioctl_fs_setxattr", 16, {3, 0x401c5820, 1}, "NOTIFY", "NOTIFY", "NOTIFY", "NOTIFY",
     "EACCES"},
    {"ioctl_fs_setflags_high_half_set", 16, {3, kHigh | 0x40086602, 1}, "NOTIFY", "NOTIFY",
     "NOTIFY", "NOTIFY", "EACCES"},
    {"ioctl_fs_getflags", 16, {3, 0x80086601, 1}, "ALLOW", "ALLOW", "ALLOW", "ALLOW"},
    {"ioctl_tiocsti_as_descriptor", 16, {TIOCSTI, 0, 1}, "ALLOW", "ALLOW", "ALLOW", "ALLOW"},
    {"prctl_set_dumpable", 157, {PR_SET_DUMPABLE, 1}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"prctl_set_securebits", 157, {PR_SET_SECUREBITS, 0}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"prctl_set_ptracer", 157, {PR_SET_PTRACER, 1}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"prctl_get_dumpable", 157, {PR_GET_DUMPABLE}, "ALLOW", "ALLOW", "ALLOW", "ALLOW"},
    {"prctl_set_name", 157, {PR_SET_NAME, 0}, "ALLOW", "ALLOW", "ALLOW", "ALLOW"},
    {"prctl_option_in_second_argument",
     157,
     {PR_SET_NAME, PR_SET_DUMPABLE},
     "ALLOW",
     "ALLOW",
     "ALLOW",
     "ALLOW"},
    {"socket_inet_raw_nonblock",
     41,
     {AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_ICMP},
     "EPERM",
     "EPERM",
     "ALLOW",
     "ALLOW"},
    {"socket_inet6_raw_cloexec",
     41,
     {AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6},
     "EPERM",
     "EPERM",
     "ALLOW",
     "ALLOW"},
    {"socket_inet_dgram", 41, {AF_INET, SOCK_DGRAM, 0}, "ALLOW", "EPERM", "EPERM", "ALLOW"},
    {"socket_inet6_dgram_nonblock",
     41,
     {AF_INET6, SOCK_DGRAM | SOCK_NONBLOCK, 0},
     "ALLOW",
     "EPERM",
     "EPERM",
     "ALLOW"},
    {"socket_inet_stream", 41, {AF_INET, SOCK_STREAM, 0}, "ALLOW", "ALLOW", "ALLOW", "ALLOW"},
    // The obsolete packet socket of the inet family is a packet socket.
    {"socket_inet_packet", 41, {AF_INET, 10, 0}, "EPERM", "EPERM", "ALLOW", "ALLOW"},
    {"socket_inet_packet_cloexec",
     41,
     {AF_INET, 10 | SOCK_CLOEXEC, 0x300},
     "EPERM",
     "EPERM",
     "ALLOW",
     "ALLOW"},
    // Packet sockets are raw sockets below IP.
    {"socket_packet_raw", 41, {AF_PACKET, SOCK_RAW, 0}, "EPERM", "EPERM", "ALLOW", "ALLOW"},
    {"socket_packet_dgram", 41, {AF_PACKET, SOCK_DGRAM, 0}, "EPERM", "EPERM", "ALLOW", "ALLOW"},
    // No policy here starts the agent: no Unix socket (see UnixBlock below).
    {"socket_unix_dgram", 41, {AF_UNIX, SOCK_DGRAM, 0}, "EACCES", "EACCES", "EACCES", "EACCES"},
    {"socket_unix_raw", 41, {AF_UNIX, SOCK_RAW, 0}, "EACCES", "EACCES", "EACCES", "EACCES"},
    {"socket_netlink_sock_diag",
     41,
     {AF_NETLINK, SOCK_RAW, NETLINK_SOCK_DIAG},
     "EPERM",
     "EPERM",
     "EPERM",
     "EPERM"},
    {"socket_netlink_dgram_sock_diag",
     41,
     {AF_NETLINK, SOCK_DGRAM, NETLINK_SOCK_DIAG},
     "EPERM",
     "EPERM",
     "EPERM",
     "EPERM"},
    {"socket_netlink_route",
     41,
     {AF_NETLINK, SOCK_RAW, NETLINK_ROUTE},
     "ALLOW",
     "ALLOW",
     "ALLOW",
     "ALLOW"},
    // Calls that act on a process by number: the caller itself (0) passes, any other number is
    // the supervisor's to judge, and refused without one; a whole user is always refused.
    {"prlimit64_self", 302, {0, 7, 1, 0}, "ALLOW", "ALLOW", "ALLOW", "ALLOW"},
    {"prlimit64_other", 302, {1, 7, 1, 0}, "NOTIFY", "NOTIFY", "NOTIFY", "NOTIFY", "EPERM"},
    // pid_t is 32 bits wide: the kernel ignores the high half, and so does the filter.
    {"prlimit64_self_high_half_set", 302, {kHigh, 7, 1}, "ALLOW", "ALLOW", "ALLOW", "ALLOW"},
    {"sched_setparam_other", 142, {1, 1}, "NOTIFY", "NOTIFY", "NOTIFY", "NOTIFY", "EPERM"},
    {"sched_setscheduler_self", 144, {0, 0, 1}, "ALLOW", "ALLOW", "ALLOW", "ALLOW"},
    {"sched_setscheduler_other", 144, {1, 0, 1}, "NOTIFY", "NOTIFY", "NOTIFY", "NOTIFY",
     "EPERM"},
    {"sched_setaffinity_self", 203, {0, 8, 1}, "ALLOW", "ALLOW", "ALLOW", "ALLOW"},
    {"sched_setaffinity_other", 203, {1, 8, 1}, "NOTIFY", "NOTIFY", "NOTIFY", "NOTIFY", "EPERM"},
    {"sched_setattr_other", 314, {1, 1, 0}, "NOTIFY", "NOTIFY", "NOTIFY", "NOTIFY", "EPERM"},
    {"setpriority_own_process", 141, {0, 0, 10}, "ALLOW", "ALLOW", "ALLOW", "ALLOW"},
    {"setpriority_own_group", 141, {1, 0, 10}, "ALLOW", "ALLOW", "ALLOW", "ALLOW"},
    {"setpriority_other_process", 141, {0, 1, 10}, "NOTIFY", "NOTIFY", "NOTIFY", "NOTIFY",
     "EPERM"},
    {"setpriority_other_group", 141, {1, 1, 10}, "NOTIFY", "NOTIFY", "NOTIFY", "NOTIFY",
     "EPERM"},
    {"setpriority_own_user", 141, {2, 0, 10}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"setpriority_other_user", 141, {2, 1000, 10}, "EPERM", "EPERM", "EPERM", "EPERM"},
    {"ioprio_set_own_process", 251, {1, 0, 0x4000}, "ALLOW", "ALLOW", "ALLOW", "ALLOW"},
    {"ioprio_set_other_group", 251, {2, 1, 0x4000}, "NOTIFY", "NOTIFY", "NOTIFY", "NOTIFY",
     "EPERM"},
    {"ioprio_set_own_user", 251, {3, 0, 0x4000}, "EPERM", "EPERM", "EPERM", "EPERM"},
    // Sessions and groups: the supervisor records each; without it none is made.
    {"setsid", 112, {}, "NOTIFY", "NOTIFY", "NOTIFY", "NOTIFY", "EPERM"},
    {"setpgid_own", 109, {0, 0}, "NOTIFY", "NOTIFY", "NOTIFY", "NOTIFY", "EPERM"},
    // Argument values that match a refused combination under another call number.
    {"connect_with_raw_socket_arguments",
     42,
     {AF_INET, SOCK_RAW, 0},
     "ALLOW",
     "ALLOW",
     "ALLOW",
     "ALLOW"},
    {"read_with_namespace_flags",
     0,
     {CLONE_NEWUSER, TIOCSTI, NETLINK_SOCK_DIAG},
     "ALLOW",
     "ALLOW",
     "ALLOW",
     "ALLOW"},
};

class ArgumentBlock : public ::testing::TestWithParam<ArgCase> {};

TEST_P(ArgumentBlock, RefusesTheDangerousCombinations) {
    const ArgCase& c = GetParam();
    const std::pair<const char*, Policy> policies[] = {
        {c.defaults, defaults()},
        {c.no_udp, built(Policy::builder().no_udp(true).build())},
        {c.udp_only, built(Policy::builder().no_raw_sockets(false).no_udp(true).build())},
        {c.neither, built(Policy::builder().no_raw_sockets(false).build())},
    };
    if (c.without_listener) {
        EXPECT_EQ(verdict(nested_program_for(defaults()), call(c.nr, c.args)), c.without_listener);
    }
    for (const auto& [expected, policy] : policies) {
        SCOPED_TRACE(std::string("no_raw_sockets ") + (policy.no_raw_sockets ? "on" : "off") +
                     ", no_udp " + (policy.no_udp ? "on" : "off"));
        EXPECT_EQ(verdict(program_for(policy), call(c.nr, c.args)), expected);
        if (c.without_listener) continue;
        // Without a listener a routed call is simply allowed; the refusals stay.
        const std::string nested = std::string(expected) == "NOTIFY" ? "ALLOW" : expected;
        EXPECT_EQ(verdict(nested_program_for(policy), call(c.nr, c.args)), nested);
    }
}

INSTANTIATE_TEST_SUITE_P(Calls, ArgumentBlock, ::testing::ValuesIn(kArgCases),
                         [](const auto& info) { return std::string(info.param.label); });

// sendto reaches the supervisor when it names a destination (either half of the pointer set),
// which may be a Unix socket file; without one it stays the kernel's. A policy that denies
// sendto keeps it denied, and without a listener the kernel sends.
TEST(ArgumentBlock, SendtoIsRoutedOnlyWithADestination) {
    const Policy plain = built(Policy::builder().fs_write("/tmp").build());
    const Policy denied = built(Policy::builder().fs_write("/tmp").deny_syscalls({"sendto"}).build());
    struct Case {
        std::uint64_t destination;
        const char* supervised;
    };
    for (auto [destination, supervised] :
         {Case{0, "ALLOW"}, Case{0x7ffc0000'1000, "NOTIFY"}, Case{0x1000, "NOTIFY"},
          Case{0x7ffc'00000000, "NOTIFY"}}) {
        SCOPED_TRACE(destination);
        const auto sendto = call(44, {3, 0x2000, 1, 0, destination, 16});
        EXPECT_EQ(verdict(program_for(plain), sendto), supervised);
        EXPECT_EQ(verdict(nested_program_for(plain), sendto), "ALLOW");
        EXPECT_EQ(verdict(program_for(denied), sendto), "EPERM");
        // Without the agent there is nothing to judge: the command has no Unix socket to name.
        EXPECT_EQ(verdict(program_for(defaults()), sendto), "ALLOW");
    }
    const Policy deny_connect =
        built(Policy::builder().fs_write("/tmp").deny_syscalls({"connect", "sendmsg"}).build());
    EXPECT_EQ(verdict(program_for(deny_connect), call(42)), "EPERM");
    EXPECT_EQ(verdict(program_for(deny_connect), call(46)), "EPERM");
    EXPECT_EQ(verdict(program_for(deny_connect), call(307)), "NOTIFY");
}

// The calls that change inode flags or extended file attributes through a descriptor reach the
// supervisor, under a copy-on-write working directory as under any policy; the other ioctls do
// not. Without a listener they get Landlock's answer to a write.
TEST(ArgumentBlock, AttributeIoctlsAreRouted) {
    const Policy cow = built(Policy::builder().workdir("/tmp/w").build());
    struct Case {
        std::uint64_t request;
        const char* supervised;
        const char* without_listener;
    };
    for (auto [request, supervised, without_listener] :
         {Case{FS_IOC_SETFLAGS, "NOTIFY", "EACCES"}, Case{FS_IOC32_SETFLAGS, "NOTIFY", "EACCES"},
          Case{FS_IOC_FSSETXATTR, "NOTIFY", "EACCES"}, Case{FS_IOC_GETFLAGS, "ALLOW", "ALLOW"},
          Case{FS_IOC_FSGETXATTR, "ALLOW", "ALLOW"}, Case{TCGETS, "ALLOW", "ALLOW"},
          Case{TIOCSTI, "EPERM", "EPERM"}}) {
        SCOPED_TRACE(request);
        for (const Policy* policy : {&cow, static_cast<const Policy*>(nullptr)}) {
            const Policy& p = policy ? *policy : defaults();
            EXPECT_EQ(verdict(program_for(p), call(16, {3, request})), supervised);
            EXPECT_EQ(verdict(nested_program_for(p), call(16, {3, request})), without_listener);
        }
    }
}

// On the outside branching filesystem the command can neither make nor finish a branch: the
// control requests are refused by both programs, on their low 32 bits; other policies let them
// through (they mean nothing elsewhere).
TEST(ArgumentBlock, BranchControlRequestsAreRefusedOnTheOutsideFilesystem) {
    const Policy outside =
        built(Policy::builder().workdir("/tmp/w").fs_isolation(FsIsolation::Tessarin).build());
    const Policy overlay =
        built(Policy::builder().workdir("/tmp/w").fs_isolation(FsIsolation::OverlayFs).build());
    constexpr std::uint64_t kHigh = 0x100000000ull;
    for (std::uint64_t request : {0x80806200ull, 0x6201ull, 0x6202ull, kHigh | 0x6201ull}) {
        SCOPED_TRACE(request);
        EXPECT_EQ(verdict(program_for(outside), call(16, {3, request})), "EPERM");
        EXPECT_EQ(verdict(nested_program_for(outside), call(16, {3, request})), "EPERM");
        EXPECT_EQ(verdict(program_for(overlay), call(16, {3, request})), "ALLOW");
    }
    EXPECT_EQ(verdict(program_for(outside), call(16, {3, 0x6203})), "ALLOW");
}

// A metadata call or ioctl that the policy's own list denies stays denied: the supervisor must
// not perform what the caller asked to refuse. Under a copy-on-write working directory the layer
// still serves chmod, as it serves every write there.
TEST(FilterLists, OwnDenyListHoldsForTheMetadataCalls) {
    const Policy plain = built(Policy::builder().deny_syscalls({"chmod", "ioctl"}).build());
    const Numbers routed = notif_syscalls(plain);
    EXPECT_FALSE(contains(routed, 90));
    EXPECT_TRUE(contains(routed, 268));  // fchmodat: not named, still routed
    EXPECT_EQ(verdict(program_for(plain), call(90)), "EPERM");
    // Without a listener every metadata call is refused before the lists are read.
    EXPECT_EQ(verdict(nested_program_for(plain), call(90)), "EACCES");
    for (const Program& program : {program_for(plain), nested_program_for(plain)}) {
        EXPECT_EQ(verdict(program, call(16, {3, FS_IOC_SETFLAGS})), "EPERM");
        EXPECT_EQ(verdict(program, call(16, {3, TCGETS})), "EPERM");
    }
    const Policy cow =
        built(Policy::builder().workdir("/tmp/w").deny_syscalls({"chmod"}).build());
    EXPECT_TRUE(contains(notif_syscalls(cow), 90));
}

// Under the network rule a socket of a family the allow-list cannot judge would carry data
// past it; socket and socketpair refuse every family but Unix, the internet families and
// netlink, with or without a listener. Other policies leave the families alone.
TEST(ArgumentBlock, TheNetworkRuleRefusesOtherSocketFamilies) {
    constexpr std::uint32_t kSocket = 41, kSocketPair = 53;
    struct Case {
        const char* label;
        std::uint32_t nr;
        std::array<std::uint64_t, 6> args;
        const char* with_rule;
        const char* without_rule;
    };
    const Case cases[] = {
        {"vsock", kSocket, {AF_VSOCK, SOCK_STREAM}, "EAFNOSUPPORT", "ALLOW"},
        {"vsock_dgram_cloexec", kSocket, {AF_VSOCK, SOCK_DGRAM | SOCK_CLOEXEC}, "EAFNOSUPPORT",
         "ALLOW"},
        {"tipc", kSocket, {AF_TIPC, SOCK_RDM}, "EAFNOSUPPORT", "ALLOW"},
        {"rds", kSocket, {AF_RDS, SOCK_SEQPACKET}, "EAFNOSUPPORT", "ALLOW"},
        {"can", kSocket, {AF_CAN, SOCK_RAW, 1}, "EAFNOSUPPORT", "ALLOW"},
        {"bluetooth", kSocket, {AF_BLUETOOTH, SOCK_STREAM, 3}, "EAFNOSUPPORT", "ALLOW"},
        {"unspecified", kSocket, {AF_UNSPEC, SOCK_STREAM}, "EAFNOSUPPORT", "ALLOW"},
        // The kernel takes the family as a 32-bit int: the high half changes nothing.
        {"vsock_high_half_set", kSocket, {kHigh | AF_VSOCK, SOCK_STREAM}, "EAFNOSUPPORT",
         "ALLOW"},
        {"unix_high_half_set", kSocket, {kHigh | AF_UNIX, SOCK_STREAM}, "ALLOW", "EACCES"},
        // The packet family stays the raw-socket block's to refuse.
        {"packet", kSocket, {AF_PACKET, SOCK_DGRAM}, "EPERM", "EPERM"},
        {"unix", kSocket, {AF_UNIX, SOCK_DGRAM}, "ALLOW", "EACCES"},
        {"inet_stream", kSocket, {AF_INET, SOCK_STREAM}, "ALLOW", "ALLOW"},
        {"inet6_dgram", kSocket, {AF_INET6, SOCK_DGRAM}, "ALLOW", "ALLOW"},
        {"netlink_route", kSocket, {AF_NETLINK, SOCK_RAW, NETLINK_ROUTE}, "ALLOW", "ALLOW"},
        {"netlink_sock_diag", kSocket, {AF_NETLINK, SOCK_RAW, NETLINK_SOCK_DIAG}, "EPERM",
         "EPERM"},
        {"socketpair_unix", kSocketPair, {AF_UNIX, SOCK_STREAM, 0, 0x1000}, "ALLOW", "ALLOW"},
        {"socketpair_tipc", kSocketPair, {AF_TIPC, SOCK_SEQPACKET, 0, 0x1000}, "EAFNOSUPPORT",
         "ALLOW"},
        {"socketpair_vsock", kSocketPair, {AF_VSOCK, SOCK_STREAM, 0, 0x1000}, "EAFNOSUPPORT",
         "ALLOW"},
        // Family numbers under another call are not families.
        {"read_with_vsock_argument", 0, {AF_VSOCK, 0, 1}, "ALLOW", "ALLOW"},
    };
    const std::pair<const char*, Policy> rules[] = {
        {"net_allow_hosts", built(Policy::builder().net_allow_host("127.0.0.1").build())},
        {"policy callback", built(Policy::builder().policy_fn(allow_all()).build())},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        for (const auto& [name, policy] : rules) {
            SCOPED_TRACE(name);
            EXPECT_EQ(verdict(program_for(policy), call(c.nr, c.args)), c.with_rule);
            EXPECT_EQ(verdict(nested_program_for(policy), call(c.nr, c.args)), c.with_rule);
        }
        EXPECT_EQ(verdict(program_for(defaults()), call(c.nr, c.args)), c.without_rule);
        EXPECT_EQ(verdict(nested_program_for(defaults()), call(c.nr, c.args)), c.without_rule);
    }
}

// A policy that starts no agent (no network rule, no port remapping, no tree the command may
// write) gives the command no socket that could reach a Unix name, with a listener or without:
// no Unix socket from socket(), no datagram pair. Connected pairs of the other types stay.
TEST(UnixBlock, NoSocketThatCouldReachANameWithoutTheAgent) {
    constexpr std::uint32_t kSocket = 41, kSocketPair = 53;
    struct Case {
        const char* label;
        std::uint32_t nr;
        std::array<std::uint64_t, 6> args;
        const char* without_agent;
    };
    const Case cases[] = {
        {"socket_stream", kSocket, {AF_UNIX, SOCK_STREAM}, "EACCES"},
        {"socket_dgram_cloexec", kSocket, {AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC}, "EACCES"},
        {"socket_seqpacket_high_half", kSocket, {kHigh | AF_UNIX, SOCK_SEQPACKET}, "EACCES"},
        {"socketpair_dgram", kSocketPair, {AF_UNIX, SOCK_DGRAM, 0, 0x1000}, "EACCES"},
        {"socketpair_dgram_nonblock", kSocketPair, {AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, 0x1000},
         "EACCES"},
        {"socketpair_stream", kSocketPair, {AF_UNIX, SOCK_STREAM, 0, 0x1000}, "ALLOW"},
        {"socketpair_seqpacket", kSocketPair, {AF_UNIX, SOCK_SEQPACKET, 0, 0x1000}, "ALLOW"},
        {"socket_inet", kSocket, {AF_INET, SOCK_STREAM}, "ALLOW"},
        {"socketpair_inet_dgram", kSocketPair, {AF_INET, SOCK_DGRAM, 0, 0x1000}, "ALLOW"},
    };
    const std::pair<const char*, Policy> with_agent[] = {
        {"fs_write", built(Policy::builder().fs_write("/tmp").build())},
        {"workdir", built(Policy::builder().workdir("/tmp/w").build())},
        {"net_allow_hosts", built(Policy::builder().net_allow_host("127.0.0.1").build())},
        {"port_remap", built(Policy::builder().port_remap(true).build())},
    };
    const std::pair<const char*, Policy> without_agent[] = {
        {"defaults", defaults()},
        {"fs_read only", built(Policy::builder().fs_read("/").isolate_ipc(true).build())},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        for (const auto& [name, policy] : with_agent) {
            SCOPED_TRACE(name);
            EXPECT_TRUE(needs_agent(policy));
            EXPECT_EQ(verdict(program_for(policy), call(c.nr, c.args)), "ALLOW");
            EXPECT_EQ(verdict(nested_program_for(policy), call(c.nr, c.args)), "ALLOW");
        }
        for (const auto& [name, policy] : without_agent) {
            SCOPED_TRACE(name);
            EXPECT_FALSE(needs_agent(policy));
            EXPECT_EQ(verdict(program_for(policy), call(c.nr, c.args)), c.without_agent);
            EXPECT_EQ(verdict(nested_program_for(policy), call(c.nr, c.args)), c.without_agent);
        }
    }
}

// The layout the filter had before it searched: each argument check behind a comparison of the
// number, one after another, then each list compared in turn. The search must give its verdicts.
Program linear_program(const Numbers& routed, const Numbers& denied,
                       std::span<const ArgCheck> checks) {
    auto load = [](std::uint32_t offset) -> sock_filter {
        return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
    };
    auto ret = [](std::uint32_t verdict) -> sock_filter { return BPF_STMT(BPF_RET | BPF_K, verdict); };
    auto jeq = [](std::uint32_t k, std::size_t skip) -> sock_filter {
        return BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, k, 0, static_cast<std::uint8_t>(skip));
    };
    Program p{load(4), BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
              ret(SECCOMP_RET_KILL_PROCESS), load(0),
              BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, kX32, 0, 1), ret(SECCOMP_RET_KILL_PROCESS),
              jeq(kClone3, 1), ret(SECCOMP_RET_ERRNO | ENOSYS)};
    for (const ArgCheck& check : checks) {
        p.push_back(load(0));
        p.push_back(jeq(check.nr, check.body.size()));
        p.insert(p.end(), check.body.begin(), check.body.end());
    }
    p.push_back(load(0));
    for (std::uint32_t nr : routed) {
        p.push_back(jeq(nr, 1));
        p.push_back(ret(SECCOMP_RET_USER_NOTIF));
    }
    for (std::uint32_t nr : denied) {
        p.push_back(jeq(nr, 1));
        p.push_back(ret(SECCOMP_RET_ERRNO | EPERM));
    }
    p.push_back(ret(SECCOMP_RET_ALLOW));
    return p;
}

// Values worth trying in the arguments of call `nr`: every constant its checks compare with,
// one above it and with the flag bits of a socket type set, and a few that match nothing.
std::vector<std::uint64_t> argument_values(std::span<const ArgCheck> checks, std::uint32_t nr) {
    std::vector<std::uint64_t> values{0, 1, 0xFFFFFFFF};
    for (const ArgCheck& check : checks) {
        if (check.nr != nr) continue;
        for (const sock_filter& insn : check.body) {
            if (BPF_CLASS(insn.code) != BPF_JMP || BPF_OP(insn.code) == BPF_JA) continue;
            for (std::uint64_t value : {insn.k, insn.k + 1, insn.k | SOCK_CLOEXEC | SOCK_NONBLOCK})
                values.push_back(value);
        }
    }
    std::ranges::sort(values);
    values.erase(std::unique(values.begin(), values.end()), values.end());
    return values;
}

TEST(FilterProgram, SearchGivesTheVerdictsOfTheLinearLayout) {
    const std::pair<const char*, Policy> policies[] = {
        {"defaults", defaults()},
        {"allow list", built(Policy::builder().allow_syscalls({"read"}).build())},
        {"own deny list with ioctl",
         built(Policy::builder().deny_syscalls({"ioctl", "chmod", "mount", "socket"}).build())},
        {"sockets", built(Policy::builder().no_raw_sockets(false).no_udp(true).build())},
        {"network rule and memory",
         built(Policy::builder().net_allow_host("127.0.0.1").no_udp(true).max_memory(1 << 30).build())},
        {"copy-on-write and callback",
         built(Policy::builder().workdir("/tmp/w").policy_fn(allow_all()).build())},
        {"every routing rule", built(Policy::builder()
                                         .max_memory(1)
                                         .num_cpus(1)
                                         .random_seed(1)
                                         .time_start(TimePoint{})
                                         .hostname("h")
                                         .isolate_pids(true)
                                         .port_remap(true)
                                         .chroot("/srv/root")
                                         .policy_fn(allow_all())
                                         .build())},
    };
    for (const auto& [name, policy] : policies) {
        for (bool supervised : {true, false}) {
            SCOPED_TRACE(std::string(name) + (supervised ? ", supervised" : ", nested"));
            const Numbers routed = supervised ? notif_syscalls(policy) : Numbers{};
            const Numbers denied = deny_syscall_numbers(policy);
            const std::vector<ArgCheck> checks = arg_filters(policy, supervised);
            auto searched = assemble_filter(routed, denied, checks);
            ASSERT_TRUE(searched.has_value()) << searched.error().message();
            const Program linear = linear_program(routed, denied, checks);
            std::size_t differ = 0, compared = 0;
            auto compare = [&](const seccomp_data& data) {
                ++compared;
                const std::string want = verdict(linear, data), got = verdict(*searched, data);
                if (want == got || ++differ > 5) return;
                ADD_FAILURE() << "number " << data.nr << " architecture " << std::hex << data.arch
                              << " arguments " << data.args[0] << ", " << data.args[1] << ", "
                              << data.args[2] << std::dec << ": " << got << ", not " << want;
            };
            for (std::uint32_t nr = 0; nr < 1024; ++nr) {
                const auto values = argument_values(checks, nr);
                for (std::uint64_t a0 : values)
                    for (std::uint64_t a1 : values)
                        for (std::uint64_t a2 : values) {
                            compare(call(nr, {a0, a1, a2}));
                            compare(call(nr | kX32, {a0, a1, a2}));
                            compare(call(nr, {a0, a1, a2}, AUDIT_ARCH_I386));
                        }
            }
            EXPECT_EQ(differ, 0u) << "of " << compared;
        }
    }
}

TEST(FilterProgram, InstructionCounts) {
    // The search halves the numbers a policy names (its lists, clone3 and the calls whose
    // arguments are checked) down to groups of eight compared one by one, each with its checks
    // and verdict beside its comparison: a call walks the architecture and x32 checks, a few
    // halvings and at most eight comparisons with their checks, not every list.
    struct Count {
        const char* label;
        Policy policy;
        bool nested;
        std::size_t size;
        std::size_t longest_walk;
    };
    const Count counts[] = {
        {"defaults", defaults(), false, 268, 20},
        {"defaults nested", defaults(), true, 264, 20},
        {"allow list", built(Policy::builder().allow_syscalls({"read"}).build()), false, 176, 19},
        {"raw sockets allowed", built(Policy::builder().no_raw_sockets(false).build()), false,
         257, 16},
        {"no_udp", built(Policy::builder().no_udp(true).build()), false, 269, 20},
    };
    for (const auto& c : counts) {
        SCOPED_TRACE(c.label);
        const Program program = c.nested ? nested_program_for(c.policy) : program_for(c.policy);
        EXPECT_EQ(program.size(), c.size);
        std::size_t longest = 0;
        for (std::uint32_t nr = 0; nr < 1024; ++nr) {
            std::size_t steps = 0;
            (void)test::run_bpf(program, call(nr), &steps);
            longest = std::max(longest, steps);
        }
        EXPECT_EQ(longest, c.longest_walk);
    }
}

Numbers range(std::uint32_t first, std::size_t count) {
    Numbers out(count);
    std::iota(out.begin(), out.end(), first);
    return out;
}

std::string install_text(const SeccompError& error) {
    const auto* install = std::get_if<SeccompError::Install>(&error.kind);
    return install ? install->text : "not an installation error";
}

TEST(FilterProgram, ListsFarLongerThanAJumpReachGiveTheirVerdicts) {
    // 1785 numbers make the longest program the kernel takes: 4096 instructions.
    const Numbers routed = range(2000, 1000);
    const Numbers denied = range(5000, 785);
    auto program = assemble_filter(routed, denied, {});
    ASSERT_TRUE(program.has_value()) << program.error().message();
    EXPECT_EQ(program->size(), 4096u);
    for (std::uint32_t nr : {2000u, 2999u}) EXPECT_EQ(verdict(*program, call(nr)), "NOTIFY") << nr;
    for (std::uint32_t nr : {5000u, 5784u}) EXPECT_EQ(verdict(*program, call(nr)), "EPERM") << nr;
    for (std::uint32_t nr : {1999u, 3000u, 4999u, 5785u})
        EXPECT_EQ(verdict(*program, call(nr)), "ALLOW") << nr;
    EXPECT_EQ(verdict(*program, call(kClone3)), "ENOSYS");
    EXPECT_EQ(verdict(*program, call(5784 | kX32)), "KILL");
    EXPECT_EQ(verdict(*program, call(5784, {}, AUDIT_ARCH_I386)), "KILL");
}

TEST(FilterProgram, RefusesAProgramLongerThanTheKernelTakes) {
    struct TooLong {
        const char* label;
        Numbers routed;
        Numbers denied;
        std::size_t arg_block;
        const char* text;
    };
    const TooLong cases[] = {
        {"denied", {}, range(1000, 1786), 0,
         "filter of 4100 instructions is longer than the kernel's limit of 4096"},
        {"routed", range(1000, 1786), {}, 0,
         "filter of 4100 instructions is longer than the kernel's limit of 4096"},
        {"both", range(5000, 1000), range(1000, 786), 0,
         "filter of 4100 instructions is longer than the kernel's limit of 4096"},
        {"with argument checks", {56}, range(1000, 1766), 37,
         "filter of 4097 instructions is longer than the kernel's limit of 4096"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        const std::vector<ArgCheck> checks{
            {56, Program(c.arg_block, BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 0))}};
        auto program = assemble_filter(c.routed, c.denied, checks);
        ASSERT_FALSE(program.has_value());
        EXPECT_EQ(install_text(program.error()), c.text);
    }
}

TEST(FilterProgram, RepeatedNumbersAreDroppedBeforeTheLengthCheck) {
    // 5000 comparisons as given, beyond the kernel's limit; two distinct numbers in fact.
    const Numbers routed(2500, 56);
    Numbers denied(2500, 165);
    denied.insert(denied.begin() + 1250, 56);
    auto program = assemble_filter(routed, denied, {});
    ASSERT_TRUE(program.has_value()) << program.error().message();
    // The two checks of the architecture, the x32 check, then each number (with clone3) compared
    // once and a final return.
    EXPECT_EQ(program->size(), 6u + 2u * 3u + 1u);
    EXPECT_EQ(verdict(*program, call(56)), "NOTIFY");
    EXPECT_EQ(verdict(*program, call(165)), "EPERM");
    EXPECT_EQ(verdict(*program, call(166)), "ALLOW");
}

TEST(FilterProgram, LongestPolicyDenyListFits) {
    // Every nameable call denied, twice, under the policy with the most routed calls.
    std::vector<std::string> names;
    for (const auto& entry : kNameTable) {
        names.emplace_back(entry.first);
        names.emplace_back(entry.first);
    }
    const Policy policy = built(Policy::builder()
                                    .deny_syscalls(names)
                                    .max_memory(1)
                                    .num_cpus(1)
                                    .random_seed(1)
                                    .time_start(TimePoint{})
                                    .hostname("h")
                                    .isolate_pids(true)
                                    .port_remap(true)
                                    .chroot("/srv/root")
                                    .workdir("/tmp/w")
                                    .policy_fn(allow_all())
                                    .no_udp(true)
                                    .build());
    EXPECT_EQ(deny_syscall_numbers(policy).size(), 194u);
    const Program program = program_for(policy);
    ASSERT_FALSE(program.empty());
    EXPECT_EQ(verdict(program, call(165)), "EPERM");
    EXPECT_EQ(verdict(program, call(257)), "NOTIFY");
    EXPECT_EQ(verdict(program, call(0)), "ALLOW");
}

TEST(BpfInterpreter, ReportsProgramsItCannotJudge) {
    const sock_filter allow = BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW);
    const std::pair<const char*, Program> cases[] = {
        {"ran off the end of the program", {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 0)}},
        {"jump past the end at instruction 0",
         {BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 2, 2), allow}},
        {"unsupported code 40 at instruction 0", {BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 0), allow}},
        {"load of offset 2 at instruction 0", {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 2), allow}},
        {"load of offset 64 at instruction 0", {BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 64), allow}},
    };
    for (const auto& [text, program] : cases)
        EXPECT_EQ(verdict(program, call(0)), std::string("fault: ") + text);
}

// Live checks: the real kernel under the listener-less program.

std::string result_of(long ret) {
    return sys::syscall::is_error(ret) ? test::errno_name(static_cast<int>(-ret)) : "ok";
}

long raw(long nr, long a0 = 0, long a1 = 0, long a2 = 0, long a3 = 0, long a4 = 0) {
    return sys::syscall::raw(nr, a0, a1, a2, a3, a4);
}

long addr(const void* p) {
    return reinterpret_cast<long>(p);
}

// A pointer the kernel cannot read: an unfiltered call that reaches its copy fails with EFAULT.
constexpr long kBadPointer = 1;

// Sets no-new-privileges and installs the program without a listener, as a nested child does.
std::string install_in_child(const Program& program) {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return "no_new_privs: " + test::outcome(-1);
    const long ret = seccomp::bpf::install_raw(program, 0);
    return sys::syscall::is_error(ret) ? "install: " + result_of(ret) : "";
}

struct LiveCase {
    const char* label;
    std::function<std::expected<Policy, PolicyError>()> make;
    std::function<long()> run;
    const char* unfiltered;
    const char* filtered;
};

void PrintTo(const LiveCase& c, std::ostream* os) {
    *os << c.label;
}

long with_dev_null(const std::function<long(int)>& fn) {
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd < 0) return -errno;
    const long ret = fn(fd);
    ::close(fd);
    return ret;
}

long close_if_open(long ret) {
    if (!sys::syscall::is_error(ret)) ::close(static_cast<int>(ret));
    return ret;
}

long socketpair_of(int type) {
    int fds[2];
    const long ret = raw(SYS_socketpair, AF_UNIX, type, 0, reinterpret_cast<long>(fds));
    if (sys::syscall::is_error(ret)) return ret;
    ::close(fds[0]);
    ::close(fds[1]);
    return ret;
}

std::vector<LiveCase> live_cases() {
    auto p = [] { return Policy::builder(); };
    auto mount_bad_source = [] { return raw(SYS_mount, kBadPointer, addr("/"), 0, 0, 0); };
    return {
        {"mount", [=] { return p().build(); }, mount_bad_source, "EFAULT", "EPERM"},
        // An extra flag unshare rejects: unfiltered it fails with EINVAL whatever the privileges.
        {"unshare_newuser", [=] { return p().build(); },
         [] { return raw(SYS_unshare, CLONE_NEWUSER | CLONE_VFORK); }, "EINVAL", "EPERM"},
        {"ptrace_traceme", [=] { return p().build(); },
         [] { return raw(SYS_ptrace, PTRACE_TRACEME); }, "ok", "EPERM"},
        // /dev/null is no terminal: an unfiltered terminal ioctl on it fails with ENOTTY.
        {"ioctl_tiocsti", [=] { return p().build(); },
         [] {
             return with_dev_null([](int fd) { return raw(SYS_ioctl, fd, TIOCSTI, kBadPointer); });
         },
         "ENOTTY", "EPERM"},
        {"ioctl_tioclinux", [=] { return p().build(); },
         [] {
             return with_dev_null(
                 [](int fd) { return raw(SYS_ioctl, fd, TIOCLINUX, kBadPointer); });
         },
         "ENOTTY", "EPERM"},
        {"prctl_set_dumpable", [=] { return p().build(); },
         [] { return raw(SYS_prctl, PR_SET_DUMPABLE, 1); }, "ok", "EPERM"},
        // An out-of-range protocol: unfiltered the kernel says EINVAL whatever the privileges.
        {"socket_inet_raw", [=] { return p().build(); },
         [] {
             return close_if_open(raw(SYS_socket, AF_INET, SOCK_RAW | SOCK_NONBLOCK, IPPROTO_MAX));
         },
         "EINVAL", "EPERM"},
        {"socket_sock_diag", [=] { return p().build(); },
         [] { return close_if_open(raw(SYS_socket, AF_NETLINK, SOCK_RAW, NETLINK_SOCK_DIAG)); },
         "ok", "EPERM"},
        {"socket_unix_dgram_with_no_udp", [=] { return p().fs_write("/tmp").no_udp(true).build(); },
         [] { return close_if_open(raw(SYS_socket, AF_UNIX, SOCK_DGRAM, 0)); }, "ok", "ok"},
        {"socket_unix_with_no_writable_tree", [=] { return p().build(); },
         [] { return close_if_open(raw(SYS_socket, AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)); },
         "ok", "EACCES"},
        {"socketpair_unix_dgram_with_no_writable_tree", [=] { return p().build(); },
         [] { return socketpair_of(SOCK_DGRAM | SOCK_NONBLOCK); }, "ok", "EACCES"},
        {"socketpair_unix_stream_with_no_writable_tree", [=] { return p().build(); },
         [] { return socketpair_of(SOCK_STREAM); }, "ok", "ok"},
        // A user namespace cannot share the filesystem root: unfiltered this fails with EINVAL
        // before any process is made.
        {"clone_newuser", [=] { return p().build(); },
         [] { return raw(SYS_clone, CLONE_NEWUSER | CLONE_FS | SIGCHLD); }, "EINVAL", "EPERM"},
        // A zero-sized argument record: unfiltered clone3 fails with EINVAL.
        {"clone3", [=] { return p().build(); }, [] { return raw(SYS_clone3, 0, 0); }, "EINVAL",
         "ENOSYS"},
        {"clone3_with_empty_deny_list", [=] { return p().deny_syscalls({}).build(); },
         [] { return raw(SYS_clone3, 0, 0); }, "EINVAL", "ENOSYS"},
        {"deny_list_mkdir", [=] { return p().deny_syscalls({"mkdir"}).build(); },
         [] { return raw(SYS_mkdir, kBadPointer, 0755); }, "EFAULT", "EPERM"},
        {"deny_list_mkdir_leaves_mkdirat", [=] { return p().deny_syscalls({"mkdir"}).build(); },
         [] { return raw(SYS_mkdirat, AT_FDCWD, kBadPointer, 0755); }, "EFAULT", "EFAULT"},
        {"deny_list_mkdir_replaces_default", [=] { return p().deny_syscalls({"mkdir"}).build(); },
         mount_bad_source, "EFAULT", "EFAULT"},
        {"allow_list_denies_nothing", [=] { return p().allow_syscalls({"read"}).build(); },
         mount_bad_source, "EFAULT", "EFAULT"},
        // Unfiltered the kernel fails to read the attribute record before any capability check.
        {"mount_setattr", [=] { return p().build(); },
         [] { return raw(SYS_mount_setattr, AT_FDCWD, addr("/"), 0, kBadPointer, 32); }, "EFAULT",
         "EPERM"},
        {"open_tree_attr", [=] { return p().build(); },
         [] { return raw(467, AT_FDCWD, addr("/"), 0, kBadPointer, 32); }, "EFAULT", "EPERM"},
        {"io_uring_with_allow_list", [=] { return p().allow_syscalls({"read"}).build(); },
         [] { return raw(SYS_io_uring_setup, 1, kBadPointer); }, "EFAULT", "EPERM"},
        // What the supervisor would decide is refused without one.
        {"setsid", [=] { return p().build(); }, [] { return raw(SYS_setsid); }, "ok", "EPERM"},
        {"prlimit_of_the_parent", [=] { return p().build(); },
         [] { return raw(SYS_prlimit64, ::getppid(), RLIMIT_NOFILE, 0, 0); }, "ok", "EPERM"},
        {"prlimit_of_itself", [=] { return p().build(); },
         [] { return raw(SYS_prlimit64, 0, RLIMIT_NOFILE, 0, 0); }, "ok", "ok"},
        {"fchmod_without_a_supervisor", [=] { return p().build(); },
         [] {
             const int fd = ::open("/tmp", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
             if (fd < 0) return -static_cast<long>(errno);
             const long ret = raw(SYS_fchmod, fd, 0644);
             ::close(fd);
             return ret;
         },
         "ok", "EACCES"},
    };
}

class LiveFilter : public ::testing::TestWithParam<LiveCase> {};

TEST_P(LiveFilter, KernelAnswersAsTheFilterSays) {
    const LiveCase& c = GetParam();
    const Program program = nested_program_for(built(c.make()));
    auto unfiltered = test::run_forked([&] { return result_of(c.run()); });
    auto filtered = test::run_forked([&] {
        const std::string failed = install_in_child(program);
        return failed.empty() ? result_of(c.run()) : failed;
    });
    EXPECT_EQ(unfiltered.text, c.unfiltered);
    EXPECT_EQ(filtered.text, c.filtered);
}

INSTANTIATE_TEST_SUITE_P(Calls, LiveFilter, ::testing::ValuesIn(live_cases()),
                         [](const auto& info) { return std::string(info.param.label); });

long getpid_via_int80() {
    long ret;
    // The 32-bit entry: number 20 is getpid there. It clobbers r8 to r11 on newer kernels.
    __asm__ volatile("int $0x80" : "=a"(ret) : "a"(20L) : "r8", "r9", "r10", "r11", "memory");
    return ret;
}

long getpid_via_x32() {
    return sys::syscall::raw(kX32 | __NR_getpid);
}

bool killed_by_sigsys(int status) {
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS;
}

// Runs `fn` without and then under the filter: the filtered child must die of SIGSYS.
void expect_killed_under_filter(long (*fn)()) {
    auto unfiltered = test::run_forked([&] { return result_of(fn()); });
    EXPECT_FALSE(killed_by_sigsys(unfiltered.wait_status));
    const Program program = nested_program_for(defaults());
    auto filtered = test::run_forked([&] {
        const std::string failed = install_in_child(program);
        return failed.empty() ? "survived: " + result_of(fn()) : failed;
    });
    EXPECT_TRUE(killed_by_sigsys(filtered.wait_status))
        << "status " << filtered.wait_status << ", child said: " << filtered.text;
}

TEST(LiveFilter, X32CallKillsTheProcess) {
    expect_killed_under_filter(getpid_via_x32);
}

TEST(LiveFilter, I386CallKillsTheProcess) {
    // Without the 32-bit entry int 0x80 faults (and a sanitizer may turn the fault into an exit).
    auto probe = test::run_forked([] { return result_of(getpid_via_int80()); });
    if (probe.text != "ok")
        GTEST_SKIP() << "this kernel has no 32-bit system-call entry (int 0x80 faults)";
    expect_killed_under_filter(getpid_via_int80);
}

TEST(InstallFilter, ReturnsACloseOnExecListener) {
    const Program program = nested_program_for(defaults());
    auto report = test::run_forked([&]() -> std::string {
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return "no_new_privs failed";
        auto listener = seccomp::bpf::install_filter(program);
        if (!listener) return listener.error().message();
        const int flags = ::fcntl(listener->get(), F_GETFD);
        // Nothing is routed, so no call of ours waits on this listener.
        return listener->get() >= 0 && flags >= 0 && (flags & FD_CLOEXEC) ? "listener" : "bad fd";
    });
    EXPECT_EQ(report.text, "listener");
}

TEST(InstallFilter, MalformedProgramsGiveTheSystemError) {
    const Program empty;
    const Program no_return{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 0)};
    for (const Program* program : {&empty, &no_return}) {
        auto report = test::run_forked([&]() -> std::string {
            if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return "no_new_privs failed";
            auto listener = seccomp::bpf::install_filter(*program);
            return listener ? "installed" : test::errno_name(listener.error().code());
        });
        EXPECT_EQ(report.text, "EINVAL") << program->size() << " instructions";
    }
}

}  // namespace
}  // namespace vestrion
