// A program the virtual-root tests copy into a root: it starts programs the ways C programs do
// (system, posix_spawn from a string in its own memory, posix_spawnp), races a second thread
// against exec, chdir and open, and changes to "/" by a name in read-only memory, printing what
// it saw. Only the C library: the root holds copies
// of its libraries.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

extern char** environ;

namespace {

const char* error_name(int e) {
    switch (e) {
        case 0: return "ok";
        case EACCES: return "EACCES";
        case ENOENT: return "ENOENT";
        case ENOTDIR: return "ENOTDIR";
        case ELOOP: return "ELOOP";
        case EFAULT: return "EFAULT";
        default: return "other";
    }
}

// The status a started program ended with, or the error of the start.
std::string waited(int error, pid_t pid) {
    if (error) return error_name(error);
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return "wait failed";
    return WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) : "signal";
}

// posix_spawn runs its child on our memory until the exec: the path it passes is ours.
int spawn_shared(const char* path) {
    std::string copy(path);  // on our heap, shared with the child until it executes
    char* argv[] = {copy.data(), nullptr};
    pid_t pid = 0;
    int error = ::posix_spawn(&pid, copy.c_str(), nullptr, nullptr, argv, environ);
    std::printf("%s %s\n", waited(error, pid).c_str(), copy == path ? "unchanged" : "changed");
    return 0;
}

int spawn_searching(const char* name) {
    char* argv[] = {const_cast<char*>(name), nullptr};
    pid_t pid = 0;
    int error = ::posix_spawnp(&pid, name, nullptr, nullptr, argv, environ);
    std::fflush(stdout);
    std::printf("%s\n", waited(error, pid).c_str());
    return 0;
}

// Swaps directory `dir` for a link to `target` and back until told to stop.
struct Swapper {
    std::atomic<bool> done{false};
    std::thread thread;
    Swapper(std::string dir, std::string target) {
        thread = std::thread([this, dir, target] {
            const std::string away = dir + ".away";
            while (!done) {
                ::rename(dir.c_str(), away.c_str());
                ::symlink(target.c_str(), dir.c_str());
                ::unlink(dir.c_str());
                ::rename(away.c_str(), dir.c_str());
            }
        });
    }
    ~Swapper() {
        done = true;
        thread.join();
    }
};

// Runs `prog` (relative to `dir`'s parent, as "d/prog") many times while `dir` turns into a link
// to `target`; each run that starts prints what it is. Then changes into `dir` many times and
// reads "secret" there: prints every outcome once.
int race(const char* dir, const char* target, int tries) {
    std::string parent(dir);
    parent.erase(parent.rfind('/'));
    const std::string name = std::string(dir).substr(parent.size() + 1);
    if (::chdir(parent.c_str()) != 0) return 2;
    std::string seen;
    {
        Swapper swapper(dir, target);
        for (int i = 0; i < tries; ++i) {
            // A path too short for "/dev/fd/N", so the kernel reads it again after the check.
            std::string rel = name + "/prog";
            std::fflush(stdout);
            pid_t pid = ::fork();
            if (pid == 0) {
                char* argv[] = {rel.data(), const_cast<char*>("whoami"), nullptr};
                ::execve(rel.c_str(), argv, environ);
                ::_exit(127);
            }
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
        for (int i = 0; i < tries; ++i) {
            if (::chdir(name.c_str()) != 0) continue;
            int fd = ::open("secret", O_RDONLY | O_CLOEXEC);
            if (fd >= 0) {
                char buf[64] = {};
                ssize_t n = ::read(fd, buf, sizeof buf - 1);
                ::close(fd);
                std::string line = "read " + std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
                if (seen.find(line) == std::string::npos) seen += line;
            }
            if (::chdir(parent.c_str()) != 0) return 3;
        }
    }
    std::printf("%sraced\n", seen.c_str());
    return 0;
}

// "/" in read-only memory, with bytes after it that a longer name for the kernel may stand on
// while the thread is held.
const char kTop[] = "/\0neighbours";

// From directory `from`, changes to the literal "/", with a second thread alive when `threaded`;
// prints the outcome, the working directory and whether the literal is still what it was.
int change_to_top(const char* from, bool threaded) {
    if (::chdir(from) != 0) return 3;
    int pipe_fds[2];
    if (::pipe(pipe_fds) != 0) return 4;
    std::thread other;
    if (threaded)
        other = std::thread([&] {
            char c;
            (void)::read(pipe_fds[0], &c, 1);
        });
    const int error = ::chdir(kTop) == 0 ? 0 : errno;
    ::close(pipe_fds[1]);
    if (other.joinable()) other.join();
    char cwd[256] = {};
    if (!::getcwd(cwd, sizeof cwd)) std::strcpy(cwd, "?");
    const volatile char* bytes = kTop;
    const char expected[] = "/\0neighbours";
    bool same = true;
    for (std::size_t i = 0; i < sizeof expected; ++i) same = same && bytes[i] == expected[i];
    std::printf("%s %s %s\n", error_name(error), cwd, same ? "unchanged" : "changed");
    return 0;
}

// Marks `path` for opens in a fanotify group of its own, opens it and prints whether the mark
// took and an event came.
int mark(const char* path) {
    int group = ::fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_FID | FAN_CLOEXEC, O_RDONLY);
    if (group < 0) {
        std::printf("init %s\n", error_name(errno));
        return 0;
    }
    if (::fanotify_mark(group, FAN_MARK_ADD, FAN_OPEN, AT_FDCWD, path) != 0) {
        std::printf("mark %s\n", error_name(errno));
        return 0;
    }
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
    pollfd p{group, POLLIN, 0};
    std::printf("mark ok %s\n", ::poll(&p, 1, 5000) == 1 ? "event" : "no event");
    return 0;
}

// What this program is, as the kernel names it.
int whoami() {
    char buf[4096] = {};
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    std::printf("ran %s\n", n > 0 ? buf : "?");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string mode = argv[1];
    if (mode == "system" && argc > 2) {
        std::fflush(stdout);
        int status = std::system(argv[2]);
        std::printf("system %d\n", WIFEXITED(status) ? WEXITSTATUS(status) : -1);
        return 0;
    }
    if (mode == "spawn" && argc > 2) return spawn_shared(argv[2]);
    if (mode == "spawnp" && argc > 2) return spawn_searching(argv[2]);
    if (mode == "race" && argc > 4) return race(argv[2], argv[3], std::atoi(argv[4]));
    if (mode == "whoami") return whoami();
    if (mode == "mark" && argc > 2) return mark(argv[2]);
    if (mode == "top" && argc > 3) return change_to_top(argv[2], std::string(argv[3]) == "threaded");
    if (mode == "chown" && argc > 2) {
        int ret = ::chown(argv[2], 1, 1);
        std::printf("chown %s\n", ret == 0 ? "ok" : errno == EPERM ? "EPERM" : error_name(errno));
        return 0;
    }
    return 2;
}
