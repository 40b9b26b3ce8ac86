// Calls made with the child's rights. The supervisor runs with the caller's ids and capabilities,
// which may be far more than the sandboxed command holds; what it does on the command's behalf
// must be checked by the kernel as the command's own call would be.
//
// The calling thread itself takes the file-system ids and supplementary groups of a sandboxed
// thread (what the kernel checks file access with) and lowers its effective capabilities to none,
// makes the call, and takes its own rights back. Every step is a raw system call, which changes
// the calling thread alone (the C library's wrappers would change every thread of the process);
// handing the call to a worker thread instead would cost two cross-thread wake-ups per call.
#pragma once

#include <linux/capability.h>
#include <pthread.h>
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "core/error.hpp"
#include "core/sys/fd.hpp"

namespace vestrion::child_rights {

// The ids a thread acts with, as /proc/<tid>/status shows them to this process (so already mapped
// into this process's user namespace).
struct Credentials {
    std::array<std::uint32_t, 4> uids{};  // real, effective, saved, file system
    std::array<std::uint32_t, 4> gids{};  // the same order
    std::vector<std::uint32_t> groups;    // supplementary
    bool operator==(const Credentials&) const = default;
};

// The credentials of thread `tid`; nothing when it is gone or its status cannot be read.
std::optional<Credentials> credentials_of(std::uint32_t tid);
// The Uid, Gid and Groups lines of a status text.
std::optional<Credentials> parse_credentials(std::string_view status);

// True when the calling thread holds any effective capability: then what it does for a sandboxed
// process (which holds none) may succeed where that process's own call would fail.
bool holds_capabilities();

// What the supervisor knows of one sandboxed thread, kept between its calls.
struct ThreadFacts {
    Credentials creds;
    std::uint32_t tgid = 0;
    bool shares_user_namespace = false;
};

// Runs calls with a sandboxed thread's rights, and remembers each thread's credentials.
class ChildRights {
  public:
    ChildRights();
    ~ChildRights();
    ChildRights(const ChildRights&) = delete;
    ChildRights& operator=(const ChildRights&) = delete;

    // Runs `call` on the calling thread while it holds the file-system ids and groups of `creds`
    // and no effective capability, then gives the thread its own rights back. Fails with the
    // error of the step that could not take those rights; `call` has then not run. One thread
    // at a time (the supervisor's).
    SysResult<void> run(const Credentials& creds, const std::function<void()>& call);

    // The credentials of thread `tid`. Read from /proc once per thread, then kept while the
    // thread lives: its pidfd tells, with one call, that it still runs and still holds the same
    // ids (a change of ids or an exec that brings other ones reads them again). Groups change
    // only with CAP_SETGID, which a thread of our user namespace never holds here; a thread of
    // another namespace is read afresh every time. Nothing when the thread is gone.
    std::optional<ThreadFacts> facts(std::uint32_t tid);

    // What the thread that acts for the child holds of its own, kept between calls.
    struct OwnRights {
        bool known = false;
        pthread_t thread{};
        std::array<__user_cap_data_struct, 2> caps{};
        std::uint32_t fsuid = 0, fsgid = 0;  // as the last call found them
    };

  private:
    struct Known {
        UniqueFd pidfd;
        ThreadFacts facts;
    };
    std::mutex mutex_;
    std::map<std::uint32_t, Known> known_;
    OwnRights own_;
};

}  // namespace vestrion::child_rights
