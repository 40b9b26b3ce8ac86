// What vestrion costs, measured through its C interface side by side with bare processes in the
// same run: every figure interleaves the sandboxed and the bare case and reports medians.
//
//   vestrion-bench [--short] [WORD...]
//   A WORD runs only the figures whose name holds it: startup, feature-startup, tool, routed,
//   floor, connect, metadata, cow-open, view, cow-write, fan-out, dry-run, pipeline, throughput,
//   memory.
#include <dirent.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "vestrion.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    std::size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double micros_since(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

vestrion_policy_t* system_policy(std::uint64_t max_memory = 0, const char* also = nullptr,
                                 const char* host = nullptr) {
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    if (also) b = vestrion_policy_builder_fs_read(b, also);
    if (host) b = vestrion_policy_builder_net_allow_host(b, host);
    for (const char* dir : {"/usr", "/bin", "/lib", "/lib64", "/etc"})
        if (::access(dir, F_OK) == 0) b = vestrion_policy_builder_fs_read(b, dir);
    if (max_memory) b = vestrion_policy_builder_max_memory(b, max_memory);
    vestrion_policy_t* p = vestrion_policy_build(b, nullptr);
    if (!p) {
        std::fprintf(stderr, "policy refused\n");
        std::exit(1);
    }
    return p;
}

