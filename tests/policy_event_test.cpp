// The callback's events built from real notifications, the verdict step, the context's
// operations and the address sets they feed.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <mutex>
#include <thread>

#include "core/policy_fn.hpp"
#include "core/seccomp/notif.hpp"
#include "core/text.hpp"
#include "tests/routed_child.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

using seccomp::notif::Call;
using seccomp::notif::NotifAction;
using seccomp::notif::NotifPolicy;
using seccomp::notif::SharedSupervisorState;
using test::RoutedChild;

IpAddr v4(const char* text) {
    std::array<std::uint8_t, 4> ip;
    inet_pton(AF_INET, text, ip.data());
    return ip;
}

IpAddr v6(const char* text) {
    std::array<std::uint8_t, 16> ip;
    inet_pton(AF_INET6, text, ip.data());
    return ip;
}

sockaddr_in inet(const char* ip, std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// --- Path text ---

TEST(NormalizePath, ResolvesTheTextAlone) {
    struct Case {
        const char* path;
        const char* base;
        const char* normal;
    };
    for (const Case& c : std::initializer_list<Case>{
             {"/etc//passwd", "/", "/etc/passwd"},
             {"/etc/./passwd/", "/", "/etc/passwd"},
             {"../etc/passwd", "/tmp", "/etc/passwd"},
             {"../../../../etc", "/tmp/a", "/etc"},
             {"passwd", "/etc/", "/etc/passwd"},
             {"/a/b/../../..", "/", "/"},
             {"", "/tmp", "/tmp"},
             {"x", "relative/base", "/relative/base/x"},
         })
        EXPECT_EQ(text::normalize_path(c.path, c.base), c.normal) << c.path << " from " << c.base;
}

// --- The callback thread and the verdict step ---

// A supervisor state whose callback records every event and answers with `verdict`.
struct CallbackRig {
    struct Shared {
        std::mutex mutex;
        std::vector<SyscallEvent> events;
    };
    std::shared_ptr<Shared> seen = std::make_shared<Shared>();
    NotifPolicy policy;
    SharedSupervisorState shared{64u, std::nullopt};

    explicit CallbackRig(Verdict verdict) {
        auto fn = std::make_shared<const PolicyFn>(
            [seen = seen, verdict](SyscallEvent event, PolicyContext&) {
                std::lock_guard lock(seen->mutex);
                seen->events.push_back(std::move(event));
                return verdict;
            });
        auto& state = shared.state;
        state.live_policy = std::make_shared<SharedLivePolicy>();
        state.policy_events = *policy_fn::spawn_policy_fn(fn, state.live_policy, {},
                                                          state.pid_networks, state.denied_paths);
    }

    // The events delivered so far; the non-held ones may still be on their way.
    std::vector<SyscallEvent> events(std::size_t at_least) {
        for (int i = 0; i < 500; ++i) {
            {
                std::lock_guard lock(seen->mutex);
                if (seen->events.size() >= at_least) return seen->events;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::lock_guard lock(seen->mutex);
        return seen->events;
    }
};

struct EventCase {
    const char* name;
    int nr;
    std::function<long()> call;  // runs in the routed child
    std::vector<std::pair<std::optional<IpAddr>, std::optional<std::uint16_t>>> addresses;
};
void PrintTo(const EventCase& c, std::ostream* os) { *os << c.name; }

class NetworkEvents : public ::testing::TestWithParam<EventCase> {};

TEST_P(NetworkEvents, CarryTheDestinationOfEachMessage) {
    const EventCase& c = GetParam();
    CallbackRig rig(Verdict::allow());
    RoutedChild child({c.nr}, [&] { return std::to_string(c.call()); });
    auto notif = child.next();
    Call call{notif, rig.policy, rig.shared, child.listener()};
    NotifAction answer = seccomp::notif::emit_policy_event(call, NotifAction::Errno{ENETDOWN});
    EXPECT_TRUE(answer.is<NotifAction::Errno>());
    ASSERT_TRUE(seccomp::notif::send_response(child.listener(), notif.id, std::move(answer)));
    child.finish();
    auto events = rig.events(c.addresses.size());
    ASSERT_EQ(events.size(), c.addresses.size());
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].category, SyscallCategory::Network);
        EXPECT_EQ(events[i].host, c.addresses[i].first) << i;
        EXPECT_EQ(events[i].port, c.addresses[i].second) << i;
        EXPECT_TRUE(events[i].denied);
        EXPECT_EQ(events[i].ppid, static_cast<std::uint32_t>(::getpid()));
    }
}

