// The clock a run with a start time sees: the offset of its realtime clock, and the absolute
// sleeps and timers on that clock, which the kernel measures in host time.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <thread>

#include "core/policy.hpp"
#include "core/seccomp/action.hpp"
#include "core/seccomp/dispatch.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::time {

// Whole seconds from now to `start` (negative for a start in the past); an instant before the
// epoch counts as the epoch.
std::int64_t calculate_time_offset(TimePoint start);

// Moves the seconds at `address` back by `offset`; nothing when they cannot be read or written.
void adjust_tv_sec(int listener, const seccomp::notif::SeccompNotif& notif, std::uint64_t address,
                   std::int64_t offset);

// Work on absolute sleeps done away from the supervisor loop: answering a short sleep at its
// host time, and giving a long sleep's record back to the child once the kernel has read it.
class SleepKeeper {
  public:
    // How close a sleep's end may be for the supervisor to hold the call and answer it itself.
    static constexpr std::chrono::milliseconds HOLD_BELOW{50};

    explicit SleepKeeper(int listener);
    SleepKeeper(const SleepKeeper&) = delete;
    SleepKeeper& operator=(const SleepKeeper&) = delete;
    // Answers what is still held and joins the thread.
    ~SleepKeeper();

    bool ok() const { return listener_.valid() && thread_.joinable(); }

    // Answers notification `id` with 0 at host realtime `at` (nanoseconds).
    void answer_at(std::uint64_t id, std::int64_t at);
    // Once thread `tid` sleeps in the kernel, writes `seconds` back at `address` if it still
    // holds `host_seconds`; gives up at host realtime `until`.
    void restore_when_asleep(std::uint32_t tid, std::uint64_t address, std::int64_t seconds,
                             std::int64_t host_seconds, std::int64_t until);

  private:
    struct Job {
        std::int64_t due;  // host realtime, nanoseconds
        std::uint64_t id = 0;
        bool answer = false;  // else a write-back
        std::uint32_t tid = 0;
        std::uint64_t address = 0;
        std::int64_t seconds = 0, host_seconds = 0;
        UniqueFd thread;  // pidfd of the sleeping thread: it must still be the same one
    };
    void run();
    bool try_restore(Job& job);

    UniqueFd listener_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::list<Job> jobs_;
    bool stopping_ = false;
    std::thread thread_;
};

// clock_nanosleep, timer_settime and timerfd_settime with an absolute time on the realtime
// clock: the time the child gave, in its shifted clock, is moved to host time.
seccomp::notif::NotifAction handle_timer(const seccomp::notif::Call& call, std::int64_t offset);

}  // namespace vestrion::time
