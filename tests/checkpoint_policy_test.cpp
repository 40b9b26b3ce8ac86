// The policy file of a checkpoint: exact bytes for chosen fields, every field back after a round
// trip, the same bytes for the same policy, and clear refusals of malformed input.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "core/checkpoint/policy_codec.hpp"
#include "core/policy.hpp"

namespace vestrion {
namespace {

using checkpoint::decode_policy;
using checkpoint::encode_policy;

Policy defaults() { return *Policy::builder().build(); }

std::string encoded(const Policy& p) {
    auto bytes = encode_policy(p);
    EXPECT_TRUE(bytes.has_value()) << (bytes ? "" : bytes.error().message());
    return bytes.value_or("");
}

std::string le(std::uint64_t v, int n) {
    std::string s;
    for (int i = 0; i < n; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return s;
}

std::string message_of(const Result<Policy>& r) { return r ? "decoded" : r.error().message(); }

TEST(PolicyFile, DefaultPolicyIsOneHundredBytes) {
    EXPECT_EQ(encoded(defaults()).size(), 100u);
}

// One field away from the defaults: the encoding is the default one with that field's bytes
// replaced at its place.
struct FieldBytes {
    const char* name;
    std::function<PolicyBuilder(PolicyBuilder)> set;
    std::size_t offset;
    std::size_t default_size;
    std::string bytes;
};
void PrintTo(const FieldBytes& c, std::ostream* os) { *os << c.name; }

class PolicyFileField : public ::testing::TestWithParam<FieldBytes> {};

TEST_P(PolicyFileField, WritesTheFieldAtItsPlace) {
    const FieldBytes& c = GetParam();
    std::string expected = encoded(defaults());
    expected.replace(c.offset, c.default_size, c.bytes);
    auto built = c.set(Policy::builder()).build();
    ASSERT_TRUE(built.has_value());
    EXPECT_EQ(encoded(*built), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PolicyFileField,
    ::testing::Values(
        FieldBytes{"max_cpu", [](PolicyBuilder b) { return std::move(b).max_cpu(50); }, 61, 1,
                   std::string("\x01\x32", 2)},
        FieldBytes{"fs_isolation", [](PolicyBuilder b) {
                       return std::move(b).workdir("/w").fs_isolation(FsIsolation::OverlayFs);
                   },
                   68, 5, le(1, 4) + "\x01" + le(2, 8) + "/w"},
        FieldBytes{"time_start", [](PolicyBuilder b) {
                       return std::move(b).time_start(TimePoint(std::chrono::seconds(1'700'000'000) +
                                                                std::chrono::nanoseconds(5)));
                   },
                   63, 1, "\x01" + le(1'700'000'000, 8) + le(5, 4)},
        FieldBytes{"net_bind", [](PolicyBuilder b) {
                       return std::move(b).net_bind_port(8080).net_bind_port(443);
                   },
                   34, 8, le(2, 8) + "\x90\x1F\xBB\x01"},
        FieldBytes{"privileged", [](PolicyBuilder b) { return std::move(b).privileged(true); }, 99,
                   1, "\x01"},
        FieldBytes{"on_error keep", [](PolicyBuilder b) {
                       return std::move(b).on_error(BranchAction::Keep);
                   },
                   80, 4, le(2, 4)},
        FieldBytes{"hostname", [](PolicyBuilder b) { return std::move(b).hostname("h\xC3\xA9"); },
                   67, 1, "\x01" + le(3, 8) + "h\xC3\xA9"}));

Policy every_field_set() {
    auto built = Policy::builder()
                     .fs_write("/w1").fs_write("/w2").fs_read("/r").fs_deny("/d")
                     .allow_syscalls({"read", "write"})
                     .net_allow_host("example.org").net_bind_port(8080).net_connect_port(443)
                     .no_raw_sockets(false).no_udp(true).isolate_ipc(true).isolate_signals(true)
                     .isolate_pids(true).max_memory(1ull << 33).max_processes(7)
                     .max_open_files(99).max_cpu(42).random_seed(0xDEADBEEFCAFEull)
                     .time_start(TimePoint(std::chrono::seconds(1'234'567'890) + std::chrono::nanoseconds(987)))
                     .no_randomize_memory(true).no_huge_pages(true).deterministic_dirs(true)
                     .hostname("box").workdir("/work/dir").fs_isolation(FsIsolation::Tessarin)
                     .cwd("/work/dir/sub").fs_storage("/store").max_disk(123456)
                     .on_exit(BranchAction::Abort).on_error(BranchAction::Keep).chroot("/root")
                     .clean_env(true).env_var("B", "2").env_var("A", "1").env_var("C", "")
                     .close_fds(false).gpu_devices({0, 3}).cpu_cores({1, 2, 5}).num_cpus(3)
                     .port_remap(true).privileged(true)
                     .build();
    EXPECT_TRUE(built.has_value());
    return *built;
}

TEST(PolicyFile, EveryFieldSurvivesTheRoundTrip) {
    Policy p = every_field_set();
    p.deny_syscalls = std::vector<std::string>{"ptrace"};  // both lists: the file keeps them
    std::string bytes = encoded(p);
    auto back = decode_policy(bytes);
    ASSERT_TRUE(back.has_value()) << back.error().message();
    const Policy& q = *back;
    EXPECT_EQ(q.fs_writable, p.fs_writable);
    EXPECT_EQ(q.fs_readable, p.fs_readable);
    EXPECT_EQ(q.fs_denied, p.fs_denied);
    EXPECT_EQ(q.deny_syscalls, p.deny_syscalls);
    EXPECT_EQ(q.allow_syscalls, p.allow_syscalls);
    EXPECT_EQ(q.net_allow_hosts, p.net_allow_hosts);
    EXPECT_EQ(q.net_bind, p.net_bind);
    EXPECT_EQ(q.net_connect, p.net_connect);
    EXPECT_EQ(std::tie(q.no_raw_sockets, q.no_udp, q.isolate_ipc, q.isolate_signals, q.isolate_pids),
              std::tie(p.no_raw_sockets, p.no_udp, p.isolate_ipc, p.isolate_signals, p.isolate_pids));
    EXPECT_EQ(q.max_memory, p.max_memory);
    EXPECT_EQ(q.max_processes, p.max_processes);
    EXPECT_EQ(q.max_open_files, p.max_open_files);
    EXPECT_EQ(q.max_cpu, p.max_cpu);
    EXPECT_EQ(q.random_seed, p.random_seed);
    EXPECT_EQ(q.time_start, p.time_start);
    EXPECT_EQ(std::tie(q.no_randomize_memory, q.no_huge_pages, q.deterministic_dirs),
              std::tie(p.no_randomize_memory, p.no_huge_pages, p.deterministic_dirs));
    EXPECT_EQ(q.hostname, p.hostname);
    EXPECT_EQ(q.fs_isolation, p.fs_isolation);
    EXPECT_EQ(q.workdir, p.workdir);
    EXPECT_EQ(q.cwd, p.cwd);
    EXPECT_EQ(q.fs_storage, p.fs_storage);
    EXPECT_EQ(q.max_disk, p.max_disk);
    EXPECT_EQ(q.on_exit, p.on_exit);
    EXPECT_EQ(q.on_error, p.on_error);
    EXPECT_EQ(q.chroot, p.chroot);
    EXPECT_EQ(q.clean_env, p.clean_env);
    EXPECT_EQ(q.env, p.env);
    EXPECT_EQ(q.close_fds, p.close_fds);
    EXPECT_EQ(q.gpu_devices, p.gpu_devices);
    EXPECT_EQ(q.cpu_cores, p.cpu_cores);
    EXPECT_EQ(q.num_cpus, p.num_cpus);
    EXPECT_EQ(q.port_remap, p.port_remap);
    EXPECT_EQ(q.privileged, p.privileged);
    EXPECT_FALSE(q.policy_fn);
    EXPECT_EQ(encoded(q), bytes);
}

TEST(PolicyFile, SamePolicyGivesTheSameBytesWhateverTheMapsOrder) {
    Policy a = defaults(), b = defaults();
    for (int i = 0; i < 40; ++i) a.env.emplace("K" + std::to_string(i), std::to_string(i));
    b.env.reserve(1024);  // other buckets, other iteration order
    for (int i = 39; i >= 0; --i) b.env.emplace("K" + std::to_string(i), std::to_string(i));
    std::string bytes = encoded(a);
    EXPECT_EQ(encoded(b), bytes);
    // Sorted by key: K0 comes first, right after the count.
    EXPECT_EQ(bytes.substr(86, 8), le(40, 8));
    EXPECT_EQ(bytes.substr(94, 10), le(2, 8) + "K0");
}

TEST(PolicyFile, ExtraBytesAfterTheLastFieldAreIgnored) {
    std::string bytes = encoded(every_field_set());
    auto back = decode_policy(bytes + "trailing");
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(encoded(*back), bytes);
}

TEST(PolicyFile, NanosecondsBeyondOneSecondCarryIntoTheSeconds) {
    std::string bytes = encoded(defaults());
    bytes.replace(63, 1, "\x01" + le(10, 8) + le(1'500'000'000, 4));
    auto back = decode_policy(bytes);
    ASSERT_TRUE(back.has_value()) << back.error().message();
    EXPECT_EQ(back->time_start, TimePoint(std::chrono::seconds(11) + std::chrono::milliseconds(500)));
}

TEST(PolicyFile, LaterDuplicateKeyOfTheEnvironmentWins) {
    std::string bytes = encoded(defaults());
    bytes.replace(86, 8, le(2, 8) + le(1, 8) + "K" + le(1, 8) + "a" + le(1, 8) + "K" + le(1, 8) + "b");
    auto back = decode_policy(bytes);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->env.size(), 1u);
    EXPECT_EQ(back->env.at("K"), "b");
}

// Each case edits the default encoding and expects the decoder's words.
struct BadInput {
    const char* name;
    std::function<void(std::string&)> edit;
    std::string message;
};
void PrintTo(const BadInput& c, std::ostream* os) { *os << c.name; }

class PolicyFileRefusal : public ::testing::TestWithParam<BadInput> {};

TEST_P(PolicyFileRefusal, NamesWhatIsWrong) {
    std::string bytes = encoded(defaults());
    GetParam().edit(bytes);
    EXPECT_EQ(message_of(decode_policy(bytes)), "sandbox error: child process error: " + GetParam().message);
}

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

INSTANTIATE_TEST_SUITE_P(
    Cases, PolicyFileRefusal,
    ::testing::Values(
        BadInput{"truncated by one byte", [](std::string& b) { b.pop_back(); },
                 "io error: unexpected end of file"},
        BadInput{"empty", [](std::string& b) { b.clear(); }, "io error: unexpected end of file"},
        BadInput{"bool of 2", [](std::string& b) { b[99] = 2; },
                 "invalid u8 while decoding bool, expected 0 or 1, found 2"},
        BadInput{"variant 3", [](std::string& b) { b.replace(80, 4, le(3, 4)); },
                 "invalid value: integer `3`, expected variant index 0 <= i < 3"},
        BadInput{"option tag 7", [](std::string& b) { b[55] = 7; },
                 "tag for enum is not valid, found 7"},
        // A count far beyond the input fails without reserving for it.
        BadInput{"huge sequence count", [](std::string& b) { b.replace(0, 8, le(1ull << 61, 8)); },
                 "io error: unexpected end of file"},
        BadInput{"huge text length", [](std::string& b) { b.replace(67, 1, "\x01" + le(kU64Max, 8)); },
                 "io error: unexpected end of file"},
        BadInput{"text not utf8", [](std::string& b) { b.replace(67, 1, "\x01" + le(2, 8) + "\xC3\x28"); },
                 "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
        BadInput{"path cut inside a character",
                 [](std::string& b) { b.replace(72, 1, "\x01" + le(3, 8) + "/\xE2\x82"); },
                 "string is not valid utf8: incomplete utf-8 byte sequence from index 1"},
        BadInput{"seconds overflow on carry",
                 [](std::string& b) { b.replace(63, 1, "\x01" + le(kU64Max, 8) + le(1'000'000'000, 4)); },
                 "overflow deserializing SystemTime epoch offset"},
        BadInput{"time beyond the clock",
                 [](std::string& b) { b.replace(63, 1, "\x01" + le(1ull << 63, 8) + le(0, 4)); },
                 "overflow deserializing SystemTime"}));

TEST(PolicyFile, ADenyListNamingNoCallTheFilterKnowsIsRefusedOnLoad) {
    Policy p = defaults();
    p.deny_syscalls = std::vector<std::string>{"chmod", "no_such_call"};
    EXPECT_EQ(message_of(decode_policy(encoded(p))),
              "sandbox error: child process error: deny_syscalls names 'no_such_call', which is not a "
              "system call it can deny");
    p.deny_syscalls = std::vector<std::string>{"chmod", "statfs"};
    EXPECT_EQ(message_of(decode_policy(encoded(p))), "decoded");
}

TEST(PolicyFile, RefusesWhatNoLoadCouldReadBack) {
    Policy bad_path = defaults();
    bad_path.fs_readable.push_back(Path(std::string("/a\xFF")));
    Policy early = defaults();
    early.time_start = TimePoint(std::chrono::seconds(-1));
    Policy bad_env = defaults();
    bad_env.env.emplace("K", std::string("\xC0"));
    auto message = [](const Policy& p) {
        auto r = encode_policy(p);
        return r ? std::string("encoded") : r.error().message();
    };
    EXPECT_EQ(message(bad_path), "sandbox error: child process error: path contains invalid UTF-8 characters");
    EXPECT_EQ(message(early), "sandbox error: child process error: SystemTime must be later than UNIX_EPOCH");
    EXPECT_EQ(message(bad_env), "sandbox error: child process error: text contains invalid UTF-8 characters");
}

TEST(Utf8Error, TellsInvalidFromIncomplete) {
    struct Case {
        std::string bytes, why;
    } cases[] = {
        {"plain \xC3\xA9 \xF0\x9F\x98\x80", ""},
        {"ab\xFF", "invalid utf-8 sequence of 1 bytes from index 2"},
        {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // a surrogate
        {"\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},      // overlong
        {"x\xE2\x82\x28", "invalid utf-8 sequence of 2 bytes from index 1"},
        {"\xF0\x9F\x98\x28", "invalid utf-8 sequence of 3 bytes from index 0"},
        {"\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 0"},
        {"ok\xC3", "incomplete utf-8 byte sequence from index 2"},
    };
    for (const Case& c : cases) EXPECT_EQ(checkpoint::utf8_error(c.bytes), c.why) << c.bytes;
}

}  // namespace
}  // namespace vestrion
