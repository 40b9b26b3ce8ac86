#include "core/time.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>

#include "core/seccomp/notif.hpp"
#include "core/sys/structs.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::time {

using seccomp::notif::NotifAction;

namespace {

constexpr std::int64_t NS = 1'000'000'000;

std::int64_t realtime_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * NS + now.tv_nsec;
}

// Seconds and nanoseconds as host nanoseconds; none when they do not fit.
std::optional<std::int64_t> as_ns(std::int64_t seconds, std::int64_t nanoseconds) {
    std::int64_t ns;
    if (__builtin_mul_overflow(seconds, NS, &ns) || __builtin_add_overflow(ns, nanoseconds, &ns))
        return std::nullopt;
    return ns;
}

std::optional<std::int64_t> read_i64(int listener, const seccomp::notif::SeccompNotif& notif,
                                     std::uint64_t address) {
    auto bytes = seccomp::notif::read_child_mem(listener, notif, address, 8);
    if (!bytes || bytes->size() < 8) return std::nullopt;
    std::int64_t value;
    std::memcpy(&value, bytes->data(), 8);
    return value;
}

bool write_i64(int listener, const seccomp::notif::SeccompNotif& notif, std::uint64_t address,
               std::int64_t value) {
    std::uint8_t bytes[8];
    std::memcpy(bytes, &value, 8);
    return seccomp::notif::write_child_mem(listener, notif, address, bytes).has_value();
}

// The first line of a small /proc file.
std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// The clock of POSIX timer `timer` of the process, from its timers file.
std::optional<int> timer_clock(std::uint32_t pid, long timer) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/timers");
    std::string line;
    bool ours = false;
    while (std::getline(in, line)) {
        if (line.starts_with("ID: ")) ours = std::strtol(line.c_str() + 4, nullptr, 10) == timer;
        else if (ours && line.starts_with("ClockID: "))
            return static_cast<int>(std::strtol(line.c_str() + 9, nullptr, 10));
    }
    return std::nullopt;
}

// The clock of a timerfd, from the supervisor's own duplicate of it; none for another file.
std::optional<int> timerfd_clock(int fd) {
    std::ifstream in("/proc/self/fdinfo/" + std::to_string(fd));
    std::string line;
    while (std::getline(in, line))
        if (line.starts_with("clockid:"))
            return static_cast<int>(std::strtol(line.c_str() + 8, nullptr, 10));
    return std::nullopt;
}

std::shared_ptr<SleepKeeper> keeper_of(const seccomp::notif::Call& call) {
    std::lock_guard lock(call.shared.mutex);
    auto& keeper = call.shared.state.sleep_keeper;
    if (!keeper) {
        auto made = std::make_shared<SleepKeeper>(call.listener);
        if (!made->ok()) return nullptr;
        keeper = std::move(made);
    }
    return keeper;
}

// An absolute sleep on the realtime clock. Its end is moved to host time; the child's record
// is given back its own value once the kernel has read it, so that a loop adding its period
// to that record does not drift by the offset.
NotifAction absolute_sleep(const seccomp::notif::Call& call, std::int64_t offset) {
    const auto& n = call.notif;
    const std::uint64_t request = n.data.args[2];
    auto seconds = read_i64(call.listener, n, request);
    auto nanoseconds = read_i64(call.listener, n, request + 8);
    if (!seconds || !nanoseconds) return NotifAction::Errno{EFAULT};
    if (*nanoseconds < 0 || *nanoseconds >= NS) return NotifAction::Continue{};  // EINVAL
    std::int64_t host_seconds;
    if (__builtin_sub_overflow(*seconds, offset, &host_seconds)) return NotifAction::Continue{};
    auto target = as_ns(host_seconds, *nanoseconds);
    if (!target) return NotifAction::Continue{};
    std::int64_t now = realtime_ns();
    if (*target <= now) return NotifAction::ReturnValue{0};
    auto keeper = keeper_of(call);
    if (keeper && *target - now < std::chrono::nanoseconds(SleepKeeper::HOLD_BELOW).count()) {
        keeper->answer_at(n.id, *target);
        return NotifAction::Hold{};
    }
    if (!write_i64(call.listener, n, request, host_seconds)) return NotifAction::Errno{EFAULT};
    if (keeper) keeper->restore_when_asleep(n.pid, request, *seconds, host_seconds, *target);
    return NotifAction::Continue{};
}

