// The system-call lists of the seccomp filter: the name table, the routed list, the deny list and
// the argument-filter block, all derived from a policy.
#pragma once

#include <linux/filter.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "core/policy.hpp"
#include "core/seccomp/bpf.hpp"

namespace vestrion::context {

// One x86-64 system call the filter knows; a deny list may name any of them.
struct SyscallEntry {
    std::string_view name;
    std::uint32_t nr;
};

// Every call some rule of the filter names, in ascending order of number.
std::span<const SyscallEntry> syscall_table();

std::optional<std::uint32_t> syscall_name_to_nr(std::string_view name);

// Whether a supervised sandbox under `policy` starts the agent, which makes calls for the
// command: connects and sends under the network rule, binds under port remapping, and every
// connect and send that may reach a Unix socket file, which can lie only beneath a tree the
// command may write (an fs_write path, the working directory). Without it the filter gives the
// command no Unix socket that could reach a name.
bool needs_agent(const Policy& policy);

// Sorted ascending, without duplicates.
std::vector<std::uint32_t> notif_syscalls(const Policy& policy);

// In the order of the names they come from; duplicates stay.
std::vector<std::uint32_t> deny_syscall_numbers(const Policy& policy);

// The checks of arguments, which come before both lists. `supervised`: the program has a
// listener, and the calls the supervisor decides by their arguments are routed to it; without
// one they are refused.
std::vector<seccomp::bpf::ArgCheck> arg_filters(const Policy& policy, bool supervised);

}  // namespace vestrion::context
