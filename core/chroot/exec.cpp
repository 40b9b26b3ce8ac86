// exec and chdir under a virtual root. The kernel performs both itself, reading the child's path
// again after the answer, so the handler makes that path lead to the file the root resolution
// found, taking the first of these that applies:
//   1. the path as the kernel would resolve it reaches that file already (or, for exec, a
//      byte-identical copy that the child's Landlock rules let it execute): nothing is written;
//   2. the path string has room for "/dev/fd/N": the file is installed in the child as N and the
//      string rewritten;
//   3. a path relative to the working directory reaches the file and fits: it is written;
//   4. otherwise EACCES (on which PATH searches go on).
// chdir tries 3 before 2, since each descriptor it installs stays until the next exec. Nothing
// is written past the string, into read-only memory, or into memory another process shares.
//
// chdir is steered where it can be (see core/seccomp/steer.hpp): the kernel reads a name that
// reaches the directory while the thread is held, and the program gets its own bytes back before
// it runs on, so a shell's $PWD keeps the virtual name. A name longer than the string stands on
// the bytes after it only while no other thread or process sees that memory. The steps above are
// what is left when the thread cannot be held.
#include <fcntl.h>
#include <linux/kcmp.h>
#include <linux/openat2.h>
#include <linux/seccomp.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "core/chroot/handlers.hpp"
#include "core/seccomp/notif.hpp"
#include "core/seccomp/steer.hpp"
#include "core/sys/proc.hpp"
#include "core/sys/syscall.hpp"
#include "core/text.hpp"

namespace vestrion::chroot {

namespace sc = sys::syscall;
using seccomp::notif::FileId;

namespace {

// Linux 6.14: execveat only checks whether the file could be executed.
constexpr std::uint64_t kExecveCheck = 0x10000;

std::optional<std::string> read_text(const std::string& path) {
    std::ifstream in(path);
    if (!in) return std::nullopt;
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::optional<std::uint64_t> hex(std::string_view s) {
    if (s.starts_with("0x")) s.remove_prefix(2);
    std::uint64_t v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, 16);
    if (ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    return v;
}

// The stack pointer of a thread blocked in a system call: the second-to-last field of
// /proc/<tid>/syscall.
std::optional<std::uint64_t> stack_pointer(std::uint32_t tid) {
    auto text = read_text("/proc/" + std::to_string(tid) + "/syscall");
    if (!text) return std::nullopt;
    std::vector<std::string_view> fields;
    std::string_view rest = *text;
    while (!rest.empty()) {
        while (!rest.empty() && (rest.front() == ' ' || rest.front() == '\n')) rest.remove_prefix(1);
        std::size_t end = rest.find_first_of(" \n");
        if (rest.empty()) break;
        fields.push_back(rest.substr(0, end));
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end);
    }
    if (fields.size() < 3) return std::nullopt;
    return hex(fields[fields.size() - 2]);
}

struct Region {
    std::uint64_t start = 0, end = 0;
    bool writable = false, private_ = false;
};

// The mapping of process `pid` that holds `address`.
std::optional<Region> mapping_of(std::uint32_t pid, std::uint64_t address) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        std::size_t dash = line.find('-'), space = line.find(' ');
        if (dash == std::string::npos || space == std::string::npos || space < dash) continue;
        auto start = hex(std::string_view(line).substr(0, dash));
        auto end = hex(std::string_view(line).substr(dash + 1, space - dash - 1));
        if (!start || !end || address < *start || address >= *end) continue;
        std::string_view perms = std::string_view(line).substr(space + 1, 4);
        if (perms.size() < 4) return std::nullopt;
        return Region{*start, *end, perms[1] == 'w', perms[3] == 'p'};
    }
    return std::nullopt;
}

// Whether the `length` bytes at `address` may be overwritten: writable, private, and not shared
// with the parent (a vfork or posix_spawn child runs on its parent's memory), except on the
// thread's own stack below the parent's stack pointer.
bool may_overwrite(const Session& s, std::uint64_t address, std::size_t length) {
    const std::uint32_t tid = s.call().notif.pid;
    auto region = mapping_of(tid, address);
    if (!region || !region->writable || !region->private_ || address + length > region->end)
        return false;
    auto parent = sys::proc::parent_pid(tid);
    const bool shared =
        parent && sc::raw(SYS_kcmp, static_cast<long>(tid), static_cast<long>(*parent), KCMP_VM) == 0;
    if (!shared) return true;
    auto sp = stack_pointer(tid);
    if (!sp || address < *sp) return false;
    auto stack = mapping_of(tid, *sp);
    if (!stack || stack->start != region->start) return false;
    // A vfork parent runs on the same stack, above the child's part of it.
    std::uint64_t limit = stack->end;
    if (auto psp = stack_pointer(*parent); psp && *psp > *sp && *psp <= stack->end) limit = *psp;
    return address + length <= limit;
}

