// `NotifAction`: the answer to one notification, as every handler produces it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <type_traits>
#include <variant>

#include "core/sys/fd.hpp"

namespace vestrion::seccomp::notif {

struct NotifAction {
    // The kernel performs the call as the child made it. Never a security decision: the child
    // may change the memory the supervisor read before the kernel reads it.
    struct Continue {};
    // The call fails with this (positive) error number.
    struct Errno {
        int error;
    };
    // The descriptor is installed in the child and the call returns its number. Close-on-exec
    // only when the child's call asked for it.
    struct InjectFdSend {
        UniqueFd fd;
        bool cloexec = false;
    };
    // The call returns the value without being performed.
    struct ReturnValue {
        std::int64_t value;
    };
    // No answer now: whoever holds the notification's id answers it later.
    struct Hold {};
    // The sandbox's process group is signalled, then the call fails with ENOMEM. `pidfd` is
    // borrowed from the supervisor state (-1: signal `group` by its id).
    struct Kill {
        int signal;
        pid_t group;
        int pidfd = -1;
    };
    using Kind = std::variant<Continue, Errno, InjectFdSend, ReturnValue, Hold, Kill>;

    template <class K>
    requires std::is_constructible_v<Kind, K&&> NotifAction(K&& k) : kind(std::forward<K>(k)) {}

    template <class K>
    bool is() const {
        return std::holds_alternative<K>(kind);
    }
    template <class K>
    const K* get() const {
        return std::get_if<K>(&kind);
    }

    Kind kind;
};

}  // namespace vestrion::seccomp::notif
