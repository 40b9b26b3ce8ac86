/* Tests of the C interface, written in C against the public header. Each case is a function;
 * argv[1] names the case to run (CTest runs each on its own). */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vestrion.h"

static int failures = 0;

#define CHECK(cond)                                                            \
    do {                                                                       \
        if (!(cond)) {                                                         \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                        \
        }                                                                      \
    } while (0)

static vestrion_policy_t* readable_root(void) {
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    b = vestrion_policy_builder_fs_read(b, "/");
    int err = 1;
    vestrion_policy_t* p = vestrion_policy_build(b, &err);
    CHECK(p != NULL && err == 0);
    return p;
}

static int text_is(char* s, const char* expected) {
    int same = s != NULL && strcmp(s, expected) == 0;
    vestrion_string_free(s);
    return same;
}

static void echo_hi(void) {
    vestrion_policy_t* p = readable_root();
    const char* argv[] = {"echo", "hi"};
    vestrion_result_t* r = vestrion_run(p, argv, 2);
    CHECK(r != NULL);
    CHECK(vestrion_result_exit_code(r) == 0);
    CHECK(vestrion_result_success(r));
    CHECK(text_is(vestrion_result_stdout(r), "hi\n"));
    size_t len = 99;
    const uint8_t* bytes = vestrion_result_stdout_bytes(r, &len);
    CHECK(bytes != NULL && len == 3 && memcmp(bytes, "hi\n", 3) == 0);
    CHECK(vestrion_result_stdout_bytes(r, NULL) == NULL);
    vestrion_result_free(r);
    vestrion_policy_free(p);
}

static void output_with_nul_and_empty_output(void) {
    vestrion_policy_t* p = readable_root();
    const char* nul_argv[] = {"printf", "a\\000b"};
    vestrion_result_t* r = vestrion_run(p, nul_argv, 2);
    CHECK(r != NULL);
    CHECK(vestrion_result_stdout(r) == NULL);
    size_t len = 0;
    const uint8_t* bytes = vestrion_result_stdout_bytes(r, &len);
    CHECK(bytes != NULL && len == 3 && memcmp(bytes, "a\0b", 3) == 0);
    vestrion_result_free(r);

    const char* quiet_argv[] = {"true"};
    r = vestrion_run(p, quiet_argv, 1);
    CHECK(r != NULL);
    CHECK(text_is(vestrion_result_stdout(r), ""));
    CHECK(text_is(vestrion_result_stderr(r), ""));
    len = 99;
    CHECK(vestrion_result_stderr_bytes(r, &len) != NULL && len == 0);
    vestrion_result_free(r);
    vestrion_policy_free(p);
}

static void null_and_empty_arguments(void) {
    vestrion_policy_t* p = readable_root();
    const char* argv[] = {"true"};
    CHECK(vestrion_run(NULL, argv, 1) == NULL);
    CHECK(vestrion_run(p, NULL, 1) == NULL);
    CHECK(vestrion_run_interactive(NULL, argv, 1) == -1);
    CHECK(vestrion_run_interactive(p, NULL, 1) == -1);
    CHECK(vestrion_spawn(NULL, argv, 1) == NULL);
    CHECK(vestrion_spawn(p, NULL, 1) == NULL);
    CHECK(vestrion_run(p, argv, 0) == NULL);
    CHECK(vestrion_run_interactive(p, argv, 0) == -1);
    CHECK(vestrion_handle_wait(NULL) == NULL);
    CHECK(vestrion_handle_pid(NULL) == 0);
    CHECK(vestrion_result_exit_code(NULL) == -1);
    CHECK(!vestrion_result_success(NULL));
    CHECK(vestrion_result_stdout(NULL) == NULL);
    vestrion_handle_free(NULL);
    vestrion_result_free(NULL);
    vestrion_string_free(NULL);
    vestrion_policy_free(NULL);
    vestrion_policy_builder_free(NULL);
    CHECK(vestrion_confine(NULL) == -1);
    CHECK(vestrion_min_landlock_abi() == 6);
    CHECK(vestrion_landlock_abi_version() >= 6);
    vestrion_policy_free(p);
}

