#include "core/fork.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

#include "core/sandbox.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

using Args = std::vector<std::string>;
using Clones = std::vector<std::unique_ptr<Sandbox>>;
using test::TempDir;

Sandbox::WorkFn work_fn(std::function<void(std::uint32_t)> fn) {
    return std::make_shared<const std::function<void(std::uint32_t)>>(std::move(fn));
}

// Runs in a clone or the template: plain write, no stream buffers.
void say(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void append_to(const std::filesystem::path& file, const std::string& text) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return;
    [[maybe_unused]] ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
}

Policy scratch_policy(const TempDir& dir) {
    return *Policy::builder().fs_read("/").fs_write(dir.path()).build();
}

std::unique_ptr<Sandbox> fan_out(const Policy& policy, Sandbox::InitFn init,
                                 std::function<void(std::uint32_t)> work) {
    return std::move(*Sandbox::new_with_fns(policy, std::move(init), work_fn(std::move(work))));
}

Clones fork_ok(Sandbox& sandbox, std::uint32_t n) {
    auto clones = sandbox.fork(n);
    EXPECT_TRUE(clones.has_value()) << clones.error().message();
    return clones ? std::move(*clones) : Clones{};
}

RunResult reduce_ok(const Sandbox& sandbox, const Args& argv, Clones& clones) {
    auto result = sandbox.reduce(argv, clones);
    EXPECT_TRUE(result.has_value()) << result.error().message();
    return result ? std::move(*result) : RunResult{};
}

// Gone, or ended and waiting for its new parent to reap it.
bool ended(pid_t pid) {
    const std::string content = test::read_proc_file("/proc/" + std::to_string(pid) + "/stat");
    auto close = content.rfind(')');
    if (close == std::string::npos || close + 2 >= content.size()) return true;
    char state = content[close + 2];
    return state == 'Z' || state == 'X';
}

TEST(ControlMessages, BigEndianValuesAndWhatIsMissing) {
    std::string bytes("\x00\x00\x01\x02\xff\xff\xff\xff\x7f", 9);
    EXPECT_EQ(fork::decode(bytes, 3, -1), (std::vector<std::int32_t>{258, -1, -1}));
    EXPECT_EQ(fork::decode(bytes, 3, 0), (std::vector<std::int32_t>{258, -1, 0}));
    std::vector<std::int32_t> values{0, 7, -1, 2147483647};
    std::string encoded = fork::encode(values);
    EXPECT_EQ(encoded.substr(4, 4), std::string("\x00\x00\x00\x07", 4));
    EXPECT_EQ(fork::decode(encoded, 4, 0), values);
}

TEST(FanOut, ClonesReportInIndexOrderAndReduceInThatOrder) {
    TempDir dir;
    auto sandbox = fan_out(scratch_policy(dir), [] {}, [](std::uint32_t i) {
        const char* id = std::getenv("CLONE_ID");
        say(std::to_string(i) + " " + (id ? id : "unset") + " " + std::to_string(::getpid()) + "\n");
    });
    Clones clones = fork_ok(*sandbox, 3);
    ASSERT_EQ(clones.size(), 3u);
    std::string expected;
    for (std::uint32_t i = 0; i < 3; ++i) {
        ASSERT_TRUE(clones[i]->pid().has_value());
        EXPECT_EQ(clones[i]->state().kind, SandboxStateKind::Finished);
        EXPECT_EQ(clones[i]->state().status, ExitStatus::code(0));
        expected += std::to_string(i) + " " + std::to_string(i) + " " +
                    std::to_string(*clones[i]->pid()) + "\n";
    }
    EXPECT_EQ(reduce_ok(*sandbox, {"cat"}, clones).stdout_bytes, expected);
    // Reduce took the output: a second one feeds nothing.
    EXPECT_EQ(reduce_ok(*sandbox, {"cat"}, clones).stdout_bytes, std::optional<std::string>(""));

    // The template ended normally, and its functions are used up.
    auto waited = sandbox->wait();
    ASSERT_TRUE(waited.has_value());
    EXPECT_EQ(waited->status, ExitStatus::code(0));
    EXPECT_TRUE(sandbox->kill().has_value());
    EXPECT_EQ(sandbox->fork(1).error().message(),
              "sandbox error: child process error: fork() requires new_with_fns()");
    EXPECT_EQ(sandbox->spawn(Args{"true"}).error().message(),
              "sandbox error: child process error: sandbox already spawned");
}

TEST(FanOut, EachCloneEndsItsOwnWay) {
    TempDir dir;
    auto sandbox = fan_out(scratch_policy(dir), [] {}, [](std::uint32_t i) {
        if (i == 0) ::_exit(3);
        if (i == 1) ::kill(::getpid(), SIGTERM);
        if (i == 2) ::kill(::getpid(), SIGKILL);
    });
    Clones clones = fork_ok(*sandbox, 4);
    ASSERT_EQ(clones.size(), 4u);
    const ExitStatus expected[] = {ExitStatus::code(3), ExitStatus::killed(), ExitStatus::killed(),
                                   ExitStatus::code(0)};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(clones[i]->state().status, expected[i]) << i;
}

