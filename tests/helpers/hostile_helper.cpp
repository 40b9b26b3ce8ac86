// One hostile program, run unchanged under every shape of policy: each line names an attempt and
// its outcome ("ok" or the error's name). Argument 1 is a directory the command may write.
#include <fcntl.h>
#include <linux/sched.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/fanotify.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

void report(const char* what, long ret) {
    std::printf("%s %s\n", what, ret >= 0 ? "ok" : strerrorname_np(errno));
}

// A page that is not mapped: a path there cannot be read.
char* unmapped_page() {
    void* p = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    munmap(p, 4096);
    return static_cast<char*>(p);
}

// A path that never ends: PATH_MAX bytes and more, no NUL, then an unmapped page.
char* endless_path() {
    auto* p = static_cast<char*>(mmap(nullptr, 3 * 4096, PROT_READ | PROT_WRITE,
                                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    std::memset(p, 'a', 2 * 4096);
    munmap(p + 2 * 4096, 4096);
    return p;
}

void bad_paths(const std::string& dir) {
    char* gone = unmapped_page();
    char* endless = endless_path();
    const std::pair<const char*, char*> paths[] = {{"unmapped", gone}, {"endless", endless}};
    (void)dir;
    const int group = fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_FID | FAN_CLOEXEC, O_RDONLY);
    for (const auto& [name, path] : paths) {
        std::string label = std::string(name);
        report((label + " openat").c_str(), syscall(SYS_openat, AT_FDCWD, path, O_RDONLY));
        report((label + " creat").c_str(), syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT, 0600));
        report((label + " stat").c_str(), syscall(SYS_newfstatat, AT_FDCWD, path, nullptr, 0));
        report((label + " mkdir").c_str(), syscall(SYS_mkdirat, AT_FDCWD, path, 0700));
        report((label + " chmod").c_str(), syscall(SYS_fchmodat, AT_FDCWD, path, 0600));
        report((label + " execve").c_str(), syscall(SYS_execve, path, nullptr, nullptr));
        report((label + " chdir").c_str(), syscall(SYS_chdir, path));
        report((label + " unlink").c_str(), syscall(SYS_unlinkat, AT_FDCWD, path, 0));
        char buf[16];
        report((label + " readlink").c_str(), syscall(SYS_readlinkat, AT_FDCWD, path, buf, sizeof buf));
        report((label + " fanotify_mark").c_str(),
               syscall(SYS_fanotify_mark, group, FAN_MARK_ADD, FAN_OPEN, AT_FDCWD, path));
    }
    if (group >= 0) close(group);
}

// Calls that do what a routed call does, by another road.
void other_roads() {
    report("clone3", syscall(SYS_clone3, nullptr, 0));
    report("io_uring_setup", syscall(SYS_io_uring_setup, 1, nullptr));
    report("open_by_handle_at", syscall(SYS_open_by_handle_at, AT_FDCWD, nullptr, O_RDONLY));
    report("process_vm_writev", syscall(SYS_process_vm_writev, getppid(), nullptr, 0, nullptr, 0, 0));
}

// The filter reads 32 bits of an argument the kernel also takes 32 bits of: bits above must not
// hide a refused value.
void high_bits() {
    char c = 'x';
    report("ioctl TIOCSTI high", syscall(SYS_ioctl, 0, (1UL << 32) | TIOCSTI, &c));
    long pid = syscall(SYS_clone, (1UL << 32) | CLONE_NEWUSER | SIGCHLD, nullptr, nullptr,
                       nullptr, 0);
    if (pid == 0) _exit(0);
    if (pid > 0) waitpid(static_cast<pid_t>(pid), nullptr, 0);
    report("clone NEWUSER high", pid);
}

// Opens with the descriptor table full: whatever the supervisor injects must fail cleanly.
void full_table(const std::string& dir) {
    rlimit lowered{64, 64};
    setrlimit(RLIMIT_NOFILE, &lowered);
    std::vector<int> held;
    for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) held.push_back(fd);
    const std::string file = dir + "/full";
    report("full open write", syscall(SYS_openat, AT_FDCWD, file.c_str(), O_WRONLY | O_CREAT, 0600));
    report("full open read", syscall(SYS_openat, AT_FDCWD, "/dev/urandom", O_RDONLY));
    for (int fd : held) close(fd);
    report("after open", syscall(SYS_openat, AT_FDCWD, "/dev/null", O_RDONLY));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string dir = argv[1];
    other_roads();
    high_bits();
    bad_paths(dir);
    full_table(dir);
    return 0;
}
