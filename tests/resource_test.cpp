// The process and memory budgets: their arithmetic, the handlers against the test's own address
// space, and whole sandboxes under a budget.
#include "core/resource.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "core/seccomp/state.hpp"
#include "tests/child_harness.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

using resource::Charge;
using seccomp::notif::NotifAction;
using seccomp::notif::NotifPolicy;
using seccomp::notif::SharedSupervisorState;
using sys::proc::Mapping;

constexpr std::uint64_t MiB = 1u << 20;

seccomp_notif notif_of(int nr, std::initializer_list<std::uint64_t> args, std::uint32_t pid = 0,
                       std::uint64_t id = 1) {
    seccomp_notif n{};
    n.id = id;
    n.pid = pid ? pid : static_cast<std::uint32_t>(::getpid());
    n.data.nr = nr;
    std::size_t i = 0;
    for (std::uint64_t a : args) n.data.args[i++] = a;
    return n;
}

// --- Fork budget ---

struct ForkCase {
    const char* name;
    int nr;
    std::uint64_t flags;
    bool frozen;
    std::uint32_t count_before, max;
    int answer_errno;  // 0: Continue, -1: Hold
    std::uint32_t count_after;
};
void PrintTo(const ForkCase& c, std::ostream* os) {
    *os << c.name;
}

class ForkBudget : public ::testing::TestWithParam<ForkCase> {};

TEST_P(ForkBudget, Answers) {
    const ForkCase& c = GetParam();
    SharedSupervisorState shared(c.max, std::nullopt);
    shared.state.fork_count = c.count_before;
    shared.state.frozen = c.frozen;
    NotifAction answer = resource::handle_fork(notif_of(c.nr, {c.flags}, 4242, 99), shared);
    if (c.answer_errno == 0) {
        EXPECT_TRUE(answer.is<NotifAction::Continue>());
    } else if (c.answer_errno < 0) {
        EXPECT_TRUE(answer.is<NotifAction::Hold>());
        EXPECT_EQ(shared.state.held_notifs, (std::vector<seccomp::notif::HeldNotif>{{99, 4242}}));
    } else {
        ASSERT_TRUE(answer.is<NotifAction::Errno>());
        EXPECT_EQ(answer.get<NotifAction::Errno>()->error, c.answer_errno);
    }
    EXPECT_EQ(shared.state.fork_count, c.count_after);
    bool counted = c.count_after > c.count_before;
    EXPECT_EQ(shared.state.fork_pids,
              counted ? std::vector<std::uint32_t>{4242} : std::vector<std::uint32_t>{});
}

