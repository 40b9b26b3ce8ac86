#include "core/chroot/interp.hpp"

#include <elf.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <unistd.h>

#include <cstring>

#include "core/chroot/resolve.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::chroot {

namespace {

constexpr std::size_t kMaxInterp = 4096;

bool read_at(int fd, void* out, std::size_t size, off_t off) {
    return ::pread(fd, out, size, off) == static_cast<ssize_t>(size);
}

}  // namespace

std::optional<std::string> elf_interpreter(int fd) {
    Elf64_Ehdr eh{};
    if (!read_at(fd, &eh, sizeof eh, 0) || std::memcmp(eh.e_ident, ELFMAG, SELFMAG) != 0 ||
        eh.e_ident[EI_CLASS] != ELFCLASS64 || eh.e_phentsize != sizeof(Elf64_Phdr))
        return std::nullopt;
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        Elf64_Phdr ph{};
        if (!read_at(fd, &ph, sizeof ph, static_cast<off_t>(eh.e_phoff + i * sizeof ph)))
            return std::nullopt;
        if (ph.p_type != PT_INTERP) continue;
        if (ph.p_filesz < 2 || ph.p_filesz > kMaxInterp) return std::nullopt;
        std::string path(ph.p_filesz, '\0');
        if (!read_at(fd, path.data(), path.size(), static_cast<off_t>(ph.p_offset)))
            return std::nullopt;
        path.resize(std::strlen(path.c_str()));
        if (path.empty()) return std::nullopt;
        return path;
    }
    return std::nullopt;
}

std::vector<std::string> host_files_for(const Path& root, const std::string& program,
                                        const std::vector<std::string>& search_dirs) {
    auto opened = Root::open(root);
    if (!opened) return {};
    std::vector<std::string> candidates;
    if (program.find('/') != std::string::npos)
        candidates.push_back(program);
    else
        for (const auto& dir : search_dirs) candidates.push_back(join(dir.empty() ? "/" : dir, program));
    for (const auto& candidate : candidates) {
        // Relative candidates start at the root, where the command starts without a directory.
        auto fd = open_in_root(*opened, candidate, O_RDONLY | O_NONBLOCK | O_NOCTTY);
        if (!fd) continue;
        auto interp = elf_interpreter(fd->get());
        if (!interp) return {};
        return {*interp};
    }
    return {};
}

}  // namespace vestrion::chroot
