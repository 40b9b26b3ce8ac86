// Socket addresses as a command writes them: the IP of an internet family is found where the
// family puts it, and nothing is read past the bytes given.
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>

#include "core/network.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vestrion;
    auto ip = network::parse_ip_from_sockaddr(std::span<const std::uint8_t>(data, size));
    std::uint16_t family = 0;
    if (size >= 2) std::memcpy(&family, data, 2);
    if (!ip) {
        if (family == AF_INET && size >= sizeof(sockaddr_in)) std::abort();
        if (family == AF_INET6 && size >= sizeof(sockaddr_in6)) std::abort();
        return 0;
    }
    if (std::holds_alternative<std::array<std::uint8_t, 4>>(*ip) ? size < 8 : size < 24)
        std::abort();  // an address found in bytes too short to hold it
    if (auto* v4 = std::get_if<std::array<std::uint8_t, 4>>(&*ip)) {
        if (family != AF_INET || std::memcmp(v4->data(), data + 4, 4) != 0) std::abort();
    } else {
        auto& v6 = std::get<std::array<std::uint8_t, 16>>(*ip);
        if (family != AF_INET6 || std::memcmp(v6.data(), data + 8, 16) != 0) std::abort();
    }
    return 0;
}
