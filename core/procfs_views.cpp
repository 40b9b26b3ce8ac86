#include "core/procfs_views.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "core/agent.hpp"
#include "core/procfs.hpp"
#include "core/seccomp/notif.hpp"
#include "core/seccomp/state.hpp"
#include "core/sys/proc.hpp"
#include "core/text.hpp"

namespace vestrion::procfs {

namespace {

constexpr std::array<std::string_view, 8> kSensitive{
    "/proc/kcore",     "/proc/kmsg",          "/proc/kallsyms", "/proc/keys",
    "/proc/key-users", "/proc/sysrq-trigger", "/sys/firmware",  "/sys/kernel/security"};

constexpr long PROC_SUPER_MAGIC = 0x9fa0;
constexpr ino_t PROC_ROOT_INO = 1;
// The kernel's mask is far smaller: a request above this is answered as this one.
constexpr std::uint32_t AFFINITY_PROBE = 8192;

// "tcp" or "tcp6" when `path` is one of the names that lead to the sandbox's own TCP tables.
std::optional<bool> tcp_table_name(std::string_view path) {
    for (std::string_view dir : {"/proc/net/", "/proc/self/net/", "/proc/thread-self/net/"}) {
        if (!path.starts_with(dir)) continue;
        std::string_view name = path.substr(dir.size());
        if (name == "tcp") return false;
        if (name == "tcp6") return true;
    }
    return std::nullopt;
}

// A process entry of /proc: its name is a signed 32-bit decimal number.
std::optional<std::int32_t> process_number(std::string_view name) {
    if (name.starts_with('+')) name.remove_prefix(1);
    if (name.empty()) return std::nullopt;
    std::int32_t value = 0;
    auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), value);
    if (ec != std::errc() || end != name.data() + name.size()) return std::nullopt;
    return value;
}

