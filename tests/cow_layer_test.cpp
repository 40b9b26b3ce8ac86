// The supervisor's copy-on-write layer on a scratch working directory: the merged view, the
// kernel's answers, links that lead out, and what commit and abort leave in W.
#include "core/cow/seccomp.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "core/text.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

namespace fs = std::filesystem;
using cow::SeccompCowBranch;

// The error number of a result, 0 for success.
template <class T>
int error_of(const std::expected<T, int>& result) {
    return result ? 0 : result.error();
}

std::string read_fd(int fd) {
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    return out;
}

void set_mtime(const fs::path& p, long seconds) {
    struct timespec t[2] = {{seconds, 0}, {seconds, 0}};
    ::utimensat(AT_FDCWD, p.c_str(), t, AT_SYMLINK_NOFOLLOW);
}

// A working directory with a few entries, a storage directory beside it, and a layer over them.
class Layer : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(w());
        test::write_file(w() / "keep", "keep\n");
        test::write_file(w() / "mod", "old\n");
        test::write_file(w() / "gone", "gone\n");
        fs::create_directory(w() / "dir");
        test::write_file(w() / "dir" / "inner", "inner\n");
        fs::create_directory(w() / "empty");
        for (const char* name : {"keep", "mod", "gone", "dir/inner"}) set_mtime(w() / name, 1000000);
        before_ = test::tree_state(w());
        auto made = SeccompCowBranch::create(w(), tmp_ / "storage");
        ASSERT_TRUE(made.has_value()) << made.error().message();
        layer_.emplace(std::move(*made));
    }

    fs::path w() const { return tmp_ / "w"; }
    std::string at(const std::string& rel) const { return (w() / rel).native(); }
    SeccompCowBranch& layer() { return *layer_; }

    // Writes `text` through the layer as a child's open for writing would.
    void write_through(const std::string& rel, const std::string& text, int extra = O_TRUNC) {
        auto target = layer().handle_open(at(rel), O_WRONLY | O_CREAT | extra, 0644);
        ASSERT_TRUE(target.has_value()) << rel << ": " << strerrorname_np(target.error());
        auto fd = target->open();
        ASSERT_TRUE(fd.has_value()) << rel << ": " << strerrorname_np(fd.error());
        ASSERT_EQ(::write(fd->get(), text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    std::string read_through(const std::string& rel) {
        auto target = layer().handle_open(at(rel), O_RDONLY, 0);
        if (!target) return std::string("error ") + strerrorname_np(target.error());
        auto fd = target->open();
        if (!fd) return std::string("error ") + strerrorname_np(fd.error());
        return read_fd(fd->get());
    }

    test::TempDir tmp_;
    std::string before_;
    std::optional<SeccompCowBranch> layer_;
};

std::string changes_text(const SeccompCowBranch& b) {
    auto changes = b.changes();
    if (!changes) return changes.error().message();
    std::string out;
    for (const auto& c : *changes)
        out += std::string(1, "AMD"[static_cast<int>(c.kind)]) + " " + c.path.native() + "\n";
    return out;
}

TEST_F(Layer, CreateModifyDeleteShowInTheViewAndTheChangesWhileWStaysUntouched) {
    write_through("new", "fresh\n");
    write_through("mod", "more\n", O_APPEND);
    ASSERT_TRUE(layer().handle_unlink(at("gone"), false));

    EXPECT_EQ(read_through("new"), "fresh\n");
    EXPECT_EQ(read_through("mod"), "old\nmore\n");
    EXPECT_EQ(read_through("gone"), "error ENOENT");
    EXPECT_EQ(read_through("keep"), "keep\n");
    EXPECT_EQ(layer().list_merged_dir(""),
              (std::vector<std::string>{"dir", "empty", "keep", "mod", "new"}));
    EXPECT_EQ(changes_text(layer()), "M mod\nA new\nD gone\n");
    EXPECT_TRUE(layer().dirty());
    EXPECT_EQ(test::tree_state(w()), before_);
}

TEST_F(Layer, AbortLeavesWAsItWasAndRemovesTheBranch) {
    write_through("new", "fresh\n");
    write_through("dir/inner", "changed\n");
    ASSERT_TRUE(layer().handle_unlink(at("keep"), false));
    ASSERT_TRUE(layer().handle_mkdir(at("made"), 0755));
    fs::path branch = layer().branch_dir();
    ASSERT_TRUE(fs::exists(branch));
    layer().abort();
    layer().abort();  // a second time does nothing
    EXPECT_FALSE(fs::exists(branch));
    EXPECT_EQ(test::tree_state(w()), before_);
}

TEST_F(Layer, CommitAppliesExactlyTheChangesKeepsTimesAndRemovesTheBranch) {
    write_through("new", "fresh\n");
    write_through("mod", "new contents\n");
    struct timespec touched[2] = {{2000000, 0}, {2000000, 0}};
    ASSERT_TRUE(layer().handle_utimens(at("new"), touched));
    ASSERT_TRUE(layer().handle_utimens(at("keep"), touched));  // times alone are a change
    ASSERT_TRUE(layer().handle_unlink(at("gone"), false));
    ASSERT_TRUE(layer().handle_mkdir(at("made"), 0750));
    write_through("made/deep", "deep\n");
    fs::path branch = layer().branch_dir();

    ASSERT_TRUE(layer().commit()) << "commit failed";
    EXPECT_FALSE(fs::exists(branch));
    EXPECT_EQ(test::read_file(w() / "new"), "fresh\n");
    EXPECT_EQ(test::read_file(w() / "mod"), "new contents\n");
    EXPECT_EQ(test::read_file(w() / "keep"), "keep\n");
    EXPECT_EQ(test::read_file(w() / "made" / "deep"), "deep\n");
    EXPECT_EQ(test::read_file(w() / "dir" / "inner"), "inner\n");
    EXPECT_FALSE(fs::exists(w() / "gone"));
    struct stat st;
    ASSERT_EQ(::stat((w() / "new").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000000);
    ASSERT_EQ(::stat((w() / "keep").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 2000000);
    ASSERT_EQ(::stat((w() / "made").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
    // No temporary names are left beside the files.
    for (const auto& e : fs::directory_iterator(w()))
        EXPECT_FALSE(e.path().filename().native().starts_with(".vestrion")) << e.path();
    EXPECT_TRUE(layer().commit());  // a second time does nothing
}

TEST_F(Layer, CopyUpKeepsTheFilesTimesModeAndContents) {
    ::chmod((w() / "mod").c_str(), 0640);
    set_mtime(w() / "mod", 1000000);
    ASSERT_TRUE(layer().handle_chown(at("mod"), 0xFFFFFFFF, 0xFFFFFFFF));
    auto target = layer().handle_open(at("mod"), O_RDWR, 0);
    ASSERT_TRUE(target.has_value());
    EXPECT_TRUE(target->in_upper);
    auto entry = layer().handle_stat(at("mod"));
    ASSERT_TRUE(entry.has_value());
    EXPECT_TRUE(entry->in_upper);
    EXPECT_EQ(entry->st.st_mode & 07777, 0640u);
    EXPECT_EQ(entry->st.st_mtim.tv_sec, 1000000);
    EXPECT_EQ(read_through("mod"), "old\n");
    ASSERT_TRUE(layer().commit());
    struct stat st;
    ASSERT_EQ(::stat((w() / "mod").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000);
}

// The answers the kernel would give against the merged view.
struct AnswerCase {
    const char* name;
    std::function<cow::Outcome(SeccompCowBranch&, const fs::path&)> op;
    int expected;  // 0: success
};
void PrintTo(const AnswerCase& c, std::ostream* os) { *os << c.name; }

class LayerAnswers : public Layer, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(LayerAnswers, MatchTheKernels) {
    // A name made by the command, and one it deleted, before the call under test.
    ASSERT_TRUE(layer().handle_mkdir(at("made"), 0755));
    ASSERT_TRUE(layer().handle_unlink(at("gone"), false));
    auto result = GetParam().op(layer(), w());
    EXPECT_EQ(result ? 0 : result.error(), GetParam().expected)
        << (result ? "ok" : strerrorname_np(result.error()));
    EXPECT_EQ(test::tree_state(w()), before_);
}

std::string p(const fs::path& w, const char* rel) { return (w / rel).native(); }

INSTANTIATE_TEST_SUITE_P(
    Cases, LayerAnswers,
    ::testing::Values(
        AnswerCase{"MkdirOfAMadeName", [](auto& b, auto& w) { return b.handle_mkdir(p(w, "made"), 0755); }, EEXIST},
        AnswerCase{"MkdirOfAWName", [](auto& b, auto& w) { return b.handle_mkdir(p(w, "dir"), 0755); }, EEXIST},
        AnswerCase{"MkdirInADeletedName", [](auto& b, auto& w) { return b.handle_mkdir(p(w, "gone/x"), 0755); }, ENOENT},
        AnswerCase{"MkdirOfADeletedName", [](auto& b, auto& w) { return b.handle_mkdir(p(w, "gone"), 0755); }, 0},
        AnswerCase{"UnlinkOfAMissingName", [](auto& b, auto& w) { return b.handle_unlink(p(w, "nothing"), false); }, ENOENT},
        AnswerCase{"UnlinkOfADeletedName", [](auto& b, auto& w) { return b.handle_unlink(p(w, "gone"), false); }, ENOENT},
        AnswerCase{"UnlinkOfADirectory", [](auto& b, auto& w) { return b.handle_unlink(p(w, "dir"), false); }, EISDIR},
        AnswerCase{"RmdirOfANonEmptyDirectory", [](auto& b, auto& w) { return b.handle_unlink(p(w, "dir"), true); }, ENOTEMPTY},
        AnswerCase{"RmdirOfAFile", [](auto& b, auto& w) { return b.handle_unlink(p(w, "keep"), true); }, ENOTDIR},
        AnswerCase{"RmdirOfAnEmptyDirectory", [](auto& b, auto& w) { return b.handle_unlink(p(w, "empty"), true); }, 0},
        AnswerCase{"RenameOfAMissingName", [](auto& b, auto& w) { return b.handle_rename(p(w, "gone"), p(w, "x")); }, ENOENT},
        AnswerCase{"RenameNoReplaceOntoAName", [](auto& b, auto& w) { return b.handle_rename(p(w, "keep"), p(w, "mod"), RENAME_NOREPLACE); }, EEXIST},
        AnswerCase{"RenameNoReplaceOntoADeletedName", [](auto& b, auto& w) { return b.handle_rename(p(w, "keep"), p(w, "gone"), RENAME_NOREPLACE); }, 0},
        AnswerCase{"RenameExchange", [](auto& b, auto& w) { return b.handle_rename(p(w, "keep"), p(w, "mod"), RENAME_EXCHANGE); }, EINVAL},
        AnswerCase{"RenameWhiteout", [](auto& b, auto& w) { return b.handle_rename(p(w, "keep"), p(w, "x"), RENAME_WHITEOUT); }, EINVAL},
        AnswerCase{"RenameAFileOntoADirectory", [](auto& b, auto& w) { return b.handle_rename(p(w, "keep"), p(w, "empty")); }, EISDIR},
        AnswerCase{"RenameADirectoryOntoAFile", [](auto& b, auto& w) { return b.handle_rename(p(w, "made"), p(w, "keep")); }, ENOTDIR},
        AnswerCase{"RenameADirectoryOntoANonEmptyOne", [](auto& b, auto& w) { return b.handle_rename(p(w, "made"), p(w, "dir")); }, ENOTEMPTY},
        AnswerCase{"RenameADirectoryWithEntriesInW", [](auto& b, auto& w) { return b.handle_rename(p(w, "dir"), p(w, "moved")); }, EXDEV},
        AnswerCase{"RenameADirectoryIntoItself", [](auto& b, auto& w) { return b.handle_rename(p(w, "made"), p(w, "made/sub")); }, EINVAL},
        AnswerCase{"RenameAMadeDirectory", [](auto& b, auto& w) { return b.handle_rename(p(w, "made"), p(w, "moved")); }, 0},
        AnswerCase{"LinkOntoAName", [](auto& b, auto& w) { return b.handle_link(p(w, "keep"), p(w, "mod")); }, EEXIST},
        AnswerCase{"LinkOfADirectory", [](auto& b, auto& w) { return b.handle_link(p(w, "dir"), p(w, "x")); }, EPERM},
        AnswerCase{"SymlinkOntoAName", [](auto& b, auto& w) { return b.handle_symlink("x", p(w, "keep")); }, EEXIST},
        AnswerCase{"TruncateADirectory", [](auto& b, auto& w) { return b.handle_truncate(p(w, "dir"), 0); }, EISDIR},
        AnswerCase{"TruncateADeletedName", [](auto& b, auto& w) { return b.handle_truncate(p(w, "gone"), 0); }, ENOENT},
        AnswerCase{"ChownToAnotherOwner", [](auto& b, auto& w) { return b.handle_chown(p(w, "keep"), 12345, 0xFFFFFFFF); }, EPERM},
        AnswerCase{"ChownToAnotherGroup", [](auto& b, auto& w) { return b.handle_chown(p(w, "keep"), 0xFFFFFFFF, 12345); }, EPERM},
        AnswerCase{"MknodOfACharacterDevice", [](auto& b, auto& w) { return b.handle_mknod(p(w, "dev"), S_IFCHR | 0666); }, EPERM},
        AnswerCase{"MknodOfAFifo", [](auto& b, auto& w) { return b.handle_mknod(p(w, "fifo"), S_IFIFO | 0644); }, 0},
        AnswerCase{"SetxattrOfAFileCapability", [](auto& b, auto& w) { return b.handle_setxattr(p(w, "keep"), "security.capability", "x", 0); }, ENOTSUP},
        AnswerCase{"RemovexattrOfATrustedName", [](auto& b, auto& w) { return b.handle_removexattr(p(w, "keep"), "trusted.x"); }, ENOTSUP},
        AnswerCase{"APathOutsideW", [](auto& b, auto& w) { return b.handle_mkdir(p(w, "../outside"), 0755); }, EXDEV}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Layer, ADeletedNameComesBackEmptyAndRenameOntoItClearsItsMark) {
    ASSERT_TRUE(layer().handle_unlink(at("gone"), false));
    EXPECT_EQ(error_of(layer().handle_stat(at("gone"))), ENOENT);
    // O_CREAT without O_TRUNC still gives an empty file, not the deleted contents.
    write_through("gone", "", 0);
    EXPECT_EQ(read_through("gone"), "");

    // rm a; mv b a: a has b's contents and is one change, not a deletion as well.
    ASSERT_TRUE(layer().handle_unlink(at("keep"), false));
    ASSERT_TRUE(layer().handle_rename(at("mod"), at("keep")));
    EXPECT_EQ(read_through("keep"), "old\n");
    EXPECT_EQ(read_through("mod"), "error ENOENT");
    EXPECT_EQ(changes_text(layer()), "M gone\nM keep\nD mod\n");
    ASSERT_TRUE(layer().commit());
    EXPECT_EQ(test::read_file(w() / "keep"), "old\n");
    EXPECT_FALSE(fs::exists(w() / "mod"));
}

TEST_F(Layer, RemovingATreeAndMakingAFileInItsPlaceCommitsCleanly) {
    ASSERT_TRUE(layer().handle_unlink(at("dir/inner"), false));
    ASSERT_TRUE(layer().handle_unlink(at("dir"), true));
    EXPECT_EQ(layer().list_merged_dir(""), (std::vector<std::string>{"empty", "gone", "keep", "mod"}));
    ASSERT_TRUE(layer().handle_rename(at("keep"), at("dir")));
    EXPECT_EQ(read_through("dir"), "keep\n");
    EXPECT_EQ(error_of(layer().handle_stat(at("dir/inner"))), ENOTDIR);
    ASSERT_TRUE(layer().commit());
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(w() / "dir")));
    EXPECT_EQ(test::read_file(w() / "dir"), "keep\n");
}

TEST_F(Layer, CommitRemovesOnlyWhatTheCommandRemovedAndReportsWhatItCouldNot) {
    // rm -rf dir in the view, while another process adds to W/dir and puts a file where the
    // command made a directory.
    ASSERT_TRUE(layer().handle_unlink(at("dir/inner"), false));
    ASSERT_TRUE(layer().handle_unlink(at("dir"), true));
    ASSERT_TRUE(layer().handle_unlink(at("empty"), true));
    ASSERT_TRUE(layer().handle_unlink(at("gone"), false));
    ASSERT_TRUE(layer().handle_mkdir(at("made"), 0755));
    write_through("made/f", "mine\n");
    test::write_file(w() / "dir" / "added", "theirs\n");
    test::write_file(w() / "made", "theirs too\n");

    auto committed = layer().commit();
    ASSERT_FALSE(committed.has_value());
    const std::string said = committed.error().message();
    EXPECT_TRUE(said.starts_with("branch conflict: commit to " +
                                 text::quoted(w().native())))
        << said;
    for (const char* text : {"\"dir\"", "\"made\"", "kept at"})
        EXPECT_NE(said.find(text), std::string::npos) << said << "\nlacks " << text;
    // What the command removed is gone; what it never saw is still there.
    EXPECT_FALSE(fs::exists(w() / "dir" / "inner"));
    EXPECT_FALSE(fs::exists(w() / "empty"));
    EXPECT_FALSE(fs::exists(w() / "gone"));
    EXPECT_EQ(test::read_file(w() / "dir" / "added"), "theirs\n");
    EXPECT_EQ(test::read_file(w() / "made"), "theirs too\n");
    // The command's own entry waits in the branch.
    EXPECT_EQ(test::read_file(layer().upper() / "made" / "f"), "mine\n");
}

TEST_F(Layer, MoveIntoAnExistingDirectoryAndListingsAreSortedByBytes) {
    write_through("b\xff", "not text\n");  // names are bytes
    ASSERT_TRUE(layer().handle_rename(at("keep"), at("dir/keep")));
    auto entries = layer().merged_dir_entries("dir");
    ASSERT_TRUE(entries.has_value());
    ASSERT_EQ(entries->size(), 2u);
    EXPECT_EQ((*entries)[0].name, "inner");
    EXPECT_EQ((*entries)[1].name, "keep");
    EXPECT_EQ((*entries)[1].type, procfs::DT_REGULAR);
    auto root = layer().merged_dir_entries("");
    ASSERT_TRUE(root.has_value());
    EXPECT_EQ(root->front().name, "b\xff");
    EXPECT_EQ(error_of(layer().merged_dir_entries("keep")), ENOENT);
    EXPECT_EQ(error_of(layer().merged_dir_entries("mod")), ENOTDIR);
}

TEST_F(Layer, ChmodDropsSetIdBitsAndDirectoryMetadataMovesOnlyWhereChanged) {
    ASSERT_TRUE(layer().handle_chmod(at("keep"), 04755));
    EXPECT_EQ(layer().handle_stat(at("keep"))->st.st_mode & 07777, 0755u);
    ASSERT_TRUE(layer().handle_chmod(at("empty"), 0700));  // a directory: its metadata only
    EXPECT_EQ(layer().handle_stat(at("empty"))->st.st_mode & 07777, 0700u);
    ASSERT_TRUE(layer().handle_chmod(w().native(), 0750));  // W itself
    EXPECT_EQ(layer().handle_stat(w().native())->st.st_mode & 07777, 0750u);
    write_through("dir/added", "x");  // dir itself unchanged
    struct stat dir_before;
    ::stat((w() / "dir").c_str(), &dir_before);
    ::chmod((w() / "dir").c_str(), 0751);
    ASSERT_TRUE(layer().commit());
    struct stat st;
    ASSERT_EQ(::stat((w() / "keep").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(::stat((w() / "empty").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    ASSERT_EQ(::stat((w() / "dir").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0751u);  // the mirror's mode did not overwrite W's
    ASSERT_EQ(::stat(w().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0750u);
}

TEST_F(Layer, ALinkInWToAFileOutsideIsNeverWrittenThroughAndCommitsAsALink) {
    fs::path outside = tmp_ / "outside";
    test::write_file(outside, "secret\n");
    ::chmod(outside.c_str(), 0644);
    fs::create_symlink(outside, w() / "link");
    fs::create_symlink("../../outside", w() / "dir" / "climb");

    // Opens, chmod, truncate and times on the link act on the link or fail; never on the target.
    for (const char* rel : {"link", "dir/climb"}) {
        EXPECT_FALSE(layer().handle_open(at(rel), O_WRONLY | O_TRUNC, 0)) << rel;
        EXPECT_FALSE(layer().handle_open(at(rel), O_WRONLY | O_NOFOLLOW, 0)) << rel;
        EXPECT_FALSE(layer().handle_truncate(at(rel), 0)) << rel;
        EXPECT_FALSE(layer().handle_chmod(at(rel), 0777)) << rel;
        auto read = layer().handle_open(at(rel), O_RDONLY, 0);
        ASSERT_TRUE(read.has_value());
        EXPECT_EQ(error_of(read->open()), EXDEV) << rel;
    }
    EXPECT_EQ(*layer().handle_readlink(at("link")), outside.native());
    struct timespec t[2] = {{5, 0}, {5, 0}};
    ASSERT_TRUE(layer().handle_utimens(at("link"), t));  // the link's own times
    EXPECT_EQ(test::read_file(outside), "secret\n");
    ASSERT_TRUE(layer().commit());
    EXPECT_TRUE(fs::is_symlink(w() / "link"));
    EXPECT_EQ(fs::read_symlink(w() / "link"), outside);
    EXPECT_EQ(test::read_file(outside), "secret\n");
    struct stat st;
    ::stat(outside.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST_F(Layer, CommitNeverWritesThroughALinkThatAppearedInW) {
    // The command writes dir/f; before commit, W's dir is swapped for a link to elsewhere.
    write_through("dir/f", "x\n");
    fs::path elsewhere = tmp_ / "elsewhere";
    fs::create_directory(elsewhere);
    fs::remove_all(w() / "dir");
    fs::create_directory_symlink(elsewhere, w() / "dir");
    (void)layer().commit();
    EXPECT_TRUE(fs::is_empty(elsewhere));
}

TEST_F(Layer, SymlinksFifosAndHardLinksArriveAsWhatTheyAre) {
    ASSERT_TRUE(layer().handle_symlink("/absolute/dangling", at("abs")));
    ASSERT_TRUE(layer().handle_symlink("../up", at("dir/rel")));
    ASSERT_TRUE(layer().handle_mknod(at("pipe"), S_IFIFO | 0640));
    ASSERT_TRUE(layer().handle_link(at("keep"), at("hard")));
    ASSERT_TRUE(layer().commit());
    EXPECT_EQ(fs::read_symlink(w() / "abs"), "/absolute/dangling");
    EXPECT_EQ(fs::read_symlink(w() / "dir" / "rel"), "../up");
    struct stat st;
    ASSERT_EQ(::lstat((w() / "pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(test::read_file(w() / "hard"), "keep\n");
}

TEST_F(Layer, AModifiedFileKeepsItsExtendedAttributesThroughCommit) {
    if (::setxattr((w() / "mod").c_str(), "user.origin", "w", 1, 0) != 0)
        GTEST_SKIP() << "no user attributes here: " << strerrorname_np(errno);
    write_through("mod", "changed\n");
    EXPECT_EQ(error_of(layer().handle_setxattr(at("missing"), "user.x", "1", 0)), ENOENT);
    ASSERT_TRUE(layer().handle_setxattr(at("keep"), "user.tag", "kept", 0));
    ASSERT_TRUE(layer().commit());
    char value[16] = {};
    EXPECT_EQ(::getxattr((w() / "mod").c_str(), "user.origin", value, sizeof value), 1);
    EXPECT_STREQ(value, "w");
    EXPECT_EQ(::getxattr((w() / "keep").c_str(), "user.tag", value, sizeof value), 4);
    EXPECT_EQ(std::string(value, 4), "kept");
}

TEST_F(Layer, DevicesInWAreNotOpenedWithTheSupervisorsRights) {
    if (::mknod((w() / "null").c_str(), S_IFCHR | 0600, makedev(1, 3)) != 0)
        GTEST_SKIP() << "making a device node needs root";
    EXPECT_EQ(error_of(layer().handle_open(at("null"), O_RDONLY, 0)), EACCES);
    EXPECT_EQ(error_of(layer().handle_open(at("null"), O_WRONLY, 0)), EPERM);
}

TEST_F(Layer, NewFilesGetTheGivenModeNotTheSupervisorsUmask) {
    mode_t old = ::umask(077);
    write_through("new", "x");
    ASSERT_TRUE(layer().handle_mkdir(at("newdir"), 0775));
    ::umask(old);
    EXPECT_EQ(layer().handle_stat(at("new"))->st.st_mode & 07777, 0644u);
    EXPECT_EQ(layer().handle_stat(at("newdir"))->st.st_mode & 07777, 0775u);
}

TEST_F(Layer, UpperPathsMapBackToW) {
    EXPECT_EQ(layer().map_back(layer().upper().native() + "/dir/x"), at("dir/x"));
    EXPECT_EQ(layer().map_back(layer().upper().native()), w().native());
    EXPECT_EQ(layer().map_back(layer().upper().native() + "x"), std::nullopt);
    EXPECT_EQ(layer().safe_rel(at("dir/./x/../y")), "dir/y");
    EXPECT_EQ(layer().safe_rel(w().native() + "x"), std::nullopt);
    EXPECT_EQ(layer().safe_rel(at("dir/../..")), std::nullopt);
}

TEST(LayerAcrossFileSystems, CommitCopiesWhatItCannotMove) {
    // The branch on another file system than W: commit makes each entry anew beside its place.
    test::TempDir tmp;
    char shm[] = "/dev/shm/vestrion-test-XXXXXX";
    if (!::mkdtemp(shm)) GTEST_SKIP() << "no /dev/shm here";
    struct stat a, b;
    ::stat(tmp.path().c_str(), &a);
    ::stat(shm, &b);
    if (a.st_dev == b.st_dev) {
        fs::remove_all(shm);
        GTEST_SKIP() << "/dev/shm is on the same file system as the temporary directory";
    }
    fs::path w = tmp / "w";
    fs::create_directory(w);
    test::write_file(w / "mod", "old\n");
    auto made = SeccompCowBranch::create(w, fs::path(shm) / "s");
    ASSERT_TRUE(made.has_value());
    auto& layer = *made;
    auto target = layer.handle_open((w / "mod").native(), O_WRONLY | O_TRUNC, 0);
    ASSERT_TRUE(target.has_value());
    ASSERT_EQ(::write(target->open()->get(), "new\n", 4), 4);
    ASSERT_TRUE(layer.handle_chmod((w / "mod").native(), 06711));
    struct timespec t[2] = {{3000000, 0}, {3000000, 0}};
    ASSERT_TRUE(layer.handle_utimens((w / "mod").native(), t));
    ASSERT_TRUE(layer.handle_symlink("mod", (w / "link").native()));
    ASSERT_TRUE(layer.handle_mknod((w / "pipe").native(), S_IFIFO | 0600));
    ASSERT_TRUE(layer.commit());
    fs::remove_all(shm);
    EXPECT_EQ(test::read_file(w / "mod"), "new\n");
    struct stat st;
    ASSERT_EQ(::lstat((w / "mod").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0711u);
    EXPECT_EQ(st.st_mtim.tv_sec, 3000000);
    EXPECT_EQ(fs::read_symlink(w / "link"), "mod");
    ASSERT_EQ(::lstat((w / "pipe").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
}

TEST(LayerAcrossFileSystems, ASparseFileKeepsItsHoles) {
    test::TempDir tmp;
    char shm[] = "/dev/shm/vestrion-test-XXXXXX";
    if (!::mkdtemp(shm)) GTEST_SKIP() << "no /dev/shm here";
    struct stat a, b;
    ::stat(tmp.path().c_str(), &a);
    ::stat(shm, &b);
    if (a.st_dev == b.st_dev) {
        fs::remove_all(shm);
        GTEST_SKIP() << "/dev/shm is on the same file system as the temporary directory";
    }
    fs::path w = tmp / "w";
    fs::create_directory(w);
    auto made = SeccompCowBranch::create(w, fs::path(shm) / "s");
    ASSERT_TRUE(made.has_value());
    auto& layer = *made;
    // 1 GiB with a few bytes at its start, its middle and its end.
    constexpr off_t kSize = off_t{1} << 30;
    auto target = layer.handle_open((w / "sparse").native(), O_WRONLY | O_CREAT, 0644);
    ASSERT_TRUE(target.has_value());
    {
        auto fd = target->open();
        ASSERT_TRUE(fd.has_value());
        for (off_t at : {off_t{0}, kSize / 2, kSize - 5})
            ASSERT_EQ(::pwrite(fd->get(), "data\n", 5, at), 5);
    }
    ASSERT_TRUE(layer.commit());
    fs::remove_all(shm);
    struct stat st;
    ASSERT_EQ(::stat((w / "sparse").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, kSize);
    EXPECT_LT(st.st_blocks * 512, off_t{16} << 20) << "the holes were written out";
    int fd = ::open((w / "sparse").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    char buf[5];
    for (off_t at : {off_t{0}, kSize / 2, kSize - 5}) {
        ASSERT_EQ(::pread(fd, buf, 5, at), 5);
        EXPECT_EQ(std::string(buf, 5), "data\n") << at;
    }
    ASSERT_EQ(::pread(fd, buf, 5, kSize / 4), 5);
    EXPECT_EQ(std::string(buf, 5), std::string(5, '\0'));
    ::close(fd);
}

struct StorageCase {
    const char* name;
    // False when this machine cannot set the case up.
    std::function<bool(const fs::path& storage)> prepare;
    bool usable;
};
void PrintTo(const StorageCase& c, std::ostream* os) { *os << c.name; }

class Storage : public ::testing::TestWithParam<StorageCase> {};

TEST_P(Storage, IsUsedOnlyWhenItIsADirectoryOfOursAndNotALink) {
    test::TempDir tmp;
    fs::create_directory(tmp / "w");
    fs::path storage = tmp / "storage";
    if (!GetParam().prepare(storage)) GTEST_SKIP() << "needs root to give a directory away";
    auto made = SeccompCowBranch::create(tmp / "w", storage);
    ASSERT_EQ(made.has_value(), GetParam().usable)
        << (made ? made->branch_dir().native() : made.error().message());
    if (!made) return;
    struct stat st;
    ASSERT_EQ(::lstat(storage.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_TRUE(fs::is_directory(made->upper()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Storage,
    ::testing::Values(
        StorageCase{"Missing", [](const fs::path&) { return true; }, true},
        StorageCase{"AnExistingDirectory", [](const fs::path& s) { return fs::create_directory(s); }, true},
        StorageCase{"ALinkToADirectory",
                    [](const fs::path& s) {
                        fs::create_directory(s.parent_path() / "real");
                        fs::create_directory_symlink(s.parent_path() / "real", s);
                        return true;
                    },
                    false},
        StorageCase{"AFile", [](const fs::path& s) { test::write_file(s, ""); return true; }, false},
        StorageCase{"AnotherUsersDirectory",
                    [](const fs::path& s) {
                        fs::create_directory(s);
                        return ::chown(s.c_str(), 12345, 12345) == 0;
                    },
                    false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StorageMode, AMissingBaseIsCreatedPrivate) {
    test::TempDir tmp;
    fs::create_directory(tmp / "w");
    auto made = SeccompCowBranch::create(tmp / "w", tmp / "base");
    ASSERT_TRUE(made.has_value());
    struct stat st;
    ASSERT_EQ(::stat((tmp / "base").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(StorageMode, ABaseOfOurOwnGoesWithItsLastBranch) {
    test::TempDir tmp;
    fs::create_directory(tmp / "w");
    const fs::path base = tmp / "base";
    auto first = SeccompCowBranch::create(tmp / "w", base, true);
    auto second = SeccompCowBranch::create(tmp / "w", base, true);
    ASSERT_TRUE(first.has_value() && second.has_value());
    first->abort();
    EXPECT_TRUE(fs::exists(base));
    second->abort();
    EXPECT_FALSE(fs::exists(base));
    // The caller's own storage stays.
    auto named = SeccompCowBranch::create(tmp / "w", base);
    ASSERT_TRUE(named.has_value());
    named->abort();
    EXPECT_TRUE(fs::is_empty(base));
}

TEST(LayerCreation, FailsForAMissingWorkingDirectory) {
    test::TempDir tmp;
    auto made = SeccompCowBranch::create(tmp / "none", tmp / "storage");
    ASSERT_FALSE(made.has_value());
    EXPECT_TRUE(made.error().message().starts_with("branch operation failed: workdir " +
                                                   text::quoted((tmp / "none").native())))
        << made.error().message();
    EXPECT_FALSE(fs::exists(tmp / "storage"));
}

}  // namespace
}  // namespace vestrion
