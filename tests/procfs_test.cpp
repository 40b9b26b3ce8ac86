// Directory records in both formats, in-memory files, and the one delivery of a listing served by
// the supervisor, against a real child making the calls.
#include "core/procfs.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "core/seccomp/notif.hpp"
#include "tests/routed_child.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

using seccomp::notif::NotifAction;

template <class T>
T field(const std::string& record, std::size_t offset) {
    T value;
    std::memcpy(&value, record.data() + offset, sizeof value);
    return value;
}

struct RecordCase {
    std::string name;
    std::size_t reclen64;  // getdents64
    std::size_t reclen;    // the older getdents
};

class Records : public ::testing::TestWithParam<RecordCase> {};

TEST_P(Records, HaveTheKernelsLayout) {
    const auto& c = GetParam();
    std::string r64 = procfs::build_dirent64(77, 3, procfs::DT_SYMLINK, c.name);
    ASSERT_EQ(r64.size(), c.reclen64);
    EXPECT_EQ(field<std::uint64_t>(r64, 0), 77u);
    EXPECT_EQ(field<std::int64_t>(r64, 8), 3);
    EXPECT_EQ(field<std::uint16_t>(r64, 16), c.reclen64);
    EXPECT_EQ(field<std::uint8_t>(r64, 18), procfs::DT_SYMLINK);
    EXPECT_EQ(r64.substr(19, c.name.size()), c.name);
    EXPECT_EQ(r64.find_first_not_of('\0', 19 + c.name.size()), std::string::npos);

    std::string old = procfs::build_dirent(77, 3, procfs::DT_DIRECTORY, c.name);
    ASSERT_EQ(old.size(), c.reclen);
    EXPECT_EQ(field<std::uint64_t>(old, 0), 77u);
    EXPECT_EQ(field<std::int64_t>(old, 8), 3);
    EXPECT_EQ(field<std::uint16_t>(old, 16), c.reclen);
    EXPECT_EQ(old.substr(18, c.name.size()), c.name);
    EXPECT_EQ(old[18 + c.name.size()], '\0');
    EXPECT_EQ(static_cast<std::uint8_t>(old.back()), procfs::DT_DIRECTORY);
}

INSTANTIATE_TEST_SUITE_P(Names, Records,
                         ::testing::Values(RecordCase{"a", 24, 24}, RecordCase{"abcd", 24, 24},
                                           RecordCase{"abcde", 32, 32}, RecordCase{"abcdef", 32, 32},
                                           RecordCase{"n\xff\xfe", 24, 24},  // bytes, not text
                                           RecordCase{std::string(255, 'x'), 280, 280}));

TEST(DirentType, ComesFromTheEntrysOwnMode) {
    EXPECT_EQ(procfs::dirent_type(S_IFDIR | 0755), procfs::DT_DIRECTORY);
    EXPECT_EQ(procfs::dirent_type(S_IFLNK | 0777), procfs::DT_SYMLINK);
    for (mode_t other : {S_IFREG, S_IFIFO, S_IFSOCK, S_IFCHR})
        EXPECT_EQ(procfs::dirent_type(other | 0644), procfs::DT_REGULAR);
}

TEST(InjectMemfd, GivesAPrivateCopyReadFromItsStart) {
    NotifAction action = procfs::inject_memfd("hello\n", false);
    const auto* inject = action.get<NotifAction::InjectFdSend>();
    ASSERT_NE(inject, nullptr);
    EXPECT_FALSE(inject->cloexec);
    int fd = inject->fd.get();
    char buf[16] = {};
    EXPECT_EQ(::read(fd, buf, sizeof buf), 6);
    EXPECT_STREQ(buf, "hello\n");
    EXPECT_EQ(::read(fd, buf, sizeof buf), 0);
    EXPECT_EQ(::write(fd, "x", 1), 1);  // writable: the copy is the child's own
    // The supervisor's own copy never leaks into a command it starts.
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(procfs::inject_memfd("", true).get<NotifAction::InjectFdSend>()->cloexec);
}

// --- Delivery of a listing -----------------------------------------------------------------

// What the child saw of its calls: names (with the type for the older format) or an error.
std::string parse(const char* buf, long n, bool old_format) {
    if (n < 0) return strerrorname_np(errno);
    std::string out;
    for (long at = 0; at < n;) {
        std::uint16_t reclen;
        std::memcpy(&reclen, buf + at + 16, sizeof reclen);
        if (old_format) {
            out += std::string(buf + at + 18) + "/" + std::to_string(static_cast<int>(buf[at + reclen - 1]));
        } else {
            out += std::string(buf + at + 19);
        }
        out += " ";
        at += reclen;
    }
    return out + "|";
}

