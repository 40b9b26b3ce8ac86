#include "core/resource.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/mman.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <mutex>

#include "core/seccomp/state.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::resource {

using seccomp::notif::NotifAction;
using sys::proc::Mapping;

namespace {

constexpr std::uint64_t NAMESPACE_FLAGS = 0x7E020000;  // CLONE_NEWNS .. CLONE_NEWNET
constexpr std::uint64_t MAX = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > MAX - b ? MAX : a + b;
}

bool has_ended(const UniqueFd& pidfd) {
    if (!pidfd) return false;
    pollfd p{pidfd.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

// Calls `visit` for each mapping of the process that overlaps [start, end), in address order:
// through the record's query descriptor (opened again when its image is gone), or by reading
// the maps text where the kernel cannot be queried.
template <class Visit>
void for_each_mapping(ProcessMemory& process, std::uint32_t tid, std::uint64_t start,
                      std::uint64_t end, Visit visit) {
    using Status = sys::proc::MapsQuery::Status;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!process.maps || !process.maps->is_open()) process.maps.emplace(tid);
        Mapping m;
        std::uint64_t at = start;
        Status status = Status::Found;
        while (at < end && (status = process.maps->next(at, m)) == Status::Found) {
            if (m.start >= end) return;
            visit(m);
            at = m.end;
        }
        if (status == Status::Found || status == Status::End) return;
        process.maps.reset();
        if (status == Status::Unsupported) break;
        // Stale: nothing was visited yet only if the first query failed; start over once.
        if (at != start) return;
    }
    sys::proc::MapsReader maps(tid);
    while (auto m = maps.next()) {
        if (m->start >= end) break;  // maps is sorted by address
        if (m->end > start) visit(*m);
    }
}

// What unmapping [start, start+length) in the process releases, as its mappings are now.
std::uint64_t releasable_bytes(ProcessMemory& process, std::uint32_t tid, std::uint64_t start,
                               std::uint64_t length) {
    if (length == 0) return 0;
    std::uint64_t end = saturating_add(start, length);
    std::uint64_t total = 0;
    for_each_mapping(process, tid, start, end,
                     [&](const Mapping& m) { total += releasable_overlap(m, start, end); });
    return total;
}

std::optional<Mapping> mapping_at(ProcessMemory& process, std::uint32_t tid,
                                  std::uint64_t address) {
    std::optional<Mapping> found;
    for_each_mapping(process, tid, address, saturating_add(address, 1), [&](const Mapping& m) {
        if (m.start <= address) found = m;
    });
    return found;
}

// --- One charge per memory call, from its arguments and the process's mappings. ---

Charge mmap_charge(ProcessMemory& process, const seccomp_notif& n) {
    const auto& a = n.data.args;
    std::uint64_t length = page_up(a[1]);
    std::uint64_t prot = a[2], flags = a[3];
    Charge c;
    if ((flags & MAP_ANONYMOUS) && (prot & (PROT_READ | PROT_WRITE | PROT_EXEC))) c.cost = length;
    // A fixed mapping replaces whatever lay there.
    if ((flags & MAP_FIXED) && !(flags & MAP_FIXED_NOREPLACE))
        c.credit = releasable_bytes(process, n.pid, a[0], length);
    return c;
}

Charge munmap_charge(ProcessMemory& process, const seccomp_notif& n) {
    std::uint64_t start = n.data.args[0], length = page_up(n.data.args[1]);
    // The kernel refuses these without unmapping anything.
    if (start % PAGE_SIZE != 0 || length == 0 || saturating_add(start, length) == MAX) return {};
    return Charge{0, releasable_bytes(process, n.pid, start, length)};
}

Charge mremap_charge(ProcessMemory& process, const seccomp_notif& n) {
    const auto& a = n.data.args;
    std::uint64_t old_start = a[0], old_len = page_up(a[1]), new_len = page_up(a[2]);
    std::uint64_t flags = a[3], new_start = a[4];
    auto at = mapping_at(process, n.pid, old_start);
    if (!at || at->kind != Mapping::Kind::Anonymous || at->shared || !at->accessible) return {};
    Charge c;
    if ((flags & MREMAP_DONTUNMAP) || old_len == 0)
        c.cost = new_len;
    else if (new_len > old_len)
        c.cost = new_len - old_len;
    else if (new_len < old_len)
        c.credit = releasable_bytes(process, n.pid, old_start + new_len, old_len - new_len);
    if (flags & MREMAP_FIXED) c.credit += releasable_bytes(process, n.pid, new_start, new_len);
    return c;
}

