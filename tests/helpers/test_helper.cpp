// Small programs that the tests run inside a sandbox, chosen by argv[1].
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace {

// Prints the open descriptors, one per line, leaving out the one that lists them.
int list_fds() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) {
        std::perror("opendir");
        return 1;
    }
    int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        int fd = std::atoi(entry->d_name);
        if (fd != own) std::printf("%d\n", fd);
    }
    closedir(dir);
    return 0;
}

// Prints the blocked and ignored signal masks as /proc shows them.
int signal_masks() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0)
            std::printf("%s\n", line.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: vestrion_test_helper CASE [ARGS]\n");
        return 2;
    }
    std::string name = argv[1];
    if (name == "list-fds") return list_fds();
    if (name == "signal-masks") return signal_masks();
    std::fprintf(stderr, "unknown case %s\n", argv[1]);
    return 2;
}
