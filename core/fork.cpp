#include "core/fork.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio_ext.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <thread>

#include "core/context/child.hpp"
#include "core/context/filter_lists.hpp"
#include "core/context/handshake.hpp"
#include "core/landlock.hpp"
#include "core/process_groups.hpp"
#include "core/sandbox.hpp"
#include "core/seccomp/bpf.hpp"
#include "core/supervisor_features.hpp"
#include "core/sys/syscall.hpp"
#include "core/text.hpp"

namespace vestrion {

namespace fork {

std::string encode(std::span<const std::int32_t> values) {
    std::string bytes;
    bytes.reserve(values.size() * 4);
    for (std::int32_t value : values) {
        auto u = static_cast<std::uint32_t>(value);
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<char>(u >> shift));
    }
    return bytes;
}

std::vector<std::int32_t> decode(std::string_view bytes, std::size_t count, std::int32_t missing) {
    std::vector<std::int32_t> values(count, missing);
    for (std::size_t i = 0; i < count && (i + 1) * 4 <= bytes.size(); ++i) {
        std::uint32_t u = 0;
        for (std::size_t k = 0; k < 4; ++k) u = (u << 8) | static_cast<unsigned char>(bytes[i * 4 + k]);
        values[i] = static_cast<std::int32_t>(u);
    }
    return values;
}

namespace {

template <class... Args>
long call(long nr, Args... args) noexcept {
    return sys::syscall::raw(nr, (long)args...);
}

// Writes all of `bytes`, going on after short and interrupted writes; stops at any other error.
void write_all(int fd, std::string_view bytes) noexcept {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            return;
        }
    }
}

// The clone's first steps: it must not outlive the template, which may already have died before
// the parent-death signal was armed; then it takes its pipe as its standard output.
void become_clone(pid_t template_pid, int control_w, std::uint32_t index,
                  std::span<const int> out_w) noexcept {
    call(SYS_close, control_w);
    call(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
    if (call(SYS_getppid) != template_pid) call(SYS_exit_group, 127);
    if (out_w[index] >= 0) call(SYS_dup2, out_w[index], 1);
    for (int fd : out_w)
        if (fd >= 0) call(SYS_close, fd);
    // Refused by the template's filter, which keeps every process in the template's group.
    call(SYS_setpgid, 0, 0);
    char digits[16];
    auto end = std::to_chars(digits, digits + sizeof digits - 1, index).ptr;
    *end = '\0';
    ::setenv("CLONE_ID", digits, 1);
}

}  // namespace

void fork_ready_loop_fn(int control_w, std::uint32_t n,
                        const std::function<void(std::uint32_t)>& work,
                        std::span<const int> out_w) noexcept {
    // Whatever init left buffered would otherwise be written once more by every clone.
    std::fflush(nullptr);
    const auto template_pid = static_cast<pid_t>(call(SYS_getpid));
    std::vector<std::int32_t> pids(n, 0);
    for (std::uint32_t i = 0; i < n; ++i) {
        // The raw call: the caller's fork handlers ran once, for the template; they are not
        // meant to run once per clone.
        long pid = call(SYS_fork);
        if (pid == 0) {
            become_clone(template_pid, control_w, i, out_w);
            work(i);
            std::fflush(nullptr);
            call(SYS_exit_group, 0);
        }
        if (pid > 0) pids[i] = static_cast<std::int32_t>(pid);
    }
    for (int fd : out_w)
        if (fd >= 0) call(SYS_close, fd);
    write_all(control_w, encode(pids));

    std::vector<std::int32_t> codes(n, -1);
    for (std::uint32_t i = 0; i < n; ++i) {
        if (pids[i] <= 0) continue;
        int status = 0;
        pid_t reaped;
        while ((reaped = ::waitpid(pids[i], &status, 0)) < 0 && errno == EINTR) {
        }
        if (reaped == pids[i] && WIFEXITED(status)) codes[i] = WEXITSTATUS(status);
    }
    write_all(control_w, encode(codes));
}

}  // namespace fork