std::uint64_t shmget_cost(const seccomp_notif& n) {
    const auto& a = n.data.args;
    // Only a call that may create a segment allocates; attaching by key does not.
    bool creates = static_cast<key_t>(a[0]) == IPC_PRIVATE || (a[2] & IPC_CREAT);
    return a[1] > 0 && creates ? page_up(a[1]) : 0;
}

// A process-making call against the budget: counted and let through while there is room.
NotifAction count_fork(seccomp::notif::SupervisorState& state, std::uint32_t pid) {
    if (state.fork_count >= state.process_limit()) return NotifAction::Errno{EAGAIN};
    ++state.fork_count;
    auto at = std::lower_bound(state.fork_pids.begin(), state.fork_pids.end(), pid);
    if (at == state.fork_pids.end() || *at != pid) state.fork_pids.insert(at, pid);
    return NotifAction::Continue{};
}

NotifAction kill_answer(const seccomp::notif::SupervisorState& state) {
    return NotifAction::Kill{SIGKILL, state.child_pid, state.child_pidfd.get()};
}

bool apply_brk(MemoryLedger& ledger, ProcessMemory& process, std::uint32_t tid,
               std::uint64_t address, std::uint64_t limit) {
    auto layout = sys::proc::image_layout(tid);
    if (!layout) return true;  // the thread is gone: its call goes nowhere
    ledger.enter_image(process, *layout);
    if (address == 0) return true;  // a query
    std::uint64_t heap = heap_after_brk(layout->start_brk, address, process.heap);
    Charge c =
        heap >= process.heap ? Charge{heap - process.heap, 0} : Charge{0, process.heap - heap};
    if (!ledger.apply(process, c, limit)) return false;
    process.heap = heap;
    return true;
}

}  // namespace

std::uint64_t page_up(std::uint64_t bytes) {
    return bytes > MAX - (PAGE_SIZE - 1) ? MAX : (bytes + PAGE_SIZE - 1) & ~(PAGE_SIZE - 1);
}

std::uint64_t heap_after_brk(std::uint64_t start_brk, std::uint64_t addr, std::uint64_t current) {
    if (addr < start_brk) return current;
    return page_up(addr) - page_up(start_brk);
}

std::uint64_t releasable_overlap(const Mapping& m, std::uint64_t lo, std::uint64_t hi) {
    // The heap is measured through brk; shared and file mappings release no private memory;
    // a reservation without access was never charged.
    if (m.kind != Mapping::Kind::Anonymous || m.shared || !m.accessible) return 0;
    std::uint64_t from = std::max(lo, m.start), to = std::min(hi, m.end);
    return to > from ? to - from : 0;
}

// --- MemoryLedger ---

std::uint32_t MemoryLedger::process_of(std::uint32_t tid) {
    ThreadSlot& slot = threads_[tid % threads_.size()];
    if (slot.tid == tid && slot.generation == generation_) return slot.tgid;
    slot = ThreadSlot{tid, sys::proc::thread_group(tid).value_or(tid), generation_};
    return slot.tgid;
}

ProcessMemory& MemoryLedger::record(std::uint32_t tgid) {
    auto it = processes_.find(tgid);
    if (it != processes_.end()) {
        ProcessMemory& process = it->second;
        // Only a task created since the last check can have taken over an ended process's pid.
        if (process.checked != generation_) {
            if (has_ended(process.pidfd)) {
                release(process);
                process = ProcessMemory{};
                if (auto pidfd = sys::syscall::pidfd_open(static_cast<std::int32_t>(tgid), 0))
                    process.pidfd = std::move(*pidfd);
            }
            process.checked = generation_;
        }
        return process;
    }
    if (processes_.size() >= MAX_TRACKED) sweep_exited();
    ProcessMemory process;
    process.checked = generation_;
    if (auto pidfd = sys::syscall::pidfd_open(static_cast<std::int32_t>(tgid), 0))
        process.pidfd = std::move(*pidfd);
    return processes_.emplace(tgid, std::move(process)).first->second;
}

bool MemoryLedger::fits(std::uint64_t credit, std::uint64_t cost, std::uint64_t limit) {
    return cost == 0 || saturating_add(used_ - credit, cost) <= limit;
}

