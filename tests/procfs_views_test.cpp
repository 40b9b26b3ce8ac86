// What a sandboxed command sees of /proc, its host name and its CPU set: the texts themselves,
// then real commands reading them through the supervisor.
#include "core/procfs_views.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

#include "core/sandbox.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

// --- The texts ---

TEST(ProcViews, CpuinfoHasOneBlockPerCpuSeparatedByAnEmptyLine) {
    EXPECT_EQ(procfs::generate_cpuinfo(0), "");
    EXPECT_EQ(procfs::generate_cpuinfo(2),
              "processor\t: 0\nmodel name\t: Virtual CPU\ncpu MHz\t\t: 2400.000\n\n"
              "processor\t: 1\nmodel name\t: Virtual CPU\ncpu MHz\t\t: 2400.000\n");
}

struct MeminfoCase {
    std::uint64_t limit, used;
    const char* text;
};

TEST(ProcViews, MeminfoShowsTheLimitAndWhatRemainsOfIt) {
    constexpr std::uint64_t GiB = 1ull << 30, MiB = 1ull << 20;
    for (const MeminfoCase& c : {
             MeminfoCase{GiB, 300 * MiB,
                         "MemTotal:       1048576 kB\nMemFree:        741376 kB\n"
                         "MemAvailable:   741376 kB\n"},
             MeminfoCase{
                 GiB, 2 * GiB,
                 "MemTotal:       1048576 kB\nMemFree:        0 kB\nMemAvailable:   0 kB\n"},
             // Divisions truncate, each on its own.
             MeminfoCase{3000, 1500,
                         "MemTotal:       2 kB\nMemFree:        1 kB\nMemAvailable:   1 kB\n"},
         })
        EXPECT_EQ(procfs::generate_meminfo(c.limit, c.used), c.text) << c.limit << " " << c.used;
}

TEST(ProcViews, SensitivePathsAreTheEntriesAndWhatLiesBelowThem) {
    for (const char* path : {"/proc/kcore", "/proc/keys", "/proc/key-users", "/proc/sysrq-trigger",
                             "/sys/firmware", "/sys/firmware/efi/vars", "/sys/kernel/security/lsm"})
        EXPECT_TRUE(procfs::is_sensitive_proc(path)) << path;
    for (const char* path :
         {"/proc/keysx", "/proc/key", "/proc", "/sys/firmwarex", "/sys/kernel", "/proc/self/keys"})
        EXPECT_FALSE(procfs::is_sensitive_proc(path)) << path;
}

TEST(ProcViews, TcpTableKeepsItsHeaderAndTheBoundPortsOnly) {
    const std::string table =
        "  sl  local_address rem_address   st\r\n"
        "   0: 0100007F:1F90 00000000:0000 0A\n"
        "   1: 00000000:0016 00000000:0000 0A\n"
        "   2: 0100007F:+1F91 00000000:0000 0A\n"
        "   3: 0100007F:ZZZZ 00000000:0000 0A\n"
        "   4:\n"
        "   5: 0100007F:1F90 0100007F:D431 01";
    EXPECT_EQ(procfs::filter_tcp_table(table, {}), "  sl  local_address rem_address   st\n");
    EXPECT_EQ(procfs::filter_tcp_table(table, {8080, 8081}),
              "  sl  local_address rem_address   st\n"
              "   0: 0100007F:1F90 00000000:0000 0A\n"
              "   2: 0100007F:+1F91 00000000:0000 0A\n"
              "   5: 0100007F:1F90 0100007F:D431 01\n");
}

// --- Through a sandbox ---

struct Ran {
    std::string out, err;
    ExitStatus status;
};

Ran run(PolicyBuilder builder, Args argv) {
    auto policy = std::move(builder).build();
    EXPECT_TRUE(policy.has_value()) << policy.error().message();
    if (!policy) return {};
    auto result = Sandbox::run(*policy, argv);
    EXPECT_TRUE(result.has_value()) << result.error().message();
    if (!result) return {};
    return {result->stdout_bytes.value_or(""), result->stderr_bytes.value_or(""), result->status};
}

