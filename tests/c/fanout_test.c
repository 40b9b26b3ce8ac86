/* Tests of the fan-out and pipeline calls of the C interface, written in C against the public
 * header. Each case is a function; argv[1] names the case to run (CTest runs each on its own). */
#include <fcntl.h>
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

/* A directory the template may write, named for init, which takes no argument. */
static char scratch[64];

static void make_scratch(void) {
    const char* tmp = getenv("TMPDIR");
    snprintf(scratch, sizeof scratch, "%s/vestrion-c-XXXXXX", tmp && *tmp ? tmp : "/tmp");
    CHECK(mkdtemp(scratch) != NULL);
}

static vestrion_policy_t* build(vestrion_policy_builder_t* b) {
    vestrion_policy_t* p = vestrion_policy_build(b, NULL);
    CHECK(p != NULL);
    return p;
}

static vestrion_policy_builder_t* readable_root(void) {
    return vestrion_policy_builder_fs_read(vestrion_policy_builder_new(), "/");
}

static int stdout_is(vestrion_result_t* r, const char* expected) {
    char* out = vestrion_result_stdout(r);
    int same = out != NULL && strcmp(out, expected) == 0;
    if (!same) fprintf(stderr, "stdout was: %s\n", out ? out : "(none)");
    vestrion_string_free(out);
    return same;
}

static void say(const char* text) {
    size_t len = strlen(text);
    while (len > 0) {
        ssize_t n = write(1, text, len);
        if (n <= 0) return;
        text += n;
        len -= (size_t)n;
    }
}

/* Set by init in the template; every clone starts from it, and the caller never sees it. */
static int warmed = 0;

static void warm_up(void) {
    char path[128];
    snprintf(path, sizeof path, "%s/init-ran", scratch);
    int fd = open(path, O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) {
        if (write(fd, "x", 1) != 1) warmed = -1;
        close(fd);
    }
    warmed = 7;
}

static void report(uint32_t index) {
    char line[64];
    const char* id = getenv("CLONE_ID");
    snprintf(line, sizeof line, "%u %s %d\n", (unsigned)index, id ? id : "unset", warmed);
    say(line);
}

static int init_ran(void) {
    char path[128];
    snprintf(path, sizeof path, "%s/init-ran", scratch);
    return access(path, F_OK) == 0;
}

static vestrion_policy_t* scratch_policy(void) {
    return build(vestrion_policy_builder_fs_write(readable_root(), scratch));
}

static void fork_and_reduce(void) {
    make_scratch();
    vestrion_policy_t* p = scratch_policy();
    vestrion_sandbox_t* s = vestrion_new_with_fns(p, warm_up, report);
    CHECK(s != NULL);
    CHECK(vestrion_wait(s) == -1); /* not forked yet */
    vestrion_fork_result_t* r = vestrion_fork(s, 3);
    CHECK(r != NULL);
    CHECK(vestrion_fork_result_count(r) == 3);
    for (uint32_t i = 0; i < 3; ++i) CHECK(vestrion_fork_result_pid(r, i) > 0);
    CHECK(vestrion_fork_result_pid(r, 0) != vestrion_fork_result_pid(r, 1));
    CHECK(vestrion_fork_result_pid(r, 3) == 0);
    CHECK(vestrion_fork_result_pid(NULL, 0) == 0);
    CHECK(vestrion_fork_result_count(NULL) == 0);
    CHECK(warmed == 0);
    CHECK(vestrion_wait(s) == 0);
    CHECK(vestrion_fork(s, 1) == NULL); /* used up */

    const char* cat[] = {"cat"};
    vestrion_result_t* reduced = vestrion_reduce(r, p, cat, 1); /* consumes r */
    CHECK(reduced != NULL);
    CHECK(vestrion_result_exit_code(reduced) == 0);
    CHECK(stdout_is(reduced, "0 0 7\n1 1 7\n2 2 7\n"));
    vestrion_result_free(reduced);
    vestrion_sandbox_free(s);
    vestrion_policy_free(p);
}