bool same_file(int a, int b) {
    auto x = seccomp::notif::file_id(a), y = seccomp::notif::file_id(b);
    return x && y && *x == *y;
}

// Byte for byte the same contents.
bool identical(int a, int b) {
    struct stat sa {}, sb {};
    if (::fstat(a, &sa) != 0 || ::fstat(b, &sb) != 0) return false;
    if (!S_ISREG(sa.st_mode) || !S_ISREG(sb.st_mode) || sa.st_size != sb.st_size) return false;
    std::vector<char> ba(65536), bb(65536);
    off_t off = 0;
    while (off < sa.st_size) {
        ssize_t na = ::pread(a, ba.data(), ba.size(), off);
        ssize_t nb = ::pread(b, bb.data(), bb.size(), off);
        if (na <= 0 || na != nb || std::memcmp(ba.data(), bb.data(), static_cast<std::size_t>(na)))
            return false;
        off += na;
    }
    return true;
}

std::string copy_key(int a, int b) {
    struct stat sa {}, sb {};
    ::fstat(a, &sa);
    ::fstat(b, &sb);
    char key[160];
    std::snprintf(key, sizeof key, "%lx:%lx:%lx:%ld.%ld/%lx:%lx:%lx:%ld.%ld",
                  static_cast<unsigned long>(sa.st_dev), static_cast<unsigned long>(sa.st_ino),
                  static_cast<unsigned long>(sa.st_size), sa.st_mtim.tv_sec, sa.st_mtim.tv_nsec,
                  static_cast<unsigned long>(sb.st_dev), static_cast<unsigned long>(sb.st_ino),
                  static_cast<unsigned long>(sb.st_size), sb.st_mtim.tv_sec, sb.st_mtim.tv_nsec);
    return key;
}

// The trees the child's Landlock rules let it execute from under a root: the root's copy of each
// readable and writable entry, the host's own copy of each readable one, the root itself when
// nothing is listed as readable.
seccomp::notif::WriteTrees exec_trees(const Session& s) {
    const auto& p = s.call().policy;
    std::vector<std::string> paths;
    for (const auto* list : {&p.fs_readable, &p.fs_writable})
        for (const auto& e : *list) paths.push_back(to_host_path(s.root().host(), confine(e.native())));
    for (const auto& e : p.fs_readable) paths.push_back(e.native());
    if (p.fs_readable.empty()) paths.push_back(s.root().host());
    std::vector<FileId> ids;
    for (const auto& path : paths) {
        auto fd = sc::openat2(s.view().root.get(), path.c_str(), O_PATH, 0, RESOLVE_IN_ROOT);
        if (!fd) continue;
        if (auto id = seccomp::notif::file_id(fd->get())) ids.push_back(*id);
    }
    std::sort(ids.begin(), ids.end());
    return seccomp::notif::WriteTrees(std::move(ids));
}

// Step 1: the child's path, resolved as the kernel will resolve it, reaches `file` (or, when
// `copies`, an identical copy of it that the child may execute where it lies).
bool kernel_reaches(const Session& s, int dirfd, const std::string& text, bool follow, int file,
                    bool copies) {
    auto lookup = seccomp::notif::prepare_lookup(s.view(), dirfd, text, follow);
    if (!lookup) return false;
    auto found = s.as_child([&] { return seccomp::notif::finish_lookup(*lookup, follow); });
    if (!found) return false;
    if (same_file(found->get(), file)) return true;
    if (!copies) return false;
    if (seccomp::notif::place(found->get(), s.view().root.get(), exec_trees(s)) !=
        seccomp::notif::Placement::Writable)
        return false;
    // Read with the child's rights, which must let it run the copy; the lookup gave O_PATH.
    auto copy = s.as_child([&]() -> Errno<UniqueFd> {
        if (::faccessat(found->get(), "", X_OK, AT_EMPTY_PATH | AT_EACCESS) != 0)
            return std::unexpected(errno);
        char link[48];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", found->get());
        auto fd = sc::openat2(AT_FDCWD, link, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0, 0);
        if (!fd) return std::unexpected(fd.error().code());
        return std::move(*fd);
    });
    if (!copy) return false;
    const std::string key = copy_key(copy->get(), file);
    auto& shared = s.call().shared;
    {
        std::lock_guard lock(shared.mutex);
        auto& cache = shared.state.chroot_copies;
        if (auto it = cache.find(key); it != cache.end()) return it->second;
    }
    const bool same = identical(copy->get(), file);
    std::lock_guard lock(shared.mutex);
    shared.state.chroot_copies.emplace(key, same);
    return same;
}

