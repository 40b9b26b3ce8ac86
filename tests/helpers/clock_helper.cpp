// Clock and randomness calls that the tests make from inside a sandbox, chosen by argv[1]. It is
// also built statically, for a program that opens nothing before its main.
#include <elf.h>
#include <sys/auxv.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

void print_hex(const unsigned char* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) std::printf("%02x", bytes[i]);
}

// getrandom N M ...: one call per count, each printed in hex on a line of its own.
int getrandom_calls(int argc, char** argv) {
    for (int i = 2; i < argc; ++i) {
        std::size_t n = std::strtoul(argv[i], nullptr, 10);
        unsigned char buf[4096];
        long got = syscall(SYS_getrandom, buf, n, 0);
        if (got < 0) {
            std::printf("%s\n", strerrorname_np(errno));
            continue;
        }
        print_hex(buf, static_cast<std::size_t>(got));
        std::printf("\n");
    }
    return 0;
}

// getrandom-errors: a buffer that cannot be written, then flags the kernel refuses.
int getrandom_errors() {
    unsigned char buf[8];
    long bad_buffer = syscall(SYS_getrandom, reinterpret_cast<void*>(8), sizeof buf, 0);
    int first = errno;
    long bad_flags = syscall(SYS_getrandom, buf, sizeof buf, 0x80);
    std::printf("%s %s\n", bad_buffer < 0 ? strerrorname_np(first) : "ok",
                bad_flags < 0 ? strerrorname_np(errno) : "ok");
    return 0;
}

// Finds a function of the vDSO by its name, as a C library does.
void* vdso_function(const char* name) {
    auto* eh = reinterpret_cast<const Elf64_Ehdr*>(getauxval(AT_SYSINFO_EHDR));
    if (!eh) return nullptr;
    auto base = reinterpret_cast<const unsigned char*>(eh);
    auto* sections = reinterpret_cast<const Elf64_Shdr*>(base + eh->e_shoff);
    const Elf64_Phdr* phdrs = reinterpret_cast<const Elf64_Phdr*>(base + eh->e_phoff);
    std::uintptr_t load = 0;
    for (int i = 0; i < eh->e_phnum; ++i)
        if (phdrs[i].p_type == PT_LOAD) {
            load = reinterpret_cast<std::uintptr_t>(base) - phdrs[i].p_vaddr;
            break;
        }
    for (int i = 0; i < eh->e_shnum; ++i) {
        if (sections[i].sh_type != SHT_DYNSYM) continue;
        auto* syms = reinterpret_cast<const Elf64_Sym*>(base + sections[i].sh_offset);
        auto* names = reinterpret_cast<const char*>(base + sections[sections[i].sh_link].sh_offset);
        for (std::size_t k = 0; k < sections[i].sh_size / sizeof(Elf64_Sym); ++k)
            if (syms[k].st_value && std::strcmp(names + syms[k].st_name, name) == 0)
                return reinterpret_cast<void*>(load + syms[k].st_value);
    }
    return nullptr;
}

// vdso-getrandom N: N bytes through the vDSO's getrandom, used as a C library uses it.
int vdso_getrandom(std::size_t n) {
    struct Params {
        unsigned size_of_opaque_state, mmap_prot, mmap_flags, reserved[13];
    } params{};
    using Fn = long (*)(void*, std::size_t, unsigned, void*, std::size_t);
    auto fn = reinterpret_cast<Fn>(vdso_function("__vdso_getrandom"));
    unsigned char buf[4096];
    long got;
    if (!fn) {
        got = syscall(SYS_getrandom, buf, n, 0);  // a kernel without it
    } else if (fn(nullptr, 0, 0, &params, ~0UL) != 0) {
        got = syscall(SYS_getrandom, buf, n, 0);  // the library's fallback
    } else {
        void* state = mmap(nullptr, 4096, params.mmap_prot, params.mmap_flags, -1, 0);
        if (state == MAP_FAILED) return 2;
        got = fn(buf, n, 0, state, params.size_of_opaque_state);
    }
    if (got < 0) return 3;
    print_hex(buf, static_cast<std::size_t>(got));
    std::printf("\n");
    return 0;
}

// year: the year each clock function gives, and whether they agree.
int years() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    timeval tv{};
    gettimeofday(&tv, nullptr);
    time_t t = time(nullptr);
    time_t stored = 0;
    time(&stored);
    tm parts{};
    gmtime_r(&ts.tv_sec, &parts);
    std::printf("%d %s %s %s\n", parts.tm_year + 1900,
                std::labs(tv.tv_sec - ts.tv_sec) <= 1 ? "same" : "gettimeofday-differs",
                std::labs(t - ts.tv_sec) <= 1 ? "same" : "time-differs",
                stored == t || stored == t + 1 ? "stored" : "not-stored");
    return 0;
}

// stubs: the calls a C program makes in odd ways must not crash it.
int stubs() {
    long bad = syscall(SYS_clock_gettime, CLOCK_REALTIME, reinterpret_cast<void*>(8));
    int bad_errno = errno;
    using ClockFn = int (*)(clockid_t, timespec*);
    auto vdso_clock = reinterpret_cast<ClockFn>(vdso_function("__vdso_clock_gettime"));
    int vdso_bad = vdso_clock ? vdso_clock(CLOCK_REALTIME, reinterpret_cast<timespec*>(8)) : -14;
    struct timezone tz{};
    using TimeOfDayFn = int (*)(timeval*, struct timezone*);
    auto vdso_time_of_day = reinterpret_cast<TimeOfDayFn>(vdso_function("__vdso_gettimeofday"));
    int zone_only = vdso_time_of_day ? vdso_time_of_day(nullptr, &tz) : -1;
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    std::printf("%s %d %d %lld\n", bad < 0 ? strerrorname_np(bad_errno) : "ok", vdso_bad, zone_only,
                static_cast<long long>(mono.tv_sec));
    return 0;
}

// abs-sleep-loop MS COUNT: sleeps COUNT times to an absolute realtime that grows by MS each
// pass; prints "kept" when the request always held what the program wrote.
int abs_sleep_loop(long ms, int count) {
    timespec next{};
    clock_gettime(CLOCK_REALTIME, &next);
    bool kept = true;
    for (int i = 0; i < count; ++i) {
        next.tv_nsec += ms * 1'000'000;
        while (next.tv_nsec >= 1'000'000'000) {
            next.tv_nsec -= 1'000'000'000;
            ++next.tv_sec;
        }
        timespec wrote = next;
        int rc = clock_nanosleep(CLOCK_REALTIME, TIMER_ABSTIME, &next, nullptr);
        if (rc != 0) {
            std::printf("%s\n", strerrorname_np(rc));
            return 0;
        }
        if (next.tv_sec != wrote.tv_sec || next.tv_nsec != wrote.tv_nsec) kept = false;
    }
    std::printf("%s\n", kept ? "kept" : "changed");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::string name = argv[1];
    if (name == "getrandom") return getrandom_calls(argc, argv);
    if (name == "vdso-getrandom" && argc > 2) return vdso_getrandom(std::strtoul(argv[2], nullptr, 10));
    if (name == "getrandom-errors") return getrandom_errors();
    if (name == "year") return years();
    if (name == "stubs") return stubs();
    if (name == "abs-sleep-loop" && argc > 3)
        return abs_sleep_loop(std::atol(argv[2]), std::atoi(argv[3]));
    std::fprintf(stderr, "unknown case %s\n", argv[1]);
    return 2;
}
