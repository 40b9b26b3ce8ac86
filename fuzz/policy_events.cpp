// The policy callback's readers of a command's memory, over memory of the fuzzer's making: the
// path, the argument vector and the socket address of an event come out bounded, UTF-8 and
// where the bytes put them, and no read asks for more than the readers' bounds.
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "core/seccomp/notif.hpp"
#include "core/text.hpp"

namespace {

constexpr std::uint64_t kBase = 0x10000;  // where the input lies in the pretended memory

std::uint16_t u16_at(const std::uint8_t* data) {
    std::uint16_t v;
    std::memcpy(&v, data, sizeof v);
    return v;
}

// A text as an event may carry it: no NUL, valid UTF-8, at most `limit` bytes.
void check_text(const std::string& text, std::size_t limit) {
    if (text.size() > limit || text.find('\0') != std::string::npos ||
        !vestrion::text::is_valid_utf8(text))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vestrion::seccomp::notif;
    if (size < 8) return 0;
    const std::span<const std::uint8_t> memory(data, size);
    ChildReader read = [&](std::uint64_t address, std::size_t length)
        -> std::optional<std::vector<std::uint8_t>> {
        if (length > 4096) std::abort();  // a read the readers do not bound
        if (address < kBase || address - kBase >= memory.size()) return std::nullopt;
        const std::size_t at = address - kBase;
        const std::size_t n = std::min(length, memory.size() - at);
        return std::vector<std::uint8_t>(memory.begin() + at, memory.begin() + at + n);
    };
    const std::uint64_t path_at = kBase + u16_at(data) % size;
    const std::uint64_t argv_at = kBase + u16_at(data + 2) % size;
    const std::uint64_t address_at = kBase + u16_at(data + 4) % size;
    const std::uint64_t address_len = data[6];

    if (auto path = event_path(read, path_at)) {
        check_text(*path, 4096);
        if (std::memcmp(path->data(), data + (path_at - kBase), path->size()) != 0) std::abort();
    }
    if (auto argv = event_argv(read, argv_at)) {
        if (argv->empty() || argv->size() > 64) std::abort();
        for (const std::string& arg : *argv) check_text(arg, 256);
    }
    const EventAddress address = event_address(read, address_at, address_len);
    const std::size_t at = address_at - kBase;
    const std::size_t seen = std::min<std::size_t>({address_len, 128, size - at});
    if (address.port) {
        if (seen < 4 || *address.port == 0 ||
            *address.port != ((data[at + 2] << 8) | data[at + 3]))
            std::abort();
    }
    if (address.host) {
        std::uint16_t family = u16_at(data + at);
        if (auto* v4 = std::get_if<std::array<std::uint8_t, 4>>(&*address.host)) {
            if (family != AF_INET || seen < 8 || std::memcmp(v4->data(), data + at + 4, 4) != 0)
                std::abort();
        } else {
            auto& v6 = std::get<std::array<std::uint8_t, 16>>(*address.host);
            if (family != AF_INET6 || seen < 24 || std::memcmp(v6.data(), data + at + 8, 16) != 0)
                std::abort();
        }
    }
    return 0;
}
