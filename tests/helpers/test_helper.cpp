// Small programs that the tests run inside a sandbox, chosen by argv[1].
#include <dirent.h>
#include <limits.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <linux/openat2.h>
#include <linux/sched.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// Prints the open descriptors, one per line, leaving out the one that lists them.
int list_fds() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) {
        std::perror("opendir");
        return 1;
    }
    int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        int fd = std::atoi(entry->d_name);
        if (fd != own) std::printf("%d\n", fd);
    }
    closedir(dir);
    return 0;
}

// Prints the blocked and ignored signal masks as /proc shows them.
int signal_masks() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0)
            std::printf("%s\n", line.c_str());
    return 0;
}

const char* outcome(long ret) {
    if (ret >= 0) return "ok";
    const char* name = strerrorname_np(errno);
    return name ? name : "E?";
}

std::size_t arg_size(const char* text) { return std::strtoull(text, nullptr, 0); }

// N forks, each child ending at once and reaped before the next fork.
int fork_n(int n) {
    for (int i = 0; i < n; ++i) {
        pid_t pid = fork();
        if (pid == 0) _exit(0);
        if (pid > 0) waitpid(pid, nullptr, 0);
        std::printf("%s%s", i ? " " : "", outcome(pid));
    }
    std::printf("\n");
    return 0;
}

// N threads alive at once; prints how many started.
int threads(int n) {
    pthread_barrier_t all;
    pthread_barrier_init(&all, nullptr, static_cast<unsigned>(n) + 1);
    std::vector<pthread_t> ids(static_cast<std::size_t>(n));
    int started = 0;
    for (auto& id : ids) {
        if (pthread_create(&id, nullptr, [](void* b) -> void* {
                pthread_barrier_wait(static_cast<pthread_barrier_t*>(b));
                return nullptr;
            }, &all) != 0)
            break;
        ++started;
    }
    if (started < n) {
        std::printf("started %d\n", started);
        _exit(1);  // the started threads wait on the barrier forever
    }
    pthread_barrier_wait(&all);
    for (auto& id : ids) pthread_join(id, nullptr);
    std::printf("started %d\n", started);
    return 0;
}

// N threads that each allocate and free a little through malloc.
int threads_alloc(int n) {
    std::vector<pthread_t> ids(static_cast<std::size_t>(n));
    for (auto& id : ids)
        pthread_create(&id, nullptr, [](void*) -> void* {
            for (int i = 0; i < 64; ++i) {
                auto* p = static_cast<char*>(std::malloc(16 * 1024));
                std::memset(p, 1, 16 * 1024);
                std::free(p);
            }
            return nullptr;
        }, nullptr);
    for (auto& id : ids) pthread_join(id, nullptr);
    std::printf("done\n");
    return 0;
}

void* map_anon(std::size_t bytes) {
    return mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
}

int mmap_anon(std::size_t bytes) {
    void* p = map_anon(bytes);
    std::printf("%s\n", p == MAP_FAILED ? outcome(-1) : "mapped");
    return 0;
}

int mmap_file(const char* path, std::size_t bytes) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    void* p = fd < 0 ? MAP_FAILED : mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE, fd, 0);
    std::printf("%s\n", p == MAP_FAILED ? outcome(-1) : "mapped");
    return 0;
}

// Asks for 12 MiB, unmaps a huge range where nothing is mapped, asks for 12 MiB again.
int munmap_huge() {
    constexpr std::size_t twelve = 12u << 20;
    if (map_anon(twelve) == MAP_FAILED) return 1;
    long ret = munmap(reinterpret_cast<void*>(0x200000000000ull), 0x100000000000ull);
    std::printf("munmap %s\n", outcome(ret));
    std::fflush(stdout);
    std::printf("%s\n", map_anon(twelve) == MAP_FAILED ? outcome(-1) : "second mapped");
    return 0;
}

// Every thread maps, touches and unmaps one page, `rounds` times.
int mmap_loop(int thread_count, int rounds) {
    auto body = [](void* arg) -> void* {
        int n = *static_cast<int*>(arg);
        for (int i = 0; i < n; ++i) {
            auto* p = static_cast<char*>(map_anon(4096));
            if (p == MAP_FAILED) _exit(3);
            p[0] = 1;
            munmap(p, 4096);
        }
        return nullptr;
    };
    std::vector<pthread_t> ids(static_cast<std::size_t>(thread_count));
    for (auto& id : ids) pthread_create(&id, nullptr, body, &rounds);
    for (auto& id : ids) pthread_join(id, nullptr);
    std::printf("done\n");
    return 0;
}