long connect_to(const sockaddr* address, socklen_t length) {
    int fd = ::socket(address->sa_family, SOCK_STREAM, 0);
    return ::syscall(SYS_connect, fd, address, length);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, NetworkEvents,
    ::testing::Values(
        EventCase{"ConnectV4",
                  SYS_connect,
                  [] {
                      auto a = inet("10.1.2.3", 8080);
                      return connect_to(reinterpret_cast<sockaddr*>(&a), sizeof a);
                  },
                  {{v4("10.1.2.3"), 8080}}},
        EventCase{"ConnectV6",
                  SYS_connect,
                  [] {
                      sockaddr_in6 a{};
                      a.sin6_family = AF_INET6;
                      a.sin6_port = htons(443);
                      inet_pton(AF_INET6, "::ffff:10.0.0.5", &a.sin6_addr);
                      return connect_to(reinterpret_cast<sockaddr*>(&a), sizeof a);
                  },
                  {{v6("::ffff:10.0.0.5"), 443}}},
        EventCase{"ConnectUnixHasNoHost",
                  SYS_connect,
                  [] {
                      sockaddr_un a{};
                      a.sun_family = AF_UNIX;
                      std::strcpy(a.sun_path, "/nonexistent");
                      return connect_to(reinterpret_cast<sockaddr*>(&a), sizeof a);
                  },
                  // Bytes 2-3 read as a port whatever the family; no host.
                  {{std::nullopt, ('/' << 8) | 'n'}}},
        EventCase{"SendtoWithoutDestination",
                  SYS_sendto,
                  [] {
                      int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
                      return ::syscall(SYS_sendto, fd, "x", 1, 0, nullptr, 0);
                  },
                  {{std::nullopt, std::nullopt}}},
        EventCase{"SendmsgName",
                  SYS_sendmsg,
                  [] {
                      int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
                      auto a = inet("192.0.2.7", 53);
                      iovec iov{const_cast<char*>("x"), 1};
                      msghdr m{};
                      m.msg_name = &a;
                      m.msg_namelen = sizeof a;
                      m.msg_iov = &iov;
                      m.msg_iovlen = 1;
                      return ::syscall(SYS_sendmsg, fd, &m, 0);
                  },
                  {{v4("192.0.2.7"), 53}}},
        EventCase{"SendmmsgOneEventPerMessage",
                  SYS_sendmmsg,
                  [] {
                      int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
                      sockaddr_in a[2] = {inet("192.0.2.1", 1000), inet("192.0.2.2", 2000)};
                      iovec iov{const_cast<char*>("x"), 1};
                      mmsghdr m[2]{};
                      for (int i = 0; i < 2; ++i) {
                          m[i].msg_hdr.msg_name = &a[i];
                          m[i].msg_hdr.msg_namelen = sizeof a[i];
                          m[i].msg_hdr.msg_iov = &iov;
                          m[i].msg_hdr.msg_iovlen = 1;
                      }
                      return ::syscall(SYS_sendmmsg, fd, m, 2, 0);
                  },
                  {{v4("192.0.2.1"), 1000}, {v4("192.0.2.2"), 2000}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VerdictStep, DenyClosesTheDescriptorTheAnswerWouldHaveInjected) {
    CallbackRig rig(Verdict::deny());
    RoutedChild child({SYS_openat}, [] {
        return std::to_string(::syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY) < 0 ? errno
                                                                                         : 0);
    });
    auto notif = child.next();
    int pipe_fds[2];  // made after the fork: the answer's descriptor is the only read end
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC), 0);
    UniqueFd write_end(pipe_fds[1]);
    Call call{notif, rig.policy, rig.shared, child.listener()};
    NotifAction answer = seccomp::notif::emit_policy_event(
        call, NotifAction::InjectFdSend{UniqueFd(pipe_fds[0]), false});
    ASSERT_TRUE(answer.is<NotifAction::Errno>());
    EXPECT_EQ(answer.get<NotifAction::Errno>()->error, EPERM);
    // The read end is gone: nobody can read what the prepared descriptor would have carried.
    ::signal(SIGPIPE, SIG_IGN);
    EXPECT_EQ(::write(write_end.get(), "x", 1), -1);
    EXPECT_EQ(errno, EPIPE);
    ASSERT_TRUE(seccomp::notif::send_response(child.listener(), notif.id, std::move(answer)));
    EXPECT_EQ(child.finish().text, std::to_string(EPERM));
}