Ran sh(PolicyBuilder builder, const std::string& script) {
    return run(std::move(builder), Args{"sh", "-c", script});
}

PolicyBuilder readable() {
    return Policy::builder().fs_read("/");
}

TEST(ProcViewsRun, TheCpuCountReachesCpuinfoNprocAndTheMask) {
    Ran r = sh(readable().num_cpus(2), "cat /proc/cpuinfo; nproc");
    EXPECT_EQ(r.out, procfs::generate_cpuinfo(2) + "2\n") << r.err;

    struct Case {
        const char* size;
        bool bad;
        std::string expected;
    };
    for (const Case& c :
         {Case{"8", false, "8 03 00 00 00 00 00 00 00\n"},
          // The kernel's own refusals of the size.
          Case{"4", false, "EINVAL\n"}, Case{"12", false, "EINVAL\n"}, Case{"0", false, "EINVAL\n"},
          // Never the host's mask, never more than the kernel's own size.
          Case{"8", true, "EFAULT\n"}}) {
        Ran a = run(readable().num_cpus(2),
                    Args{VESTRION_TEST_HELPER, "affinity", c.size, c.bad ? "bad" : "good"});
        EXPECT_EQ(a.out, c.expected) << c.size << " " << a.err;
    }
    Ran big = run(readable().num_cpus(3), Args{VESTRION_TEST_HELPER, "affinity", "4096"});
    std::istringstream fields(big.out);
    long size = 0;
    std::string first;
    fields >> size >> first;
    EXPECT_GE(size, 8);
    EXPECT_LT(size, 4096) << "answered with the size asked, not the mask's own";
    EXPECT_EQ(first, "07");
}

TEST(ProcViewsRun, MeminfoShowsTheMemoryLimit) {
    Ran r = sh(readable().max_memory(1ull << 30), "head -n 1 /proc/meminfo");
    EXPECT_EQ(r.out, "MemTotal:       1048576 kB\n") << r.err;
}

TEST(ProcViewsRun, TcpTablesShowOnlyTheSandboxsPorts) {
    // The header alone, by every name that leads to the tables.
    Ran r = sh(readable().port_remap(true),
               "for t in /proc/net/tcp /proc/self/net/tcp6 /proc/thread-self/net/tcp; do "
               "wc -l < $t; done");
    EXPECT_EQ(r.out, "1\n1\n1\n") << r.err;
}

TEST(ProcViewsRun, ViewsAreFilesOfTheirOwnWithTheCallersCloseOnExec) {
    // exec 3< keeps the descriptor across the exec of cat; the view stays readable there.
    Ran r = sh(readable().num_cpus(1), "exec 3</proc/cpuinfo; cat <&3 | head -n 1");
    EXPECT_EQ(r.out, "processor\t: 0\n") << r.err;
}

TEST(ProcViewsRun, SensitivePathsAreRefusedHoweverWritten) {
    // Without a view they open: the refusal is the supervisor's.
    const std::vector<std::string> paths{"/proc/keys", "/proc//keys", "/proc/./keys",
                                         "/proc/self/../keys", "/proc/keysx"};
    Args open_them{VESTRION_TEST_HELPER, "open-paths", "openat"};
    open_them.insert(open_them.end(), paths.begin(), paths.end());
    EXPECT_EQ(run(readable(), open_them).out, "ok ok ok ok ENOENT\n");
    EXPECT_EQ(run(readable().isolate_pids(true), open_them).out,
              "EACCES EACCES EACCES EACCES ENOENT\n");
    // Relative to a working directory in /proc.
    Ran r = sh(readable().max_memory(1ull << 30), "cd /proc && cat keys >/dev/null && echo read");
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Permission denied"), std::string::npos) << r.err;
}