namespace {

using fork::call;
using sandbox::child_error;

constexpr const char* kNeedsFunctions = "fork() requires new_with_fns()";
constexpr std::chrono::seconds kGroupTeardownLimit{5};

VestrionError io_error(SystemError error) { return SandboxError(SandboxError::Io{std::move(error)}); }

// What a template cannot give, refused before anything is forked. Without a supervisor nothing
// would keep these, and nothing else keeps the process budget either.
std::optional<VestrionError> refuse(const Policy& policy, std::uint32_t n) {
    if (policy.workdir)
        return child_error(
            "a working directory (workdir) cannot be given to a fan-out template: it mounts "
            "nothing and keeps no branch");
    if (auto feature = sandbox::feature_needing_supervisor(policy))
        return child_error(*feature +
                           " needs the syscall supervisor, which a fan-out template does not have");
    if (n > policy.max_processes)
        return child_error("fork of " + std::to_string(n) + " clones exceeds max_processes (" +
                           std::to_string(policy.max_processes) + ")");
    return std::nullopt;
}

// Everything the template applies to itself, built before the fork.
struct TemplatePlan {
    landlock::Plan landlock;
    seccomp::bpf::Program deny;
    pid_t parent;

    static Result<TemplatePlan> prepare(const Policy& policy) {
        // The program without a listener: it refuses setsid, setpgid and the metadata calls,
        // which only a supervisor could decide.
        auto deny = seccomp::bpf::assemble_filter({}, context::deny_syscall_numbers(policy),
                                                  context::arg_filters(policy, false));
        if (!deny) return std::unexpected(VestrionError(ConfinementError(deny.error())));
        return TemplatePlan{landlock::plan(policy), std::move(*deny), ::getpid()};
    }
};

struct Pipe {
    UniqueFd r, w;
};

SysResult<Pipe> make_pipe(int flags) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | flags) != 0) return std::unexpected(SystemError::last());
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Every pipe of one fork. All are close-on-exec: a command that another thread of the caller
// executes meanwhile must not hold them.
struct FanoutPipes {
    Pipe control;
    Pipe errors;  // the template's failure line; non-blocking
    std::vector<UniqueFd> out_r, out_w;  // one slot per clone, invalid where no pipe was made

    static SysResult<FanoutPipes> create(std::uint32_t n) {
        FanoutPipes pipes;
        auto control = make_pipe(0);
        if (!control) return std::unexpected(control.error());
        auto errors = make_pipe(O_NONBLOCK);
        if (!errors) return std::unexpected(errors.error());
        pipes.control = std::move(*control);
        pipes.errors = std::move(*errors);
        set_nonblocking(pipes.control.r.get());
        pipes.out_r.resize(n);
        pipes.out_w.resize(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            // A pipe that cannot be made leaves that clone on the caller's standard output.
            if (auto out = make_pipe(0)) {
                set_nonblocking(out->r.get());
                pipes.out_r[i] = std::move(out->r);
                pipes.out_w[i] = std::move(out->w);
            }
        }
        return pipes;
    }
};

// The template: confines itself in the child's order, then runs init and forks the clones. A
// step that fails ends it with status 127 after one line on its standard error (the caller's) and
// in the error pipe, before init and before anything reaches the control pipe.
class Template {
public:
    Template(const TemplatePlan& plan, FanoutPipes& pipes) : plan_(plan), pipes_(pipes) {
        for (const UniqueFd& fd : pipes.out_w) out_w_.push_back(fd.get());
    }

