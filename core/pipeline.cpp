#include "core/pipeline.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <thread>

#include "core/sandbox.hpp"

namespace vestrion {

Pipeline operator|(Stage left, Stage right) {
    Pipeline pipeline;
    pipeline.stages_.push_back(std::move(left));
    pipeline.stages_.push_back(std::move(right));
    return pipeline;
}

Pipeline operator|(Pipeline left, Stage right) {
    left.stages_.push_back(std::move(right));
    return left;
}

Result<RunResult> Pipeline::run(std::optional<std::chrono::nanoseconds> timeout) && {
    std::optional<pipeline::Clock::time_point> deadline;
    if (timeout) {
        // A deadline past the clock's range is none.
        auto now = pipeline::Clock::now();
        if (*timeout < pipeline::Clock::time_point::max() - now)
            deadline = now + std::chrono::duration_cast<pipeline::Clock::duration>(*timeout);
    }
    return pipeline::run_pipeline(std::move(stages_), deadline);
}

namespace pipeline {

SysResult<std::pair<UniqueFd, UniqueFd>> make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(SystemError::last());
    return std::pair{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

namespace {

// Reads the last stage's standard output and error while the stages run, so that neither can
// fill up and block it. Once the last stage is reaped, `take` collects what the pipes hold
// without waiting for their end: a process that escaped the stage may still hold a write end.
class FinalOutput {
public:
    FinalOutput(UniqueFd out, UniqueFd err, UniqueFd stop)
        : out_(std::move(out)), err_(std::move(err)), stop_(std::move(stop)) {
        for (int fd : {out_.get(), err_.get()}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        thread_ = std::thread([this] { drain(); });
    }

    ~FinalOutput() { stop(); }
    FinalOutput(const FinalOutput&) = delete;
    FinalOutput& operator=(const FinalOutput&) = delete;

    std::pair<std::string, std::string> take() {
        stop();
        return {std::move(bytes_[0]), std::move(bytes_[1])};
    }

private:
    void stop() {
        if (!thread_.joinable()) return;
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop_.get(), &one, sizeof one);
        thread_.join();
    }

    void drain() {
        sandbox::block_all_signals();
        pollfd fds[3] = {{out_.get(), POLLIN, 0}, {err_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        while (fds[0].fd >= 0 || fds[1].fd >= 0) {
            if (::poll(fds, 3, -1) < 0 && errno != EINTR) break;
            bool stopping = fds[2].revents != 0;
            for (int i = 0; i < 2; ++i)
                if (fds[i].fd >= 0 && (fds[i].revents || stopping)) read_ready(fds[i], bytes_[i], stopping);
            if (stopping) break;
        }
    }

    // One read per wake-up while the stages run; all there is once stopping.
    static void read_ready(pollfd& p, std::string& sink, bool all) {
        char buf[65536];
        while (true) {
            ssize_t n = ::read(p.fd, buf, sizeof buf);
            if (n > 0) {
                sink.append(buf, static_cast<std::size_t>(n));
                if (!all) return;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                if (n == 0 || errno != EAGAIN) p.fd = -1;
                return;
            }
        }
    }

    UniqueFd out_, err_, stop_;
    std::string bytes_[2];
    std::thread thread_;
};

struct Pipes {
    std::vector<std::pair<UniqueFd, UniqueFd>> links;  // link i: stage i to stage i+1
    std::pair<UniqueFd, UniqueFd> out, err;            // the last stage's output and error
};

SysResult<Pipes> make_pipes(std::size_t stages) {
    Pipes pipes;
    for (std::size_t i = 0; i + 1 < stages; ++i) {
        auto link = make_pipe();
        if (!link) return std::unexpected(link.error());
        pipes.links.push_back(std::move(*link));
    }
    auto out = make_pipe();
    if (!out) return std::unexpected(out.error());
    auto err = make_pipe();
    if (!err) return std::unexpected(err.error());
    pipes.out = std::move(*out);
    pipes.err = std::move(*err);
    return pipes;
}

// The standard streams of stage i of n: the first reads the caller's standard input, and only
// the last stage's error is collected; the others write theirs to the caller's.
StdioRedirects redirects_of(const Pipes& pipes, std::size_t i, std::size_t n) {
    StdioRedirects r;
    if (i > 0) r.stdin_fd = pipes.links[i - 1].first.get();
    r.stdout_fd = i + 1 < n ? pipes.links[i].second.get() : pipes.out.second.get();
    if (i + 1 == n) r.stderr_fd = pipes.err.second.get();
    return r;
}

bool passed(const std::optional<Clock::time_point>& deadline) {
    return deadline && Clock::now() >= *deadline;
}

RunResult timed_out() { return RunResult{std::nullopt, std::nullopt, ExitStatus::timeout()}; }

VestrionError io_error(SystemError error) { return SandboxError(SandboxError::Io{std::move(error)}); }

}  // namespace

Result<RunResult> run_pipeline(std::vector<Stage> stages, std::optional<Clock::time_point> deadline) {
    const std::size_t n = stages.size();
    auto pipes = make_pipes(n);
    if (!pipes) return std::unexpected(io_error(pipes.error()));

    // Torn down on every way out, which kills each stage still running with every group its
    // processes made, and reaps it.
    std::vector<std::unique_ptr<Sandbox>> running;
    for (std::size_t i = 0; i < n; ++i) {
        auto sandbox = Sandbox::create(stages[i].policy);
        if (!sandbox) return std::unexpected(std::move(sandbox.error()));
        (*sandbox)->set_stdio_redirects(redirects_of(*pipes, i, n));
        auto spawned = (*sandbox)->do_spawn(stages[i].args, false);
        running.push_back(std::move(*sandbox));
        if (!spawned) return std::unexpected(std::move(spawned.error()));
        if (passed(deadline)) return timed_out();
    }
    // From here on only the stages hold the links and the final write ends.
    pipes->links.clear();
    pipes->out.second.reset();
    pipes->err.second.reset();
    UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
    if (!stop) return std::unexpected(io_error(SystemError::last()));
    FinalOutput output(std::move(pipes->out.first), std::move(pipes->err.first), std::move(stop));

    ExitStatus last;
    for (auto& stage : running) {
        Result<RunResult> waited;
        if (deadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
            auto within = stage->wait_for(std::max(left, std::chrono::milliseconds(0)));
            if (!within) return timed_out();
            waited = std::move(*within);
        } else {
            waited = stage->wait();
        }
        if (!waited) return std::unexpected(std::move(waited.error()));
        // A stage whose workdir view could not be committed or discarded fails the pipeline.
        if (auto finished = stage->finish(); !finished)
            return std::unexpected(std::move(finished.error()));
        last = waited->status;
        stage.reset();
    }
    auto [out, err] = output.take();
    return RunResult{std::move(out), std::move(err), last};
}

}  // namespace pipeline

}  // namespace vestrion
