#include "tests/support.hpp"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>
#include <stdexcept>

namespace vestrion::test {

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
