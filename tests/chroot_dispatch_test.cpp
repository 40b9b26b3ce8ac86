// The virtual root's handlers behind a real supervisor: a child whose path calls are routed names
// files inside a root built for the test, whose files differ from the host's, and whose links try
// to lead out of it. Every case checks what the child saw and what changed on the host.
#include "core/chroot/dispatch.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <thread>

#include "core/context/filter_lists.hpp"
#include "core/seccomp/notif.hpp"
#include "tests/routed_child.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

namespace fs = std::filesystem;
using seccomp::notif::NotifPolicy;
using seccomp::notif::SharedSupervisorState;
using test::errno_name;

std::vector<int> routed(const Policy& policy) {
    std::vector<int> out;
    for (std::uint32_t nr : context::notif_syscalls(policy))
        if (nr != SYS_clone && nr != SYS_fork && nr != SYS_vfork && nr != SYS_clone3)
            out.push_back(static_cast<int>(nr));
    return out;
}

// What an open gives: the file's first line, "opened" for an empty one, or the error.
std::string open_and_read(const char* path, int flags, int dirfd = AT_FDCWD) {
    int fd = ::openat(dirfd, path, flags | O_CLOEXEC, 0644);
    if (fd < 0) return errno_name(errno);
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf);
    ::close(fd);
    if (n <= 0) return "opened";
    std::string text(buf, static_cast<std::size_t>(n));
    return text.substr(0, text.find('\n'));
}

std::string outcome(long ret) {
    return ret < 0 ? errno_name(errno) : "ok";
}

// A root with its own /etc/passwd, a writable /tmp, and links that point out of it.
class ChrootSupervised : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = dir_.path() / "root";
        outside_ = dir_.path() / "outside";
        for (const char* d : {"etc", "tmp", "usr/lib", "home"}) fs::create_directories(root_ / d);
        fs::create_directories(outside_);
        test::write_file(root_ / "etc/passwd", "root's passwd\n");
        test::write_file(root_ / "usr/lib/libx", "root's lib\n");
        test::write_file(outside_ / "secret", "host secret\n");
        fs::create_directory_symlink("/usr/lib", root_ / "lib");
        fs::create_symlink("/etc/passwd", root_ / "tmp/l");
        fs::create_symlink("missing", root_ / "tmp/dangling");
        fs::create_symlink(outside_ / "secret", root_ / "tmp/host");
        fs::create_symlink("../../../../../../../../" + (outside_ / "secret").string(),
                           root_ / "tmp/up");
        fs::create_symlink(root_ / "etc/passwd", root_ / "tmp/full");
    }

    Policy policy() const { return *Policy::builder().chroot(root_).fs_write("/tmp").build(); }

    std::string run(const std::function<std::string()>& body) {
        const Policy p = policy();
        NotifPolicy np = NotifPolicy::from_policy(p, 0);
        auto shared = std::make_shared<SharedSupervisorState>(64u, std::nullopt);
        test::RoutedChild child(routed(p), body);
        UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
        auto loop = std::async(std::launch::async, [&, listener = child.take_listener()]() mutable {
            seccomp::notif::supervisor(np, shared, std::move(listener), stop.get());
        });
        test::ChildReport report = child.finish();
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop.get(), &one, sizeof one);
        loop.wait();
        if (!WIFEXITED(report.wait_status))
            report.text += "[signal " + std::to_string(WTERMSIG(report.wait_status)) + "]";
        return report.text;
    }

    test::TempDir dir_;
    fs::path root_;
    fs::path outside_;
};

struct OpenCase {
    const char* path;
    int flags;
    const char* expected;
};

