// Opens that may wait (a FIFO without a peer) made away from the supervisor loop: the loop
// answers one notification at a time, so a FIFO opened in it would stop every process of the
// sandbox, the one that would open the other end included.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

#include "core/cow/seccomp.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::cow {

// How many opens one sandbox may hold waiting at once. Each costs the caller a thread and three
// descriptors for as long as it waits, which the command decides; beyond the bound an open
// fails at once with ENFILE.
inline constexpr std::size_t kMaxWaitingOpens = 64;

class PendingOpens {
  public:
    PendingOpens() = default;
    PendingOpens(const PendingOpens&) = delete;
    PendingOpens& operator=(const PendingOpens&) = delete;
    // Lets every open still waiting return (by opening its node for both ends) and joins it.
    ~PendingOpens();

    // Whether opening the target may wait for another process.
    static bool may_block(const OpenTarget& target);

    // Makes the open on a thread of its own and answers notification `id` on `listener` (a
    // duplicate is kept) with the descriptor or the error. Otherwise the error number the caller
    // answers with: ENFILE when `kMaxWaitingOpens` wait already, EAGAIN when no thread could start.
    int start(int listener, std::uint64_t id, OpenTarget target, bool cloexec);

  private:
    struct Pending {
        std::thread thread;
        UniqueFd node;  // O_PATH, to wake the open
        std::shared_ptr<std::atomic<bool>> finished;
    };
    void reap_finished();

    std::mutex mutex_;
    std::list<Pending> pending_;
};

}  // namespace vestrion::cow