    [[noreturn]] void run(std::uint32_t n, Sandbox::InitFn& init,
                          const std::function<void(std::uint32_t)>& work) noexcept {
        call(SYS_close, pipes_.control.r.get());
        call(SYS_close, pipes_.errors.r.get());
        for (const UniqueFd& fd : pipes_.out_r)
            if (fd) call(SYS_close, fd.get());
        // What the caller had buffered is the caller's to write, not the template's.
        __fpurge(stdout);
        confine();
        CONFINED.store(true);
        call(SYS_close, pipes_.errors.w.get());
        init();
        fork::fork_ready_loop_fn(pipes_.control.w.get(), n, work, out_w_);
        call(SYS_exit_group, 0);
        __builtin_unreachable();
    }

private:
    void confine() noexcept {
        if (int e = error_of(call(SYS_setpgid, 0, 0))) fail("setpgid", e);
        if (int e = error_of(call(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0)))
            fail("prctl(PR_SET_PDEATHSIG)", e);
        if (call(SYS_getppid) != plan_.parent) fail("parent died before confinement", 0);
        if (int e = error_of(call(SYS_prctl, PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0)))
            fail("prctl(PR_SET_NO_NEW_PRIVS)", e);
        if (landlock::Failure failure = landlock::apply(plan_.landlock)) {
            text::LineBuf what;
            what.add("landlock: ");
            landlock::write_failure(what, plan_.landlock, failure);
            fail(what, failure.error);
        }
        // Whatever `privileged` says: without a user namespace what it kept would be the
        // caller's own capabilities.
        int error = 0;
        if (const char* step = context::drop_capabilities(error)) fail(step, error);
        long ret = seccomp::bpf::install_raw(plan_.deny, 0);
        if (ret < 0) {
            text::LineBuf what;
            what.add("seccomp deny filter: ").add_os_error(static_cast<int>(-ret));
            fail(what, static_cast<int>(-ret));
        }
    }

    static int error_of(long ret) noexcept {
        return sys::syscall::is_error(ret) ? static_cast<int>(-ret) : 0;
    }

    [[noreturn]] void fail(const text::LineBuf& what, int error) const noexcept {
        text::LineBuf line;
        line.add("vestrion child: ").add(what.view()).add(": ").add_os_error(error).add("\n");
        line.write_to(STDERR_FILENO);
        line.write_to(pipes_.errors.w.get());
        call(SYS_exit_group, 127);
        __builtin_unreachable();
    }

    [[noreturn]] void fail(const char* what, int error) const noexcept {
        text::LineBuf line;
        line.add(what);
        fail(line, error);
    }

    const TemplatePlan& plan_;
    FanoutPipes& pipes_;
    std::vector<int> out_w_;
};

// The parent's side while the template runs: reads the control messages and drains every clone's
// output, so that no clone blocks on a full pipe.
class Collection {
public:
    Collection(pid_t pid, int pidfd, std::uint32_t n, FanoutPipes& pipes)
        : pid_(pid), pidfd_(pidfd), want_(std::size_t{n} * 8), outputs_(n) {
        fds_.push_back({pidfd, POLLIN, 0});
        fds_.push_back({pipes.control.r.get(), POLLIN, 0});
        for (const UniqueFd& fd : pipes.out_r) fds_.push_back({fd.get(), POLLIN, 0});
    }

    // Returns once both messages are in or the template has ended. The control pipe is not read
    // to its end: a template that another thread forks meanwhile may hold its write end.
    void until_reported() {
        while (control_.size() < want_) {
            int ret = ::poll(fds_.data(), fds_.size(), pidfd_ >= 0 ? -1 : 50);
            if (ret < 0 && errno != EINTR) break;
            if (ret > 0) {
                if (fds_[1].revents) read_from(1, control_, false);
                for (std::size_t i = 2; i < fds_.size(); ++i)
                    if (fds_[i].revents) read_from(i, outputs_[i - 2], false);
            }
            if (fds_[1].fd < 0 || template_exited()) break;
        }
    }

    // Once the template has ended: takes what the pipes already hold, without waiting.
    void take_the_rest() {
        read_from(1, control_, true);
        for (std::size_t i = 2; i < fds_.size(); ++i) read_from(i, outputs_[i - 2], true);
    }

    const std::string& control() const { return control_; }
    std::string& output(std::uint32_t i) { return outputs_[i]; }

private:
    bool template_exited() const {
        if (pidfd_ >= 0) return fds_[0].revents != 0;
        siginfo_t info{};
        return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == pid_;
    }