// fork + execve + waitpid, as a caller without a sandbox would start the program.
int bare_spawn(const char* const* argv, std::string* out = nullptr) {
    int fds[2] = {-1, -1};
    if (out && ::pipe2(fds, O_CLOEXEC) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        if (out) ::dup2(fds[1], 1);
        ::execve(argv[0], const_cast<char* const*>(argv), environ);
        ::_exit(127);
    }
    if (out) {
        ::close(fds[1]);
        char buf[256];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<std::size_t>(n));
        ::close(fds[0]);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

bool sandboxed_run(const vestrion_policy_t* policy, const char* const* argv, std::uint32_t argc,
                   std::string* out = nullptr) {
    vestrion_result_t* r = vestrion_run(policy, argv, argc);
    bool ok = r && vestrion_result_success(r);
    if (ok && out) {
        std::size_t len = 0;
        const std::uint8_t* bytes = vestrion_result_stdout_bytes(r, &len);
        out->assign(reinterpret_cast<const char*>(bytes), len);
    }
    vestrion_result_free(r);
    return ok;
}

void report(const char* what, double sandboxed, double bare, const char* unit, const char* target) {
    std::printf("%-34s vestrion %9.2f %s   bare %9.2f %s   ratio %5.2f   %s\n", what, sandboxed,
                unit, bare, unit, bare > 0 ? sandboxed / bare : 0.0, target);
}

// A figure against its target, with a miss said plainly.
const char* verdict(bool met) { return met ? "met" : "MISSED"; }

// `sandboxed` against `bare`, whose ratio must be at most (or, with `at_least`, at least) `target`.
void report_ratio(const char* what, double sandboxed, double bare, const char* unit, double target,
                  bool at_least = false) {
    const double ratio = bare > 0 ? sandboxed / bare : 0.0;
    std::printf("%-34s vestrion %9.2f %s   bare %9.2f %s   ratio %5.2f   target: ratio %s %.2f: %s\n",
                what, sandboxed, unit, bare, unit, ratio, at_least ? ">=" : "<=", target,
                verdict(at_least ? ratio >= target : ratio <= target));
}

// Medians of `rounds` runs of each case, interleaved, after five rounds that warm caches.
template <class... Cases>
std::vector<double> interleaved_medians(int rounds, Cases... cases) {
    constexpr std::size_t n = sizeof...(Cases);
    std::vector<std::vector<double>> times(n);
    for (int i = 0; i < rounds + 5; ++i) {
        std::size_t k = 0;
        auto time_one = [&](auto& run) {
            auto t0 = Clock::now();
            run();
            double t = micros_since(t0);
            if (i >= 5) times[k].push_back(t);
            ++k;
        };
        (time_one(cases), ...);
    }
    std::vector<double> medians;
    for (auto& t : times) medians.push_back(median(t));
    return medians;
}

void startup(int rounds) {
    vestrion_policy_t* policy = system_policy();
    const char* argv[] = {"/bin/true", nullptr};
    auto m = interleaved_medians(
        rounds, [&] { bare_spawn(argv); },
        [&] {
            if (!sandboxed_run(policy, argv, 1)) std::fprintf(stderr, "sandboxed /bin/true failed\n");
        });
    report_ratio("start-up (median of runs)", m[1], m[0], "us", 1.2);
    vestrion_policy_free(policy);
}

// What a feature adds to a start-up: the same run of /bin/true with and without it, interleaved.
void feature_startup(const char* what, const vestrion_policy_t* with_feature, int rounds,
                     double target_us) {
    vestrion_policy_t* plain = system_policy();
    const char* argv[] = {"/bin/true", nullptr};
    auto m = interleaved_medians(
        rounds,
        [&] {
            if (!sandboxed_run(plain, argv, 1)) std::fprintf(stderr, "sandboxed /bin/true failed\n");
        },
        [&] {
            if (!sandboxed_run(with_feature, argv, 1)) std::fprintf(stderr, "%s: failed\n", what);
        });
    const double extra = m[1] - m[0];
    std::printf("%-34s with %9.2f us   without %9.2f us   extra %+8.2f us   target: <= +%.0f us: %s\n",
                what, m[1], m[0], extra, target_us, verdict(extra <= target_us));
    vestrion_policy_free(plain);
}

// The network agent starts with an allow-list; the copy-on-write layer with a workdir.
void feature_startups(int rounds) {
    vestrion_policy_t* with_agent = system_policy(0, nullptr, "127.0.0.1");
    feature_startup("start-up with the agent", with_agent, rounds, 100);
    vestrion_policy_free(with_agent);

    char scratch[] = "/tmp/vestrion-bench-XXXXXX";
    if (!::mkdtemp(scratch)) return;
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    for (const char* d : {"/usr", "/bin", "/lib", "/lib64", "/etc"})
        if (::access(d, F_OK) == 0) b = vestrion_policy_builder_fs_read(b, d);
    b = vestrion_policy_builder_workdir(b, scratch);
    vestrion_policy_t* with_workdir = vestrion_policy_build(b, nullptr);
    if (with_workdir) feature_startup("start-up with a workdir", with_workdir, rounds, 150);
    vestrion_policy_free(with_workdir);
    ::rmdir(scratch);
}

// The example tool against bubblewrap's minimal run, each a whole program started and waited for.
void tool_startup(const std::string& dir, int rounds) {
    const std::string tool = dir + "/../examples/vestrion-run";
    if (::access(tool.c_str(), X_OK) != 0) {
        std::printf("%-34s not built\n", "the example tool");
        return;
    }
    const char* tool_argv[] = {tool.c_str(), "/bin/true", nullptr};
    const char* tool_help[] = {tool.c_str(), "--help", nullptr};
    std::string bwrap;
    for (const char* candidate : {"/usr/bin/bwrap", "/usr/local/bin/bwrap", "/bin/bwrap"})
        if (::access(candidate, X_OK) == 0) bwrap = candidate;
    const char* bwrap_argv[] = {bwrap.c_str(), "--ro-bind", "/", "/", "/bin/true", nullptr};
    const char* true_argv[] = {"/bin/true", nullptr};
    auto quiet = [](const char* const* argv) {
        std::string ignored;
        bare_spawn(argv, &ignored);
    };
    auto m = interleaved_medians(
        rounds, [&] { bare_spawn(true_argv); }, [&] { quiet(tool_help); },
        [&] { bare_spawn(tool_argv); }, [&] { if (!bwrap.empty()) bare_spawn(bwrap_argv); });
    std::printf("%-34s %9.2f us   its own start (--help) %9.2f us   bare /bin/true %9.2f us\n",
                "the example tool, /bin/true", m[2], m[1], m[0]);
    if (bwrap.empty())
        std::printf("%-34s not installed: the target (at most bubblewrap's time) is not measured\n",
                    "bwrap --ro-bind / / /bin/true");
    else
        std::printf("%-34s %9.2f us   target: the tool <= bubblewrap: %s\n",
                    "bwrap --ro-bind / / /bin/true", m[3], verdict(m[2] <= m[3]));
}

// `calls` routed calls of the loop program in `mode`, sandboxed and bare, per call.
void routed_calls(const std::string& dir, const char* mode, const char* what, int rounds,
                  long calls) {
    vestrion_policy_t* policy = system_policy(std::uint64_t{1} << 40, dir.c_str());
    std::string program = dir + "/vestrion-bench-routed-loop";
    bool pair = std::strcmp(mode, "pair") == 0;
    std::string count = std::to_string(pair ? calls / 2 : calls);
    const char* argv[] = {program.c_str(), mode, count.c_str(), nullptr};
    std::vector<double> sandboxed, bare;
    for (int i = 0; i < rounds; ++i) {
        std::string out;
        bare_spawn(argv, &out);
        bare.push_back(std::atof(out.c_str()) / 1000.0 / static_cast<double>(calls));
        out.clear();
        if (!sandboxed_run(policy, argv, 3, &out)) std::fprintf(stderr, "routed loop failed\n");
        sandboxed.push_back(std::atof(out.c_str()) / 1000.0 / static_cast<double>(calls));
    }
    report(what, median(sandboxed), median(bare), "us", "target: vestrion <= 8 us");
    vestrion_policy_free(policy);
}

// Runs a loop program bare and sandboxed `rounds` times; reports the medians per call of the
// nanoseconds it printed. `bare_argv`, when given, names the same work by host paths.
void report_loop(const char* what, const vestrion_policy_t* policy, const char* const* argv,
                 std::uint32_t argc, int rounds, long calls,
                 const char* const* bare_argv = nullptr) {
    std::vector<double> sandboxed, bare;
    for (int i = 0; policy && i < rounds; ++i) {
        std::string out;
        bare_spawn(bare_argv ? bare_argv : argv, &out);
        bare.push_back(std::atof(out.c_str()) / 1000.0 / static_cast<double>(calls));
        out.clear();
        if (!sandboxed_run(policy, argv, argc, &out)) std::fprintf(stderr, "%s: failed\n", what);
        sandboxed.push_back(std::atof(out.c_str()) / 1000.0 / static_cast<double>(calls));
    }
    report(what, median(sandboxed), median(bare), "us", "");
}

// A call that the supervisor performs itself, with the child's rights, after resolving and placing
// its file: chmod of a file in a writable directory.
void metadata_calls(const std::string& dir, int rounds, long calls) {
    char scratch[] = "/tmp/vestrion-bench-XXXXXX";
    if (!::mkdtemp(scratch)) return;
    std::string file = std::string(scratch) + "/f";
    ::close(::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    b = vestrion_policy_builder_fs_read(b, dir.c_str());
    for (const char* d : {"/usr", "/bin", "/lib", "/lib64", "/etc"})
        if (::access(d, F_OK) == 0) b = vestrion_policy_builder_fs_read(b, d);
    b = vestrion_policy_builder_fs_write(b, scratch);
    vestrion_policy_t* policy = vestrion_policy_build(b, nullptr);
    std::string program = dir + "/vestrion-bench-routed-loop";
    std::string count = std::to_string(calls);
    const char* argv[] = {program.c_str(), "chmod", count.c_str(), file.c_str(), nullptr};
    report_loop("metadata call (chmod, per call)", policy, argv, 4, rounds, calls);
    vestrion_policy_free(policy);
    ::unlink(file.c_str());
    ::rmdir(scratch);
}

// Opens under a copy-on-write working directory W: in W, which the layer serves (for writing,
// on the copy it made once), and outside W, where only the path's resolution is added.
void cow_opens(const std::string& dir, int rounds, long calls) {
    char scratch[] = "/tmp/vestrion-bench-XXXXXX";
    if (!::mkdtemp(scratch)) return;
    const std::string w = std::string(scratch) + "/w", file = w + "/f";
    ::mkdir(w.c_str(), 0755);
    ::close(::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    b = vestrion_policy_builder_fs_read(b, dir.c_str());
    for (const char* d : {"/usr", "/bin", "/lib", "/lib64", "/etc"})
        if (::access(d, F_OK) == 0) b = vestrion_policy_builder_fs_read(b, d);
    b = vestrion_policy_builder_workdir(b, w.c_str());
    b = vestrion_policy_builder_on_exit(b, 1);  // abort: W stays as it is
    b = vestrion_policy_builder_on_error(b, 1);
    vestrion_policy_t* policy = vestrion_policy_build(b, nullptr);
    const std::string program = dir + "/vestrion-bench-routed-loop";
    const std::string count = std::to_string(calls);
    struct Case {
        const char* what;
        const std::string& file;
        const char* mode;
    };
    const Case cases[] = {{"open in W, read (per call)", file, "r"},
                          {"open in W, write (per call)", file, "w"},
                          {"open outside W, workdir (per call)", program, "r"}};
    for (const Case& c : cases) {
        const char* argv[] = {program.c_str(), "open", count.c_str(), c.file.c_str(), c.mode,
                              nullptr};
        report_loop(c.what, policy, argv, 5, rounds, calls);
    }
    vestrion_policy_free(policy);

    // A command standing in W that enters W/d and W by absolute names, as a shell's cd does:
    // each change is steered to the layer's mirror.
    const std::string d = w + "/d";
    ::mkdir(d.c_str(), 0755);
    b = vestrion_policy_builder_new();
    b = vestrion_policy_builder_fs_read(b, dir.c_str());
    for (const char* r : {"/usr", "/bin", "/lib", "/lib64", "/etc"})
        if (::access(r, F_OK) == 0) b = vestrion_policy_builder_fs_read(b, r);
    b = vestrion_policy_builder_workdir(b, w.c_str());
    b = vestrion_policy_builder_cwd(b, w.c_str());
    b = vestrion_policy_builder_on_exit(b, 1);
    b = vestrion_policy_builder_on_error(b, 1);
    policy = vestrion_policy_build(b, nullptr);
    const std::string changes = std::to_string(calls / 10);
    const char* argv[] = {program.c_str(), "chdir", changes.c_str(), d.c_str(), w.c_str(), nullptr};
    report_loop("chdir in W by absolute name (per call)", policy, argv, 5, rounds, calls / 10);
    vestrion_policy_free(policy);
    ::rmdir(d.c_str());
    ::unlink(file.c_str());
    ::rmdir(w.c_str());
    ::rmdir(scratch);
}

// Calls under a virtual root whose only file is the loop program, linked statically: an open
// resolved beneath the root and injected, and chdir by absolute name, which the kernel would
// resolve from the host's "/": the thread is held while it reads a name that reaches the root's
// directory, and gets its own bytes back. Bare: the same work by host paths.
void root_calls(const std::string& dir, int rounds, long calls) {
    char scratch[] = "/tmp/vestrion-bench-XXXXXX";
    if (!::mkdtemp(scratch)) return;
    const std::string root = std::string(scratch) + "/root";
    for (const char* d : {"", "/bin", "/d", "/e"}) ::mkdir((root + d).c_str(), 0755);
    const std::string loop = root + "/bin/loop", file = root + "/f";
    {
        std::ifstream from(dir + "/vestrion-bench-routed-loop-static", std::ios::binary);
        std::ofstream to(loop, std::ios::binary);
        to << from.rdbuf();
    }
    ::chmod(loop.c_str(), 0755);
    ::close(::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    b = vestrion_policy_builder_chroot(b, root.c_str());
    vestrion_policy_t* policy = vestrion_policy_build(b, nullptr);
    const std::string count = std::to_string(calls), changes = std::to_string(calls / 10);
    const std::string d = root + "/d", e = root + "/e";
    const char* open_argv[] = {"/bin/loop", "open", count.c_str(), "/f", "r", nullptr};
    const char* open_bare[] = {loop.c_str(), "open", count.c_str(), file.c_str(), "r", nullptr};
    report_loop("open in a root, read (per call)", policy, open_argv, 5, rounds, calls, open_bare);
    const char* cd_argv[] = {"/bin/loop", "chdir", changes.c_str(), "/d", "/e", nullptr};
    const char* cd_bare[] = {loop.c_str(), "chdir", changes.c_str(), d.c_str(), e.c_str(), nullptr};
    report_loop("chdir in a root, steered (per call)", policy, cd_argv, 5, rounds, calls / 10,
                cd_bare);
    vestrion_policy_free(policy);
    ::unlink(loop.c_str());
    ::unlink(file.c_str());
    for (const char* sub : {"/bin", "/d", "/e", ""}) ::rmdir((root + sub).c_str());
    ::rmdir(scratch);
}

// Opens while the /proc views are on (num_cpus): the supervisor reads and normalises the path of
// every openat, and serves /proc/cpuinfo from memory.
void view_opens(const std::string& dir, int rounds, long calls) {
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    b = vestrion_policy_builder_fs_read(b, dir.c_str());
    for (const char* d : {"/usr", "/bin", "/lib", "/lib64", "/etc", "/proc"})
        if (::access(d, F_OK) == 0) b = vestrion_policy_builder_fs_read(b, d);
    b = vestrion_policy_builder_num_cpus(b, 2);
    vestrion_policy_t* policy = vestrion_policy_build(b, nullptr);
    const std::string program = dir + "/vestrion-bench-routed-loop";
    const std::string count = std::to_string(calls);
    const std::string cpuinfo = "/proc/cpuinfo";
    struct Case {
        const char* what;
        const std::string& file;
    };
    const Case cases[] = {{"open, /proc views on (per call)", program},
                          {"open of /proc/cpuinfo, served (per call)", cpuinfo}};
    for (const Case& c : cases) {
        const char* argv[] = {program.c_str(), "open", count.c_str(), c.file.c_str(), "r", nullptr};
        report_loop(c.what, policy, argv, 5, rounds, calls);
    }
    vestrion_policy_free(policy);
}

// A connect through the host allow-list: the supervisor checks the address and has the
// sandbox's agent make the call. One UDP socket connected again and again (no traffic, no peer
// needed) against the same loop bare; the floor is the bare connect plus a bare listener's round
// trip, and the target is that floor + 3 us.
void allow_list_connects(const std::string& dir, int rounds, long calls, double round_trip) {
    vestrion_policy_t* policy = system_policy(0, dir.c_str(), "127.0.0.1");
    const std::string program = dir + "/vestrion-bench-routed-loop";
    const std::string count = std::to_string(calls);
    const char* argv[] = {program.c_str(), "connect", count.c_str(), "9", nullptr};
    std::vector<double> sandboxed, bare;
    for (int i = 0; i < rounds; ++i) {
        std::string out;
        bare_spawn(argv, &out);
        bare.push_back(std::atof(out.c_str()) / 1000.0 / static_cast<double>(calls));
        out.clear();
        if (!sandboxed_run(policy, argv, 4, &out)) std::fprintf(stderr, "connect loop failed\n");
        sandboxed.push_back(std::atof(out.c_str()) / 1000.0 / static_cast<double>(calls));
    }
    const double floor = median(bare) + round_trip;
    std::printf("%-34s vestrion %9.2f us   bare %9.2f us   floor %9.2f us   target: <= floor + 3 us: "
                "%s\n",
                "connect, allow-list (per call)", median(sandboxed), median(bare), floor,
                verdict(median(sandboxed) <= floor + 3.0));
    vestrion_policy_free(policy);
}

// Fan-out: what one more clone of a warmed template costs against a raw fork of a process of the
// same size. Both sides are a process that touches 64 MiB and then forks n children that end at
// once, waiting for them all; the cost of a clone is the difference between n = 33 and n = 1,
// per extra clone, so that the template's own start and its 64 MiB cancel out.
constexpr std::size_t TEMPLATE_BYTES = 64u << 20;
constexpr std::uint32_t MANY_CLONES = 33;
char* template_memory = nullptr;

void touch_template_memory() {
    template_memory = static_cast<char*>(std::malloc(TEMPLATE_BYTES));
    if (!template_memory) return;
    for (std::size_t at = 0; at < TEMPLATE_BYTES; at += 4096) template_memory[at] = 1;
}

void clone_work(std::uint32_t) {}

void fan_out(const vestrion_policy_t* policy, std::uint32_t clones) {
    vestrion_sandbox_t* s = vestrion_new_with_fns(policy, touch_template_memory, clone_work);
    vestrion_fork_result_t* r = vestrion_fork(s, clones);
    if (vestrion_fork_result_count(r) != clones) std::fprintf(stderr, "fan-out made too few clones\n");
    vestrion_fork_result_free(r);
    vestrion_sandbox_free(s);
}

void raw_forks(std::uint32_t children) {
    pid_t parent = ::fork();
    if (parent == 0) {
        touch_template_memory();
        pid_t pids[MANY_CLONES];
        for (std::uint32_t i = 0; i < children; ++i) {
            pids[i] = ::fork();
            if (pids[i] == 0) ::_exit(0);
        }
        for (std::uint32_t i = 0; i < children; ++i) ::waitpid(pids[i], nullptr, 0);
        ::_exit(0);
    }
    ::waitpid(parent, nullptr, 0);
}

void fan_out_clones(int rounds) {
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    for (const char* d : {"/usr", "/bin", "/lib", "/lib64", "/etc"})
        if (::access(d, F_OK) == 0) b = vestrion_policy_builder_fs_read(b, d);
    b = vestrion_policy_builder_max_processes(b, MANY_CLONES + 1);
    vestrion_policy_t* policy = vestrion_policy_build(b, nullptr);
    auto m = interleaved_medians(
        rounds, [&] { fan_out(policy, 1); }, [&] { fan_out(policy, MANY_CLONES); },
        [&] { raw_forks(1); }, [&] { raw_forks(MANY_CLONES); });
    const double clone = (m[1] - m[0]) / (MANY_CLONES - 1), fork = (m[3] - m[2]) / (MANY_CLONES - 1);
    report_ratio("fan-out clone, 64 MiB template", clone, fork, "us", 1.2);
    vestrion_policy_free(policy);
}

// A dry run over a tree of 1,000 files whose command changes 100 of them, against the same
// command run bare followed by `find` over the tree: listing the changes may cost at most what a
// walk of the tree does.
const char* const kChangeTen =
    " && for d in 0 1 2 3 4 5 6 7 8 9; do for f in 0 1 2 3 4 5 6 7 8 9; do echo y >> d$d/f$f;"
    " done; done";

void dry_run_listing(int rounds) {
    char scratch[] = "/tmp/vestrion-bench-XXXXXX";
    if (!::mkdtemp(scratch)) return;
    const std::string tree = scratch, copy = tree + "-bare";
    for (int d = 0; d < 10; ++d) {
        const std::string sub = tree + "/d" + std::to_string(d);
        ::mkdir(sub.c_str(), 0755);
        for (int f = 0; f < 100; ++f) {
            const std::string file = sub + "/f" + std::to_string(f);
            int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd >= 0 && ::write(fd, "x\n", 2) != 2) std::fprintf(stderr, "write failed\n");
            if (fd >= 0) ::close(fd);
        }
    }
    const std::string change = "cd " + tree + kChangeTen, bare_change = "cd " + copy + kChangeTen;
    const char* change_argv[] = {"/bin/sh", "-c", change.c_str(), nullptr};
    const char* bare_argv[] = {"/bin/sh", "-c", bare_change.c_str(), nullptr};
    const char* bare_find[] = {"/usr/bin/find", copy.c_str(), nullptr};
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    for (const char* d : {"/usr", "/bin", "/lib", "/lib64", "/etc"})
        if (::access(d, F_OK) == 0) b = vestrion_policy_builder_fs_read(b, d);
    b = vestrion_policy_builder_workdir(b, tree.c_str());
    vestrion_policy_t* policy = vestrion_policy_build(b, nullptr);
    // The bare side changes its tree for real: a fresh copy each round.
    const std::string reset = "rm -rf " + copy + " && cp -a " + tree + " " + copy;
    std::vector<double> sandboxed, bare;
    for (int i = 0; i < rounds + 2; ++i) {
        if (std::system(reset.c_str()) != 0) break;
        auto t0 = Clock::now();
        bare_spawn(bare_argv);
        std::string listing;
        bare_spawn(bare_find, &listing);
        const double bare_time = micros_since(t0) / 1000.0;
        t0 = Clock::now();
        vestrion_dry_run_result_t* r = vestrion_dry_run(policy, change_argv, 3);
        const double dry_time = micros_since(t0) / 1000.0;
        if (vestrion_dry_run_result_changes_len(r) != 100)
            std::fprintf(stderr, "dry run: %zu changes, not 100\n",
                         vestrion_dry_run_result_changes_len(r));
        vestrion_dry_run_result_free(r);
        if (i >= 2) {  // two rounds warm the caches
            bare.push_back(bare_time);
            sandboxed.push_back(dry_time);
        }
    }
    report_ratio("dry run, 100 of 1,000 files changed", median(sandboxed), median(bare), "ms", 2.0);
    vestrion_policy_free(policy);
    const std::string remove = "rm -rf " + tree + " " + copy;
    if (std::system(remove.c_str()) != 0) std::fprintf(stderr, "cleanup failed\n");
}

// Three `cat` stages between a producer of 256 MiB and a counter, as a pipeline of sandboxes and
// as the same shell pipeline; the figure is the rate, which must be at least 0.8 of the shell's.
void pipeline_rate(int rounds) {
    const char* produce[] = {"/usr/bin/head", "-c", "268435456", "/dev/zero"};
    const char* cat[] = {"/bin/cat"};
    const char* count[] = {"/usr/bin/wc", "-c"};
    const char* shell[] = {"/bin/sh", "-c",
                           "/usr/bin/head -c 268435456 /dev/zero | /bin/cat | /bin/cat | /bin/cat | "
                           "/usr/bin/wc -c",
                           nullptr};
    vestrion_policy_t* policy = system_policy(0, "/dev/zero");
    auto sandboxed_pipeline = [&] {
        vestrion_pipeline_t* pl = vestrion_pipeline_new();
        vestrion_pipeline_add_stage(pl, policy, produce, 4);
        for (int i = 0; i < 3; ++i) vestrion_pipeline_add_stage(pl, policy, cat, 1);
        vestrion_pipeline_add_stage(pl, policy, count, 2);
        vestrion_result_t* r = vestrion_pipeline_run(pl, 0);
        std::size_t len = 0;
        const std::uint8_t* out = vestrion_result_stdout_bytes(r, &len);
        const std::string counted = out ? std::string(reinterpret_cast<const char*>(out), len) : "";
        if (std::atol(counted.c_str()) != 268435456L)
            std::fprintf(stderr, "pipeline moved the wrong amount\n");
        vestrion_result_free(r);
    };
    auto shell_pipeline = [&] {
        std::string out;
        bare_spawn(shell, &out);
    };
    auto m = interleaved_medians(rounds, shell_pipeline, sandboxed_pipeline);
    // Rates in MiB/s: the ratio is the pipeline's rate over the shell's.
    report_ratio("pipeline, 3 cat stages (MiB/s)", 256.0 / (m[1] / 1e6), 256.0 / (m[0] / 1e6),
                 "MiB/s", 0.8, true);
    vestrion_policy_free(policy);
}

// A shell writes `files` small files in a fresh directory: bare, and under the copy-on-write
// layer, whose figure includes the commit that brings them into the directory.
void cow_writes(int rounds, int files) {
    const std::string script =
        "i=0; while [ $i -lt " + std::to_string(files) + " ]; do echo x > f$i; i=$((i+1)); done";
    std::vector<double> sandboxed, bare;
    for (int i = 0; i < rounds; ++i) {
        char dir[] = "/tmp/vestrion-bench-XXXXXX";
        if (!::mkdtemp(dir)) return;
        std::string cd_script = std::string("cd ") + dir + " && " + script;
        const char* argv[] = {"/bin/sh", "-c", cd_script.c_str(), nullptr};
        auto t0 = Clock::now();
        bare_spawn(argv);
        bare.push_back(micros_since(t0) / 1000.0);
        std::string clean = std::string("rm -rf ") + dir + "/*";
        if (std::system(clean.c_str()) != 0) return;

        vestrion_policy_builder_t* b = vestrion_policy_builder_new();
        for (const char* d : {"/usr", "/bin", "/lib", "/lib64", "/etc"})
            if (::access(d, F_OK) == 0) b = vestrion_policy_builder_fs_read(b, d);
        b = vestrion_policy_builder_workdir(b, dir);
        vestrion_policy_t* policy = vestrion_policy_build(b, nullptr);
        t0 = Clock::now();
        if (!policy || !sandboxed_run(policy, argv, 3)) std::fprintf(stderr, "copy-on-write run failed\n");
        sandboxed.push_back(micros_since(t0) / 1000.0);
        vestrion_policy_free(policy);
        std::string path = std::string(dir) + "/f" + std::to_string(files - 1);
        if (::access(path.c_str(), F_OK) != 0) std::fprintf(stderr, "copy-on-write commit missing\n");
        std::string remove = std::string("rm -rf ") + dir;
        if (std::system(remove.c_str()) != 0) return;
    }
    std::string what = "copy-on-write: " + std::to_string(files) + " files written + commit";
    report_ratio(what.c_str(), median(sandboxed), median(bare), "ms", 1.5);
    std::string base = "/tmp/vestrion-cow-" + std::to_string(::getpid());
    ::rmdir(base.c_str());
}

// A C project of `files` sources and a Makefile, written into `dir`.
bool write_c_project(const std::string& dir, int files) {
    std::string objects;
    for (int i = 0; i < files; ++i) {
        std::ofstream src(dir + "/f" + std::to_string(i) + ".c");
        src << "#include <stdio.h>\n#include <string.h>\n#include \"common.h\"\n"
            << "int f" << i << "(int x) { char b[32]; snprintf(b, sizeof b, \"%d\", x); "
            << "return (int)strlen(b) + " << i << "; }\n";
        objects += " f" + std::to_string(i) + ".o";
        if (!src) return false;
    }
    std::ofstream(dir + "/common.h") << "int f0(int);\n";
    std::ofstream(dir + "/main.c") << "#include \"common.h\"\nint main(void) { return f0(1) > 100; }\n";
    std::ofstream make(dir + "/Makefile");
    make << "prog:" << objects << " main.o\n\tcc -o $@" << objects << " main.o\n"
         << "%.o: %.c common.h\n\tcc -O1 -c $< -o $@\n";
    return static_cast<bool>(make);
}

// `make -j4` of a 100-file C project in a fresh directory: bare, and in the copy-on-write
// working directory, whose figure includes the commit that brings the objects into it.
void cow_make(int rounds) {
    if (std::system("command -v make >/dev/null 2>&1 && command -v cc >/dev/null 2>&1") != 0) {
        std::printf("%-34s not installed (make, cc): not measured\n", "copy-on-write: make -j4");
        return;
    }
    char scratch[] = "/tmp/vestrion-bench-XXXXXX";
    if (!::mkdtemp(scratch)) return;
    const std::string tmp = std::string(scratch) + "/tmp";  // the compiler's own temporary files
    ::mkdir(tmp.c_str(), 0700);
    std::vector<double> sandboxed, bare;
    for (int i = 0; i < rounds; ++i) {
        const std::string dir = std::string(scratch) + "/p" + std::to_string(i);
        for (const char* side : {"bare", "sandboxed"}) {
            ::mkdir(dir.c_str(), 0755);
            if (!write_c_project(dir, 100)) return;
            const std::string script = "cd " + dir + " && make -s -j4 >/dev/null";
            const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
            const bool is_bare = std::strcmp(side, "bare") == 0;
            auto t0 = Clock::now();
            if (is_bare) {
                bare_spawn(argv);
                bare.push_back(micros_since(t0) / 1000.0);
            } else {
                vestrion_policy_builder_t* b = vestrion_policy_builder_new();
                for (const char* d : {"/usr", "/bin", "/lib", "/lib64", "/etc"})
                    if (::access(d, F_OK) == 0) b = vestrion_policy_builder_fs_read(b, d);
                b = vestrion_policy_builder_fs_write(b, "/dev/null");
                b = vestrion_policy_builder_fs_write(b, tmp.c_str());
                b = vestrion_policy_builder_env_var(b, "TMPDIR", tmp.c_str());
                b = vestrion_policy_builder_max_processes(b, 100000);
                b = vestrion_policy_builder_workdir(b, dir.c_str());
                vestrion_policy_t* policy = vestrion_policy_build(b, nullptr);
                t0 = Clock::now();
                if (!policy || !sandboxed_run(policy, argv, 3)) std::fprintf(stderr, "make under the layer failed\n");
                sandboxed.push_back(micros_since(t0) / 1000.0);
                vestrion_policy_free(policy);
            }
            if (::access((dir + "/prog").c_str(), F_OK) != 0) std::fprintf(stderr, "make: no program (%s)\n", side);
            if (std::system(("rm -rf " + dir).c_str()) != 0) return;
        }
    }
    report_ratio("copy-on-write: make -j4, 100 C files + commit", median(sandboxed), median(bare), "ms", 1.5);
    if (std::system((std::string("rm -rf ") + scratch).c_str()) != 0) return;
    std::string base = "/tmp/vestrion-cow-" + std::to_string(::getpid());
    ::rmdir(base.c_str());
}

// The kernel's floor for a routed call on this machine: a child whose getppid goes to a listener
// that a bare loop answers with "continue" at once (no dispatch, no state, no lock).
double bare_notification_round_trip(long calls) {
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return 0;
    pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        sock_filter program[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_getppid, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog fprog{4, program};
        int listener = static_cast<int>(::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER,
                                                  SECCOMP_FILTER_FLAG_NEW_LISTENER |
                                                      SECCOMP_FILTER_FLAG_WAIT_KILLABLE_RECV,
                                                  &fprog));
        if (::write(pipe_fds[1], &listener, sizeof listener) != sizeof listener) ::_exit(1);
        ::usleep(20000);  // the parent fetches the listener meanwhile
        auto t0 = Clock::now();
        for (long i = 0; i < calls; ++i) ::syscall(SYS_getppid);
        double per_call = micros_since(t0) / static_cast<double>(calls);
        if (::write(pipe_fds[1], &per_call, sizeof per_call) != sizeof per_call) ::_exit(1);
        ::_exit(0);
    }
    int number = -1;
    if (::read(pipe_fds[0], &number, sizeof number) != sizeof number) return 0;
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    int listener = static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd, number, 0));
    // SECCOMP_IOCTL_NOTIF_SET_FLAGS takes the flags as its argument: SYNC_WAKE_UP (1).
    ::ioctl(listener, SECCOMP_IOW(4, std::uint64_t), 1UL);
    while (true) {
        pollfd fd{listener, POLLIN, 0};
        if (::poll(&fd, 1, -1) < 0 || !(fd.revents & POLLIN)) break;
        seccomp_notif notif{};
        if (::ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &notif) != 0) continue;
        seccomp_notif_resp resp{notif.id, 0, 0, SECCOMP_USER_NOTIF_FLAG_CONTINUE};
        ::ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &resp);
    }
    double per_call = 0;
    if (::read(pipe_fds[0], &per_call, sizeof per_call) != sizeof per_call) per_call = 0;
    ::waitpid(child, nullptr, 0);
    ::close(listener);
    ::close(pidfd);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return per_call;
}

