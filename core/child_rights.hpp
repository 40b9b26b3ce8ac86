// Calls made with the child's rights. The supervisor runs with the caller's ids and capabilities,
// which may be far more than the sandboxed command holds; what it does on the command's behalf
// must be checked by the kernel as the command's own call would be. A worker thread takes the ids
// of a sandboxed process, drops every capability, and runs calls that the supervisor hands it.
//
// Only the worker's credentials change: they are set with raw per-thread system calls (the C
// library's wrappers would change every thread of the process), and the worker never returns to
// the caller's rights, so one worker serves one set of ids for its whole life.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "core/error.hpp"

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

// Runs calls on a worker thread that holds given credentials and no capability. The worker is
// started on first use and replaced when a call asks for other credentials; it is stopped and
// joined when the owner is dropped. Calls run one at a time, in the order they are made.
class ChildRights {
  public:
    ChildRights();
    ~ChildRights();
    ChildRights(const ChildRights&) = delete;
    ChildRights& operator=(const ChildRights&) = delete;

    // Runs `call` on the worker holding `creds` and waits for it to return. Fails with the error
    // of the step that could not take those rights; `call` has then not run.
    SysResult<void> run(const Credentials& creds, const std::function<void()>& call);

  private:
    class Worker;
    std::mutex mutex_;
    std::unique_ptr<Worker> worker_;
};

}  // namespace vestrion::child_rights
