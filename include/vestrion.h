/* vestrion: run commands in a sandbox that the kernel confines.
 *
 * Every object is an opaque handle made by the functions named for it and released by its own
 * free function (each ignores NULL). Failures are reported only as NULL or -1, never by ending
 * the caller. Input strings are NUL-terminated UTF-8; text that is not valid UTF-8 is taken as
 * "". Strings returned by this interface belong to the caller, who releases them with
 * vestrion_string_free.
 *
 * Who owns what (a call that only reads a handle leaves it the caller's):
 *   handle                     made by                          released by
 *   vestrion_policy_builder_t  vestrion_policy_builder_new      each setter and the build consume it
 *                                                               (and return the next); or _free
 *   vestrion_policy_t          vestrion_policy_build            vestrion_policy_free; calls borrow it
 *   vestrion_handle_t          vestrion_spawn                   vestrion_handle_free
 *   vestrion_result_t          vestrion_run, vestrion_handle_wait(_timeout), vestrion_reduce,
 *                              vestrion_pipeline_run            vestrion_result_free
 *   vestrion_dry_run_result_t  vestrion_dry_run                 vestrion_dry_run_result_free
 *   vestrion_sandbox_t         vestrion_new_with_fns            vestrion_sandbox_free
 *   vestrion_fork_result_t     vestrion_fork                    vestrion_fork_result_free, or
 *                                                               consumed by vestrion_reduce
 *   vestrion_pipeline_t        vestrion_pipeline_new            vestrion_pipeline_free, or
 *                                                               consumed by vestrion_pipeline_run
 *   vestrion_checkpoint_t      vestrion_handle_checkpoint,      vestrion_checkpoint_free
 *                              vestrion_checkpoint_load
 *   vestrion_ctx_t             the library, for one callback    nobody: valid during that call
 *   char* text                 *_stdout, *_stderr, *_path,      vestrion_string_free
 *                              vestrion_checkpoint_name
 *   const uint8_t* views       *_bytes, *_app_state             their owner's free ends them
 *
 * What every command gets, whatever the policy:
 *  - its own process group, no-new-privileges, a Landlock ruleset that grants no file until
 *    fs_read or fs_write names it (the command needs at least its program and libraries
 *    readable: /usr, /lib...), and a seccomp filter;
 *  - the caller's standard input. When that is a terminal, the command's process group takes the
 *    terminal's foreground while it runs, so Ctrl-C reaches the command and not the caller; the
 *    caller gets the foreground back when the command ends;
 *  - the caller's environment, unless clean_env is set, plus the env_var entries;
 *  - without isolate_signals it can signal every process of the caller's user, the caller
 *    itself included ("kill $PPID" ends it); without isolate_ipc it can reach abstract Unix
 *    sockets outside the sandbox. Set both for a command you do not trust.
 *
 * Threads: a builder, a handle and a result belong to one thread at a time. A built policy is
 * read-only: any number of threads may pass the same policy to calls at the same time, and free
 * it once those calls have returned (running sandboxes keep their own copies). Distinct calls on
 * distinct handles may run at the same time on different threads.
 *
 * A command that cannot be confined (a path of the policy that does not exist, a feature this
 * build or the kernel lacks) makes the call fail; its reason is the line beginning with
 * "vestrion child: " that it writes to its standard error, which only vestrion_run_interactive
 * shows (on the caller's standard error). */
#ifndef VESTRION_H
#define VESTRION_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* No function of this interface throws into its caller. */
#ifdef __cplusplus
#define VESTRION_NOEXCEPT noexcept
#else
#define VESTRION_NOEXCEPT
#endif

#if defined(__GNUC__)
#define VESTRION_API __attribute__((visibility("default")))
#else
#define VESTRION_API
#endif

typedef struct vestrion_policy_builder vestrion_policy_builder_t;
typedef struct vestrion_policy vestrion_policy_t;
typedef struct vestrion_result vestrion_result_t;
typedef struct vestrion_handle vestrion_handle_t;
typedef struct vestrion_ctx vestrion_ctx_t;

/* ---- The policy callback's event: one system call the supervisor answered. The record, and
 * every string and array it points at, belong to the library and are valid only until the
 * callback returns; copy what you keep. 64 bytes, natural x86-64 alignment. */
