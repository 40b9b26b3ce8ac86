#include "core/sandbox.hpp"

namespace vestrion {

std::atomic<bool> CONFINED{false};

}  // namespace vestrion
