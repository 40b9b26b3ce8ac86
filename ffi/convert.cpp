#include "ffi/convert.hpp"

#include <string_view>
#include <utility>

namespace vestrion::ffi {

namespace {

// Decodes the code point at s[i] of valid UTF-8 and its length.
std::pair<char32_t, std::size_t> decode(std::string_view s, std::size_t i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    char32_t cp = len == 1 ? c : c & (0x7F >> len);
    for (std::size_t k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    return {cp, len};
}

bool is_unicode_space(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

std::string trim(std::string_view piece) {
    std::size_t begin = 0, end = piece.size();
    while (begin < end) {
        auto [cp, len] = decode(piece, begin);
        if (!is_unicode_space(cp)) break;
        begin += len;
    }
    while (end > begin) {
        std::size_t start = end - 1;
        while (start > begin && (static_cast<unsigned char>(piece[start]) & 0xC0) == 0x80) --start;
        if (!is_unicode_space(decode(piece, start).first)) break;
        end = start;
    }
    return std::string(piece.substr(begin, end - begin));
}

}  // namespace

// "a, b,,c " -> {"a", "b", "c"}: split at commas, trimmed, empty pieces dropped.
std::vector<std::string> split_names(const char* names) {
    std::string text = strict(names);
    std::vector<std::string> list;
    std::size_t start = 0;
    while (true) {
        std::size_t comma = text.find(',', start);
        std::string piece = trim(std::string_view(text).substr(start, comma - start));
        if (!piece.empty()) list.push_back(std::move(piece));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return list;
}

}  // namespace vestrion::ffi
