/* The checkpoint calls of the C interface, written in C against the public header. argv[1]
 * names the case to run. */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vestrion.h"

static int failures = 0;

#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures;                                                              \
        }                                                                            \
    } while (0)

/* Tracing our own child needs Yama's ptrace_scope below 3 (below 2 without CAP_SYS_PTRACE). */
static int can_trace(void) {
    FILE* f = fopen("/proc/sys/kernel/yama/ptrace_scope", "r");
    int scope = 0;
    if (!f) return 1;
    if (fscanf(f, "%d", &scope) != 1) scope = 0;
    fclose(f);
    if (scope >= 3 || (scope == 2 && geteuid() != 0)) {
        printf("skipped: Yama ptrace_scope %d keeps this process from tracing its child\n", scope);
        return 0;
    }
    return 1;
}

static vestrion_handle_t* spawn_sleep(void) {
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    b = vestrion_policy_builder_fs_read(b, "/");
    vestrion_policy_t* p = vestrion_policy_build(b, NULL);
    const char* argv[] = {"sleep", "30"};
    vestrion_handle_t* h = vestrion_spawn(p, argv, 2);
    vestrion_policy_free(p);
    CHECK(h != NULL);
    return h;
}

static int text_is(char* s, const char* expected) {
    int same = s != NULL && strcmp(s, expected) == 0;
    vestrion_string_free(s);
    return same;
}

static int dir_is_empty(const char* path) {
    DIR* d = opendir(path);
    struct dirent* e;
    int empty = 1;
    if (!d) return 0;
    while ((e = readdir(d)) != NULL)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) empty = 0;
    closedir(d);
    return empty;
}

static void name_and_bytes_survive_save_and_load(void) {
    char tmpl[] = "/tmp/vestrion-ckpt-XXXXXX";
    char target[64];
    size_t len = 99;
    const uint8_t bytes[] = {0, 1, 2, 255};
    vestrion_handle_t* h;
    vestrion_checkpoint_t* cp;
    vestrion_checkpoint_t* back;
    const uint8_t* view;
    if (!can_trace()) return;
    CHECK(mkdtemp(tmpl) != NULL);
    snprintf(target, sizeof target, "%s/c", tmpl);
    h = spawn_sleep();
    cp = vestrion_handle_checkpoint(h);
    CHECK(cp != NULL);
    if (!cp) return;
    CHECK(text_is(vestrion_checkpoint_name(cp), ""));
    CHECK(vestrion_checkpoint_app_state(cp, &len) == NULL && len == 0);

    vestrion_checkpoint_set_name(cp, "nightly-1");
    vestrion_checkpoint_set_app_state(cp, bytes, sizeof bytes);
    CHECK(vestrion_checkpoint_save(cp, target) == 0);
    vestrion_checkpoint_free(cp);
    /* The sandbox goes on running after its checkpoint. */
    CHECK(vestrion_handle_pid(h) > 0);
    vestrion_handle_free(h);

    back = vestrion_checkpoint_load(target);
    CHECK(back != NULL);
    if (back) {
        CHECK(text_is(vestrion_checkpoint_name(back), "nightly-1"));
        view = vestrion_checkpoint_app_state(back, &len);
        CHECK(view != NULL && len == sizeof bytes && memcmp(view, bytes, len) == 0);
        /* Saving the loaded one again over the first is allowed: it is a checkpoint. */
        CHECK(vestrion_checkpoint_save(back, target) == 0);
        vestrion_checkpoint_free(back);
    }
    {
        char cmd[128];
        snprintf(cmd, sizeof cmd, "rm -rf '%s'", tmpl);
        CHECK(system(cmd) == 0);
    }
}

static void null_and_bad_arguments(void) {
    char tmpl[] = "/tmp/vestrion-ckpt-XXXXXX";
    char cwd[4096];
    size_t len = 77;
    const uint8_t bytes[] = {7};
    vestrion_handle_t* h;
    vestrion_checkpoint_t* cp;
    CHECK(vestrion_handle_checkpoint(NULL) == NULL);
    CHECK(vestrion_checkpoint_save(NULL, "/tmp/x") == -1);
    CHECK(vestrion_checkpoint_load(NULL) == NULL);
    CHECK(vestrion_checkpoint_load("/nonexistent/vestrion/checkpoint") == NULL);
    CHECK(vestrion_checkpoint_name(NULL) == NULL);
    CHECK(vestrion_checkpoint_app_state(NULL, &len) == NULL && len == 77);
    vestrion_checkpoint_set_name(NULL, "x");
    vestrion_checkpoint_set_app_state(NULL, bytes, 1);
    vestrion_checkpoint_free(NULL);
    if (!can_trace()) return;

    h = spawn_sleep();
    cp = vestrion_handle_checkpoint(h);
    vestrion_handle_free(h);
    CHECK(cp != NULL);
    if (!cp) return;
    /* A NULL directory writes nothing, not even in the working directory. */
    CHECK(mkdtemp(tmpl) != NULL);
    CHECK(getcwd(cwd, sizeof cwd) != NULL);
    CHECK(chdir(tmpl) == 0);
    CHECK(vestrion_checkpoint_save(cp, NULL) == -1);
    CHECK(dir_is_empty("."));
    CHECK(chdir(cwd) == 0);
    CHECK(rmdir(tmpl) == 0);

    CHECK(vestrion_checkpoint_app_state(cp, NULL) == NULL);
    vestrion_checkpoint_set_name(cp, "bad \xff name");
    CHECK(text_is(vestrion_checkpoint_name(cp), ""));
    vestrion_checkpoint_set_name(cp, NULL);
    CHECK(text_is(vestrion_checkpoint_name(cp), ""));
    vestrion_checkpoint_set_app_state(cp, bytes, 1);
    vestrion_checkpoint_set_app_state(cp, bytes, 0);
    CHECK(vestrion_checkpoint_app_state(cp, &len) == NULL && len == 0);
    vestrion_checkpoint_set_app_state(cp, bytes, 1);
    vestrion_checkpoint_set_app_state(cp, NULL, 5);
    len = 5;
    CHECK(vestrion_checkpoint_app_state(cp, &len) == NULL && len == 0);
    vestrion_checkpoint_free(cp);
}

static const struct {
    const char* name;
    void (*run)(void);
} cases[] = {
    {"name_and_bytes_survive_save_and_load", name_and_bytes_survive_save_and_load},
    {"null_and_bad_arguments", null_and_bad_arguments},
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
