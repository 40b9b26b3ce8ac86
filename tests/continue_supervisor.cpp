#include "tests/continue_supervisor.hpp"

#include <linux/seccomp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>

#include <cstdint>

namespace vestrion::test {

ContinueSupervisor::ContinueSupervisor(UniqueFd listener)
    : listener_(std::move(listener)), stop_(::eventfd(0, EFD_CLOEXEC)) {
    thread_ = std::thread([this] { loop(); });
}

ContinueSupervisor::~ContinueSupervisor() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(stop_.get(), &one, sizeof one);
    thread_.join();
}

void ContinueSupervisor::loop() {
    while (true) {
        pollfd fds[2] = {{listener_.get(), POLLIN, 0}, {stop_.get(), POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return;
        if (!(fds[0].revents & POLLIN)) continue;
        seccomp_notif notif{};
        if (::ioctl(listener_.get(), SECCOMP_IOCTL_NOTIF_RECV, &notif) != 0) continue;
        seccomp_notif_resp resp{};
        resp.id = notif.id;
        resp.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        // Counted before the answer: the answered call may let the child finish, and the test
        // read the count, before this thread runs again.
        ++answered_;
        if (::ioctl(listener_.get(), SECCOMP_IOCTL_NOTIF_SEND, &resp) != 0) --answered_;
    }
}

}  // namespace vestrion::test
