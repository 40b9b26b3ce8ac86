/* Runs a command in a vestrion sandbox and prints what it wrote and how it ended.
 *
 *   vestrion-run COMMAND [ARGS...]   run COMMAND: system directories readable, a fresh
 *                                    temporary directory writable (and its working directory)
 *   vestrion-run                     a short demonstration */
#define _GNU_SOURCE
#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vestrion.h"

static vestrion_policy_t* sensible_policy(const char* writable) {
    static const char* system_dirs[] = {"/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64",
                                        "/etc", "/dev/null", "/dev/urandom", "/proc"};
    vestrion_policy_builder_t* b = vestrion_policy_builder_new();
    for (size_t i = 0; i < sizeof system_dirs / sizeof system_dirs[0]; ++i)
        if (access(system_dirs[i], F_OK) == 0) b = vestrion_policy_builder_fs_read(b, system_dirs[i]);
    b = vestrion_policy_builder_fs_write(b, writable);
    b = vestrion_policy_builder_cwd(b, writable);
    return vestrion_policy_build(b, NULL);
}

static void show(const char* title, const vestrion_policy_t* policy, const char* const* argv,
                 uint32_t argc) {
    if (title) printf("== %s\n", title);
    vestrion_result_t* r = vestrion_run(policy, argv, argc);
    if (!r) {
        printf("the sandbox could not run the command\n");
        return;
    }
    char* out = vestrion_result_stdout(r);
    char* err = vestrion_result_stderr(r);
    printf("stdout: %s", out && *out ? out : "(nothing)\n");
    printf("stderr: %s", err && *err ? err : "(nothing)\n");
    if (vestrion_result_exit_code(r) >= 0)
        printf("exit status: %d\n", vestrion_result_exit_code(r));
    else
        printf("exit status: ended by a signal\n");
    vestrion_string_free(out);
    vestrion_string_free(err);
    vestrion_result_free(r);
}

static int remove_entry(const char* path, const struct stat* st, int flag, struct FTW* ftw) {
    (void)st, (void)flag, (void)ftw;
    return remove(path);
}

int main(int argc, char** argv) {
    char dir[] = "/tmp/vestrion-run-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    vestrion_policy_t* policy = sensible_policy(dir);
    if (!policy) {
        fprintf(stderr, "could not build the policy\n");
        return 1;
    }
    if (argc > 1) {
        show(NULL, policy, (const char* const*)argv + 1, (uint32_t)(argc - 1));
    } else {
        const char* echo[] = {"sh", "-c", "echo hello from the sandbox; echo scratch > note.txt && cat note.txt"};
        show("captured output, and a write inside the writable directory", policy, echo, 3);
        const char* write_etc[] = {"sh", "-c", "echo x > /etc/vestrion-demo"};
        show("a write the policy refuses", policy, write_etc, 3);
        const char* unshare[] = {"unshare", "--user", "true"};
        show("a system call the filter refuses (unshare)", policy, unshare, 3);
    }
    vestrion_policy_free(policy);
    return nftw(dir, remove_entry, 16, FTW_DEPTH | FTW_PHYS) == 0 ? 0 : 1;
}