// `procs` processes running the mapping loop at the same time.
int procs_mmap(int procs, int rounds) {
    std::vector<pid_t> pids;
    for (int i = 0; i < procs; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            std::fclose(stdout);  // the parent reports
            for (int r = 0; r < rounds; ++r) {
                auto* p = static_cast<char*>(map_anon(4096));
                if (p == MAP_FAILED) _exit(3);
                p[0] = 1;
                munmap(p, 4096);
            }
            _exit(0);
        }
        pids.push_back(pid);
    }
    int ok = 0;
    for (pid_t pid : pids) {
        int status = 0;
        if (waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0) ++ok;
    }
    std::printf("%d of %d\n", ok, procs);
    return 0;
}

// A child asks for more than the budget; the parent reports what became of it.
int fork_then_mmap(std::size_t bytes) {
    std::fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        map_anon(bytes);
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    std::printf("parent survived, child %s\n", WIFSIGNALED(status) ? "killed" : "exited");
    return 0;
}

// Namespace creation through clone and clone3, then a fork through clone and a raw fork.
int clone_flags() {
    long c = syscall(SYS_clone, CLONE_NEWUSER | SIGCHLD, 0, 0, 0, 0);
    if (c == 0) _exit(0);
    if (c > 0) waitpid(static_cast<pid_t>(c), nullptr, 0);
    std::printf("clone %s", outcome(c));
    clone_args args{};
    args.flags = CLONE_NEWUSER;
    args.exit_signal = SIGCHLD;
    long c3 = syscall(SYS_clone3, &args, sizeof args);
    if (c3 == 0) _exit(0);
    if (c3 > 0) waitpid(static_cast<pid_t>(c3), nullptr, 0);
    std::printf(" clone3 %s", outcome(c3));
    pid_t f = fork();
    if (f == 0) _exit(0);
    if (f > 0) waitpid(f, nullptr, 0);
    std::printf(" fork %s", outcome(f));
    long raw = syscall(SYS_fork);
    if (raw == 0) _exit(0);
    if (raw > 0) waitpid(static_cast<pid_t>(raw), nullptr, 0);
    std::printf(" raw-fork %s\n", outcome(raw));
    return 0;
}

// Kills children in the middle of their routed calls, again and again, then makes routed calls
// of its own: they must still be answered.
int kill_storm(int rounds) {
    for (int i = 0; i < rounds; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            while (true) {
                void* p = map_anon(4096);
                if (p != MAP_FAILED) munmap(p, 4096);
            }
        }
        if (pid < 0) {
            std::printf("fork %s\n", outcome(-1));
            return 1;
        }
        usleep(static_cast<useconds_t>(200 + (i * 37) % 800));
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    for (int i = 0; i < 100; ++i) {
        void* p = map_anon(4096);
        if (p == MAP_FAILED) return 1;
        munmap(p, 4096);
    }
    std::printf("survived %d\n", rounds);
    return 0;
}

// Writes `size` bytes to each of standard output and error, interleaved in small chunks:
// "abc..." cycling on stdout, "ABC..." on stderr.
int write_both(std::size_t size) {
    char chunk[2][4096];
    for (std::size_t done = 0; done < size;) {
        std::size_t n = std::min(sizeof chunk[0], size - done);
        for (std::size_t i = 0; i < n; ++i) {
            chunk[0][i] = static_cast<char>('a' + (done + i) % 26);
            chunk[1][i] = static_cast<char>('A' + (done + i) % 26);
        }
        for (int stream = 0; stream < 2; ++stream)
            for (std::size_t off = 0; off < n;) {
                ssize_t w = write(1 + stream, chunk[stream] + off, n - off);
                if (w <= 0) return 1;
                off += static_cast<std::size_t>(w);
            }
        done += n;
    }
    return 0;
}

// How a few calls fare: filtered ones give EPERM, unfiltered ones EFAULT for the bad pointer.
int syscall_errnos() {
    char* bad = reinterpret_cast<char*>(1);
    std::printf("mkdir %s\n", outcome(static_cast<int>(syscall(SYS_mkdir, bad, 0755))));
    std::printf("rmdir %s\n", outcome(static_cast<int>(syscall(SYS_rmdir, bad))));
    std::printf("unshare %s\n", outcome(static_cast<int>(syscall(SYS_unshare, 0))));
    return 0;
}

// Tries to make the mount at `path` read-only, in place and through a detached copy.
int set_mount_read_only(const char* path) {
    struct {
        std::uint64_t attr_set, attr_clr, propagation, userns_fd;
    } attr{1 /* MOUNT_ATTR_RDONLY */, 0, 0, 0};
    long set = syscall(SYS_mount_setattr, AT_FDCWD, path, 0, &attr, sizeof attr);
    std::printf("mount_setattr %s", outcome(set));
    long tree = syscall(467 /* open_tree_attr */, AT_FDCWD, path, 0, &attr, sizeof attr);
    if (tree >= 0) close(static_cast<int>(tree));
    std::printf(" open_tree_attr %s\n", outcome(tree));
    return 0;
}

