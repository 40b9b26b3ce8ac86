// Conversions shared by the files of the C interface.
#pragma once

#include <string>

#include "core/text.hpp"

namespace vestrion::ffi {

// Input text, strictly: anything but valid UTF-8 becomes "".
inline std::string strict(const char* s) {
    std::string text(s);
    return text::is_valid_utf8(text) ? text : std::string();
}

}  // namespace vestrion::ffi
