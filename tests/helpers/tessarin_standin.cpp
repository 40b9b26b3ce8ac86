// A stand-in for the outside branching filesystem, for the tests: a FUSE filesystem that passes
// BACKING through at MOUNTPOINT and answers what the library asks of its control files.
//
//   vestrion_tessarin_standin BACKING MOUNTPOINT LOG [ANSWER]
//
// ".tessarin_ctl" at the root answers CREATE with the next id ("branch-1", "branch-2", ...),
// NUL-terminated in 128 bytes, and makes "@id/.tessarin_ctl", which accepts COMMIT and ABORT once
// (the branch is gone after either). Writes go straight to BACKING: no branch holds anything.
// Every request on a control file is appended to LOG as one line ("CREATE branch-1",
// "COMMIT branch-1", "ABORT branch-1", "REFUSED CREATE errno 5", "UNKNOWN 0x... /path").
//
// ANSWER makes CREATE answer wrongly: "no-nul" (128 bytes without NUL), "non-utf8", "slash" (an
// id holding "/"), "empty" (an empty id, which is an id), "errno=N" (the request fails with N).
// It runs in the foreground until SIGTERM or SIGINT, and unmounts then.
#define FUSE_USE_VERSION 35

#include <dirent.h>
#include <fcntl.h>
#include <fuse3/fuse.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr unsigned int kCreate = 0x80806200;
constexpr unsigned int kCommit = 0x6201;
constexpr unsigned int kAbort = 0x6202;
constexpr std::size_t kIdBuffer = 128;
constexpr const char* kCtl = ".tessarin_ctl";
// The file handle of an open control file; real files carry their descriptor.
constexpr std::uint64_t kCtlHandle = ~std::uint64_t{0};

int backing = -1;
int log_fd = -1;
std::string answer = "ok";
int next_branch = 1;
std::set<std::string> branches;

void log_line(const std::string& line) {
    std::string text = line + "\n";
    (void)!::write(log_fd, text.data(), text.size());
}

// The path below the backing directory ("." for the root).
std::string rel(const char* path) {
    while (*path == '/') ++path;
    return *path ? path : ".";
}

bool is_root_ctl(const char* path) { return std::string(path) == std::string("/") + kCtl; }

// The id of "/@id" (dir) or "/@id/.tessarin_ctl" (ctl) for a live branch.
bool branch_of(const char* path, std::string& id, bool& ctl) {
    std::string p(path);
    if (p.rfind("/@", 0) != 0) return false;
    std::string rest = p.substr(2);
    auto slash = rest.find('/');
    id = rest.substr(0, slash);
    if (!branches.contains(id)) return false;
    if (slash == std::string::npos) {
        ctl = false;
        return true;
    }
    ctl = rest.substr(slash) == std::string("/") + kCtl;
    return ctl;
}

bool is_ctl(const char* path) {
    std::string id;
    bool ctl = false;
    return is_root_ctl(path) || (branch_of(path, id, ctl) && ctl);
}

int fail() { return -errno; }

