/* vestrion-run: runs one command in a vestrion sandbox, as a script would run it directly.
 *
 * It passes the command's exit status and output through unchanged, so that it can stand in
 * front of a command in a script. It uses the public C interface and nothing else. */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "vestrion.h"

static const char usage[] =
    "usage: vestrion-run [--help] [--dry-run DIR] [--] COMMAND [ARGS...]\n"
    "Runs COMMAND in a sandbox. It may read /usr, /bin, /sbin, /lib, /lib32, /lib64, /etc and\n"
    "/proc, use /dev/null, /dev/zero, /dev/random and /dev/urandom, and read and write a fresh\n"
    "directory that is its working directory, its TMPDIR and its HOME, removed when it ends.\n"
    "Nothing else\n"
    "of the file system: not the host's /dev/shm (Python's multiprocessing fails without it),\n"
    "not your home. It keeps your standard input and environment, may start 64 processes over\n"
    "its run, cannot signal processes outside the sandbox nor reach abstract Unix sockets; the\n"
    "network is not restricted.\n"
    "Its output is written out byte for byte once it ends. Exit status: the command's own; 137\n"
    "when a signal or a limit ended it; 128+N when vestrion-run gets signal N (SIGINT, SIGTERM),\n"
    "which kills the command; 125 when the sandbox cannot start.\n"
    "--dry-run DIR: DIR is the command's working directory, which it may change through a\n"
    "copy-on-write view (the fresh directory stays its TMPDIR and HOME); after its output,\n"
    "vestrion-run writes one line per change to standard error (\"A path\" added, \"M path\"\n"
    "modified, \"D path\" deleted) and leaves DIR as it was. Writes elsewhere are real. While a\n"
    "dry run runs, SIGINT and SIGTERM are held until the command ends, then acted on.\n"
    "--help prints this; -- ends the options (for a command whose name begins with '-').\n";

enum { EXIT_NOT_STARTED = 125, EXIT_KILLED = 137, EXIT_USAGE = 2 };

/* What the signal handler needs: the command's process descriptor (-1 until it runs) and the
 * signal that arrived (0: none). */
static volatile sig_atomic_t command_pidfd = -1;
static volatile sig_atomic_t caught_signal = 0;

/* Kills the command's leader through its descriptor, which cannot reach a recycled pid; the
 * library then kills the rest of its process group and reaps it, which ends our wait. */
static void on_stop_signal(int sig) {
    int saved = errno;
    caught_signal = sig;
    if (command_pidfd >= 0) syscall(SYS_pidfd_send_signal, (int)command_pidfd, SIGKILL, NULL, 0);
    errno = saved;
}

static void catch_stop_signals(void) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_stop_signal;
    sigfillset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, NULL);
    sigaction(SIGTERM, &action, NULL);
}

static void set_stop_signals_blocked(int blocked) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(blocked ? SIG_BLOCK : SIG_UNBLOCK, &set, NULL);
}

/* The fresh directory `writable` is TMPDIR and HOME; the working directory is `workdir` (a
 * copy-on-write view of it) when given, else the fresh directory. */
static vestrion_policy_t* tool_policy(const char* writable, const char* workdir) {
    static const char* readable[] = {"/usr",  "/bin", "/sbin",        "/lib",       "/lib32",
                                     "/lib64", "/etc", "/proc",       "/dev/random", "/dev/urandom"};
    static const char* devices[] = {"/dev/null", "/dev/zero"};
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    /* Every path of a policy must exist: leave out what this system does not have. */
    for (size_t i = 0; i < sizeof readable / sizeof readable[0]; ++i)
        if (access(readable[i], F_OK) == 0) b = vestrion_policy_builder_fs_read(b, readable[i]);
    for (size_t i = 0; i < sizeof devices / sizeof devices[0]; ++i)
        if (access(devices[i], F_OK) == 0) b = vestrion_policy_builder_fs_write(b, devices[i]);
    b = vestrion_policy_builder_fs_write(b, writable);
    if (workdir) b = vestrion_policy_builder_workdir(b, workdir);
    b = vestrion_policy_builder_cwd(b, workdir ? workdir : writable);
    b = vestrion_policy_builder_env_var(b, "TMPDIR", writable);
    /* The caller's home is not granted: programs that keep files there (git) use this one. */
    b = vestrion_policy_builder_env_var(b, "HOME", writable);
    b = vestrion_policy_builder_isolate_signals(b, true);
    b = vestrion_policy_builder_isolate_ipc(b, true);
    return vestrion_policy_build(b, NULL);
}