TEST_F(ChrootSupervised, OpensFindTheRootsFilesOnly) {
    const std::vector<OpenCase> cases{
        {"/etc/passwd", O_RDONLY, "root's passwd"},
        {"/../../etc/passwd", O_RDONLY, "root's passwd"},
        {"/lib/libx", O_RDONLY, "root's lib"},        // an absolute link inside the root
        {"/tmp/l", O_RDONLY, "root's passwd"},
        {"/tmp/host", O_RDONLY, "ENOENT"},           // a host path is a path inside the root
        {"/tmp/up", O_RDONLY, "ENOENT"},             // ".." stops at the root
        {"/tmp/full", O_RDONLY, "ENOENT"},
        {"/tmp/l", O_RDONLY | O_NOFOLLOW, "ELOOP"},
        {"/tmp/dangling", O_WRONLY | O_CREAT | O_EXCL, "EEXIST"},
        {"/etc/passwd", O_WRONLY, "EACCES"},         // not in the writable list
        {"/tmp/l", O_WRONLY, "EACCES"},              // checked where the link leads
        {"/etc/new", O_RDONLY | O_CREAT, "EACCES"},  // creating needs the writable list
        {"/etc/passwd", O_RDONLY | O_TRUNC, "EACCES"},
        {"/nodir/file", O_RDONLY, "ENOENT"},
        {"/etc/passwd/", O_RDONLY, "ENOTDIR"},
        {"/etc", O_RDONLY | O_DIRECTORY, "opened"},
        {"/etc/passwd", O_RDONLY | 010000000000, "EINVAL"},  // a flag the kernel does not know
    };
    const std::string out = run([&] {
        std::string text;
        for (const auto& c : cases) text += open_and_read(c.path, c.flags) + "\n";
        return text;
    });
    std::string expected;
    for (const auto& c : cases) expected += std::string(c.expected) + "\n";
    EXPECT_EQ(out, expected);
    EXPECT_FALSE(fs::exists(root_ / "etc/new"));
    EXPECT_FALSE(fs::exists(root_ / "tmp/missing"));
    EXPECT_EQ(test::read_file(root_ / "etc/passwd"), "root's passwd\n");
}