// Tries to take away the mount at `path`.
int umount_path(const char* path) {
    std::printf("umount2 %s\n", outcome(syscall(SYS_umount2, path, MNT_DETACH)));
    return 0;
}

// Issues an ioctl without argument on `path`, opened read-write.
int ioctl_path(const char* path, unsigned long request) {
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        std::printf("open %s\n", outcome(-1));
        return 0;
    }
    std::printf("ioctl %s\n", outcome(ioctl(fd, request, 0)));
    close(fd);
    return 0;
}

// A child of our parent: nobody in the sandbox could reap it.
int clone_parent() {
    long c = syscall(SYS_clone, CLONE_PARENT | SIGCHLD, 0, 0, 0, 0);
    if (c == 0) _exit(0);
    std::printf("clone %s\n", outcome(c));
    return 0;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Forks a child that starts a session of its own, names its pid in DIR/pid and waits forever;
// the command itself ends once DIR/release exists.
int session_child(const std::string& dir) {
    pid_t child = fork();
    if (child == 0) {
        if (setsid() < 0) _exit(1);
        std::string tmp = dir + "/pid.tmp";
        FILE* f = std::fopen(tmp.c_str(), "w");
        if (!f) _exit(1);
        std::fprintf(f, "%d", static_cast<int>(getpid()));
        std::fclose(f);
        rename(tmp.c_str(), (dir + "/pid").c_str());
        while (true) pause();
    }
    if (child < 0) return 1;
    for (int i = 0; i < 2000 && !exists(dir + "/release"); ++i) usleep(5000);
    return 0;
}

// Holds MARKER (given reversed, so that only this copy reads forwards) on the heap, with
// /dev/null open as descriptors 3 and 10; writes DIR/ready and waits for DIR/release.
int hold_marker(const std::string& reversed, const std::string& dir) {
    auto* marker = new std::string(reversed.rbegin(), reversed.rend());
    int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd < 0 || dup2(null_fd, 10) != 10) return 1;
    std::string tmp = dir + "/ready.tmp";
    FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) return 1;
    std::fclose(f);
    rename(tmp.c_str(), (dir + "/ready").c_str());
    for (int i = 0; i < 4000 && !exists(dir + "/release"); ++i) usleep(5000);
    volatile char first = (*marker)[0];
    (void)first;
    delete marker;
    return 0;
}