// A template holds its own copy of our memory: what init builds is there for every clone, and
// never here.
int warmed = 0;

class InitOnce : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(InitOnce, InitRunsOnceAndEveryCloneStartsFromIt) {
    TempDir dir;
    auto log = dir / "init-log";
    warmed = 0;
    auto sandbox = fan_out(
        scratch_policy(dir),
        [log] {
            append_to(log, "init\n");
            warmed = 42;
        },
        [](std::uint32_t) { say(std::to_string(warmed) + "\n"); });
    Clones clones = fork_ok(*sandbox, GetParam());
    EXPECT_EQ(clones.size(), GetParam());
    EXPECT_EQ(test::read_file(log), "init\n");
    EXPECT_EQ(warmed, 0);
    std::string expected;
    for (std::uint32_t i = 0; i < GetParam(); ++i) expected += "42\n";
    EXPECT_EQ(reduce_ok(*sandbox, {"cat"}, clones).stdout_bytes, expected);
}

INSTANTIATE_TEST_SUITE_P(Counts, InitOnce, ::testing::Values(0u, 2u));

struct RefusalCase {
    const char* name;
    std::function<PolicyBuilder(PolicyBuilder, const TempDir&)> policy;
    std::uint32_t n;
    const char* says;  // a part of the error message
};

void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class Refusals : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refusals, FailTheForkAndInitNeverRuns) {
    TempDir dir;
    auto marker = dir / "init-ran";
    Policy policy =
        *GetParam().policy(Policy::builder().fs_read("/").fs_write(dir.path()), dir).build();
    auto sandbox = fan_out(policy, [marker] { append_to(marker, "ran"); },
                           [](std::uint32_t) {});
    auto clones = sandbox->fork(GetParam().n);
    ASSERT_FALSE(clones.has_value());
    EXPECT_NE(clones.error().message().find(GetParam().says), std::string::npos)
        << clones.error().message();
    EXPECT_FALSE(std::filesystem::exists(marker));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Refusals,
    ::testing::Values(
        RefusalCase{"MissingReadPathNoClones",
                    [](PolicyBuilder b, const TempDir& d) { return std::move(b).fs_read(d / "absent"); },
                    0, "vestrion child: landlock: "},
        RefusalCase{"MissingReadPathTwoClones",
                    [](PolicyBuilder b, const TempDir& d) { return std::move(b).fs_read(d / "absent"); },
                    2, "vestrion child: landlock: "},
        RefusalCase{"MemoryLimit",
                    [](PolicyBuilder b, const TempDir&) { return std::move(b).max_memory(1 << 30); },
                    1, "(max_memory) needs the syscall supervisor"},
        RefusalCase{"NetworkAllowList",
                    [](PolicyBuilder b, const TempDir&) { return std::move(b).net_allow_host("localhost"); },
                    1, "(net_allow_hosts) needs the syscall supervisor"},
        RefusalCase{"WorkdirUnderOverlay",
                    [](PolicyBuilder b, const TempDir& d) {
                        return std::move(b).workdir(d.path()).fs_isolation(FsIsolation::OverlayFs);
                    },
                    1, "(workdir) cannot be given to a fan-out template"},
        RefusalCase{"AVirtualRootNeedsTheSupervisor",
                    [](PolicyBuilder b, const TempDir&) { return std::move(b).chroot("/"); },
                    1, "a virtual root (chroot) needs the syscall supervisor"},
        RefusalCase{"PortRemappingNeedsTheSupervisor",
                    [](PolicyBuilder b, const TempDir&) { return std::move(b).port_remap(true); },
                    1, "port remapping (port_remap) needs the syscall supervisor"},
        RefusalCase{"ASeedNeedsTheSupervisor",
                    [](PolicyBuilder b, const TempDir&) { return std::move(b).random_seed(7); },
                    1, "(random_seed) needs the syscall supervisor"},
        RefusalCase{"AViewNeedsTheSupervisor",
                    [](PolicyBuilder b, const TempDir&) { return std::move(b).hostname("h"); },
                    1, "the host-name view (hostname) needs the syscall supervisor"},
        RefusalCase{"MoreClonesThanProcesses",
                    [](PolicyBuilder b, const TempDir&) { return std::move(b).max_processes(2); },
                    3, "fork of 3 clones exceeds max_processes (2)"},
        RefusalCase{"AllTheCountCanHold",
                    [](PolicyBuilder b, const TempDir&) { return b; },
                    4294967295u, "fork of 4294967295 clones exceeds max_processes (64)"}),
    [](const auto& info) { return info.param.name; });

TEST(FanOut, NeedsBothFunctions) {
    const Policy policy = *Policy::builder().fs_read("/").build();
    const std::string message = "sandbox error: child process error: fork() requires new_with_fns()";
    EXPECT_EQ((*Sandbox::create(policy))->fork(1).error().message(), message);
    bool ran = false;
    auto without_work = *Sandbox::new_with_fns(policy, [&ran] { ran = true; }, nullptr);
    EXPECT_EQ(without_work->fork(1).error().message(), message);
    EXPECT_FALSE(ran);
}

