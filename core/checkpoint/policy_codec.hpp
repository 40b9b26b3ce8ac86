// The policy file of a checkpoint: the 39 persisted fields of a `Policy`, in declaration order,
// as fixed-width little-endian values with no header. The callback is never written.
#pragma once

#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/policy.hpp"

namespace vestrion::checkpoint {

// The bytes of the policy file. `env` is written sorted by key, so that one policy always gives
// the same bytes. Fails on a path or text that is not UTF-8, or a start time before 1970.
Result<std::string> encode_policy(const Policy& policy);

// The policy held by the first bytes of `bytes` (bytes after the last field are ignored). Trusts
// nothing: every count is bounded by what remains, and nothing is reserved beyond 1 MiB ahead of
// the elements actually read. The policy is used as it stands, without the builder's checks.
Result<Policy> decode_policy(std::string_view bytes);

// Why `bytes` is not UTF-8, in the words the decoder uses; "" when it is.
std::string utf8_error(std::string_view bytes);

}  // namespace vestrion::checkpoint