// Maps `count` private writable ranges of 256 MiB each (never touched, so nothing is resident),
// kept apart by an inaccessible page so that the kernel does not merge them; writes DIR/ready
// and waits for DIR/release.
int wide_writable(int count, const std::string& dir) {
    const std::size_t range = std::size_t{256} << 20;
    for (int i = 0; i < count; ++i) {
        void* p = mmap(nullptr, range + 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (p == MAP_FAILED || mprotect(p, range, PROT_READ | PROT_WRITE) != 0) {
            std::perror("mmap");
            return 1;
        }
    }
    std::string tmp = dir + "/ready.tmp";
    if (FILE* f = std::fopen(tmp.c_str(), "w")) {
        std::fclose(f);
        rename(tmp.c_str(), (dir + "/ready").c_str());
    }
    for (int i = 0; i < 4000 && !exists(dir + "/release"); ++i) usleep(5000);
    return 0;
}

// Makes threads and processes without pause, each ending at once, until DIR/release exists;
// writes DIR/ready once both kinds have been made, then prints "churned" when every one made
// worked as it should (a refused fork counts as such: the budget may say no).
int churn(const std::string& dir) {
    static std::atomic<bool> stop{false};
    static std::atomic<long> threads_made{0}, forks_made{0}, failures{0};
    std::thread spawner([] {
        while (!stop.load()) {
            std::thread t([] {});
            t.join();
            threads_made.fetch_add(1);
        }
    });
    std::thread forker([] {
        while (!stop.load()) {
            pid_t child = fork();
            if (child == 0) _exit(7);
            if (child < 0) {
                if (errno != EAGAIN) failures.fetch_add(1);
                continue;
            }
            int status = 0;
            if (waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 7)
                failures.fetch_add(1);
            forks_made.fetch_add(1);
        }
    });
    while (threads_made.load() == 0 || forks_made.load() == 0) usleep(1000);
    std::string tmp = dir + "/ready.tmp";
    if (FILE* f = std::fopen(tmp.c_str(), "w")) {
        std::fclose(f);
        rename(tmp.c_str(), (dir + "/ready").c_str());
    }
    for (int i = 0; i < 6000 && !exists(dir + "/release"); ++i) usleep(5000);
    stop.store(true);
    spawner.join();
    forker.join();
    if (failures.load() == 0)
        std::printf("churned\n");
    else
        std::printf("%ld failures\n", failures.load());
    return 0;
}

// Field 22 of /proc/self/stat: with the pid, it names this process and no later one.
unsigned long long start_time() {
    char buf[1024] = {};
    int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    ssize_t n = fd >= 0 ? read(fd, buf, sizeof buf - 1) : -1;
    if (fd >= 0) close(fd);
    const char* p = n > 0 ? std::strrchr(buf, ')') : nullptr;
    for (int field = 2; p && field < 22; ++field) p = std::strchr(p + 1, ' ');
    return p ? std::strtoull(p + 1, nullptr, 10) : 0;
}

// A process of the storm: appends "pid start-time" to `file`, tells its parent through `report`
// and waits forever.
[[noreturn]] void linger(int file, int report) {
    char line[64];
    int len = std::snprintf(line, sizeof line, "%d %llu\n", static_cast<int>(getpid()), start_time());
    if (write(file, line, static_cast<std::size_t>(len)) != len) _exit(1);
    char one = 1;
    if (write(report, &one, 1) != 1) _exit(1);
    while (true) pause();
}

// Starts `total` processes that each make a session of their own, from `parents` parents that
// fork them in bursts; every other session leader leaves a child of its own behind in its
// session and ends. Each process that stays names itself in `path`. Prints how many reported.
int session_storm(int total, int parents, const char* path) {
    constexpr int BURST = 25;
    int file = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (file < 0 || parents <= 0) return 1;
    int reported = 0;
    std::vector<int> reads;
    for (int p = 0; p < parents; ++p) {
        int fds[2];
        if (pipe(fds) != 0) return 1;
        const int share = total / parents + (p < total % parents ? 1 : 0);
        if (fork() == 0) {
            close(fds[0]);
            int report[2];
            if (pipe(report) != 0) _exit(1);
            for (int done = 0; done < share;) {
                const int burst = std::min(BURST, share - done);
                for (int i = 0; i < burst; ++i) {
                    pid_t child = fork();
                    if (child != 0) continue;
                    close(fds[1]);  // the command's count ends when the parents do
                    if (setsid() < 0) _exit(1);
                    if ((done + i) % 2 == 0) linger(file, report[1]);
                    if (fork() == 0) linger(file, report[1]);
                    _exit(0);
                }
                for (int i = 0; i < burst; ++i) {
                    char one;
                    if (read(report[0], &one, 1) != 1) _exit(1);
                    if (write(fds[1], &one, 1) != 1) _exit(1);
                }
                done += burst;
            }
            _exit(0);
        }
        close(fds[1]);
        reads.push_back(fds[0]);
    }
    for (int fd : reads) {
        char buf[256];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) reported += static_cast<int>(n);
    }
    while (wait(nullptr) > 0) {
    }
    std::printf("%d reported\n", reported);
    return 0;
}

// setpgid into group `group`.
int join_group(pid_t group) {
    std::printf("setpgid %s\n", outcome(setpgid(0, group)));
    return 0;
}

// Reaches process `pid` (not ours) and then a child of our own with the calls that change
// limits, niceness and CPU placement, in ways the kernel allows without capabilities.
int reach(pid_t pid) {
    pid_t child = fork();
    if (child == 0) {
        while (true) pause();
    }
    auto try_all = [](pid_t target) {
        rlimit files{};
        getrlimit(RLIMIT_NOFILE, &files);
        rlimit lower{files.rlim_cur > 16 ? files.rlim_cur - 1 : files.rlim_cur, files.rlim_max};
        std::printf("prlimit %s", outcome(prlimit(target, RLIMIT_NOFILE, &lower, nullptr)));
        errno = 0;
        int nice = getpriority(PRIO_PROCESS, static_cast<id_t>(target));
        std::printf(" setpriority %s",
                    outcome(setpriority(PRIO_PROCESS, static_cast<id_t>(target),
                                        nice < 19 ? nice + 1 : nice)));
        cpu_set_t cpus;
        CPU_ZERO(&cpus);
        CPU_SET(0, &cpus);
        std::printf(" affinity %s\n", outcome(sched_setaffinity(target, sizeof cpus, &cpus)));
    };
    std::printf("other: ");
    try_all(pid);
    std::printf("own child: ");
    try_all(child);
    std::printf("own group %s", outcome(setpriority(PRIO_PGRP, static_cast<id_t>(getpgrp()), 19)));
    std::printf(" user %s\n", outcome(setpriority(PRIO_USER, getuid(), 1)));
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return 0;
}