/* Removes the tree below a directory descriptor without following a symbolic link: a process
 * the command left behind may still swap a directory for a link to elsewhere. */
static int remove_tree_at(int parent, const char* name) {
    int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOTDIR && errno != ELOOP) return errno == ENOENT ? 0 : -1;
        return unlinkat(parent, name, 0) == 0 || errno == ENOENT ? 0 : -1;
    }
    DIR* dir = fdopendir(fd);
    if (!dir) {
        close(fd);
        return -1;
    }
    int result = 0;
    for (struct dirent* entry; (entry = readdir(dir)) != NULL;) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
        if (remove_tree_at(dirfd(dir), entry->d_name) != 0) result = -1;
    }
    closedir(dir);
    if (unlinkat(parent, name, AT_REMOVEDIR) != 0 && errno != ENOENT) result = -1;
    return result;
}

static void remove_writable_dir(const char* path) {
    if (remove_tree_at(AT_FDCWD, path) != 0)
        fprintf(stderr, "vestrion-run: could not remove all of %s: %s\n", path, strerror(errno));
}

static void write_all(int fd, const uint8_t* bytes, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, bytes, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        bytes += n;
        len -= (size_t)n;
    }
}

static void pass_output_through(const vestrion_result_t* r) {
    size_t len = 0;
    const uint8_t* out = vestrion_result_stdout_bytes(r, &len);
    if (out) write_all(1, out, len);
    const uint8_t* err = vestrion_result_stderr_bytes(r, &len);
    if (err) write_all(2, err, len);
}

static void explain_failed_start(const char* command) {
    fprintf(stderr, "vestrion-run: the sandbox could not start %s\n", command);
    int abi = vestrion_landlock_abi_version(), needed = vestrion_min_landlock_abi();
    if (abi < needed) {
        fprintf(stderr, "vestrion-run: this kernel offers Landlock ABI %d; vestrion needs %d\n", abi,
                needed);
        return;
    }
    fprintf(stderr,
            "vestrion-run: the C interface gives no reason; likely causes: a path of the policy "
            "that does not exist, a feature this build of vestrion or this kernel lacks (seccomp "
            "user notification, user namespaces), or no room for another process\n");
}

/* Spawns, waits and passes the outcome through; the exit status of the tool. */
static int run_command(const vestrion_policy_t* policy, const char* const* argv, uint32_t argc) {
    vestrion_handle_t* h = vestrion_spawn(policy, argv, argc);
    if (!h) {
        set_stop_signals_blocked(0);
        explain_failed_start(argv[0]);
        return caught_signal ? 128 + caught_signal : EXIT_NOT_STARTED;
    }
    /* The command is our child and not yet reaped: its pid is still its own. */
    command_pidfd = (int)syscall(SYS_pidfd_open, vestrion_handle_pid(h), 0);
    set_stop_signals_blocked(0);  /* a signal that came meanwhile is handled here */

    vestrion_result_t* r = vestrion_handle_wait(h);
    set_stop_signals_blocked(1);
    int status;
    if (!r) {
        fprintf(stderr, "vestrion-run: waiting for %s failed\n", argv[0]);
        status = EXIT_KILLED;
    } else {
        pass_output_through(r);
        status = vestrion_result_exit_code(r);
        if (status < 0 && !caught_signal)
            fprintf(stderr, "vestrion-run: %s did not exit by itself: a signal, a kill or a limit "
                            "of the sandbox ended it\n", argv[0]);
        if (status < 0) status = EXIT_KILLED;
    }
    vestrion_result_free(r);
    vestrion_handle_free(h);  /* kills and reaps whatever of the sandbox is left */
    if (command_pidfd >= 0) close(command_pidfd);
    return caught_signal ? 128 + caught_signal : status;
}

/* A dry run: the command's output, then its changes, and DIR left as it was. There is no handle
 * to kill the command through while vestrion_dry_run runs, so a stop signal stays held until it
 * returns and is acted on then. */