    // One read per wake-up while the clones run, so that no busy clone starves the others;
    // everything there is once they have ended.
    void read_from(std::size_t slot, std::string& sink, bool all) {
        char buf[65536];
        while (fds_[slot].fd >= 0) {
            ssize_t n = ::read(fds_[slot].fd, buf, sizeof buf);
            if (n > 0) {
                sink.append(buf, static_cast<std::size_t>(n));
                if (!all) return;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (n == 0 || errno != EAGAIN) fds_[slot].fd = -1;
                return;
            }
        }
    }

    pid_t pid_;
    int pidfd_;
    std::size_t want_;
    std::vector<pollfd> fds_;  // the template's pidfd, the control pipe, then one per clone
    std::string control_;
    std::vector<std::string> outputs_;
};

// Once the template has exited and before it is reaped, its group still has its number: kill
// what is left in it (whatever the clones started), then reap the template.
ExitStatus end_template(pid_t pid, int pidfd, bool own_group) {
    siginfo_t info{};
    idtype_t type = pidfd >= 0 ? P_PIDFD : P_PID;
    id_t id = pidfd >= 0 ? static_cast<id_t>(pidfd) : static_cast<id_t>(pid);
    while (::waitid(type, id, &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
    }
    if (own_group) {
        int leader = pidfd >= 0 ? ::fcntl(pidfd, F_DUPFD_CLOEXEC, 0) : -1;
        if (leader >= 0) {
            groups::ProcessGroups group;
            group.record(pid, UniqueFd(leader));
            group.kill_all_and_wait(kGroupTeardownLimit);
        } else {
            ::killpg(pid, SIGKILL);  // the unreaped template holds the number
        }
    }
    info = {};
    int reaped;
    while ((reaped = ::waitid(type, id, &info, WEXITED)) < 0 && errno == EINTR) {
    }
    return reaped == 0 ? sandbox::status_from(info) : ExitStatus::killed();
}

}  // namespace

Result<std::vector<std::unique_ptr<Sandbox>>> Sandbox::fork(std::uint32_t n) {
    // Both functions are used up by the first fork, whatever happens to it.
    InitFn init = std::exchange(init_fn_, nullptr);
    if (!init) return std::unexpected(VestrionError(child_error(kNeedsFunctions)));
    WorkFn work = std::exchange(work_fn_, nullptr);
    if (!work || !*work) return std::unexpected(VestrionError(child_error(kNeedsFunctions)));
    if (state_.kind != SandboxStateKind::Created)
        return std::unexpected(VestrionError(child_error("sandbox already spawned")));
    if (auto refused = refuse(policy_, n)) return std::unexpected(std::move(*refused));
    auto plan = TemplatePlan::prepare(policy_);
    if (!plan) return std::unexpected(std::move(plan.error()));
    auto pipes = FanoutPipes::create(n);
    if (!pipes) return std::unexpected(io_error(pipes.error()));

    Template body(*plan, *pipes);
    pid_t pid = ::fork();
    if (pid < 0) return std::unexpected(VestrionError(SandboxError(SandboxError::Fork{SystemError::last()})));
    if (pid == 0) body.run(n, init, *work);

    pipes->control.w.reset();
    pipes->errors.w.reset();
    for (UniqueFd& fd : pipes->out_w) fd.reset();
    // Made here too, so that the group is the template's before anything below signals it.
    bool own_group = ::setpgid(pid, pid) == 0 || ::getpgid(pid) == pid;
    auto pidfd = sys::syscall::pidfd_open(pid, 0);
    int pidfd_number = pidfd ? pidfd->get() : -1;
    pid_ = pid;
    state_.kind = SandboxStateKind::Running;

    Collection collection(pid, pidfd_number, n, *pipes);
    if (n > 0) collection.until_reported();
    state_ = {SandboxStateKind::Finished, end_template(pid, pidfd_number, own_group)};
    collection.take_the_rest();

    if (std::string line = context::read_failure_line(pipes->errors.r.get()); !line.empty())
        return std::unexpected(VestrionError(child_error(std::move(line))));

    const std::string& control = collection.control();
    std::vector<std::int32_t> pids = fork::decode(control, n, 0);
    std::string_view codes_bytes = control.size() > std::size_t{n} * 4
                                       ? std::string_view(control).substr(std::size_t{n} * 4)
                                       : std::string_view();
    // A missing exit code is no success.
    std::vector<std::int32_t> codes = fork::decode(codes_bytes, n, -1);

    std::vector<std::unique_ptr<Sandbox>> clones;
    for (std::uint32_t i = 0; i < n; ++i) {
        if (pids[i] <= 0) continue;
        std::unique_ptr<Sandbox> clone(new Sandbox(policy_));
        clone->pid_ = pids[i];
        clone->state_ = {SandboxStateKind::Finished,
                         codes[i] >= 0 ? ExitStatus::code(codes[i]) : ExitStatus::killed()};
        if (pipes->out_r[i]) clone->clone_output_ = std::move(collection.output(i));
        clones.push_back(std::move(clone));
    }
    return clones;
}

