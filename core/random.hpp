// The sandbox's deterministic random stream: ChaCha with four double rounds, keyed from the
// seed by PCG32, and the streams that feed the random devices a command opens.
#pragma once

#include <array>
#include <cstddef>
#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "core/sys/fd.hpp"

namespace vestrion::random {

class Rng {
  public:
    // Stream 0 is the sandbox's own; a device open gets a stream of its own.
    explicit Rng(std::uint64_t seed, std::uint64_t stream = 0);

    std::uint64_t seed() const { return seed_; }

    // Fills `out` from the stream. A request takes whole words: the rest of its last word is
    // dropped, and the next request starts with the next word.
    void fill(std::span<std::uint8_t> out);
    std::vector<std::uint8_t> take(std::size_t n);

  private:
    void refill();

    std::uint64_t seed_;
    std::array<std::uint32_t, 16> input_{};  // constants, key, counter, stream
    std::array<std::uint32_t, 64> words_{};  // four blocks
    std::size_t next_ = 64;                  // the next word to hand out
};

// The pipes behind the random devices of a run. A device never reaches end-of-file: once the
// bytes written at the open are read, a thread of the supervisor's keeps each pipe filled from
// that open's own stream until the command has closed every copy of its end.
class DeviceStreams {
  public:
    // How many device opens one sandbox may hold at once; beyond it an open fails with ENFILE.
    static constexpr std::size_t MAX_OPEN = 256;

    DeviceStreams() = default;
    DeviceStreams(const DeviceStreams&) = delete;
    DeviceStreams& operator=(const DeviceStreams&) = delete;
    ~DeviceStreams();

    // The reading end of a new device: `first` is readable at once, then `rest` follows without
    // end. The error number when it cannot be made.
    std::expected<UniqueFd, int> open(std::vector<std::uint8_t> first, Rng rest);

    // Device opens served so far: the index of the next one.
    std::uint64_t opened() const { return opened_; }

  private:
    struct Feed {
        UniqueFd pipe;  // the writing end, non-blocking
        Rng rng;
        std::vector<std::uint8_t> pending;
        std::size_t sent = 0;
    };
    void run();
    bool start();

    std::mutex mutex_;
    std::vector<Feed> incoming_;  // taken by the thread when it wakes
    std::atomic<std::size_t> live_{0};
    UniqueFd wake_;            // eventfd
    std::thread thread_;
    std::uint64_t opened_ = 0;
    bool stopping_ = false;
};

}  // namespace vestrion::random