// timerfd_settime never blocks: it is made on the supervisor's duplicate with the host time,
// so the child's record is never written.
NotifAction absolute_timerfd(const seccomp::notif::Call& call, std::int64_t offset) {
    const auto& n = call.notif;
    const auto& a = n.data.args;
    auto thread = sys::syscall::pidfd_open(static_cast<std::int32_t>(n.pid), sys::PIDFD_THREAD);
    if (!thread) return NotifAction::Continue{};
    auto fd = seccomp::notif::dup_child_fd(thread->get(), static_cast<int>(a[0]));
    if (!fd || !seccomp::notif::still_valid(call.listener, n.id)) return NotifAction::Continue{};
    if (timerfd_clock(fd->get()) != CLOCK_REALTIME) return NotifAction::Continue{};
    auto bytes = seccomp::notif::read_child_mem(call.listener, n, a[2], sizeof(itimerspec));
    if (!bytes || bytes->size() < sizeof(itimerspec)) return NotifAction::Errno{EFAULT};
    itimerspec value;
    std::memcpy(&value, bytes->data(), sizeof value);
    if ((value.it_value.tv_sec != 0 || value.it_value.tv_nsec != 0) &&
        __builtin_sub_overflow(value.it_value.tv_sec, offset, &value.it_value.tv_sec))
        return NotifAction::Errno{EINVAL};
    itimerspec old{};
    if (::timerfd_settime(fd->get(), static_cast<int>(a[1]), &value, a[3] ? &old : nullptr) != 0)
        return NotifAction::Errno{errno};
    if (a[3]) {
        // What is left of the old timer is relative: no clock to shift.
        std::span<const std::uint8_t> out(reinterpret_cast<const std::uint8_t*>(&old), sizeof old);
        if (!seccomp::notif::write_child_mem(call.listener, n, a[3], out))
            return NotifAction::Errno{EFAULT};
    }
    return NotifAction::ReturnValue{0};
}

}  // namespace

std::int64_t calculate_time_offset(TimePoint start) {
    using std::chrono::duration_cast;
    using std::chrono::seconds;
    auto since_epoch = [](auto point) {
        auto s = duration_cast<seconds>(point.time_since_epoch()).count();
        return s < 0 ? std::int64_t{0} : static_cast<std::int64_t>(s);
    };
    return since_epoch(start) - since_epoch(std::chrono::system_clock::now());
}

void adjust_tv_sec(int listener, const seccomp::notif::SeccompNotif& notif, std::uint64_t address,
                   std::int64_t offset) {
    auto seconds = read_i64(listener, notif, address);
    if (!seconds) return;
    (void)write_i64(listener, notif, address,
                    static_cast<std::int64_t>(static_cast<std::uint64_t>(*seconds) -
                                              static_cast<std::uint64_t>(offset)));
}

NotifAction handle_timer(const seccomp::notif::Call& call, std::int64_t offset) {
    const auto& n = call.notif;
    const auto& a = n.data.args;
    if (offset == 0) return NotifAction::Continue{};
    switch (n.data.nr) {
        case SYS_clock_nanosleep:
            // Only the realtime clock is shifted in the child's readings; the kernel refuses the
            // coarse one for a sleep.
            if (!(a[1] & TIMER_ABSTIME) || static_cast<int>(a[0]) != CLOCK_REALTIME || !a[2])
                return NotifAction::Continue{};
            return absolute_sleep(call, offset);
        case SYS_timerfd_settime:
            if (!(a[1] & TFD_TIMER_ABSTIME) || !a[2]) return NotifAction::Continue{};
            return absolute_timerfd(call, offset);
        case SYS_timer_settime:
            // The child's own record holds the host time afterwards.
            if ((a[1] & TIMER_ABSTIME) && a[2] &&
                timer_clock(n.pid, static_cast<long>(static_cast<int>(a[0]))) == CLOCK_REALTIME)
                adjust_tv_sec(call.listener, n, a[2] + 16, offset);
            return NotifAction::Continue{};
        default:
            return NotifAction::Continue{};
    }
}

