#include "core/vdso.hpp"

#include <elf.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "core/sys/fd.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::vdso {

namespace {

constexpr std::size_t IMAGE_BYTES = 8192;

VestrionError protection_error(std::string text) {
    return VestrionError(VestrionError::MemoryProtection{std::move(text)});
}

std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "%#llx", static_cast<unsigned long long>(value));
    return text;
}

void put_i64(std::vector<std::uint8_t>& code, std::int64_t value) {
    for (int i = 0; i < 8; ++i) code.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(value) >> (8 * i)));
}

// mov eax, nr; syscall; ret
std::vector<std::uint8_t> plain_stub(std::uint32_t nr) {
    return {0xB8, static_cast<std::uint8_t>(nr), static_cast<std::uint8_t>(nr >> 8),
            static_cast<std::uint8_t>(nr >> 16), static_cast<std::uint8_t>(nr >> 24),
            0x0F, 0x05, 0xC3};
}

template <class T>
bool load(std::span<const std::uint8_t> image, std::uint64_t at, T& out) {
    if (at > image.size() || image.size() - at < sizeof(T)) return false;
    std::memcpy(&out, image.data() + at, sizeof(T));
    return true;
}

struct Function {
    const char* plain;
    const char* vdso_name;
};

}  // namespace

std::expected<std::uint64_t, SystemError> find_vdso_base(std::uint32_t pid) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    if (!maps) return std::unexpected(SystemError::last());
    std::string line;
    while (std::getline(maps, line)) {
        if (!line.ends_with("[vdso]")) continue;
        std::string start = line.substr(0, line.find('-'));
        if (!start.empty() && start[0] == '+') start.erase(0, 1);
        char* end = nullptr;
        errno = 0;
        unsigned long long base = std::strtoull(start.c_str(), &end, 16);
        if (start.empty() || *end != '\0' || errno != 0)
            return std::unexpected(SystemError::with_message(SystemError::Kind::InvalidInput,
                                                             "bad vDSO address: " + start));
        return base;
    }
    return std::unexpected(
        SystemError::with_message(SystemError::Kind::Other, "vDSO mapping not found"));
}

std::vector<ElfSymbol> dynamic_symbols(std::span<const std::uint8_t> image) {
    Elf64_Ehdr eh;
    if (!load(image, 0, eh) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
        eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_shentsize != sizeof(Elf64_Shdr))
        return {};
    std::vector<ElfSymbol> symbols;
    for (std::uint16_t i = 0; i < eh.e_shnum; ++i) {
        Elf64_Shdr sh;
        if (!load(image, eh.e_shoff + std::uint64_t{i} * sizeof(Elf64_Shdr), sh)) return {};
        if (sh.sh_type != SHT_DYNSYM || sh.sh_entsize != sizeof(Elf64_Sym)) continue;
        Elf64_Shdr strings;
        if (sh.sh_link >= eh.e_shnum ||
            !load(image, eh.e_shoff + std::uint64_t{sh.sh_link} * sizeof(Elf64_Shdr), strings))
            return {};
        for (std::uint64_t at = 0; at + sizeof(Elf64_Sym) <= sh.sh_size; at += sizeof(Elf64_Sym)) {
            Elf64_Sym sym;
            if (!load(image, sh.sh_offset + at, sym)) break;
            if (sym.st_value == 0 || sym.st_name >= strings.sh_size) continue;
            std::uint64_t name_at = strings.sh_offset + sym.st_name;
            if (name_at >= image.size()) continue;
            std::uint64_t limit = std::min<std::uint64_t>(image.size(), strings.sh_offset + strings.sh_size);
            auto* begin = reinterpret_cast<const char*>(image.data() + name_at);
            auto* nul = static_cast<const char*>(std::memchr(begin, 0, limit - name_at));
            if (!nul || nul == begin) continue;
            symbols.push_back({std::string(begin, nul), sym.st_value, sym.st_size});
        }
    }
    return symbols;
}

std::vector<std::uint8_t> clock_gettime_stub(std::optional<std::int64_t> offset) {
    if (!offset) return plain_stub(SYS_clock_gettime);
    std::vector<std::uint8_t> code{
        0x57,                          //  0: push rdi
        0x56,                          //  1: push rsi
        0xB8, 0xE4, 0x00, 0x00, 0x00,  //  2: mov eax, 228
        0x0F, 0x05,                    //  7: syscall
        0x5E,                          //  9: pop rsi
        0x5F,                          // 10: pop rdi
        0x48, 0x85, 0xC0,              // 11: test rax, rax   ; failed: nothing to shift
        0x75, 0x1B,                    // 14: jne done
        0x48, 0x85, 0xF6,              // 16: test rsi, rsi
        0x74, 0x16,                    // 19: je done
        0x85, 0xFF,                    // 21: test edi, edi   ; CLOCK_REALTIME
        0x74, 0x05,                    // 23: je add
        0x83, 0xFF, 0x05,              // 25: cmp edi, 5      ; CLOCK_REALTIME_COARSE
        0x75, 0x0D,                    // 28: jne done
        0x48, 0xB9,                    // 30: add: mov rcx, offset
    };
    put_i64(code, *offset);
    code.insert(code.end(), {
        0x48, 0x01, 0x0E,  // 40: add [rsi], rcx
        0xC3,              // 43: done: ret
    });
    return code;
}