INSTANTIATE_TEST_SUITE_P(
    Table, ForkBudget,
    ::testing::Values(
        ForkCase{"ProcessIsCounted", SYS_clone, SIGCHLD, false, 0, 2, 0, 1},
        ForkCase{"LastSlot", SYS_clone, SIGCHLD, false, 1, 2, 0, 2},
        ForkCase{"BudgetUsedUp", SYS_clone, SIGCHLD, false, 2, 2, EAGAIN, 2},
        ForkCase{"ThreadIsNotCounted", SYS_clone, CLONE_VM | CLONE_THREAD | CLONE_SIGHAND, false, 2,
                 2, 0, 2},
        ForkCase{"NewUserNamespaceRefused", SYS_clone, CLONE_NEWUSER | SIGCHLD, false, 0, 2, EPERM,
                 0},
        ForkCase{"NewNetworkNamespaceRefused", SYS_clone, CLONE_NEWNET, false, 0, 2, EPERM, 0},
        // A child or thread of our caller, which the sandbox could never reap or reach.
        ForkCase{"CloneParentRefused", SYS_clone, CLONE_PARENT | SIGCHLD, false, 0, 2, EPERM, 0},
        ForkCase{"CloneParentThreadRefused", SYS_clone,
                 CLONE_VM | CLONE_THREAD | CLONE_SIGHAND | CLONE_PARENT, false, 0, 2, EPERM, 0},
        ForkCase{"VforkIsCounted", SYS_vfork, 0, false, 0, 2, 0, 1},
        ForkCase{"ForkIsCounted", SYS_fork, 0, false, 1, 2, 0, 2},
        // clone3's flags lie in memory the child can change: the C library falls back to clone.
        ForkCase{"Clone3IsNotImplemented", SYS_clone3, 0, false, 0, 2, ENOSYS, 0},
        ForkCase{"FrozenHoldsAFork", SYS_clone, SIGCHLD, true, 0, 2, -1, 0},
        ForkCase{"FrozenLetsThreadsThrough", SYS_clone, CLONE_THREAD, true, 0, 2, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Arithmetic and /proc parsing ---

TEST(MemoryArithmetic, HeapIsMeasuredFromTheStartOfTheImagesHeap) {
    const std::uint64_t start = 0x5000'0000;
    EXPECT_EQ(resource::heap_after_brk(start, start, 0), 0u);
    EXPECT_EQ(resource::heap_after_brk(start, start + 1, 0), 4096u);
    EXPECT_EQ(resource::heap_after_brk(start, start + MiB, 0), MiB);
    EXPECT_EQ(resource::heap_after_brk(start, start - 4096, 123), 123u) << "refused by the kernel";
    EXPECT_EQ(resource::page_up(~0ull - 5), ~0ull);
}

TEST(MemoryArithmetic, OnlyAccessibleAnonymousPrivateMemoryIsReleasable) {
    auto map = [](const char* line) { return *sys::proc::parse_maps_line(line); };
    const std::uint64_t lo = 0x1000, hi = 0x9000;
    struct Case {
        const char* line;
        std::uint64_t released;
    };
    for (auto [line, released] : {
             Case{"00002000-00004000 rw-p 00000000 00:00 0", 0x2000},
             Case{"00000000-00002000 rw-p 00000000 00:00 0", 0x1000},  // overlaps the start
             Case{"00008000-0000a000 r--p 00000000 00:00 0 [anon:arena]", 0x1000},
             Case{"00002000-00004000 ---p 00000000 00:00 0", 0},  // a reservation
             Case{"00002000-00004000 rw-s 00000000 00:01 12 /dev/zero (deleted)", 0},
             Case{"00002000-00004000 rw-p 00001000 08:01 77 /usr/lib/libc.so.6", 0},
             Case{"00002000-00004000 rw-p 00000000 00:00 0 [heap]", 0},  // measured through brk
             Case{"0000a000-0000c000 rw-p 00000000 00:00 0", 0},
         })
        EXPECT_EQ(resource::releasable_overlap(map(line), lo, hi), released) << line;
}

TEST(ProcParsing, FieldsComeFromTheirPlaces) {
    EXPECT_EQ(
        sys::proc::parse_thread_group("Name:\tx\nUmask:\t0022\nState:\tS\nTgid:\t4321\nPid:\t9"),
        4321u);
    EXPECT_FALSE(sys::proc::parse_thread_group("Name:\tTgid:\n"));
    // A command name with spaces and parentheses; start_brk and arg_start are fields 47 and 48.
    std::string stat = "77 (a b) c) S";
    for (int field = 4; field <= 52; ++field)
        stat += " " + std::to_string(field == 47 ? 0x5000 : field == 48 ? 0x7ff0 : field);
    auto layout = sys::proc::parse_image_layout(stat);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->start_brk, 0x5000u);
    EXPECT_EQ(layout->arg_start, 0x7ff0u);
    EXPECT_FALSE(sys::proc::parse_image_layout("77 (x) S 1 2 3"));
    EXPECT_FALSE(sys::proc::parse_maps_line("garbage"));
}

TEST(ProcParsing, FileCredentialsAreTheUmaskAndTheFileSystemIds) {
    // Real, effective, saved, file-system: only the last decides what a thread may touch.
    EXPECT_EQ(sys::proc::parse_file_credentials(
                  "Name:\tsh\nUmask:\t0027\nState:\tS\nUid:\t1\t2\t3\t1000\nGid:\t4\t5\t6\t100\n"),
              (sys::proc::FileCredentials{027, 1000, 100}));
    EXPECT_FALSE(sys::proc::parse_file_credentials("Name:\tsh\nUid:\t1\t2\t3\t4\n"));
}

TEST(ProcParsing, IdsMapThroughTheRangesOfAUserNamespace) {
    const char* map = "         0       1000          1\n       100     100000      65536\n";
    struct Case {
        std::uint32_t id;
        bool to_ours;
        std::optional<std::uint32_t> mapped;
    };
    for (auto [id, to_ours, mapped] :
         {Case{0, true, 1000}, Case{1, true, std::nullopt}, Case{100, true, 100000},
          Case{65635, true, 165535}, Case{65636, true, std::nullopt}, Case{1000, false, 0},
          Case{100001, false, 101}, Case{0, false, std::nullopt}})
        EXPECT_EQ(sys::proc::map_id(map, id, to_ours), mapped) << id << (to_ours ? " in" : " out");
}

TEST(ProcParsing, GroupAndStateOfAThread) {
    using sys::proc::GroupMembership;
    using sys::proc::parse_group_membership;
    // A command name may hold spaces and parentheses.
    EXPECT_EQ(parse_group_membership("42 (a) S 7 (b) R 1 99 99 0"), (GroupMembership{99, true}));
    EXPECT_EQ(parse_group_membership("42 (x) Z 1 77 77 0"), (GroupMembership{77, false}));
    EXPECT_EQ(parse_group_membership("42 (x) X 1 77"), (GroupMembership{77, false}));
    for (const char* bad : {"42 (x) S 1", "42 x S 1 77", "42 (x) S 1 -", ""})
        EXPECT_FALSE(parse_group_membership(bad)) << bad;
    auto own = sys::proc::group_membership(static_cast<std::uint32_t>(::getpid()));
    ASSERT_TRUE(own);
    EXPECT_EQ(own->group, ::getpgrp());
    EXPECT_TRUE(own->running);
}

TEST(ProcParsing, MapsReaderWalksTheWholeFile) {
    // Our own maps, compared with a mapping we make: it must be found with its protection.
    void* p = ::mmap(nullptr, 3 * 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(p, MAP_FAILED);
    auto at = reinterpret_cast<std::uint64_t>(p);
    sys::proc::MapsReader maps(static_cast<std::uint32_t>(::getpid()));
    int count = 0;
    bool found = false;
    while (auto m = maps.next()) {
        ++count;
        if (m->start <= at && at < m->end)
            found = !m->accessible && m->kind == Mapping::Kind::Anonymous;
    }
    EXPECT_GT(count, 10);
    EXPECT_TRUE(found);
    ::munmap(p, 3 * 4096);
}

TEST(ProcParsing, QueriedMappingsAgreeWithTheMapsText) {
    // A few kinds side by side: named anonymous, shared anonymous, a file, a reservation.
    void* rw = ::mmap(nullptr, 2 * 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    void* shared = ::mmap(nullptr, 4096, PROT_READ, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    void* none = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ::prctl(PR_SET_VMA, PR_SET_VMA_ANON_NAME, rw, 2 * 4096,
            "a-name-longer-than-the-thirty-two-bytes-asked-for");
    auto pid = static_cast<std::uint32_t>(::getpid());
    // Room reserved first: growing either list would change the address space between the two
    // readings.
    std::vector<Mapping> text, queried;
    text.reserve(4096);
    queried.reserve(4096);
    sys::proc::MapsReader maps(pid);
    // The vsyscall page is no mapping of the process, and the kernel's query does not list it.
    while (auto m = maps.next())
        if (m->start < 0xffffffffff600000ull) text.push_back(*m);
    sys::proc::MapsQuery query(pid);
    Mapping m;
    for (std::uint64_t at = 0; query.next(at, m) == sys::proc::MapsQuery::Status::Found; at = m.end)
        queried.push_back(m);
    ASSERT_EQ(queried.size(), text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        EXPECT_EQ(queried[i].start, text[i].start) << i;
        EXPECT_EQ(queried[i].end, text[i].end) << i;
        EXPECT_EQ(queried[i].accessible, text[i].accessible) << i;
        EXPECT_EQ(queried[i].shared, text[i].shared) << i;
        EXPECT_EQ(queried[i].kind, text[i].kind) << std::hex << text[i].start;
    }
    ::munmap(rw, 2 * 4096);
    ::munmap(shared, 4096);
    ::munmap(none, 4096);
}

// --- The memory handler against the test's own address space ---

class MemoryBudget : public ::testing::Test {
  protected:
    MemoryBudget() : shared(64u, std::nullopt) {
        policy.memory = true;
        policy.max_memory = 16 * MiB;
        shared.state.child_pid = 31337;
    }
    bool allowed(const seccomp_notif& n) {
        return resource::handle_memory(n, policy, shared).is<NotifAction::Continue>();
    }
    std::uint64_t used() const { return shared.state.memory_used(); }
    // A real mapping of ours, charged as if the sandbox had asked for it.
    std::uint64_t charged_mapping(std::uint64_t bytes) {
        void* p =
            ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        EXPECT_NE(p, MAP_FAILED);
        mappings.emplace_back(p, bytes);
        EXPECT_TRUE(allowed(
            notif_of(SYS_mmap, {0, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS})));
        return reinterpret_cast<std::uint64_t>(p);
    }
    ~MemoryBudget() override {
        for (auto [p, bytes] : mappings) ::munmap(p, bytes);
    }

    NotifPolicy policy;
    SharedSupervisorState shared;
    std::vector<std::pair<void*, std::uint64_t>> mappings;
};

TEST_F(MemoryBudget, AnonymousMappingsWithAccessAreChargedUpToTheLimit) {
    EXPECT_TRUE(allowed(notif_of(SYS_mmap, {0, 4 * MiB, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS})));
    EXPECT_TRUE(allowed(notif_of(SYS_mmap, {0, 64 * MiB, PROT_READ, MAP_PRIVATE, 3})));
    EXPECT_EQ(used(), 0u) << "reservations and file mappings cost nothing";
    EXPECT_TRUE(allowed(
        notif_of(SYS_mmap, {0, 10 * MiB, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS})));
    EXPECT_TRUE(
        allowed(notif_of(SYS_mmap, {0, 6 * MiB - 1, PROT_READ, MAP_SHARED | MAP_ANONYMOUS})));
    EXPECT_EQ(used(), 16 * MiB) << "exactly the limit is allowed";
    NotifAction refused = resource::handle_memory(
        notif_of(SYS_mmap, {0, 1, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS}), policy, shared);
    ASSERT_TRUE(refused.is<NotifAction::Kill>());
    EXPECT_EQ(refused.get<NotifAction::Kill>()->signal, SIGKILL);
    EXPECT_EQ(refused.get<NotifAction::Kill>()->group, 31337) << "the sandbox's group";
    EXPECT_EQ(used(), 16 * MiB) << "a refusal changes nothing";
}

TEST_F(MemoryBudget, UnmappingCreditsOnlyWhatTheRangeReallyHolds) {
    std::uint64_t at = charged_mapping(8 * MiB);
    charged_mapping(4 * MiB);
    ASSERT_EQ(used(), 12 * MiB);
    EXPECT_TRUE(allowed(notif_of(SYS_munmap, {0x200000000000ull, 0x100000000000ull})));
    EXPECT_EQ(used(), 12 * MiB) << "nothing lies there";
    EXPECT_TRUE(allowed(notif_of(SYS_munmap, {at + 1, MiB})));
    EXPECT_EQ(used(), 12 * MiB) << "refused by the kernel: unaligned";
    EXPECT_TRUE(allowed(notif_of(SYS_munmap, {at, 2 * MiB})));
    EXPECT_EQ(used(), 10 * MiB);
}

TEST_F(MemoryBudget, FixedMappingOverChargedMemoryReplacesIt) {
    std::uint64_t at = charged_mapping(8 * MiB);
    EXPECT_TRUE(allowed(notif_of(
        SYS_mmap, {at, 8 * MiB, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED})));
    EXPECT_EQ(used(), 8 * MiB);
    EXPECT_TRUE(allowed(
        notif_of(SYS_mmap, {at, 8 * MiB, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED})));
    EXPECT_EQ(used(), 0u);
}

TEST_F(MemoryBudget, MremapChargesGrowthOfAnonymousMemoryOnly) {
    std::uint64_t at = charged_mapping(2 * MiB);
    EXPECT_TRUE(allowed(notif_of(SYS_mremap, {at, 2 * MiB, 6 * MiB, MREMAP_MAYMOVE})));
    EXPECT_EQ(used(), 6 * MiB);
    EXPECT_TRUE(allowed(notif_of(SYS_mremap, {at, 2 * MiB, MiB, 0})));
    EXPECT_EQ(used(), 5 * MiB);
    EXPECT_TRUE(allowed(notif_of(SYS_mremap, {0x200000000000ull, 4096, 64 * MiB, MREMAP_MAYMOVE})));
    EXPECT_EQ(used(), 5 * MiB) << "nothing mapped there";
}

TEST_F(MemoryBudget, HeapIsChargedFromItsStartAndAQueryCostsNothing) {
    auto layout = sys::proc::image_layout(static_cast<std::uint32_t>(::getpid()));
    ASSERT_TRUE(layout);
    EXPECT_TRUE(allowed(notif_of(SYS_brk, {0})));
    EXPECT_EQ(used(), 0u);
    // Even the first brk of a process is charged: nothing is free.
    EXPECT_TRUE(allowed(notif_of(SYS_brk, {layout->start_brk + 3 * MiB})));
    EXPECT_EQ(used(), 3 * MiB);
    EXPECT_TRUE(allowed(notif_of(SYS_brk, {layout->start_brk + MiB})));
    EXPECT_EQ(used(), MiB);
    EXPECT_FALSE(allowed(notif_of(SYS_brk, {layout->start_brk + 17 * MiB})));
    EXPECT_EQ(used(), MiB);
}

TEST_F(MemoryBudget, SharedMemoryIsChargedWhenASegmentMayBeCreated) {
    EXPECT_TRUE(allowed(notif_of(SYS_shmget, {IPC_PRIVATE, 0, 0})));
    EXPECT_TRUE(allowed(notif_of(SYS_shmget, {1234, 8 * MiB, 0})));
    EXPECT_EQ(used(), 0u) << "attaching an existing segment";
    EXPECT_TRUE(allowed(notif_of(SYS_shmget, {1234, 8 * MiB, IPC_CREAT})));
    EXPECT_EQ(used(), 8 * MiB);
}

TEST(MemoryLedger, ANewImageReleasesWhatTheOldOneWasCharged) {
    resource::MemoryLedger ledger;
    auto& process = ledger.record(static_cast<std::uint32_t>(::getpid()));
    ledger.enter_image(process, {0x1000, 0x2000});
    ASSERT_TRUE(ledger.apply(process, Charge{5 * MiB, 0}, 16 * MiB));
    ledger.enter_image(process, {0x1000, 0x2000});
    EXPECT_EQ(ledger.used(), 5 * MiB) << "the same image";
    ledger.enter_image(process, {0x9000, 0x2000});
    EXPECT_EQ(ledger.used(), 0u);
    ASSERT_TRUE(ledger.apply(process, Charge{MiB, 0}, 16 * MiB));
    EXPECT_TRUE(ledger.apply(process, Charge{0, 9 * MiB}, 16 * MiB));
    EXPECT_EQ(ledger.used(), 0u) << "credits are bounded by the process's charges";
}

TEST(MemoryLedger, EndedProcessesAreCreditedWhenTheBudgetIsShort) {
    resource::MemoryLedger ledger;
    pid_t gone = ::fork();
    if (gone == 0) ::_exit(0);
    auto& ended = ledger.record(static_cast<std::uint32_t>(gone));  // opened while it lives
    ASSERT_TRUE(ledger.apply(ended, Charge{10 * MiB, 0}, 16 * MiB));
    ::waitpid(gone, nullptr, 0);
    auto& alive = ledger.record(static_cast<std::uint32_t>(::getpid()));
    EXPECT_TRUE(ledger.apply(alive, Charge{10 * MiB, 0}, 16 * MiB));
    EXPECT_EQ(ledger.used(), 10 * MiB);
    EXPECT_EQ(ledger.tracked_processes(), 1u);
    EXPECT_FALSE(ledger.apply(alive, Charge{10 * MiB, 0}, 16 * MiB)) << "no one else to credit";
}

// --- Sandboxes under a budget ---

test::ChildOptions supervised() {
    return {.real_supervisor = true, .guard_seconds = 60};
}

test::ChildRun run_helper(PolicyBuilder builder, std::vector<std::string> args) {
    args.insert(args.begin(), VESTRION_TEST_HELPER);
    return test::run_confined(*std::move(builder).build(), args, supervised());
}

bool killed(const test::ChildRun& run) {
    return WIFSIGNALED(run.wait_status) && WTERMSIG(run.wait_status) == SIGKILL;
}

TEST(ProcessBudgetRun, ForksAreCountedOverTheWholeLife) {
    auto run = run_helper(test::readable_root().max_processes(2), {"fork-n", "3"});
    EXPECT_EQ(run.out, "ok ok EAGAIN\n") << run.err;
    EXPECT_EQ(run.state->state.fork_count, 2u);
}

TEST(ProcessBudgetRun, ThreadsAreNotCounted) {
    auto run = run_helper(test::readable_root().max_processes(2), {"threads", "200"});
    EXPECT_EQ(run.out, "started 200\n") << run.err;
    EXPECT_EQ(run.state->state.fork_count, 0u);
}

TEST(ProcessBudgetRun, NamespacesAreRefusedAndNotCounted) {
    auto run = run_helper(test::readable_root().max_processes(1), {"clone-flags"});
    // With one fork allowed, the raw fork finds the budget used up.
    EXPECT_EQ(run.out, "clone EPERM clone3 ENOSYS fork ok raw-fork EAGAIN\n") << run.err;
}

TEST(MemoryBudgetRun, MappingOverTheBudgetKillsTheSandbox) {
    auto run = run_helper(test::readable_root().max_memory(16 * MiB), {"mmap-anon", "67108864"});
    EXPECT_TRUE(killed(run)) << run.out << run.err;
    EXPECT_EQ(run.out, "");
}

TEST(MemoryBudgetRun, FileMappingIsNotCharged) {
    test::TempDir dir;
    std::filesystem::path file = dir / "big";
    test::write_file(file, "");
    std::filesystem::resize_file(file, 64 * MiB);
    auto run = run_helper(test::readable_root().max_memory(16 * MiB),
                          {"mmap-file", file.native(), "67108864"});
    EXPECT_EQ(run.out, "mapped\n") << run.err;
    EXPECT_EQ(run.exit_code(), 0);
}

TEST(MemoryBudgetRun, UnmappingNothingDoesNotResetTheBudget) {
    auto run = run_helper(test::readable_root().max_memory(16 * MiB), {"munmap-huge"});
    EXPECT_EQ(run.out, "munmap ok\n") << run.err;
    EXPECT_TRUE(killed(run));
}

TEST(MemoryBudgetRun, AChildOverTheBudgetTakesItsGroupWithIt) {
    auto run =
        run_helper(test::readable_root().max_memory(16 * MiB), {"fork-then-mmap", "67108864"});
    EXPECT_TRUE(killed(run)) << run.out << run.err;
    EXPECT_EQ(run.out, "");
}

TEST(MemoryBudgetRun, ThreadedProgramRuns) {
    auto run = run_helper(test::readable_root().max_memory(64 * MiB), {"threads-alloc", "8"});
    EXPECT_EQ(run.out, "done\n") << run.err;
    EXPECT_EQ(run.exit_code(), 0);
}

TEST(MemoryBudgetRun, ProgramsThatExecRun) {
    for (const char* shell : {"/bin/sh", "/bin/bash"}) {
        if (::access(shell, X_OK) != 0) continue;
        std::string script =
            std::string("x=$(echo a); exec ") + VESTRION_TEST_HELPER + " threads-alloc 2";
        auto run = test::run_confined(*test::readable_root().max_memory(64 * MiB).build(),
                                      {shell, "-c", script}, supervised());
        EXPECT_EQ(run.out, "done\n") << shell << ": " << run.err;
        EXPECT_EQ(run.exit_code(), 0) << shell;
        EXPECT_LT(run.state->state.memory_used(), 32 * MiB) << shell;
    }
}

}  // namespace
}  // namespace vestrion
