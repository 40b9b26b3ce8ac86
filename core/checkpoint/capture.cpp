#include "core/checkpoint/capture.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ptrace.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <limits>
#include <thread>

#include "core/sys/fd.hpp"
#include "core/text.hpp"

namespace vestrion::checkpoint {

namespace {

VestrionError child_error(std::string text) { return SandboxError(SandboxError::Child{std::move(text)}); }
VestrionError io_error(SystemError error) { return SandboxError(SandboxError::Io{std::move(error)}); }

std::string proc_path(pid_t pid, std::string_view rest) {
    return "/proc/" + std::to_string(pid) + "/" + std::string(rest);
}

SysResult<std::string> read_whole(const std::string& path) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return std::unexpected(SystemError::last());
    std::string text;
    char buf[65536];
    while (true) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n > 0) {
            text.append(buf, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return text;
        } else if (errno != EINTR) {
            return std::unexpected(SystemError::last());
        }
    }
}

// The target of a link, converted lossily; "" when it cannot be read.
std::string link_target(const std::string& path) {
    std::string target(4096, '\0');
    while (true) {
        ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0) return {};
        if (static_cast<std::size_t>(n) < target.size()) {
            target.resize(static_cast<std::size_t>(n));
            return text::lossy_utf8(target);
        }
        target.resize(target.size() * 2);
    }
}

// Lines end at a line feed, with a carriage return before it dropped; a last line without one
// counts.
template <class Visit>
void for_each_line(std::string_view text, Visit visit) {
    while (!text.empty()) {
        std::size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        if (line.ends_with('\r')) line.remove_suffix(1);
        visit(line);
    }
}

// A number as the maps and fdinfo files print it; `fallback` when it does not parse whole.
template <class T>
T parse_or(std::string_view s, int base, T fallback) {
    if (s.starts_with('+')) s.remove_prefix(1);
    bool negative = false;
    if constexpr (std::is_signed_v<T>) {
        if (s.starts_with('-') && !s.substr(1).starts_with('+') && !s.substr(1).starts_with('-')) {
            negative = true;
            s.remove_prefix(1);
        }
    }
    if (s.empty()) return fallback;
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
    if (ec != std::errc() || end != s.data() + s.size()) return fallback;
    if constexpr (std::is_signed_v<T>) {
        auto limit = static_cast<std::uint64_t>(std::numeric_limits<T>::max()) + (negative ? 1 : 0);
        if (magnitude > limit) return fallback;
        return negative ? static_cast<T>(-static_cast<std::int64_t>(magnitude)) : static_cast<T>(magnitude);
    } else {
        if (magnitude > std::numeric_limits<T>::max()) return fallback;
        return static_cast<T>(magnitude);
    }
}

std::string_view trim(std::string_view s) {
    constexpr std::string_view space = " \t\n\r\v\f";
    std::size_t begin = s.find_first_not_of(space);
    if (begin == std::string_view::npos) return {};
    return s.substr(begin, s.find_last_not_of(space) - begin + 1);
}

long ptrace_request(int request, pid_t pid, void* data = nullptr) {
    return ::ptrace(static_cast<__ptrace_request>(request), pid, nullptr, data);
}

// Waits for the stop of a traced process, without ever reaping it; false when it ended or the
// wait ran out.
bool wait_for_trace_stop(pid_t pid, int pidfd) {
    auto deadline = std::chrono::steady_clock::now() + kTraceStopWait;
    auto pause = std::chrono::microseconds(100);
    idtype_t type = pidfd >= 0 ? P_PIDFD : P_PID;
    id_t id = pidfd >= 0 ? static_cast<id_t>(pidfd) : static_cast<id_t>(pid);
    while (true) {
        siginfo_t info{};
        int ret = ::waitid(type, id, &info, WSTOPPED | WNOHANG);
        if (ret == 0 && info.si_pid != 0) return info.si_code == CLD_TRAPPED || info.si_code == CLD_STOPPED;
        if (ret < 0 && errno != EINTR) return false;
        // An exit is reported only with WEXITED: look without consuming it.
        info = {};
        if (::waitid(type, id, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0) return false;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10'000));
    }
}

// Detaches on every way out once the seize succeeded, so that the thaw resumes the process.
class Trace {
  public:
    explicit Trace(pid_t pid) : pid_(pid) {}
    ~Trace() {
        if (attached_) ptrace_request(PTRACE_DETACH, pid_);
    }
    Result<void> attach(int pidfd) {
        if (ptrace_request(PTRACE_SEIZE, pid_) < 0) return failure("ptrace seize: ");
        attached_ = true;
        if (ptrace_request(PTRACE_INTERRUPT, pid_) < 0) return failure("ptrace seize: ");
        if (!wait_for_trace_stop(pid_, pidfd))
            return std::unexpected(child_error("ptrace seize: the process did not stop for the trace"));
        return {};
    }
    Result<std::vector<std::uint64_t>> registers() {
        std::vector<std::uint64_t> regs(kRegisterWords, 0);
        if (ptrace_request(PTRACE_GETREGS, pid_, regs.data()) < 0) return failure_of<std::vector<std::uint64_t>>("ptrace getregs: ");
        return regs;
    }
    Result<void> detach() {
        attached_ = false;
        if (ptrace_request(PTRACE_DETACH, pid_) < 0) return failure("ptrace detach: ");
        return {};
    }

  private:
    template <class T>
    Result<T> failure_of(const char* what) {
        return std::unexpected(child_error(what + SystemError::last().message()));
    }
    Result<void> failure(const char* what) { return failure_of<void>(what); }

    pid_t pid_;
    bool attached_ = false;
};

Result<std::vector<MemorySegment>> dump_memory(pid_t pid, const std::vector<MemoryMap>& maps) {
    std::uint64_t total = 0;
    for (const MemoryMap& m : maps)
        if (is_dumped(m)) total += m.end - m.start;
    if (total > kMaxCheckpointBytes)
        return std::unexpected(child_error("checkpoint: the process has " + std::to_string(total) +
                                           " bytes of writable memory, more than the " +
                                           std::to_string(kMaxCheckpointBytes) +
                                           " bytes a checkpoint may hold"));
    std::vector<MemorySegment> memory;
    for (const MemoryMap& m : maps) {
        if (!is_dumped(m)) continue;
        std::size_t length = static_cast<std::size_t>(m.end - m.start);
        MemorySegment segment{m.start, std::string(length, '\0')};
        iovec local{segment.data.data(), length};
        iovec remote{reinterpret_cast<void*>(m.start), length};
        ssize_t n = ::process_vm_readv(pid, &local, 1, &remote, 1, 0);
        // A range that changed since the maps were read is left out.
        if (n == static_cast<ssize_t>(length)) memory.push_back(std::move(segment));
    }
    return memory;
}

Result<std::vector<FdInfo>> list_fds(pid_t pid) {
    std::string dir_path = proc_path(pid, "fd");
    DIR* dir = ::opendir(dir_path.c_str());
    if (!dir) return std::unexpected(io_error(SystemError::last()));
    std::vector<FdInfo> fds;
    while (true) {
        errno = 0;
        dirent* entry = ::readdir(dir);
        if (!entry) {
            int error = errno;
            ::closedir(dir);
            if (error != 0) return std::unexpected(io_error(SystemError::from_errno(error)));
            break;
        }
        std::string_view name = entry->d_name;
        auto number = parse_or<std::int64_t>(name, 10, std::numeric_limits<std::int64_t>::min());
        if (number < std::numeric_limits<std::int32_t>::min() || number > std::numeric_limits<std::int32_t>::max())
            continue;
        FdInfo info;
        info.fd = static_cast<std::int32_t>(number);
        info.path = link_target(dir_path + "/" + std::string(name));
        if (auto text = read_whole(proc_path(pid, "fdinfo/" + std::string(name)))) apply_fdinfo(*text, info);
        fds.push_back(std::move(info));
    }
    std::stable_sort(fds.begin(), fds.end(), [](const FdInfo& a, const FdInfo& b) { return a.fd < b.fd; });
    return fds;
}

}  // namespace

