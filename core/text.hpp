// Small text helpers shared by the modules: quoting paths for messages, lossy UTF-8, and a
// fixed-size line buffer that the child of a spawn can fill without allocating.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vestrion::text {

// The text in double quotes with backslash escapes; bytes that are not UTF-8 become \xNN.
std::string quoted(std::string_view bytes);

// The bytes as UTF-8, each invalid sequence replaced by U+FFFD.
std::string lossy_utf8(std::string_view bytes);

bool is_valid_utf8(std::string_view bytes);

// The path with repeated "/", "." and ".." resolved on the text alone (no symbolic links); a
// relative path is first joined to `base`, itself taken as absolute. ".." at the root stays there.
std::string normalize_path(std::string_view path, std::string_view base = "/");

// Appends to a fixed buffer, silently truncating; never allocates.
class LineBuf {
public:
    LineBuf& add(std::string_view s) noexcept;
    LineBuf& add(const char* s) noexcept { return add(std::string_view(s ? s : "")); }
    LineBuf& add_uint(std::uint64_t v) noexcept;
    LineBuf& add_int(std::int64_t v) noexcept;
    // "<description> (os error N)", as every system error renders.
    LineBuf& add_os_error(int code) noexcept;

    std::string_view view() const noexcept { return {buf_, len_}; }
    // Writes the whole line to a descriptor, retrying short writes.
    void write_to(int fd) const noexcept;

private:
    char buf_[8192];
    std::size_t len_ = 0;
};

}  // namespace vestrion::text