namespace {

// Feeds the reducer's standard input from a thread of its own. It writes everything, going on
// after short and interrupted writes, and stops when the reader is gone or when told to: a
// template forked meanwhile by another thread may hold the read end, so the pipe alone may never
// say that the reader is gone.
class InputWriter {
public:
    InputWriter(std::string input, UniqueFd pipe_w, UniqueFd stop)
        : stop_(std::move(stop)),
          thread_([this, input = std::move(input), w = std::move(pipe_w)] { feed(input, w.get()); }) {}

    ~InputWriter() {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_.get(), &one, sizeof one);
        thread_.join();
    }
    InputWriter(const InputWriter&) = delete;
    InputWriter& operator=(const InputWriter&) = delete;

private:
    void feed(const std::string& input, int fd) {
        // SIGPIPE stays blocked in this thread: a reader that exits early shows up as EPIPE,
        // and the signal it leaves pending here is consumed, whatever the caller's disposition.
        sandbox::block_all_signals();
        set_nonblocking(fd);
        std::size_t done = 0;
        pollfd fds[2] = {{fd, POLLOUT, 0}, {stop_.get(), POLLIN, 0}};
        while (done < input.size()) {
            ssize_t n = ::write(fd, input.data() + done, input.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && errno != EAGAIN) {
                if (errno == EPIPE) consume_sigpipe();
                return;
            }
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
            if (fds[1].revents) return;
        }
    }

    static void consume_sigpipe() {
        sigset_t pipe_set;
        sigemptyset(&pipe_set);
        sigaddset(&pipe_set, SIGPIPE);
        timespec zero{0, 0};
        while (::sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }

    UniqueFd stop_;
    std::thread thread_;
};

}  // namespace

Result<RunResult> Sandbox::reduce(std::span<const std::string> argv,
                                  std::vector<std::unique_ptr<Sandbox>>& clones) const {
    std::string input;
    for (auto& clone : clones) {
        if (!clone || !clone->clone_output_) continue;
        input += *clone->clone_output_;
        clone->clone_output_.reset();
    }
    auto pipe = make_pipe(0);
    if (!pipe) return std::unexpected(io_error(pipe.error()));
    UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
    if (!stop) return std::unexpected(io_error(SystemError::last()));
    InputWriter writer(std::move(input), std::move(pipe->w), std::move(stop));

    auto reducer = Sandbox::create(policy_);
    if (!reducer) return std::unexpected(std::move(reducer.error()));
    (*reducer)->set_stdio_redirects({pipe->r.get(), -1, -1});
    auto spawned = (*reducer)->do_spawn(argv, true);
    pipe->r.reset();
    if (!spawned) return std::unexpected(std::move(spawned.error()));
    auto result = (*reducer)->wait();
    if (!result) return result;
    // A workdir view that could not be committed or discarded fails the reduce.
    if (auto finished = (*reducer)->finish(); !finished)
        return std::unexpected(std::move(finished.error()));
    return result;
}

}  // namespace vestrion
