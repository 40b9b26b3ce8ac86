#include "core/checkpoint/directory.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "core/checkpoint/json.hpp"
#include "core/checkpoint/policy_codec.hpp"
#include "core/sys/syscall.hpp"
#include "core/text.hpp"

namespace vestrion {

namespace checkpoint {

namespace {

using ordered_json = nlohmann::ordered_json;

VestrionError child_error(std::string text) { return SandboxError(SandboxError::Child{std::move(text)}); }
VestrionError io_error(SystemError e) { return SandboxError(SandboxError::Io{std::move(e)}); }
// A system error with the file it concerns.
VestrionError file_error(std::string_view file, const SystemError& e) {
    return io_error(SystemError::with_message(SystemError::Kind::Other, std::string(file) + ": " + e.message()));
}
VestrionError file_error(std::string_view file, std::string_view why) {
    return io_error(SystemError::with_message(SystemError::Kind::InvalidInput, std::string(file) + ": " + std::string(why)));
}

std::string render(const ordered_json& value) {
    return value.dump(2, ' ', false, ordered_json::error_handler_t::replace);
}

// --- Saving ---

std::string meta_json(const Checkpoint& cp) {
    ordered_json meta = ordered_json::object();
    meta["name"] = cp.name;
    meta["cow_snapshot"] = cp.cow_snapshot ? ordered_json(text::lossy_utf8(cp.cow_snapshot->native())) : ordered_json(nullptr);
    return render(meta);
}

std::string info_json(const ProcessState& p) {
    ordered_json info = ordered_json::object();
    info["pid"] = p.pid;
    info["cwd"] = p.cwd;
    info["exe"] = p.exe;
    return render(info);
}

std::string fds_json(const std::vector<FdInfo>& fds) {
    ordered_json list = ordered_json::array();
    for (const FdInfo& f : fds) {
        ordered_json entry = ordered_json::object();
        entry["fd"] = f.fd;
        entry["path"] = f.path;
        entry["flags"] = f.flags;
        entry["offset"] = f.offset;
        list.push_back(std::move(entry));
    }
    return render(list);
}

// One entry per dumped segment, described by the first map that starts where it does.
std::string memory_map_json(const ProcessState& p) {
    ordered_json list = ordered_json::array();
    for (const MemorySegment& s : p.memory) {
        const MemoryMap* found = nullptr;
        for (const MemoryMap& m : p.maps)
            if (m.start == s.start) {
                found = &m;
                break;
            }
        ordered_json entry = ordered_json::object();
        entry["start"] = s.start;
        entry["end"] = found ? found->end : s.start + s.data.size();
        entry["perms"] = found ? found->perms : "rw-p";
        entry["offset"] = found ? found->offset : 0;
        entry["path"] = found && found->path ? ordered_json(*found->path) : ordered_json(nullptr);
        list.push_back(std::move(entry));
    }
    return render(list);
}

std::string register_bytes(const std::vector<std::uint64_t>& regs) {
    std::string bytes;
    bytes.reserve(regs.size() * 8);
    for (std::uint64_t word : regs)
        for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>(word >> (8 * i)));
    return bytes;
}

SysResult<void> write_file(int dirfd, const char* name, std::string_view bytes) {
    UniqueFd fd(::openat(dirfd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!fd) return std::unexpected(SystemError::last());
    while (!bytes.empty()) {
        ssize_t n = ::write(fd.get(), bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::unexpected(n < 0 ? SystemError::last() : SystemError::from_errno(EIO));
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::fsync(fd.get()) != 0) return std::unexpected(SystemError::last());
    return {};
}

SysResult<UniqueFd> make_dir(int dirfd, const char* name) {
    if (::mkdirat(dirfd, name, 0777) != 0) return std::unexpected(SystemError::last());
    UniqueFd fd(::openat(dirfd, name, O_DIRECTORY | O_NOFOLLOW | O_RDONLY | O_CLOEXEC));
    if (!fd) return std::unexpected(SystemError::last());
    return fd;
}

SysResult<void> sync_dir(int fd) {
    if (::fsync(fd) != 0) return std::unexpected(SystemError::last());
    return {};
}

// Writes the whole tree into the empty directory `root`, each file and directory flushed.
Result<void> write_tree(const Checkpoint& cp, const std::string& policy, int root) {
    auto file = [](int dirfd, const char* name, std::string_view bytes) -> Result<void> {
        if (auto w = write_file(dirfd, name, bytes); !w) return std::unexpected(file_error(name, w.error()));
        return {};
    };
    auto dir = [](int dirfd, const char* name) -> Result<UniqueFd> {
        auto d = make_dir(dirfd, name);
        if (!d) return std::unexpected(file_error(name, d.error()));
        return std::move(*d);
    };
    auto sync = [](int fd, const char* name) -> Result<void> {
        if (auto s = sync_dir(fd); !s) return std::unexpected(file_error(name, s.error()));
        return {};
    };
    if (auto r = file(root, "meta.json", meta_json(cp)); !r) return r;
    if (auto r = file(root, "policy.dat", policy); !r) return r;
    if (cp.app_state)
        if (auto r = file(root, "app_state.bin", *cp.app_state); !r) return r;
    auto process = dir(root, "process");
    if (!process) return std::unexpected(process.error());
    if (auto r = file(process->get(), "info.json", info_json(cp.process)); !r) return r;
    if (auto r = file(process->get(), "fds.json", fds_json(cp.fds)); !r) return r;
    if (auto r = file(process->get(), "memory_map.json", memory_map_json(cp.process)); !r) return r;
    auto threads = dir(process->get(), "threads");
    if (!threads) return std::unexpected(threads.error());
    if (auto r = file(threads->get(), "0.bin", register_bytes(cp.process.regs)); !r) return r;
    auto memory = dir(process->get(), "memory");
    if (!memory) return std::unexpected(memory.error());
    for (std::size_t i = 0; i < cp.process.memory.size(); ++i) {
        std::string name = std::to_string(i) + ".bin";
        if (auto r = file(memory->get(), name.c_str(), cp.process.memory[i].data); !r) return r;
    }
    for (auto [fd, name] : {std::pair{memory->get(), "process/memory"}, {threads->get(), "process/threads"},
                            {process->get(), "process"}, {root, "."}})
        if (auto r = sync(fd, name); !r) return r;
    return {};
}

// The names inside a directory, with whether each is a directory (links are neither).
enum class Entry { File, Dir, Other };
std::optional<std::vector<std::pair<std::string, Entry>>> list_dir(int parent_fd, const char* name) {
    int fd = ::openat(parent_fd, name, O_DIRECTORY | O_NOFOLLOW | O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    DIR* dir = ::fdopendir(fd);
    if (!dir) {
        ::close(fd);
        return std::nullopt;
    }
    std::vector<std::pair<std::string, Entry>> entries;
    while (dirent* e = ::readdir(dir)) {
        std::string n = e->d_name;
        if (n == "." || n == "..") continue;
        struct stat st;
        Entry kind = Entry::Other;
        if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            kind = S_ISREG(st.st_mode) ? Entry::File : S_ISDIR(st.st_mode) ? Entry::Dir : Entry::Other;
        entries.emplace_back(std::move(n), kind);
    }
    ::closedir(dir);
    return entries;
}

bool is_image_name(const std::string& n) {
    if (!n.ends_with(".bin") || n.size() == 4) return false;
    return std::all_of(n.begin(), n.end() - 4, [](char c) { return c >= '0' && c <= '9'; });
}

// Each directory of the tree holds only the names a save writes there, of the right kind.
bool only_images(int parent_fd, const char* name) {
    auto entries = list_dir(parent_fd, name);
    if (!entries) return false;
    for (const auto& [n, kind] : *entries)
        if (kind != Entry::File || !is_image_name(n)) return false;
    return true;
}

std::string random_suffix() {
    unsigned char bytes[8] = {};
    if (::getrandom(bytes, sizeof bytes, 0) != sizeof bytes) {
        auto t = std::chrono::steady_clock::now().time_since_epoch().count();
        std::memcpy(bytes, &t, sizeof bytes);
    }
    static constexpr char hex[] = "0123456789abcdef";
    std::string s;
    for (unsigned char b : bytes) {
        s.push_back(hex[b >> 4]);
        s.push_back(hex[b & 15]);
    }
    return s;
}

void remove_tree(const Path& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// --- Loading ---

// Opens a file of the tree: beneath D, through no link, never blocking, and a regular file.
struct OpenedFile {
    UniqueFd fd;
    std::uint64_t size = 0;
};

Result<std::optional<OpenedFile>> open_file(int dirfd, const char* rel, bool optional) {
    auto fd = sys::syscall::openat2(dirfd, rel, O_RDONLY | O_NONBLOCK | O_NOCTTY, 0,
                                    RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS);
    if (!fd) {
        if (optional && fd.error().code() == ENOENT) return std::optional<OpenedFile>();
        return std::unexpected(file_error(rel, fd.error()));
    }
    struct stat st;
    if (::fstat(fd->get(), &st) != 0) return std::unexpected(file_error(rel, SystemError::last()));
    if (!S_ISREG(st.st_mode)) return std::unexpected(file_error(rel, "not a regular file"));
    return std::optional(OpenedFile{std::move(*fd), static_cast<std::uint64_t>(st.st_size)});
}

// Bytes read so far against the cap, checked before each allocation.
class Budget {
  public:
    Result<void> take(const char* rel, std::uint64_t bytes) {
        if (bytes > kMaxCheckpointBytes - used_)
            return std::unexpected(file_error(rel, "the checkpoint holds more than " +
                                                       std::to_string(kMaxCheckpointBytes) + " bytes"));
        used_ += bytes;
        return {};
    }

  private:
    std::uint64_t used_ = 0;
};

Result<std::string> read_exactly(const char* rel, OpenedFile& file) {
    std::string bytes(static_cast<std::size_t>(file.size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::read(file.fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::unexpected(file_error(rel, SystemError::last()));
        if (n == 0) return std::unexpected(file_error(rel, "the file shrank while it was read"));
        done += static_cast<std::size_t>(n);
    }
    return bytes;
}

// A whole file whose size `check` accepts ("" when it does, else why not).
template <class Check>
Result<std::optional<std::string>> read_file(int dirfd, const char* rel, Budget& budget, bool optional, Check check) {
    auto opened = open_file(dirfd, rel, optional);
    if (!opened) return std::unexpected(opened.error());
    if (!*opened) return std::optional<std::string>();
    OpenedFile& file = **opened;
    if (std::string why = check(file.size); !why.empty()) return std::unexpected(file_error(rel, why));
    if (auto taken = budget.take(rel, file.size); !taken) return std::unexpected(taken.error());
    auto bytes = read_exactly(rel, file);
    if (!bytes) return std::unexpected(bytes.error());
    return std::optional(std::move(*bytes));
}

Result<std::string> read_json_file(int dirfd, const char* rel, Budget& budget) {
    auto text = read_file(dirfd, rel, budget, false, [](std::uint64_t size) {
        return size > kMaxJsonBytes ? "larger than the " + std::to_string(kMaxJsonBytes) + " bytes a JSON file may hold"
                                    : std::string();
    });
    if (!text) return std::unexpected(text.error());
    return std::move(**text);
}

using json::Field;
using FT = json::Field::Type;
constexpr Field kMetaFields[] = {{"name", FT::String}, {"cow_snapshot", FT::OptionalString}};
constexpr Field kInfoFields[] = {{"pid", FT::I32}, {"cwd", FT::String}, {"exe", FT::String}};
constexpr Field kFdFields[] = {{"fd", FT::I32}, {"path", FT::String}, {"flags", FT::I32}, {"offset", FT::U64}};
constexpr Field kMapFields[] = {{"start", FT::U64}, {"end", FT::U64}, {"perms", FT::String},
                                {"offset", FT::U64}, {"path", FT::OptionalString}};

// The records of a JSON file: one, or an array of them.
Result<std::vector<json::Values>> read_records(int dirfd, const char* rel, Budget& budget, const char* name,
                                               std::span<const Field> fields, bool many,
                                               std::string& text, json::Node& root) {
    auto read = read_json_file(dirfd, rel, budget);
    if (!read) return std::unexpected(read.error());
    text = std::move(*read);
    auto parsed = json::parse(text);
    if (!parsed) return std::unexpected(parsed.error());
    root = std::move(*parsed);
    std::vector<json::Values> records;
    if (!many) {
        auto one = json::record(root, text, name, fields);
        if (!one) return std::unexpected(one.error());
        records.push_back(std::move(*one));
        return records;
    }
    if (root.kind != json::Node::Kind::Array)
        return std::unexpected(child_error("invalid type: expected a sequence " + json::position(text, root.end)));
    for (const json::Node& item : root.items) {
        auto one = json::record(item, text, name, fields);
        if (!one) return std::unexpected(one.error());
        records.push_back(std::move(*one));
    }
    return records;
}

}  // namespace

bool is_checkpoint_tree(int parent_fd, const char* name) {
    auto top = list_dir(parent_fd, name);
    if (!top) return false;
    UniqueFd dir(::openat(parent_fd, name, O_DIRECTORY | O_NOFOLLOW | O_RDONLY | O_CLOEXEC));
    if (!dir) return false;
    for (const auto& [n, kind] : *top) {
        if (n == "meta.json" || n == "policy.dat" || n == "app_state.bin") {
            if (kind != Entry::File) return false;
        } else if (n == "process" && kind == Entry::Dir) {
            auto inner = list_dir(dir.get(), "process");
            UniqueFd process(::openat(dir.get(), "process", O_DIRECTORY | O_NOFOLLOW | O_RDONLY | O_CLOEXEC));
            if (!inner || !process) return false;
            for (const auto& [m, k] : *inner) {
                if (m == "info.json" || m == "fds.json" || m == "memory_map.json") {
                    if (k != Entry::File) return false;
                } else if ((m == "threads" || m == "memory") && k == Entry::Dir) {
                    if (!only_images(process.get(), m.c_str())) return false;
                } else {
                    return false;
                }
            }
        } else {
            return false;
        }
    }
    return true;
}

Result<Checkpoint> load_at(int dirfd) {
    Budget budget;
    Checkpoint cp;
    std::string text;
    json::Node root;

    auto meta = read_records(dirfd, "meta.json", budget, "MetaJson", kMetaFields, false, text, root);
    if (!meta) return std::unexpected(meta.error());
    cp.name = (*meta)[0][0]->string;
    if (const json::Node* snapshot = (*meta)[0][1]) cp.cow_snapshot = Path(snapshot->string);

    auto policy_bytes = read_file(dirfd, "policy.dat", budget, false, [](std::uint64_t) { return std::string(); });
    if (!policy_bytes) return std::unexpected(policy_bytes.error());
    auto policy = decode_policy(**policy_bytes);
    if (!policy) return std::unexpected(policy.error());
    cp.policy = std::move(*policy);

    auto app_state = read_file(dirfd, "app_state.bin", budget, true, [](std::uint64_t) { return std::string(); });
    if (!app_state) return std::unexpected(app_state.error());
    cp.app_state = std::move(*app_state);

    auto info = read_records(dirfd, "process/info.json", budget, "InfoJson", kInfoFields, false, text, root);
    if (!info) return std::unexpected(info.error());
    cp.process.pid = json::as_i32(*(*info)[0][0]);
    cp.process.cwd = (*info)[0][1]->string;
    cp.process.exe = (*info)[0][2]->string;

    auto fds = read_records(dirfd, "process/fds.json", budget, "FdJson", kFdFields, true, text, root);
    if (!fds) return std::unexpected(fds.error());
    for (const json::Values& v : *fds)
        cp.fds.push_back(FdInfo{json::as_i32(*v[0]), v[1]->string, json::as_i32(*v[2]), json::as_u64(*v[3])});

    auto maps = read_records(dirfd, "process/memory_map.json", budget, "MemoryMapJson", kMapFields, true, text, root);
    if (!maps) return std::unexpected(maps.error());
    for (const json::Values& v : *maps) {
        MemoryMap m{json::as_u64(*v[0]), json::as_u64(*v[1]), v[2]->string, json::as_u64(*v[3]),
                    v[4] ? std::optional(v[4]->string) : std::nullopt};
        // As a capture lists them: each range holds bytes and lies above the one before it, so
        // that no two share a start (a save finds each range by its start).
        if (m.end <= m.start)
            return std::unexpected(file_error("process/memory_map.json", "a range is empty or ends before it starts"));
        if (!cp.process.maps.empty() && m.start < cp.process.maps.back().end)
            return std::unexpected(
                file_error("process/memory_map.json", "the ranges overlap or are out of address order"));
        cp.process.maps.push_back(std::move(m));
    }

    auto regs = read_file(dirfd, "process/threads/0.bin", budget, false, [](std::uint64_t size) {
        if (size < kRegisterBytes)
            return "holds " + std::to_string(size) + " bytes, fewer than the " + std::to_string(kRegisterBytes) +
                   " of the register record";
        if (size > kMaxRegisterBytes)
            return "holds " + std::to_string(size) + " bytes, more than the " + std::to_string(kMaxRegisterBytes) +
                   " a register image may hold";
        return std::string();
    });
    if (!regs) return std::unexpected(regs.error());
    const std::string& reg_bytes = **regs;
    for (std::size_t at = 0; at + 8 <= reg_bytes.size(); at += 8) {
        std::uint64_t word = 0;
        for (int i = 0; i < 8; ++i)
            word |= static_cast<std::uint64_t>(static_cast<unsigned char>(reg_bytes[at + i])) << (8 * i);
        cp.process.regs.push_back(word);
    }

    for (std::size_t i = 0; i < cp.process.maps.size(); ++i) {
        const MemoryMap& m = cp.process.maps[i];
        std::string rel = "process/memory/" + std::to_string(i) + ".bin";
        std::uint64_t length = m.end - m.start;
        auto image = read_file(dirfd, rel.c_str(), budget, false, [&](std::uint64_t size) {
            return size == length ? std::string()
                                  : "holds " + std::to_string(size) + " bytes, not the " + std::to_string(length) +
                                        " of its range";
        });
        if (!image) return std::unexpected(image.error());
        cp.process.memory.push_back(MemorySegment{m.start, std::move(**image)});
    }
    return cp;
}

}  // namespace checkpoint

namespace {

VestrionError save_error(std::string text) { return SandboxError(SandboxError::Child{std::move(text)}); }

}  // namespace

Result<void> Checkpoint::save(const Path& dir) const {
    // The target's own name: trailing slashes dropped; "", "/", "." and ".." have none.
    std::string spelled = dir.native();
    while (spelled.size() > 1 && spelled.ends_with('/')) spelled.pop_back();
    Path target(spelled);
    std::string name = target.filename().native();
    if (name.empty() || name == "." || name == ".." || name == "/")
        return std::unexpected(save_error("checkpoint directory needs a name of its own: " + text::quoted(dir.native())));
    Path parent = target.parent_path();
    if (parent.empty()) parent = ".";

    auto policy_bytes = checkpoint::encode_policy(policy);
    if (!policy_bytes) return std::unexpected(policy_bytes.error());

    std::error_code made;
    std::filesystem::create_directories(parent, made);
    UniqueFd parent_fd(::open(parent.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC));
    if (!parent_fd) return std::unexpected(checkpoint::file_error(parent.native(), SystemError::last()));

    struct stat st;
    bool exists = ::fstatat(parent_fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (!exists && errno != ENOENT) return std::unexpected(checkpoint::file_error(target.native(), SystemError::last()));
    if (exists && !(S_ISDIR(st.st_mode) && checkpoint::is_checkpoint_tree(parent_fd.get(), name.c_str())))
        return std::unexpected(save_error("not a checkpoint directory, left as it is: " + text::quoted(target.native())));

    std::string temp = "." + name + ".vestrion-" + checkpoint::random_suffix();
    auto root = checkpoint::make_dir(parent_fd.get(), temp.c_str());
    if (!root) return std::unexpected(checkpoint::file_error((parent / temp).native(), root.error()));
    if (auto written = checkpoint::write_tree(*this, *policy_bytes, root->get()); !written) {
        checkpoint::remove_tree(parent / temp);
        return written;
    }
    unsigned int how = exists ? RENAME_EXCHANGE : RENAME_NOREPLACE;
    if (::renameat2(parent_fd.get(), temp.c_str(), parent_fd.get(), name.c_str(), how) != 0) {
        SystemError error = SystemError::last();
        checkpoint::remove_tree(parent / temp);
        return std::unexpected(checkpoint::file_error(target.native(), error));
    }
    if (exists && !checkpoint::is_checkpoint_tree(parent_fd.get(), temp.c_str())) {
        // Something else took the target's place after it was examined: give it its place back.
        if (::renameat2(parent_fd.get(), temp.c_str(), parent_fd.get(), name.c_str(), RENAME_EXCHANGE) == 0)
            checkpoint::remove_tree(parent / temp);
        return std::unexpected(save_error("not a checkpoint directory, left as it is: " + text::quoted(target.native())));
    }
    if (exists) checkpoint::remove_tree(parent / temp);
    (void)checkpoint::sync_dir(parent_fd.get());
    return {};
}

Result<Checkpoint> Checkpoint::load(const Path& dir) {
    UniqueFd fd(::open(dir.c_str(), O_DIRECTORY | O_RDONLY | O_CLOEXEC));
    if (!fd) return std::unexpected(SandboxError(SandboxError::Child{"Checkpoint not found: " + text::lossy_utf8(dir.native())}));
    return checkpoint::load_at(fd.get());
}

}  // namespace vestrion