TEST_F(ChrootSupervised, CreatesWithTheChildsUmaskAndOnlyInTheRoot) {
    const std::string out = run([] {
        ::umask(027);
        std::string text = open_and_read("/tmp/f", O_WRONLY | O_CREAT) + " ";
        text += outcome(::mkdir("/tmp/d", 0777)) + " ";
        text += outcome(::symlink("/etc/passwd", "/tmp/s")) + " ";
        text += open_and_read("/tmp/s", O_RDONLY);
        return text;
    });
    EXPECT_EQ(out, "opened ok ok root's passwd");
    struct stat st {};
    ASSERT_EQ(::stat((root_ / "tmp/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ASSERT_EQ(::stat((root_ / "tmp/d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    EXPECT_EQ(fs::read_symlink(root_ / "tmp/s"), "/etc/passwd");
}

TEST_F(ChrootSupervised, ChangesActOnTheNameAndStayInTheWritableList) {
    test::write_file(root_ / "tmp/a", "a\n");
    test::write_file(root_ / "etc/a", "a\n");
    struct Step {
        const char* what;
        std::function<long()> call;
        const char* expected;
    };
    const std::vector<Step> steps{
        {"unlink a link", [] { return ::unlink("/tmp/l"); }, "ok"},
        {"unlink outside the list", [] { return ::unlink("/etc/a"); }, "EACCES"},
        {"rename into a read-only place", [] { return ::rename("/tmp/a", "/etc/b"); }, "EACCES"},
        {"rename within", [] { return ::rename("/tmp/a", "/tmp/b"); }, "ok"},
        {"rename, no replace", [] {
             return ::syscall(SYS_renameat2, AT_FDCWD, "/tmp/b", AT_FDCWD, "/tmp/dangling",
                              RENAME_NOREPLACE);
         }, "EEXIST"},
        {"link from a readable file", [] { return ::link("/etc/a", "/tmp/hard"); }, "ok"},
        {"truncate a read-only file", [] { return ::truncate("/etc/passwd", 0); }, "EACCES"},
        {"chmod a read-only file", [] { return ::chmod("/etc/passwd", 0777); }, "EACCES"},
        {"rmdir the root", [] { return ::rmdir("/"); }, "EACCES"},
        {"mkdir below a file", [] { return ::mkdir("/tmp/b/x", 0755); }, "ENOTDIR"},
        {"unknown unlink flag", [] { return ::unlinkat(AT_FDCWD, "/tmp/b", 0x4000); }, "EINVAL"},
    };
    const std::string out = run([&] {
        std::string text;
        for (const auto& s : steps) text += std::string(s.what) + ": " + outcome(s.call()) + "\n";
        return text;
    });
    std::string expected;
    for (const auto& s : steps) expected += std::string(s.what) + ": " + s.expected + "\n";
    EXPECT_EQ(out, expected);
    EXPECT_EQ(test::read_file(root_ / "etc/passwd"), "root's passwd\n");  // the link's target
    EXPECT_TRUE(fs::exists(root_ / "etc/a"));
    EXPECT_TRUE(fs::exists(root_ / "tmp/b"));
    EXPECT_TRUE(fs::exists(root_ / "tmp/hard"));
}

// The supervisor holds every right of the caller; the command's own call would not.
TEST_F(ChrootSupervised, TheChildsRightsNotTheSupervisors) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to show what root's rights would allow";
    test::write_file(root_ / "tmp/ro", "ro\n");
    ::chmod((root_ / "tmp/ro").c_str(), 0444);
    test::write_file(root_ / "tmp/none", "none\n");
    ::chmod((root_ / "tmp/none").c_str(), 0);
    const std::string out = run([] {
        std::string text = open_and_read("/tmp/ro", O_WRONLY) + " ";
        text += open_and_read("/tmp/none", O_RDONLY) + " ";
        text += outcome(::chown("/tmp/ro", 1, 1));
        return text;
    });
    EXPECT_EQ(out, "EACCES EACCES EPERM");
    struct stat st {};
    ASSERT_EQ(::stat((root_ / "tmp/ro").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(ChrootSupervised, StatusAndLinksShowVirtualNames) {
    const std::string out = run([] {
        std::string text;
        struct stat st {};
        text += outcome(::stat("/etc/passwd", &st)) + " ";
        text += std::to_string(st.st_size) + " ";
        text += outcome(::lstat("/tmp/l", &st)) + " ";
        text += S_ISLNK(st.st_mode) ? "link " : "? ";
        text += outcome(::stat("/tmp/host", &st)) + " ";
        text += outcome(::access("/tmp/dangling", F_OK)) + " ";  // as the kernel answers
        text += outcome(::access("/etc/passwd", R_OK)) + " ";
        char buf[64] = {};
        long n = ::readlink("/tmp/l", buf, sizeof buf);
        text += std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0) + " ";
        n = ::readlink("/tmp/full", buf, sizeof buf);
        text += std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0) + " ";
        text += outcome(::readlink("/etc/passwd", buf, sizeof buf)) + " ";
        n = ::readlink("/proc/self/root", buf, sizeof buf);
        text += std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0) + " ";
        struct statfs sfs {};
        text += outcome(::statfs("/etc", &sfs)) + " ";
        text += outcome(::syscall(SYS_getcwd, buf, 1)) + " ";
        text += outcome(::syscall(SYS_newfstatat, AT_FDCWD, reinterpret_cast<char*>(8), &st, 0));
        return text;
    });
    EXPECT_EQ(out, "ok 14 ok link ENOENT ENOENT ok /etc/passwd /etc/passwd EINVAL / ok ERANGE EFAULT");
}

TEST_F(ChrootSupervised, RelativePathsStartFromDescriptorsInsideTheRoot) {
    const std::string out = run([] {
        int etc = ::open("/etc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        std::string text = open_and_read("passwd", O_RDONLY, etc) + " ";
        text += open_and_read("../../../etc/passwd", O_RDONLY, etc) + " ";
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return std::string("pipe failed");
        text += open_and_read("x", O_RDONLY, fds[0]) + " ";  // a pipe is no directory
        // The test's own working directory lies outside the root.
        text += open_and_read("etc/passwd", O_RDONLY);
        return text;
    });
    EXPECT_EQ(out, "root's passwd root's passwd EACCES EACCES");
}

TEST_F(ChrootSupervised, OwnDescriptorsReopenWithAtMostTheirAccess) {
    const std::string out = run([] {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return std::string("pipe failed");
        [[maybe_unused]] ssize_t w = ::write(fds[1], "piped\n", 6);
        std::string path = "/dev/fd/" + std::to_string(fds[0]);
        std::string text = open_and_read(path.c_str(), O_RDONLY) + " ";
        text += open_and_read(path.c_str(), O_WRONLY) + " ";
        int etc = ::open("/etc/passwd", O_RDONLY | O_CLOEXEC);
        path = "/proc/self/fd/" + std::to_string(etc);
        text += open_and_read(path.c_str(), O_RDONLY) + " ";
        text += open_and_read(path.c_str(), O_RDWR);
        return text;
    });
    EXPECT_EQ(out, "piped EACCES root's passwd EACCES");
}

TEST_F(ChrootSupervised, TimesAndAttributesNeedTheWritableList) {
    test::write_file(root_ / "tmp/f", "f\n");
    const std::string out = run([] {
        timeval times[2] = {{1000000000, 0}, {1000000000, 0}};
        std::string text = outcome(::utimes("/tmp/f", times)) + " ";
        text += outcome(::utimes("/etc/passwd", times)) + " ";
        text += outcome(::setxattr("/etc/passwd", "user.x", "1", 1, 0)) + " ";
        long set = ::setxattr("/tmp/f", "user.x", "1", 1, 0);
        if (set != 0 && (errno == EOPNOTSUPP || errno == ENOTSUP)) return text + "no xattrs";
        text += outcome(set) + " ";
        char value[8] = {};
        long n = ::getxattr("/tmp/f", "user.x", value, sizeof value);
        text += std::string(value, n > 0 ? static_cast<std::size_t>(n) : 0);
        return text;
    });
    if (out.ends_with("no xattrs")) GTEST_SKIP() << "no user attributes on this file system";
    EXPECT_EQ(out, "ok EACCES EACCES ok 1");
    struct stat st {};
    ASSERT_EQ(::stat((root_ / "tmp/f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
}

// A second thread swaps a directory for links that lead out while the first creates, writes and
// changes files below it: nothing outside the root is ever opened, created or changed.
TEST_F(ChrootSupervised, ARacingLinkNeverLeadsOut) {
    fs::create_directories(root_ / "tmp/d");
    const std::string target = outside_.string();
    const std::string up = "../../../../../../../../../../" + target;
    const std::string before = test::tree_state(outside_);
    const std::string out = run([&] {
        std::atomic<bool> done{false};
        std::thread swapper([&] {
            for (int i = 0; !done; ++i) {
                ::rename("/tmp/d", "/tmp/d.away");
                ::symlink(i % 2 ? up.c_str() : target.c_str(), "/tmp/d");
                ::unlink("/tmp/d");
                ::rename("/tmp/d.away", "/tmp/d");
            }
        });
        for (int i = 0; i < 10000; ++i) {
            int fd = ::open("/tmp/d/secret", O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd >= 0) {
                [[maybe_unused]] ssize_t w = ::write(fd, "x", 1);
                ::close(fd);
            }
            ::chmod("/tmp/d/secret", 0600);
            ::unlink("/tmp/d/secret");
        }
        done = true;
        swapper.join();
        return std::string("done");
    });
    EXPECT_EQ(out, "done");
    EXPECT_EQ(test::tree_state(outside_), before);
    EXPECT_EQ(test::read_file(outside_ / "secret"), "host secret\n");
}

}  // namespace
}  // namespace vestrion
