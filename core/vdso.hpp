// The child's vDSO: its time functions (and, with a seed, its getrandom) never enter the kernel,
// so neither the filter nor the supervisor would see them. They are overwritten with stubs that
// make the system calls, adding the clock offset where the child's realtime clock is shifted.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/error.hpp"

namespace vestrion::vdso {

// The start of the process's "[vdso]" mapping.
std::expected<std::uint64_t, SystemError> find_vdso_base(std::uint32_t pid);

// One dynamic symbol of an ELF image.
struct ElfSymbol {
    std::string name;
    std::uint64_t value = 0;
    std::uint64_t size = 0;
};
// The dynamic symbols of an image; none for an image that does not parse.
std::vector<ElfSymbol> dynamic_symbols(std::span<const std::uint8_t> image);

// The machine code written over one function.
std::vector<std::uint8_t> clock_gettime_stub(std::optional<std::int64_t> offset);
std::vector<std::uint8_t> gettimeofday_stub(std::optional<std::int64_t> offset);
std::vector<std::uint8_t> time_stub(std::optional<std::int64_t> offset);
std::vector<std::uint8_t> getrandom_stub();

// Patches the vDSO of the process of `pid`: the three time functions, with the offset when one
// is given, and getrandom when `seeded`. A stub longer than its function fails the patch.
Result<void> patch(std::uint32_t pid, std::optional<std::int64_t> offset, bool seeded);

// Whether the process's memory opens for writing, which a patch needs (Yama's ptrace_scope 2
// refuses it to a caller without CAP_SYS_PTRACE); the error names the cause.
Result<void> check_patchable(std::uint32_t pid);

// Keeps one sandbox's processes patched: each is patched at its first routed call after an
// exec (which maps a fresh vDSO), found out from its own bytes at the first patched function.
class Patcher {
  public:
    Patcher(std::optional<std::int64_t> offset, bool seeded) : offset_(offset), seeded_(seeded) {}

    // Nothing for a process already patched, or one that still runs on the caller's memory
    // (whose vDSO is the caller's own); an error when the patch cannot be made.
    Result<void> ensure(std::uint32_t tid);

  private:
    std::optional<std::int64_t> offset_;
    bool seeded_;
    std::optional<std::uint64_t> probe_offset_;  // of the first patched function in the image
    std::vector<std::uint8_t> probe_bytes_;       // the first bytes of its stub
    std::unordered_map<std::uint32_t, std::uint64_t> base_by_tid_;
};

}  // namespace vestrion::vdso
