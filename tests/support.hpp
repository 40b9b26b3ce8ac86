// Fixtures shared by the tests: temporary directories and functions run in a forked child.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <string>

namespace vestrion::test {

// A fresh directory under the temporary directory, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

struct ChildReport {
    std::string text;  // what the child's function returned
    int wait_status;   // as waitpid gave it
};

// Runs `fn` in a forked child, which ends with _exit so that no test teardown runs twice.
ChildReport run_forked(const std::function<std::string()>& fn);

// "ok" or the name of the error number of the last failed call, for compact child reports.
std::string errno_name(int error);
std::string outcome(int ret);

// Reads both pipes to their end, whichever has data first; false when `guard_seconds` (if not
// 0) ran out first. The descriptors stay open.
bool drain(int out_fd, int err_fd, std::string& out, std::string& err, int guard_seconds);

void write_file(const std::filesystem::path& path, const std::string& content);
std::string read_file(const std::filesystem::path& path);
// A file of /proc/<pid>, or "" once the process has gone (also between the open and the read,
// where a stream would throw ESRCH).
std::string read_proc_file(const std::string& path);

// Everything about a tree that a change could touch: names, kinds, modes, owners, times, contents
// and link targets, one line an entry in name order, links not followed.
std::string tree_state(const std::filesystem::path& root);

}  // namespace vestrion::test
