// The process groups of one sandbox, and the supervisor's answers to the calls that make groups
// or reach other processes.
//
// The teardown kills by process group. A process that leaves the sandbox's first group (setsid,
// setpgid) would outlive it, so every group a sandbox process makes is recorded through a pidfd
// of its leader: signalling the group through that pidfd never reaches a process that merely got
// a reused number. A process may join only a group recorded here, which keeps every process of
// the sandbox inside a recorded group.
#pragma once

#include <linux/seccomp.h>
#include <sys/types.h>

#include <chrono>
#include <vector>

#include "core/seccomp/action.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::seccomp::notif {
struct SharedSupervisorState;
}  // namespace vestrion::seccomp::notif

namespace vestrion::groups {

class ProcessGroups {
  public:
    // Records group `id`, whose leader (the process whose pid is `id`) `leader` refers to. A
    // group recorded before under the same number is replaced once it has no member left. The
    // group may not exist yet (a setsid is recorded before the kernel makes its group), so a
    // record is dropped only once its leader has ended and its last member has gone.
    void record(pid_t id, UniqueFd leader);

    // True when group `id` is recorded and still has members: then the number cannot have been
    // given to anyone else.
    bool holds(pid_t id) const;

    // Sends `signal` to every recorded group that still has members.
    void signal_all(int signal) const;

    // SIGKILL to every recorded group, then waits until no member of any of them still runs (a
    // kill of a process that is not our child takes effect later). Gives up after `limit`, for a
    // process stuck in the kernel.
    void kill_all_and_wait(std::chrono::milliseconds limit) const;

    std::size_t size() const { return groups_.size(); }

  private:
    struct Group {
        pid_t id;
        UniqueFd leader;
    };
    bool has_members(const Group& group) const;
    // SIGKILL to every recorded group; the number of groups that still had members.
    std::size_t kill_all() const;
    // Whether a member of a group that still has members runs, rather than waits to be reaped.
    bool any_member_running() const;
    void forget_ended();

    std::vector<Group> groups_;
    std::size_t tidy_at_ = 0;
};

// setsid (112) and setpgid (109): records the group the call makes, refuses with EPERM a move into
// a group that no sandbox process made, or of a process that is not the sandbox's.
seccomp::notif::NotifAction handle_group_call(const seccomp_notif& notif,
                                              seccomp::notif::SharedSupervisorState& shared);

// prlimit64, setpriority, sched_setparam, sched_setscheduler, sched_setaffinity, ioprio_set and
// sched_setattr naming a process or group other than the caller's own: `Continue` for a thread
// or group of the sandbox, EPERM for anything else and for a whole user.
seccomp::notif::NotifAction handle_process_reach(const seccomp_notif& notif,
                                                 seccomp::notif::SharedSupervisorState& shared);

// Whether `nr` is one of the calls of `handle_process_reach`.
bool reaches_process(int nr);

}  // namespace vestrion::groups