bool MemoryLedger::apply(ProcessMemory& process, Charge charge, std::uint64_t limit) {
    std::uint64_t credit = std::min(charge.credit, process.charged);
    if (!fits(credit, charge.cost, limit) &&
        (sweep_exited() == 0 || !fits(credit, charge.cost, limit)))
        return false;
    process.charged = saturating_add(process.charged - credit, charge.cost);
    used_ = saturating_add(used_ - credit, charge.cost);
    return true;
}

bool MemoryLedger::apply_shared(std::uint64_t cost, std::uint64_t limit) {
    if (!fits(0, cost, limit) && (sweep_exited() == 0 || !fits(0, cost, limit))) return false;
    used_ = saturating_add(used_, cost);
    return true;
}

void MemoryLedger::release(ProcessMemory& process) {
    used_ -= std::min(used_, process.charged);
    process.charged = 0;
    process.heap = 0;
}

void MemoryLedger::enter_image(ProcessMemory& process, sys::proc::ImageLayout layout) {
    if (process.image && *process.image != layout) release(process);
    process.image = layout;
}

std::size_t MemoryLedger::sweep_exited() {
    std::size_t ended = 0;
    for (auto it = processes_.begin(); it != processes_.end();) {
        if (has_ended(it->second.pidfd)) {
            release(it->second);
            it = processes_.erase(it);
            ++ended;
        } else {
            ++it;
        }
    }
    return ended;
}

// --- Handlers ---

NotifAction handle_fork(const seccomp_notif& notif, seccomp::notif::SharedSupervisorState& shared) {
    const int nr = notif.data.nr;
    // clone3 keeps its flags in memory, where the filter cannot see them and the child may change
    // them after we looked: answering "not implemented" makes the C library fall back to clone,
    // whose flags travel in registers.
    if (nr == SYS_clone3) return NotifAction::Errno{ENOSYS};
    bool thread = false;
    if (nr == SYS_clone) {
        std::uint64_t flags = notif.data.args[0];
        // CLONE_PARENT makes a child of our caller, which never reaps it; refused before the
        // thread shortcut, since a thread may carry the flag too.
        if (flags & (NAMESPACE_FLAGS | CLONE_PARENT)) return NotifAction::Errno{EPERM};
        thread = (flags & CLONE_THREAD) != 0;
    }
    std::lock_guard lock(shared.mutex);
    auto& state = shared.state;
    state.memory.note_new_task();
    if (thread) return NotifAction::Continue{};
    if (state.frozen) {
        state.held_notifs.push_back({notif.id, notif.pid});
        return NotifAction::Hold{};
    }
    return count_fork(state, notif.pid);
}

std::vector<std::pair<std::uint64_t, NotifAction>> release_held_forks(
    seccomp::notif::SupervisorState& state) {
    std::vector<std::pair<std::uint64_t, NotifAction>> answers;
    if (state.frozen) return answers;
    for (const auto& held : state.held_notifs) answers.emplace_back(held.id, count_fork(state, held.pid));
    state.held_notifs.clear();
    return answers;
}

NotifAction handle_memory(const seccomp_notif& notif, const seccomp::notif::NotifPolicy& policy,
                          seccomp::notif::SharedSupervisorState& shared) {
    std::lock_guard lock(shared.mutex);
    auto& state = shared.state;
    MemoryLedger& ledger = state.memory;
    const std::uint64_t limit = state.memory_limit(policy.max_memory);
    ProcessMemory& process = ledger.record(ledger.process_of(notif.pid));
    bool allowed = true;
    switch (notif.data.nr) {
        case SYS_mmap:
            allowed = ledger.apply(process, mmap_charge(process, notif), limit);
            break;
        case SYS_munmap:
            allowed = ledger.apply(process, munmap_charge(process, notif), limit);
            break;
        case SYS_brk:
            allowed = apply_brk(ledger, process, notif.pid, notif.data.args[0], limit);
            break;
        case SYS_mremap:
            allowed = ledger.apply(process, mremap_charge(process, notif), limit);
            break;
        case SYS_shmget:
            allowed = ledger.apply_shared(shmget_cost(notif), limit);
            break;
        default:
            break;
    }
    return allowed ? NotifAction(NotifAction::Continue{}) : kill_answer(state);
}

}  // namespace vestrion::resource
