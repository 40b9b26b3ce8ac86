// A checkpoint directory as a hostile caller could hand it over: the input is unpacked into a
// fresh directory, and the load either refuses it or yields a checkpoint whose every memory image
// fills its range. A loaded checkpoint saves, and loads back the same.
//
// The input is a list of entries, each a header line and its body up to the next header:
//   "@f NAME\n" then the file's bytes    a regular file
//   "@l NAME\n" then the link's target   a symbolic link
//   "@p NAME\n"                          a FIFO
//   "@d NAME\n"                          a directory
// NAME is relative, without "." or ".." components; its parents are made as needed.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/checkpoint/checkpoint.hpp"
#include "core/checkpoint/directory.hpp"
#include "core/checkpoint/policy_codec.hpp"

namespace {

namespace fs = std::filesystem;
using vestrion::Checkpoint;

struct Entry {
    char kind;
    std::string name;
    std::string_view body;
};

bool usable_name(std::string_view name) {
    if (name.empty() || name.size() > 200 || name.front() == '/') return false;
    if (name.find('\0') != std::string_view::npos) return false;
    std::size_t depth = 0;
    for (std::size_t at = 0; at <= name.size();) {
        std::size_t slash = name.find('/', at);
        std::string_view part = name.substr(at, slash == std::string_view::npos ? std::string_view::npos : slash - at);
        if (part.empty() || part == "." || part == "..") return false;
        if (++depth > 4) return false;
        if (slash == std::string_view::npos) break;
        at = slash + 1;
    }
    return true;
}

std::vector<Entry> entries_of(std::string_view input) {
    std::vector<Entry> entries;
    if (!input.starts_with('@')) return entries;
    while (!input.empty() && entries.size() < 64) {
        std::size_t end_of_header = input.find('\n');
        if (end_of_header == std::string_view::npos || end_of_header < 3 || input[2] != ' ') break;
        char kind = input[1];
        std::string name(input.substr(3, end_of_header - 3));
        input.remove_prefix(end_of_header + 1);
        std::size_t next = input.find("\n@");
        std::string_view body = input.substr(0, next);
        input.remove_prefix(next == std::string_view::npos ? input.size() : next + 1);
        if (usable_name(name)) entries.push_back({kind, std::move(name), body});
    }
    return entries;
}

// Makes the parent directories of `name` below `root`, through no link (an earlier entry may
// have made one, and the fuzzer runs as root); false when a parent is no directory.
bool make_parents(const fs::path& root, std::string_view name) {
    fs::path at = root;
    std::size_t slash;
    while ((slash = name.find('/')) != std::string_view::npos) {
        at /= std::string(name.substr(0, slash));
        name.remove_prefix(slash + 1);
        struct stat st;
        if (::lstat(at.c_str(), &st) != 0) {
            if (::mkdir(at.c_str(), 0700) != 0) return false;
        } else if (!S_ISDIR(st.st_mode)) {
            return false;
        }
    }
    return true;
}

void unpack(const fs::path& root, const std::vector<Entry>& entries) {
    for (const Entry& e : entries) {
        if (!make_parents(root, e.name)) continue;
        fs::path path = root / e.name;
        switch (e.kind) {
            case 'f': {
                // Never through a link, and never waiting on a FIFO an earlier entry made.
                int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
                if (fd < 0) break;
                if (::write(fd, e.body.data(), e.body.size()) < 0) {
                }
                ::close(fd);
                break;
            }
            case 'l':
                (void)::symlink(std::string(e.body).c_str(), path.c_str());
                break;
            case 'p':
                (void)::mkfifo(path.c_str(), 0600);
                break;
            case 'd':
                (void)::mkdir(path.c_str(), 0700);
                break;
            default:
                break;
        }
    }
}

// The loader's promises about what it hands back.
void check_loaded(const Checkpoint& cp) {
    if (cp.process.memory.size() != cp.process.maps.size()) std::abort();
    if (cp.process.regs.size() < vestrion::checkpoint::kRegisterWords) std::abort();
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < cp.process.maps.size(); ++i) {
        const auto& m = cp.process.maps[i];
        const auto& s = cp.process.memory[i];
        if (s.start != m.start || s.data.size() != m.end - m.start) std::abort();
        if (i > 0 && m.start < cp.process.maps[i - 1].end) std::abort();
        total += s.data.size();
    }
    if (total > vestrion::checkpoint::kMaxCheckpointBytes) std::abort();
}

bool same_maps(const std::vector<vestrion::MemoryMap>& a, const std::vector<vestrion::MemoryMap>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i].start != b[i].start || a[i].end != b[i].end || a[i].perms != b[i].perms ||
            a[i].offset != b[i].offset || a[i].path != b[i].path)
            return false;
    return true;
}

bool same(const Checkpoint& a, const Checkpoint& b) {
    auto fd_same = [](const vestrion::FdInfo& x, const vestrion::FdInfo& y) {
        return x.fd == y.fd && x.path == y.path && x.flags == y.flags && x.offset == y.offset;
    };
    auto seg_same = [](const vestrion::MemorySegment& x, const vestrion::MemorySegment& y) {
        return x.start == y.start && x.data == y.data;
    };
    return a.name == b.name && a.cow_snapshot == b.cow_snapshot && a.app_state == b.app_state &&
           a.process.pid == b.process.pid && a.process.cwd == b.process.cwd && a.process.exe == b.process.exe &&
           a.process.regs == b.process.regs && same_maps(a.process.maps, b.process.maps) &&
           std::equal(a.process.memory.begin(), a.process.memory.end(), b.process.memory.begin(),
                      b.process.memory.end(), seg_same) &&
           std::equal(a.fds.begin(), a.fds.end(), b.fds.begin(), b.fds.end(), fd_same) &&
           vestrion::checkpoint::encode_policy(a.policy).value_or("a") ==
               vestrion::checkpoint::encode_policy(b.policy).value_or("b");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::vector<Entry> entries = entries_of(input);
    if (entries.empty()) return 0;

    // A memory file system where there is one: the save flushes every file it writes.
    fs::path base = ::access("/dev/shm", W_OK) == 0 ? fs::path("/dev/shm") : fs::temp_directory_path();
    std::string scratch = (base / "vestrion-fuzz-XXXXXX").native();
    if (!::mkdtemp(scratch.data())) return 0;
    fs::path root(scratch);
    fs::path dir = root / "c";
    fs::create_directory(dir);
    unpack(dir, entries);

    int dirfd = ::open(dir.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC);
    if (dirfd >= 0) {
        auto loaded = vestrion::checkpoint::load_at(dirfd);
        ::close(dirfd);
        // What loads saves again (unless its policy holds what the encoding refuses) and loads
        // back the same.
        if (loaded) {
            check_loaded(*loaded);
            if (vestrion::checkpoint::encode_policy(loaded->policy)) {
                fs::path copy = root / "copy";
                if (!loaded->save(copy)) std::abort();
                auto again = Checkpoint::load(copy);
                if (!again || !same(*loaded, *again)) std::abort();
            }
        }
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return 0;
}