// Opens each path with one call (open, creat, openat or openat2) and prints the outcomes.
int open_paths(const std::string& how, int count, char** paths) {
    for (int i = 0; i < count; ++i) {
        long fd;
        if (how == "open") {
            fd = syscall(SYS_open, paths[i], O_RDONLY);
        } else if (how == "creat") {
            fd = syscall(SYS_creat, paths[i], 0600);
        } else if (how == "openat") {
            fd = syscall(SYS_openat, AT_FDCWD, paths[i], O_RDONLY);
        } else {
            open_how flags{};
            flags.flags = O_RDONLY;
            fd = syscall(SYS_openat2, AT_FDCWD, paths[i], &flags, sizeof flags);
        }
        std::printf("%s%s", i ? " " : "", outcome(fd));
        if (fd >= 0) close(static_cast<int>(fd));
    }
    std::printf("\n");
    return 0;
}

// Opens each path for reading, then makes each numbered call with every argument 1, a bad
// pointer (EFAULT when the call runs, EPERM when the filter refuses it): one line of outcomes
// each. The paths come before "--", the numbers after it.
int reads_and_calls(int count, char** args) {
    int i = 0;
    for (; i < count && std::strcmp(args[i], "--") != 0; ++i) {
        long fd = syscall(SYS_openat, AT_FDCWD, args[i], O_RDONLY | O_CLOEXEC);
        std::printf("%s%s", i ? " " : "", outcome(fd));
        if (fd >= 0) close(static_cast<int>(fd));
    }
    std::printf("\n");
    for (int first = ++i; i < count; ++i)
        std::printf("%s%s", i > first ? " " : "",
                    outcome(syscall(std::strtol(args[i], nullptr, 10), 1, 1, 1, 1, 1, 1)));
    std::printf("\n");
    return 0;
}

// One call that changes a file's metadata, made in the form named; prints its outcome.
long metadata_call(const std::string& form, const char* path, const char* arg) {
    const long self = static_cast<long>(getuid());
    const long id = arg ? std::atol(arg) : self;
    const timeval tv[2] = {{1000000000, 0}, {1000000000, 0}};
    const timespec ts[2] = {{1000000000, 0}, {1000000000, 0}};
    const char* name = "user.vestrion";
    if (form == "chmod") return syscall(SYS_chmod, path, 0600);
    if (form == "fchmodat") return syscall(SYS_fchmodat, AT_FDCWD, path, 0600);
    if (form == "utimes") return syscall(SYS_utimes, path, tv);
    if (form == "touch") return syscall(SYS_utimensat, AT_FDCWD, path, nullptr, 0);
    if (form == "touch-markers") {
        const timespec now_or_omit[2] = {{0, UTIME_OMIT}, {0, UTIME_NOW}};
        return syscall(SYS_utimensat, AT_FDCWD, path, now_or_omit, 0);
    }
    if (form == "setxattr") return syscall(SYS_setxattr, path, name, "v", 1, 0);
    if (form == "removexattr") return syscall(SYS_removexattr, path, name);
    if (form == "chown") return syscall(SYS_chown, path, id, id);
    if (form == "lchown") return syscall(SYS_lchown, path, self, -1);
    if (form == "setxattrat") {
        struct { std::uint64_t value; std::uint32_t size, flags; } args{
            reinterpret_cast<std::uint64_t>("v"), 1, 0};
        return syscall(463, AT_FDCWD, path, 0, name, &args, sizeof args);
    }
    if (form == "file-setattr") {
        struct { std::uint64_t xflags; std::uint32_t extsize, nextents, projid, cowextsize; } attr{};
        if (syscall(468, AT_FDCWD, path, &attr, sizeof attr, 0) < 0) return -1;
        attr.xflags |= 0x40;  // FS_XFLAG_NOATIME
        attr.nextents = 0;    // read-only: not to be set
        return syscall(469, AT_FDCWD, path, &attr, sizeof attr, 0);
    }
    if (form == "chmod-proc-self") {
        int fd = open(path, O_PATH | O_CLOEXEC);
        std::string link = "/proc/self/fd/" + std::to_string(fd);
        return syscall(SYS_chmod, link.c_str(), 0600);
    }
    // The descriptor forms, on a descriptor opened read-only or O_PATH.
    const bool path_only = form.ends_with("-opath");
    int fd = open(path, (path_only ? O_PATH : O_RDONLY) | O_CLOEXEC);
    if (fd < 0) return fd;
    std::string base = form.substr(0, form.rfind('-'));
    if (base == "fchmod") return syscall(SYS_fchmod, fd, 0600);
    if (base == "fchmod-thread") {  // from a thread other than the first
        long ret = 0;
        int error = 0;
        std::thread([&] {
            ret = syscall(SYS_fchmod, fd, 0600);
            error = errno;
        }).join();
        errno = error;
        return ret;
    }
    if (base == "fchmodat2") return syscall(452, fd, "", 0600, AT_EMPTY_PATH);
    if (base == "fchownat") return syscall(SYS_fchownat, fd, "", self, -1, AT_EMPTY_PATH);
    if (base == "futimens") return syscall(SYS_utimensat, fd, nullptr, ts, 0);
    if (base == "utimensat") return syscall(SYS_utimensat, fd, "", ts, AT_EMPTY_PATH);
    if (base == "fsetxattr") return syscall(SYS_fsetxattr, fd, name, "v", 1, 0);
    if (base == "setxattrat-empty") {
        struct { std::uint64_t value; std::uint32_t size, flags; } args{
            reinterpret_cast<std::uint64_t>("v"), 1, 0};
        return syscall(463, fd, "", AT_EMPTY_PATH, name, &args, sizeof args);
    }
    if (base == "setxattr-link") {
        std::string link = "/proc/self/fd/" + std::to_string(fd);
        return syscall(SYS_setxattr, link.c_str(), name, "v", 1, 0);
    }
    if (base == "setflags") {
        int flags = 0;  // the kernel reads and writes an int, whatever the request says
        if (ioctl(fd, FS_IOC_GETFLAGS, &flags) < 0) return -1;
        flags |= FS_NOATIME_FL;
        return ioctl(fd, FS_IOC_SETFLAGS, &flags);
    }
    errno = EINVAL;
    return -1;
}

