#include "tests/support.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>
#include <stdexcept>

namespace vestrion::test {

bool drain(int out_fd, int err_fd, std::string& out, std::string& err, int guard_seconds) {
    pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open = 2;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(guard_seconds);
    while (open > 0) {
        int wait_ms = -1;
        if (guard_seconds > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            wait_ms = static_cast<int>(left.count());
        }
        if (::poll(fds, 2, wait_ms) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !fds[i].revents) continue;
            char buf[4096];
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    return true;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vestrion-test-XXXXXX").native();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ChildReport run_forked(const std::function<std::string()>& fn) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::close(fds[0]);
        std::string text = fn();
        const char* p = text.data();
        std::size_t left = text.size();
        while (left > 0) {
            ssize_t n = ::write(fds[1], p, left);
            if (n <= 0) break;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    ChildReport report{{}, 0};
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) report.text.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    while (::waitpid(pid, &report.wait_status, 0) < 0 && errno == EINTR) {
    }
    return report;
}

std::string errno_name(int error) {
    const char* name = ::strerrorname_np(error);
    return name ? name : "E?" + std::to_string(error);
}

std::string outcome(int ret) { return ret >= 0 ? "ok" : errno_name(errno); }

void write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out << content;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string read_proc_file(const std::string& path) {
    std::string content;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return content;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) content.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return n < 0 ? std::string() : content;
}

std::string tree_state(const std::filesystem::path& root) {
    namespace fs = std::filesystem;
    std::vector<std::string> lines;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it) {
        struct stat st;
        ::lstat(it->path().c_str(), &st);
        std::ostringstream line;
        line << fs::relative(it->path(), root).native() << " " << std::oct << st.st_mode
             << std::dec << " " << st.st_uid << ":" << st.st_gid << " " << st.st_size << " "
             << st.st_mtim.tv_sec << "." << st.st_mtim.tv_nsec;
        if (S_ISREG(st.st_mode)) line << " [" << read_file(it->path()) << "]";
        if (S_ISLNK(st.st_mode)) line << " -> " << fs::read_symlink(it->path()).native();
        lines.push_back(line.str());
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (auto& l : lines) out += l + "\n";
    return out;
}

}  // namespace vestrion::test
