#include "core/policy.hpp"

#include <gtest/gtest.h>

namespace vestrion {
namespace {

TEST(PolicyBuilder, DefaultsOfAnEmptyBuilder) {
    auto built = Policy::builder().build();
    ASSERT_TRUE(built.has_value());
    const Policy& p = *built;
    EXPECT_TRUE(p.no_raw_sockets);
    EXPECT_TRUE(p.close_fds);
    EXPECT_EQ(p.max_processes, 64u);
    EXPECT_EQ(p.fs_isolation, FsIsolation::None);
    EXPECT_EQ(p.on_exit, BranchAction::Commit);
    EXPECT_EQ(p.on_error, BranchAction::Commit);
    EXPECT_TRUE(p.fs_writable.empty() && p.fs_readable.empty() && p.fs_denied.empty());
    EXPECT_TRUE(p.net_allow_hosts.empty() && p.net_bind.empty() && p.net_connect.empty());
    EXPECT_TRUE(p.env.empty());
    EXPECT_FALSE(p.deny_syscalls || p.allow_syscalls || p.max_memory || p.max_open_files ||
                 p.max_cpu || p.random_seed || p.time_start || p.hostname || p.workdir ||
                 p.cwd || p.fs_storage || p.max_disk || p.chroot || p.gpu_devices ||
                 p.cpu_cores || p.num_cpus);
    EXPECT_FALSE(p.no_udp || p.isolate_ipc || p.isolate_signals || p.isolate_pids ||
                 p.no_randomize_memory || p.no_huge_pages || p.deterministic_dirs ||
                 p.clean_env || p.port_remap || p.privileged);
    EXPECT_FALSE(p.policy_fn);
}

struct Refusal {
    const char* name;
    std::function<PolicyBuilder(PolicyBuilder)> setup;
    std::optional<std::string> message;  // absent: builds
};

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class BuildChecks : public ::testing::TestWithParam<Refusal> {};

TEST_P(BuildChecks, RefusesInOrderWithExactText) {
    auto built = GetParam().setup(Policy::builder()).build();
    if (!GetParam().message) {
        EXPECT_TRUE(built.has_value());
        return;
    }
    ASSERT_FALSE(built.has_value());
    EXPECT_EQ(built.error().message(), *GetParam().message);
}

const std::string exclusive = "deny_syscalls and allow_syscalls are mutually exclusive";

INSTANTIATE_TEST_SUITE_P(
    Table, BuildChecks,
    ::testing::Values(
        Refusal{"BothListsEmpty",
                [](PolicyBuilder b) { return std::move(b).deny_syscalls({}).allow_syscalls({}); },
                exclusive},
        Refusal{"CpuZero", [](PolicyBuilder b) { return std::move(b).max_cpu(0); },
                "max_cpu must be 1-100, got 0"},
        Refusal{"Cpu101", [](PolicyBuilder b) { return std::move(b).max_cpu(101); },
                "max_cpu must be 1-100, got 101"},
        Refusal{"Cpu255", [](PolicyBuilder b) { return std::move(b).max_cpu(255); },
                "max_cpu must be 1-100, got 255"},
        Refusal{"Cpu1", [](PolicyBuilder b) { return std::move(b).max_cpu(1); }, std::nullopt},
        Refusal{"Cpu100", [](PolicyBuilder b) { return std::move(b).max_cpu(100); }, std::nullopt},
        Refusal{"ListsBeforeCpu",
                [](PolicyBuilder b) {
                    return std::move(b).max_cpu(0).deny_syscalls({"a"}).allow_syscalls({"b"});
                },
                exclusive},
        Refusal{"UnknownDeniedCall",
                [](PolicyBuilder b) { return std::move(b).deny_syscalls({"mount", "no_such_call"}); },
                "invalid policy: deny_syscalls names 'no_such_call', which is not a system call "
                "it can deny"},
        Refusal{"EmptyDeniedName",
                [](PolicyBuilder b) { return std::move(b).deny_syscalls({""}); },
                "invalid policy: deny_syscalls names '', which is not a system call it can deny"},
        Refusal{"DeniedNameIsExact",
                [](PolicyBuilder b) { return std::move(b).deny_syscalls({"Mount"}); },
                "invalid policy: deny_syscalls names 'Mount', which is not a system call it can "
                "deny"},
        Refusal{"UnknownNameBeforeCpu",
                [](PolicyBuilder b) { return std::move(b).max_cpu(0).deny_syscalls({"nope"}); },
                "invalid policy: deny_syscalls names 'nope', which is not a system call it can deny"},
        Refusal{"DeniedCallsOnlyRoutingNamedBefore",
                [](PolicyBuilder b) { return std::move(b).deny_syscalls({"chdir", "utime"}); },
                std::nullopt},
        Refusal{"CpuBeforeIsolation",
                [](PolicyBuilder b) {
                    return std::move(b).fs_isolation(FsIsolation::OverlayFs).max_cpu(0);
                },
                "max_cpu must be 1-100, got 0"},
        Refusal{"OverlayWithoutWorkdir",
                [](PolicyBuilder b) { return std::move(b).fs_isolation(FsIsolation::OverlayFs); },
                "fs_isolation requires workdir to be set"},
        Refusal{"TessarinWithoutWorkdir",
                [](PolicyBuilder b) { return std::move(b).fs_isolation(FsIsolation::Tessarin); },
                "fs_isolation requires workdir to be set"},
        Refusal{"ExplicitNoneWithoutWorkdir",
                [](PolicyBuilder b) { return std::move(b).fs_isolation(FsIsolation::None); },
                std::nullopt},
        Refusal{"OverlayWithWorkdir",
                [](PolicyBuilder b) {
                    return std::move(b).fs_isolation(FsIsolation::OverlayFs).workdir("/w");
                },
                std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST(PolicyBuilder, SettersKeepWhatTheySet) {
    auto p = Policy::builder()
                 .max_processes(0)
                 .no_raw_sockets(false)
                 .close_fds(false)
                 .workdir("/first")
                 .workdir("/second")
                 .fs_write("/a")
                 .fs_write("/b")
                 .env_var("K", "1")
                 .env_var("K", "2")
                 .cpu_cores({})
                 .deny_syscalls({})
                 .on_exit(BranchAction::Keep)
                 .on_error(BranchAction::Abort)
                 .build();
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->max_processes, 0u);
    EXPECT_FALSE(p->no_raw_sockets);
    EXPECT_FALSE(p->close_fds);
    EXPECT_EQ(p->workdir, Path("/second"));
    EXPECT_EQ(p->fs_writable, (std::vector<Path>{"/a", "/b"}));
    ASSERT_EQ(p->env.size(), 1u);
    EXPECT_EQ(p->env.at("K"), "2");
    ASSERT_TRUE(p->cpu_cores.has_value());
    EXPECT_TRUE(p->cpu_cores->empty());
    ASSERT_TRUE(p->deny_syscalls.has_value());
    EXPECT_EQ(p->on_exit, BranchAction::Keep);
    EXPECT_EQ(p->on_error, BranchAction::Abort);
}

TEST(Policy, CloneSharesTheCallbackAndCopiesTheRest) {
    int calls = 0;
    auto source = std::make_unique<Policy>(
        *Policy::builder()
             .fs_read("/usr")
             .policy_fn([&calls](const SyscallEvent&, PolicyContext&) {
                 ++calls;
                 return Verdict{};
             })
             .build());
    Policy copy = source->clone();
    EXPECT_EQ(copy.policy_fn, source->policy_fn);
    EXPECT_EQ(copy.policy_fn.use_count(), 2);
    source->fs_readable.push_back("/changed");
    EXPECT_EQ(copy.fs_readable, std::vector<Path>{"/usr"});

    source.reset();
    PolicyContext ctx;
    (*copy.policy_fn)(SyscallEvent{}, ctx);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(copy.policy_fn.use_count(), 1);
}

}  // namespace
}  // namespace vestrion