std::vector<std::uint8_t> gettimeofday_stub(std::optional<std::int64_t> offset) {
    if (!offset) return plain_stub(SYS_gettimeofday);
    std::vector<std::uint8_t> code{
        0x57,                          //  0: push rdi
        0x56,                          //  1: push rsi
        0xB8, 0x60, 0x00, 0x00, 0x00,  //  2: mov eax, 96
        0x0F, 0x05,                    //  7: syscall
        0x5E,                          //  9: pop rsi
        0x5F,                          // 10: pop rdi
        0x48, 0x85, 0xC0,              // 11: test rax, rax
        0x75, 0x12,                    // 14: jne done
        0x48, 0x85, 0xFF,              // 16: test rdi, rdi   ; only the time zone asked for
        0x74, 0x0D,                    // 19: je done
        0x48, 0xB9,                    // 21: mov rcx, offset
    };
    put_i64(code, *offset);
    code.insert(code.end(), {
        0x48, 0x01, 0x0F,  // 31: add [rdi], rcx
        0xC3,              // 34: done: ret
    });
    return code;
}

std::vector<std::uint8_t> time_stub(std::optional<std::int64_t> offset) {
    if (!offset) return plain_stub(SYS_time);
    std::vector<std::uint8_t> code{
        0x57,                                // 0: push rdi
        0xB8, 0xC9, 0x00, 0x00, 0x00,        // 1: mov eax, 201
        0x0F, 0x05,                          // 6: syscall
        0x5F,                                // 8: pop rdi
        0x48, 0x3D, 0x01, 0xF0, 0xFF, 0xFF,  // 9: cmp rax, -4095
        0x73, 0x15,                          // 15: jae done      ; an error number
        0x48, 0xB9,                          // 17: mov rcx, offset
    };
    put_i64(code, *offset);
    code.insert(code.end(), {
        0x48, 0x01, 0xC8,  // 27: add rax, rcx
        0x48, 0x85, 0xFF,  // 30: test rdi, rdi
        0x74, 0x03,        // 33: je done
        0x48, 0x89, 0x07,  // 35: mov [rdi], rax     ; the kernel stored the host's seconds
        0xC3,              // 38: done: ret
    });
    return code;
}

std::vector<std::uint8_t> getrandom_stub() {
    return {
        0x49, 0x83, 0xF8, 0xFF,                    //  0: cmp r8, -1     ; the C library's query
        0x74, 0x08,                                //  4: je nosys
        0xB8, 0x3E, 0x01, 0x00, 0x00,              //  6: mov eax, 318   ; getrandom(buf, len, flags)
        0x0F, 0x05,                                // 11: syscall
        0xC3,                                      // 13: ret
        0x48, 0xC7, 0xC0, 0xDA, 0xFF, 0xFF, 0xFF,  // 14: nosys: mov rax, -ENOSYS
        0xC3,                                      // 21: ret
    };
}

