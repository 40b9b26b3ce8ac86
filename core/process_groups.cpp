#include "core/process_groups.hpp"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <mutex>
#include <thread>

#include "core/seccomp/state.hpp"
#include "core/sys/proc.hpp"
#include "core/sys/structs.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::groups {

using seccomp::notif::NotifAction;

namespace {

// ioprio_set's kinds of target.
constexpr int IOPRIO_WHO_PROCESS = 1;
constexpr int IOPRIO_WHO_PGRP = 2;
constexpr int IOPRIO_WHO_USER = 3;
// Past this many records, ended groups are dropped before another is added; the bound then
// doubles with what is left, so that many live groups cost no scan per new one.
constexpr std::size_t TIDY_ABOVE = 16;
// How long the teardown lets the reapers of killed members act before it looks through /proc
// for members that still run.
constexpr std::chrono::microseconds SCAN_AFTER{2000};

bool has_exited(const UniqueFd& pidfd) {
    pollfd p{pidfd.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

// Calls `visit` with the membership of every process /proc lists.
template <class Visit>
void for_each_process(Visit visit) {
    DIR* dir = ::opendir("/proc");
    if (!dir) return;
    while (dirent* entry = ::readdir(dir)) {
        std::uint32_t pid = 0;
        const char* name = entry->d_name;
        auto [end, ec] = std::from_chars(name, name + std::strlen(name), pid);
        if (ec != std::errc() || *end != '\0') continue;
        if (auto membership = sys::proc::group_membership(pid)) visit(*membership);
    }
    ::closedir(dir);
}

}  // namespace

// --- ProcessGroups ---

void ProcessGroups::record(pid_t id, UniqueFd leader) {
    if (groups_.size() >= std::max(tidy_at_, TIDY_ABOVE)) {
        forget_ended();
        tidy_at_ = 2 * groups_.size();
    }
    auto same = std::ranges::find(groups_, id, &Group::id);
    if (same == groups_.end()) {
        groups_.push_back(Group{id, std::move(leader)});
    } else if (!has_members(*same)) {
        same->leader = std::move(leader);
    }
    // Otherwise the group recorded is alive, so its number is this very group.
}

bool ProcessGroups::holds(pid_t id) const {
    auto group = std::ranges::find(groups_, id, &Group::id);
    return group != groups_.end() && has_members(*group);
}

bool ProcessGroups::has_members(const Group& group) const {
    return sys::syscall::pidfd_send_signal(group.leader.get(), 0,
                                           sys::PIDFD_SIGNAL_PROCESS_GROUP)
        .has_value();
}

std::size_t ProcessGroups::kill_all() const {
    return static_cast<std::size_t>(std::ranges::count_if(groups_, [](const Group& group) {
        return sys::syscall::pidfd_send_signal(group.leader.get(), SIGKILL,
                                               sys::PIDFD_SIGNAL_PROCESS_GROUP)
            .has_value();
    }));
}

bool ProcessGroups::any_member_running() const {
    // Members that have ended but wait for their parent to reap them still count as members;
    // only /proc tells them from those that still run. While a group has members its number is
    // not reused, so the number identifies them.
    std::vector<pid_t> live;
    for (const Group& group : groups_)
        if (has_members(group)) live.push_back(group.id);
    if (live.empty()) return false;
    std::ranges::sort(live);
    bool running = false;
    for_each_process([&](const sys::proc::GroupMembership& m) {
        running = running || (m.running && std::ranges::binary_search(live, m.group));
    });
    return running;
}

void ProcessGroups::forget_ended() {
    // A leader that has ended can no longer make its group, and a group without members cannot
    // get one back; a group whose leader lives may still be on its way (a setsid answered but
    // not yet made).
    std::erase_if(groups_, [&](const Group& group) {
        return has_exited(group.leader) && !has_members(group);
    });
}

void ProcessGroups::signal_all(int signal) const {
    for (const Group& group : groups_)
        (void)sys::syscall::pidfd_send_signal(group.leader.get(), signal,
                                              sys::PIDFD_SIGNAL_PROCESS_GROUP);
}

void ProcessGroups::kill_all_and_wait(std::chrono::milliseconds limit) const {
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + limit;
    auto pause = std::chrono::microseconds(20);
    while (true) {
        // A signal to a group without members fails: that answer alone says whether any is left.
        if (kill_all() == 0) return;
        // What is left has mostly ended and waits for its reaper; only a wait that lasts is
        // worth a look through /proc.
        const auto now = std::chrono::steady_clock::now();
        if (now - start >= SCAN_AFTER && !any_member_running()) return;
        if (now >= deadline) return;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
}

// --- Handlers ---

NotifAction handle_group_call(const seccomp_notif& notif,
                              seccomp::notif::SharedSupervisorState& shared) {
    auto caller = sys::proc::thread_group(notif.pid);
    if (!caller) return NotifAction::Errno{ESRCH};  // the caller is gone
    pid_t target = static_cast<pid_t>(*caller);
    pid_t group = target;
    if (notif.data.nr == SYS_setpgid) {
        // pid_t is 32 bits: the kernel reads only the low halves.
        const auto pid = static_cast<std::int32_t>(notif.data.args[0]);
        const auto pgid = static_cast<std::int32_t>(notif.data.args[1]);
        if (pid < 0 || pgid < 0) return NotifAction::Continue{};  // the kernel refuses them
        if (pid != 0) target = pid;
        group = pgid == 0 ? target : pgid;
    }
    std::lock_guard lock(shared.mutex);
    auto& groups = shared.state.groups;
    if (group != target)
        return groups.holds(group) ? NotifAction(NotifAction::Continue{})
                                   : NotifAction(NotifAction::Errno{EPERM});

    // A group named after `target`. The kernel lets a process move only itself and its own
    // children, but a number alone proves nothing: the target must sit in one of our groups now,
    // checked while a pidfd holds it, so that a number reused in between is noticed.
    auto leader = sys::syscall::pidfd_open(target, 0);
    if (!leader) return NotifAction::Errno{leader.error().code()};
    auto membership = sys::proc::group_membership(static_cast<std::uint32_t>(target));
    if (!membership || !groups.holds(membership->group) || has_exited(*leader))
        return NotifAction::Errno{EPERM};
    groups.record(target, std::move(*leader));
    return NotifAction::Continue{};
}

bool reaches_process(int nr) {
    switch (nr) {
        case SYS_prlimit64:
        case SYS_setpriority:
        case SYS_sched_setparam:
        case SYS_sched_setscheduler:
        case SYS_sched_setaffinity:
        case SYS_ioprio_set:
        case SYS_sched_setattr:
            return true;
        default:
            return false;
    }
}

NotifAction handle_process_reach(const seccomp_notif& notif,
                                 seccomp::notif::SharedSupervisorState& shared) {
    enum class Kind { Process, Group, User, Unknown };
    const int nr = notif.data.nr;
    const auto first = static_cast<std::int32_t>(notif.data.args[0]);
    const auto second = static_cast<std::int32_t>(notif.data.args[1]);
    Kind kind = Kind::Process;
    std::int32_t who = first;
    if (nr == SYS_setpriority || nr == SYS_ioprio_set) {
        const bool prio = nr == SYS_setpriority;
        who = second;
        if (first == (prio ? PRIO_PROCESS : IOPRIO_WHO_PROCESS))
            kind = Kind::Process;
        else if (first == (prio ? PRIO_PGRP : IOPRIO_WHO_PGRP))
            kind = Kind::Group;
        else if (first == (prio ? PRIO_USER : IOPRIO_WHO_USER))
            kind = Kind::User;
        else
            kind = Kind::Unknown;
    }
    // A whole user reaches every process of that user, the library's caller included.
    if (kind == Kind::User) return NotifAction::Errno{EPERM};
    // The caller's own process or group, or what names no process: the kernel answers.
    if (kind == Kind::Unknown || who <= 0) return NotifAction::Continue{};

    std::lock_guard lock(shared.mutex);
    const auto& groups = shared.state.groups;
    bool ours = false;
    if (kind == Kind::Group) {
        ours = groups.holds(who);
    } else if (auto m = sys::proc::group_membership(static_cast<std::uint32_t>(who))) {
        ours = groups.holds(m->group);
    }
    return ours ? NotifAction(NotifAction::Continue{}) : NotifAction(NotifAction::Errno{EPERM});
}

}  // namespace vestrion::groups