// The same on objects that live in no file system.
long anonymous_metadata_call(const std::string& form) {
    int fds[2];
    if (form == "fchmod-pipe") {
        if (pipe(fds) < 0) return -1;
        return syscall(SYS_fchmod, fds[0], 0600);
    }
    if (form == "fchmod-socket") {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) < 0) return -1;
        return syscall(SYS_fchmod, fds[0], 0600);
    }
    if (form == "fchmod-memfd") {
        int fd = static_cast<int>(syscall(SYS_memfd_create, "m", 0));
        if (fd < 0) return -1;
        long ret = syscall(SYS_fchmod, fd, 0600);
        struct stat st {};
        if (ret == 0 && (fstat(fd, &st) != 0 || (st.st_mode & 0777) != 0600)) return -1;
        return ret;
    }
    errno = EINVAL;
    return -1;
}

// chmod of PATH after entering DIR as the root directory, and CWD (a path beneath it) as the
// working directory.
int chroot_chmod(const char* dir, const char* path, const char* cwd) {
    if (chroot(dir) != 0 || chdir(cwd) != 0) {
        std::printf("chroot %s\n", outcome(-1));
        return 0;
    }
    std::printf("%s\n", outcome(syscall(SYS_chmod, path, 0600)));
    return 0;
}

int metadata(int argc, char** argv) {
    std::string form = argv[2];
    long ret = argc > 3 ? metadata_call(form, argv[3], argc > 4 ? argv[4] : nullptr)
                        : anonymous_metadata_call(form);
    std::printf("%s\n", outcome(ret));
    return 0;
}

// chmod of `path` in a loop while a second thread keeps replacing it, by rename, with a link to
// `target` and with a file of its own; prints how many of the calls succeeded.
int chmod_race(int n, const char* path, const char* target) {
    std::string link = std::string(path) + ".link";
    std::string file = std::string(path) + ".file";
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        while (!done.load()) {
            unlink(link.c_str());
            if (symlink(target, link.c_str()) == 0) rename(link.c_str(), path);
            int fd = open(file.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
            if (fd >= 0) close(fd);
            rename(file.c_str(), path);
        }
    });
    int succeeded = 0;
    for (int i = 0; i < n; ++i)
        if (syscall(SYS_chmod, path, (i & 1) ? 0600 : 0640) == 0) ++succeeded;
    done = true;
    swapper.join();
    std::printf("%d\n", succeeded);
    return 0;
}

// chmod of DIR/d/f, `n` times, while another thread swaps DIR/d between a directory holding f and
// a link to `target` (a directory holding an f of its own); prints how many calls succeeded.
int chmod_dir_race(int n, const char* dir, const char* target) {
    const std::string d = std::string(dir) + "/d", f = d + "/f";
    const std::string link = std::string(dir) + "/link";
    mkdir(d.c_str(), 0755);
    int fd = open(f.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        while (!done.load()) {
            unlink(link.c_str());
            if (symlink(target, link.c_str()) != 0) continue;
            // d becomes the link, then the directory again.
            renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, d.c_str(), RENAME_EXCHANGE);
            renameat2(AT_FDCWD, link.c_str(), AT_FDCWD, d.c_str(), RENAME_EXCHANGE);
        }
    });
    int succeeded = 0;
    for (int i = 0; i < n; ++i)
        if (syscall(SYS_chmod, f.c_str(), (i & 1) ? 0600 : 0640) == 0) ++succeeded;
    done = true;
    swapper.join();
    std::printf("%d\n", succeeded);
    return 0;
}

}  // namespace

