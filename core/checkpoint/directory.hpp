// The checkpoint directory D:
//   meta.json, policy.dat, app_state.bin (when there are application bytes),
//   process/info.json, process/fds.json, process/memory_map.json,
//   process/threads/0.bin (the register words), process/memory/N.bin (one per dumped range).
//
// A save never destroys what it did not write: it writes a fresh, uniquely named sibling of D,
// flushes it to disk and swaps it in atomically, and it replaces D only when D is absent, empty
// or an earlier checkpoint. A load trusts nothing in D: every file is opened beneath D without
// following any link, must be a regular file, and has its size checked before anything is
// allocated for it.
#pragma once

#include <cstdint>

#include "core/checkpoint/checkpoint.hpp"

namespace vestrion::checkpoint {

// The largest JSON file a load reads.
inline constexpr std::uint64_t kMaxJsonBytes = 16ull << 20;
// The largest register image a load reads: the kernel's record is 216 bytes; the words beyond
// it are kept, up to this.
inline constexpr std::uint64_t kMaxRegisterBytes = 4096;

// Reads the checkpoint held by the open directory `dirfd` (borrowed).
Result<Checkpoint> load_at(int dirfd);

// Whether the directory `name` in `parent_fd` holds nothing but what a save writes (or nothing).
bool is_checkpoint_tree(int parent_fd, const char* name);

}  // namespace vestrion::checkpoint
