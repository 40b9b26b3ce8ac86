#include "core/sandbox.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <future>
#include <set>

#include "core/agent.hpp"
#include "core/context/child.hpp"
#include "core/cow/branch.hpp"
#include "core/cow/paths.hpp"
#include "core/context/handshake.hpp"
#include "core/network.hpp"
#include "core/landlock.hpp"
#include "core/seccomp/notif.hpp"
#include "core/supervisor_features.hpp"
#include "core/time.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion {

std::atomic<bool> CONFINED{false};

namespace sandbox {

namespace {

constexpr unsigned int PIDFD_SIGNAL_PROCESS_GROUP = 4;  // Linux 6.9

}  // namespace

SandboxError child_error(std::string text) { return SandboxError(SandboxError::Child{std::move(text)}); }

// Library threads block every signal: the command must not inherit a handler's thread, and a
// signal meant for the caller must not land on us.
void block_all_signals() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

ExitStatus status_from(const siginfo_t& info) {
    switch (info.si_code) {
        case CLD_EXITED:
            return ExitStatus::code(info.si_status);
        case CLD_KILLED:
        case CLD_DUMPED:
            return info.si_status == SIGKILL ? ExitStatus::killed()
                                             : ExitStatus::signal(info.si_status);
        default:
            return ExitStatus::killed();
    }
}

bool is_nested() {
    // Only our own confinement makes a spawn nested. Another filter (any container runtime's) does
    // not: the child then still installs its listener, and only if the chain already has one does
    // it fall back to the listener-less program.
    return CONFINED.load();
}

std::string read_fd_to_end(UniqueFd fd) {
    std::string bytes;
    char buf[65536];
    while (true) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n > 0) {
            bytes.append(buf, static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    return bytes;
}

int signal_group(int pidfd, pid_t pgid, int signal) noexcept {
    if (pidfd >= 0) {
        long ret = sys::syscall::raw(SYS_pidfd_send_signal, pidfd, signal, 0,
                                     PIDFD_SIGNAL_PROCESS_GROUP);
        return sys::syscall::is_error(ret) ? static_cast<int>(-ret) : 0;
    }
    return ::killpg(pgid, signal) == 0 ? 0 : errno;
}

CpuThrottle::CpuThrottle(int pidfd, pid_t pgid, std::uint8_t percent,
                         std::shared_ptr<seccomp::notif::SharedSupervisorState> state)
    : pidfd_(pidfd), pgid_(pgid), percent_(percent), state_(std::move(state)) {
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

CpuThrottle::~CpuThrottle() {
    thread_.request_stop();
    thread_.join();
    // Whatever phase the loop was in, the groups are left running.
    signal_groups(SIGCONT);
}

int CpuThrottle::signal_groups(int signal) {
    int error = signal_group(pidfd_, pgid_, signal);
    if (state_) {
        std::lock_guard lock(state_->mutex);
        state_->state.groups.signal_all(signal);
    }
    return error;
}

void CpuThrottle::pause() {
    std::unique_lock lock(mutex_);
    paused_ = true;
    wake_.notify_all();
    parked_changed_.wait(lock, [&] { return parked_ || ended_; });
}

void CpuThrottle::resume() {
    std::lock_guard lock(mutex_);
    paused_ = false;
    wake_.notify_all();
}

void CpuThrottle::run(std::stop_token stop) {
    block_all_signals();
    using std::chrono::milliseconds;
    const milliseconds running(percent_), stopped(100 - percent_);
    std::unique_lock lock(mutex_);
    // Waits out a pause, the groups running; false when stopped meanwhile.
    auto park = [&] {
        parked_ = true;
        parked_changed_.notify_all();
        wake_.wait(lock, stop, [&] { return !paused_; });
        parked_ = false;
        return !stop.stop_requested();
    };
    auto finish = [&] {
        ended_ = true;
        parked_changed_.notify_all();
    };
    while (true) {
        wake_.wait_for(lock, stop, running, [&] { return paused_; });
        if (stop.stop_requested()) return finish();
        if (paused_) {
            if (!park()) return finish();
            continue;
        }
        if (signal_groups(SIGSTOP) != 0) return finish();
        wake_.wait_for(lock, stop, stopped, [&] { return paused_; });
        if (signal_groups(SIGCONT) != 0 || stop.stop_requested()) return finish();
        if (paused_ && !park()) return finish();
    }
}

}  // namespace sandbox

namespace {

using sandbox::ChildWatch;
using sandbox::child_error;

// Shares the live policy with the supervisor state and starts the callback thread, which gets
// the state's denied paths and per-process addresses.
Result<void> start_policy_callback(const Policy& policy, seccomp::notif::SupervisorState& state) {
    LivePolicy live;
    live.allowed_ips = state.static_allowed_ips.value_or(std::set<IpAddr>{});
    live.max_memory_bytes = policy.max_memory.value_or(0);
    live.max_processes = policy.max_processes;
    auto shared = std::make_shared<SharedLivePolicy>();
    shared->value = live;
    auto sender = policy_fn::spawn_policy_fn(policy.policy_fn, shared, std::move(live),
                                             state.pid_networks, state.denied_paths);
    if (!sender) return std::unexpected(std::move(sender.error()));
    state.live_policy = std::move(shared);
    state.policy_events = std::move(*sender);
    return {};
}

// A spawn whose child cannot have a supervisor runs only a policy that needs none.
std::optional<VestrionError> refuse_without_supervisor(const Policy& policy, const char* why) {
    auto feature = sandbox::feature_needing_supervisor(policy);
    if (!feature) return std::nullopt;
    return VestrionError(child_error(*feature + " needs the syscall supervisor, which cannot run " +
                                     why));
}

constexpr const char* kNestedReason = "in a spawn from inside a vestrion sandbox";
constexpr const char* kListenerTakenReason =
    "under a seccomp filter that already holds a notification listener";

bool uses_cow_layer(const Policy& p) { return p.workdir && p.fs_isolation == FsIsolation::None; }

// The supervisor's copy-on-write layer, made before the child starts so that the child's
// Landlock rules can name its upper tree. A layer that cannot be made fails the spawn, whatever
// the exit actions: without it the command would write the working directory itself.
Result<cow::SeccompCowBranch> make_cow_layer(const Policy& p) {
    auto branch_error = [](BranchError e) { return VestrionError(SandboxError(std::move(e))); };
    if (auto usable = cow::SeccompCowBranch::check_workdir(*p.workdir); !usable)
        return std::unexpected(branch_error(std::move(usable.error())));
    std::expected<Path, BranchError> storage = p.fs_storage ? *p.fs_storage : Path();
    if (p.fs_storage) {
        if (auto checked = cow::check_cow_paths(p, *p.workdir, *p.fs_storage); !checked)
            storage = std::unexpected(std::move(checked.error()));
    } else {
        storage = cow::default_cow_storage(p, *p.workdir);
    }
    if (!storage) return std::unexpected(branch_error(std::move(storage.error())));
    auto layer = cow::SeccompCowBranch::create(*p.workdir, *storage, !p.fs_storage);
    if (!layer) return std::unexpected(branch_error(std::move(layer.error())));
    return std::move(*layer);
}

SysResult<std::pair<UniqueFd, UniqueFd>> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(SystemError::last());
    return std::pair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// What the spawn hands to the sandbox thread, and what it gets back once the handshake is done.
struct SpawnJob {
    const Policy& policy;
    context::ChildPlan& plan;
    context::PipePair pipes;
    context::ChildStdio stdio;
    UniqueFd capture_out_w, capture_err_w;
    UniqueFd capture_out_r, capture_err_r;  // drained by the sandbox thread
    pid_t foreground;  // the terminal's group before the child took it, or -1
    std::shared_ptr<ChildWatch> watch;
    std::set<IpAddr> allowed_ips;  // resolved from net_allow_hosts; empty when it is
    // Handed to the supervisor state once the supervisor starts.
    std::optional<cow::SeccompCowBranch>& layer;

    struct Outcome {
        std::optional<VestrionError> error;
        pid_t pid = -1;
        UniqueFd pidfd;
        UniqueFd exec_gate;
        std::unique_ptr<sandbox::CpuThrottle> throttle;
        std::shared_ptr<seccomp::notif::SharedSupervisorState> state;
    };
    std::promise<Outcome> done;
};

// Writes the go value without letting a dead child's closed pipe kill the caller with SIGPIPE:
// the thread blocks SIGPIPE, so a pending one is consumed here.
int write_go_value(int fd) {
    int error = context::write_u32_raw(fd, 1);
    if (error == EPIPE) {
        sigset_t pipe_set;
        sigemptyset(&pipe_set);
        sigaddset(&pipe_set, SIGPIPE);
        timespec zero{0, 0};
        sigtimedwait(&pipe_set, nullptr, &zero);
    }
    return error;
}

// How long the teardown waits for the processes of the sandbox's groups to end after SIGKILL;
// only a process stuck in the kernel takes longer.
constexpr std::chrono::seconds kGroupTeardownLimit{5};

// The agent's two descriptors, sent after the listener's number, taken into this process.
Result<std::shared_ptr<agent::Agent>> fetch_agent(int notif_r, int pidfd, int stop_fd) {
    UniqueFd fds[2];
    for (UniqueFd& fd : fds) {
        auto number = context::read_u32_fd(notif_r);
        if (!number) return std::unexpected(VestrionError(child_error("read agent fd from child: " + number.error().message())));
        auto fetched = sys::syscall::pidfd_getfd(pidfd, static_cast<std::int32_t>(*number), 0);
        if (!fetched) return std::unexpected(VestrionError(child_error("fetch the sandbox's agent: " + fetched.error().message())));
        fd = std::move(*fetched);
    }
    auto agent = std::make_shared<agent::Agent>(std::move(fds[0]), std::move(fds[1]), stop_fd);
    if (auto ready = agent->await_ready(); !ready)
        return std::unexpected(VestrionError(child_error("start the sandbox's agent: " + ready.error().message())));
    return agent;
}

// Gives the terminal back to the group that had it before the child took it.
void restore_foreground(pid_t child_group, pid_t previous) {
    if (previous <= 0 || ::tcgetpgrp(0) != child_group) return;
    ::tcsetpgrp(0, previous);  // SIGTTOU is blocked in this thread
}

// The sandbox thread's watch over a started child: it drains the capture pipes and, with a
// supervisor, answers the listener, until the child exits; then it kills what is left of the
// first group, reaps, and publishes the status.
struct Collector {
    std::shared_ptr<ChildWatch> watch;
    pid_t pid;
    int pidfd;
    UniqueFd out, err;
    pid_t foreground;

    void run(seccomp::notif::Supervision* supervision);
    bool child_exited_without_pidfd();
};

bool Collector::child_exited_without_pidfd() {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == pid;
}

void Collector::run(seccomp::notif::Supervision* supervision) {
    std::string* sinks[2] = {&watch->out, &watch->err};
    pollfd fds[5] = {{pidfd, POLLIN, 0},
                     {out.get(), POLLIN, 0},
                     {err.get(), POLLIN, 0},
                     {supervision ? supervision->fd() : -1, POLLIN, 0},
                     {supervision ? supervision->wake_fd() : -1, POLLIN, 0}};
    std::string buffered[2];
    auto read_ready = [&](int i, bool drain) {
        char buf[65536];
        while (fds[i + 1].fd >= 0) {
            ssize_t n = ::read(fds[i + 1].fd, buf, sizeof buf);
            if (n > 0) {
                buffered[i].append(buf, static_cast<std::size_t>(n));
                if (!drain) return;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (n == 0 || errno != EAGAIN) fds[i + 1].fd = -1;
                return;
            }
        }
    };

    // Drain both pipes while the child runs, so that no amount of output can block it, and
    // answer its routed calls. A negative descriptor is left out of the poll.
    while (true) {
        for (pollfd& fd : fds) fd.revents = 0;
        int ret = ::poll(fds, 5, pidfd >= 0 ? -1 : 50);
        if (ret < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i)
            if (fds[i + 1].fd >= 0 && fds[i + 1].revents) read_ready(i, false);
        // A thaw released the forks held while the sandbox was frozen.
        if (fds[4].fd >= 0 && (fds[4].revents & POLLIN)) supervision->answer_held();
        // The receive blocks unless a notification is pending: serve only after a poll saw one.
        if (fds[3].fd >= 0 && fds[3].revents && !supervision->serve(fds[3].revents))
            fds[3].fd = -1;
        if (pidfd >= 0 ? (fds[0].revents != 0) : child_exited_without_pidfd()) break;
    }

    // The child has exited and still holds its group id: kill what is left of the group before
    // reaping, so leftovers neither hold the pipes nor run on unsupervised.
    siginfo_t info{};
    idtype_t type = pidfd >= 0 ? P_PIDFD : P_PID;
    id_t id = pidfd >= 0 ? static_cast<id_t>(pidfd) : static_cast<id_t>(pid);
    while (::waitid(type, id, &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    sandbox::signal_group(pidfd, pid, SIGKILL);
    info = {};
    int reaped;
    while ((reaped = ::waitid(type, id, &info, WEXITED)) < 0 && errno == EINTR) {
    }
    ExitStatus status = reaped == 0 ? sandbox::status_from(info) : ExitStatus::killed();
    // The sandbox's agent is our child too, in the group just killed; also when the spawn
    // failed before it was handed to us.
    siginfo_t agent_info{};
    while (::waitid(P_PGID, static_cast<id_t>(pid), &agent_info, WEXITED) == 0 || errno == EINTR) {
    }

    // Take what is already buffered without waiting: a process that left the group may still
    // hold a write end.
    for (int i = 0; i < 2; ++i) {
        if (fds[i + 1].fd < 0) continue;
        ::fcntl(fds[i + 1].fd, F_SETFL, ::fcntl(fds[i + 1].fd, F_GETFL) | O_NONBLOCK);
        read_ready(i, true);
    }
    restore_foreground(pid, foreground);

    {
        std::lock_guard lock(watch->mutex);
        for (int i = 0; i < 2; ++i) *sinks[i] = std::move(buffered[i]);
        watch->status = status;
    }
    watch->changed.notify_all();
}

// The sandbox thread: fork, handshake, then supervise and collect until the child is reaped.
void sandbox_thread_main(SpawnJob* job) {
    sandbox::block_all_signals();
    std::shared_ptr<ChildWatch> watch = job->watch;
    SpawnJob::Outcome outcome;
    auto started = context::start_child(job->plan, job->pipes, job->stdio);
    if (!started) {
        outcome.error = SandboxError(SandboxError::Fork{started.error()});
        job->done.set_value(std::move(outcome));
        return;
    }
    pid_t pid = started->pid;
    job->pipes.notif_w.reset();
    job->pipes.ready_r.reset();
    job->pipes.fail_w.reset();
    // Held until the child is reaped: a failure line written after the handshake must not meet
    // a closed pipe, whose SIGPIPE would end the child by a signal instead of its status 127.
    UniqueFd fail_r = std::move(job->pipes.fail_r);
    // The checkpoint's own copy, which tells it when the command has executed.
    outcome.exec_gate.reset(::fcntl(fail_r.get(), F_DUPFD_CLOEXEC, 0));
    job->capture_out_w.reset();
    job->capture_err_w.reset();
    outcome.pid = pid;
    outcome.pidfd = std::move(started->pidfd);
    // The sandbox keeps the pidfd open until this thread has been joined.
    int pidfd = outcome.pidfd.get();
    Collector collector{watch, pid, pidfd, std::move(job->capture_out_r),
                        std::move(job->capture_err_r), job->foreground};

    UniqueFd listener;
    std::optional<seccomp::notif::NotifPolicy> notif_policy;
    // A child that started is reaped here, whatever became of the spawn: the sandbox kills it.
    auto fail = [&](VestrionError error) {
        outcome.error = std::move(error);
        job->done.set_value(std::move(outcome));
        collector.run(nullptr);
    };

    auto number = context::read_u32_fd(job->pipes.notif_r.get());
    if (!number) {
        // The child ended during its confinement: its own line says why.
        std::string text = "read notif fd from child: " + number.error().message();
        if (std::string line = context::read_failure_line(fail_r.get()); !line.empty())
            text += ": " + line;
        return fail(child_error(std::move(text)));
    }
    std::shared_ptr<agent::Agent> agent;
    if (job->plan.starts_agent()) {
        // The child's exit ends a call the agent makes: the group, agent included, is killed.
        auto fetched = fetch_agent(job->pipes.notif_r.get(), pidfd, pidfd);
        if (!fetched) return fail(std::move(fetched.error()));
        agent = std::move(*fetched);
    }
    if (*number == 0 && !job->plan.nested()) {
        if (auto refused = refuse_without_supervisor(job->policy, kListenerTakenReason))
            return fail(std::move(*refused));
    }
    if (*number != 0) {
        auto fetched = context::fetch_listener(pid, pidfd, *number);
        if (!fetched) return fail(std::move(fetched.error()));
        listener = std::move(*fetched);
        const Policy& p = job->policy;
        const std::int64_t offset = p.time_start ? time::calculate_time_offset(*p.time_start) : 0;
        notif_policy = seccomp::notif::NotifPolicy::from_policy(p, offset);
        notif_policy->unix_sockets = agent != nullptr;
        std::optional<random::Rng> rng;
        if (p.random_seed) rng.emplace(*p.random_seed);
        outcome.state = std::make_shared<seccomp::notif::SharedSupervisorState>(p.max_processes,
                                                                               std::move(rng));
        if (p.time_start || p.random_seed) {
            // Its vDSO is patched after its exec; a patch that could not be made then would end
            // the run, so a missing right is said now.
            if (auto writable = vdso::check_patchable(pid); !writable)
                return fail(std::move(writable.error()));
            outcome.state->state.vdso.emplace(
                p.time_start ? std::optional<std::int64_t>(offset) : std::nullopt,
                p.random_seed.has_value());
        }
        outcome.state->state.set_child(pid, pidfd);
        outcome.state->state.agent = std::move(agent);
        if (!job->allowed_ips.empty()) outcome.state->state.static_allowed_ips = job->allowed_ips;
        // Before the go value: the command cannot yet have swapped a writable path for a link.
        // Taken from the child's own Landlock rules, so that under the copy-on-write layer the
        // working directory counts as outside every writable tree, as it does for Landlock.
        outcome.state->state.write_trees = std::make_shared<const seccomp::notif::WriteTrees>(
            seccomp::notif::WriteTrees::of(job->plan.landlock_plan(), pid));
        if (job->layer) {
            outcome.state->state.cow_branch = std::move(*job->layer);
            job->layer.reset();
        }
        if (job->policy.policy_fn) {
            if (auto started = start_policy_callback(job->policy, outcome.state->state); !started)
                return fail(std::move(started.error()));
        }
    }
    if (job->policy.max_cpu && *job->policy.max_cpu < 100)
        outcome.throttle = std::make_unique<sandbox::CpuThrottle>(pidfd, pid, *job->policy.max_cpu,
                                                                  outcome.state);
    if (int error = write_go_value(job->pipes.ready_w.get()))
        return fail(child_error("write ready signal: " + SystemError::from_errno(error).message()));

    auto state = outcome.state;
    job->done.set_value(std::move(outcome));  // `job` is gone from here on
    if (!listener) return collector.run(nullptr);
    std::optional<seccomp::notif::Supervision> supervision;
    supervision.emplace(std::move(*notif_policy), state, std::move(listener));
    collector.run(&*supervision);
    // Closing the listener ends supervision: no process can make or join a group any more, so
    // what was recorded is all there is. The child and its agent have been reaped, so the first
    // group is empty and the kernel alone says whether any recorded group still has a member.
    supervision.reset();
    groups::ProcessGroups recorded;
    {
        std::lock_guard lock(state->mutex);
        recorded = std::move(state->state.groups);
    }
    recorded.kill_all_and_wait(kGroupTeardownLimit);
}

}  // namespace

Sandbox::Sandbox(const Policy& policy) : policy_(policy.clone()) {}

Result<std::unique_ptr<Sandbox>> Sandbox::create(const Policy& policy) {
    return std::unique_ptr<Sandbox>(new Sandbox(policy));
}

Result<std::unique_ptr<Sandbox>> Sandbox::new_with_fns(const Policy& policy, InitFn init,
                                                       WorkFn work) {
    auto sandbox = create(policy);
    if (sandbox) {
        (*sandbox)->init_fn_ = std::move(init);
        (*sandbox)->work_fn_ = std::move(work);
    }
    return sandbox;
}

Result<void> Sandbox::spawn(std::span<const std::string> argv) { return do_spawn(argv, true); }

Result<void> Sandbox::do_spawn(std::span<const std::string> argv, bool capture) {
    if (state_.kind != SandboxStateKind::Created)
        return std::unexpected(VestrionError(child_error("sandbox already spawned")));
    if (auto combination = cow::refuse_backend_combination(policy_))
        return std::unexpected(VestrionError(
            child_error(*combination + " is not supported by this build of vestrion yet")));
    bool nested = sandbox::is_nested();
    if (nested) {
        if (auto refused = refuse_without_supervisor(policy_, kNestedReason))
            return std::unexpected(std::move(*refused));
    }
    std::optional<cow::SeccompCowBranch> layer;
    if (uses_cow_layer(policy_)) {
        auto made = make_cow_layer(policy_);
        if (!made) return std::unexpected(std::move(made.error()));
        layer = std::move(*made);
    }
    // A layer that never reached the supervisor held nothing of the command's: discard it.
    struct DiscardUnused {
        std::optional<cow::SeccompCowBranch>& layer;
        ~DiscardUnused() {
            if (layer) (void)layer->abort();
        }
    } discard_unused{layer};
    auto backend = cow::make_backend(policy_);
    if (!backend) return std::unexpected(std::move(backend.error()));
    // Nor does a backend branch of a spawn that failed.
    struct AbortUnstarted {
        std::unique_ptr<cow::CowBranch>& branch;
        ~AbortUnstarted() {
            if (branch) (void)branch->abort();
        }
    } abort_unstarted{*backend};
    // The child's own rules: the policy itself, unless a branch changes what it may reach.
    std::optional<Policy> changed_rules;
    std::shared_ptr<const Policy> layer_rules;
    context::ChildPlan::SpawnRules spawn_rules;
    if (layer) {
        // Shared by every spawn of the policy; only this branch's upper tree is the spawn's own.
        layer_rules = cow::child_rules_under_cow(policy_, layer->workdir());
        spawn_rules.readable.push_back(cow::readable_upper(layer->upper()));
        // A command that starts in W stands in W's mirror in the upper tree, from where the
        // kernel finds the names the layer holds (a program made in the run, run as ./app).
        if (policy_.cwd) spawn_rules.cwd = layer->mirror_of(*policy_.cwd);
    } else if (*backend) {
        changed_rules = cow::child_policy_under_backend(policy_);
    }
    const Policy& rules = layer_rules ? *layer_rules : changed_rules ? *changed_rules : policy_;
    auto prepared = context::ChildPlan::prepare(
        rules, argv, *backend ? (*backend)->child_mount_config() : std::nullopt, nested,
        spawn_rules);
    if (!prepared) return std::unexpected(std::move(prepared.error()));
    // The child may read the plan until its exec: it lives as long as the child does.
    auto plan = std::make_unique<context::ChildPlan>(std::move(*prepared));

    auto pipes = context::PipePair::create();
    if (!pipes) return std::unexpected(VestrionError(SandboxError(SandboxError::Io{pipes.error()})));
    auto allowed_ips = network::resolve_hosts(policy_.net_allow_hosts);
    if (!allowed_ips) return std::unexpected(std::move(allowed_ips.error()));

    context::ChildStdio stdio;
    if (stdio_redirects_)
        stdio.redirect = {stdio_redirects_->stdin_fd, stdio_redirects_->stdout_fd,
                          stdio_redirects_->stderr_fd};
    UniqueFd out_r, out_w, err_r, err_w;
    if (capture) {
        auto out = make_pipe();
        if (!out) return std::unexpected(VestrionError(SandboxError(SandboxError::Io{out.error()})));
        auto err = make_pipe();
        if (!err) return std::unexpected(VestrionError(SandboxError(SandboxError::Io{err.error()})));
        std::tie(out_r, out_w) = std::move(*out);
        std::tie(err_r, err_w) = std::move(*err);
        stdio.capture = {-1, out_w.get(), err_w.get()};
        stdio.close_after = {out_r.get(), out_w.get(), err_r.get(), err_w.get()};
    }

    auto watch = std::make_shared<ChildWatch>();
    pid_t foreground = ::isatty(0) == 1 ? ::tcgetpgrp(0) : -1;

    SpawnJob job{policy_,         *plan,           std::move(*pipes), std::move(stdio),
                 std::move(out_w), std::move(err_w), std::move(out_r),  std::move(err_r),
                 foreground,      watch,           std::move(*allowed_ips), layer,
                 {}};
    auto done = job.done.get_future();
    std::thread sandbox_thread(sandbox_thread_main, &job);
    SpawnJob::Outcome outcome = done.get();
    if (outcome.pid < 0) {
        sandbox_thread.join();
        return std::unexpected(std::move(*outcome.error));
    }

    pid_ = outcome.pid;
    child_plan_ = std::move(plan);
    state_.kind = SandboxStateKind::Running;
    pidfd_ = std::move(outcome.pidfd);
    exec_gate_ = std::move(outcome.exec_gate);
    captured_ = capture;
    watch_ = watch;
    sandbox_thread_ = std::move(sandbox_thread);
    throttle_ = std::move(outcome.throttle);
    supervisor_state_ = std::move(outcome.state);
    if (outcome.error) return std::unexpected(std::move(*outcome.error));
    cow_backend_ = std::move(*backend);
    return {};
}

void Sandbox::stop_threads() {
    throttle_.reset();
    if (sandbox_thread_.joinable()) sandbox_thread_.join();
    if (supervisor_state_) {
        std::shared_ptr<agent::Agent> agent;
        std::shared_ptr<PolicyEventQueue> events;
        {
            std::lock_guard lock(supervisor_state_->mutex);
            agent = std::move(supervisor_state_->state.agent);
            events = std::move(supervisor_state_->state.policy_events);
        }
        agent.reset();  // ends and reaps it
        // The run is over: the callback is called no more, whatever is still queued.
        if (events) events->close();
    }
    child_plan_.reset();  // the child has been reaped
}

Result<RunResult> Sandbox::finish_wait() {
    {
        std::lock_guard lock(watch_->mutex);
        state_ = {SandboxStateKind::Finished, *watch_->status};
    }
    stop_threads();
    take_back_layer();
    RunResult result;
    result.status = state_.status;
    if (captured_) {
        std::lock_guard lock(watch_->mutex);
        result.stdout_bytes = std::move(watch_->out);
        result.stderr_bytes = std::move(watch_->err);
    }
    return result;
}

Result<RunResult> Sandbox::wait() {
    if (!pid_) return std::unexpected(VestrionError(SandboxError(SandboxError::NotRunning{})));
    if (state_.kind == SandboxStateKind::Finished) return RunResult{{}, {}, state_.status};
    {
        std::unique_lock lock(watch_->mutex);
        watch_->changed.wait(lock, [&] { return watch_->status.has_value(); });
    }
    return finish_wait();
}

std::optional<Result<RunResult>> Sandbox::wait_for(std::chrono::milliseconds timeout) {
    if (pid_ && state_.kind == SandboxStateKind::Running) {
        std::unique_lock lock(watch_->mutex);
        if (!watch_->changed.wait_for(lock, timeout, [&] { return watch_->status.has_value(); }))
            return std::nullopt;
    }
    return wait();
}

Result<void> Sandbox::kill() {
    if (!pid_) return std::unexpected(VestrionError(SandboxError(SandboxError::NotRunning{})));
    // A fan-out template or clone was reaped before its record was returned.
    bool reaped = !watch_;
    if (watch_) {
        std::lock_guard lock(watch_->mutex);
        reaped = watch_->status.has_value();
    }
    // Without a pidfd a reaped leader's group id may already belong to someone else.
    if (reaped && !pidfd_) return {};
    int error = sandbox::signal_group(pidfd_.get(), *pid_, SIGKILL);
    if (supervisor_state_) {
        // The groups that sandbox processes made of their own.
        std::lock_guard lock(supervisor_state_->mutex);
        supervisor_state_->state.groups.signal_all(SIGKILL);
    }
    if (error != 0 && error != ESRCH)
        return std::unexpected(VestrionError(SandboxError(SandboxError::Io{SystemError::from_errno(error)})));
    return {};
}

BranchAction Sandbox::teardown_action() const {
    if (state_.kind != SandboxStateKind::Finished || state_.status.success()) return policy_.on_exit;
    return policy_.on_error;
}

void Sandbox::take_back_layer() {
    if (!supervisor_state_) return;
    std::lock_guard lock(supervisor_state_->mutex);
    auto& held = supervisor_state_->state.cow_branch;
    if (!held) return;
    cow_layer_ = std::move(*held);
    held.reset();
}

std::unique_ptr<cow::CowBranch> Sandbox::take_cow_backend() { return std::move(cow_backend_); }

std::optional<cow::SeccompCowBranch> Sandbox::take_cow_layer() {
    take_back_layer();
    return std::exchange(cow_layer_, std::nullopt);
}

Result<void> Sandbox::finish() {
    if (!pid_ || state_.kind != SandboxStateKind::Finished)
        return std::unexpected(VestrionError(SandboxError(SandboxError::NotRunning{})));
    if (auto finished = finish_branches(teardown_action()); !finished)
        finish_error_ = std::move(finished.error());
    if (finish_error_) return std::unexpected(*finish_error_);
    return {};
}

Result<void> Sandbox::finish_branches(BranchAction action) {
    // Also a layer that no wait took back: the supervisor has stopped by now.
    take_back_layer();
    if ((!cow_layer_ && !cow_backend_) || branches_finished_) return {};
    // Finished once: a commit that failed half-way must not run again over what it did.
    branches_finished_ = true;
    std::expected<void, BranchError> finished;
    switch (action) {
        case BranchAction::Commit:
            finished = cow_layer_ ? cow_layer_->commit() : cow_backend_->commit();
            break;
        case BranchAction::Abort:
            finished = cow_layer_ ? cow_layer_->abort() : cow_backend_->abort();
            break;
        case BranchAction::Keep:
            break;
    }
    if (!finished) return std::unexpected(VestrionError(SandboxError(std::move(finished.error()))));
    return {};
}

Sandbox::~Sandbox() {
    if (pid_ && state_.kind == SandboxStateKind::Running) {
        sandbox::signal_group(pidfd_.get(), *pid_, SIGKILL);
        std::unique_lock lock(watch_->mutex);
        watch_->changed.wait(lock, [&] { return watch_->status.has_value(); });
    }
    stop_threads();
    // Nobody is left to hear of a failure here; the branch stays where it is.
    (void)finish_branches(teardown_action());
}

namespace {

// Create, spawn, wait; the sandbox is torn down on the way out, its branches finished by how
// the run ended.
Result<RunResult> run_once(const Policy& policy, std::span<const std::string> argv, bool capture) {
    auto sandbox = Sandbox::create(policy);
    if (!sandbox) return std::unexpected(std::move(sandbox.error()));
    if (auto spawned = (*sandbox)->do_spawn(argv, capture); !spawned)
        return std::unexpected(std::move(spawned.error()));
    auto result = (*sandbox)->wait();
    if (!result) return result;
    // A run whose changes could not be applied or discarded has failed.
    if (auto finished = (*sandbox)->finish(); !finished)
        return std::unexpected(std::move(finished.error()));
    return result;
}

}  // namespace

Result<RunResult> Sandbox::run(const Policy& policy, std::span<const std::string> argv) {
    return run_once(policy, argv, true);
}

Result<RunResult> Sandbox::run_interactive(const Policy& policy, std::span<const std::string> argv) {
    return run_once(policy, argv, false);
}

}  // namespace vestrion