TEST(VerdictStep, AskingBeforeTheActAsksOnce) {
    CallbackRig rig(Verdict::deny_with(EACCES));
    RoutedChild child({SYS_connect}, [] {
        auto a = inet("10.1.2.3", 80);
        return std::to_string(connect_to(reinterpret_cast<sockaddr*>(&a), sizeof a));
    });
    auto notif = child.next();
    Call call{notif, rig.policy, rig.shared, child.listener()};
    SyscallEvent event = seccomp::notif::event_for(notif);
    EXPECT_EQ(event.syscall, "connect");
    event.host = v4("10.1.2.3");
    auto refusal = seccomp::notif::ask_before_act(call, event);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_EQ(refusal->get<NotifAction::Errno>()->error, EACCES);
    NotifAction answer = seccomp::notif::emit_policy_event(call, std::move(*refusal));
    ASSERT_TRUE(seccomp::notif::send_response(child.listener(), notif.id, std::move(answer)));
    child.finish();
    EXPECT_EQ(rig.events(1).size(), 1u);
}

TEST(VerdictStep, WithoutACallbackTheActGoesAhead) {
    NotifPolicy policy;
    SharedSupervisorState shared(64u, std::nullopt);
    RoutedChild child({SYS_getppid}, [] { return std::to_string(::syscall(SYS_getppid)); });
    auto notif = child.next();
    Call call{notif, policy, shared, child.listener()};
    EXPECT_FALSE(seccomp::notif::ask_before_act(call, seccomp::notif::event_for(notif)));
    ASSERT_TRUE(seccomp::notif::send_response(child.listener(), notif.id, NotifAction::Continue{}));
    child.finish();
}

// --- The context's operations and the address sets ---

struct ContextRig {
    SharedSupervisorState shared{64u, std::nullopt};
    PolicyContext ctx;

    explicit ContextRig(std::optional<std::set<IpAddr>> allow_list) {
        auto& state = shared.state;
        state.static_allowed_ips = allow_list;
        LivePolicy live;
        live.allowed_ips = allow_list.value_or(std::set<IpAddr>{});
        live.max_processes = 64;
        live.max_memory_bytes = 1 << 20;
        state.live_policy = std::make_shared<SharedLivePolicy>();
        state.live_policy->value = live;
        ctx = PolicyContext(state.live_policy, live, state.pid_networks, state.denied_paths);
    }
    std::optional<std::set<IpAddr>> effective(std::uint32_t tid) {
        return shared.state.effective_network_policy(tid);
    }
};

TEST(PolicyContextNetwork, GrantsStayWithinTheStartingSetAndEndWithARestriction) {
    ContextRig rig(std::set<IpAddr>{v4("10.0.0.1"), v4("10.0.0.2")});
    const auto self = static_cast<std::uint32_t>(::getpid());
    EXPECT_TRUE(rig.ctx.grant_network({v4("10.9.9.9")}));
    EXPECT_EQ(rig.effective(self), (std::set<IpAddr>{v4("10.0.0.1"), v4("10.0.0.2")}));
    rig.ctx.restrict_network({v4("10.0.0.2")});
    EXPECT_EQ(rig.effective(self), std::set<IpAddr>{v4("10.0.0.2")});
    EXPECT_EQ(rig.ctx.grant_network({v4("10.0.0.1")}), std::unexpected(std::string("allowed_ips")));
    // No address at all, not a return to the allow-list.
    rig.ctx.restrict_network({});
    EXPECT_EQ(rig.effective(self), std::set<IpAddr>{});
}

TEST(PolicyContextNetwork, WithoutAnAllowListOnlyARestrictionLimits) {
    ContextRig rig(std::nullopt);
    const auto self = static_cast<std::uint32_t>(::getpid());
    EXPECT_EQ(rig.effective(self), std::nullopt);
    rig.ctx.restrict_network({});
    EXPECT_EQ(rig.effective(self), std::set<IpAddr>{});
}