// The numeric entries an `ls /proc` of the sandbox shows, after the shell's pid line.
void expect_only_the_sandbox(const Ran& r) {
    std::istringstream lines(r.out);
    std::string shell;
    std::getline(lines, shell);
    std::set<std::string> numeric;
    for (std::string name; std::getline(lines, name);)
        if (!name.empty() && name.find_first_not_of("0123456789") == std::string::npos)
            numeric.insert(name);
    EXPECT_TRUE(numeric.contains(shell)) << r.out << "\nstderr: " << r.err;
    // The shell and the ls it started, which never forks itself.
    EXPECT_EQ(numeric.size(), 2u) << r.out;
    EXPECT_FALSE(numeric.contains("1"));
    EXPECT_FALSE(numeric.contains(std::to_string(::getpid())));
    EXPECT_NE(r.out.find("\nself\n"), std::string::npos) << "named entries stay";
}

TEST(ProcViewsRun, IsolatedPidsShowOnlyTheSandboxsProcesses) {
    expect_only_the_sandbox(sh(readable().isolate_pids(true), "echo $$; ls -1 /proc; true"));
}

TEST(ProcViewsRun, IsolatedPidsHoldAfterACopyOnWriteChange) {
    test::TempDir work, store;
    fs::create_directory(work / "w");
    auto policy = readable().isolate_pids(true).workdir(work / "w").fs_storage(store / "s");
    std::string script =
        "cd " + (work / "w").native() + " && touch new && echo $$; ls -1 /proc; true";
    expect_only_the_sandbox(sh(std::move(policy), script));
}

TEST(ProcViewsRun, SortedListingsInByteOrder) {
    test::TempDir dir;
    fs::create_directory(dir / "d");
    for (const char* name : {"b", "a", "C"}) test::write_file(dir / "d" / name, "");
    EXPECT_EQ(sh(readable().deterministic_dirs(true), "ls -f " + (dir / "d").native()).out,
              "C\na\nb\n");
    // Together with the /proc view, which leaves other directories to the sorted listing.
    EXPECT_EQ(
        sh(readable().deterministic_dirs(true).isolate_pids(true), "ls -f " + (dir / "d").native())
            .out,
        "C\na\nb\n");
    // /proc itself, filtered and sorted.
    std::string proc =
        sh(readable().deterministic_dirs(true).isolate_pids(true), "ls -f /proc").out;
    std::vector<std::string> names;
    std::istringstream lines(proc);
    for (std::string name; std::getline(lines, name);) names.push_back(name);
    EXPECT_TRUE(std::ranges::is_sorted(names)) << proc;
    EXPECT_NE(std::ranges::find(names, "self"), names.end()) << proc;
    // A directory of the copy-on-write layer after a change.
    test::TempDir store;
    auto cow = readable().deterministic_dirs(true).workdir(dir / "d").fs_storage(store / "s");
    EXPECT_EQ(sh(std::move(cow), "cd " + (dir / "d").native() + " && touch B && ls -f .").out,
              "B\nC\na\nb\n");
}

TEST(ProcViewsRun, HostNameReachesUnameAndEtcHostname) {
    for (bool isolated : {false, true}) {
        Ran r =
            sh(readable().hostname("box").isolate_pids(isolated), "uname -n; cat /etc/hostname");
        EXPECT_EQ(r.out, "box\nbox\n") << isolated << r.err;
    }
    // A long name: uname holds its first 64 bytes, the file all of it.
    std::string name(70, 'h');
    Ran r = sh(readable().hostname(name), "uname -n; cat /etc/hostname");
    EXPECT_EQ(r.out, name.substr(0, 64) + "\n" + name + "\n") << r.err;
    EXPECT_EQ(run(readable().hostname("box"), Args{VESTRION_TEST_HELPER, "uname-bad"}).out,
              "EFAULT\n");
}

}  // namespace
}  // namespace vestrion
