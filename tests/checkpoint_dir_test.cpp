// The checkpoint directory: what a save writes, that save, load and save again give the same
// bytes, what a save may replace, and loads of directories that lie.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "core/checkpoint/checkpoint.hpp"
#include "core/checkpoint/directory.hpp"
#include "core/checkpoint/json.hpp"
#include "core/checkpoint/policy_codec.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

namespace fs = std::filesystem;

Checkpoint sample() {
    Checkpoint cp;
    cp.policy = *Policy::builder()
                     .fs_read("/usr").fs_write("/tmp/w").env_var("HOME", "/h").env_var("LANG", "C.UTF-8")
                     .env_var("A", "1").max_memory(1 << 30).hostname("box")
                     .build();
    cp.process.pid = 4242;
    cp.process.cwd = "/work";
    cp.process.exe = "/usr/bin/prog";
    for (std::uint64_t i = 0; i < checkpoint::kRegisterWords; ++i) cp.process.regs.push_back(0x1000 + i);
    cp.process.maps = {
        {0x400000, 0x401000, "r-xp", 0, "/usr/bin/prog"},
        {0x600000, 0x602000, "rw-p", 0x1000, "/usr/bin/prog"},
        {0x700000, 0x701000, "rw-p", 0, std::nullopt},
        {0x7ff000, 0x800000, "rw-p", 0, "[stack]"},
    };
    cp.process.memory = {
        {0x600000, std::string(0x2000, 'a')},
        {0x700000, std::string(0x1000, '\0')},
        {0x7ff000, std::string(0x1000, 's')},
    };
    cp.fds = {{0, "/dev/null", 0100000, 0}, {1, "pipe:[77]", 01, 0}, {3, "/data/f \"q\"", 02, 12345}};
    return cp;
}

// Every file below `root` with its bytes, and every directory, in name order.
std::map<std::string, std::string> tree(const fs::path& root) {
    std::map<std::string, std::string> all;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(e.path(), root).native();
        all[rel] = e.is_directory() ? "<dir>" : test::read_file(e.path());
    }
    return all;
}

std::string error_of(const Result<void>& r) { return r ? "saved" : r.error().message(); }
std::string error_of(const Result<Checkpoint>& r) { return r ? "loaded" : r.error().message(); }

TEST(CheckpointDirectory, FreshCheckpointWritesTheLayout) {
    test::TempDir dir;
    Checkpoint cp;
    cp.process.regs.assign(checkpoint::kRegisterWords, 0);
    ASSERT_EQ(error_of(cp.save(dir / "c")), "saved");
    std::string meta = test::read_file(dir / "c/meta.json");
    EXPECT_EQ(meta, "{\n  \"name\": \"\",\n  \"cow_snapshot\": null\n}");
    EXPECT_EQ(meta.size(), 40u);
    EXPECT_EQ(test::read_file(dir / "c/policy.dat").size(), 100u);
    EXPECT_EQ(test::read_file(dir / "c/process/fds.json"), "[]");
    EXPECT_EQ(test::read_file(dir / "c/process/threads/0.bin").size(), 216u);
    EXPECT_FALSE(fs::exists(dir / "c/app_state.bin"));
    EXPECT_TRUE(fs::is_directory(dir / "c/process/memory"));
    auto back = Checkpoint::load(dir / "c");
    ASSERT_TRUE(back.has_value()) << back.error().message();
    EXPECT_FALSE(back->app_state || back->cow_snapshot);
}

