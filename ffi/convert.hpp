// Conversions shared by the files of the C interface.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <vector>

#include "core/text.hpp"

namespace vestrion::ffi {

// Input text, strictly: anything but valid UTF-8 becomes "".
inline std::string strict(const char* s) {
    std::string text(s);
    return text::is_valid_utf8(text) ? text : std::string();
}

// The command's arguments; none for a NULL argv or a NULL among its argc entries, which would
// otherwise end the caller inside a std::string.
inline std::optional<std::vector<std::string>> read_argv(const char* const* argv,
                                                         std::uint32_t argc) {
    if (!argv) return std::nullopt;
    std::vector<std::string> args;
    args.reserve(argc);
    for (std::uint32_t i = 0; i < argc; ++i) {
        if (!argv[i]) return std::nullopt;
        args.push_back(strict(argv[i]));
    }
    return args;
}

// A list of system-call names: split at commas, each piece trimmed of Unicode white space, empty
// pieces dropped ("a, b,,c " gives a, b and c). Text that is not UTF-8 gives nothing.
std::vector<std::string> split_names(const char* names);

}  // namespace vestrion::ffi
