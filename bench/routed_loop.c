/* The child of the routed-call benchmark, timed from inside; prints the elapsed nanoseconds.
 *   routed-loop pair N   N rounds of mmap and munmap of one page: 2N routed calls under a budget
 *   routed-loop map N    N mmaps of one page, left mapped: N routed calls whose answer reads
 *                        nothing of the process
 *   routed-loop chmod N FILE   N changes of FILE's mode: N calls the supervisor performs itself
 *   routed-loop open N FILE r|w  N opens and closes of FILE, for reading or for appending
 *   routed-loop chdir N A B      N changes of directory, to A and B in turn
 *   routed-loop connect N PORT   N connects of one UDP socket to 127.0.0.1:PORT (no traffic) */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char** argv) {
    int pair = argc > 1 && strcmp(argv[1], "pair") == 0;
    int change_mode = argc > 3 && strcmp(argv[1], "chmod") == 0;
    int open_file = argc > 4 && strcmp(argv[1], "open") == 0;
    int change_dir = argc > 4 && strcmp(argv[1], "chdir") == 0;
    int connect_udp = argc > 3 && strcmp(argv[1], "connect") == 0;
    int sock = -1;
    struct sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    if (connect_udp) {
        sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (sock < 0) return 1;
        peer.sin_family = AF_INET;
        peer.sin_port = htons((unsigned short)atoi(argv[3]));
        peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    int open_flags = (open_file && argv[4][0] == 'w' ? O_WRONLY | O_APPEND : O_RDONLY) | O_CLOEXEC;
    long rounds = argc > 2 ? atol(argv[2]) : 50000;
    struct timespec start, end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (long i = 0; i < rounds && change_mode; ++i)
        if (chmod(argv[3], (i & 1) ? 0600 : 0644) != 0) return 1;
    for (long i = 0; i < rounds && open_file; ++i) {
        int fd = open(argv[3], open_flags);
        if (fd < 0) return 1;
        close(fd);
    }
    for (long i = 0; i < rounds && change_dir; ++i)
        if (chdir(argv[(i & 1) ? 4 : 3]) != 0) return 1;
    for (long i = 0; i < rounds && connect_udp; ++i)
        if (connect(sock, (const struct sockaddr*)&peer, sizeof peer) != 0) return 1;
    for (long i = 0; i < rounds && !change_mode && !open_file && !change_dir && !connect_udp; ++i) {
        void* p = mmap(NULL, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return 1;
        if (pair) munmap(p, 4096);
    }
    clock_gettime(CLOCK_MONOTONIC, &end);
    long long ns = (end.tv_sec - start.tv_sec) * 1000000000LL + (end.tv_nsec - start.tv_nsec);
    printf("%lld\n", ns);
    return 0;
}
