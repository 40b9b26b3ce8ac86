// The system-call list of the C builder: any text splits into pieces that are not empty, hold
// no comma, and appear in the text in order.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ffi/convert.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.substr(0, text.find('\0'));  // a C string ends at its first NUL
    std::size_t at = 0;
    for (const std::string& piece : vestrion::ffi::split_names(text.c_str())) {
        if (piece.empty() || piece.find(',') != std::string::npos) std::abort();
        std::size_t found = text.find(piece, at);
        if (found == std::string::npos) std::abort();
        at = found + piece.size();
        if (piece.front() == ' ' || piece.back() == ' ') std::abort();
    }
    return 0;
}
