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
// The search stops halving at this many numbers and compares them one by one: fewer halvings
// make a shorter program, which installs faster, for a few more comparisons per call.
constexpr std::size_t kBucket = 8;
// The longest jump a conditional instruction holds.
constexpr std::size_t kMaxSkip = 255;

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
void return_if(Program& program, std::uint16_t op, std::uint32_t k, std::uint32_t verdict) {
    program.push_back(BPF_JUMP(BPF_JMP | op | BPF_K, k, 0, 1));
    program.push_back(ret(verdict));
}

// Falls into the next `length` instructions when the condition holds, else jumps over them;
// a jump too long for the test goes through an unconditional one.
void enter_if(Program& program, std::uint16_t op, std::uint32_t k, std::size_t length) {
    if (length <= kMaxSkip) {
        program.push_back(BPF_JUMP(BPF_JMP | op | BPF_K, k, 0, static_cast<std::uint8_t>(length)));
    } else {
        program.push_back(BPF_JUMP(BPF_JMP | op | BPF_K, k, 1, 0));
        program.push_back(BPF_STMT(BPF_JMP | BPF_JA, static_cast<std::uint32_t>(length)));
    }
}

// One number the program names: its argument checks, then its verdict.
struct Leaf {
    std::uint32_t nr;
    Program code;
};

// Compares the number with each leaf in turn; a number none names is allowed.
Program compare_each(std::span<const Leaf> leaves) {
    Program out;
    for (const Leaf& leaf : leaves) {
        enter_if(out, BPF_JEQ, leaf.nr, leaf.code.size());
        out.insert(out.end(), leaf.code.begin(), leaf.code.end());
    }
    out.push_back(ret(SECCOMP_RET_ALLOW));
    return out;
}

// The leaves sorted by number, halved until few are left.
Program search(std::span<const Leaf> leaves) {
    if (leaves.size() <= kBucket) return compare_each(leaves);
    const std::size_t half = leaves.size() / 2;
    const Program low = search(leaves.first(half));
    const Program high = search(leaves.subspan(half));
    Program out;
    enter_if(out, BPF_JGE, leaves[half].nr, high.size());
    out.insert(out.end(), high.begin(), high.end());
    out.insert(out.end(), low.begin(), low.end());
    return out;
}

// Whether running `code` can leave its end: its last instruction does not return, or a jump
// lands just past it.
bool falls_through(const Program& code) {
    if (code.empty() || BPF_CLASS(code.back().code) != BPF_RET) return true;
    for (std::size_t i = 0; i < code.size(); ++i) {
        const sock_filter& insn = code[i];
        if (BPF_CLASS(insn.code) != BPF_JMP) continue;
        if (BPF_OP(insn.code) == BPF_JA) {
            if (i + 1 + insn.k >= code.size()) return true;
        } else if (i + 1 + insn.jt >= code.size() || i + 1 + insn.jf >= code.size()) {
            return true;
        }
    }
    return false;
}

// Every number that has a verdict of its own or argument checks, with its code, by number.
std::vector<Leaf> leaves_of(std::span<const std::uint32_t> notify,
                            std::span<const std::uint32_t> refuse,
                            std::span<const ArgCheck> checks) {
    std::vector<std::uint32_t> numbers(notify.begin(), notify.end());
    numbers.insert(numbers.end(), refuse.begin(), refuse.end());
    numbers.push_back(kNrClone3);
    for (const ArgCheck& check : checks) numbers.push_back(check.nr);
    std::ranges::sort(numbers);
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());

    std::vector<Leaf> leaves;
    leaves.reserve(numbers.size());
    for (std::uint32_t number : numbers) {
        Leaf leaf{number, {}};
        // clone3 keeps its flags in memory the filter cannot read, so it could create
        // namespaces. ENOSYS makes C libraries fall back to clone, whose flags are checked.
        if (number == kNrClone3) {
            leaf.code.push_back(ret(SECCOMP_RET_ERRNO | ENOSYS));
            leaves.push_back(std::move(leaf));
            continue;
        }
        for (const ArgCheck& check : checks) {
            if (check.nr != number || check.body.empty()) continue;
            // A check that follows another finds the number in the accumulator again.
            if (!leaf.code.empty() && check.body.front().code != (BPF_LD | BPF_W | BPF_ABS))
                leaf.code.push_back(load(kOffsetNr));
            leaf.code.insert(leaf.code.end(), check.body.begin(), check.body.end());
        }
        if (!leaf.code.empty() && !falls_through(leaf.code)) {
            leaves.push_back(std::move(leaf));
            continue;
        }
        const bool routed = std::ranges::find(notify, number) != notify.end();
        const bool denied = std::ranges::find(refuse, number) != refuse.end();
        leaf.code.push_back(ret(routed   ? SECCOMP_RET_USER_NOTIF
                                : denied ? SECCOMP_RET_ERRNO | EPERM
                                         : SECCOMP_RET_ALLOW));
        leaves.push_back(std::move(leaf));
    }
    return leaves;
}

}  // namespace

std::expected<Program, SeccompError> assemble_filter(std::span<const std::uint32_t> routed,
                                                     std::span<const std::uint32_t> denied,
                                                     std::span<const ArgCheck> checks) {
    // Repeats change no verdict. A number both routed and denied is routed, as it would be
    // anyway.
    const std::vector<std::uint32_t> notify = distinct(routed, {});
    const std::vector<std::uint32_t> refuse = distinct(denied, notify);

    Program program;
    program.push_back(load(kOffsetArch));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0));
    program.push_back(ret(SECCOMP_RET_KILL_PROCESS));
    program.push_back(load(kOffsetNr));
    // x32 calls carry the x86-64 audit architecture and differ only in this bit of the number:
    // refuse them like any foreign architecture, or they would slip past both lists.
    return_if(program, BPF_JSET, __X32_SYSCALL_BIT, SECCOMP_RET_KILL_PROCESS);
    const Program tree = search(leaves_of(notify, refuse, checks));
    program.insert(program.end(), tree.begin(), tree.end());
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
