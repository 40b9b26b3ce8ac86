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
// The kernel's limit on the length of one program (BPF_MAXINSNS).
constexpr std::size_t kMaxInstructions = 4096;

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

// "Return `verdict` when the condition holds": the test skips the return when it does not.
// Every verdict sits next to its test, so no jump of the program is longer than one
// instruction, however long the lists grow; a call that matches nothing runs the same number
// of tests as with shared returns at the end.
void return_if(Program& program, std::uint16_t op, std::uint32_t k, std::uint32_t verdict) {
    program.push_back(BPF_JUMP(BPF_JMP | op | BPF_K, k, 0, 1));
    program.push_back(ret(verdict));
}

}  // namespace

std::expected<Program, SeccompError> assemble_filter(std::span<const std::uint32_t> routed,
                                                     std::span<const std::uint32_t> denied,
                                                     std::span<const sock_filter> arg_block) {
    // Repeats change no verdict. A number both routed and denied is routed, as it would be
    // anyway.
    const std::vector<std::uint32_t> notify = distinct(routed, {});
    const std::vector<std::uint32_t> refuse = distinct(denied, notify);

    Program program;
    program.reserve(10 + arg_block.size() + 2 * (notify.size() + refuse.size()));
    program.push_back(load(kOffsetArch));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0));
    program.push_back(ret(SECCOMP_RET_KILL_PROCESS));
    program.push_back(load(kOffsetNr));
    // x32 calls carry the x86-64 audit architecture and differ only in this bit of the number:
    // refuse them like any foreign architecture, or they would slip past both lists.
    return_if(program, BPF_JSET, __X32_SYSCALL_BIT, SECCOMP_RET_KILL_PROCESS);
    // clone3 keeps its flags in memory the filter cannot read, so it could create namespaces.
    // ENOSYS makes C libraries fall back to clone, whose flags the argument block checks.
    return_if(program, BPF_JEQ, kNrClone3, SECCOMP_RET_ERRNO | ENOSYS);
    program.insert(program.end(), arg_block.begin(), arg_block.end());
    program.push_back(load(kOffsetNr));
    for (std::uint32_t number : notify)
        return_if(program, BPF_JEQ, number, SECCOMP_RET_USER_NOTIF);
    for (std::uint32_t number : refuse)
        return_if(program, BPF_JEQ, number, SECCOMP_RET_ERRNO | EPERM);
    program.push_back(ret(SECCOMP_RET_ALLOW));
    if (program.size() > kMaxInstructions)
        return std::unexpected(SeccompError::Install{
            "filter of " + std::to_string(program.size()) +
            " instructions is longer than the kernel's limit of 4096"});
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
