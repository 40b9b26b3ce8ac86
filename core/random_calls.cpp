#include "core/random_calls.hpp"

#include <fcntl.h>
#include <linux/random.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cerrno>

#include "core/seccomp/notif.hpp"

namespace vestrion::random {

using seccomp::notif::NotifAction;

namespace {

constexpr std::size_t MAX_REQUEST = 1 << 20;  // 1 MiB per getrandom, and first bytes of a device
constexpr std::size_t PATH_BYTES = 256;

bool flags_accepted(std::uint64_t flags) {
    constexpr std::uint64_t known = GRND_NONBLOCK | GRND_RANDOM | GRND_INSECURE;
    if (flags & ~known) return false;
    return (flags & (GRND_RANDOM | GRND_INSECURE)) != (GRND_RANDOM | GRND_INSECURE);
}

// The device an open names, exactly as spelled; none for anything else.
std::optional<std::string> device_path(const seccomp::notif::Call& call, std::uint64_t address) {
    if (address == 0) return std::nullopt;
    auto bytes = seccomp::notif::read_child_mem(call.listener, call.notif, address, PATH_BYTES);
    if (!bytes) return std::nullopt;
    std::string path(bytes->begin(), std::find(bytes->begin(), bytes->end(), 0));
    if (path != "/dev/random" && path != "/dev/urandom") return std::nullopt;
    return path;
}

}  // namespace

NotifAction handle_getrandom(const seccomp::notif::Call& call, Rng& rng) {
    const auto& args = call.notif.data.args;
    // The kernel's own refusal: handing out bytes for flags it refuses would hide a fault.
    if (!flags_accepted(args[2] & 0xFFFFFFFF)) return NotifAction::Errno{EINVAL};
    std::size_t n = std::min<std::uint64_t>(args[1], MAX_REQUEST);
    if (n == 0) return NotifAction::ReturnValue{0};
    std::vector<std::uint8_t> bytes = rng.take(n);
    // The stream has moved on all the same; the kernel's own bytes never stand in.
    if (!seccomp::notif::write_child_mem(call.listener, call.notif, args[0], bytes))
        return NotifAction::Errno{EFAULT};
    return NotifAction::ReturnValue{static_cast<std::int64_t>(n)};
}

std::optional<NotifAction> handle_random_open(const seccomp::notif::Call& call, Rng& rng,
                                              DeviceStreams& devices) {
    const auto& n = call.notif;
    const bool plain_open = n.data.nr == SYS_open;
    std::uint64_t flags = plain_open ? n.data.args[1] : n.data.args[2];
    // A device opened for writing takes what is written, as the kernel's does.
    if ((flags & O_ACCMODE) != O_RDONLY) return std::nullopt;
    if (!device_path(call, plain_open ? n.data.args[0] : n.data.args[1])) return std::nullopt;
    std::vector<std::uint8_t> first = rng.take(MAX_REQUEST);
    auto device = devices.open(std::move(first), Rng(rng.seed(), 1 + devices.opened()));
    if (!device) return NotifAction::Errno{device.error()};
    return NotifAction::InjectFdSend{std::move(*device), seccomp::notif::wants_cloexec(n)};
}

}  // namespace vestrion::random
