// Control data a command hands to sendmsg, rewritten by the supervisor for the agent and filled
// in again by the agent: malformed records give their error and are never read past their
// bytes, no more descriptors are taken than a message may carry, and accepted data comes back
// byte for byte after the round trip (descriptor numbers through their indexes, the pid of the
// credentials through the agent's).
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "core/agent.hpp"
#include "core/network.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vestrion;
    if (size > agent::MAX_CONTROL) return 0;  // the supervisor refuses more (ENOBUFS) unread
    constexpr int kSender = 4242;             // the pid the credentials must name
    const std::vector<std::uint8_t> original(data, data + size);
    std::vector<std::uint8_t> bytes = original;
    std::vector<int> taken;
    auto take_fd = [&](int fd) -> std::expected<int, int> {
        if (fd < 0 || fd >= 1024) return std::unexpected(EBADF);
        taken.push_back(fd);
        return static_cast<int>(taken.size() - 1);
    };
    auto check = [](const ucred& cred) -> std::optional<int> {
        if (cred.pid != kSender) return EPERM;
        return std::nullopt;
    };
    auto error = network::rewrite_control(bytes, agent::MAX_RIGHTS, take_fd, check);
    if (taken.size() > agent::MAX_RIGHTS) std::abort();
    if (error) {
        if (*error != EINVAL && *error != EBADF && *error != EPERM) std::abort();
        return 0;
    }
    if (!agent::fix_control(bytes.data(), bytes.size(), taken.data(), taken.size(), kSender))
        std::abort();
    if (bytes != original) std::abort();
    return 0;
}
