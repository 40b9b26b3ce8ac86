// The metadata rule: a command changes a file's mode, owner, times and attributes only beneath its
// writable trees, and only as far as its own ids allow; the thread that acts for it holds those
// ids and no capability for the call alone, and no other thread of the caller changes.
#include <fcntl.h>
#include <signal.h>
#include <linux/capability.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/syscall.h>
#include <grp.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <future>
#include <thread>

#include "core/child_rights.hpp"
#include "core/sandbox.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

constexpr const char* kXattr = "user.vestrion";

bool is_root() {
    return ::geteuid() == 0;
}

// The state of a file that the calls under test change.
std::string mode_of(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return "missing";
    std::ostringstream out;
    out << std::oct << (st.st_mode & 07777);
    return out.str();
}
std::string mtime_of(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return "missing";
    return std::to_string(st.st_mtim.tv_sec);
}
std::string xattr_of(const fs::path& p) {
    char value[16]{};
    ssize_t n = ::lgetxattr(p.c_str(), kXattr, value, sizeof value - 1);
    return n < 0 ? "none" : value;
}
std::string owner_of(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return "missing";
    return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid);
}

int flags_of(const fs::path& p) {
    int flags = -1;  // the kernel reads and writes an int, whatever the request declares
    int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::ioctl(fd, FS_IOC_GETFLAGS, &flags) < 0) flags = -1;
    if (fd >= 0) ::close(fd);
    return flags;
}

std::string flags_text(const fs::path& p) {
    return std::to_string(flags_of(p));
}

// A line of the calling thread's status.
std::string status_line(const char* key) {
    std::ifstream status("/proc/thread-self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(key)) return line;
    return "";
}

// A tree the command may only read and one it may write, each holding a file "f" of mode 0644.
class Metadata : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const auto& dir : {read_only(), writable()}) {
            fs::create_directory(dir);
            test::write_file(dir / "f", "x");
            ::chmod((dir / "f").c_str(), 0644);
        }
    }

    fs::path read_only() const { return tmp_ / "ro"; }
    fs::path writable() const { return tmp_ / "rw"; }

    PolicyBuilder builder() const { return Policy::builder().fs_read("/").fs_write(writable()); }

    // The helper's one line of output, without its newline.
    std::string run(const Args& helper_args, PolicyBuilder b) {
        Args argv{VESTRION_TEST_HELPER};
        argv.insert(argv.end(), helper_args.begin(), helper_args.end());
        auto result = Sandbox::run(*std::move(b).build(), argv);
        EXPECT_TRUE(result.has_value()) << result.error().message();
        if (!result) return "no run";
        EXPECT_EQ(result->status, ExitStatus::code(0)) << result->stderr_bytes.value_or("");
        std::string out = result->stdout_bytes.value_or("");
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    std::string run(const Args& helper_args) { return run(helper_args, builder()); }

    bool takes_user_xattrs() const {
        fs::path probe = tmp_ / "probe";
        test::write_file(probe, "");
        return ::setxattr(probe.c_str(), kXattr, "v", 1, 0) == 0;
    }

    test::TempDir tmp_;
};

struct FormCase {
    const char* form;
    std::string (*observe)(const fs::path&);
    const char* in_read_only;  // the command's outcome on the read-only file
    const char* in_writable;   // on the writable one, which then changes when this is "ok"
    bool xattr = false;        // needs user extended attributes
    bool inode_flags = false;  // needs inode flags
};
void PrintTo(const FormCase& c, std::ostream* os) {
    *os << c.form;
}

class MetadataForms : public Metadata, public ::testing::WithParamInterface<FormCase> {};

