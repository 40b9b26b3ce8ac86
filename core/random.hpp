// The sandbox's deterministic random stream. For now it only keeps its seed: the stream itself
// comes with the getrandom and random-device handlers.
#pragma once

#include <cstdint>

namespace vestrion::random {

class Rng {
public:
    explicit Rng(std::uint64_t seed) : seed_(seed) {}
    std::uint64_t seed() const { return seed_; }

private:
    std::uint64_t seed_;
};

}  // namespace vestrion::random
