// The routing records and the order of the dispatch rules, with stand-in handlers.
#include "core/seccomp/dispatch.hpp"

#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <set>

#include "tests/support.hpp"

namespace vestrion {
namespace {

using seccomp::notif::Call;
using seccomp::notif::NotifAction;
using seccomp::notif::NotifPolicy;
using seccomp::notif::SharedSupervisorState;

// --- NotifPolicy ---

TEST(NotifPolicy, SwitchesFollowThePolicy) {
    auto switches = [](PolicyBuilder b) {
        auto p = NotifPolicy::from_policy(*std::move(b).build(), 0);
        std::string on;
        for (auto [name, flag] : {std::pair{"memory", p.memory},
                                  {"network", p.network},
                                  {"random", p.random},
                                  {"time", p.time},
                                  {"proc_views", p.proc_views},
                                  {"pid_filter", p.pid_filter},
                                  {"port_remap", p.port_remap},
                                  {"cow", p.cow},
                                  {"deterministic_dirs", p.deterministic_dirs}})
            if (flag) on += std::string(on.empty() ? "" : " ") + name;
        return on;
    };
    EXPECT_EQ(switches(Policy::builder()), "");
    EXPECT_EQ(switches(Policy::builder().port_remap(true)), "proc_views port_remap");
    EXPECT_EQ(switches(Policy::builder().isolate_pids(true)), "proc_views pid_filter");
    EXPECT_EQ(switches(Policy::builder().max_memory(1 << 20)), "memory proc_views");
    EXPECT_EQ(switches(Policy::builder().num_cpus(2)), "proc_views");
    EXPECT_EQ(switches(Policy::builder().policy_fn(
                  [](const SyscallEvent&, PolicyContext&) { return Verdict{}; })),
              "network");
    EXPECT_EQ(switches(Policy::builder().random_seed(1).time_start(TimePoint{})), "random time");
    EXPECT_EQ(switches(Policy::builder().workdir("/tmp")), "cow");
    EXPECT_EQ(switches(Policy::builder().workdir("/tmp").fs_isolation(FsIsolation::OverlayFs)), "");
    EXPECT_EQ(switches(Policy::builder().deterministic_dirs(true)), "deterministic_dirs");
}

TEST(NotifPolicy, CopiesValuesAndDefaultsTheMemoryLimitToZero) {
    auto p = NotifPolicy::from_policy(*Policy::builder().hostname("box").num_cpus(3).build(), -60);
    EXPECT_EQ(p.hostname, "box");
    EXPECT_EQ(p.num_cpus, 3u);
    EXPECT_EQ(p.max_memory, 0u);
    EXPECT_EQ(p.time_offset, -60);
}

// --- Denied paths ---

TEST(DeniedPaths, MatchTheEntryOrWhatLiesBelowItAsSpelled) {
    seccomp::notif::SupervisorState state(64, std::nullopt);
    state.denied_paths->paths = {"/etc/passwd", "/data"};
    struct Case {
        const char* path;
        bool denied;
    };
    for (auto [path, denied] :
         {Case{"/etc/passwd", true}, Case{"/etc/passwd-", false}, Case{"etc/passwd", false},
          Case{"/data", true}, Case{"/data/x", true}, Case{"/database", false},
          Case{"/etc/../data", false}, Case{"", false}})
        EXPECT_EQ(state.is_path_denied(path), denied) << path;
}

TEST(DeniedPaths, NullPathIsNeverDenied) {
    seccomp::notif::SupervisorState state(64, std::nullopt);
    state.denied_paths->paths = {"/"};
    seccomp_notif n{};
    n.data.nr = SYS_openat;
    EXPECT_FALSE(state.is_path_denied_for_notif(n, -1));
}

// --- Dispatch order ---

enum Tag : std::int64_t {
    None = 0,  // the routing ended in Continue
    Fork = 1,
    Memory,
    Network,
    Getrandom,
    RandomOpen,
    Timer,
    ChrootOpen,
    ChrootCall,
    CowWrite,
    CowOpen,
    CowRead,
    ProcOpen,
    ProcListing,
    Cpu,
    Uname,
    HostnameOpen,
    Sorted,
    Bind,
    Getsockname,
    GroupCall,
    ProcessReach,
    Metadata,
};

// Answers with its tag, unless told to decline (none, or Continue for the virtual-root open).
class Recording : public seccomp::notif::Handlers {
  public:
    explicit Recording(std::set<Tag> declines) : declines_(std::move(declines)) {}