TEST(CheckpointDirectory, SaveLoadSaveGivesTheSameBytesAndEveryField) {
    test::TempDir dir;
    Checkpoint cp = sample();
    cp.name = "before upgrade ✓";
    cp.app_state = std::string("\0\x01state", 7);
    cp.cow_snapshot = Path("/snap/1");
    ASSERT_EQ(error_of(cp.save(dir / "one")), "saved");
    auto back = Checkpoint::load(dir / "one");
    ASSERT_TRUE(back.has_value()) << back.error().message();
    ASSERT_EQ(error_of(back->save(dir / "two")), "saved");
    EXPECT_EQ(tree(dir / "one"), tree(dir / "two"));

    EXPECT_EQ(back->name, cp.name);
    EXPECT_EQ(back->app_state, cp.app_state);
    EXPECT_EQ(back->cow_snapshot, cp.cow_snapshot);
    EXPECT_EQ(checkpoint::encode_policy(back->policy).value_or("x"), checkpoint::encode_policy(cp.policy).value_or("y"));
    EXPECT_EQ(back->process.pid, cp.process.pid);
    EXPECT_EQ(back->process.cwd, cp.process.cwd);
    EXPECT_EQ(back->process.exe, cp.process.exe);
    EXPECT_EQ(back->process.regs, cp.process.regs);
    ASSERT_EQ(back->fds.size(), cp.fds.size());
    for (std::size_t i = 0; i < cp.fds.size(); ++i) {
        EXPECT_EQ(back->fds[i].fd, cp.fds[i].fd);
        EXPECT_EQ(back->fds[i].path, cp.fds[i].path);
        EXPECT_EQ(back->fds[i].flags, cp.fds[i].flags);
        EXPECT_EQ(back->fds[i].offset, cp.fds[i].offset);
    }
    // Only the dumped ranges come back, described by their maps.
    ASSERT_EQ(back->process.maps.size(), 3u);
    EXPECT_EQ(back->process.maps[0].perms, "rw-p");
    EXPECT_EQ(back->process.maps[0].offset, 0x1000u);
    EXPECT_EQ(back->process.maps[0].path, "/usr/bin/prog");
    EXPECT_EQ(back->process.maps[1].path, std::nullopt);
    EXPECT_EQ(back->process.maps[2].end, 0x800000u);
    ASSERT_EQ(back->process.memory.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(back->process.memory[i].start, cp.process.memory[i].start);
        EXPECT_EQ(back->process.memory[i].data, cp.process.memory[i].data);
    }
}

TEST(CheckpointDirectory, EmptyApplicationBytesArePresent) {
    test::TempDir dir;
    Checkpoint cp = sample();
    cp.app_state = std::string();
    ASSERT_EQ(error_of(cp.save(dir / "c")), "saved");
    EXPECT_EQ(fs::file_size(dir / "c/app_state.bin"), 0u);
    auto back = Checkpoint::load(dir / "c");
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->app_state, std::string());
}

TEST(CheckpointDirectory, ReplacesOnlyAnEarlierCheckpointOrAnEmptyDirectory) {
    test::TempDir dir;
    Checkpoint first = sample(), second = sample();
    first.name = "first";
    first.app_state = "only in the first";
    second.name = "second";
    test::write_file(dir / "c.tmp", "unrelated");  // where a naive save would put its copy
    ASSERT_EQ(error_of(first.save(dir / "c")), "saved");
    ASSERT_EQ(error_of(second.save(dir / "c/")), "saved");
    auto back = Checkpoint::load(dir / "c");
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(back->name, "second");
    EXPECT_FALSE(fs::exists(dir / "c/app_state.bin"));
    EXPECT_EQ(test::read_file(dir / "c.tmp"), "unrelated");
    // Nothing of the save is left beside the target.
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir.path())) names.insert(e.path().filename());
    EXPECT_EQ(names, (std::set<std::string>{"c", "c.tmp"}));

    fs::create_directory(dir / "empty");
    EXPECT_EQ(error_of(second.save(dir / "empty")), "saved");
    EXPECT_EQ(error_of(second.save(dir / "new/parents/ckpt")), "saved");
    EXPECT_TRUE(Checkpoint::load(dir / "new/parents/ckpt").has_value());
}

TEST(CheckpointDirectory, RefusesToReplaceWhatItDidNotWrite) {
    test::TempDir dir;
    fs::create_directories(dir / "project/src");
    test::write_file(dir / "project/src/main.c", "int main;");
    test::write_file(dir / "project/meta.json", "{}");
    test::write_file(dir / "file", "a file");
    fs::create_directories(dir / "ckpt");
    ASSERT_EQ(error_of(sample().save(dir / "ckpt")), "saved");
    test::write_file(dir / "ckpt/process/notes.txt", "mine");  // a checkpoint no more
    fs::create_directory_symlink(dir / "project", dir / "link");
    std::string before = test::tree_state(dir.path());
    for (const char* name : {"project", "file", "ckpt", "link"}) {
        std::string error = error_of(sample().save(dir / name));
        EXPECT_NE(error.find("not a checkpoint directory, left as it is"), std::string::npos) << name << ": " << error;
    }
    for (const char* name : {"", "/", ".", ".."}) {
        std::string error = error_of(sample().save(name));
        EXPECT_NE(error.find("needs a name of its own"), std::string::npos) << name << ": " << error;
    }
    EXPECT_EQ(test::tree_state(dir.path()), before);
}