// Installs `fd` in the child without answering its call; the child's number.
Errno<int> install(const Session& s, int fd, bool cloexec) {
    seccomp_notif_addfd addfd{};
    addfd.id = s.call().notif.id;
    addfd.srcfd = static_cast<std::uint32_t>(fd);
    addfd.newfd_flags = cloexec ? O_CLOEXEC : 0;
    int n = ::ioctl(s.call().listener, SECCOMP_IOCTL_NOTIF_ADDFD, &addfd);
    if (n < 0) return std::unexpected(errno == ENOENT ? ESRCH : EIO);
    return n;
}

NotifAction rewrite(const Session& s, std::uint64_t address, const std::string& path) {
    if (!seccomp::notif::write_child_mem(
            s.call().listener, s.call().notif, address,
            {reinterpret_cast<const std::uint8_t*>(path.c_str()), path.size() + 1}))
        return refuse(EFAULT);
    return NotifAction::Continue{};
}

// Step 2: "/dev/fd/N" in place of a string of `room` bytes (its NUL included).
std::optional<NotifAction> by_descriptor(const Session& s, std::uint64_t address, std::size_t room,
                                         int fd, bool cloexec) {
    // The number is not known before it is installed: install only when any number would fit.
    if (room < sizeof("/dev/fd/") + 10) return std::nullopt;
    auto n = install(s, fd, cloexec);
    if (!n) return refuse(n.error());
    return rewrite(s, address, "/dev/fd/" + std::to_string(*n));
}

// `to` relative to directory `from`, both virtual and absolute.
std::string relative(std::string_view from, std::string_view to) {
    auto parts = [](std::string_view p) {
        std::vector<std::string_view> out;
        std::string_view v = p;
        while (!v.empty()) {
            std::size_t slash = v.find('/');
            std::string_view piece = v.substr(0, slash);
            if (!piece.empty()) out.push_back(piece);
            if (slash == std::string_view::npos) break;
            v.remove_prefix(slash + 1);
        }
        return out;
    };
    auto a = parts(from), b = parts(to);
    std::size_t common = 0;
    while (common < a.size() && common < b.size() && a[common] == b[common]) ++common;
    std::string out;
    for (std::size_t i = common; i < a.size(); ++i) out += "../";
    for (std::size_t i = common; i < b.size(); ++i) {
        out += b[i];
        out += '/';
    }
    if (out.empty()) return ".";
    out.pop_back();
    return out;
}

