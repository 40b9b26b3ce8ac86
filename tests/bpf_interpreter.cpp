#include "tests/bpf_interpreter.hpp"

#include <cstring>

namespace vestrion::test {
namespace {

constexpr std::uint16_t kLoadAbs = BPF_LD | BPF_W | BPF_ABS;
constexpr std::uint16_t kJumpEq = BPF_JMP | BPF_JEQ | BPF_K;
constexpr std::uint16_t kJumpSet = BPF_JMP | BPF_JSET | BPF_K;
constexpr std::uint16_t kJumpAtLeast = BPF_JMP | BPF_JGE | BPF_K;
constexpr std::uint16_t kJumpAlways = BPF_JMP | BPF_JA;
constexpr std::uint16_t kAnd = BPF_ALU | BPF_AND | BPF_K;
constexpr std::uint16_t kReturn = BPF_RET | BPF_K;

std::string at(std::size_t pc) {
    return " at instruction " + std::to_string(pc);
}

}  // namespace

std::expected<std::uint32_t, std::string> run_bpf(std::span<const sock_filter> program,
                                                  const seccomp_data& data,
                                                  std::size_t* steps) {
    std::uint32_t acc = 0;
    std::size_t pc = 0;
    std::size_t executed = 0;
    while (pc < program.size()) {
        ++executed;
        if (steps) *steps = executed;
        const sock_filter& insn = program[pc];
        std::size_t next = pc + 1;
        switch (insn.code) {
            case kLoadAbs:
                // The kernel accepts only aligned 32-bit loads inside the record.
                if (insn.k % 4 != 0 || insn.k + 4 > sizeof data)
                    return std::unexpected("load of offset " + std::to_string(insn.k) + at(pc));
                std::memcpy(&acc, reinterpret_cast<const char*>(&data) + insn.k, 4);
                break;
            case kJumpEq:
                next += acc == insn.k ? insn.jt : insn.jf;
                break;
            case kJumpSet:
                next += (acc & insn.k) != 0 ? insn.jt : insn.jf;
                break;
            case kJumpAtLeast:
                next += acc >= insn.k ? insn.jt : insn.jf;
                break;
            case kJumpAlways:
                next += insn.k;
                break;
            case kAnd:
                acc &= insn.k;
                break;
            case kReturn:
                return insn.k;
            default:
                return std::unexpected("unsupported code " + std::to_string(insn.code) + at(pc));
        }
        if (next > program.size()) return std::unexpected("jump past the end" + at(pc));
        pc = next;
    }
    return std::unexpected(std::string("ran off the end of the program"));
}

}  // namespace vestrion::test
