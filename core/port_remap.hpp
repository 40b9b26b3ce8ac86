// Port remapping: which real port stands for each virtual port the sandbox bound. Only the
// record exists for now; the bind and getsockname handlers fill it when they land.
#pragma once

#include <cstdint>
#include <map>
#include <set>

namespace vestrion {

struct PortMap {
    std::map<std::uint16_t, std::uint16_t> virtual_to_real;
    std::map<std::uint16_t, std::uint16_t> real_to_virtual;
    std::set<std::uint16_t> bound_real;
};

}  // namespace vestrion