    NotifAction fork(const Call&) override { return tag(Fork); }
    NotifAction group_call(const Call&) override { return tag(GroupCall); }
    NotifAction process_reach(const Call&) override { return tag(ProcessReach); }
    NotifAction memory(const Call&) override { return tag(Memory); }
    NotifAction network(const Call&) override { return tag(Network); }
    NotifAction getrandom(const Call&, random::Rng&) override { return tag(Getrandom); }
    std::optional<NotifAction> random_open(const Call&, random::Rng&) override {
        return maybe(RandomOpen);
    }
    NotifAction timer(const Call&) override { return tag(Timer); }
    NotifAction chroot_open(const Call&, int) override {
        auto a = maybe(ChrootOpen);
        return a ? std::move(*a) : NotifAction(NotifAction::Continue{});
    }
    std::optional<NotifAction> chroot_call(const Call&) override { return maybe(ChrootCall); }
    std::optional<NotifAction> cow_write(const Call&) override { return maybe(CowWrite); }
    std::optional<NotifAction> cow_open(const Call&) override { return maybe(CowOpen); }
    std::optional<NotifAction> cow_read(const Call&) override { return maybe(CowRead); }
    std::optional<NotifAction> proc_open(const Call&) override { return maybe(ProcOpen); }
    std::optional<NotifAction> proc_listing(const Call&) override { return maybe(ProcListing); }
    NotifAction cpu_affinity(const Call&, std::uint32_t) override { return tag(Cpu); }
    NotifAction uname(const Call&) override { return tag(Uname); }
    std::optional<NotifAction> hostname_open(const Call&) override { return maybe(HostnameOpen); }
    NotifAction sorted_listing(const Call&) override { return tag(Sorted); }
    NotifAction bind(const Call&) override { return tag(Bind); }
    NotifAction getsockname(const Call&) override { return tag(Getsockname); }
    NotifAction metadata(const Call&) override { return tag(Metadata); }