TEST(PolicyContextNetwork, ProcessEntryCoversItsThreadsAndDescendants) {
    ContextRig rig(std::nullopt);
    const auto self = static_cast<std::uint32_t>(::getpid());
    rig.shared.state.child_pid = ::getpid();  // this process stands for the sandbox's first

    // Restricting one thread restricts its whole process.
    std::promise<std::uint32_t> tid;
    std::promise<void> done;
    std::thread worker([&] {
        tid.set_value(static_cast<std::uint32_t>(::gettid()));
        done.get_future().wait();
    });
    rig.ctx.restrict_pid_network(tid.get_future().get(), {v4("10.0.0.1"), v4("10.0.0.2")});
    done.set_value();
    worker.join();
    EXPECT_EQ(rig.effective(self), (std::set<IpAddr>{v4("10.0.0.1"), v4("10.0.0.2")}));

    // A process started afterwards is covered, intersected with an entry of its own.
    auto report = test::run_forked([&] {
        const auto me = static_cast<std::uint32_t>(::getpid());
        std::string out = std::to_string(rig.effective(me).value_or(std::set<IpAddr>{}).size());
        rig.ctx.restrict_pid_network(me, {v4("10.0.0.2"), v4("10.0.0.3")});
        out += rig.effective(me) == std::set<IpAddr>{v4("10.0.0.2")} ? " meet" : " other";
        return out;
    });
    EXPECT_EQ(report.text, "2 meet");
}

TEST(PolicyContextNetwork, AReparentedProcessGetsTheIntersectionOfEveryEntry) {
    ContextRig rig(std::nullopt);
    rig.shared.state.child_pid = ::getpid();
    rig.ctx.restrict_pid_network(static_cast<std::uint32_t>(::getpid()),
                                 {v4("10.0.0.1"), v4("10.0.0.2")});
    rig.ctx.restrict_pid_network(0x3ffffff0, {v4("10.0.0.2"), v4("10.0.0.9")});

    // A child starts a grandchild and, once told, exits: the grandchild is reparented.
    int to_test[2], to_child[2], hold[2];
    ASSERT_EQ(::pipe(to_test), 0);
    ASSERT_EQ(::pipe(to_child), 0);
    ASSERT_EQ(::pipe(hold), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(to_child[1]);
        pid_t grandchild = ::fork();
        if (grandchild == 0) {
            ::close(hold[1]);
            char byte;
            while (::read(hold[0], &byte, 1) < 0 && errno == EINTR) {
            }
            ::_exit(0);
        }
        [[maybe_unused]] ssize_t n = ::write(to_test[1], &grandchild, sizeof grandchild);
        char byte;
        n = ::read(to_child[0], &byte, 1);
        ::_exit(0);
    }
    ::close(hold[0]);
    pid_t grandchild = -1;
    ASSERT_EQ(::read(to_test[0], &grandchild, sizeof grandchild),
              static_cast<ssize_t>(sizeof grandchild));
    const auto g = static_cast<std::uint32_t>(grandchild);
    EXPECT_EQ(rig.effective(g), (std::set<IpAddr>{v4("10.0.0.1"), v4("10.0.0.2")}));

    ::close(to_child[1]);
    // The child is reparented away before it can be reaped.
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(rig.effective(g), std::set<IpAddr>{v4("10.0.0.2")});
    ::close(hold[1]);  // the grandchild ends; whoever adopted it reaps it
    for (int fd : {to_test[0], to_test[1], to_child[0]}) ::close(fd);
}

TEST(PolicyContextBudgets, LiveLimitsOnlyLower) {
    ContextRig rig(std::nullopt);
    auto& state = rig.shared.state;
    EXPECT_EQ(state.process_limit(), 64u);
    EXPECT_EQ(state.memory_limit(1 << 20), 1u << 20);
    rig.ctx.restrict_max_processes(0);
    EXPECT_EQ(state.process_limit(), 0u);
    rig.ctx.restrict_max_processes(1000);
    EXPECT_EQ(state.process_limit(), 64u);
    rig.ctx.restrict_max_memory(4096);
    EXPECT_EQ(state.memory_limit(1 << 20), 4096u);
    rig.ctx.restrict_max_memory(0);  // no live limit
    EXPECT_EQ(state.memory_limit(1 << 20), 1u << 20);
    rig.ctx.restrict_max_memory(1ull << 40);
    EXPECT_EQ(state.memory_limit(1 << 20), 1u << 20);
    EXPECT_EQ(rig.ctx.restricted(),
              (std::set<std::string>{"max_memory_bytes", "max_processes"}));
}

}  // namespace
}  // namespace vestrion