/* A NULL among argc entries refuses the call before anything starts, and the caller lives on. */
static void null_inside_argv_starts_nothing(void) {
    char dir[] = "/tmp/vestrion-ffi-XXXXXX";
    CHECK(mkdtemp(dir) != NULL);
    char mark[sizeof dir + 8];
    snprintf(mark, sizeof mark, "%s/mark", dir);
    vestrion_policy_builder_t* b = vestrion_policy_builder_fs_read(vestrion_policy_builder_new(), "/");
    vestrion_policy_t* p = vestrion_policy_build(vestrion_policy_builder_fs_write(b, dir), NULL);
    const char* argv[] = {"touch", mark, NULL, "unused"};
    CHECK(vestrion_run(p, argv, 4) == NULL);
    CHECK(vestrion_run_interactive(p, argv, 4) == -1);
    CHECK(vestrion_spawn(p, argv, 4) == NULL);
    const char* only_null[] = {NULL};
    CHECK(vestrion_run(p, only_null, 1) == NULL);
    CHECK(access(mark, F_OK) == -1);
    /* Within argc the same vector is fine. */
    vestrion_result_t* r = vestrion_run(p, argv, 2);
    CHECK(vestrion_result_success(r));
    CHECK(access(mark, F_OK) == 0);
    vestrion_result_free(r);
    vestrion_policy_free(p);
    unlink(mark);
    rmdir(dir);
}

static void invalid_utf8_argument_becomes_empty(void) {
    vestrion_policy_t* p = readable_root();
    const char* argv[] = {"sh", "-c", "printf '[%s][%s]' \"$1\" \"$2\"", "x", "\xff\xfe", "ok"};
    vestrion_result_t* r = vestrion_run(p, argv, 6);
    CHECK(r != NULL);
    CHECK(text_is(vestrion_result_stdout(r), "[][ok]"));
    vestrion_result_free(r);
    vestrion_policy_free(p);
}

static void timed_wait(void) {
    vestrion_policy_t* p = readable_root();
    const char* argv[] = {"sleep", "10"};
    vestrion_handle_t* h = vestrion_spawn(p, argv, 2);
    CHECK(h != NULL);
    CHECK(vestrion_handle_pid(h) > 0);
    vestrion_result_t* r = vestrion_handle_wait_timeout(h, 100);
    CHECK(r != NULL);
    CHECK(vestrion_result_exit_code(r) == -1);
    CHECK(!vestrion_result_success(r));
    CHECK(vestrion_result_stdout(r) == NULL);
    size_t len = 99;
    CHECK(vestrion_result_stdout_bytes(r, &len) == NULL && len == 0);
    vestrion_result_free(r);
    /* The later wait reaps the killed child and reports it. */
    r = vestrion_handle_wait(h);
    CHECK(r != NULL);
    CHECK(vestrion_result_exit_code(r) == -1);
    CHECK(!vestrion_result_success(r));
    vestrion_result_free(r);
    vestrion_handle_free(h);

    const char* echo[] = {"echo", "plain"};
    h = vestrion_spawn(p, echo, 2);
    r = vestrion_handle_wait_timeout(h, 0);
    CHECK(text_is(vestrion_result_stdout(r), "plain\n"));
    vestrion_result_free(r);
    vestrion_handle_free(h);
    vestrion_policy_free(p);
}

static void handles_outlive_their_policy_and_free_kills(void) {
    vestrion_policy_t* p = readable_root();
    const char* argv[] = {"sh", "-c", "sleep 0.2; echo done"};
    vestrion_handle_t* h = vestrion_spawn(p, argv, 3);
    vestrion_policy_free(p);
    CHECK(h != NULL);
    vestrion_result_t* r = vestrion_handle_wait(h);
    CHECK(text_is(vestrion_result_stdout(r), "done\n"));
    vestrion_result_free(r);
    vestrion_handle_free(h);

    p = readable_root();
    const char* sleeper[] = {"sleep", "100"};
    h = vestrion_spawn(p, sleeper, 2);
    int pid = vestrion_handle_pid(h);
    CHECK(pid > 0);
    vestrion_handle_free(h);
    errno = 0;
    CHECK(kill(pid, 0) == -1 && errno == ESRCH);
    vestrion_policy_free(p);
}

