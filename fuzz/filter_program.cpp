// The filter program of a policy drawn from the input, run in the tests' evaluator on a call
// drawn from the input, against a decision function written here from what each rule means.
#include <linux/audit.h>
#include <linux/fs.h>
#include <linux/netlink.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/context/filter_lists.hpp"
#include "core/seccomp/bpf.hpp"
#include "tests/bpf_interpreter.hpp"

namespace {

using namespace vestrion;
using Numbers = std::vector<std::uint32_t>;

constexpr std::uint32_t ALLOW = SECCOMP_RET_ALLOW, NOTIFY = SECCOMP_RET_USER_NOTIF,
                        KILL = SECCOMP_RET_KILL_PROCESS;
constexpr std::uint32_t error(int e) { return SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(e); }

// Reads the input front to back; zeros once it is used up.
struct Input {
    const std::uint8_t* data;
    std::size_t size;
    template <class T>
    T take() {
        T value{};
        std::size_t n = std::min(sizeof(T), size);
        std::memcpy(&value, data, n);
        data += n;
        size -= n;
        return value;
    }
};

bool has(const Numbers& list, std::uint32_t nr) { return std::ranges::find(list, nr) != list.end(); }

Policy policy_from(Input& in, bool& supervised) {
    static const char* const kNames[] = {"mount", "ioctl", "chmod", "socket", "clone", "openat",
                                         "prlimit64", "setsid", "fchmodat2", "getpid",
                                         "sendto",    "connect", "sendmsg"};
    std::uint32_t bits = in.take<std::uint32_t>();
    auto bit = [&](int n) { return (bits >> n) & 1; };
    Policy p;
    supervised = bit(0);
    if (bit(1)) p.max_memory = 1 << 30;
    if (bit(2)) p.net_allow_hosts = {"localhost"};
    if (bit(3)) p.random_seed = 1;
    if (bit(4)) p.time_start = TimePoint{};
    if (bit(5)) p.num_cpus = 2;
    p.isolate_pids = bit(6);
    p.deterministic_dirs = bit(7);
    if (bit(8)) p.hostname = "h";
    p.port_remap = bit(9);
    if (bit(10)) p.workdir = Path("/w");
    if (bit(11)) p.chroot = Path("/r");
    if (bit(12)) p.policy_fn = std::make_shared<const PolicyFn>();
    p.no_raw_sockets = bit(13);
    p.no_udp = bit(14);
    if (bit(15)) {
        std::vector<std::string> names;
        std::uint16_t pick = in.take<std::uint16_t>();
        for (std::size_t i = 0; i < std::size(kNames); ++i)
            if (pick >> i & 1) names.push_back(kNames[i]);
        p.deny_syscalls = names;
    } else if (bit(16)) {
        p.allow_syscalls = std::vector<std::string>{"read"};
    }
    if (bit(17)) p.fs_writable = {Path("/tmp")};
    return p;
}

// What each rule of the program means, in the program's order.
std::uint32_t decide(const Policy& p, bool supervised, const seccomp_data& d) {
    if (d.arch != AUDIT_ARCH_X86_64) return KILL;
    const std::uint32_t nr = static_cast<std::uint32_t>(d.nr);
    if (nr & 0x40000000) return KILL;  // x32
    if (nr == SYS_clone3) return error(ENOSYS);
    const std::uint32_t a0 = static_cast<std::uint32_t>(d.args[0]);
    const std::uint32_t a1 = static_cast<std::uint32_t>(d.args[1]);
    const std::uint32_t a2 = static_cast<std::uint32_t>(d.args[2]);
    const Numbers denied = context::deny_syscall_numbers(p);
    const Numbers routed = supervised ? context::notif_syscalls(p) : Numbers{};
    const std::uint32_t by_supervisor_or_refused = supervised ? NOTIFY : error(EPERM);
    constexpr std::uint32_t kNamespaces = CLONE_NEWNS | CLONE_NEWCGROUP | CLONE_NEWUTS |
                                          CLONE_NEWIPC | CLONE_NEWUSER | CLONE_NEWPID |
                                          CLONE_NEWNET;
    if (nr == SYS_clone && (a0 & (kNamespaces | CLONE_PARENT))) return error(EPERM);
    if (nr == SYS_ioctl) {
        if (a1 == TIOCSTI || a1 == TIOCLINUX) return error(EPERM);
        if (!has(denied, SYS_ioctl) &&
            (a1 == static_cast<std::uint32_t>(FS_IOC_SETFLAGS) ||
             a1 == static_cast<std::uint32_t>(FS_IOC32_SETFLAGS) ||
             a1 == static_cast<std::uint32_t>(FS_IOC_FSSETXATTR)))
            return supervised ? NOTIFY : error(EACCES);
    }
    if (nr == SYS_prctl && (a0 == PR_SET_DUMPABLE || a0 == PR_SET_SECUREBITS || a0 == PR_SET_PTRACER))
        return error(EPERM);
    if (nr == SYS_socket && a0 == AF_NETLINK && a2 == NETLINK_SOCK_DIAG) return error(EPERM);
    if (nr == SYS_socket && (a0 == AF_INET || a0 == AF_INET6)) {
        std::uint32_t type = a1 & 0xFF;
        if (p.no_raw_sockets && (type == SOCK_RAW || type == 10)) return error(EPERM);
        if (p.no_udp && type == SOCK_DGRAM) return error(EPERM);
    }
    if (p.no_raw_sockets && nr == SYS_socket && a0 == AF_PACKET) return error(EPERM);
    const bool network_rule = !p.net_allow_hosts.empty() || p.policy_fn;
    if (network_rule && (nr == SYS_socket || nr == SYS_socketpair) && a0 != AF_UNIX &&
        a0 != AF_INET && a0 != AF_INET6 && a0 != AF_NETLINK)
        return error(EAFNOSUPPORT);
    // Without the agent, no socket that could reach a Unix name: none of the family from
    // socket(), no datagram pair.
    const bool agent = network_rule || p.port_remap || !p.fs_writable.empty() || p.workdir ||
                       p.gpu_devices;
    if (!agent && nr == SYS_socket && a0 == AF_UNIX) return error(EACCES);
    if (!agent && nr == SYS_socketpair && a0 == AF_UNIX && (a1 & 0xFF) == SOCK_DGRAM)
        return error(EACCES);
    // A sendto that names a destination is the supervisor's where the agent can make it, unless
    // the policy denies sendto.
    if (supervised && agent && nr == SYS_sendto && d.args[4] != 0 && !has(denied, SYS_sendto))
        return NOTIFY;
    for (std::uint32_t acts : {SYS_prlimit64, SYS_sched_setparam, SYS_sched_setscheduler,
                               SYS_sched_setaffinity, SYS_sched_setattr})
        if (nr == acts) return a0 == 0 ? ALLOW : by_supervisor_or_refused;
    if (nr == SYS_setpriority || nr == SYS_ioprio_set) {
        if (a0 == (nr == SYS_setpriority ? 2u : 3u)) return error(EPERM);  // a whole user
        return a1 == 0 ? ALLOW : by_supervisor_or_refused;
    }
    if (!supervised) {
        if (nr == SYS_setsid || nr == SYS_setpgid) return error(EPERM);
        static const Numbers kMetadata{90,  91,  268, 452, 92,  93,  94,  260, 132, 235, 261,
                                       280, 188, 189, 190, 197, 198, 199, 463, 466, 469};
        if (has(kMetadata, nr)) return error(EACCES);
    }
    if (has(routed, nr)) return NOTIFY;
    if (has(denied, nr)) return error(EPERM);
    return ALLOW;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in{data, size};
    bool supervised = false;
    Policy policy = policy_from(in, supervised);
    auto program = seccomp::bpf::assemble_filter(
        supervised ? context::notif_syscalls(policy) : Numbers{},
        context::deny_syscall_numbers(policy), context::arg_filters(policy, supervised));
    if (!program) std::abort();  // every policy's program fits the kernel's limit
    seccomp_data call{};
    std::uint8_t arch = in.take<std::uint8_t>();
    call.arch = arch < 200 ? AUDIT_ARCH_X86_64 : arch < 230 ? AUDIT_ARCH_I386 : in.take<std::uint32_t>();
    // Mostly numbers near the table, sometimes any number at all.
    std::uint16_t small = in.take<std::uint16_t>();
    call.nr = small & 0x8000 ? static_cast<int>(in.take<std::uint32_t>()) : small % 512;
    for (auto& arg : call.args) {
        std::uint8_t form = in.take<std::uint8_t>();
        arg = form < 128 ? form % 64 : in.take<std::uint64_t>();
    }
    auto verdict = test::run_bpf(*program, call);
    if (!verdict) {
        std::fprintf(stderr, "program fault: %s\n", verdict.error().c_str());
        std::abort();
    }
    std::uint32_t expected = decide(policy, supervised, call);
    if (*verdict != expected) {
        std::fprintf(stderr, "nr %d arch %#x: program %#x, expected %#x\n", call.nr, call.arch,
                     *verdict, expected);
        std::abort();
    }
    return 0;
}
