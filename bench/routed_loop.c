/* The child of the routed-call benchmark: N rounds of mmap and munmap of one page (two routed
 * calls a round under a memory budget), timed from inside; prints the elapsed nanoseconds. */
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <time.h>

int main(int argc, char** argv) {
    long rounds = argc > 1 ? atol(argv[1]) : 50000;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < rounds; ++i) {
        void* p = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return 1;
        munmap(p, 4096);
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    long long ns = (end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
    printf("%lld\n", ns);
    return 0;
}
