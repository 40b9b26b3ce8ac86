// A run made repeatable: the random stream of a seed, and the shifted realtime clock of a start
// time, seen by real sandboxed programs.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "core/random.hpp"
#include "core/sandbox.hpp"
#include "core/time.hpp"
#include "core/vdso.hpp"

namespace vestrion {
namespace {

using Args = std::vector<std::string>;
using namespace std::chrono;

std::string run_out(const Policy& policy, const Args& argv) {
    auto result = Sandbox::run(policy, argv);
    EXPECT_TRUE(result) << result.error().message();
    if (!result) return "";
    EXPECT_EQ(result->status, ExitStatus::code(0)) << *result->stderr_bytes;
    return *result->stdout_bytes;
}

Policy seeded(std::uint64_t seed) { return *Policy::builder().fs_read("/").random_seed(seed).build(); }

const TimePoint kYear2000 = sys_days{year{2000} / June / 1};

// --- The stream ---

TEST(RandomStream, RequestsTakeWholeWords) {
    random::Rng split(7), whole(7);
    split.take(3);
    std::vector<std::uint8_t> second = split.take(4);
    std::vector<std::uint8_t> eight = whole.take(8);
    EXPECT_EQ(second, std::vector<std::uint8_t>(eight.begin() + 4, eight.end()));
    EXPECT_NE(random::Rng(7).take(64), random::Rng(8).take(64));
    EXPECT_NE(random::Rng(7).take(64), random::Rng(7, 1).take(64));
    // Four blocks at a time: the stream goes on the same across a refill.
    random::Rng big(7), small(7);
    std::vector<std::uint8_t> all = big.take(1024);
    std::vector<std::uint8_t> pieces;
    for (int i = 0; i < 16; ++i) {
        auto part = small.take(64);
        pieces.insert(pieces.end(), part.begin(), part.end());
    }
    EXPECT_EQ(all, pieces);
}

// --- Randomness in a run ---

TEST(SeededRuns, GiveTheSameBytesForTheSameSeed) {
    // One process after the other: the stream follows the order in which calls are served.
    const Args read{"sh", "-c", "head -c 64 /dev/urandom; head -c 16 /dev/random"};
    std::string first = run_out(seeded(42), read);
    EXPECT_EQ(first, run_out(seeded(42), read));
    EXPECT_NE(first, run_out(seeded(43), read));
    EXPECT_EQ(first.size(), 80u);
}

TEST(SeededRuns, DevicesNeverEnd) {
    EXPECT_EQ(run_out(seeded(1), {"sh", "-c", "head -c 1100000 /dev/urandom | wc -c"}), "1100000\n");
}

TEST(SeededRuns, GetrandomTakesWholeWordsAndKeepsTheKernelsErrors) {
    std::string split = run_out(seeded(5), {VESTRION_CLOCK_HELPER, "getrandom", "3", "4"});
    std::string whole = run_out(seeded(5), {VESTRION_CLOCK_HELPER, "getrandom", "8"});
    ASSERT_EQ(whole.size(), 17u);
    ASSERT_EQ(split.size(), 7u + 9u);
    EXPECT_EQ(split.substr(7, 8), whole.substr(8, 8));
    EXPECT_EQ(run_out(seeded(5), {VESTRION_CLOCK_HELPER, "getrandom-errors"}), "EFAULT EINVAL\n");
}

TEST(SeededRuns, TheVdsoGetrandomGivesTheStream) {
    std::string through_vdso = run_out(seeded(9), {VESTRION_CLOCK_HELPER, "vdso-getrandom", "32"});
    EXPECT_EQ(through_vdso, run_out(seeded(9), {VESTRION_CLOCK_HELPER, "getrandom", "32"}));
    EXPECT_EQ(through_vdso.size(), 65u);
}

// --- The clock ---

struct ClockCase {
    const char* name;
    Args argv;
    bool no_randomize_memory;
    std::string out;
};
void PrintTo(const ClockCase& c, std::ostream* os) { *os << c.name; }

class StartTime : public ::testing::TestWithParam<ClockCase> {};

TEST_P(StartTime, ShiftsTheRealtimeClockOfEveryProgram) {
    const ClockCase& c = GetParam();
    auto policy = Policy::builder()
                      .fs_read("/")
                      .time_start(kYear2000)
                      .no_randomize_memory(c.no_randomize_memory)
                      .build();
    ASSERT_TRUE(policy);
    EXPECT_EQ(run_out(*policy, c.argv), c.out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StartTime,
    ::testing::Values(
        ClockCase{"Date", {"date", "+%Y"}, false, "2000\n"},
        ClockCase{"AfterExecs", {"sh", "-c", "sh -c 'date +%Y'"}, false, "2000\n"},
        ClockCase{"AddressesFixed", {"sh", "-c", "date +%Y; date +%Y"}, true, "2000\n2000\n"},
        ClockCase{"EveryFunctionAgrees", {VESTRION_CLOCK_HELPER, "year"}, false,
                  "2000 same same stored\n"},
        ClockCase{"StaticProgram", {VESTRION_CLOCK_HELPER_STATIC, "year"}, false,
                  "2000 same same stored\n"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StartTimeStubs, FailCleanlyAndLeaveOtherClocksAndTheCaller) {
    auto policy = Policy::builder().fs_read("/").time_start(kYear2000).build();
    ASSERT_TRUE(policy);
    auto handle = Sandbox::create(*policy);
    ASSERT_TRUE(handle);
    const Args argv{VESTRION_CLOCK_HELPER, "stubs"};
    ASSERT_TRUE((*handle)->spawn(argv));
    // The caller's own clock stays the host's while the child runs patched.
    EXPECT_GT(std::time(nullptr), sys_days{year{2020} / 1 / 1}.time_since_epoch().count() * 86400);
    auto result = (*handle)->wait();
    ASSERT_TRUE(result);
    timespec mono{};
    clock_gettime(CLOCK_MONOTONIC, &mono);
    long long child_mono = 0;
    char bad[32] = {};
    int vdso_bad = 0, zone_only = -1;
    ASSERT_EQ(std::sscanf(result->stdout_bytes->c_str(), "%31s %d %d %lld", bad, &vdso_bad,
                          &zone_only, &child_mono),
              4)
        << *result->stdout_bytes;
    EXPECT_STREQ(bad, "EFAULT");
    EXPECT_EQ(vdso_bad, -EFAULT);  // the stub returns the kernel's answer, writes nothing
    EXPECT_EQ(zone_only, 0);
    EXPECT_LE(std::llabs(child_mono - mono.tv_sec), 5);
    EXPECT_GT(std::time(nullptr), 1'600'000'000);
}

TEST(StartTimeSleeps, AbsoluteSleepsKeepTheChildsRecord) {
    auto policy = Policy::builder().fs_read("/").time_start(kYear2000).build();
    ASSERT_TRUE(policy);
    for (const char* period : {"1", "100"})
        EXPECT_EQ(run_out(*policy, {VESTRION_CLOCK_HELPER, "abs-sleep-loop", period, "10"}),
                  "kept\n")
            << "period " << period << " ms";
}

TEST(StartTimeOffset, CountsWholeSecondsFromNow) {
    auto now = floor<seconds>(system_clock::now());
    std::int64_t offset = time::calculate_time_offset(now - days{1});
    EXPECT_GE(offset, -86401);
    EXPECT_LE(offset, -86399);
    EXPECT_LT(time::calculate_time_offset(TimePoint(seconds(-5))), 0);  // before the epoch: epoch
}

// --- The stubs as bytes ---

TEST(VdsoStubs, PlainStubsCallTheirNumbers) {
    EXPECT_EQ(vdso::clock_gettime_stub(std::nullopt),
              (std::vector<std::uint8_t>{0xB8, 0xE4, 0, 0, 0, 0x0F, 0x05, 0xC3}));
    EXPECT_EQ(vdso::gettimeofday_stub(std::nullopt),
              (std::vector<std::uint8_t>{0xB8, 0x60, 0, 0, 0, 0x0F, 0x05, 0xC3}));
    EXPECT_EQ(vdso::time_stub(std::nullopt),
              (std::vector<std::uint8_t>{0xB8, 0xC9, 0, 0, 0, 0x0F, 0x05, 0xC3}));
    auto shifted = vdso::clock_gettime_stub(-1);
    EXPECT_EQ(std::vector<std::uint8_t>(shifted.begin() + 32, shifted.begin() + 40),
              std::vector<std::uint8_t>(8, 0xFF));
}

TEST(VdsoBase, MissingMappingIsNamed) {
    auto base = vdso::find_vdso_base(0x7fffffff);
    ASSERT_FALSE(base);
    auto self = vdso::find_vdso_base(static_cast<std::uint32_t>(::getpid()));
    ASSERT_TRUE(self);
    EXPECT_NE(*self, 0u);
}

}  // namespace
}  // namespace vestrion
