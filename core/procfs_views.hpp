// What the command sees of /proc, of its host name and of its CPU set: the supervisor refuses a
// few sensitive kernel files, serves invented cpuinfo and meminfo texts and the TCP tables
// narrowed to the sandbox's own ports, lists in /proc only the sandbox's processes, reports the
// policy's host name and CPU count, and can deliver every listing sorted by name.
//
// The refusals compare the path as text after normalisation: they stop careless reads, not a
// command that reaches the same file through a link or /proc/self/root. Hard boundaries belong in
// the Landlock rules.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "core/seccomp/dispatch.hpp"

namespace vestrion::procfs {

using seccomp::notif::Call;
using seccomp::notif::NotifAction;

// True when `path` (absolute, normalised) is a sensitive kernel file or lies below one.
bool is_sensitive_proc(std::string_view path);

// "processor\t: i\nmodel name\t: Virtual CPU\ncpu MHz\t\t: 2400.000\n" for each CPU, the blocks
// separated by an empty line.
std::string generate_cpuinfo(std::uint32_t num_cpus);

// MemTotal from the limit, MemFree and MemAvailable from what remains of it, in kB.
std::string generate_meminfo(std::uint64_t max_memory, std::uint64_t memory_used);

// A TCP table of the kernel's format keeping its header and the lines whose local port is in
// `ports`.
std::string filter_tcp_table(std::string_view table, const std::set<std::uint16_t>& ports);
// The same over the host's /proc/net/tcp or tcp6; an unreadable file gives the empty text.
std::string generate_proc_net_tcp(const std::set<std::uint16_t>& ports, bool ipv6);

// The absolute, normalised path of an openat notification (directory argument 0, path argument
// 1): none when it cannot be read, has no NUL within 4096 bytes, or its directory is unknown.
std::optional<std::string> read_open_path(const Call& call);

// openat: EACCES for a sensitive path, an in-memory file for a view the policy turns on; none
// for any other path, which the later rules decide.
std::optional<NotifAction> handle_proc_open(const Call& call);
// getdents and getdents64 of a /proc root: its listing with only the sandbox's processes; none
// for any other directory.
std::optional<NotifAction> handle_getdents(const Call& call);
// getdents and getdents64 of any directory: the names in byte order.
NotifAction handle_sorted_getdents(const Call& call);
// uname with the policy's host name as the node name.
NotifAction handle_uname(const Call& call, std::string_view hostname);
// openat of /etc/hostname: the host name and a newline; none for any other path.
std::optional<NotifAction> handle_hostname_open(const Call& call, std::string_view hostname);
// sched_getaffinity: CPUs 0 to num_cpus - 1, in a mask of the kernel's own size.
NotifAction handle_sched_getaffinity(const Call& call, std::uint32_t num_cpus);

}  // namespace vestrion::procfs