// Step 3: a path from the working directory, without links, that reaches `file` and fits.
std::optional<NotifAction> by_relative_path(const Session& s, std::uint64_t address,
                                            std::size_t room, const std::string& virt, int file) {
    auto cwd = s.root().virtual_of(s.view().cwd.get());
    if (!cwd) return std::nullopt;
    const std::string rel = relative(*cwd, virt);
    if (rel.size() + 1 > room) return std::nullopt;
    auto found = s.as_child([&] {
        auto fd = sc::openat2(s.view().cwd.get(), rel.c_str(), O_PATH,
                              0, RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
        return fd ? Errno<UniqueFd>(std::move(*fd)) : std::unexpected(fd.error().code());
    });
    if (!found || !same_file(found->get(), file)) return std::nullopt;
    return rewrite(s, address, rel);
}

// Whether the process of thread `tid` is the only one that sees its memory: a single thread, and
// neither its parent nor a child of its shares the memory (a vfork child runs on its parent's).
// Then bytes written past a string while the thread is held are seen by no one before they are
// put back.
bool alone_in_memory(std::uint32_t tid) {
    auto status = read_text("/proc/" + std::to_string(tid) + "/status");
    if (!status) return false;
    const std::size_t at = status->find("\nThreads:");
    if (at == std::string::npos || std::strtol(status->c_str() + at + 9, nullptr, 10) != 1)
        return false;
    // kcmp orders two different memories 1 or 2; the same, or one it cannot compare, counts as
    // shared.
    auto shares = [&](std::uint32_t other) {
        const long order =
            sc::raw(SYS_kcmp, static_cast<long>(tid), static_cast<long>(other), KCMP_VM);
        return order != 1 && order != 2;
    };
    if (auto parent = sys::proc::parent_pid(tid); parent && *parent != 0 && shares(*parent))
        return false;
    const std::string task = "/proc/" + std::to_string(tid) + "/task/" + std::to_string(tid);
    auto children = read_text(task + "/children");
    if (!children) return false;
    std::istringstream in(*children);
    for (std::uint32_t child; in >> child;)
        if (shares(child)) return false;
    return true;
}

// Whether [start, end) lies in private mappings of process `pid`, with no gap: bytes written
// there through the process's memory file change the process's own copy, never a file.
bool private_range(std::uint32_t pid, std::uint64_t start, std::uint64_t end) {
    std::uint64_t at = start;
    while (at < end) {
        auto region = mapping_of(pid, at);
        if (!region || !region->private_) return false;
        at = region->end;
    }
    return true;
}

// The name the kernel is to read for a chdir into `dir` (virtual `where`): the shorter of the
// path from the working directory and the root's host path of the directory, each checked to
// reach it without a link. None when neither does.
std::optional<std::string> kernel_name_for(const Session& s, const std::string& where, int dir) {
    std::vector<std::pair<std::string, int>> candidates;  // the name, and where it starts from
    if (auto cwd = s.root().virtual_of(s.view().cwd.get()))
        candidates.emplace_back(relative(*cwd, where), s.view().cwd.get());
    const std::string host = where == "/" ? s.root().host() : s.root().host() + where;
    candidates.emplace_back(host, s.view().root.get());
    std::ranges::stable_sort(candidates, {}, [](const auto& c) { return c.first.size(); });
    for (const auto& [name, from] : candidates) {
        const char* rel = name.c_str();
        while (*rel == '/') ++rel;
        auto found = s.as_child([&] {
            auto fd = sc::openat2(from, *rel ? rel : ".", O_PATH | O_DIRECTORY, 0,
                                  RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
            return fd ? Errno<UniqueFd>(std::move(*fd)) : std::unexpected(fd.error().code());
        });
        if (found && same_file(found->get(), dir)) return name;
    }
    return std::nullopt;
}

// The directory behind O_PATH descriptor `dir` opened for reading, which can be installed in
// the child (an O_PATH descriptor cannot).
Errno<UniqueFd> readable_dir(const Session& s, int dir) {
    return s.as_child([&]() -> Errno<UniqueFd> {
        char link[48];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", dir);
        auto fd = sc::openat2(AT_FDCWD, link, O_RDONLY | O_DIRECTORY, 0, 0);
        if (!fd) return std::unexpected(fd.error().code());
        return std::move(*fd);
    });
}

// chdir steered to `dir`: the answer (Hold, sent already), or none when it cannot be steered
// (the thread cannot be held, or no name fits). A name longer than the program's string is
// written over the bytes after it only while nothing else can see them; where it cannot be,
// "/dev/fd/N" for the directory installed as N takes its place when the string has room.
std::optional<NotifAction> steer_chdir(const Session& s, std::uint64_t address,
                                       const std::string& text, const std::string& where,
                                       int dir) {
    std::vector<std::uint8_t> original(text.begin(), text.end());
    original.push_back(0);
    auto name = kernel_name_for(s, where, dir);
    std::string kernel;
    bool installed = false;
    if (name && name->size() + 1 <= original.size()) {
        kernel = *name;
    } else if (const std::uint32_t tid = s.call().notif.pid;
               name && alone_in_memory(tid) &&
               private_range(tid, address, address + name->size() + 1)) {
        auto bytes = seccomp::notif::read_child_mem(s.call().listener, s.call().notif, address,
                                                    name->size() + 1);
        if (!bytes || bytes->size() != name->size() + 1 ||
            !std::equal(original.begin(), original.end(), bytes->begin()))
            return std::nullopt;
        original = std::move(*bytes);
        kernel = *name;
    } else if (original.size() >= sizeof("/dev/fd/") + 10) {
        auto fd = readable_dir(s, dir);
        if (!fd) return std::nullopt;
        auto n = install(s, fd->get(), true);
        if (!n) return refuse(n.error());
        kernel = "/dev/fd/" + std::to_string(*n);
        installed = true;
    } else {
        return std::nullopt;
    }
    const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(kernel.c_str()),
                                              kernel.size() + 1);
    if (seccomp::notif::continue_steered(s.call(), address, bytes, original, refuse(EACCES)))
        return NotifAction::Hold{};
    // Installed already: the program keeps the new text where it may be written.
    if (installed) {
        if (!may_overwrite(s, address, original.size())) return refuse(EACCES);
        return rewrite(s, address, kernel);
    }
    return std::nullopt;
}

bool starts_elf(int fd) {
    char magic[4] = {};
    return ::pread(fd, magic, sizeof magic, 0) == 4 && std::memcmp(magic, "\x7f" "ELF", 4) == 0;
}

}  // namespace