TEST(CheckpointDirectory, FailedSaveLeavesTheTargetAsItWas) {
    test::TempDir dir;
    ASSERT_EQ(error_of(sample().save(dir / "c")), "saved");
    std::string before = test::tree_state(dir.path());
    Checkpoint bad = sample();
    bad.policy.fs_readable.push_back(Path(std::string("/not\xFFutf8")));
    EXPECT_EQ(error_of(bad.save(dir / "c")),
              "sandbox error: child process error: path contains invalid UTF-8 characters");
    EXPECT_EQ(test::tree_state(dir.path()), before);
}

// Each case spoils a saved checkpoint; the load must fail with an error naming the fault.
struct BadDir {
    const char* name;
    std::function<void(const fs::path&)> spoil;
    const char* error;
};
void PrintTo(const BadDir& c, std::ostream* os) { *os << c.name; }

class CheckpointLoadRefusal : public ::testing::TestWithParam<BadDir> {};

TEST_P(CheckpointLoadRefusal, FailsClearly) {
    test::TempDir dir;
    fs::path c = dir / "c";
    ASSERT_EQ(error_of(sample().save(c)), "saved");
    GetParam().spoil(c);
    std::string error = error_of(Checkpoint::load(c));
    EXPECT_NE(error.find(GetParam().error), std::string::npos) << error;
}

void truncate_to(const fs::path& p, std::uintmax_t size) { fs::resize_file(p, size); }