std::string list_once(int fd, unsigned count, bool old_format = false) {
    alignas(8) static char buf[32768];
    long n = ::syscall(old_format ? SYS_getdents : SYS_getdents64, fd, buf, count);
    return parse(buf, n, old_format);
}

struct DeliveryCase {
    const char* name;
    int calls;  // routed calls the body makes
    std::function<std::string(const std::string& dir)> body;
    std::string seen;
};
void PrintTo(const DeliveryCase& c, std::ostream* os) { *os << c.name; }

class ListingDelivery : public ::testing::TestWithParam<DeliveryCase> {};

TEST_P(ListingDelivery, GivesTheChildWhatTheKernelWould) {
    test::TempDir dir;
    const std::string path = dir.path().native();
    const auto& c = GetParam();
    test::RoutedChild child({SYS_getdents, SYS_getdents64}, [&] { return c.body(path); });
    std::mutex mutex;
    procfs::ListingCache cache;
    auto build = []() -> std::expected<std::vector<procfs::DirEntry>, int> {
        return std::vector<procfs::DirEntry>{{"a", 1, procfs::DT_REGULAR},
                                             {"bb", 2, procfs::DT_DIRECTORY},
                                             {"n", 3, procfs::DT_SYMLINK}};
    };
    for (int i = 0; i < c.calls; ++i) {
        auto notif = child.next();
        auto answer = procfs::deliver_listing(notif, child.listener(), mutex, cache, build);
        ASSERT_TRUE(seccomp::notif::send_response(child.listener(), notif.id, std::move(answer)));
    }
    EXPECT_EQ(child.finish().text, c.seen);
}

int open_dir(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY); }

INSTANTIATE_TEST_SUITE_P(
    Cases, ListingDelivery,
    ::testing::Values(
        DeliveryCase{"Getdents64AllThenEnd", 2,
                     [](const std::string& d) {
                         int fd = open_dir(d);
                         std::string out = list_once(fd, 32768);
                         return out + list_once(fd, 32768);
                     },
                     "a bb n ||"},
        DeliveryCase{"OlderGetdentsInItsOwnFormat", 2,
                     [](const std::string& d) {
                         int fd = open_dir(d);
                         std::string out = list_once(fd, 32768, true);
                         return out + list_once(fd, 32768, true);
                     },
                     "a/8 bb/4 n/10 ||"},
        DeliveryCase{"ABufferTooSmallForARecordIsEINVALAndTakesNothing", 2,
                     [](const std::string& d) {
                         int fd = open_dir(d);
                         std::string out = list_once(fd, 10);
                         return out + list_once(fd, 32768);
                     },
                     "EINVALa bb n |"},
        DeliveryCase{"WholeRecordsOnly", 4,
                     [](const std::string& d) {
                         int fd = open_dir(d);
                         std::string out;
                         for (int i = 0; i < 4; ++i) out += list_once(fd, 40);
                         return out;
                     },
                     "a |bb |n ||"},
        DeliveryCase{"RewindRestarts", 3,
                     [](const std::string& d) {
                         int fd = open_dir(d);
                         std::string out = list_once(fd, 32768);
                         ::lseek(fd, 0, SEEK_SET);
                         out += list_once(fd, 32768);
                         return out + list_once(fd, 32768);
                     },
                     "a bb n |a bb n ||"},
        DeliveryCase{"AReusedDescriptorNumberRestarts", 2,
                     [](const std::string& d) {
                         int fd = open_dir(d);
                         std::string out = list_once(fd, 32768);
                         ::close(fd);
                         int again = open_dir(d);
                         return out + (again == fd ? "same " : "other ") + list_once(again, 32768);
                     },
                     "a bb n |same a bb n |"},
        DeliveryCase{"AnUnknownDescriptorIsEBADF", 1,
                     [](const std::string&) { return list_once(999, 32768); }, "EBADF"},
        DeliveryCase{"AnUnwritableBufferIsEFAULT", 1,
                     [](const std::string& d) {
                         long n = ::syscall(SYS_getdents64, open_dir(d), 8, 32768);
                         return parse(nullptr, n, false);
                     },
                     "EFAULT"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vestrion