NotifAction exec(const Session& s) {
    const auto& d = s.call().notif.data;
    const bool at = d.nr == SYS_execveat;
    const int dirfd = at ? static_cast<int>(d.args[0]) : AT_FDCWD;
    const std::uint64_t address = d.args[at ? 1 : 0];
    const std::uint64_t flags = at ? d.args[4] : 0;
    if (flags & ~static_cast<std::uint64_t>(AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW | kExecveCheck))
        return refuse(EINVAL);
    auto text = s.read_path(address);
    if (!text) return refuse(text.error());
    if (text->empty()) {
        // The child's own descriptor: the kernel reads no path. Landlock bounds whatever the
        // child puts there meanwhile.
        if (flags & AT_EMPTY_PATH) return NotifAction::Continue{};
        return refuse(ENOENT);
    }
    auto virt = s.virtual_path(dirfd, *text);
    if (!virt) return refuse(virt.error());
    const bool follow = !(flags & AT_SYMLINK_NOFOLLOW);
    std::string where;
    auto file = s.as_child([&]() -> Errno<UniqueFd> {
        auto r = resolve(s.root(), *virt, follow);
        if (!r) return std::unexpected(r.error());
        if (!s.lists().can_read(r->virt)) return std::unexpected(EACCES);
        where = r->virt;
        const bool self = r->name.empty();
        auto fd = sc::openat2(r->dir.get(), self ? "." : r->name.c_str(),
                              O_RDONLY | O_NOCTTY | O_NONBLOCK, 0,
                              self ? 0 : RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS);
        if (!fd) return std::unexpected(fd.error().code() == EISDIR ? EACCES : fd.error().code());
        struct stat st {};
        if (::fstat(fd->get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::unexpected(EACCES);
        if (::faccessat(fd->get(), "", X_OK, AT_EMPTY_PATH | AT_EACCESS) != 0)
            return std::unexpected(errno);
        return std::move(*fd);
    });
    if (!file) return refuse(file.error());

    SyscallEvent event = seccomp::notif::event_for(s.call().notif);
    event.path = text::lossy_utf8(*text);
    if (auto refusal = seccomp::notif::ask_before_act(s.call(), std::move(event)))
        return std::move(*refusal);

    if (kernel_reaches(s, dirfd, *text, follow, file->get(), true)) return NotifAction::Continue{};
    const std::size_t room = text->size() + 1;
    if (!may_overwrite(s, address, room)) return refuse(EACCES);
    // An interpreter opens the script by the "/dev/fd/N" it is given after the exec.
    if (auto a = by_descriptor(s, address, room, file->get(), starts_elf(file->get())))
        return std::move(*a);
    if (auto a = by_relative_path(s, address, room, where, file->get())) return std::move(*a);
    return refuse(EACCES);
}

NotifAction chdir(const Session& s) {
    const std::uint64_t address = s.call().notif.data.args[0];
    auto text = s.read_path(address);
    if (!text) return refuse(text.error());
    if (text->empty()) return refuse(ENOENT);
    auto virt = s.virtual_path(AT_FDCWD, *text);
    if (!virt) return refuse(virt.error());
    std::string where;
    auto dir = s.as_child([&]() -> Errno<UniqueFd> {
        auto r = resolve(s.root(), *virt, true);
        if (!r) return std::unexpected(r.error());
        if (!s.lists().can_read(r->virt)) return std::unexpected(EACCES);
        where = r->virt;
        const bool self = r->name.empty();
        auto fd = sc::openat2(r->dir.get(), self ? "." : r->name.c_str(), O_PATH | O_DIRECTORY,
                              0, self ? 0 : RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS);
        if (!fd) return std::unexpected(fd.error().code());
        if (::faccessat(fd->get(), "", X_OK, AT_EMPTY_PATH | AT_EACCESS) != 0)
            return std::unexpected(errno);
        return std::move(*fd);
    });
    if (!dir) return refuse(dir.error());
    if (kernel_reaches(s, AT_FDCWD, *text, true, dir->get(), false)) return NotifAction::Continue{};
    if (auto held = steer_chdir(s, address, *text, where, dir->get())) return std::move(*held);
    const std::size_t room = text->size() + 1;
    if (!may_overwrite(s, address, room)) return refuse(EACCES);
    if (auto a = by_relative_path(s, address, room, where, dir->get())) return std::move(*a);
    if (auto readable = readable_dir(s, dir->get()))
        if (auto a = by_descriptor(s, address, room, readable->get(), true)) return std::move(*a);
    return refuse(EACCES);
}

}  // namespace vestrion::chroot
