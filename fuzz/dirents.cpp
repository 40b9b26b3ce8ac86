// Directory records as the supervisor builds them from names a command chose: each parses back
// to its name and type, in the kernel's layout, aligned as the kernel aligns it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "core/procfs.hpp"

namespace {

std::uint16_t u16_at(const std::string& r, std::size_t at) {
    std::uint16_t v;
    std::memcpy(&v, r.data() + at, 2);
    return v;
}
std::uint64_t u64_at(const std::string& r, std::size_t at) {
    std::uint64_t v;
    std::memcpy(&v, r.data() + at, 8);
    return v;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace vestrion::procfs;
    if (size < 17) return 0;
    std::uint64_t ino, off;
    std::memcpy(&ino, data, 8);
    std::memcpy(&off, data + 8, 8);
    std::uint8_t type = data[16];
    std::string_view name(reinterpret_cast<const char*>(data + 17), size - 17);
    // A name holds no NUL and no "/": the file system gives none.
    if (name.empty() || name.size() > 255 || name.find('\0') != std::string_view::npos ||
        name.find('/') != std::string_view::npos)
        return 0;

    std::string r64 = build_dirent64(ino, off, type, name);
    if (r64.size() % 8 || r64.size() != u16_at(r64, 16) || u64_at(r64, 0) != ino ||
        u64_at(r64, 8) != off || static_cast<std::uint8_t>(r64[18]) != type)
        std::abort();
    if (std::string_view(r64.c_str() + 19) != name) std::abort();

    std::string old = build_dirent(ino, off, type, name);
    if (old.size() % 8 || old.size() != u16_at(old, 16) ||
        static_cast<std::uint8_t>(old.back()) != type)
        std::abort();
    if (std::string_view(old.c_str() + 18) != name) std::abort();
    return 0;
}
