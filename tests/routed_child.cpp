#include "tests/routed_child.hpp"

#include <fcntl.h>
#include <linux/filter.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <stdexcept>

#include "core/sys/syscall.hpp"

namespace vestrion::test {

namespace {

// The smallest filter that routes `routed` and allows everything else.
std::vector<sock_filter> routing_filter(const std::vector<int>& routed) {
    std::vector<sock_filter> prog;
    prog.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    auto n = static_cast<std::uint8_t>(routed.size());
    for (std::uint8_t i = 0; i < n; ++i)
        prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(routed[i]),
                                static_cast<std::uint8_t>(n - i), 0));
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF));
    return prog;
}

void write_all(int fd, const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n <= 0) return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace

RoutedChild::RoutedChild(std::vector<int> routed, std::function<std::string()> body) {
    std::vector<sock_filter> prog = routing_filter(routed);
    int number[2], go[2], report[2];
    if (::pipe2(number, O_CLOEXEC) || ::pipe2(go, O_CLOEXEC) || ::pipe2(report, O_CLOEXEC))
        throw std::runtime_error("pipes");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::close(number[0]);
        ::close(go[1]);
        ::close(report[0]);
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
        sock_fprog fprog{static_cast<unsigned short>(prog.size()), prog.data()};
        long fd = ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER,
                            &fprog);
        int value = static_cast<int>(fd);
        if (::write(number[1], &value, sizeof value) != sizeof value || fd < 0) ::_exit(126);
        char byte;
        if (::read(go[0], &byte, 1) != 1) ::_exit(126);
        ::close(value);
        write_all(report[1], body());
        ::_exit(0);
    }
    ::close(number[1]);
    ::close(go[0]);
    ::close(report[1]);
    report_ = UniqueFd(report[0]);
    int value = -1;
    bool got = ::read(number[0], &value, sizeof value) == sizeof value && value >= 0;
    ::close(number[0]);
    if (got) {
        auto pidfd = sys::syscall::pidfd_open(pid_, 0);
        if (pidfd) {
            if (auto fd = sys::syscall::pidfd_getfd(pidfd->get(), value, 0))
                listener_ = std::move(*fd);
        }
    }
    char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(go[1], &byte, 1);
    ::close(go[1]);
    if (!listener_) throw std::runtime_error("no listener");
}

RoutedChild::~RoutedChild() {
    if (!reaped_) kill();
}

seccomp_notif RoutedChild::next() {
    pollfd p{listener_.get(), POLLIN, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    seccomp_notif notif{};
    if (::ioctl(listener_.get(), SECCOMP_IOCTL_NOTIF_RECV, &notif) != 0)
        throw std::runtime_error("receive failed");
    return notif;
}

ChildReport RoutedChild::finish() {
    ChildReport report{{}, 0};
    char buf[4096];
    ssize_t n;
    while ((n = ::read(report_.get(), buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) report.text.append(buf, static_cast<std::size_t>(n));
    while (::waitpid(pid_, &report.wait_status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return report;
}

void RoutedChild::kill() {
    ::kill(pid_, SIGKILL);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
}

}  // namespace vestrion::test
