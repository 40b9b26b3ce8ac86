// The process and memory budgets of a sandbox: the handlers that answer the fork family and the
// memory calls, and the ledger that tracks what each process of the sandbox was charged.
//
// The memory budget is an estimate of the anonymous memory the sandbox asked for, kept per
// process (thread group) so that a process is never credited more than it was charged:
//  - anonymous mappings are charged when made with some access; reservations without access
//    (PROT_NONE, as thread stacks and malloc arenas start) are not;
//  - unmapping credits only the anonymous private memory that the range really covers, read
//    from /proc/<pid>/maps at the time of the call;
//  - the heap is measured from the start of the current image's heap, so an exec (a new
//    image, told by its layout) neither charges nor credits the distance between two heaps:
//    the old image's charges are released and the new image starts afresh;
//  - a process that has ended is credited when the budget would otherwise be exceeded.
// Memory made accessible later with mprotect is not seen: that call is not routed.
#pragma once

#include <linux/seccomp.h>

#include <array>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/seccomp/action.hpp"
#include "core/sys/fd.hpp"
#include "core/sys/proc.hpp"

namespace vestrion::seccomp::notif {
struct NotifPolicy;
struct SupervisorState;
struct SharedSupervisorState;
}  // namespace vestrion::seccomp::notif

namespace vestrion::resource {

inline constexpr std::uint64_t PAGE_SIZE = 4096;

// Rounds up to whole pages, saturating instead of wrapping.
std::uint64_t page_up(std::uint64_t bytes);

// What one memory call would change, decided before it is applied.
struct Charge {
    std::uint64_t cost = 0;    // bytes newly asked for
    std::uint64_t credit = 0;  // bytes the call releases
};

// A process's share of the budget.
struct ProcessMemory {
    std::optional<sys::proc::ImageLayout> image;  // the image its heap belongs to
    std::uint64_t heap = 0;                       // that image's heap, as charged
    std::uint64_t charged = 0;                    // everything charged, the heap included
    UniqueFd pidfd;                               // readable once the process has ended
    std::uint32_t checked = 0;                    // generation when the pid was last verified
    std::optional<sys::proc::MapsQuery> maps;     // kept open: one query per mapping looked at
};

class MemoryLedger {
  public:
    std::uint64_t used() const { return used_; }
    std::size_t tracked_processes() const { return processes_.size(); }

    // A thread or process was created: cached thread ids and pids may now name someone else.
    void note_new_task() { ++generation_; }

    // The process that thread `tid` belongs to; the thread itself when /proc cannot tell.
    std::uint32_t process_of(std::uint32_t tid);

    // The record of process `tgid`, started afresh when the pid now names another process.
    ProcessMemory& record(std::uint32_t tgid);

    // Applies the charge when the total stays within `limit` (first crediting processes that
    // have ended, if that is what it takes); false leaves everything as it was. The credit is
    // bounded by what the process was charged.
    bool apply(ProcessMemory& process, Charge charge, std::uint64_t limit);
    // The same for memory that belongs to no process (System V shared memory).
    bool apply_shared(std::uint64_t cost, std::uint64_t limit);

    // Records the image the process runs. A different image than before replaced the whole
    // address space: everything the process was charged is released.
    void enter_image(ProcessMemory& process, sys::proc::ImageLayout layout);

    // Credits and forgets every process that has ended; how many there were.
    std::size_t sweep_exited();

  private:
    struct ThreadSlot {
        std::uint32_t tid = 0;
        std::uint32_t tgid = 0;
        std::uint32_t generation = 0;
    };
    static constexpr std::size_t MAX_TRACKED = 256;

    bool fits(std::uint64_t credit, std::uint64_t cost, std::uint64_t limit);
    void release(ProcessMemory& process);

    std::array<ThreadSlot, 256> threads_{};
    std::unordered_map<std::uint32_t, ProcessMemory> processes_;
    std::uint64_t used_ = 0;
    std::uint32_t generation_ = 1;
};

// The heap's size after brk(addr) for an image whose heap starts at `start_brk`: the kernel
// refuses an address below the start, and the heap stays `current`.
std::uint64_t heap_after_brk(std::uint64_t start_brk, std::uint64_t addr, std::uint64_t current);

// The part of [lo, hi) that the mapping covers, when unmapping it releases anonymous private
// memory; 0 otherwise.
std::uint64_t releasable_overlap(const sys::proc::Mapping& mapping, std::uint64_t lo,
                                 std::uint64_t hi);

// Every clone (56), fork (57), vfork (58) and clone3 (435) notification: refuses namespaces and
// children of our caller (CLONE_PARENT), lets threads through uncounted, holds forks while
// frozen, counts the others against `max_processes` for the sandbox's whole life.
seccomp::notif::NotifAction handle_fork(const seccomp_notif& notif,
                                        seccomp::notif::SharedSupervisorState& shared);

// The forks held while the sandbox was frozen, each with its answer from the process budget
// (let through and counted, or EAGAIN), taken off the list; nothing while it is still frozen.
std::vector<std::pair<std::uint64_t, seccomp::notif::NotifAction>> release_held_forks(
    seccomp::notif::SupervisorState& state);

// mmap (9), munmap (11), brk (12), mremap (25) and shmget (29) with the memory switch on:
// `Continue`, or `Kill` of the sandbox's process group when the call would take the sandbox
// over `max_memory`.
seccomp::notif::NotifAction handle_memory(const seccomp_notif& notif,
                                          const seccomp::notif::NotifPolicy& policy,
                                          seccomp::notif::SharedSupervisorState& shared);

}  // namespace vestrion::resource
