/* vestrion: run commands in a sandbox that the kernel confines.
 *
 * Every object is an opaque handle made by the functions named for it and released by its own
 * free function (each ignores NULL). Failures are reported only as NULL or -1. Input strings are
 * NUL-terminated UTF-8; text that is not valid UTF-8 is taken as "". Strings returned by this
 * interface belong to the caller, who releases them with vestrion_string_free. */
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

/* ---- Policy builder. Every setter consumes the builder it is given and returns the one to go on
 * with; a NULL builder gives NULL, a NULL string or array argument returns the builder unchanged. */

/* A new builder, owned by the caller until passed to a setter, the build or the free. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_new(void) VESTRION_NOEXCEPT;
/* Releases a builder that will not be built; NULL is ignored. */
VESTRION_API void vestrion_policy_builder_free(vestrion_policy_builder_t* b) VESTRION_NOEXCEPT;

/* Paths: appended (fs_write, fs_read, fs_deny) or replaced (workdir, cwd, chroot). */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_fs_write(vestrion_policy_builder_t* b, const char* path) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_fs_read(vestrion_policy_builder_t* b, const char* path) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_fs_deny(vestrion_policy_builder_t* b, const char* path) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_workdir(vestrion_policy_builder_t* b, const char* path) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_cwd(vestrion_policy_builder_t* b, const char* path) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_chroot(vestrion_policy_builder_t* b, const char* path) VESTRION_NOEXCEPT;
/* A host the command may reach, resolved when the sandbox is spawned. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_net_allow_host(vestrion_policy_builder_t* b, const char* host) VESTRION_NOEXCEPT;
/* The host name the command sees; invalid UTF-8 becomes U+FFFD. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_hostname(vestrion_policy_builder_t* b, const char* name) VESTRION_NOEXCEPT;
/* Comma-separated system-call names, blanks trimmed, empty pieces dropped; replaces the list. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_deny_syscalls(vestrion_policy_builder_t* b, const char* names) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_allow_syscalls(vestrion_policy_builder_t* b, const char* names) VESTRION_NOEXCEPT;
/* One environment variable of the command; an existing key gets the new value. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_env_var(vestrion_policy_builder_t* b, const char* key, const char* value) VESTRION_NOEXCEPT;
/* The cores the command is pinned to: a copy of n values (cores is not read when n is 0). */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_cpu_cores(vestrion_policy_builder_t* b, const uint32_t* cores, uint32_t n) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_net_bind_port(vestrion_policy_builder_t* b, uint16_t port) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_net_connect_port(vestrion_policy_builder_t* b, uint16_t port) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_max_memory(vestrion_policy_builder_t* b, uint64_t bytes) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_max_processes(vestrion_policy_builder_t* b, uint32_t n) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_max_open_files(vestrion_policy_builder_t* b, uint32_t n) VESTRION_NOEXCEPT;
/* CPU share in percent; the build refuses 0 and values above 100. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_max_cpu(vestrion_policy_builder_t* b, uint8_t percent) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_num_cpus(vestrion_policy_builder_t* b, uint32_t n) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_random_seed(vestrion_policy_builder_t* b, uint64_t seed) VESTRION_NOEXCEPT;
/* The clock the command sees starts this many seconds after the Unix epoch. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_time_start(vestrion_policy_builder_t* b, uint64_t seconds) VESTRION_NOEXCEPT;
/* Branch actions: 1 abort, 2 keep, anything else commit. */
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_on_exit(vestrion_policy_builder_t* b, uint8_t action) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_on_error(vestrion_policy_builder_t* b, uint8_t action) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_no_raw_sockets(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_no_udp(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_isolate_ipc(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_isolate_signals(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_isolate_pids(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_no_randomize_memory(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_no_huge_pages(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_deterministic_dirs(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_clean_env(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_close_fds(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_port_remap(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;
VESTRION_API vestrion_policy_builder_t* vestrion_policy_builder_privileged(vestrion_policy_builder_t* b, bool v) VESTRION_NOEXCEPT;

/* Consumes the builder (also on failure) and returns a new policy, or NULL; *err_out (if not
 * NULL) gets 0 on success and -1 on failure. */
VESTRION_API vestrion_policy_t* vestrion_policy_build(vestrion_policy_builder_t* b, int* err_out) VESTRION_NOEXCEPT;
/* Releases a policy; sandboxes made from it keep their own copies. NULL is ignored. */
VESTRION_API void vestrion_policy_free(vestrion_policy_t* p) VESTRION_NOEXCEPT;

/* ---- Running commands. The policy is only borrowed. argv holds argc non-NULL strings. */

/* Runs the command with its output captured; a new result, or NULL. */
VESTRION_API vestrion_result_t* vestrion_run(const vestrion_policy_t* policy, const char* const* argv, uint32_t argc) VESTRION_NOEXCEPT;
/* Runs the command on the caller's terminal; its exit code, or -1 (also for a signal). */
VESTRION_API int vestrion_run_interactive(const vestrion_policy_t* policy, const char* const* argv, uint32_t argc) VESTRION_NOEXCEPT;
/* Starts the command with its output captured; a new handle of the running sandbox, or NULL. */
VESTRION_API vestrion_handle_t* vestrion_spawn(const vestrion_policy_t* policy, const char* const* argv, uint32_t argc) VESTRION_NOEXCEPT;
/* Waits for the sandbox; a new result, or NULL. The handle stays the caller's. */
VESTRION_API vestrion_result_t* vestrion_handle_wait(vestrion_handle_t* h) VESTRION_NOEXCEPT;
/* As vestrion_handle_wait with a limit in milliseconds (0: none). On expiry the sandbox is
 * killed and the new result says Timeout; a later wait reports the killed child. */
VESTRION_API vestrion_result_t* vestrion_handle_wait_timeout(vestrion_handle_t* h, uint64_t ms) VESTRION_NOEXCEPT;
/* The child's pid, or 0. */
VESTRION_API int vestrion_handle_pid(const vestrion_handle_t* h) VESTRION_NOEXCEPT;
/* Kills a sandbox that still runs, reaps it and releases the handle; NULL is ignored. */
VESTRION_API void vestrion_handle_free(vestrion_handle_t* h) VESTRION_NOEXCEPT;

/* Confines the calling thread (and what it starts later) with no-new-privileges and the
 * policy's Landlock rules, for good: 0, or -1. */
VESTRION_API int vestrion_confine(const vestrion_policy_t* policy) VESTRION_NOEXCEPT;
/* The kernel's Landlock ABI version, or -1. */
VESTRION_API int vestrion_landlock_abi_version(void) VESTRION_NOEXCEPT;
/* The lowest Landlock ABI version vestrion accepts: 6. */
VESTRION_API int vestrion_min_landlock_abi(void) VESTRION_NOEXCEPT;

/* ---- Results. */

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