// Binds a Unix socket at the path: it makes a name through a call that no file handler serves.
int bind_unix(const char* path) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path, sizeof addr.sun_path - 1);
    long r = fd < 0 ? -1 : bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    std::printf("%s\n", outcome(r));
    return 0;
}

// sched_getaffinity with a mask of `size` bytes (at an unmapped address with "bad"): the count
// returned, then the mask's bytes in hexadecimal, or the error's name.
int affinity(unsigned size, bool bad) {
    std::vector<unsigned char> mask(size + 64, 0xee);
    void* at = bad ? reinterpret_cast<void*>(8) : mask.data();
    long n = syscall(SYS_sched_getaffinity, 0, size, at);
    if (n < 0) {
        std::printf("%s\n", outcome(n));
        return 0;
    }
    std::printf("%ld", n);
    for (long i = 0; i < n && !bad; ++i) std::printf(" %02x", mask[static_cast<std::size_t>(i)]);
    std::printf("\n");
    return 0;
}

// uname into an unmapped address: the host's values must not be written anywhere.
int uname_bad() {
    std::printf("%s\n", outcome(syscall(SYS_uname, reinterpret_cast<void*>(8))));
    return 0;
}

// Appends "y" through LINK `count` times while a second thread keeps pointing LINK at `a` and at
// `b` in turn; prints how many of the opens succeeded.
int swap_write(const char* link, const char* a, const char* b, int count) {
    static std::atomic<bool> stop{false};
    struct Targets {
        std::string link, a, b;
    };
    static Targets targets;
    targets = {link, a, b};
    pthread_t swapper;
    pthread_create(&swapper, nullptr, [](void*) -> void* {
        const std::string tmp = targets.link + ".swap";
        for (bool to_a = true; !stop.load(); to_a = !to_a) {
            unlink(tmp.c_str());
            if (symlink((to_a ? targets.a : targets.b).c_str(), tmp.c_str()) == 0)
                rename(tmp.c_str(), targets.link.c_str());
        }
        return nullptr;
    }, nullptr);
    int opened = 0;
    for (int i = 0; i < count; ++i) {
        int fd = open(link, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) continue;
        ++opened;
        if (write(fd, "y", 1) != 1) std::perror("write");
        close(fd);
    }
    stop.store(true);
    pthread_join(swapper, nullptr);
    std::printf("opened %d\n", opened > 0 ? 1 : 0);
    return 0;
}