// The template confines itself before init; without a supervisor, what only a supervisor could
// decide is refused outright, so no process of the fan-out leaves the template's group.
TEST(FanOut, InitAndClonesRunUnderTheTemplatesFilter) {
    TempDir dir;
    auto scratch = dir.path();
    test::write_file(dir / "file", "x");
    Policy policy = *Policy::builder()
                         .fs_read("/")
                         .fs_write(scratch)
                         .deny_syscalls({"mkdir"})
                         .build();
    auto outcome = [](int ret) { return std::string(ret == 0 ? "ok" : strerrorname_np(errno)); };
    auto sandbox = fan_out(
        policy,
        [scratch, outcome] {
            append_to(scratch / "init", outcome(static_cast<int>(::syscall(SYS_mkdir, (scratch / "by-init").c_str(), 0700))));
        },
        [scratch, outcome](std::uint32_t i) {
            switch (i) {
                case 0:
                    say("mkdir " + outcome(static_cast<int>(::syscall(SYS_mkdir, (scratch / "by-clone").c_str(), 0700))));
                    break;
                case 1:
                    say("setsid " + outcome(::setsid() < 0 ? -1 : 0));
                    break;
                case 2:
                    say("setpgid " + outcome(::setpgid(0, 0)));
                    break;
                case 3:
                    say("chmod " + outcome(::chmod((scratch / "file").c_str(), 0600)));
                    break;
            }
        });
    Clones clones = fork_ok(*sandbox, 4);
    ASSERT_EQ(clones.size(), 4u);
    EXPECT_EQ(test::read_file(dir / "init"), "EPERM");
    const char* expected[] = {"mkdir EPERM", "setsid EPERM", "setpgid EPERM", "chmod EACCES"};
    for (std::size_t i = 0; i < 4; ++i) {
        Clones one;
        one.push_back(std::move(clones[i]));
        EXPECT_EQ(reduce_ok(*sandbox, {"cat"}, one).stdout_bytes, expected[i]);
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "by-init"));
    EXPECT_FALSE(std::filesystem::exists(dir / "by-clone"));
}

TEST(FanOut, NothingTheFanOutStartedOutlivesTheFork) {
    TempDir dir;
    auto scratch = dir.path();
    auto start_sleeper = [scratch](const std::string& name) {
        std::string command = "sleep 30 & echo $! > " + (scratch / name).native();
        [[maybe_unused]] int status = std::system(command.c_str());
    };
    auto sandbox = fan_out(
        scratch_policy(dir), [start_sleeper] { start_sleeper("by-init"); },
        [start_sleeper](std::uint32_t i) { start_sleeper("by-clone-" + std::to_string(i)); });
    Clones clones = fork_ok(*sandbox, 2);
    ASSERT_EQ(clones.size(), 2u);
    for (const char* name : {"by-init", "by-clone-0", "by-clone-1"}) {
        std::string pid = test::read_file(dir / name);
        ASSERT_FALSE(pid.empty()) << name;
        EXPECT_TRUE(ended(std::stoi(pid))) << name << " " << pid;
    }
}

TEST(FanOut, OutputOfAnySizeComesThroughWhole) {
    constexpr std::size_t size = 1 << 20;
    auto block = [](std::uint32_t i) { return std::string(size, static_cast<char>('a' + i)); };
    TempDir dir;
    auto sandbox = fan_out(scratch_policy(dir), [] {}, [block](std::uint32_t i) { say(block(i)); });
    Clones clones = fork_ok(*sandbox, 3);
    ASSERT_EQ(clones.size(), 3u);
    auto result = reduce_ok(*sandbox, {"cat"}, clones);
    ASSERT_TRUE(result.stdout_bytes.has_value());
    EXPECT_TRUE(*result.stdout_bytes == block(0) + block(1) + block(2));
    EXPECT_EQ(result.stdout_bytes->size(), 3 * size);
}

TEST(FanOut, AReducerThatReadsNothingLeavesTheCallerAlive) {
    // The default disposition: an unguarded write to the closed pipe would end this process.
    struct sigaction previous {};
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &fallback, &previous);
    TempDir dir;
    auto sandbox = fan_out(scratch_policy(dir), [] {},
                           [](std::uint32_t) { say(std::string(1 << 20, 'x')); });
    Clones clones = fork_ok(*sandbox, 1);
    auto result = reduce_ok(*sandbox, {"true"}, clones);
    EXPECT_EQ(result.status, ExitStatus::code(0));
    ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST(Reduce, NoClonesMeansEndOfInputAtOnceAndSpawnErrorsComeBack) {
    auto sandbox = *Sandbox::create(*Policy::builder().fs_read("/").build());
    Clones none;
    auto result = reduce_ok(*sandbox, {"wc", "-c"}, none);
    EXPECT_EQ(result.stdout_bytes, std::optional<std::string>("0\n"));
    EXPECT_EQ(sandbox->reduce(Args{}, none).error().message(),
              "sandbox error: child process error: empty command");
}

}  // namespace
}  // namespace vestrion
