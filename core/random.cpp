#include "core/random.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace vestrion::random {

namespace {

std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }
std::uint32_t rotr(std::uint32_t x, unsigned n) { return (x >> (n & 31)) | (x << ((32 - n) & 31)); }

void quarter_round(std::array<std::uint32_t, 16>& x, int a, int b, int c, int d) {
    x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 16);
    x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 12);
    x[a] += x[b]; x[d] = rotl(x[d] ^ x[a], 8);
    x[c] += x[d]; x[b] = rotl(x[b] ^ x[c], 7);
}

// One 64-byte block: four double rounds over the input, added back to it.
void chacha8_block(const std::array<std::uint32_t, 16>& input, std::uint32_t* out) {
    std::array<std::uint32_t, 16> x = input;
    for (int i = 0; i < 4; ++i) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (int i = 0; i < 16; ++i) out[i] = x[i] + input[i];
}

// The next key word of PCG32 (XSH-RR), the state advanced first.
std::uint32_t pcg32_next(std::uint64_t& s) {
    s = s * 6364136223846793005ULL + 11634580027462260723ULL;
    auto xorshifted = static_cast<std::uint32_t>(((s >> 18) ^ s) >> 27);
    return rotr(xorshifted, static_cast<unsigned>(s >> 59));
}

}  // namespace

Rng::Rng(std::uint64_t seed, std::uint64_t stream) : seed_(seed) {
    // "expand 32-byte k"
    input_[0] = 0x61707865;
    input_[1] = 0x3320646e;
    input_[2] = 0x79622d32;
    input_[3] = 0x6b206574;
    std::uint64_t s = seed;
    for (int i = 0; i < 8; ++i) input_[4 + i] = pcg32_next(s);
    input_[12] = input_[13] = 0;  // 64-bit block counter
    input_[14] = static_cast<std::uint32_t>(stream);
    input_[15] = static_cast<std::uint32_t>(stream >> 32);
}

void Rng::refill() {
    for (int block = 0; block < 4; ++block) {
        chacha8_block(input_, &words_[16 * block]);
        if (++input_[12] == 0) ++input_[13];
    }
    next_ = 0;
}

void Rng::fill(std::span<std::uint8_t> out) {
    std::size_t done = 0;
    while (done < out.size()) {
        if (next_ == words_.size()) refill();
        std::uint32_t word = words_[next_++];
        std::uint8_t bytes[4] = {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
                                 static_cast<std::uint8_t>(word >> 16),
                                 static_cast<std::uint8_t>(word >> 24)};
        std::size_t n = std::min<std::size_t>(4, out.size() - done);
        std::memcpy(out.data() + done, bytes, n);
        done += n;
    }
}

std::vector<std::uint8_t> Rng::take(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    fill(bytes);
    return bytes;
}

// --- DeviceStreams ---

DeviceStreams::~DeviceStreams() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (wake_) {
        std::uint64_t one = 1;
        (void)::write(wake_.get(), &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
}

bool DeviceStreams::start() {
    if (thread_.joinable()) return true;
    wake_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_) return false;
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

std::expected<UniqueFd, int> DeviceStreams::open(std::vector<std::uint8_t> first, Rng rest) {
    if (live_.load() >= MAX_OPEN) return std::unexpected(ENFILE);
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return std::unexpected(errno);
    UniqueFd reader(ends[0]), writer(ends[1]);
    // Room for the first bytes at once where the system allows it; the thread writes the rest.
    (void)::fcntl(writer.get(), F_SETPIPE_SZ, static_cast<int>(first.size()));
    if (::fcntl(writer.get(), F_SETFL, O_NONBLOCK) != 0) return std::unexpected(errno);
    std::size_t sent = 0;
    while (sent < first.size()) {
        ssize_t n = ::write(writer.get(), first.data() + sent, first.size() - sent);
        if (n <= 0) break;  // full: the thread goes on
        sent += static_cast<std::size_t>(n);
    }
    std::lock_guard lock(mutex_);
    if (!start()) return std::unexpected(EAGAIN);
    ++opened_;
    ++live_;
    incoming_.push_back(Feed{std::move(writer), std::move(rest), std::move(first), sent});
    std::uint64_t one = 1;
    (void)::write(wake_.get(), &one, sizeof one);
    return reader;
}

namespace {

// Writes what the feed has ready; false once nobody reads the pipe any more.
template <class Feed>
bool top_up(Feed& feed) {
    constexpr std::size_t CHUNK = 64 * 1024;
    while (true) {
        if (feed.sent == feed.pending.size()) {
            feed.pending.resize(CHUNK);
            feed.rng.fill(feed.pending);
            feed.sent = 0;
        }
        ssize_t n = ::write(feed.pipe.get(), feed.pending.data() + feed.sent,
                            feed.pending.size() - feed.sent);
        if (n > 0) {
            feed.sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) return true;
        return false;  // EPIPE: every reader is gone
    }
}

// A write to a pipe without readers raised SIGPIPE for this thread, which blocks it: take it
// back, so that it never reaches the caller's process.
void consume_sigpipe() {
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    timespec zero{};
    while (::sigtimedwait(&pipe_only, nullptr, &zero) == SIGPIPE) {
    }
}

}  // namespace

void DeviceStreams::run() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    std::vector<Feed> feeds;
    std::vector<pollfd> fds;
    while (true) {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            for (Feed& feed : incoming_) feeds.push_back(std::move(feed));
            incoming_.clear();
        }
        fds.assign(1, pollfd{wake_.get(), POLLIN, 0});
        for (const Feed& feed : feeds) fds.push_back(pollfd{feed.pipe.get(), POLLOUT, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
        if (fds[0].revents) {
            std::uint64_t count;
            (void)::read(wake_.get(), &count, sizeof count);
        }
        std::vector<Feed> kept;
        for (std::size_t i = 0; i < feeds.size(); ++i) {
            short events = fds[i + 1].revents;
            bool alive = !(events & (POLLERR | POLLHUP | POLLNVAL));
            if (alive && (events & POLLOUT)) alive = top_up(feeds[i]);
            if (alive) {
                kept.push_back(std::move(feeds[i]));
            } else {
                consume_sigpipe();
                --live_;
            }
        }
        feeds = std::move(kept);
    }
}

}  // namespace vestrion::random