int op_getattr(const char* path, struct stat* st, fuse_file_info* fi) {
    std::string id;
    bool ctl = false;
    if (is_root_ctl(path) || branch_of(path, id, ctl)) {
        std::memset(st, 0, sizeof *st);
        st->st_mode = is_ctl(path) ? S_IFREG | 0600 : S_IFDIR | 0700;
        st->st_nlink = 1;
        st->st_uid = ::getuid();
        st->st_gid = ::getgid();
        return 0;
    }
    if (fi && fi->fh != kCtlHandle) return ::fstat(static_cast<int>(fi->fh), st) == 0 ? 0 : fail();
    return ::fstatat(backing, rel(path).c_str(), st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : fail();
}

int op_readdir(const char* path, void* buf, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags) {
    int fd = ::openat(backing, rel(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return fail();
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        int error = errno;
        ::close(fd);
        return -error;
    }
    while (dirent* e = ::readdir(dir)) fill(buf, e->d_name, nullptr, 0, fuse_fill_dir_flags{});
    ::closedir(dir);
    return 0;
}

int op_open(const char* path, fuse_file_info* fi) {
    if (is_ctl(path)) {
        fi->fh = kCtlHandle;
        fi->direct_io = 1;
        return 0;
    }
    int fd = ::openat(backing, rel(path).c_str(), fi->flags | O_CLOEXEC);
    if (fd < 0) return fail();
    fi->fh = static_cast<std::uint64_t>(fd);
    return 0;
}

int op_create(const char* path, mode_t mode, fuse_file_info* fi) {
    int fd = ::openat(backing, rel(path).c_str(), fi->flags | O_CREAT | O_CLOEXEC, mode);
    if (fd < 0) return fail();
    fi->fh = static_cast<std::uint64_t>(fd);
    return 0;
}

int op_read(const char*, char* buf, size_t size, off_t off, fuse_file_info* fi) {
    if (fi->fh == kCtlHandle) return 0;
    ssize_t n = ::pread(static_cast<int>(fi->fh), buf, size, off);
    return n < 0 ? fail() : static_cast<int>(n);
}

int op_write(const char*, const char* buf, size_t size, off_t off, fuse_file_info* fi) {
    if (fi->fh == kCtlHandle) return -EINVAL;
    ssize_t n = ::pwrite(static_cast<int>(fi->fh), buf, size, off);
    return n < 0 ? fail() : static_cast<int>(n);
}

int op_release(const char*, fuse_file_info* fi) {
    if (fi->fh != kCtlHandle) ::close(static_cast<int>(fi->fh));
    return 0;
}

int op_fsync(const char*, int, fuse_file_info* fi) {
    if (fi->fh == kCtlHandle) return 0;
    return ::fsync(static_cast<int>(fi->fh)) == 0 ? 0 : fail();
}

int op_mkdir(const char* path, mode_t mode) {
    return ::mkdirat(backing, rel(path).c_str(), mode) == 0 ? 0 : fail();
}
int op_unlink(const char* path) { return ::unlinkat(backing, rel(path).c_str(), 0) == 0 ? 0 : fail(); }
int op_rmdir(const char* path) {
    return ::unlinkat(backing, rel(path).c_str(), AT_REMOVEDIR) == 0 ? 0 : fail();
}
int op_rename(const char* from, const char* to, unsigned int flags) {
    return ::renameat2(backing, rel(from).c_str(), backing, rel(to).c_str(), flags) == 0 ? 0 : fail();
}
int op_symlink(const char* target, const char* path) {
    return ::symlinkat(target, backing, rel(path).c_str()) == 0 ? 0 : fail();
}
int op_link(const char* from, const char* to) {
    return ::linkat(backing, rel(from).c_str(), backing, rel(to).c_str(), 0) == 0 ? 0 : fail();
}
int op_readlink(const char* path, char* buf, size_t size) {
    ssize_t n = ::readlinkat(backing, rel(path).c_str(), buf, size - 1);
    if (n < 0) return fail();
    buf[n] = '\0';
    return 0;
}
int op_chmod(const char* path, mode_t mode, fuse_file_info*) {
    return ::fchmodat(backing, rel(path).c_str(), mode, 0) == 0 ? 0 : fail();
}
int op_chown(const char* path, uid_t uid, gid_t gid, fuse_file_info*) {
    return ::fchownat(backing, rel(path).c_str(), uid, gid, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : fail();
}
int op_truncate(const char* path, off_t size, fuse_file_info* fi) {
    if (fi && fi->fh != kCtlHandle) return ::ftruncate(static_cast<int>(fi->fh), size) == 0 ? 0 : fail();
    int fd = ::openat(backing, rel(path).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) return fail();
    int r = ::ftruncate(fd, size) == 0 ? 0 : fail();
    ::close(fd);
    return r;
}
int op_utimens(const char* path, const timespec tv[2], fuse_file_info*) {
    return ::utimensat(backing, rel(path).c_str(), tv, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : fail();
}
int op_statfs(const char*, struct statvfs* st) { return ::fstatvfs(backing, st) == 0 ? 0 : fail(); }

// CREATE on the root control file: the next id, or the wrong answer we were told to give.
int create_branch(void* data) {
    auto* out = static_cast<char*>(data);
    std::memset(out, 0, kIdBuffer);
    if (answer.rfind("errno=", 0) == 0) {
        int error = std::atoi(answer.c_str() + 6);
        log_line("REFUSED CREATE errno " + std::to_string(error));
        return -error;
    }
    std::string id;
    if (answer == "no-nul") {
        std::memset(out, 'x', kIdBuffer);
        log_line("CREATE (no NUL)");
        return 0;
    }
    if (answer == "non-utf8") id = "\xff\xfe-branch";
    else if (answer == "slash") id = "../escape";
    else if (answer == "empty") id = "";
    else id = "branch-" + std::to_string(next_branch++);
    std::memcpy(out, id.data(), id.size());
    branches.insert(id);
    log_line("CREATE " + id);
    return 0;
}

int op_ioctl(const char* path, unsigned int cmd, void*, fuse_file_info*, unsigned int, void* data) {
    std::string id;
    bool ctl = false;
    if (is_root_ctl(path) && cmd == kCreate) return create_branch(data);
    if (branch_of(path, id, ctl) && ctl && (cmd == kCommit || cmd == kAbort)) {
        log_line(std::string(cmd == kCommit ? "COMMIT " : "ABORT ") + id);
        branches.erase(id);
        return 0;
    }
    char number[16];
    std::snprintf(number, sizeof number, "0x%x", cmd);
    log_line(std::string("UNKNOWN ") + number + " " + path);
    return -ENOTTY;
}

void* op_init(fuse_conn_info*, fuse_config* cfg) {
    // No caching: what the tests read through the mount is what the backing directory holds.
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    cfg->direct_io = 1;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s BACKING MOUNTPOINT LOG [ANSWER]\n", argv[0]);
        return 2;
    }
    backing = ::open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    log_fd = ::open(argv[3], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (backing < 0 || log_fd < 0) {
        std::perror("open");
        return 1;
    }
    if (argc > 4) answer = argv[4];

    fuse_operations ops{};
    ops.getattr = op_getattr;
    ops.readlink = op_readlink;
    ops.mkdir = op_mkdir;
    ops.unlink = op_unlink;
    ops.rmdir = op_rmdir;
    ops.symlink = op_symlink;
    ops.rename = op_rename;
    ops.link = op_link;
    ops.chmod = op_chmod;
    ops.chown = op_chown;
    ops.truncate = op_truncate;
    ops.open = op_open;
    ops.read = op_read;
    ops.write = op_write;
    ops.statfs = op_statfs;
    ops.release = op_release;
    ops.fsync = op_fsync;
    ops.readdir = op_readdir;
    ops.init = op_init;
    ops.create = op_create;
    ops.utimens = op_utimens;
    ops.ioctl = op_ioctl;

    // Sandboxed commands run as other users too (or as root in a namespace of their own).
    std::string options = "default_permissions,fsname=tessarin-standin";
    if (::geteuid() == 0) options += ",allow_other";
    std::vector<char*> args{argv[0], const_cast<char*>("-f"), const_cast<char*>("-s"),
                            const_cast<char*>("-o"), options.data(), argv[2]};
    return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