TEST_P(MetadataForms, ChangeOnlyWhatLiesInAWritableTree) {
    const FormCase& c = GetParam();
    if (c.xattr && !takes_user_xattrs()) GTEST_SKIP() << "the file system takes no user xattrs";
    if (c.inode_flags && flags_of(writable() / "f") < 0)
        GTEST_SKIP() << "the file system has no inode flags";
    for (const auto& [dir, expected] :
         {std::pair{read_only(), c.in_read_only}, std::pair{writable(), c.in_writable}}) {
        SCOPED_TRACE(dir.filename().string());
        const fs::path file = dir / "f";
        const std::string before = c.observe(file);
        EXPECT_EQ(run({"metadata", c.form, file.string()}), expected);
        if (std::string(expected) == "ok")
            EXPECT_NE(c.observe(file), before);
        else
            EXPECT_EQ(c.observe(file), before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, MetadataForms,
    ::testing::Values(
        FormCase{"chmod", mode_of, "EACCES", "ok"},
        FormCase{"fchmodat", mode_of, "EACCES", "ok"},
        // Through a descriptor opened read-only, as Landlock would allow.
        FormCase{"fchmod-ro", mode_of, "EACCES", "ok"},
        FormCase{"fchmod-thread-ro", mode_of, "EACCES", "ok"},
        FormCase{"fchmodat2-opath", mode_of, "EACCES", "ok"},
        FormCase{"fchmod-opath", mode_of, "EBADF", "EBADF"},
        FormCase{"chmod-proc-self", mode_of, "EACCES", "ok"},
        FormCase{"utimes", mtime_of, "EACCES", "ok"},
        FormCase{"futimens-ro", mtime_of, "EACCES", "ok"},
        FormCase{"utimensat-opath", mtime_of, "EACCES", "ok"},
        FormCase{"futimens-opath", mtime_of, "EBADF", "EBADF"},
        FormCase{"setxattr", xattr_of, "EACCES", "ok", true},
        FormCase{"fsetxattr-ro", xattr_of, "EACCES", "ok", true},
        FormCase{"fsetxattr-opath", xattr_of, "EBADF", "EBADF", true},
        FormCase{"setxattr-link-opath", xattr_of, "EACCES", "ok", true},
        FormCase{"setxattrat", xattr_of, "EACCES", "ok", true},
        FormCase{"setxattrat-empty-opath", xattr_of, "EBADF", "EBADF", true},
        FormCase{"file-setattr", flags_text, "EACCES", "ok", false, true}),
    [](const auto& info) {
        std::string name = info.param.form;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

TEST_F(Metadata, ALinkInAWritableTreeLeadsNoFurtherThanItsTarget) {
    const fs::path link = writable() / "link";
    const fs::path target = read_only() / "f";
    fs::create_symlink(target, link);
    EXPECT_EQ(run({"metadata", "chmod", link.string()}), "EACCES");
    EXPECT_EQ(mode_of(target), "644");
    if (takes_user_xattrs()) {
        EXPECT_EQ(run({"metadata", "setxattr", link.string()}), "EACCES");
        EXPECT_EQ(xattr_of(target), "none");
    }
    // The link itself lies in the writable tree.
    EXPECT_EQ(run({"metadata", "lchown", link.string()}), "ok");
}

// A relative writable path names what it named for Landlock: a path from the working directory.
TEST_F(Metadata, ARelativeWritablePathStartsFromTheWorkingDirectory) {
    auto relative = Policy::builder().fs_read("/").cwd(tmp_.path()).fs_write("rw");
    EXPECT_EQ(run({"metadata", "chmod", "rw/f"}, relative), "ok");
    EXPECT_EQ(mode_of(writable() / "f"), "600");
    EXPECT_EQ(run({"metadata", "chmod", "ro/f"}, relative), "EACCES");
}

std::string mtime_ns_of(const fs::path& p) {
    struct stat st {};
    if (::lstat(p.c_str(), &st) != 0) return "missing";
    return std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec);
}

// fs_write lends what lies beneath the entry it names, not the entry: a host's /tmp keeps its
// sticky bit and a device node its mode. Setting the entry's times to now needs only the write
// access the command has.
TEST_F(Metadata, TheEntryNamedInFsWriteKeepsItsOwnMetadata) {
    const fs::path shared = tmp_ / "shared";
    fs::create_directory(shared);
    ::chmod(shared.c_str(), 01777);
    test::write_file(shared / "f", "x");
    ::chmod((shared / "f").c_str(), 0644);
    fs::create_directory(shared / "sub");
    ::chmod((shared / "sub").c_str(), 0755);
    const fs::path node = tmp_ / "null";
    const bool have_node = ::mknod(node.c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0;
    if (have_node) ::chmod(node.c_str(), 0666);
    const fs::path old_times = tmp_ / "old";
    fs::create_directory(old_times);
    const timespec long_ago[2] = {{1000, 0}, {1000, 0}};
    ::utimensat(AT_FDCWD, old_times.c_str(), long_ago, 0);

    struct Case {
        const char* form;
        fs::path target;
        std::vector<fs::path> fs_write;
        std::string (*observe)(const fs::path&);
        const char* expected;
        bool needs_node = false;
        bool xattr = false;
    };
    const Case cases[] = {
        {"chmod", shared, {shared}, mode_of, "EACCES"},
        {"fchmod-ro", shared, {shared}, mode_of, "EACCES"},
        {"lchown", shared, {shared}, owner_of, "EACCES"},
        {"utimes", shared, {shared}, mtime_ns_of, "EACCES"},
        {"setxattr", shared, {shared}, xattr_of, "EACCES", false, true},
        {"chmod", node, {node}, mode_of, "EACCES", true},
        {"fchmod-ro", node, {node}, mode_of, "EACCES", true},
        // Strictly beneath the entry: the command's own.
        {"chmod", shared / "f", {shared}, mode_of, "ok"},
        {"chmod", shared / "sub", {shared}, mode_of, "ok"},
        // An entry that lies beneath another named one is beneath a writable tree.
        {"chmod", shared / "sub", {shared, shared / "sub"}, mode_of, "ok"},
        // Times set to now, or left alone: write access is enough.
        {"touch", old_times, {old_times}, mtime_ns_of, "ok"},
        {"touch-markers", old_times, {old_times}, mtime_ns_of, "ok"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.form) + " " + c.target.string());
        if (c.needs_node && !have_node) continue;  // mknod needs privilege
        if (c.xattr && !takes_user_xattrs()) continue;
        ::chmod((shared / "f").c_str(), 0644);
        ::chmod((shared / "sub").c_str(), 0755);
        ::utimensat(AT_FDCWD, old_times.c_str(), long_ago, 0);
        PolicyBuilder b = Policy::builder().fs_read("/");
        for (const fs::path& entry : c.fs_write) b = std::move(b).fs_write(entry);
        const std::string before = c.observe(c.target);
        EXPECT_EQ(run({"metadata", c.form, c.target.string()}, std::move(b)), c.expected);
        if (std::string(c.expected) == "ok")
            EXPECT_NE(c.observe(c.target), before);
        else
            EXPECT_EQ(c.observe(c.target), before);
    }
    EXPECT_EQ(mode_of(shared), "1777");
}

// The layer takes its own files first; the rule still holds for everything else.
TEST_F(Metadata, AWorkingDirectoryLayerLeavesTheRuleInForce) {
    const fs::path workdir = tmp_ / "work";
    fs::create_directory(workdir);
    for (const char* form : {"chmod", "fchmodat"}) {
        EXPECT_EQ(run({"metadata", form, (read_only() / "f").string()}, builder().workdir(workdir)),
                  "EACCES")
            << form;
        EXPECT_EQ(mode_of(read_only() / "f"), "644");
    }
}

TEST_F(Metadata, ASwappedPathNeverReachesOutsideTheWritableTree) {
    const fs::path target = read_only() / "f";
    const fs::path path = writable() / "x";
    test::write_file(path, "");
    std::string succeeded = run({"chmod-race", "3000", path.string(), target.string()});
    EXPECT_EQ(mode_of(target), "644");
    EXPECT_GT(std::atoi(succeeded.c_str()), 0) << "the swap never left a file in place";
}

// A directory on the way swapped for a link out of the tree, by an absolute or a relative name,
// while the command changes a file beneath it.
TEST_F(Metadata, ASwappedDirectoryNeverLeadsOutsideTheWritableTree) {
    const fs::path target = read_only() / "f";
    for (const std::string& link : {read_only().string(), std::string("../ro")}) {
        SCOPED_TRACE(link);
        std::string succeeded = run({"chmod-dir-race", "3000", writable().string(), link});
        EXPECT_EQ(mode_of(target), "644");
        EXPECT_GT(std::atoi(succeeded.c_str()), 0) << "the swap never left the directory in place";
        fs::remove_all(writable() / "d");
        fs::remove(writable() / "link");
    }
}

TEST_F(Metadata, ObjectsInNoFileSystemAreTheCommandsOwn) {
    for (const char* form : {"fchmod-pipe", "fchmod-socket", "fchmod-memfd"})
        EXPECT_EQ(run({"metadata", form}), "ok") << form;
}

TEST_F(Metadata, ARootCommandHoldsNoCapabilityOverFiles) {
    if (!is_root()) GTEST_SKIP() << "needs root: the command's ids must differ from a file's";
    const fs::path file = writable() / "f";
    EXPECT_EQ(run({"metadata", "chown", file.string(), "1234"}), "EPERM");
    EXPECT_EQ(owner_of(file), "0:0");
    // Another user's file: changing its mode needs a capability the command does not have.
    const fs::path theirs = writable() / "theirs";
    test::write_file(theirs, "");
    ASSERT_EQ(::chown(theirs.c_str(), 1234, 1234), 0);
    ::chmod(theirs.c_str(), 0644);
    EXPECT_EQ(run({"metadata", "chmod", theirs.string()}), "EPERM");
    EXPECT_EQ(mode_of(theirs), "644");
}

TEST_F(Metadata, PrivilegedChownTakesIdsOfTheCommandsNamespace) {
    const fs::path file = writable() / "f";
    const std::string caller = std::to_string(::geteuid()) + ":" + std::to_string(::getegid());
    // Only the namespace's root is mapped, to the caller.
    EXPECT_EQ(run({"metadata", "chown", file.string(), "5"}, builder().privileged(true)), "EINVAL");
    EXPECT_EQ(run({"metadata", "chown", file.string(), "0"}, builder().privileged(true)), "ok");
    EXPECT_EQ(owner_of(file), caller);
}

// A command that holds CAP_SYS_CHROOT in its own namespace may move its root: its paths and the
// names of its files are then taken from there.
TEST_F(Metadata, ACommandThatMovedItsRootIsServedFromIt) {
    const fs::path jail = writable() / "jail";
    fs::create_directory(jail);
    test::write_file(jail / "f", "");
    ::chmod((jail / "f").c_str(), 0644);
    fs::create_directory(jail / "sub");
    fs::create_symlink("/f", jail / "sub" / "link");
    struct Case {
        const char* path;
        const char* cwd;
    };
    // Absolute, and relative ones that climb to the root, past it, or through an absolute link.
    for (auto [path, cwd] : {Case{"/f", "/"}, Case{"../f", "/sub"}, Case{"../../../f", "/sub"},
                             Case{"link", "/sub"}}) {
        ::chmod((jail / "f").c_str(), 0644);
        EXPECT_EQ(run({"chroot-chmod", jail.string(), path, cwd}, builder().privileged(true)),
                  "ok")
            << path;
        EXPECT_EQ(mode_of(jail / "f"), "600") << path;
    }
    EXPECT_EQ(run({"chroot-chmod", read_only().string(), "/f"}, builder().privileged(true)),
              "EACCES");
    EXPECT_EQ(mode_of(read_only() / "f"), "644");
}

std::size_t entries(const char* dir) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

// Acting for the command changes no thread of the caller for good, and leaves nothing behind.
TEST_F(Metadata, TheCallersThreadsKeepTheirRights) {
    const std::string caps = status_line("CapEff:");
    const std::string uid = status_line("Uid:");
    const int dumpable = ::prctl(PR_GET_DUMPABLE);
    const std::size_t threads = entries("/proc/self/task");
    const std::size_t fds = entries("/proc/self/fd");
    EXPECT_EQ(run({"metadata", "chmod", (writable() / "f").string()}), "ok");
    EXPECT_EQ(status_line("CapEff:"), caps);
    EXPECT_EQ(status_line("Uid:"), uid);
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE), dumpable);
    EXPECT_EQ(entries("/proc/self/task"), threads);
    EXPECT_EQ(entries("/proc/self/fd"), fds);
}

// The ioctl that changes a file's flags works on a descriptor opened read-only.
TEST_F(Metadata, FlagIoctlFollowsTheSameRule) {
    const fs::path ro = read_only() / "f";
    const fs::path rw = writable() / "f";
    if (flags_of(rw) < 0) GTEST_SKIP() << "the file system has no inode flags";
    const int ro_before = flags_of(ro);
    EXPECT_EQ(run({"metadata", "setflags-ro", ro.string()}), "EACCES");
    EXPECT_EQ(flags_of(ro), ro_before);
    EXPECT_EQ(run({"metadata", "setflags-ro", rw.string()}), "ok");
    EXPECT_TRUE(flags_of(rw) & FS_NOATIME_FL);
}

// --- Acting with the child's rights ---


child_rights::Credentials own_credentials() {
    auto creds = child_rights::credentials_of(static_cast<std::uint32_t>(::gettid()));
    EXPECT_TRUE(creds.has_value());
    return creds.value_or(child_rights::Credentials{});
}

struct Seen {
    uid_t uid = 0, euid = 0, fsuid = 0;
    std::uint32_t effective = 0, permitted = 0;
};

// What the calling thread holds, by raw system calls (the C library might answer from a cache).
Seen seen_by_thread() {
    Seen seen;
    uid_t saved;
    ::syscall(SYS_getresuid, &seen.uid, &seen.euid, &saved);
    seen.fsuid = static_cast<uid_t>(::syscall(SYS_setfsuid, -1));
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    ::syscall(SYS_capget, &header, data);
    seen.effective = data[0].effective | data[1].effective;
    seen.permitted = data[0].permitted | data[1].permitted;
    return seen;
}

// The calling thread holds the child's file-system ids and no effective capability during the
// call only; any other thread, then and after, keeps the caller's rights.
TEST(ChildRights, TheCallingThreadTakesTheIdsForTheCallOnly) {
    if (!is_root()) GTEST_SKIP() << "needs root to take another user's ids";
    child_rights::ChildRights rights;
    child_rights::Credentials nobody = own_credentials();
    nobody.uids = {65534, 65534, 65534, 65534};
    nobody.gids = {65534, 65534, 65534, 65534};
    nobody.groups = {65534};
    // A change of ids would leave the whole process undumpable.
    const int dumpable = ::prctl(PR_GET_DUMPABLE);
    const Seen before = seen_by_thread();
    const std::string groups_before = status_line("Groups:");
    for (const auto& creds : {nobody, own_credentials()}) {
        Seen inside;
        std::string groups_inside;
        // A thread that was there before the call looks at itself during it.
        std::promise<void> look;
        std::future<Seen> other = std::async(std::launch::async, [seen = look.get_future()]() mutable {
            seen.wait();
            return seen_by_thread();
        });
        ASSERT_TRUE(rights.run(creds, [&] {
            inside = seen_by_thread();
            groups_inside = status_line("Groups:");
            look.set_value();
            other.wait();
        }));
        EXPECT_EQ(inside.fsuid, creds.uids[3]);
        EXPECT_EQ(inside.effective, 0u);
        EXPECT_EQ(inside.permitted, before.permitted);
        while (!groups_inside.empty() && groups_inside.back() == ' ') groups_inside.pop_back();
        if (creds == nobody) {
            EXPECT_EQ(groups_inside, "Groups:\t65534");
        }
        const Seen seen_by_other = other.get();
        EXPECT_EQ(seen_by_other.fsuid, before.fsuid);
        EXPECT_EQ(seen_by_other.effective, before.effective);
        const Seen after = seen_by_thread();
        EXPECT_EQ(after.fsuid, before.fsuid);
        EXPECT_EQ(after.effective, before.effective);
        EXPECT_EQ(status_line("Groups:"), groups_before);
        EXPECT_EQ(::prctl(PR_GET_DUMPABLE), dumpable);
    }
}

// A thread's ids are read once and kept while they hold: a change of ids, or a thread that ends
// and whose number another takes, is read afresh.
TEST(ChildRights, KnownIdsFollowTheThread) {
    if (!is_root()) GTEST_SKIP() << "needs root to change a process's ids";
    child_rights::ChildRights rights;
    int go[2], ready[2];
    ASSERT_EQ(::pipe2(go, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    pid_t child = ::fork();
    if (child == 0) {
        char byte = 0;
        if (::read(go[0], &byte, 1) != 1) ::_exit(1);
        gid_t none[1];
        if (::setgroups(0, none) != 0 || ::setresgid(4321, 4321, 4321) != 0 ||
            ::setresuid(1234, 1234, 1234) != 0)
            ::_exit(1);
        if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    const auto tid = static_cast<std::uint32_t>(child);
    auto first = rights.facts(tid);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->creds.uids[1], 0u);
    EXPECT_TRUE(first->shares_user_namespace);
    EXPECT_EQ(first->tgid, tid);
    char byte = 1;
    ASSERT_EQ(::write(go[1], &byte, 1), 1);
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    auto changed = rights.facts(tid);
    ASSERT_TRUE(changed.has_value());
    EXPECT_EQ(changed->creds.uids, (std::array<std::uint32_t, 4>{1234, 1234, 1234, 1234}));
    EXPECT_EQ(changed->creds.gids, (std::array<std::uint32_t, 4>{4321, 4321, 4321, 4321}));
    EXPECT_TRUE(changed->creds.groups.empty());
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_FALSE(rights.facts(tid).has_value());
    for (int fd : {go[0], go[1], ready[0], ready[1]}) ::close(fd);
}

// A caller without privilege takes its own ids again and gives up nothing it needs to.
TEST(ChildRights, AnUnprivilegedCallerServesItsOwnChild) {
    auto report = test::run_forked([] {
        if (::geteuid() == 0) {
            gid_t none[1];
            if (::setgroups(0, none) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
                ::setresuid(65534, 65534, 65534) != 0)
                return std::string("cannot drop privilege");
        }
        child_rights::ChildRights rights;
        Seen inside;
        if (!rights.run(own_credentials(), [&] { inside = seen_by_thread(); }))
            return std::string("refused");
        return std::to_string(inside.euid == ::geteuid()) + std::to_string(inside.effective);
    });
    EXPECT_EQ(report.text, "10");
}

TEST(ChildRights, CredentialsComeFromTheStatusLines) {
    const std::string status =
        "Name:\tsh\nUid:\t1000\t1001\t1002\t1003\nGid:\t20\t21\t22\t23\nFDSize:\t64\n"
        "Groups:\t4 24 27 \n";
    auto creds = child_rights::parse_credentials(status);
    ASSERT_TRUE(creds.has_value());
    EXPECT_EQ(creds->uids, (std::array<std::uint32_t, 4>{1000, 1001, 1002, 1003}));
    EXPECT_EQ(creds->gids, (std::array<std::uint32_t, 4>{20, 21, 22, 23}));
    EXPECT_EQ(creds->groups, (std::vector<std::uint32_t>{4, 24, 27}));
    EXPECT_EQ(child_rights::parse_credentials("Uid:\t1\t1\t1\nGid:\t1\t1\t1\t1\nGroups:\n"),
              std::nullopt);
    auto no_groups = child_rights::parse_credentials("Uid:\t1\t1\t1\t1\nGid:\t1\t1\t1\t1\nGroups:\n");
    ASSERT_TRUE(no_groups.has_value());
    EXPECT_TRUE(no_groups->groups.empty());
}

}  // namespace
}  // namespace vestrion