  private:
    NotifAction tag(Tag t) { return NotifAction::ReturnValue{t}; }
    std::optional<NotifAction> maybe(Tag t) {
        if (declines_.count(t)) return std::nullopt;
        return tag(t);
    }
    std::set<Tag> declines_;
};

struct RouteCase {
    const char* name;
    std::function<void(NotifPolicy&)> policy;
    int nr;
    Tag expected;
    std::set<Tag> declines = {};
    bool rng = false;
    bool cow_dirty = false;
    std::uint64_t arg1 = 0;
};
void PrintTo(const RouteCase& c, std::ostream* os) {
    *os << c.name;
}

class DispatchOrder : public ::testing::TestWithParam<RouteCase> {};

TEST_P(DispatchOrder, RoutesToTheFirstMatchingRule) {
    const RouteCase& c = GetParam();
    NotifPolicy policy;
    if (c.policy) c.policy(policy);
    std::optional<random::Rng> rng;
    if (c.rng) rng.emplace(7);
    SharedSupervisorState shared(64u, rng);
    test::TempDir scratch;
    if (policy.cow) {
        auto branch = cow::SeccompCowBranch::create(scratch.path(), scratch / "storage");
        ASSERT_TRUE(branch.has_value()) << branch.error().message();
        shared.state.cow_branch.emplace(std::move(*branch));
        if (c.cow_dirty) shared.state.cow_branch->mark_dirty();
    }
    seccomp_notif n{};
    n.data.nr = c.nr;
    n.data.args[1] = c.arg1;
    Recording handlers(c.declines);
    NotifAction answer = seccomp::notif::dispatch(Call{n, policy, shared, -1}, handlers);
    if (c.expected == None) {
        EXPECT_TRUE(answer.is<NotifAction::Continue>());
    } else {
        ASSERT_TRUE(answer.is<NotifAction::ReturnValue>());
        EXPECT_EQ(answer.get<NotifAction::ReturnValue>()->value, c.expected);
    }
}

void chroot(NotifPolicy& p) {
    p.chroot = "/srv/root";
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DispatchOrder,
    ::testing::Values(
        RouteCase{"NoSwitchesCloneGoesToTheForkBudget", nullptr, SYS_clone, Fork},
        RouteCase{"NoSwitchesOtherNumbersContinue", nullptr, SYS_openat, None},
        RouteCase{"ForkFamilyIncludesForkAndClone3", chroot, SYS_clone3, Fork},
        RouteCase{"ForkBudgetAnswersUnderAVirtualRoot", chroot, SYS_vfork, Fork},
        // Groups and calls on other processes are answered whatever the switches.
        RouteCase{"SetsidIsRecorded", chroot, SYS_setsid, GroupCall},
        RouteCase{"SetpgidIsRecorded", nullptr, SYS_setpgid, GroupCall},
        RouteCase{"PrlimitOfAnotherProcess", nullptr, SYS_prlimit64, ProcessReach},
        RouteCase{"IoprioOfAnotherGroup", chroot, SYS_ioprio_set, ProcessReach},
        RouteCase{"MemoryOnlyWithItsSwitch", nullptr, SYS_mmap, None},
        RouteCase{"MemoryWithItsSwitch", [](NotifPolicy& p) { p.memory = true; }, SYS_brk, Memory},
        RouteCase{"NetworkCalls", [](NotifPolicy& p) { p.network = true; }, SYS_sendmsg, Network},
        RouteCase{"SendmmsgIsANetworkCall", [](NotifPolicy& p) { p.network = true; }, SYS_sendmmsg,
                  Network},
        RouteCase{"GetrandomWithTheGenerator",
                  [](NotifPolicy& p) { p.random = true; },
                  SYS_getrandom,
                  Getrandom,
                  {},
                  true},
        RouteCase{"GetrandomWithoutTheGeneratorFallsThrough",
                  [](NotifPolicy& p) { p.random = true; }, SYS_getrandom, None},
        RouteCase{"RandomDeviceBeforeTheVirtualRoot",
                  [](NotifPolicy& p) {
                      p.random = true;
                      chroot(p);
                  },
                  SYS_openat,
                  RandomOpen,
                  {},
                  true},
        RouteCase{"OtherOpensPassFromRandomToTheVirtualRoot",
                  [](NotifPolicy& p) {
                      p.random = true;
                      chroot(p);
                  },
                  SYS_openat,
                  ChrootOpen,
                  {RandomOpen},
                  true},
        RouteCase{"Timers", [](NotifPolicy& p) { p.time = true; }, SYS_clock_nanosleep, Timer},
        RouteCase{"VirtualRootOpenWithoutAT", chroot, SYS_open, ChrootOpen},
        RouteCase{"VirtualRootTakesCreat", chroot, SYS_creat, ChrootOpen},
        RouteCase{"VirtualRootTakesAttributeReadsByPath", chroot, SYS_getxattr, ChrootCall},
        RouteCase{"VirtualRootPassesADescriptorFormToMetadata", chroot, SYS_utimensat, Metadata,
                  {ChrootCall}},
        RouteCase{"VirtualRootLeavesListingsToSorting",
                  [](NotifPolicy& p) {
                      chroot(p);
                      p.deterministic_dirs = true;
                  },
                  SYS_getdents64, Sorted},
        RouteCase{"VirtualRootTakesItsTable",
                  [](NotifPolicy& p) {
                      chroot(p);
                      p.cow = true;
                  },
                  SYS_unlinkat, ChrootCall},
        RouteCase{"VirtualRootOpenPassesToCopyOnWrite",
                  [](NotifPolicy& p) {
                      chroot(p);
                      p.cow = true;
                  },
                  SYS_openat,
                  CowOpen,
                  {ChrootOpen}},
        RouteCase{"VirtualRootPassesCpuCount",
                  [](NotifPolicy& p) {
                      chroot(p);
                      p.num_cpus = 2;
                  },
                  SYS_sched_getaffinity, Cpu},
        RouteCase{"CopyOnWriteWrites", [](NotifPolicy& p) { p.cow = true; }, SYS_renameat2,
                  CowWrite},
        RouteCase{"CleanCopyOnWriteLeavesReadsToTheKernel", [](NotifPolicy& p) { p.cow = true; },
                  SYS_newfstatat, None},
        RouteCase{"DirtyCopyOnWriteServesReads",
                  [](NotifPolicy& p) { p.cow = true; },
                  SYS_newfstatat,
                  CowRead,
                  {},
                  false,
                  true},
        // A listing the layer does not serve reaches the later rules.
        RouteCase{"CopyOnWriteListingOutsideTheTreeReachesSorting",
                  [](NotifPolicy& p) {
                      p.cow = true;
                      p.deterministic_dirs = true;
                  },
                  SYS_getdents64,
                  Sorted,
                  {CowRead},
                  false,
                  true},
        RouteCase{"ProcOpen", [](NotifPolicy& p) { p.proc_views = true; }, SYS_openat, ProcOpen},
        RouteCase{"PathsTheProcViewsDoNotServeReachTheHostName",
                  [](NotifPolicy& p) {
                      p.proc_views = true;
                      p.hostname = "box";
                  },
                  SYS_openat,
                  HostnameOpen,
                  {ProcOpen}},
        RouteCase{"ProcListingNeedsPidFilter",
                  [](NotifPolicy& p) {
                      p.proc_views = true;
                      p.deterministic_dirs = true;
                  },
                  SYS_getdents64, Sorted},
        RouteCase{"ProcListing",
                  [](NotifPolicy& p) { p.proc_views = p.pid_filter = p.deterministic_dirs = true; },
                  SYS_getdents, ProcListing},
        RouteCase{"ListingsOutsideProcReachSorting",
                  [](NotifPolicy& p) { p.proc_views = p.pid_filter = p.deterministic_dirs = true; },
                  SYS_getdents64,
                  Sorted,
                  {ProcListing}},
        RouteCase{"Uname", [](NotifPolicy& p) { p.hostname = "box"; }, SYS_uname, Uname},
        RouteCase{"UnameWithTheProcViews",
                  [](NotifPolicy& p) {
                      p.proc_views = p.pid_filter = true;
                      p.hostname = "box";
                  },
                  SYS_uname, Uname},
        // The layer's own files first; the views see what it passes on.
        RouteCase{"CopyOnWriteOpenBeforeTheProcViews",
                  [](NotifPolicy& p) { p.cow = p.proc_views = true; }, SYS_openat, CowOpen},
        RouteCase{"OpensTheLayerPassesReachTheProcViews",
                  [](NotifPolicy& p) { p.cow = p.proc_views = true; },
                  SYS_openat,
                  ProcOpen,
                  {CowOpen}},
        RouteCase{"CleanCopyOnWriteLeavesListingsToSorting",
                  [](NotifPolicy& p) { p.cow = p.deterministic_dirs = true; }, SYS_getdents64,
                  Sorted},
        RouteCase{"BindWithPortRemap",
                  [](NotifPolicy& p) { p.port_remap = p.proc_views = p.deterministic_dirs = true; },
                  SYS_bind, Bind},
        RouteCase{"UnservedHostNameOpenContinues",
                  [](NotifPolicy& p) { p.hostname = "box"; },
                  SYS_openat,
                  None,
                  {HostnameOpen}},
        RouteCase{"BindWithNetworkAlone", [](NotifPolicy& p) { p.network = true; }, SYS_bind, Bind},
        RouteCase{"GetsocknameNeedsPortRemap", [](NotifPolicy& p) { p.network = true; },
                  SYS_getsockname, None},
        RouteCase{"Getsockname", [](NotifPolicy& p) { p.port_remap = true; }, SYS_getsockname,
                  Getsockname},
        // Metadata changes: whatever the switches, after the views of a file system.
        RouteCase{"MetadataWithoutSwitches", nullptr, SYS_fchmod, Metadata},
        RouteCase{"MetadataByNumberAlone", nullptr, 469, Metadata},
        RouteCase{"FlagIoctl", nullptr, SYS_ioctl, Metadata, {}, false, false, 0x40086602},
        RouteCase{"FlagIoctlOfInt", nullptr, SYS_ioctl, Metadata, {}, false, false, 0x40046602},
        RouteCase{"AttributeIoctlWithHighBitsSet", nullptr, SYS_ioctl, Metadata, {}, false, false,
                  (1ull << 32) | 0x401c5820},
        RouteCase{"OtherIoctlsContinue", nullptr, SYS_ioctl, None, {}, false, false, 0x5401},
        RouteCase{"VirtualRootPrecedesMetadata", chroot, SYS_chmod, ChrootCall},
        RouteCase{"CopyOnWritePrecedesMetadata", [](NotifPolicy& p) { p.cow = true; },
                  SYS_fchmodat, CowWrite},
        RouteCase{"MetadataTheCopyOnWriteLayerDoesNotServe",
                  [](NotifPolicy& p) { p.cow = true; },
                  SYS_fchmodat,
                  Metadata,
                  {CowWrite}},
        // Extended attributes, like mode and owner, are the layer's inside the working
        // directory; outside it the metadata rule answers.
        RouteCase{"CopyOnWriteTakesAttributesFirst", [](NotifPolicy& p) { p.cow = true; },
                  SYS_setxattr, CowWrite},
        RouteCase{"AttributesOutsideTheWorkingDirectoryReachMetadata",
                  [](NotifPolicy& p) { p.cow = true; },
                  SYS_setxattr,
                  Metadata,
                  {CowWrite}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Dispatch, BuiltInHandlersAnswerEveryUnbuiltFeatureWithContinue) {
    NotifPolicy policy;
    policy.network = policy.time = policy.proc_views = policy.port_remap = true;
    policy.hostname = "box";
    SharedSupervisorState shared(64u, std::nullopt);
    for (int nr : {SYS_clock_nanosleep, SYS_openat, SYS_write}) {
        seccomp_notif n{};
        n.data.nr = nr;
        EXPECT_TRUE(seccomp::notif::dispatch(n, policy, shared, -1).is<NotifAction::Continue>())
            << nr;
    }
}

}  // namespace
}  // namespace vestrion