static void reduce_without_policy_leaves_the_clones_to_the_caller(void) {
    make_scratch();
    vestrion_policy_t* p = scratch_policy();
    vestrion_sandbox_t* s = vestrion_new_with_fns(p, warm_up, report);
    vestrion_fork_result_t* r = vestrion_fork(s, 2);
    CHECK(r != NULL);
    const char* cat[] = {"cat"};
    CHECK(vestrion_reduce(r, NULL, cat, 1) == NULL);
    CHECK(vestrion_reduce(r, p, NULL, 1) == NULL);
    CHECK(vestrion_reduce(NULL, p, cat, 1) == NULL);
    /* Still the caller's, output included. */
    CHECK(vestrion_fork_result_count(r) == 2);
    vestrion_result_t* reduced = vestrion_reduce(r, p, cat, 1);
    CHECK(stdout_is(reduced, "0 0 7\n1 1 7\n"));
    vestrion_result_free(reduced);

    /* A reduce that fails after the checks still consumes its clones. */
    vestrion_sandbox_t* again = vestrion_new_with_fns(p, warm_up, report);
    r = vestrion_fork(again, 1);
    const char* broken[] = {"cat", NULL};
    CHECK(vestrion_reduce(r, p, broken, 2) == NULL);
    vestrion_sandbox_free(again);
    vestrion_sandbox_free(s);
    vestrion_policy_free(p);
}

static void fork_refusals(void) {
    make_scratch();
    vestrion_policy_t* p = scratch_policy();
    CHECK(vestrion_new_with_fns(NULL, warm_up, report) == NULL);
    CHECK(vestrion_new_with_fns(p, NULL, report) == NULL);
    CHECK(vestrion_new_with_fns(p, warm_up, NULL) == NULL);
    CHECK(vestrion_fork(NULL, 1) == NULL);
    CHECK(vestrion_wait(NULL) == -1);
    vestrion_sandbox_free(NULL);
    vestrion_fork_result_free(NULL);

    char missing[128];
    snprintf(missing, sizeof missing, "%s/absent", scratch);
    vestrion_policy_t* refused[] = {
        build(vestrion_policy_builder_max_memory(vestrion_policy_builder_fs_write(readable_root(), scratch), 1 << 30)),
        build(vestrion_policy_builder_fs_read(vestrion_policy_builder_fs_write(readable_root(), scratch), missing)),
        build(vestrion_policy_builder_max_processes(vestrion_policy_builder_fs_write(readable_root(), scratch), 2)),
    };
    for (size_t i = 0; i < sizeof refused / sizeof refused[0]; ++i) {
        vestrion_sandbox_t* s = vestrion_new_with_fns(refused[i], warm_up, report);
        CHECK(s != NULL);
        CHECK(vestrion_fork(s, 3) == NULL);
        CHECK(!init_ran());
        vestrion_sandbox_free(s);
        vestrion_policy_free(refused[i]);
    }
    vestrion_policy_free(p);
}

static vestrion_result_t* run_pipeline(vestrion_pipeline_t* pl, uint64_t timeout_ms) {
    return vestrion_pipeline_run(pl, timeout_ms);
}

static void pipeline_runs_stages_in_order(void) {
    vestrion_policy_t* p = build(readable_root());
    const char* print[] = {"printf", "c\\na\\nb\\n"};
    const char* sort[] = {"sort", "-r"};
    const char* first[] = {"head", "-n", "2"};
    vestrion_pipeline_t* pl = vestrion_pipeline_new();
    vestrion_pipeline_add_stage(pl, p, print, 2);
    vestrion_pipeline_add_stage(pl, NULL, sort, 2); /* adds nothing */
    vestrion_pipeline_add_stage(pl, p, NULL, 2);    /* adds nothing */
    vestrion_pipeline_add_stage(NULL, p, sort, 2);
    vestrion_pipeline_add_stage(pl, p, sort, 2);
    vestrion_pipeline_add_stage(pl, p, first, 3);
    vestrion_result_t* r = run_pipeline(pl, 0);
    CHECK(r != NULL);
    CHECK(vestrion_result_success(r));
    CHECK(stdout_is(r, "c\nb\n"));
    vestrion_result_free(r);

    /* The last stage's status is the result's. */
    const char* fail[] = {"sh", "-c", "exit 4"};
    const char* true_argv[] = {"true"};
    pl = vestrion_pipeline_new();
    vestrion_pipeline_add_stage(pl, p, true_argv, 1);
    vestrion_pipeline_add_stage(pl, p, fail, 3);
    r = run_pipeline(pl, 60000);
    CHECK(vestrion_result_exit_code(r) == 4);
    vestrion_result_free(r);
    vestrion_policy_free(p);
}