INSTANTIATE_TEST_SUITE_P(
    Cases, CheckpointLoadRefusal,
    ::testing::Values(
        BadDir{"memory image linked to /dev/zero",
               [](const fs::path& c) {
                   fs::remove(c / "process/memory/0.bin");
                   fs::create_symlink("/dev/zero", c / "process/memory/0.bin");
               },
               "process/memory/0.bin: Too many levels of symbolic links"},
        BadDir{"linked process directory",
               [](const fs::path& c) {
                   fs::rename(c / "process", c.parent_path() / "elsewhere");
                   fs::create_directory_symlink(c.parent_path() / "elsewhere", c / "process");
               },
               "process/info.json: Too many levels of symbolic links"},
        BadDir{"truncated memory image",
               [](const fs::path& c) { truncate_to(c / "process/memory/1.bin", 100); },
               "process/memory/1.bin: holds 100 bytes, not the 4096 of its range"},
        BadDir{"missing memory image",
               [](const fs::path& c) { fs::remove(c / "process/memory/1.bin"); },
               "process/memory/1.bin: No such file or directory"},
        BadDir{"register image of 100 bytes",
               [](const fs::path& c) { truncate_to(c / "process/threads/0.bin", 100); },
               "process/threads/0.bin: holds 100 bytes, fewer than the 216"},
        BadDir{"truncated policy file",
               [](const fs::path& c) { truncate_to(c / "policy.dat", fs::file_size(c / "policy.dat") - 1); },
               "child process error: io error: unexpected end of file"},
        BadDir{"FIFO named meta.json",
               [](const fs::path& c) {
                   fs::remove(c / "meta.json");
                   ASSERT_EQ(::mkfifo((c / "meta.json").c_str(), 0600), 0);
               },
               "meta.json: not a regular file"},
        BadDir{"oversized memory image",
               [](const fs::path& c) {
                   test::write_file(c / "process/memory_map.json",
                                    "[{\"start\": 0, \"end\": 5368709120, \"perms\": \"rw-p\", \"offset\": 0}]");
                   truncate_to(c / "process/memory/0.bin", 5368709120ull);  // sparse
               },
               "process/memory/0.bin: the checkpoint holds more than 4294967296 bytes"},
        BadDir{"range ending before its start",
               [](const fs::path& c) {
                   test::write_file(c / "process/memory_map.json",
                                    "[{\"start\": 8192, \"end\": 4096, \"perms\": \"rw-p\", \"offset\": 0}]");
               },
               "a range is empty or ends before it starts"},
        BadDir{"two ranges with one start",
               [](const fs::path& c) {
                   test::write_file(c / "process/memory_map.json",
                                    "[{\"start\": 4096, \"end\": 8192, \"perms\": \"rw-p\", \"offset\": 0},"
                                    " {\"start\": 4096, \"end\": 12288, \"perms\": \"rw-p\", \"offset\": 0}]");
               },
               "the ranges overlap or are out of address order"},
        BadDir{"register image of 5000 bytes",
               [](const fs::path& c) { truncate_to(c / "process/threads/0.bin", 5000); },
               "process/threads/0.bin: holds 5000 bytes, more than the 4096"},
        BadDir{"JSON nested without end",
               [](const fs::path& c) { test::write_file(c / "meta.json", std::string(100000, '[')); },
               "nested deeper than 64 levels"},
        BadDir{"more values than a file may hold",
               [](const fs::path& c) {
                   std::string many = "[0";
                   for (std::size_t i = 0; i < checkpoint::json::kMaxValues; ++i) many += ",0";
                   test::write_file(c / "process/fds.json", many + "]");
               },
               "more than 1048576 values"},
        BadDir{"meta.json not UTF-8",
               [](const fs::path& c) { test::write_file(c / "meta.json", "{\"name\": \"\xFF\"}"); },
               "io error: stream did not contain valid UTF-8"},
        BadDir{"meta.json without a name",
               [](const fs::path& c) { test::write_file(c / "meta.json", "{\n  \"cow_snapshot\": null\n}"); },
               "missing field `name` at line 3 column 1"},
        BadDir{"a key given twice",
               [](const fs::path& c) { test::write_file(c / "meta.json", "{\"name\": \"a\",\n \"name\": \"b\"}"); },
               "duplicate field `name` at line 2 column 7"},
        BadDir{"descriptor beyond 32 bits",
               [](const fs::path& c) {
                   test::write_file(c / "process/fds.json",
                                    "[{\"fd\": 2147483648, \"path\": \"\", \"flags\": 0, \"offset\": 0}]");
               },
               "invalid value: integer `2147483648`, expected i32"},
        BadDir{"offset of the wrong type",
               [](const fs::path& c) {
                   test::write_file(c / "process/fds.json",
                                    "[{\"fd\": 1, \"path\": \"\", \"flags\": 0, \"offset\": -1}]");
               },
               "invalid value: integer `-1`, expected u64"},
        BadDir{"record array of the wrong length",
               [](const fs::path& c) { test::write_file(c / "process/info.json", "[1, \"/\"]"); },
               "invalid length 2, expected struct InfoJson with 3 elements"},
        BadDir{"trailing text after the value",
               [](const fs::path& c) { test::write_file(c / "meta.json", "{\"name\": \"\"} {}"); },
               "parse error"}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n)
            if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

TEST(CheckpointLoad, AcceptsWhatTheFormatAllows) {
    test::TempDir dir;
    fs::path c = dir / "c";
    ASSERT_EQ(error_of(sample().save(c)), "saved");
    test::write_file(c / "meta.json", "[\"from an array\", null]");
    test::write_file(c / "process/fds.json",
                     "[{\"comment\": {\"any\": [1]}, \"offset\": 9, \"flags\": 1, \"path\": \"p\", \"fd\": -1}]");
    test::write_file(c / "process/threads/0.bin", std::string(220, '\x01'));
    test::write_file(c / "process/info.json", " {\"pid\": 7, \"cwd\": \"/\", \"exe\": \"\"} \n");
    auto back = Checkpoint::load(c);
    ASSERT_TRUE(back.has_value()) << back.error().message();
    EXPECT_EQ(back->name, "from an array");
    EXPECT_FALSE(back->cow_snapshot);
    ASSERT_EQ(back->fds.size(), 1u);
    EXPECT_EQ(back->fds[0].fd, -1);
    EXPECT_EQ(back->fds[0].offset, 9u);
    EXPECT_EQ(back->process.regs.size(), 27u);  // the last 4 bytes ignored
    EXPECT_EQ(back->process.pid, 7);
}

TEST(CheckpointLoad, MissingOrNonDirectoryIsNotFound) {
    test::TempDir dir;
    test::write_file(dir / "file", "x");
    for (const fs::path& p : {dir / "file", dir / "absent"})
        EXPECT_EQ(error_of(Checkpoint::load(p)),
                  "sandbox error: child process error: Checkpoint not found: " + p.native());
}

}  // namespace
}  // namespace vestrion
