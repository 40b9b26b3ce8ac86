/* Dry runs from C against the public header. argv[1] names the case to run. */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
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

/* A working directory with "mod" and "del" in it. */
struct scratch {
    char root[64], w[80];
};

static void write_text(const char* dir, const char* name, const char* text) {
    char path[160];
    snprintf(path, sizeof path, "%s/%s", dir, name);
    FILE* f = fopen(path, "w");
    CHECK(f != NULL);
    if (!f) return;
    fputs(text, f);
    fclose(f);
}

static int entries(const char* dir) {
    DIR* d = opendir(dir);
    if (!d) return 0;
    int n = 0;
    struct dirent* e;
    while ((e = readdir(d)) != NULL)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) ++n;
    closedir(d);
    return n;
}

static void make_scratch(struct scratch* s) {
    const char* tmp = getenv("TMPDIR");
    snprintf(s->root, sizeof s->root, "%s/vestrion-dry-XXXXXX", tmp && *tmp ? tmp : "/tmp");
    CHECK(mkdtemp(s->root) != NULL);
    snprintf(s->w, sizeof s->w, "%s/w", s->root);
    CHECK(mkdir(s->w, 0755) == 0);
    write_text(s->w, "mod", "old\n");
    write_text(s->w, "del", "gone\n");
}

static void remove_scratch(const struct scratch* s) {
    char cmd[200];
    snprintf(cmd, sizeof cmd, "rm -rf '%s'", s->root);
    CHECK(system(cmd) == 0);
}

static vestrion_policy_t* policy_for(const struct scratch* s) {
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    b = vestrion_policy_builder_fs_read(b, "/");
    b = vestrion_policy_builder_workdir(b, s->w);
    b = vestrion_policy_builder_cwd(b, s->w);
    int err = 1;
    vestrion_policy_t* p = vestrion_policy_build(b, &err);
    CHECK(p != NULL && err == 0);
    return p;
}

static char kind_of(const vestrion_dry_run_result_t* r, const char* path) {
    for (size_t i = 0; i < vestrion_dry_run_result_changes_len(r); ++i) {
        char* p = vestrion_dry_run_result_change_path(r, i);
        int same = p != NULL && strcmp(p, path) == 0;
        vestrion_string_free(p);
        if (same) return vestrion_dry_run_result_change_kind(r, i);
    }
    return 0;
}

static void lists_changes_and_discards_them(void) {
    struct scratch s;
    make_scratch(&s);
    vestrion_policy_t* p = policy_for(&s);
    const char* argv[] = {"sh", "-c", "echo x > new; echo y >> mod; rm del; printf out; exit 3"};
    vestrion_dry_run_result_t* r = vestrion_dry_run(p, argv, 3);
    CHECK(r != NULL);
    CHECK(vestrion_dry_run_result_changes_len(r) == 3);
    CHECK(kind_of(r, "new") == 'A');
    CHECK(kind_of(r, "mod") == 'M');
    CHECK(kind_of(r, "del") == 'D');
    CHECK(!vestrion_dry_run_result_success(r));
    CHECK(vestrion_dry_run_result_exit_code(r) == 3);
    size_t len = 99;
    const uint8_t* out = vestrion_dry_run_result_stdout_bytes(r, &len);
    CHECK(out != NULL && len == 3 && memcmp(out, "out", 3) == 0);
    /* The index equal to the count is out of range. */
    size_t n = vestrion_dry_run_result_changes_len(r);
    CHECK(vestrion_dry_run_result_change_kind(r, n) == 0);
    CHECK(vestrion_dry_run_result_change_path(r, n) == NULL);
    vestrion_dry_run_result_free(r);
    /* The working directory is as it was. */
    CHECK(access(s.w, F_OK) == 0);
    char path[160];
    snprintf(path, sizeof path, "%s/new", s.w);
    CHECK(access(path, F_OK) != 0);
    snprintf(path, sizeof path, "%s/del", s.w);
    CHECK(access(path, F_OK) == 0);
    CHECK(entries(s.w) == 2);
    vestrion_policy_free(p);
    remove_scratch(&s);
}

static void no_change_and_null_arguments(void) {
    struct scratch s;
    make_scratch(&s);
    vestrion_policy_t* p = policy_for(&s);
    const char* argv[] = {"true"};
    vestrion_dry_run_result_t* r = vestrion_dry_run(p, argv, 1);
    CHECK(r != NULL);
    CHECK(vestrion_dry_run_result_changes_len(r) == 0);
    CHECK(vestrion_dry_run_result_success(r));
    CHECK(vestrion_dry_run_result_exit_code(r) == 0);
    vestrion_dry_run_result_free(r);

    CHECK(vestrion_dry_run(NULL, argv, 1) == NULL);
    CHECK(vestrion_dry_run(p, NULL, 1) == NULL);
    size_t len = 7;
    CHECK(vestrion_dry_run_result_stdout_bytes(NULL, &len) == NULL && len == 7);
    CHECK(vestrion_dry_run_result_stderr_bytes(NULL, &len) == NULL && len == 7);
    CHECK(vestrion_dry_run_result_changes_len(NULL) == 0);
    CHECK(vestrion_dry_run_result_change_kind(NULL, 0) == 0);
    CHECK(vestrion_dry_run_result_change_path(NULL, 0) == NULL);
    CHECK(!vestrion_dry_run_result_success(NULL));
    CHECK(vestrion_dry_run_result_exit_code(NULL) == -1);
    vestrion_dry_run_result_free(NULL);
    vestrion_policy_free(p);
    remove_scratch(&s);
}

struct test_case {
    const char* name;
    void (*run)(void);
};

static const struct test_case cases[] = {
    {"lists_changes_and_discards_them", lists_changes_and_discards_them},
    {"no_change_and_null_arguments", no_change_and_null_arguments},
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
