#include "core/seccomp/bpf.hpp"

#include <asm/unistd.h>
#include <linux/audit.h>
#include <linux/seccomp.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "core/sys/structs.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::seccomp::bpf {
namespace {

constexpr std::uint32_t kOffsetNr = 0;
constexpr std::uint32_t kOffsetArch = 4;
constexpr std::uint32_t kNrClone3 = 435;
constexpr std::uint32_t kMaxJump = 255;

// Instructions around the two lists: architecture check, x32 check, clone3 answer, the reload of
// the number before the lists, and the five returns.
constexpr std::size_t kHeadLength = 5;
constexpr std::size_t kFixedLength = kHeadLength + 1 + 5;

// The numbers of `list` in their first order, without repeats and without those in `taken`.
std::vector<std::uint32_t> distinct(std::span<const std::uint32_t> list,
                                    std::span<const std::uint32_t> taken) {
    std::vector<std::uint32_t> out;
    for (std::uint32_t number : list)
        if (std::ranges::find(taken, number) == taken.end() &&
            std::ranges::find(out, number) == out.end())
            out.push_back(number);
    return out;
}

sock_filter load(std::uint32_t offset) {
    return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
}

sock_filter ret(std::uint32_t verdict) {
    return BPF_STMT(BPF_RET | BPF_K, verdict);
}

// A conditional jump at `at` to `target` when the condition holds; falls through otherwise.
sock_filter jump_if(std::uint16_t op, std::uint32_t k, std::size_t at, std::size_t target) {
    return BPF_JUMP(BPF_JMP | op | BPF_K, k, static_cast<std::uint8_t>(target - at - 1), 0);
}

}  // namespace

std::expected<Program, SeccompError> assemble_filter(std::span<const std::uint32_t> routed,
                                                     std::span<const std::uint32_t> denied,
                                                     std::span<const sock_filter> arg_block) {
    // Repeats change no verdict, and dropping them keeps every program a policy can produce
    // within the jump range. A number both routed and denied is routed, as it would be anyway.
    const std::vector<std::uint32_t> notify = distinct(routed, {});
    const std::vector<std::uint32_t> refuse = distinct(denied, notify);
    const std::size_t n = notify.size();
    const std::size_t d = refuse.size();
    const std::size_t length = arg_block.size();
    const std::size_t total = n + d + length + kFixedLength;

    const std::size_t lists = kHeadLength + length + 1;
    const std::size_t ret_allow = lists + n + d;
    const std::size_t ret_notify = ret_allow + 1;
    const std::size_t ret_eperm = ret_allow + 2;
    const std::size_t ret_enosys = ret_allow + 3;
    const std::size_t ret_kill = ret_allow + 4;
    // The architecture check at position 1 makes the longest jump of the program.
    if (ret_kill - 2 > kMaxJump)
        return std::unexpected(
            SeccompError::Install{"filter of " + std::to_string(total) +
                                  " instructions does not fit the 8-bit jump offsets"});

    Program program;
    program.reserve(total);
    program.push_back(load(kOffsetArch));
    const sock_filter arch = BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 0,
                                      static_cast<std::uint8_t>(ret_kill - 2));
    program.push_back(arch);
    program.push_back(load(kOffsetNr));
    // x32 calls carry the x86-64 audit architecture and differ only in this bit of the number:
    // refuse them like any foreign architecture, or they would slip past both lists.
    program.push_back(jump_if(BPF_JSET, __X32_SYSCALL_BIT, 3, ret_kill));
    // clone3 keeps its flags in memory the filter cannot read, so it could create namespaces.
    // ENOSYS makes C libraries fall back to clone, whose flags the argument block checks.
    program.push_back(jump_if(BPF_JEQ, kNrClone3, 4, ret_enosys));
    program.insert(program.end(), arg_block.begin(), arg_block.end());
    program.push_back(load(kOffsetNr));
    for (std::uint32_t number : notify)
        program.push_back(jump_if(BPF_JEQ, number, program.size(), ret_notify));
    for (std::uint32_t number : refuse)
        program.push_back(jump_if(BPF_JEQ, number, program.size(), ret_eperm));
    program.push_back(ret(SECCOMP_RET_ALLOW));
    program.push_back(ret(SECCOMP_RET_USER_NOTIF));
    program.push_back(ret(SECCOMP_RET_ERRNO | EPERM));
    program.push_back(ret(SECCOMP_RET_ERRNO | ENOSYS));
    program.push_back(ret(SECCOMP_RET_KILL_PROCESS));
    return program;
}

long install_raw(const Program& program, unsigned int flags) noexcept {
    sock_fprog header{static_cast<unsigned short>(program.size()),
                      const_cast<sock_filter*>(program.data())};
    return sys::syscall::raw(sys::NR_SECCOMP, SECCOMP_SET_MODE_FILTER, flags,
                             reinterpret_cast<long>(&header));
}

SysResult<UniqueFd> install_filter(const Program& program) noexcept {
    const long ret = install_raw(
        program, SECCOMP_FILTER_FLAG_NEW_LISTENER | SECCOMP_FILTER_FLAG_WAIT_KILLABLE_RECV);
    if (sys::syscall::is_error(ret))
        return std::unexpected(SystemError::from_errno(static_cast<int>(-ret)));
    return UniqueFd(static_cast<int>(ret));
}

}  // namespace vestrion::seccomp::bpf