typedef struct vestrion_event {
    const char* syscall;     /* name of the call ("openat", "connect"...; "unknown"), never NULL */
    uint8_t category;        /* VESTRION_CATEGORY_* */
    uint32_t pid;            /* the notifying thread */
    uint32_t ppid;           /* its parent; 0 when it could not be read */
    const char* path;        /* path argument of an open or exec, or NULL */
    const char* host;        /* destination or bind address as text ("10.0.0.1", "::1"), or NULL */
    uint16_t port;           /* its port in host byte order; 0 when absent */
    uint8_t denied;          /* 1 when the supervisor's own answer is an error */
    const char* const* argv; /* argument list of an exec, argc strings, or NULL */
    uint32_t argc;           /* 0 when argv is NULL */
} vestrion_event_t;

#define VESTRION_CATEGORY_FILE 0
#define VESTRION_CATEGORY_NETWORK 1
#define VESTRION_CATEGORY_PROCESS 2
#define VESTRION_CATEGORY_MEMORY 3

/* What the callback returns. For the calls the supervisor waits on (open, creat, openat,
 * openat2, execve, execveat, connect, bind, sendto, sendmsg, sendmmsg) the verdict decides: 0
 * (and anything below -2) lets the supervisor's own answer stand, -1 fails the call with EPERM,
 * -2 defers to the supervisor's answer, n above 0 fails it with error n (above 4095: EPERM).
 * Other calls are only reported: the verdict has no effect. */
#define VESTRION_ALLOW 0
#define VESTRION_DENY (-1)
#define VESTRION_DEFER (-2)

/* The callback. It runs on a thread of the library's own, named "vestrion-policy" (Linux keeps
 * 15 bytes of a thread name), one event at a time per sandbox; one function serving several
 * sandboxes is called concurrently from their threads. The supervisor waits for its verdict at
 * most 5 seconds; after a verdict that came too late it waits no more until the callback has
 * returned from that call, and once the run has returned the callback is not called again.
 * Events nobody waits on are dropped when too many are queued for a slow callback. ctx is
 * valid only during the call that received it. */
typedef int (*vestrion_policy_fn_t)(const vestrion_event_t* event, vestrion_ctx_t* ctx);

/* ---- Policy builder. Every setter consumes the builder it is given and returns the one to go on
 * with; a NULL builder gives NULL, a NULL string or array argument returns the builder unchanged.
 * Setters marked "not served yet" are kept in the policy, but a spawn of a policy that uses them
 * fails: their supervisor part is not in this build. */

/* A new builder, owned by the caller until passed to a setter, the build or the free. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_new(void) VESTRION_NOEXCEPT;
/* Releases a builder that will not be built; NULL is ignored. */
VESTRION_API void vestrion_policy_builder_free(vestrion_policy_builder_t* b) VESTRION_NOEXCEPT;

/* The command may read, write, create, remove and execute files beneath this path (a directory
 * grants its whole tree). The path must exist when the sandbox starts. Appended. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_fs_write(vestrion_policy_builder_t* b, const char* path) VESTRION_NOEXCEPT;
/* The command may read files, list directories and execute programs beneath this path, and
 * change nothing there. The path must exist when the sandbox starts. Appended. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_fs_read(vestrion_policy_builder_t* b, const char* path) VESTRION_NOEXCEPT;
/* Kept in the policy, but nothing enforces it: a path is denied by not granting it. Appended. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_fs_deny(vestrion_policy_builder_t* b, const char* path) VESTRION_NOEXCEPT;
/* A copy-on-write view of this directory: the command's writes there go to a private branch,
 * and the directory changes only when the sandbox ends, as on_exit and on_error say. fs_write
 * entries on or inside it are cut to read and execute meanwhile. Programs run, directories
 * entered and getcwd see the view; a directory the path already has cannot be renamed as a
 * whole (EXDEV); README.md lists the forms served with an error instead. A path that is
 * missing, not a directory, or a symbolic link makes the run or spawn fail. Replaced. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_workdir(vestrion_policy_builder_t* b, const char* path) VESTRION_NOEXCEPT;
/* The command's working directory; it must exist. Grants no access to it. Replaced. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_cwd(vestrion_policy_builder_t* b, const char* path) VESTRION_NOEXCEPT;
/* The command sees this directory as its root: every path it
 * names is resolved beneath it, and fs_read and fs_write name paths inside it (the README's "A
 * virtual root" says what it does not change). Cannot be combined with a workdir. Replaced. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_chroot(vestrion_policy_builder_t* b, const char* path) VESTRION_NOEXCEPT;
/* The command may connect and send only to this host's addresses (and to 127.0.0.1 and ::1),
 * resolved when the sandbox is spawned; other IP destinations get ECONNREFUSED. Ports are left
 * to net_connect_port. Appended. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_net_allow_host(vestrion_policy_builder_t* b, const char* host) VESTRION_NOEXCEPT;
/* The host name the command sees through uname (its first 64 bytes) and /etc/hostname; the
 * host's own is left alone. Invalid UTF-8 becomes U+FFFD. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_hostname(vestrion_policy_builder_t* b, const char* name) VESTRION_NOEXCEPT;
/* These system calls fail with EPERM. Comma-separated names, blanks trimmed, empty pieces
 * dropped; the list replaces the default deny list (mount, unshare, ptrace, bpf, keyctl and
 * the like), so name those again to keep them denied. io_uring is always denied: its operations
 * would get around the supervisor's rules. The build fails on a name the filter cannot deny
 * (a misspelt or unknown one). */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_deny_syscalls(vestrion_policy_builder_t* b, const char* names) VESTRION_NOEXCEPT;
