/* Built against the installed package, through pkg-config or CMake: runs one command. */
#include <stdio.h>
#include <string.h>

#include <vestrion.h>

int main(void) {
    vestrion_policy_builder_t* b = vestrion_policy_builder_fs_read(vestrion_policy_builder_new(), "/");
    vestrion_policy_t* p = vestrion_policy_build(b, NULL);
    const char* argv[] = {"echo", "installed"};
    vestrion_result_t* r = vestrion_run(p, argv, 2);
    char* out = vestrion_result_stdout(r);
    int ok = out != NULL && strcmp(out, "installed\n") == 0;
    vestrion_string_free(out);
    vestrion_result_free(r);
    vestrion_policy_free(p);
    puts(ok ? "ok" : "wrong output");
    return ok ? 0 : 1;
}
