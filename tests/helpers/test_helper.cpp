// Small programs that the tests run inside a sandbox, chosen by argv[1].
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vestrion_test_helper CASE [ARGS]\n");
        return 2;
    }
    std::fprintf(stderr, "unknown case %s\n", argv[1]);
    return 2;
}