static void pipeline_of_fewer_than_two_stages_gives_null(void) {
    vestrion_policy_t* p = build(readable_root());
    const char* true_argv[] = {"true"};
    CHECK(run_pipeline(vestrion_pipeline_new(), 0) == NULL);
    vestrion_pipeline_t* one = vestrion_pipeline_new();
    vestrion_pipeline_add_stage(one, p, true_argv, 1);
    CHECK(run_pipeline(one, 0) == NULL); /* consumed */
    CHECK(run_pipeline(NULL, 0) == NULL);

    /* A NULL inside argv spoils the run rather than leaving that stage out. */
    const char* broken[] = {"cat", NULL};
    vestrion_pipeline_t* pl = vestrion_pipeline_new();
    vestrion_pipeline_add_stage(pl, p, true_argv, 1);
    vestrion_pipeline_add_stage(pl, p, broken, 2);
    vestrion_pipeline_add_stage(pl, p, true_argv, 1);
    CHECK(run_pipeline(pl, 0) == NULL);

    /* Freed without a run, with its stages. */
    pl = vestrion_pipeline_new();
    vestrion_pipeline_add_stage(pl, p, true_argv, 1);
    vestrion_pipeline_add_stage(pl, p, true_argv, 1);
    vestrion_pipeline_free(pl);
    vestrion_pipeline_free(NULL);
    vestrion_policy_free(p);
}

static void pipeline_timeout_gives_a_result_without_output(void) {
    vestrion_policy_t* p = build(readable_root());
    const char* sleeper[] = {"sleep", "30"};
    const char* cat[] = {"cat"};
    vestrion_pipeline_t* pl = vestrion_pipeline_new();
    vestrion_pipeline_add_stage(pl, p, sleeper, 2);
    vestrion_pipeline_add_stage(pl, p, cat, 1);
    vestrion_result_t* r = run_pipeline(pl, 200);
    CHECK(r != NULL);
    CHECK(vestrion_result_exit_code(r) == -1);
    CHECK(!vestrion_result_success(r));
    size_t len = 99;
    CHECK(vestrion_result_stdout_bytes(r, &len) == NULL && len == 0);
    CHECK(vestrion_result_stderr_bytes(r, &len) == NULL && len == 0);
    vestrion_result_free(r);
    vestrion_policy_free(p);
}

struct test_case {
    const char* name;
    void (*run)(void);
};

static const struct test_case cases[] = {
    {"fork_and_reduce", fork_and_reduce},
    {"reduce_without_policy_leaves_the_clones_to_the_caller",
     reduce_without_policy_leaves_the_clones_to_the_caller},
    {"fork_refusals", fork_refusals},
    {"pipeline_runs_stages_in_order", pipeline_runs_stages_in_order},
    {"pipeline_of_fewer_than_two_stages_gives_null", pipeline_of_fewer_than_two_stages_gives_null},
    {"pipeline_timeout_gives_a_result_without_output", pipeline_timeout_gives_a_result_without_output},
};

int main(int argc, char** argv) {
    size_t count = sizeof cases / sizeof cases[0];
    for (size_t i = 0; i < count; ++i) {
        if (argc > 1 && strcmp(argv[1], cases[i].name) != 0) continue;
        if (argc <= 1) printf("%s\n", cases[i].name);
        else cases[i].run();
    }
    if (scratch[0]) {
        char command[128];
        snprintf(command, sizeof command, "rm -rf '%s'", scratch);
        if (system(command) != 0) fprintf(stderr, "could not remove %s\n", scratch);
    }
    return failures == 0 ? 0 : 1;
}
