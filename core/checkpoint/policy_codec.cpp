#include "core/checkpoint/policy_codec.hpp"

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <limits>
#include <utility>

#include "core/context/filter_lists.hpp"
#include "core/text.hpp"

namespace vestrion::checkpoint {

namespace {

VestrionError codec_error(std::string text) {
    return SandboxError(SandboxError::Child{std::move(text)});
}

// --- Writing ---

// Counts the bytes of the encoding, or appends them to a buffer sized by an earlier count.
struct Sink {
    std::string* out = nullptr;
    std::size_t size = 0;

    void bytes(const void* data, std::size_t n) {
        size += n;
        if (out) out->append(static_cast<const char*>(data), n);
    }
    template <std::unsigned_integral T>
    void uint(T value) {
        unsigned char buf[sizeof(T)];
        for (std::size_t i = 0; i < sizeof(T); ++i) buf[i] = static_cast<unsigned char>(value >> (8 * i));
        bytes(buf, sizeof buf);
    }
    void boolean(bool value) { uint<std::uint8_t>(value ? 1 : 0); }
    void tag(bool present) { boolean(present); }
};

class Encoder {
  public:
    explicit Encoder(Sink& sink) : sink_(sink) {}

    Result<void> policy(const Policy& p) {
        if (auto r = paths(p.fs_writable); !r) return r;
        if (auto r = paths(p.fs_readable); !r) return r;
        if (auto r = paths(p.fs_denied); !r) return r;
        if (auto r = optional_texts(p.deny_syscalls); !r) return r;
        if (auto r = optional_texts(p.allow_syscalls); !r) return r;
        if (auto r = texts(p.net_allow_hosts); !r) return r;
        ports(p.net_bind);
        ports(p.net_connect);
        for (bool b : {p.no_raw_sockets, p.no_udp, p.isolate_ipc, p.isolate_signals, p.isolate_pids})
            sink_.boolean(b);
        optional_uint(p.max_memory);
        sink_.uint(p.max_processes);
        optional_uint(p.max_open_files);
        optional_uint(p.max_cpu);
        optional_uint(p.random_seed);
        if (auto r = optional_time(p.time_start); !r) return r;
        for (bool b : {p.no_randomize_memory, p.no_huge_pages, p.deterministic_dirs}) sink_.boolean(b);
        if (auto r = optional_text(p.hostname); !r) return r;
        variant(static_cast<std::uint8_t>(p.fs_isolation));
        if (auto r = optional_path(p.workdir); !r) return r;
        if (auto r = optional_path(p.cwd); !r) return r;
        if (auto r = optional_path(p.fs_storage); !r) return r;
        optional_uint(p.max_disk);
        variant(static_cast<std::uint8_t>(p.on_exit));
        variant(static_cast<std::uint8_t>(p.on_error));
        if (auto r = optional_path(p.chroot); !r) return r;
        sink_.boolean(p.clean_env);
        if (auto r = env(p.env); !r) return r;
        sink_.boolean(p.close_fds);
        optional_u32s(p.gpu_devices);
        optional_u32s(p.cpu_cores);
        optional_uint(p.num_cpus);
        sink_.boolean(p.port_remap);
        sink_.boolean(p.privileged);
        return {};
    }

  private:
    // A text that is not UTF-8 would write a file that no load accepts.
    Result<void> text(std::string_view s, const char* refusal) {
        if (!text::is_valid_utf8(s)) return std::unexpected(codec_error(refusal));
        sink_.uint(static_cast<std::uint64_t>(s.size()));
        sink_.bytes(s.data(), s.size());
        return {};
    }
    Result<void> text(std::string_view s) { return text(s, "text contains invalid UTF-8 characters"); }
    Result<void> path(const Path& p) { return text(p.native(), "path contains invalid UTF-8 characters"); }