static void builder_chains_and_refusals(void) {
    int err = 0;
    vestrion_policy_builder_t* b = vestrion_policy_builder_fs_read(NULL, "/");
    CHECK(b == NULL);
    CHECK(vestrion_policy_builder_max_cpu(b, 50) == NULL);
    CHECK(vestrion_policy_build(NULL, &err) == NULL && err == -1);
    CHECK(vestrion_policy_build(NULL, NULL) == NULL);

    b = vestrion_policy_builder_new();
    CHECK(vestrion_policy_builder_fs_write(b, NULL) == b);
    CHECK(vestrion_policy_builder_env_var(b, "K", NULL) == b);
    CHECK(vestrion_policy_builder_cpu_cores(b, NULL, 2) == b);
    b = vestrion_policy_builder_cpu_cores(b, NULL, 0);
    CHECK(b != NULL);
    vestrion_policy_builder_free(b);

    b = vestrion_policy_builder_deny_syscalls(vestrion_policy_builder_new(), "");
    b = vestrion_policy_builder_allow_syscalls(b, "");
    CHECK(vestrion_policy_build(b, &err) == NULL && err == -1);
    b = vestrion_policy_builder_max_cpu(vestrion_policy_builder_new(), 0);
    CHECK(vestrion_policy_build(b, &err) == NULL && err == -1);
    b = vestrion_policy_builder_max_cpu(vestrion_policy_builder_new(), 101);
    CHECK(vestrion_policy_build(b, &err) == NULL && err == -1);
    b = vestrion_policy_builder_max_cpu(vestrion_policy_builder_new(), 100);
    vestrion_policy_t* p = vestrion_policy_build(b, &err);
    CHECK(p != NULL && err == 0);
    vestrion_policy_free(p);
}

static void syscall_list_text_is_split_and_trimmed(void) {
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    b = vestrion_policy_builder_fs_read(b, "/");
    b = vestrion_policy_builder_deny_syscalls(b, " mkdir , ,rmdir,, ");
    vestrion_policy_t* p = vestrion_policy_build(b, NULL);
    CHECK(p != NULL);
    /* Both names are denied; unshare, on the default list, is not (the list replaced it). */
    const char* argv[] = {VESTRION_TEST_HELPER, "syscall-errnos"};
    vestrion_result_t* r = vestrion_run(p, argv, 2);
    char* out = vestrion_result_stdout(r);
    CHECK(out != NULL && strstr(out, "mkdir EPERM") != NULL);
    CHECK(out != NULL && strstr(out, "rmdir EPERM") != NULL);
    CHECK(out != NULL && strstr(out, "unshare ok") != NULL);
    if (out) fprintf(stderr, "helper said: %s", out);
    vestrion_string_free(out);
    vestrion_result_free(r);
    vestrion_policy_free(p);
}

struct test_case {
    const char* name;
    void (*run)(void);
};

static const struct test_case cases[] = {
    {"echo_hi", echo_hi},
    {"output_with_nul_and_empty_output", output_with_nul_and_empty_output},
    {"null_and_empty_arguments", null_and_empty_arguments},
    {"null_inside_argv_starts_nothing", null_inside_argv_starts_nothing},
    {"invalid_utf8_argument_becomes_empty", invalid_utf8_argument_becomes_empty},
    {"timed_wait", timed_wait},
    {"handles_outlive_their_policy_and_free_kills", handles_outlive_their_policy_and_free_kills},
    {"builder_chains_and_refusals", builder_chains_and_refusals},
    {"syscall_list_text_is_split_and_trimmed", syscall_list_text_is_split_and_trimmed},
};

int main(int argc, char** argv) {
    size_t count = sizeof cases / sizeof cases[0];
    for (size_t i = 0; i < count; ++i) {
        if (argc > 1 && strcmp(argv[1], cases[i].name) != 0) continue;
        if (argc <= 1) printf("%s\n", cases[i].name);
        else cases[i].run();
    }
    return failures == 0 ? 0 : 1;
}