// --- SleepKeeper ---

SleepKeeper::SleepKeeper(int listener) : listener_(::fcntl(listener, F_DUPFD_CLOEXEC, 0)) {
    if (!listener_) return;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
    }
}

SleepKeeper::~SleepKeeper() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    // The run is over: nothing held may wait for its time any longer.
    for (Job& job : jobs_)
        if (job.answer)
            (void)seccomp::notif::send_response(listener_.get(), job.id, NotifAction::ReturnValue{0});
}

void SleepKeeper::answer_at(std::uint64_t id, std::int64_t at) {
    {
        std::lock_guard lock(mutex_);
        Job job{};
        job.due = at;
        job.id = id;
        job.answer = true;
        jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
}

void SleepKeeper::restore_when_asleep(std::uint32_t tid, std::uint64_t address,
                                      std::int64_t seconds, std::int64_t host_seconds,
                                      std::int64_t until) {
    auto thread = sys::syscall::pidfd_open(static_cast<std::int32_t>(tid), sys::PIDFD_THREAD);
    if (!thread) return;
    {
        std::lock_guard lock(mutex_);
        Job job{};
        job.due = until;
        job.tid = tid;
        job.address = address;
        job.seconds = seconds;
        job.host_seconds = host_seconds;
        job.thread = std::move(*thread);
        jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
}

// True once the job is done or can no longer be.
bool SleepKeeper::try_restore(Job& job) {
    pollfd gone{job.thread.get(), POLLIN, 0};
    if (::poll(&gone, 1, 0) != 0) return true;  // the thread has ended
    std::string wchan = first_line("/proc/" + std::to_string(job.tid) + "/wchan");
    if (!wchan.starts_with("hrtimer_nanosleep") && !wchan.starts_with("do_nanosleep"))
        return false;
    std::int64_t current = 0;
    iovec local{&current, 8}, remote{reinterpret_cast<void*>(job.address), 8};
    if (::process_vm_readv(static_cast<pid_t>(job.tid), &local, 1, &remote, 1, 0) != 8) return true;
    // The child may have written its record meanwhile: leave its own value alone.
    if (current != job.host_seconds) return true;
    local.iov_base = &job.seconds;
    (void)::process_vm_writev(static_cast<pid_t>(job.tid), &local, 1, &remote, 1, 0);
    return true;
}

void SleepKeeper::run() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        std::int64_t now = realtime_ns();
        bool watching = false;
        std::optional<std::int64_t> next;
        for (auto it = jobs_.begin(); it != jobs_.end();) {
            bool done;
            if (it->answer) {
                done = it->due <= now;
                if (done)
                    (void)seccomp::notif::send_response(listener_.get(), it->id,
                                                        NotifAction::ReturnValue{0});
            } else {
                done = it->due <= now || try_restore(*it);
            }
            if (done) {
                it = jobs_.erase(it);
                continue;
            }
            if (it->answer) next = next ? std::min(*next, it->due) : it->due;
            else watching = true;
            ++it;
        }
        // A sleep the kernel has not read yet is looked at often; held calls wait for their time.
        if (watching)
            changed_.wait_for(lock, std::chrono::microseconds(100));
        else if (next)
            changed_.wait_for(lock, std::chrono::nanoseconds(*next - now));
        else
            changed_.wait(lock);
    }
}

}  // namespace vestrion::time
