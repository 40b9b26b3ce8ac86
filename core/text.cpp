#include "core/text.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/sys/syscall.hpp"

namespace vestrion::text {

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when it is not one.
std::size_t utf8_sequence_length(std::string_view s, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = byte(i);
    if (c < 0x80) return 1;
    std::size_t len;
    std::uint32_t cp;
    if ((c & 0xE0) == 0xC0) {
        len = 2;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    static constexpr std::uint32_t min_for_len[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min_for_len[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

constexpr char hex_digits[] = "0123456789abcdef";

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t len = utf8_sequence_length(bytes, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string normalize_path(std::string_view path, std::string_view base) {
    std::vector<std::string_view> parts;
    auto walk = [&](std::string_view text) {
        while (!text.empty()) {
            std::size_t slash = text.find('/');
            std::string_view part = text.substr(0, slash);
            text.remove_prefix(slash == std::string_view::npos ? text.size() : slash + 1);
            if (part.empty() || part == ".") continue;
            if (part == "..") {
                if (!parts.empty()) parts.pop_back();
            } else {
                parts.push_back(part);
            }
        }
    };
    if (!path.starts_with('/')) walk(base);
    walk(path);
    std::string out;
    for (std::string_view part : parts) {
        out += '/';
        out += part;
    }
    return out.empty() ? "/" : out;
}

std::string lossy_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t len = utf8_sequence_length(bytes, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(bytes.substr(i, len));
            i += len;
        }
    }
    return out;
}

std::string quoted(std::string_view bytes) {
    std::string out = "\"";
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t len = utf8_sequence_length(bytes, i);
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (len == 0) {
            out += "\\x";
            out += static_cast<char>(std::toupper(hex_digits[c >> 4]));
            out += static_cast<char>(std::toupper(hex_digits[c & 0xF]));
            ++i;
            continue;
        }
        if (len > 1) {
            out.append(bytes.substr(i, len));
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\0') {
            out += "\\0";
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u{";
            if (c >= 0x10) out += hex_digits[c >> 4];
            out += hex_digits[c & 0xF];
            out += '}';
        } else {
            out += static_cast<char>(c);
        }
        i += len;
    }
    out += '"';
    return out;
}

LineBuf& LineBuf::add(std::string_view s) noexcept {
    std::size_t n = std::min(s.size(), sizeof(buf_) - len_);
    std::memcpy(buf_ + len_, s.data(), n);
    len_ += n;
    return *this;
}

LineBuf& LineBuf::add_uint(std::uint64_t v) noexcept {
    char digits[24];
    std::size_t n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    while (n) add(std::string_view(&digits[--n], 1));
    return *this;
}

LineBuf& LineBuf::add_int(std::int64_t v) noexcept {
    if (v < 0) {
        add("-");
        return add_uint(static_cast<std::uint64_t>(-(v + 1)) + 1);
    }
    return add_uint(static_cast<std::uint64_t>(v));
}

LineBuf& LineBuf::add_os_error(int code) noexcept {
    if (const char* description = ::strerrordesc_np(code))
        add(description);
    else
        add("Unknown error ").add_int(code);
    add(" (os error ").add_int(code).add(")");
    return *this;
}

void LineBuf::write_to(int fd) const noexcept {
    // Raw: the child of a spawn writes its failure line with this, errno untouched.
    std::size_t done = 0;
    while (done < len_) {
        long n = sys::syscall::raw(SYS_write, fd, reinterpret_cast<long>(buf_ + done),
                                   static_cast<long>(len_ - done));
        if (n == -EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

}  // namespace vestrion::text
