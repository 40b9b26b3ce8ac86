// The policy file of a checkpoint, as a hostile directory could hold it: any bytes decode to a
// policy or to the decoder's error, and a decoded policy encodes back to bytes that decode to
// the same bytes again.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/checkpoint/policy_codec.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vestrion::checkpoint;
    auto policy = decode_policy(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!policy) return 0;
    auto bytes = encode_policy(*policy);
    if (!bytes) return 0;  // a text that is not UTF-8, or a time before 1970: refused, not lost
    auto again = decode_policy(*bytes);
    if (!again) std::abort();
    auto same = encode_policy(*again);
    if (!same || *same != *bytes) std::abort();
    return 0;
}