    Result<void> paths(const std::vector<Path>& list) {
        sink_.uint(static_cast<std::uint64_t>(list.size()));
        for (const Path& p : list)
            if (auto r = path(p); !r) return r;
        return {};
    }
    Result<void> texts(const std::vector<std::string>& list) {
        sink_.uint(static_cast<std::uint64_t>(list.size()));
        for (const std::string& s : list)
            if (auto r = text(s); !r) return r;
        return {};
    }
    Result<void> optional_texts(const std::optional<std::vector<std::string>>& list) {
        sink_.tag(list.has_value());
        return list ? texts(*list) : Result<void>{};
    }
    Result<void> optional_text(const std::optional<std::string>& s) {
        sink_.tag(s.has_value());
        return s ? text(*s) : Result<void>{};
    }
    Result<void> optional_path(const std::optional<Path>& p) {
        sink_.tag(p.has_value());
        return p ? path(*p) : Result<void>{};
    }
    void ports(const std::vector<std::uint16_t>& list) {
        sink_.uint(static_cast<std::uint64_t>(list.size()));
        for (std::uint16_t port : list) sink_.uint(port);
    }
    template <class T>
    void optional_uint(const std::optional<T>& value) {
        sink_.tag(value.has_value());
        if (value) sink_.uint(*value);
    }
    void optional_u32s(const std::optional<std::vector<std::uint32_t>>& list) {
        sink_.tag(list.has_value());
        if (!list) return;
        sink_.uint(static_cast<std::uint64_t>(list->size()));
        for (std::uint32_t v : *list) sink_.uint(v);
    }
    void variant(std::uint8_t index) { sink_.uint(static_cast<std::uint32_t>(index)); }
    Result<void> optional_time(const std::optional<TimePoint>& t) {
        sink_.tag(t.has_value());
        if (!t) return {};
        std::int64_t ns = t->time_since_epoch().count();
        if (ns < 0) return std::unexpected(codec_error("SystemTime must be later than UNIX_EPOCH"));
        sink_.uint(static_cast<std::uint64_t>(ns / 1'000'000'000));
        sink_.uint(static_cast<std::uint32_t>(ns % 1'000'000'000));
        return {};
    }
    // Sorted by key: the map's own order differs from one process to the next.
    Result<void> env(const std::unordered_map<std::string, std::string>& map) {
        std::vector<const std::pair<const std::string, std::string>*> entries;
        entries.reserve(map.size());
        for (const auto& entry : map) entries.push_back(&entry);
        std::sort(entries.begin(), entries.end(),
                  [](const auto* a, const auto* b) { return a->first < b->first; });
        sink_.uint(static_cast<std::uint64_t>(entries.size()));
        for (const auto* entry : entries) {
            if (auto r = text(entry->first); !r) return r;
            if (auto r = text(entry->second); !r) return r;
        }
        return {};
    }

    Sink& sink_;
};

// --- Reading ---

constexpr std::size_t kMaxReserveBytes = 1 << 20;

class Decoder {
  public:
    explicit Decoder(std::string_view input) : in_(input) {}

    Result<Policy> policy() {
        Policy p;
        try_read(paths(p.fs_writable));
        try_read(paths(p.fs_readable));
        try_read(paths(p.fs_denied));
        try_read(optional_texts(p.deny_syscalls));
        try_read(optional_texts(p.allow_syscalls));
        try_read(texts(p.net_allow_hosts));
        try_read(uints(p.net_bind));
        try_read(uints(p.net_connect));
        for (bool* b : {&p.no_raw_sockets, &p.no_udp, &p.isolate_ipc, &p.isolate_signals, &p.isolate_pids})
            try_read(boolean(*b));
        try_read(optional_uint(p.max_memory));
        try_read(uint(p.max_processes));
        try_read(optional_uint(p.max_open_files));
        try_read(optional_uint(p.max_cpu));
        try_read(optional_uint(p.random_seed));
        try_read(optional_time(p.time_start));
        for (bool* b : {&p.no_randomize_memory, &p.no_huge_pages, &p.deterministic_dirs})
            try_read(boolean(*b));
        try_read(optional_text(p.hostname));
        try_read(variant(p.fs_isolation));
        try_read(optional_path(p.workdir));
        try_read(optional_path(p.cwd));
        try_read(optional_path(p.fs_storage));
        try_read(optional_uint(p.max_disk));
        try_read(variant(p.on_exit));
        try_read(variant(p.on_error));
        try_read(optional_path(p.chroot));
        try_read(boolean(p.clean_env));
        try_read(env(p.env));
        try_read(boolean(p.close_fds));
        try_read(optional_uints(p.gpu_devices));
        try_read(optional_uints(p.cpu_cores));
        try_read(optional_uint(p.num_cpus));
        try_read(boolean(p.port_remap));
        try_read(boolean(p.privileged));
        try_read(deniable(p.deny_syscalls));
        if (error_) return std::unexpected(codec_error(std::move(*error_)));
        return p;
    }

  private:
    // Every reader returns false once an error is recorded; later reads do nothing.
    void try_read(bool) {}

    // A saved deny list that names a call the filter does not know would deny nothing once loaded:
    // refused as the policy builder refuses it.
    bool deniable(const std::optional<std::vector<std::string>>& names) {
        if (error_ || !names) return !error_;
        for (const std::string& name : *names)
            if (!context::syscall_name_to_nr(name))
                return fail("deny_syscalls names '" + name + "', which is not a system call it can deny");
        return true;
    }

    bool fail(std::string text) {
        if (!error_) error_ = std::move(text);
        return false;
    }
    bool take(std::size_t n, std::string_view& out) {
        if (error_) return false;
        if (in_.size() - pos_ < n) return fail("io error: unexpected end of file");
        out = in_.substr(pos_, n);
        pos_ += n;
        return true;
    }
    template <std::unsigned_integral T>
    bool uint(T& value) {
        std::string_view raw;
        if (!take(sizeof(T), raw)) return false;
        value = 0;
        for (std::size_t i = 0; i < sizeof(T); ++i)
            value |= static_cast<T>(static_cast<T>(static_cast<unsigned char>(raw[i])) << (8 * i));
        return true;
    }
    bool byte_flag(bool& value, const char* what) {
        std::uint8_t b;
        if (!uint(b)) return false;
        if (b > 1) return fail(std::string(what) + std::to_string(b));
        value = b == 1;
        return true;
    }
    bool boolean(bool& value) {
        return byte_flag(value, "invalid u8 while decoding bool, expected 0 or 1, found ");
    }
    bool tag(bool& present) { return byte_flag(present, "tag for enum is not valid, found "); }

    // The element count, and how many to reserve for it: never more than what 1 MiB holds.
    template <class T>
    bool count(std::uint64_t& n, std::vector<T>& list) {
        if (!uint(n)) return false;
        list.clear();
        list.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(n, kMaxReserveBytes / sizeof(T))));
        return true;
    }
    bool text(std::string& out) {
        std::uint64_t n;
        std::string_view raw;
        if (!uint(n)) return false;
        if (n > in_.size() - pos_) return fail("io error: unexpected end of file");
        if (!take(static_cast<std::size_t>(n), raw)) return false;
        if (std::string why = utf8_error(raw); !why.empty()) return fail("string is not valid utf8: " + why);
        out.assign(raw);
        return true;
    }
    bool path(Path& out) {
        std::string s;
        if (!text(s)) return false;
        out = Path(std::move(s));
        return true;
    }
    template <class T, class Read>
    bool list(std::vector<T>& out, Read read) {
        std::uint64_t n;
        if (!count(n, out)) return false;
        for (std::uint64_t i = 0; i < n; ++i) {
            T item{};
            if (!read(item)) return false;
            out.push_back(std::move(item));
        }
        return true;
    }
    bool paths(std::vector<Path>& out) { return list(out, [this](Path& p) { return path(p); }); }
    bool texts(std::vector<std::string>& out) {
        return list(out, [this](std::string& s) { return text(s); });
    }
    template <std::unsigned_integral T>
    bool uints(std::vector<T>& out) {
        return list(out, [this](T& v) { return uint(v); });
    }
    template <class T, class Read>
    bool optional(std::optional<T>& out, Read read) {
        bool present;
        if (!tag(present)) return false;
        out.reset();
        if (!present) return true;
        T value{};
        if (!read(value)) return false;
        out = std::move(value);
        return true;
    }
    bool optional_texts(std::optional<std::vector<std::string>>& out) {
        return optional(out, [this](std::vector<std::string>& v) { return texts(v); });
    }
    bool optional_text(std::optional<std::string>& out) {
        return optional(out, [this](std::string& s) { return text(s); });
    }
    bool optional_path(std::optional<Path>& out) {
        return optional(out, [this](Path& p) { return path(p); });
    }
    template <std::unsigned_integral T>
    bool optional_uint(std::optional<T>& out) {
        return optional(out, [this](T& v) { return uint(v); });
    }
    bool optional_uints(std::optional<std::vector<std::uint32_t>>& out) {
        return optional(out, [this](std::vector<std::uint32_t>& v) { return uints(v); });
    }
    template <class E>
    bool variant(E& out) {
        std::uint32_t index;
        if (!uint(index)) return false;
        if (index > 2)
            return fail("invalid value: integer `" + std::to_string(index) +
                        "`, expected variant index 0 <= i < 3");
        out = static_cast<E>(index);
        return true;
    }
    bool time(TimePoint& out) {
        std::uint64_t seconds;
        std::uint32_t nanos;
        if (!uint(seconds) || !uint(nanos)) return false;
        constexpr std::uint32_t kBillion = 1'000'000'000;
        if (nanos >= kBillion) {
            std::uint64_t carry = nanos / kBillion;
            if (seconds > std::numeric_limits<std::uint64_t>::max() - carry)
                return fail("overflow deserializing SystemTime epoch offset");
            seconds += carry;
            nanos %= kBillion;
        }
        // The clock counts nanoseconds in a signed 64-bit number.
        constexpr std::uint64_t kMaxNs = std::numeric_limits<std::int64_t>::max();
        if (seconds > kMaxNs / kBillion || seconds * kBillion > kMaxNs - nanos)
            return fail("overflow deserializing SystemTime");
        out = TimePoint(std::chrono::nanoseconds(static_cast<std::int64_t>(seconds * kBillion + nanos)));
        return true;
    }
    bool optional_time(std::optional<TimePoint>& out) {
        return optional(out, [this](TimePoint& t) { return time(t); });
    }
    // A key given twice keeps the later value.
    bool env(std::unordered_map<std::string, std::string>& out) {
        std::uint64_t n;
        if (!uint(n)) return false;
        out.clear();
        for (std::uint64_t i = 0; i < n; ++i) {
            std::string key, value;
            if (!text(key) || !text(value)) return false;
            out.insert_or_assign(std::move(key), std::move(value));
        }
        return true;
    }

    std::string_view in_;
    std::size_t pos_ = 0;
    std::optional<std::string> error_;
};

}  // namespace

Result<std::string> encode_policy(const Policy& policy) {
    Sink counter;
    if (auto counted = Encoder(counter).policy(policy); !counted) return std::unexpected(counted.error());
    std::string bytes;
    bytes.reserve(counter.size);
    Sink writer{&bytes, 0};
    (void)Encoder(writer).policy(policy);
    return bytes;
}

Result<Policy> decode_policy(std::string_view bytes) { return Decoder(bytes).policy(); }

std::string utf8_error(std::string_view s) {
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    auto cont = [](unsigned char c) { return (c & 0xC0) == 0x80; };
    auto invalid = [](std::size_t len, std::size_t from) {
        return "invalid utf-8 sequence of " + std::to_string(len) + " bytes from index " +
               std::to_string(from);
    };
    auto incomplete = [](std::size_t from) {
        return "incomplete utf-8 byte sequence from index " + std::to_string(from);
    };
    std::size_t i = 0;
    while (i < s.size()) {
        unsigned char c = at(i);
        std::size_t width = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3
                          : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
        if (width == 0) return invalid(1, i);
        if (width == 1) {
            ++i;
            continue;
        }
        if (i + 1 >= s.size()) return incomplete(i);
        unsigned char c1 = at(i + 1);
        bool second_ok = width == 2 ? cont(c1)
                         : width == 3 ? (c == 0xE0 ? (c1 >= 0xA0 && c1 <= 0xBF)
                                        : c == 0xED ? (c1 >= 0x80 && c1 <= 0x9F)
                                                    : cont(c1))
                                      : (c == 0xF0 ? (c1 >= 0x90 && c1 <= 0xBF)
                                         : c == 0xF4 ? (c1 >= 0x80 && c1 <= 0x8F)
                                                     : cont(c1));
        if (!second_ok) return invalid(1, i);
        for (std::size_t k = 2; k < width; ++k) {
            if (i + k >= s.size()) return incomplete(i);
            if (!cont(at(i + k))) return invalid(k, i);
        }
        i += width;
    }
    return {};
}

}  // namespace vestrion::checkpoint