/* Means "apply no default deny list": the names themselves are not used, and nothing else is
 * allowed by them. The build fails when deny_syscalls is set too. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_allow_syscalls(vestrion_policy_builder_t* b, const char* names) VESTRION_NOEXCEPT;
/* Sets one variable of the command's environment; an existing key gets the new value. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_env_var(vestrion_policy_builder_t* b, const char* key, const char* value) VESTRION_NOEXCEPT;
/* Pins the command to these CPU cores: a copy of n values (cores is not read when n is 0; an
 * empty list leaves the affinity alone). Cores the machine lacks are ignored; a spawn fails
 * when none of the list is left, or when a core is 1024 or above. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_cpu_cores(vestrion_policy_builder_t* b, const uint32_t* cores, uint32_t n) VESTRION_NOEXCEPT;
/* TCP ports the command may bind, and connect to. Once either setter names a port, TCP bind
 * and connect are limited to the ports named; with none, TCP is not limited. UDP and Unix
 * sockets are not affected. Appended. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_net_bind_port(vestrion_policy_builder_t* b, uint16_t port) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_net_connect_port(vestrion_policy_builder_t* b, uint16_t port) VESTRION_NOEXCEPT;
/* A memory budget for the whole sandbox; a call that would exceed it kills the sandbox. It is
 * an estimate that stops runaway programs, not an accounting: it counts the anonymous memory a
 * process maps (private and shared), its heap and System V segments as asked for. It does not
 * see file-backed memory (memfd, shm_open, files on tmpfs) nor memory made accessible later by
 * mprotect, and shared memory is not credited back when unmapped. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_max_memory(vestrion_policy_builder_t* b, uint64_t bytes) VESTRION_NOEXCEPT;
/* How many processes (threads are not counted) the command and its descendants may start over
 * the whole run; 64 when not set. A fork beyond it fails with EAGAIN. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_max_processes(vestrion_policy_builder_t* b, uint32_t n) VESTRION_NOEXCEPT;
/* Kept in the policy, but nothing enforces it. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_max_open_files(vestrion_policy_builder_t* b, uint32_t n) VESTRION_NOEXCEPT;
/* The command's process group runs only this many milliseconds of every 100 (it is stopped and
 * continued); 100 or unset: no limit. The build refuses 0 and values above 100. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_max_cpu(vestrion_policy_builder_t* b, uint8_t percent) VESTRION_NOEXCEPT;
/* The number of CPUs the command sees through sched_getaffinity (nproc) and /proc/cpuinfo;
 * where it runs is left alone (cpu_cores), and sysconf(_SC_NPROCESSORS_ONLN) shows the host's. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_num_cpus(vestrion_policy_builder_t* b, uint32_t n) VESTRION_NOEXCEPT;
/* Random numbers the command gets come from this seed: getrandom, the vDSO's getrandom, and
 * reads of /dev/random and /dev/urandom opened by those exact names (never ending). The same
 * seed gives the same bytes to the same sequence of requests. Not covered: the 16 bytes the
 * kernel gives each exec (AT_RANDOM, which seeds Go's runtime), the RDRAND and RDSEED
 * instructions, and the address layout unless no_randomize_memory is set. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_random_seed(vestrion_policy_builder_t* b, uint64_t seed) VESTRION_NOEXCEPT;
/* The realtime clock the command sees starts this many seconds after the Unix epoch:
 * clock_gettime, gettimeofday and time through the vDSO, and absolute sleeps and timers on that
 * clock. Other clocks (CLOCK_MONOTONIC) are the host's. A program that makes the clock_gettime
 * system call itself, not through the vDSO, reads the host's time; after timer_settime with an
 * absolute time the child's own record holds the host's time. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_time_start(vestrion_policy_builder_t* b, uint64_t seconds) VESTRION_NOEXCEPT;
/* What becomes of the workdir view when the command succeeds (on_exit) or fails (on_error):
 * 1 abort, 2 keep, anything else commit. No effect without workdir. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_on_exit(vestrion_policy_builder_t* b, uint8_t action) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_on_error(vestrion_policy_builder_t* b, uint8_t action) VESTRION_NOEXCEPT;
/* On unless set false: raw and packet sockets are refused (EPERM). */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_no_raw_sockets(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
/* UDP sockets of IPv4 and IPv6 are refused (EPERM); name lookups over UDP then fail. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_no_udp(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
/* The command cannot reach abstract Unix sockets made outside the sandbox. Without it, it can
 * (a desktop session's, for example): recommended for untrusted commands. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_isolate_ipc(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
/* The command cannot signal processes outside the sandbox. Without it, it can signal every
 * process of the caller's user, the caller itself included ("kill $PPID" ends it):
 * recommended for untrusted commands. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_isolate_signals(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
/* A listing of /proc shows only the sandbox's own processes. It hides the others, it does not
 * keep the command from reaching one by its number. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_isolate_pids(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
/* Address-space layout randomisation off for the command, so that its addresses repeat. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_no_randomize_memory(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
/* Transparent huge pages off for the command; the caller's are left alone. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_no_huge_pages(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
/* Directory listings come sorted by the bytes of their names, without "." and "..". */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_deterministic_dirs(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
/* The command starts with no environment but the env_var entries, instead of the caller's. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_clean_env(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
/* On unless set false: the command inherits no descriptor of the caller but its standard
 * input, output and error. Off, it inherits every descriptor not marked close-on-exec. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_close_fds(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
/* A TCP or UDP port the command binds that the host already holds is moved to one the kernel
 * chooses; getsockname shows the command the port it asked for. The command's own port rules
 * still apply. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_port_remap(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
/* The command runs as root of a user namespace of its own (the caller's user outside it); it
 * gains no privilege over the host. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_privileged(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;

/* A C callback told of every system call the supervisor answers, which may veto the calls it
 * waits on and narrow the sandbox through the vestrion_ctx_* functions (see vestrion_policy_fn_t).
 * It replaces an earlier callback; a NULL fn returns the builder unchanged. Every copy of the
 * policy shares it. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_policy_fn(vestrion_policy_builder_t* b, vestrion_policy_fn_t fn) VESTRION_NOEXCEPT;

/* Consumes the builder (also on failure) and returns a new policy, or NULL; *err_out (if not
 * NULL) gets 0 on success and -1 on failure. */
VESTRION_API vestrion_policy_t* vestrion_policy_build(vestrion_policy_builder_t* b, int* err_out) VESTRION_NOEXCEPT;
/* Releases a policy; sandboxes made from it keep their own copies. NULL is ignored. */
VESTRION_API void vestrion_policy_free(vestrion_policy_t* p) VESTRION_NOEXCEPT;

/* ---- Running commands. The policy is only borrowed. argv holds argc non-NULL strings; a NULL
 * argv, or a NULL among its argc entries, makes the call fail without starting anything. */

/* Runs the command with its output captured; a new result, or NULL. The whole output is kept
 * in the caller's memory until the result is freed (3 GB printed is 3 GB held): for output
 * without bound use vestrion_run_interactive. NULL (and -1 below) also when the workdir view
 * could not be committed or discarded at the end: the branch is then kept on disk. */
VESTRION_API vestrion_result_t* vestrion_run(const vestrion_policy_t* policy, const char* const* argv, uint32_t argc) VESTRION_NOEXCEPT;
/* Runs the command on the caller's standard output and error, nothing captured; its exit
 * code, or -1 (also when a signal, a kill or a limit ended it). */
VESTRION_API int vestrion_run_interactive(const vestrion_policy_t* policy, const char* const* argv, uint32_t argc) VESTRION_NOEXCEPT;
/* Starts the command with its output captured (held in memory, as vestrion_run does); a new
 * handle of the running sandbox, or NULL. */
VESTRION_API vestrion_handle_t* vestrion_spawn(const vestrion_policy_t* policy, const char* const* argv, uint32_t argc) VESTRION_NOEXCEPT;
/* Waits for the sandbox, then commits, discards or keeps the workdir view as on_exit and
 * on_error say; a new result, or NULL (also when that commit or discard failed: the branch is
 * then kept on disk). The handle stays the caller's. */
VESTRION_API vestrion_result_t* vestrion_handle_wait(vestrion_handle_t* h) VESTRION_NOEXCEPT;
/* As vestrion_handle_wait with a limit in milliseconds (0: none). On expiry the sandbox is
 * killed and the new result says Timeout; a later wait reports the killed child. */
VESTRION_API vestrion_result_t* vestrion_handle_wait_timeout(vestrion_handle_t* h, uint64_t ms) VESTRION_NOEXCEPT;
/* The child's pid, or 0. */
VESTRION_API int vestrion_handle_pid(const vestrion_handle_t* h) VESTRION_NOEXCEPT;
/* Kills a sandbox that still runs, reaps it and releases the handle, finishing a workdir view
 * no wait has finished (a failure there is not reported; the branch stays on disk); NULL is
 * ignored. */
VESTRION_API void vestrion_handle_free(vestrion_handle_t* h) VESTRION_NOEXCEPT;

/* ---- Checkpoints: a snapshot of the first process of a spawned sandbox (its registers, its
 * private writable memory, its open descriptors, its working directory and executable) with a
 * copy of the policy, a name and bytes of the caller's own. It can be saved to a directory and
 * loaded back; nothing restores a process from it. Taking one needs the right to trace the
 * command: Yama's ptrace_scope 0 or 1, or CAP_SYS_PTRACE; it fails while a debugger is attached.
 * A checkpoint does not depend on the handle it was taken from, and belongs to one thread at a
 * time. */

typedef struct vestrion_checkpoint vestrion_checkpoint_t;

/* Stops every process of the sandbox, captures its first one and lets them all run on; waits up
 * to 5 s for a command that has not started yet. A new checkpoint owned by the caller until
 * vestrion_checkpoint_free, or NULL (h NULL, the sandbox has ended, tracing is refused, more
 * than 4 GiB of writable memory, or a thread of the command waits in a call the supervisor is
 * still serving for 7 s). The handle stays the caller's; do not use it from another thread
 * meanwhile. */
VESTRION_API vestrion_checkpoint_t* vestrion_handle_checkpoint(vestrion_handle_t* h) VESTRION_NOEXCEPT;
/* Writes the checkpoint to the directory dir: 0, or -1 (NULL argument, a failed write, or a dir
 * that holds anything but an earlier checkpoint). dir is replaced as one step once everything
 * is on disk; it is never left half-written. cp is only read. */
VESTRION_API int vestrion_checkpoint_save(const vestrion_checkpoint_t* cp, const char* dir) VESTRION_NOEXCEPT;
/* Reads the checkpoint saved in dir: a new checkpoint owned by the caller until
 * vestrion_checkpoint_free, or NULL (dir NULL, missing, or not a whole checkpoint; links inside
 * it are not followed). */
VESTRION_API vestrion_checkpoint_t* vestrion_checkpoint_load(const char* dir) VESTRION_NOEXCEPT;
/* The name ("" for a fresh checkpoint) as a new string, released with vestrion_string_free;
 * NULL for a NULL cp or a name holding a NUL byte. */
VESTRION_API char* vestrion_checkpoint_name(const vestrion_checkpoint_t* cp) VESTRION_NOEXCEPT;
/* The name becomes a copy of name (text that is not UTF-8 becomes ""); cp or name NULL:
 * nothing. */
VESTRION_API void vestrion_checkpoint_set_name(vestrion_checkpoint_t* cp, const char* name) VESTRION_NOEXCEPT;
/* A view of the caller's bytes, valid until cp is freed or its bytes replaced, and *len their
 * count; NULL with *len 0 when none are stored; NULL without writing *len when cp or len is
 * NULL. */
VESTRION_API const uint8_t* vestrion_checkpoint_app_state(const vestrion_checkpoint_t* cp, size_t* len) VESTRION_NOEXCEPT;
/* Stores a copy of the len bytes (the caller keeps its buffer); data NULL or len 0 removes them;
 * cp NULL: nothing. */
VESTRION_API void vestrion_checkpoint_set_app_state(vestrion_checkpoint_t* cp, const uint8_t* data, size_t len) VESTRION_NOEXCEPT;
/* Releases a checkpoint and ends its views; NULL is ignored. */
VESTRION_API void vestrion_checkpoint_free(vestrion_checkpoint_t* cp) VESTRION_NOEXCEPT;

/* Confines the calling thread (and what it starts later) with no-new-privileges and the
 * policy's Landlock rules, for good: 0, or -1. */
VESTRION_API int vestrion_confine(const vestrion_policy_t* policy) VESTRION_NOEXCEPT;
/* The kernel's Landlock ABI version, or -1. */
VESTRION_API int vestrion_landlock_abi_version(void) VESTRION_NOEXCEPT;
/* The lowest Landlock ABI version vestrion accepts: 6. */
VESTRION_API int vestrion_min_landlock_abi(void) VESTRION_NOEXCEPT;

/* ---- Fan-out: one confined template process runs init once, then forks n clones of itself;
 * clone i runs work(i) with the environment variable CLONE_ID set to i. Every clone starts with
 * what init built. A clone's standard output is kept for vestrion_reduce, whatever its size; its
 * standard error is the caller's. init and work run only in those processes, never in the caller.
 *
 * The template confines itself before init: no-new-privileges, the policy's Landlock rules, no
 * capability (whatever privileged says) and the policy's deny list and argument checks. It has
 * no supervisor, so setsid, setpgid and the calls that change file metadata are refused, every
 * process of the fan-out stays in the template's process group, and a policy that needs the
 * supervisor (max_memory, net_allow_hosts, workdir, a policy callback, the views, port_remap,
 * random_seed, time_start) fails the fork. No
 * namespace, cwd, env, resource or CPU setting of the policy applies. The template is a copy of
 * the caller: init and work see every descriptor the caller holds, close-on-exec or not. When
 * vestrion_fork returns, every clone has ended and whatever they started has been killed. */

typedef struct vestrion_sandbox vestrion_sandbox_t;
typedef struct vestrion_fork_result vestrion_fork_result_t;

/* A new template holding init and work (neither may be NULL), owned by the caller until
 * vestrion_sandbox_free; the policy is only borrowed (copied). Nothing runs yet; NULL on bad
 * input. */
VESTRION_API vestrion_sandbox_t* vestrion_new_with_fns(const vestrion_policy_t* policy, void (*init)(void), void (*work)(uint32_t)) VESTRION_NOEXCEPT;
/* Forks the template, which runs init once and then n clones (at most the policy's
 * max_processes); waits until they have all ended. A new fork result, owned by the caller until
 * vestrion_fork_result_free or vestrion_reduce, or NULL. s stays the caller's but is used up:
 * a second fork of it gives NULL. A template that cannot confine itself writes one
 * "vestrion child: " line to standard error and gives NULL; init has not run then. */
VESTRION_API vestrion_fork_result_t* vestrion_fork(vestrion_sandbox_t* s, uint32_t n) VESTRION_NOEXCEPT;
/* The number of clones made (a clone that could not be forked is left out); 0 for NULL. */
VESTRION_API uint32_t vestrion_fork_result_count(const vestrion_fork_result_t* r) VESTRION_NOEXCEPT;
/* The pid clone i had (it has ended), or 0 when r is NULL or i is not below the count. */
VESTRION_API int vestrion_fork_result_pid(const vestrion_fork_result_t* r, uint32_t i) VESTRION_NOEXCEPT;
/* Releases a fork result with the clones' kept output; NULL is ignored. */
VESTRION_API void vestrion_fork_result_free(vestrion_fork_result_t* r) VESTRION_NOEXCEPT;
/* Runs argv under the policy (borrowed) with the clones' output, in clone order, as its standard
 * input; a new result of that command, or NULL. Consumes clones whenever clones, policy and argv
 * are all non-NULL, also when it fails: do not use or free it afterwards. With any of the three
 * NULL it returns NULL and clones stays the caller's. */
VESTRION_API vestrion_result_t* vestrion_reduce(vestrion_fork_result_t* clones, const vestrion_policy_t* policy, const char* const* argv, uint32_t argc) VESTRION_NOEXCEPT;
/* The template's exit code once forked (0 when it ran to its end); -1 before the fork, for a
 * template ended by a signal, and for NULL. s stays the caller's. */
VESTRION_API int vestrion_wait(vestrion_sandbox_t* s) VESTRION_NOEXCEPT;
/* Releases a template; NULL is ignored. */
VESTRION_API void vestrion_sandbox_free(vestrion_sandbox_t* s) VESTRION_NOEXCEPT;

/* ---- Dry runs: the command runs as vestrion_run would run it, but what it wrote under the
 * policy's workdir is listed and then discarded, never committed. Only writes under the workdir
 * are discarded: other fs_write paths change for real, and without a workdir nothing is
 * discarded (the change list is empty). With the outside branching filesystem the list is always
 * empty. */

typedef struct vestrion_dry_run_result vestrion_dry_run_result_t;

/* Runs argv under the policy (borrowed; its on_exit and on_error stay as they are) with output
 * captured. A new result, owned by the caller until vestrion_dry_run_result_free, or NULL when
 * policy or argv is NULL, the command cannot be started, or the changes cannot be listed. The
 * command's own failure (an exit code, a signal) is reported in the result. */
VESTRION_API vestrion_dry_run_result_t* vestrion_dry_run(const vestrion_policy_t* policy, const char* const* argv, uint32_t argc) VESTRION_NOEXCEPT;
/* True only for a normal exit with code 0; false for NULL. */
VESTRION_API bool vestrion_dry_run_result_success(const vestrion_dry_run_result_t* r) VESTRION_NOEXCEPT;
/* The exit code of a normal exit; -1 otherwise and for NULL. */
VESTRION_API int vestrion_dry_run_result_exit_code(const vestrion_dry_run_result_t* r) VESTRION_NOEXCEPT;
/* A view of the captured standard output / error, owned by r (valid until it is freed), and its
 * length in *len; NULL and *len 0 when nothing was captured; NULL with *len untouched when r or
 * len is NULL. */
VESTRION_API const uint8_t* vestrion_dry_run_result_stdout_bytes(const vestrion_dry_run_result_t* r, size_t* len) VESTRION_NOEXCEPT;
VESTRION_API const uint8_t* vestrion_dry_run_result_stderr_bytes(const vestrion_dry_run_result_t* r, size_t* len) VESTRION_NOEXCEPT;
/* The number of changes; 0 for NULL. */
VESTRION_API size_t vestrion_dry_run_result_changes_len(const vestrion_dry_run_result_t* r) VESTRION_NOEXCEPT;
/* The kind of change i: 'A' added, 'M' modified, 'D' deleted; 0 when r is NULL or i is not
 * below the number of changes. */
VESTRION_API char vestrion_dry_run_result_change_kind(const vestrion_dry_run_result_t* r, size_t i) VESTRION_NOEXCEPT;
/* The path of change i relative to the workdir, as text (invalid UTF-8 replaced by U+FFFD): a
 * new string owned by the caller, released with vestrion_string_free; NULL when r is NULL or i
 * is out of range. */
VESTRION_API char* vestrion_dry_run_result_change_path(const vestrion_dry_run_result_t* r, size_t i) VESTRION_NOEXCEPT;
/* Releases a result with its changes and captured bytes; NULL is ignored. */
VESTRION_API void vestrion_dry_run_result_free(vestrion_dry_run_result_t* r) VESTRION_NOEXCEPT;

/* ---- Pipelines: commands run each in a sandbox of its own, under its own policy, the standard
 * output of each feeding the standard input of the next. The first reads the caller's standard
 * input; the standard error of all but the last is the caller's. */

typedef struct vestrion_pipeline vestrion_pipeline_t;

/* A new, empty pipeline, owned by the caller until vestrion_pipeline_run or
 * vestrion_pipeline_free. */
VESTRION_API vestrion_pipeline_t* vestrion_pipeline_new(void) VESTRION_NOEXCEPT;
/* Appends a stage: a copy of the policy (which is only borrowed) and of argv. With pl, policy
 * or argv NULL nothing is added; a NULL among the argc entries of argv makes the later run give
 * NULL. */
VESTRION_API void vestrion_pipeline_add_stage(vestrion_pipeline_t* pl, const vestrion_policy_t* policy, const char* const* argv, uint32_t argc) VESTRION_NOEXCEPT;
/* Runs the stages and waits for them all, for at most timeout_ms milliseconds (0: no limit).
 * A new result with the last stage's status, standard output and standard error (kept in memory
 * whatever their size), or NULL; fewer than two stages give NULL. On expiry every stage is killed
 * with what it started, and the result says Timeout and holds no output. Consumes pl whatever
 * the outcome (unless it is NULL): do not use or free it afterwards. */
VESTRION_API vestrion_result_t* vestrion_pipeline_run(vestrion_pipeline_t* pl, uint64_t timeout_ms) VESTRION_NOEXCEPT;
/* Releases a pipeline that was not run, with its stages; NULL is ignored. */
VESTRION_API void vestrion_pipeline_free(vestrion_pipeline_t* pl) VESTRION_NOEXCEPT;

/* ---- Called from a policy callback, with the ctx it received; a NULL ctx does nothing. Strings
 * and arrays are only read during the call. Addresses are IPv4 in dotted decimal or IPv6 in
 * standard text (no port, brackets or zone); entries that do not parse, are NULL or are not
 * UTF-8 are skipped, n 0 gives an empty list, a NULL ips with n above 0 does nothing. */

/* Opens of the path and of everything below it are refused again / no longer (exactly that
 * entry). A denied path stops a careless command, not a hostile one. NULL path: nothing. */
VESTRION_API void vestrion_ctx_allow_path(vestrion_ctx_t* ctx, const char* path) VESTRION_NOEXCEPT;
VESTRION_API void vestrion_ctx_deny_path(vestrion_ctx_t* ctx, const char* path) VESTRION_NOEXCEPT;
/* Puts back addresses of the set the sandbox started with; nothing after a restriction. */
VESTRION_API void vestrion_ctx_grant_network(vestrion_ctx_t* ctx, const char* const* ips, uint32_t n) VESTRION_NOEXCEPT;
/* From now on the sandbox reaches exactly these IP addresses; n 0: none at all. */
VESTRION_API void vestrion_ctx_restrict_network(vestrion_ctx_t* ctx, const char* const* ips, uint32_t n) VESTRION_NOEXCEPT;
/* The process of thread pid, and every process it starts, reaches only these addresses
 * (n 0: none). */
VESTRION_API void vestrion_ctx_restrict_pid_network(vestrion_ctx_t* ctx, int pid, const char* const* ips, uint32_t n) VESTRION_NOEXCEPT;
/* Lowers the memory budget; no effect when the policy sets no max_memory (the memory calls are
 * not watched then). */
VESTRION_API void vestrion_ctx_restrict_max_memory(vestrion_ctx_t* ctx, uint64_t bytes) VESTRION_NOEXCEPT;
/* Lowers the process budget; 0: no more processes. */
VESTRION_API void vestrion_ctx_restrict_max_processes(vestrion_ctx_t* ctx, uint32_t n) VESTRION_NOEXCEPT;

/* ---- Results. r is only read; it stays the caller's. */

/* The exit code of a normal exit; -1 for a signal, a kill, a timeout or a NULL result. */
VESTRION_API int vestrion_result_exit_code(const vestrion_result_t* r) VESTRION_NOEXCEPT;
/* True only for a normal exit with code 0. */
VESTRION_API bool vestrion_result_success(const vestrion_result_t* r) VESTRION_NOEXCEPT;
/* The captured output as a new string (invalid UTF-8 becomes U+FFFD); NULL when it was not
 * captured or holds a NUL byte. Release it with vestrion_string_free. */
VESTRION_API char* vestrion_result_stdout(const vestrion_result_t* r) VESTRION_NOEXCEPT;
VESTRION_API char* vestrion_result_stderr(const vestrion_result_t* r) VESTRION_NOEXCEPT;
/* A view of the captured bytes, valid until the result is freed; NULL with *len 0 when not
 * captured; NULL without writing *len when r or len is NULL. */
VESTRION_API const uint8_t* vestrion_result_stdout_bytes(const vestrion_result_t* r, size_t* len) VESTRION_NOEXCEPT;
VESTRION_API const uint8_t* vestrion_result_stderr_bytes(const vestrion_result_t* r, size_t* len) VESTRION_NOEXCEPT;
/* Releases a result and ends its views; NULL is ignored. */
VESTRION_API void vestrion_result_free(vestrion_result_t* r) VESTRION_NOEXCEPT;
/* Releases a string returned by this interface; NULL is ignored. */
VESTRION_API void vestrion_string_free(char* s) VESTRION_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* VESTRION_H */