// Makes `count` exec attempts while a second thread keeps flipping the name passed to execv
// between `view` and `outside`: each child tries until an exec replaces it (or 50 times), and a
// fresh child takes over. Prints how often each program ran (the view's exits 0, the outside one
// 42).
int exec_race(const char* view, const char* outside, int count) {
    static char name[PATH_MAX];
    static std::string names[2];
    names[0] = view;
    names[1] = outside;
    auto* attempts = static_cast<std::atomic<int>*>(
        mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (attempts == MAP_FAILED) return 1;
    new (attempts) std::atomic<int>(0);
    int ran_view = 0, ran_outside = 0;
    while (attempts->load() < count) {
        pid_t pid = fork();
        if (pid < 0) return 1;
        if (pid == 0) {
            std::memcpy(name, names[0].c_str(), names[0].size() + 1);
            pthread_t flipper;
            pthread_create(&flipper, nullptr, [](void*) -> void* {
                for (unsigned k = 1;; ++k) {
                    const std::string& n = names[k & 1];
                    std::memcpy(name, n.c_str(), n.size() + 1);
                }
                return nullptr;
            }, nullptr);
            char* args[] = {name, nullptr};
            for (int i = 0; i < 50 && attempts->fetch_add(1) < count; ++i) execv(name, args);
            _exit(100);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        if (WIFEXITED(status) && WEXITSTATUS(status) == 0) ++ran_view;
        if (WIFEXITED(status) && WEXITSTATUS(status) == 42) ++ran_outside;
    }
    std::printf("outside ran %d times; the view's program ran: %s\n", ran_outside,
                ran_view > 0 ? "yes" : "no");
    return 0;
}

// `n` threads open the FIFO at `path` for reading, with no writer. Once every open that does
// not wait has returned, "ready" is made in the working directory; when "done" appears there, the
// errors seen are printed ("ENFILE 336") and the process ends with its waiting threads.
int fifo_opens(int n, const char* path) {
    static std::atomic<int> returned{0}, enfile{0}, other{0};
    static const char* fifo;
    fifo = path;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 64 * 1024);
    for (int i = 0; i < n; ++i) {
        pthread_t t;
        if (pthread_create(&t, &attr, [](void*) -> void* {
                int fd = open(fifo, O_RDONLY | O_CLOEXEC);
                if (fd < 0) (errno == ENFILE ? enfile : other).fetch_add(1);
                returned.fetch_add(1);
                return nullptr;
            }, nullptr) != 0) {
            std::printf("pthread_create failed\n");
            return 1;
        }
    }
    for (int i = 0; i < 2000 && returned.load() < n - 64; ++i) usleep(10000);
    usleep(200000);  // any open beyond the bound that was to return has returned
    int ready = open("ready", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (ready >= 0) close(ready);
    struct stat st;
    for (int i = 0; i < 6000 && stat("done", &st) != 0; ++i) usleep(10000);
    std::printf("ENFILE %d other %d\n", enfile.load(), other.load());
    std::fflush(stdout);
    _exit(0);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vestrion_test_helper CASE [ARGS]\n");
        return 2;
    }
    std::string name = argv[1];
    if (name == "list-fds") return list_fds();
    if (name == "signal-masks") return signal_masks();
    int n = argc > 2 ? std::atoi(argv[2]) : 0;
    int m = argc > 3 ? std::atoi(argv[3]) : 0;
    if (name == "fork-n") return fork_n(n);
    if (name == "threads") return threads(n);
    if (name == "threads-alloc") return threads_alloc(n);
    if (name == "mmap-anon" && argc > 2) return mmap_anon(arg_size(argv[2]));
    if (name == "mmap-file" && argc > 3) return mmap_file(argv[2], arg_size(argv[3]));
    if (name == "munmap-huge") return munmap_huge();
    if (name == "mmap-loop") return mmap_loop(n, m);
    if (name == "procs-mmap") return procs_mmap(n, m);
    if (name == "fork-then-mmap" && argc > 2) return fork_then_mmap(arg_size(argv[2]));
    if (name == "clone-flags") return clone_flags();
    if (name == "kill-storm") return kill_storm(n);
    if (name == "write-both" && argc > 2) return write_both(arg_size(argv[2]));
    if (name == "syscall-errnos") return syscall_errnos();
    if (name == "mount-attr" && argc > 2) return set_mount_read_only(argv[2]);
    if (name == "umount" && argc > 2) return umount_path(argv[2]);
    if (name == "ioctl" && argc > 3) return ioctl_path(argv[2], std::strtoul(argv[3], nullptr, 0));
    if (name == "clone-parent") return clone_parent();
    if (name == "session-child" && argc > 2) return session_child(argv[2]);
    if (name == "hold-marker" && argc > 3) return hold_marker(argv[2], argv[3]);
    if (name == "churn" && argc > 2) return churn(argv[2]);
    if (name == "wide-writable" && argc > 3) return wide_writable(n, argv[3]);
    if (name == "join-group") return join_group(n);
    if (name == "session-storm" && argc > 4) return session_storm(n, m, argv[4]);
    if (name == "reach") return reach(n);
    if (name == "metadata" && argc > 2) return metadata(argc, argv);
    if (name == "chmod-race" && argc > 4) return chmod_race(n, argv[3], argv[4]);
    if (name == "chmod-dir-race" && argc > 4) return chmod_dir_race(n, argv[3], argv[4]);
    if (name == "chroot-chmod" && argc > 3)
        return chroot_chmod(argv[2], argv[3], argc > 4 ? argv[4] : "/");
    if (name == "bind-unix" && argc > 2) return bind_unix(argv[2]);
    if (name == "affinity" && argc > 2)
        return affinity(static_cast<unsigned>(n), argc > 3 && std::string(argv[3]) == "bad");
    if (name == "uname-bad") return uname_bad();
    if (name == "swap-write" && argc > 5) return swap_write(argv[2], argv[3], argv[4], std::atoi(argv[5]));
    if (name == "exec-race" && argc > 4) return exec_race(argv[2], argv[3], std::atoi(argv[4]));
    if (name == "fifo-opens" && argc > 3) return fifo_opens(n, argv[3]);
    if (name == "open-paths" && argc > 2) return open_paths(argv[2], argc - 3, argv + 3);
    if (name == "reads-and-calls") return reads_and_calls(argc - 2, argv + 2);
    std::fprintf(stderr, "unknown case %s\n", argv[1]);
    return 2;
}