std::vector<MemoryMap> parse_maps(std::string_view text) {
    std::vector<MemoryMap> maps;
    for_each_line(text, [&](std::string_view line) {
        // At most 6 fields split at single spaces; the sixth keeps the rest of the line.
        std::string_view fields[6];
        std::size_t count = 0;
        while (count < 5) {
            std::size_t space = line.find(' ');
            fields[count++] = line.substr(0, space);
            if (space == std::string_view::npos) {
                line = {};
                break;
            }
            line.remove_prefix(space + 1);
            if (count == 5) fields[count++] = line;
        }
        if (count < 5) return;
        std::string_view range = fields[0];
        std::size_t dash = range.find('-');
        if (dash == std::string_view::npos || range.find('-', dash + 1) != std::string_view::npos) return;
        MemoryMap m;
        m.start = parse_or<std::uint64_t>(range.substr(0, dash), 16, 0);
        m.end = parse_or<std::uint64_t>(range.substr(dash + 1), 16, 0);
        m.perms = std::string(fields[1]);
        m.offset = parse_or<std::uint64_t>(fields[2], 16, 0);
        if (count == 6) {
            std::string_view path = trim(fields[5]);
            if (!path.empty()) m.path = std::string(path);
        }
        maps.push_back(std::move(m));
    });
    return maps;
}

bool is_dumped(const MemoryMap& m) {
    if (!m.perms.starts_with("rw") || m.perms.find('p') == std::string::npos) return false;
    if (m.path && (m.path->starts_with("[vdso]") || m.path->starts_with("[vvar]") ||
                   m.path->starts_with("[vsyscall]")))
        return false;
    return m.end - m.start <= kMaxDumpedRange;
}

void apply_fdinfo(std::string_view text, FdInfo& info) {
    for_each_line(text, [&](std::string_view line) {
        if (line.starts_with("flags:\t"))
            info.flags = parse_or<std::int32_t>(trim(line.substr(7)), 8, 0);
        else if (line.starts_with("pos:\t"))
            info.offset = parse_or<std::uint64_t>(trim(line.substr(5)), 10, 0);
    });
}

Result<Checkpoint> capture(pid_t pid, int pidfd, const Policy& policy) {
    Trace trace(pid);
    if (auto attached = trace.attach(pidfd); !attached) return std::unexpected(attached.error());
    auto regs = trace.registers();
    if (!regs) return std::unexpected(regs.error());
    auto maps_text = read_whole(proc_path(pid, "maps"));
    if (!maps_text) return std::unexpected(io_error(maps_text.error()));
    Checkpoint cp;
    cp.policy = policy.clone();
    cp.process.maps = parse_maps(*maps_text);
    auto memory = dump_memory(pid, cp.process.maps);
    if (!memory) return std::unexpected(memory.error());
    cp.process.memory = std::move(*memory);
    auto fds = list_fds(pid);
    if (!fds) return std::unexpected(fds.error());
    cp.fds = std::move(*fds);
    if (auto detached = trace.detach(); !detached) return std::unexpected(detached.error());
    // Still stopped by the freeze.
    cp.process.cwd = link_target(proc_path(pid, "cwd"));
    cp.process.exe = link_target(proc_path(pid, "exe"));
    cp.process.regs = std::move(*regs);
    cp.process.pid = pid;
    return cp;
}

}  // namespace vestrion::checkpoint