std::uint8_t entry_type(int dirfd, const dirent& entry) {
    switch (entry.d_type) {
        case DT_DIR:
            return DT_DIRECTORY;
        case DT_LNK:
            return DT_SYMLINK;
        case DT_UNKNOWN: {
            struct stat st;
            if (::fstatat(dirfd, entry.d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) return DT_REGULAR;
            return dirent_type(st.st_mode);
        }
        default:
            return DT_REGULAR;
    }
}

// The names of the directory the child's descriptor `dup` names, read from a descriptor of our
// own (so the child's position stays), "." and ".." left out.
template <class Keep>
std::expected<std::vector<DirEntry>, int> list_directory(int dup, Keep keep) {
    int fd = ::openat(dup, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(errno);
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        int error = errno;
        ::close(fd);
        return std::unexpected(error);
    }
    std::vector<DirEntry> out;
    int error = 0;
    while (true) {
        // Only readdir's own errno tells its end from a failure; what `keep` reads sets it too.
        errno = 0;
        dirent* e = ::readdir(dir);
        if (!e) {
            error = errno;
            break;
        }
        std::string_view name = e->d_name;
        if (name == "." || name == ".." || !keep(name)) continue;
        out.push_back({std::string(name), e->d_ino, entry_type(::dirfd(dir), *e)});
    }
    ::closedir(dir);
    if (error != 0) return std::unexpected(error);
    return out;
}

// By the bytes of the names (std::string compares its chars as unsigned).
void sort_by_name(std::vector<DirEntry>& entries) {
    std::ranges::stable_sort(entries, {}, &DirEntry::name);
}

// getdents of a descriptor opened O_PATH fails with EBADF; we would otherwise list it.
bool is_path_only(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    return flags >= 0 && (flags & O_PATH) != 0;
}

bool is_proc_root(int fd) {
    struct statfs fs;
    struct stat st;
    return ::fstatfs(fd, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC && ::fstat(fd, &st) == 0 &&
           S_ISDIR(st.st_mode) && st.st_ino == PROC_ROOT_INO;
}

NotifAction write_back(const Call& call, std::uint64_t address, const void* data, std::size_t len,
                       std::int64_t result) {
    auto written = seccomp::notif::write_child_mem(
        call.listener, call.notif, address, std::span(static_cast<const std::uint8_t*>(data), len));
    if (!written) return NotifAction::Errno{EFAULT};
    return NotifAction::ReturnValue{result};
}

NotifAction inject(const Call& call, std::string_view text) {
    return inject_memfd(text, seccomp::notif::wants_cloexec(call.notif));
}

}  // namespace

bool is_sensitive_proc(std::string_view path) {
    return std::ranges::any_of(kSensitive, [&](std::string_view entry) {
        return path == entry ||
               (path.size() > entry.size() && path.starts_with(entry) && path[entry.size()] == '/');
    });
}

std::string generate_cpuinfo(std::uint32_t num_cpus) {
    std::string out;
    for (std::uint32_t i = 0; i < num_cpus; ++i) {
        if (i > 0) out += '\n';
        out += "processor\t: " + std::to_string(i) +
               "\nmodel name\t: Virtual CPU\ncpu MHz\t\t: 2400.000\n";
    }
    return out;
}

std::string generate_meminfo(std::uint64_t max_memory, std::uint64_t memory_used) {
    const std::uint64_t total = max_memory / 1024;
    const std::uint64_t free = total - std::min(max_memory, memory_used) / 1024;
    return "MemTotal:       " + std::to_string(total) +
           " kB\nMemFree:        " + std::to_string(free) +
           " kB\nMemAvailable:   " + std::to_string(free) + " kB\n";
}

std::string filter_tcp_table(std::string_view table, const std::set<std::uint16_t>& ports) {
    std::string out;
    bool header = true;
    while (!table.empty()) {
        std::size_t end = table.find('\n');
        std::string_view line = table.substr(0, end);
        table.remove_prefix(end == std::string_view::npos ? table.size() : end + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        bool keep = header;
        header = false;
        if (!keep) {
            std::istringstream fields{std::string(line)};
            std::string first, local;
            if (fields >> first >> local) {
                std::string_view port = local;
                port = port.substr(port.rfind(':') + 1);
                if (port.starts_with('+')) port.remove_prefix(1);
                std::uint16_t value = 0;
                auto [at, ec] = std::from_chars(port.data(), port.data() + port.size(), value, 16);
                keep = !port.empty() && ec == std::errc() && at == port.data() + port.size() &&
                       ports.contains(value);
            }
        }
        if (keep) {
            out += line;
            out += '\n';
        }
    }
    return out;
}

std::string generate_proc_net_tcp(const std::set<std::uint16_t>& ports, bool ipv6) {
    std::ifstream in(ipv6 ? "/proc/net/tcp6" : "/proc/net/tcp", std::ios::binary);
    if (!in) return {};
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) return {};
    return filter_tcp_table(text.str(), ports);
}

std::optional<std::string> read_open_path(const Call& call) {
    const auto& notif = call.notif;
    const std::uint64_t address = notif.data.args[1];
    if (address == 0) return std::nullopt;
    std::array<std::uint8_t, 4096> buf;  // PATH_MAX with its NUL
    auto got = seccomp::notif::read_child_mem_into(call.listener, notif, address, buf);
    if (!got) return std::nullopt;
    std::string_view bytes(reinterpret_cast<const char*>(buf.data()), *got);
    std::size_t end = bytes.find('\0');
    if (end == std::string_view::npos || end == 0) return std::nullopt;
    bytes = bytes.substr(0, end);
    if (bytes.starts_with('/')) return text::normalize_path(bytes);
    auto directory = sys::proc::directory_path(
        notif.pid, static_cast<int>(static_cast<std::uint32_t>(notif.data.args[0])));
    if (!directory || !seccomp::notif::still_valid(call.listener, notif.id)) return std::nullopt;
    return text::normalize_path(bytes, *directory);
}

std::optional<NotifAction> handle_proc_open(const Call& call) {
    auto path = read_open_path(call);
    if (!path) return std::nullopt;
    if (is_sensitive_proc(*path)) return NotifAction::Errno{EACCES};
    const auto& policy = call.policy;
    if (*path == "/proc/cpuinfo" && policy.num_cpus)
        return inject(call, generate_cpuinfo(*policy.num_cpus));
    if (*path == "/proc/meminfo" && policy.max_memory != 0) {
        std::uint64_t limit, used;
        {
            std::lock_guard lock(call.shared.mutex);
            limit = call.shared.state.memory_limit(policy.max_memory);
            used = call.shared.state.memory_used();
        }
        return inject(call, generate_meminfo(limit, used));
    }
    if (auto ipv6 = tcp_table_name(*path); ipv6 && policy.port_remap) {
        std::set<std::uint16_t> ports;
        {
            std::lock_guard lock(call.shared.mutex);
            ports = call.shared.state.port_map.bound_real;
        }
        return inject(call, generate_proc_net_tcp(ports, *ipv6));
    }
    return std::nullopt;
}

std::optional<NotifAction> handle_getdents(const Call& call) {
    const int fd = static_cast<int>(static_cast<std::uint32_t>(call.notif.data.args[0]));
    auto dup = child_descriptor(call.notif, fd);
    if (!dup || !seccomp::notif::still_valid(call.listener, call.notif.id) ||
        is_path_only(dup->get()) || !is_proc_root(dup->get()))
        return std::nullopt;
    auto& state = call.shared.state;
    const int dir = dup->get();
    const bool sorted = call.policy.deterministic_dirs;
    // Runs with the state mutex held, which guards the recorded groups.
    return deliver_listing(
        call.notif, call.listener, call.shared.mutex, state.proc_dir_cache, [&]() {
            auto entries = list_directory(dir, [&](std::string_view name) {
                auto pid = process_number(name);
                if (!pid) return true;
                if (*pid <= 0) return false;
                if (state.agent && *pid == state.agent->pid()) return false;
                auto member = sys::proc::group_membership(static_cast<std::uint32_t>(*pid));
                return member && state.groups.holds(member->group);
            });
            if (entries && sorted) sort_by_name(*entries);
            return entries;
        });
}

NotifAction handle_sorted_getdents(const Call& call) {
    const int fd = static_cast<int>(static_cast<std::uint32_t>(call.notif.data.args[0]));
    auto dup = child_descriptor(call.notif, fd);
    if (!dup) return NotifAction::Errno{dup.error().code() == ESRCH ? ESRCH : EBADF};
    if (is_path_only(dup->get())) return NotifAction::Errno{EBADF};
    const int dir = dup->get();
    return deliver_listing(
        call.notif, call.listener, call.shared.mutex, call.shared.state.proc_dir_cache,
        [&]() -> std::expected<std::vector<DirEntry>, int> {
            auto entries = list_directory(dir, [](std::string_view) { return true; });
            if (entries) sort_by_name(*entries);
            return entries;
        });
}

NotifAction handle_uname(const Call& call, std::string_view hostname) {
    utsname names{};
    if (::uname(&names) != 0) return NotifAction::Continue{};
    std::memset(names.nodename, 0, sizeof names.nodename);
    std::memcpy(names.nodename, hostname.data(),
                std::min(hostname.size(), sizeof names.nodename - 1));
    return write_back(call, call.notif.data.args[0], &names, sizeof names, 0);
}

std::optional<NotifAction> handle_hostname_open(const Call& call, std::string_view hostname) {
    auto path = read_open_path(call);
    if (!path || *path != "/etc/hostname") return std::nullopt;
    return inject(call, std::string(hostname) + "\n");
}

NotifAction handle_sched_getaffinity(const Call& call, std::uint32_t num_cpus) {
    const auto size = static_cast<std::uint32_t>(call.notif.data.args[1]);
    // The kernel's own checks of the size (a multiple of the word, room for every CPU id) and
    // the size of its mask, asked of it with a buffer of ours.
    if (size % sizeof(unsigned long) != 0) return NotifAction::Errno{EINVAL};
    std::vector<std::uint8_t> mask(std::min(size, AFFINITY_PROBE));
    long real = ::syscall(SYS_sched_getaffinity, 0, mask.size(), mask.data());
    if (real < 0) return NotifAction::Errno{errno};
    mask.assign(static_cast<std::size_t>(real), 0);
    const std::uint64_t bits = std::min<std::uint64_t>(num_cpus, mask.size() * 8);
    for (std::uint64_t i = 0; i < bits; ++i)
        mask[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    return write_back(call, call.notif.data.args[2], mask.data(), mask.size(), real);
}

}  // namespace vestrion::procfs
