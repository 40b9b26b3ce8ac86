// Paths under a virtual root: the text rules, the two lists, and resolution through a real tree
// whose links try to lead out of the root.
#include "core/chroot/resolve.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support.hpp"

namespace vestrion::chroot {
namespace {

namespace fs = std::filesystem;

struct TextCase {
    const char* in;
    const char* out;
};

TEST(ChrootText, ConfineNeverClimbsAboveTheRoot) {
    for (auto [in, out] : {TextCase{"/../../etc/passwd", "/etc/passwd"},
                           TextCase{"a/../../b", "/b"},
                           TextCase{"", "/"},
                           TextCase{"//usr/./lib//", "/usr/lib"},
                           TextCase{"/usr/lib/../../..", "/"}})
        EXPECT_EQ(confine(in), out) << in;
}

TEST(ChrootText, PrefixesCompareWholeComponents) {
    struct Case {
        const char* prefix;
        const char* path;
        bool expected;
    };
    for (auto c : {Case{"/usr", "/usr/lib", true}, Case{"/usr", "/usrx", false},
                   Case{"/usr/", "/usr", true}, Case{"/", "/anything", true},
                   Case{"/usr/lib", "/usr", false}})
        EXPECT_EQ(is_component_prefix(c.prefix, c.path), c.expected) << c.prefix << " " << c.path;
}

TEST(ChrootText, HostAndVirtualPathsConvert) {
    EXPECT_EQ(to_host_path("/srv/root", "/etc/passwd"), "/srv/root/etc/passwd");
    EXPECT_EQ(to_host_path("/srv/root", "/"), "/srv/root");
    EXPECT_EQ(to_virtual_path("/srv/root", "/srv/root/etc"), "/etc");
    EXPECT_EQ(to_virtual_path("/srv/root", "/srv/root"), "/");
    EXPECT_EQ(to_virtual_path("/srv/root", "/srv/rootx/etc"), std::nullopt);
    EXPECT_EQ(to_virtual_path("/srv/root", "/usr/lib"), std::nullopt);
    EXPECT_EQ(to_virtual_path("/", "/usr/lib"), "/usr/lib");
}

TEST(ChrootLists, ReadableAndWritable) {
    ChrootCtx ctx({"/data/in"}, {"/data/out"});
    struct Case {
        const char* path;
        bool read;
        bool write;
    };
    for (auto c : {Case{"/", true, false}, Case{"/data", true, false},
                   Case{"/data/in/x", true, false}, Case{"/data/out/y", true, true},
                   Case{"/etc", false, false}, Case{"/data/inx", false, false}}) {
        EXPECT_EQ(ctx.can_read(c.path), c.read) << c.path;
        EXPECT_EQ(ctx.can_write(c.path), c.write) << c.path;
    }
    ChrootCtx open({}, {});
    EXPECT_TRUE(open.can_read("/etc/shadow"));
    EXPECT_FALSE(open.can_write("/tmp"));
}

// A root with links that point out of it, by absolute target and by "..".
class ChrootTree : public ::testing::Test {
  protected:
    void SetUp() override {
        r_ = dir_.path() / "root";
        fs::create_directories(r_ / "etc");
        fs::create_directories(r_ / "usr/lib");
        fs::create_directories(r_ / "home");
        test::write_file(r_ / "etc/passwd", "root's\n");
        test::write_file(r_ / "usr/lib/libx", "lib\n");
        test::write_file(dir_.path() / "outside", "host\n");
        fs::create_directory_symlink("/usr/lib", r_ / "lib");
        fs::create_symlink("../../../../outside", r_ / "home/up");
        fs::create_symlink("/etc/passwd", r_ / "home/pw");
        fs::create_symlink("loop", r_ / "home/loop");
        fs::create_symlink("missing", r_ / "home/dangling");
        auto root = Root::open(r_);
        ASSERT_TRUE(root);
        root_.emplace(std::move(*root));
    }

    // The virtual path resolution gives, and the content of the file there.
    std::string look(const std::string& v, bool follow = true) {
        auto r = resolve(*root_, v, follow);
        if (!r) return test::errno_name(r.error());
        std::string out = r->virt;
        int fd = ::openat(r->dir.get(), r->name.empty() ? "." : r->name.c_str(),
                          O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return out;
        char buf[64];
        ssize_t n = ::read(fd, buf, sizeof buf);
        ::close(fd);
        if (n > 0) out += " " + std::string(buf, static_cast<std::size_t>(n) - 1);
        return out;
    }

    test::TempDir dir_;
    fs::path r_;
    std::optional<Root> root_;
};

TEST_F(ChrootTree, LookupsStayInsideTheRoot) {
    struct Case {
        const char* path;
        bool follow;
        const char* expected;
    };
    for (auto c : {
             Case{"/../../etc/passwd", true, "/etc/passwd root's"},
             Case{"/lib/libx", true, "/usr/lib/libx lib"},
             Case{"/lib", true, "/usr/lib"},
             Case{"/home/pw", true, "/etc/passwd root's"},
             Case{"/home/pw", false, "/home/pw"},
             Case{"/home/up", true, "/outside"},  // missing inside the root: never the host's
             Case{"/home/dangling", true, "/home/missing"},
             Case{"/home/loop", true, "ELOOP"},
             Case{"/home/loop", false, "/home/loop"},
             Case{"/newfile", true, "/newfile"},
             Case{"/nodir/newfile", true, "ENOENT"},
             Case{"/etc/passwd/x", true, "ENOTDIR"},
             Case{"/", true, "/"},
             Case{"/home/..", true, "/"},
             Case{"/lib/..", true, "/usr"},
         })
        EXPECT_EQ(look(c.path, c.follow), c.expected) << c.path << " follow " << c.follow;
}

TEST_F(ChrootTree, ARootNamedThroughALinkIsItsTarget) {
    fs::create_directory_symlink(r_, dir_.path() / "alias");
    auto root = Root::open(dir_.path() / "alias");
    ASSERT_TRUE(root);
    EXPECT_EQ(root->host(), root_->host());
    auto r = resolve(*root, "/etc/passwd", true);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->virt, "/etc/passwd");
}

TEST_F(ChrootTree, AMissingRootIsAnError) {
    EXPECT_EQ(Root::open(dir_.path() / "nothing").error(), ENOENT);
}

}  // namespace
}  // namespace vestrion::chroot