double notification_floor(int rounds, long calls) {
    std::vector<double> floor;
    for (int i = 0; i < rounds; ++i) floor.push_back(bare_notification_round_trip(calls));
    std::printf("%-34s %9.2f us per call (a bare listener answering at once)\n",
                "kernel floor of a routed call", median(floor));
    return median(floor);
}

// Runs per second of `threads` threads, each starting processes back to back for `seconds`.
template <class Spawn>
double throughput(int threads, double seconds, Spawn spawn) {
    std::atomic<long> runs{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    auto t0 = Clock::now();
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            while (!stop.load()) {
                spawn();
                runs.fetch_add(1);
            }
        });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    stop.store(true);
    for (auto& w : workers) w.join();
    return static_cast<double>(runs.load()) / (micros_since(t0) / 1e6);
}

// The bare side runs in a fresh process of its own: after thousands of sandboxes this process is
// large (thread stacks, arenas), which makes its own forks slower and would flatter the ratio.
double bare_throughput_in_fresh_process(const char* self, double seconds) {
    const std::string arg = std::to_string(seconds);
    const char* argv[] = {self, "--bare-throughput", arg.c_str(), nullptr};
    std::string out;
    bare_spawn(argv, &out);
    return std::atof(out.c_str());
}

void parallel_throughput(const char* self, int rounds, double seconds) {
    vestrion_policy_t* policy = system_policy();
    const char* argv[] = {"/bin/true", nullptr};
    std::vector<double> sandboxed, bare;
    for (int i = 0; i < rounds; ++i) {
        bare.push_back(bare_throughput_in_fresh_process(self, seconds));
        sandboxed.push_back(throughput(8, seconds, [&] { sandboxed_run(policy, argv, 1); }));
    }
    report_ratio("throughput, 8 threads (runs/s)", median(sandboxed), median(bare), "/s", 0.8, true);
    vestrion_policy_free(policy);
}

long resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

long thread_count() {
    long n = 0;
    DIR* d = ::opendir("/proc/self/task");
    while (dirent* e = ::readdir(d))
        if (e->d_name[0] != '.') ++n;
    ::closedir(d);
    return n;
}

void live_sandboxes(int count) {
    vestrion_policy_t* policy = system_policy();
    const char* argv[] = {"/bin/sleep", "60"};
    long rss0 = resident_kib(), threads0 = thread_count();
    std::vector<vestrion_handle_t*> handles;
    for (int i = 0; i < count; ++i) handles.push_back(vestrion_spawn(policy, argv, 2));
    long rss1 = resident_kib(), threads1 = thread_count();
    for (auto* h : handles) vestrion_handle_free(h);
    const double threads = static_cast<double>(threads1 - threads0) / count;
    std::printf("%-34s %d handles: %.1f KiB resident and %.2f threads per live sandbox   "
                "target: 1 thread: %s\n",
                "memory of the caller", count, static_cast<double>(rss1 - rss0) / count, threads,
                verdict(threads <= 1.0));
    vestrion_policy_free(policy);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 && std::strcmp(argv[1], "--bare-throughput") == 0) {
        const char* true_argv[] = {"/bin/true", nullptr};
        std::printf("%f\n", throughput(8, std::atof(argv[2]), [&] { bare_spawn(true_argv); }));
        return 0;
    }
    // --short: fewer rounds; any other word runs only the figures whose name holds it.
    bool quick = false;
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--short") == 0)
            quick = true;
        else
            only.emplace_back(argv[i]);
    }
    auto wanted = [&](const char* name) {
        if (only.empty()) return true;
        for (const auto& word : only)
            if (std::strstr(name, word.c_str())) return true;
        return false;
    };
    char* self = ::realpath("/proc/self/exe", nullptr);
    const std::string self_path(self);
    std::string dir(self);
    std::free(self);
    dir.erase(dir.rfind('/'));
    std::printf("vestrion benchmarks%s (medians; bare = the same work without a sandbox)\n",
                quick ? " (short)" : "");
    const int starts = quick ? 20 : 300, loops = quick ? 3 : 15;
    const long calls = quick ? 20000 : 100000, file_calls = quick ? 5000 : 20000;
    if (wanted("startup")) startup(starts);
    if (wanted("feature-startup")) feature_startups(starts);
    if (wanted("tool")) tool_startup(dir, starts);
    if (wanted("routed")) {
        routed_calls(dir, "pair", "routed call (mmap+munmap, per call)", loops, calls);
        routed_calls(dir, "map", "routed call (mmap only, per call)", loops, calls);
    }
    double round_trip = 0;
    if (wanted("floor") || wanted("connect")) round_trip = notification_floor(loops, calls);
    if (wanted("connect")) allow_list_connects(dir, loops, file_calls, round_trip);
    if (wanted("metadata")) metadata_calls(dir, loops, file_calls);
    if (wanted("cow-open")) cow_opens(dir, loops, file_calls);
    if (wanted("view")) view_opens(dir, loops, file_calls);
    if (wanted("root")) root_calls(dir, loops, file_calls);
    if (wanted("cow-write")) cow_writes(loops, 200);
    if (wanted("cow-make")) cow_make(quick ? 1 : 5);
    if (wanted("fan-out")) fan_out_clones(quick ? 10 : 60);
    if (wanted("dry-run")) dry_run_listing(quick ? 3 : 15);
    if (wanted("pipeline")) pipeline_rate(quick ? 2 : 7);
    if (wanted("throughput")) parallel_throughput(self_path.c_str(), quick ? 1 : 5, quick ? 0.3 : 2.0);
    if (wanted("memory")) live_sandboxes(quick ? 10 : 100);
    return 0;
}