namespace {

struct Stub {
    Function function;
    std::vector<std::uint8_t> code;
};

std::vector<Stub> stubs_for(std::optional<std::int64_t> offset, bool seeded) {
    std::vector<Stub> stubs{
        {{"clock_gettime", "__vdso_clock_gettime"}, clock_gettime_stub(offset)},
        {{"gettimeofday", "__vdso_gettimeofday"}, gettimeofday_stub(offset)},
        {{"time", "__vdso_time"}, time_stub(offset)},
    };
    // Unpatched, it answers from a key it fetched once and expands itself.
    if (seeded) stubs.push_back({{"getrandom", "__vdso_getrandom"}, getrandom_stub()});
    return stubs;
}

const ElfSymbol* lookup(const std::vector<ElfSymbol>& symbols, const Function& f) {
    const ElfSymbol* found = nullptr;
    for (const char* name : {f.plain, f.vdso_name}) {
        // A later symbol of the same name replaces an earlier one.
        for (const ElfSymbol& s : symbols)
            if (s.name == name) found = &s;
        if (found) return found;
    }
    return nullptr;
}

struct Patched {
    std::uint64_t offset;  // in the image
    std::size_t stub;      // which of the stubs
};

// Reads the image, writes every stub; the first function patched.
Result<std::optional<Patched>> patch_at(std::uint32_t pid, std::uint64_t base,
                                              const std::vector<Stub>& stubs) {
    const std::string mem = "/proc/" + std::to_string(pid) + "/mem";
    UniqueFd fd(::open(mem.c_str(), O_RDWR | O_CLOEXEC));
    if (!fd)
        return std::unexpected(protection_error("failed to open " + mem + ": " +
                                                SystemError::last().message()));
    std::vector<std::uint8_t> image(IMAGE_BYTES);
    if (::pread(fd.get(), image.data(), image.size(), static_cast<off_t>(base)) !=
        static_cast<ssize_t>(image.size()))
        return std::unexpected(protection_error("failed to read vDSO memory: " +
                                                SystemError::last().message()));
    std::vector<ElfSymbol> symbols = dynamic_symbols(image);
    std::optional<Patched> first;
    for (std::size_t i = 0; i < stubs.size(); ++i) {
        const Stub& stub = stubs[i];
        const ElfSymbol* symbol = lookup(symbols, stub.function);
        if (!symbol) continue;
        std::uint64_t address = base + symbol->value;
        if (stub.code.size() > symbol->size)
            return std::unexpected(protection_error(
                std::string("the ") + stub.function.plain + " stub of " +
                std::to_string(stub.code.size()) + " bytes does not fit its " +
                std::to_string(symbol->size) + " at " + hex(address)));
        if (::pwrite(fd.get(), stub.code.data(), stub.code.size(), static_cast<off_t>(address)) !=
            static_cast<ssize_t>(stub.code.size()))
            return std::unexpected(protection_error(std::string("failed to write ") +
                                                    stub.function.plain + " stub at " +
                                                    hex(address) + ": " +
                                                    SystemError::last().message()));
        if (!first) first = Patched{symbol->value, i};
    }
    return first;
}

}  // namespace

Result<void> patch(std::uint32_t pid, std::optional<std::int64_t> offset, bool seeded) {
    auto base = find_vdso_base(pid);
    if (!base)
        return std::unexpected(
            protection_error("failed to find vDSO base: " + base.error().message()));
    auto patched = patch_at(pid, *base, stubs_for(offset, seeded));
    if (!patched) return std::unexpected(std::move(patched.error()));
    return {};
}

Result<void> check_patchable(std::uint32_t pid) {
    const std::string mem = "/proc/" + std::to_string(pid) + "/mem";
    UniqueFd fd(::open(mem.c_str(), O_RDWR | O_CLOEXEC));
    if (fd) return {};
    return std::unexpected(protection_error(
        "a start time or a random seed needs the vDSO of the command patched, but " + mem +
        " does not open for writing: " + SystemError::last().message() +
        " (Yama's ptrace_scope 2 or 3 refuses it to a caller without CAP_SYS_PTRACE)"));
}

Result<void> Patcher::ensure(std::uint32_t tid) {
    if (probe_offset_) {
        if (auto known = base_by_tid_.find(tid); known != base_by_tid_.end()) {
            std::uint8_t bytes[8];
            iovec local{bytes, sizeof bytes};
            iovec remote{reinterpret_cast<void*>(known->second + *probe_offset_), sizeof bytes};
            if (::process_vm_readv(static_cast<pid_t>(tid), &local, 1, &remote, 1, 0) == 8 &&
                std::memcmp(bytes, probe_bytes_.data(), 8) == 0)
                return {};
        }
    }
    // Before its exec the child runs on the caller's memory: its vDSO is the caller's own.
    if (sys::syscall::raw(SYS_kcmp, ::getpid(), static_cast<long>(tid), KCMP_VM) == 0) return {};
    auto base = find_vdso_base(tid);
    if (!base)
        return std::unexpected(
            protection_error("failed to find vDSO base: " + base.error().message()));
    std::vector<Stub> stubs = stubs_for(offset_, seeded_);
    auto first = patch_at(tid, *base, stubs);
    if (!first) return std::unexpected(std::move(first.error()));
    if (!*first) return {};  // nothing to patch in this image
    // Every stub is at least 8 bytes long: its first 8 tell a patched process.
    probe_offset_ = (*first)->offset;
    const auto& code = stubs[(*first)->stub].code;
    probe_bytes_.assign(code.begin(), code.begin() + 8);
    if (base_by_tid_.size() > 4096) base_by_tid_.clear();
    base_by_tid_[tid] = *base;
    return {};
}

}  // namespace vestrion::vdso