static int dry_run_command(const vestrion_policy_t* policy, const char* const* argv, uint32_t argc) {
    vestrion_dry_run_result_t* r = vestrion_dry_run(policy, argv, argc);
    set_stop_signals_blocked(0);  /* a signal held meanwhile is handled here */
    set_stop_signals_blocked(1);
    if (!r) {
        explain_failed_start(argv[0]);
        return caught_signal ? 128 + caught_signal : EXIT_NOT_STARTED;
    }
    size_t len = 0;
    const uint8_t* out = vestrion_dry_run_result_stdout_bytes(r, &len);
    if (out) write_all(1, out, len);
    const uint8_t* err = vestrion_dry_run_result_stderr_bytes(r, &len);
    if (err) write_all(2, err, len);
    for (size_t i = 0; i < vestrion_dry_run_result_changes_len(r); ++i) {
        char* path = vestrion_dry_run_result_change_path(r, i);
        fprintf(stderr, "%c %s\n", vestrion_dry_run_result_change_kind(r, i), path ? path : "?");
        vestrion_string_free(path);
    }
    int status = vestrion_dry_run_result_exit_code(r);
    if (status < 0 && !caught_signal)
        fprintf(stderr, "vestrion-run: %s did not exit by itself: a signal, a kill or a limit of "
                        "the sandbox ended it\n", argv[0]);
    if (status < 0) status = EXIT_KILLED;
    vestrion_dry_run_result_free(r);
    return caught_signal ? 128 + caught_signal : status;
}

/* The index of the command in argv after the options; -1 after --help, 0 on a usage error.
 * *dry_run_dir gets the directory of --dry-run, if given. */
static int parse_options(int argc, char** argv, const char** dry_run_dir) {
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        if (strcmp(argv[i], "--") == 0) return i + 1 < argc ? i + 1 : 0;
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) return -1;
        if (strcmp(argv[i], "--dry-run") == 0) {
            if (++i == argc) {
                fprintf(stderr, "vestrion-run: --dry-run needs a directory\n");
                return 0;
            }
            *dry_run_dir = argv[i];
            continue;
        }
        fprintf(stderr, "vestrion-run: unknown option %s (use -- before a command that begins "
                        "with '-')\n", argv[i]);
        return 0;
    }
    return i < argc ? i : 0;
}

/* The directory of --dry-run as an absolute path without links, in `resolved`; 0, or -1 after
 * saying why it cannot serve. */
static int resolve_dry_run_dir(const char* dir, char* resolved) {
    struct stat st;
    if (!realpath(dir, resolved) || stat(resolved, &st) != 0) {
        fprintf(stderr, "vestrion-run: --dry-run %s: %s\n", dir, strerror(errno));
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        fprintf(stderr, "vestrion-run: --dry-run %s: not a directory\n", dir);
        return -1;
    }
    return 0;
}

int main(int argc, char** argv) {
    const char* dry_run_dir = NULL;
    int command = parse_options(argc, argv, &dry_run_dir);
    if (command < 0) {
        fputs(usage, stdout);
        return 0;
    }
    if (command == 0) {
        fputs(usage, stderr);
        return EXIT_USAGE;
    }
    char workdir[PATH_MAX];
    if (dry_run_dir && resolve_dry_run_dir(dry_run_dir, workdir) != 0) return EXIT_NOT_STARTED;
    /* A stop signal waits until the handler can reach the command, so that nothing is left. */
    set_stop_signals_blocked(1);
    catch_stop_signals();
    const char* tmp = getenv("TMPDIR");
    char dir[4096];
    if (snprintf(dir, sizeof dir, "%s/vestrion-run-XXXXXX", tmp && *tmp ? tmp : "/tmp") >=
            (int)sizeof dir ||
        !mkdtemp(dir)) {
        fprintf(stderr, "vestrion-run: cannot create the writable directory: %s\n", strerror(errno));
        return EXIT_NOT_STARTED;
    }
    vestrion_policy_t* policy = tool_policy(dir, dry_run_dir ? workdir : NULL);
    int status = EXIT_NOT_STARTED;
    const char* const* command_argv = (const char* const*)argv + command;
    if (policy && dry_run_dir)
        status = dry_run_command(policy, command_argv, (uint32_t)(argc - command));
    else if (policy)
        status = run_command(policy, command_argv, (uint32_t)(argc - command));
    else
        fprintf(stderr, "vestrion-run: could not build the policy\n");
    vestrion_policy_free(policy);
    remove_writable_dir(dir);
    return status;
}
