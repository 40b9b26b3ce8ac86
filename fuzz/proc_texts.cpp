// The /proc texts a command shapes (a process name may hold ") " and newlines) and the paths it
// names: every parser gives a value or none, never a read out of bounds; a normalised path is
// absolute, clean and normalises to itself.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/child_rights.hpp"
#include "core/sys/proc.hpp"
#include "core/text.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vestrion;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    (void)sys::proc::parse_thread_group(text);
    (void)sys::proc::parse_file_credentials(text);
    (void)sys::proc::parse_parent_pid(text);
    (void)sys::proc::parse_image_layout(text);
    (void)sys::proc::parse_group_membership(text);
    (void)sys::proc::parse_maps_line(text);
    (void)child_rights::parse_credentials(text);
    for (std::uint32_t id : {0u, 1000u, 65534u, 0xFFFFFFFFu}) {
        (void)sys::proc::map_id(text, id, true);
        (void)sys::proc::map_id(text, id, false);
    }

    std::size_t cut = size ? data[0] % (size + 1) : 0;
    std::string_view path = text.substr(0, cut), base = text.substr(cut);
    std::string normal = text::normalize_path(path, base);
    if (normal.empty() || normal[0] != '/') std::abort();
    if (normal.size() > 1 && normal.back() == '/') std::abort();
    if (normal.find("//") != std::string::npos || normal.find("/./") != std::string::npos ||
        normal.find("/../") != std::string::npos || normal.ends_with("/.") ||
        normal.ends_with("/.."))
        std::abort();
    if (text::normalize_path(normal) != normal) std::abort();
    return 0;
}
