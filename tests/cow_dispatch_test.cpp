// The copy-on-write handlers behind a real supervisor: a child whose path calls are routed works
// in a scratch working directory W through a layer, and every case checks both what the child
// saw and that W itself did not change.
#include "core/cow/dispatch.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <fstream>
#include <map>
#include <future>
#include <sstream>
#include <thread>

#include "core/context/filter_lists.hpp"
#include "core/cow/seccomp.hpp"
#include "core/sandbox.hpp"
#include "core/seccomp/notif.hpp"
#include "core/sys/structs.hpp"
#include "tests/routed_child.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

namespace fs = std::filesystem;
using seccomp::notif::NotifPolicy;
using seccomp::notif::SharedSupervisorState;
using test::errno_name;

// The calls the filter routes for a copy-on-write working directory, without the fork family,
// which the process budget would answer.
std::vector<int> cow_routed() {
    auto policy = Policy::builder().workdir("/tmp").build();
    std::vector<int> out;
    for (std::uint32_t nr : context::notif_syscalls(*policy))
        if (nr != SYS_clone && nr != SYS_fork && nr != SYS_vfork && nr != SYS_clone3)
            out.push_back(static_cast<int>(nr));
    out.push_back(SYS_ioctl);  // the filter routes only the attribute requests; we route all
    return out;
}

// Runs `/bin/sh -c script` in `dir`, its output and errors captured.
std::string shell(const fs::path& dir, const std::string& script) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return "pipe failed";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        if (::chdir(dir.c_str()) != 0) ::_exit(126);
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        out += "[exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + "]";
    return out;
}

std::string outcome_of(long ret) {
    return ret >= 0 ? "ok" : errno_name(errno);
}

// A working directory W with a layer over it, and a supervisor that serves a routed child.
class CowSupervised : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(w_);
        fs::create_directory(storage_);
        outside_ = root_.path() / "outside";
        fs::create_directory(outside_);
    }

    const fs::path& w() const { return w_; }
    const fs::path& outside() const { return outside_; }

    // Runs `body` in a routed child, with the layer made now; W must look the same afterwards.
    std::string run(const std::function<std::string()>& body) {
        auto layer = cow::SeccompCowBranch::create(w_, storage_);
        if (!layer) return "no layer: " + layer.error().message();
        policy_ = NotifPolicy::from_policy(*Policy::builder().workdir(w_).build(), 0);
        shared_ = std::make_shared<SharedSupervisorState>(64u, std::nullopt);
        shared_->state.cow_branch.emplace(std::move(*layer));
        const std::string before = test::tree_state(w_);

        test::RoutedChild child(cow_routed(), body);
        UniqueFd stop(::eventfd(0, EFD_CLOEXEC));
        auto loop = std::async(std::launch::async, [&, listener = child.take_listener()]() mutable {
            seccomp::notif::supervisor(policy_, shared_, std::move(listener), stop.get());
        });
        test::ChildReport report = child.finish();
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(stop.get(), &one, sizeof one);
        loop.wait();
        EXPECT_EQ(test::tree_state(w_), before) << "W changed before commit";
        if (!WIFEXITED(report.wait_status))
            report.text += "[signal " + std::to_string(WTERMSIG(report.wait_status)) + "]";
        return report.text;
    }

    cow::SeccompCowBranch& layer() { return *shared_->state.cow_branch; }

  private:
    test::TempDir root_;
    fs::path w_ = root_.path() / "w";
    fs::path storage_ = root_.path() / "storage";
    fs::path outside_;
    NotifPolicy policy_;
    std::shared_ptr<SharedSupervisorState> shared_;
};

// --- Commands of a shell ---

struct ShellCase {
    const char* name;
    std::vector<std::pair<const char*, const char*>> files;  // W's contents: name, text
    const char* script;
    const char* expected;
};
void PrintTo(const ShellCase& c, std::ostream* os) {
    *os << c.name;
}

class CowShell : public CowSupervised, public ::testing::WithParamInterface<ShellCase> {};

TEST_P(CowShell, SeesTheMergedViewWhileWStaysAsItWas) {
    const ShellCase& c = GetParam();
    for (auto [name, text] : c.files) {
        if (std::string_view(name).ends_with('/'))
            fs::create_directories(w() / name);
        else
            test::write_file(w() / name, text);
    }
    const fs::path dir = w();
    EXPECT_EQ(run([&] { return shell(dir, c.script); }), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Scripts, CowShell,
    ::testing::Values(
        ShellCase{"WriteReadListStat",
                  {{"keep", "k\n"}},
                  "echo hi > f; cat f; ls; stat -c %s f",
                  "hi\nf\nkeep\n3\n"},
        ShellCase{"LinksToDirectoriesOnlyTheLayerHolds",
                  {},
                  "mkdir d; ln -s d e; echo x > e/f; cat d/f; ls d",
                  "x\nf\n"},
        ShellCase{"RemoveThenRenameOntoTheName",
                  {{"a", "A\n"}, {"b", "B\n"}},
                  "rm a; mv b a; cat a; ls",
                  "B\na\n"},
        ShellCase{"MoveIntoAnExistingDirectory",
                  {{"a", "A\n"}, {"b/", ""}},
                  "mv a b; ls; ls b; cat b/a",
                  "b\na\nA\n"},
        ShellCase{"RemoveADirectoryWithEntries",
                  {{"d/", ""}, {"d/inner", "i\n"}, {"keep", ""}},
                  "rmdir d 2>/dev/null || echo refused; rm -r d; ls",
                  "refused\nkeep\n"},
        ShellCase{"FifoBetweenTwoProcesses", {}, "mkfifo p; cat p & echo x > p; wait", "x\n"},
        ShellCase{"DirectoryOnlyTheLayerHolds",
                  {},
                  "mkdir n; ls n; echo y > n/z; ls n; cat n/z",
                  "z\ny\n"},
        ShellCase{"SetUserIdBitIsDropped",
                  {{"f", "f\n"}},
                  "chmod 4755 f; stat -c %a f",
                  "755\n"},
        ShellCase{"TimesSetOnTheCopy",
                  {{"f", "f\n"}},
                  "touch -d @1000000000 f; stat -c %Y f",
                  "1000000000\n"},
        ShellCase{"ExecuteBitOfANewScript",
                  {},
                  "printf '#!/bin/sh\\n' > run; chmod +x run; [ -x ./run ] && echo yes",
                  "yes\n"},
        ShellCase{"NameThatIsNotUtf8",
                  {},
                  "n=$(printf 'x\\377'); echo z > \"$n\"; cat \"$n\"; ls | od -An -c | tr -s ' '",
                  "z\n x 377 \\n\n"},
        ShellCase{"OwnCwdThroughProcSelf",
                  {},
                  "echo p > /proc/self/cwd/q; cat q",
                  "p\n"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Raw calls ---

struct RawCase {
    const char* name;
    std::function<void(const fs::path& w, const fs::path& outside)> setup;
    std::function<std::string(const fs::path& w, const fs::path& outside)> body;
    const char* expected;
};
void PrintTo(const RawCase& c, std::ostream* os) {
    *os << c.name;
}

class CowRaw : public CowSupervised, public ::testing::WithParamInterface<RawCase> {};

TEST_P(CowRaw, AnswersAsTheKernelWouldOnTheMergedView) {
    const RawCase& c = GetParam();
    if (c.setup) c.setup(w(), outside());
    const fs::path dir = w(), out = outside();
    EXPECT_EQ(run([&] { return c.body(dir, out); }), c.expected);
}

// The outcomes of calls in order, each taken right after its call (errno changes with the next).
std::string join_outcomes(std::initializer_list<std::string> outcomes) {
    std::string out;
    for (const auto& o : outcomes) out += (out.empty() ? "" : " ") + o;
    return out;
}

void file(const fs::path& p, const char* text = "x\n") {
    test::write_file(p, text);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, CowRaw,
    ::testing::Values(
        RawCase{"MkdirUnlinkRenameRmdir", nullptr,
                [](const fs::path& w, const fs::path&) {
                    std::string d = w / "d", f = w / "f", g = w / "d/g";
                    int fd = ::open(f.c_str(), O_CREAT | O_WRONLY, 0644);
                    ::close(fd);
                    return join_outcomes({outcome_of(::syscall(SYS_mkdir, d.c_str(), 0755)),
                                          outcome_of(::syscall(SYS_mkdir, d.c_str(), 0755)),
                                          outcome_of(::syscall(SYS_rename, f.c_str(), g.c_str())),
                                          outcome_of(::syscall(SYS_rmdir, d.c_str())),
                                          outcome_of(::syscall(SYS_unlink, g.c_str())),
                                          outcome_of(::syscall(SYS_unlink, g.c_str())),
                                          outcome_of(::syscall(SYS_rmdir, d.c_str()))});
                },
                "ok EEXIST ok ENOTEMPTY ok ENOENT ok"},
        RawCase{"ACreatingOpenThatFindsTheTableFullMakesNoFile", nullptr,
                [](const fs::path& w, const fs::path&) {
                    const std::string f = w / "f";
                    // The lowest free number becomes the limit: no descriptor is left.
                    const int lowest = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
                    ::close(lowest);
                    const struct rlimit none{static_cast<rlim_t>(lowest), static_cast<rlim_t>(lowest)};
                    ::setrlimit(RLIMIT_NOFILE, &none);
                    const std::string first =
                        outcome_of(::open(f.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
                    return join_outcomes({first, outcome_of(::access(f.c_str(), F_OK))});
                },
                "EMFILE ENOENT"},
        RawCase{"StatfsAndWatchesByRelativeNamesFromADirectoryOfTheView",
                [](const fs::path& w, const fs::path&) { file(w / "only-w"); },
                [](const fs::path& w, const fs::path&) {
                    struct statfs of_w {}, of_name {};
                    ::statfs(w.c_str(), &of_w);
                    const std::string entered = outcome_of(::chdir(w.c_str()));
                    const std::string by_name = outcome_of(::statfs("only-w", &of_name));
                    const int in = ::inotify_init1(IN_CLOEXEC);
                    ::close(::open("made", O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
                    return join_outcomes({entered, by_name, of_name.f_type == of_w.f_type ? "same" : "other",
                                          outcome_of(::inotify_add_watch(in, "only-w", IN_MODIFY)),
                                          outcome_of(::inotify_add_watch(in, "made", IN_MODIFY)),
                                          outcome_of(::inotify_add_watch(in, "missing", IN_MODIFY)),
                                          outcome_of(::statfs("missing", &of_name))});
                },
                "ok ok same ok ok ENOENT ENOENT"},
        // Reads by absolute names, which the kernel may open itself only where the view shows
        // W's own file by that very name.
        RawCase{"ReadsByAbsoluteNamesShowTheView",
                [](const fs::path& w, const fs::path& out) {
                    for (const char* name : {"a", "b", "c", "e"}) file(w / name, name);
                    fs::create_directory(w / "sub");
                    file(w / "sub/g", "g");
                    fs::create_symlink("a", w / "la");
                    fs::create_symlink(w / "b", out / "tob");
                },
                [](const fs::path& w, const fs::path& out) {
                    auto read_text = [](const fs::path& p) -> std::string {
                        const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
                        if (fd < 0) return errno_name(errno);
                        char buf[16];
                        const ssize_t n = ::read(fd, buf, sizeof buf);
                        ::close(fd);
                        return n < 0 ? errno_name(errno) : std::string(buf, static_cast<std::size_t>(n));
                    };
                    const int fd = ::open((w / "a").c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
                    [[maybe_unused]] ssize_t n = ::write(fd, "a2", 2);
                    ::close(fd);
                    ::unlink((w / "b").c_str());
                    ::rename((w / "c").c_str(), (w / "d").c_str());
                    ::rename((w / "sub/g").c_str(), (w / "sub/h").c_str());
                    std::string seen;
                    for (const fs::path& p :
                         {w / "a", w / "b", w / "c", w / "d", w / "e", w / "la", out / "tob",
                          fs::path(w.string() + "/./e"), fs::path(w.string() + "/sub/../e"),
                          w / "sub/g", w / "sub/h"})
                        seen += (seen.empty() ? "" : " ") + read_text(p);
                    return seen;
                },
                "a2 ENOENT ENOENT c e a2 ENOENT e e ENOENT g"},
        // One thread removes W's files while another opens them by absolute names: once a
        // removal has returned, no open begun after it finds the file.
        RawCase{"AnOpenBegunAfterARemovalReturnedNeverFindsTheFile",
                [](const fs::path& w, const fs::path&) {
                    for (int i = 0; i < 200; ++i) file(w / ("x" + std::to_string(i)), "x");
                },
                [](const fs::path& w, const fs::path&) {
                    std::array<std::atomic<bool>, 200> removed{};
                    std::atomic<bool> finished{false};
                    std::thread remover([&] {
                        for (int i = 0; i < 200; ++i) {
                            ::unlink((w / ("x" + std::to_string(i))).c_str());
                            removed[static_cast<std::size_t>(i)] = true;
                        }
                        finished = true;
                    });
                    int found = 0, stale = 0;
                    for (unsigned k = 0; !finished.load() || k % 200 != 0; ++k) {
                        const std::size_t i = (k * 7) % 200;
                        const bool gone = removed[i].load();
                        const std::string name = w / ("x" + std::to_string(i));
                        const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
                        if (fd >= 0) {
                            ++found;
                            stale += gone;
                            ::close(fd);
                        }
                    }
                    remover.join();
                    return "stale " + std::to_string(stale) + (found > 0 ? " found" : " none found");
                },
                "stale 0 found"},
        RawCase{"RenameAndLinkAcrossTheEdgeOfW",
                [](const fs::path& w, const fs::path& out) {
                    file(w / "in");
                    file(out / "out");
                },
                [](const fs::path& w, const fs::path& out) {
                    std::string in = w / "in", o = out / "out", o2 = out / "o2", i2 = w / "i2";
                    return join_outcomes({outcome_of(::rename(in.c_str(), o2.c_str())),
                                          outcome_of(::rename(o.c_str(), i2.c_str())),
                                          outcome_of(::link(in.c_str(), o2.c_str())),
                                          outcome_of(::link(o.c_str(), i2.c_str()))});
                },
                "EXDEV EXDEV EXDEV EXDEV"},
        RawCase{"UnreadablePathMemory", nullptr,
                [](const fs::path&, const fs::path&) {
                    auto* bad = reinterpret_cast<const char*>(8);
                    return join_outcomes({outcome_of(::syscall(SYS_mkdir, bad, 0755)),
                                          outcome_of(::syscall(SYS_openat, AT_FDCWD, bad, O_RDONLY)),
                                          outcome_of(::syscall(SYS_newfstatat, AT_FDCWD, bad, nullptr, 0))});
                },
                "EFAULT EFAULT EFAULT"},
        RawCase{"UnreadableDirectoryDescriptor", nullptr,
                [](const fs::path&, const fs::path&) {
                    return join_outcomes({outcome_of(::mkdirat(9999, "x", 0755)),
                                          outcome_of(::openat(9999, "x", O_RDONLY))});
                },
                "EBADF EBADF"},
        RawCase{"NewerFormsAreNotImplementedWhileTheLayerRuns",
                [](const fs::path& w, const fs::path&) { file(w / "f"); },
                [](const fs::path& w, const fs::path&) {
                    std::string f = w / "f";
                    sys::OpenHow how{O_RDONLY, 0, 0};
                    return join_outcomes(
                        {outcome_of(::syscall(sys::NR_OPENAT2, AT_FDCWD, f.c_str(), &how, sizeof how)),
                         outcome_of(::syscall(sys::NR_FCHMODAT2, AT_FDCWD, f.c_str(), 0600, 0))});
                },
                "ENOSYS ENOSYS"},
        RawCase{"NodesOfTheLayer", nullptr,
                [](const fs::path& w, const fs::path&) {
                    std::string p = w / "p", c = w / "c";
                    struct stat st {};
                    std::string made = join_outcomes({outcome_of(::mknod(p.c_str(), S_IFIFO | 0600, 0)),
                                                      outcome_of(::mknod(c.c_str(), S_IFCHR | 0600,
                                                              makedev(1, 3)))});
                    ::stat(p.c_str(), &st);
                    return made + (S_ISFIFO(st.st_mode) ? " fifo" : " not a fifo");
                },
                "ok EPERM fifo"},
        RawCase{"MetadataOnDescriptors",
                [](const fs::path& w, const fs::path&) { file(w / "f"); },
                [](const fs::path& w, const fs::path&) {
                    std::string f = w / "f", g = w / "g";
                    int ro = ::open(f.c_str(), O_RDONLY);
                    int rw = ::open(g.c_str(), O_CREAT | O_RDWR, 0600);
                    int flags = 0;
                    struct stat st {};
                    std::string out =
                        join_outcomes({outcome_of(::fchmod(ro, 0600)), outcome_of(::fchown(ro, ::getuid(), ::getgid())),
                                       outcome_of(::fsetxattr(ro, "user.x", "1", 1, 0)),
                                       outcome_of(::futimens(ro, nullptr)),
                                       outcome_of(::ioctl(ro, FS_IOC_SETFLAGS, &flags)),
                                       outcome_of(::fchmod(rw, 04711))});
                    ::fstat(rw, &st);
                    return out + " " + std::to_string(st.st_mode & 07777);
                },
                // 0711 in decimal: the set-user-ID bit dropped on the copy.
                "EROFS EROFS EROFS EROFS EROFS ok 457"},
        RawCase{"LinkToOutsideMadeByTheCommandIsNotOpened",
                [](const fs::path&, const fs::path& out) { file(out / "secret", "s\n"); },
                [](const fs::path& w, const fs::path& out) {
                    std::string l = w / "l", secret = out / "secret";
                    (void)::symlink(secret.c_str(), l.c_str());
                    int fd = ::open(l.c_str(), O_WRONLY | O_TRUNC);
                    return outcome_of(fd);
                },
                "EACCES"},
        // A write through a link outside W that leads into it is a write to W: the layer takes
        // it, as it takes a path through another name of W.
        RawCase{"LinksOutsideThatLeadIntoW",
                [](const fs::path& w, const fs::path& out) {
                    file(w / "f", "old\n");
                    fs::create_symlink(w / "f", out / "l");
                    fs::create_directory_symlink(w, out / "alias");
                },
                [](const fs::path& w, const fs::path& out) {
                    std::string l = out / "l", g = out / "alias/sub/../g", f = w / "f";
                    int fd = ::open(l.c_str(), O_WRONLY | O_TRUNC);
                    std::string steps = join_outcomes(
                        {outcome_of(fd), outcome_of(::write(fd, "new\n", 4)),
                         outcome_of(::mkdir((out / "alias/sub").c_str(), 0755)),
                         outcome_of(::open(g.c_str(), O_CREAT | O_WRONLY, 0644)),
                         outcome_of(::access((w / "g").c_str(), F_OK))});
                    return steps + " " + test::read_file(f);
                },
                "ok ok ok ok ok new\n"},
        RawCase{"RelativePathsAgainstADirectoryOfTheLayer", nullptr,
                [](const fs::path& w, const fs::path&) {
                    std::string d = w / "d";
                    if (::chdir(w.c_str()) != 0) return std::string("chdir");
                    ::mkdir(d.c_str(), 0755);
                    int dir = ::open(d.c_str(), O_RDONLY | O_DIRECTORY);
                    int fd = ::openat(dir, "f", O_CREAT | O_WRONLY, 0644);
                    struct stat st {};
                    std::string steps = join_outcomes(
                        {outcome_of(dir), outcome_of(fd), outcome_of(::write(fd, "abc", 3)),
                         outcome_of(::truncate("d/f", 1)), outcome_of(::fstatat(dir, "f", &st, 0))});
                    return steps + " " + std::to_string(st.st_size);
                },
                "ok ok ok ok ok 1"}),
    [](const auto& info) { return std::string(info.param.name); });


// --- Listings of W once the layer holds a change ---

// The names in a buffer of records, in the new (getdents64) or the old (getdents) format, with
// the type of each; "." and ".." left out.
std::string parse_records(const char* buf, long n, bool old_format) {
    std::vector<std::string> names;
    for (long at = 0; at < n;) {
        std::uint16_t reclen;
        std::memcpy(&reclen, buf + at + 16, 2);
        if (reclen == 0 || at + reclen > n) return "bad record at " + std::to_string(at);
        const char* name = buf + at + (old_format ? 18 : 19);
        const int type = old_format ? buf[at + reclen - 1] : buf[at + 18];
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0)
            names.push_back(std::string(name) + ":" + std::to_string(type));
        at += reclen;
    }
    std::sort(names.begin(), names.end());
    std::string out;
    for (auto& name : names) out += (out.empty() ? "" : " ") + name;
    return out;
}

std::string list(int fd, int nr = SYS_getdents64, std::size_t size = 32768) {
    std::vector<char> buf(size);
    long n = ::syscall(nr, fd, buf.data(), buf.size());
    if (n < 0) return errno_name(errno);
    return parse_records(buf.data(), n, nr == SYS_getdents);
}

struct ListingCase {
    const char* name;
    std::function<std::string(int fd, const std::string& w)> body;
    const char* expected;
};
void PrintTo(const ListingCase& c, std::ostream* os) {
    *os << c.name;
}

class CowListing : public CowSupervised, public ::testing::WithParamInterface<ListingCase> {};

TEST_P(CowListing, DeliversTheMergedDirectory) {
    test::write_file(w() / "a", "a");
    fs::create_directory(w() / "d");
    const std::string dir = w();
    EXPECT_EQ(run([&] {
                  std::string n = dir + "/n";
                  ::close(::open(n.c_str(), O_CREAT | O_WRONLY, 0644));
                  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
                  if (fd < 0) return "open: " + errno_name(errno);
                  return GetParam().body(fd, dir);
              }),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Calls, CowListing,
    ::testing::Values(
        ListingCase{"NewFormatThenEnd",
                    [](int fd, const std::string&) {
                        std::string first = list(fd);
                        return first + " | " + list(fd);
                    },
                    "a:8 d:4 n:8 | "},
        ListingCase{"OldFormatRecordsParse",
                    [](int fd, const std::string&) { return list(fd, SYS_getdents); },
                    "a:8 d:4 n:8"},
        ListingCase{"BufferTooSmallForARecord",
                    [](int fd, const std::string&) { return list(fd, SYS_getdents64, 10); },
                    "EINVAL"},
        ListingCase{"RewindRestarts",
                    [](int fd, const std::string&) {
                        std::string first = list(fd);
                        ::lseek(fd, 0, SEEK_SET);
                        return first + " | " + list(fd);
                    },
                    "a:8 d:4 n:8 | a:8 d:4 n:8"},
        ListingCase{"ReusedDescriptorNumberRestarts",
                    [](int fd, const std::string& w) {
                        std::string first = list(fd);
                        ::close(fd);
                        int again = ::open(w.c_str(), O_RDONLY | O_DIRECTORY);
                        if (again != fd) return std::string("another number");
                        return first + " | " + list(again);
                    },
                    "a:8 d:4 n:8 | a:8 d:4 n:8"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- In a sandbox, with Landlock behind the handlers ---

// A working directory, a storage directory and a tree the command may write, side by side.
struct SandboxScratch {
    test::TempDir root;
    fs::path w = root / "w";
    fs::path storage = root / "storage";
    fs::path writable = root / "o";
    SandboxScratch() {
        fs::create_directory(w);
        fs::create_directory(writable);
    }
    Policy policy(BranchAction action) const {
        auto p = Policy::builder()
                     .fs_read("/")
                     .fs_write(writable)
                     .workdir(w)
                     .fs_storage(storage)
                     .cwd(w)
                     .on_exit(action)
                     .on_error(action)
                     .build();
        EXPECT_TRUE(p.has_value()) << p.error().message();
        return p ? std::move(*p) : Policy{};
    }
};

// Runs the command to its end; W as it was before teardown finished the branch, and what the
// command printed on its standard output.
struct Ran {
    std::string out;
    std::string w_before_teardown;
};
Ran run_in_sandbox(const Policy& policy, const fs::path& w, std::vector<std::string> argv) {
    auto sandbox = Sandbox::create(policy);
    if (!sandbox) return {"create: " + sandbox.error().message(), {}};
    if (auto spawned = (*sandbox)->do_spawn(argv, true); !spawned)
        return {"spawn: " + spawned.error().message(), {}};
    auto result = (*sandbox)->wait();
    if (!result) return {"wait: " + result.error().message(), {}};
    return {result->stdout_bytes.value_or(""), test::tree_state(w)};
}

TEST(CowSandbox, TheCommandSeesItsFileAndWGetsItOnlyAtCommit) {
    SandboxScratch s;
    test::write_file(s.w / "keep", "k\n");
    const std::string before = test::tree_state(s.w);
    Ran ran = run_in_sandbox(s.policy(BranchAction::Commit), s.w,
                             {"/bin/sh", "-c", "echo hi > f; cat f; ls; stat -c %s f"});
    EXPECT_EQ(ran.out, "hi\nf\nkeep\n3\n");
    EXPECT_EQ(ran.w_before_teardown, before);
    EXPECT_EQ(test::read_file(s.w / "f"), "hi\n");
}

// W as a program sees it: paths, types, modes, sizes, link targets and the bytes of small
// files; not times, which a second run sets anew.
std::string shape(const fs::path& root) {
    std::vector<std::string> lines;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        struct stat st;
        ::lstat(it->path().c_str(), &st);
        std::ostringstream line;
        line << fs::relative(it->path(), root).native() << " " << std::oct << st.st_mode << std::dec;
        if (S_ISREG(st.st_mode))
            line << " " << st.st_size << (st.st_size < 4096 ? " [" + test::read_file(it->path()) + "]" : "");
        if (S_ISLNK(st.st_mode)) line << " -> " << fs::read_symlink(it->path()).native();
        lines.push_back(line.str());
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (auto& l : lines) out += l + "\n";
    return out;
}

std::map<std::string, ino_t> inodes(const fs::path& root) {
    std::map<std::string, ino_t> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        struct stat st;
        ::lstat(it->path().c_str(), &st);
        out[fs::relative(it->path(), root).native()] = st.st_ino;
    }
    return out;
}

void executable(const fs::path& p, const std::string& text, long mtime = 1000000) {
    test::write_file(p, text);
    fs::permissions(p, fs::perms(0755));
    struct timespec t[2] = {{mtime, 0}, {mtime, 0}};
    ::utimensat(AT_FDCWD, p.c_str(), t, 0);
}

struct ProgramCase {
    const char* name;
    std::function<void(const fs::path& w)> setup;
    const char* script;
    // What the program prints, given W's path.
    std::function<std::string(const fs::path& w)> expected;
};
void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.name; }

class CowPrograms : public ::testing::TestWithParam<ProgramCase> {};

// Each program runs bare in a copy of W and under the layer, once aborted and once committed:
// it prints the same; abort leaves W as it was, inodes included; commit leaves W as the bare
// run left its copy.
TEST_P(CowPrograms, RunAsTheyDoBare) {
    const ProgramCase& c = GetParam();
    SandboxScratch s;
    const fs::path bare = s.root / "bare";
    fs::create_directory(bare);
    c.setup(s.w);
    c.setup(bare);
    const std::string script = std::string("TMPDIR=$(pwd); export TMPDIR; ") + c.script;
    EXPECT_EQ(shell(bare, script), c.expected(bare)) << "bare";

    const std::string before = test::tree_state(s.w);
    const auto before_inodes = inodes(s.w);
    Ran aborted = run_in_sandbox(s.policy(BranchAction::Abort), s.w, {"/bin/sh", "-c", script});
    EXPECT_EQ(aborted.out, c.expected(s.w)) << "aborted";
    EXPECT_EQ(test::tree_state(s.w), before);
    EXPECT_EQ(inodes(s.w), before_inodes);

    Ran committed = run_in_sandbox(s.policy(BranchAction::Commit), s.w, {"/bin/sh", "-c", script});
    EXPECT_EQ(committed.out, c.expected(s.w)) << "committed";
    EXPECT_EQ(shape(s.w), shape(bare));
}

std::string said(const char* text) {
    return text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CowPrograms,
    ::testing::Values(
        ProgramCase{"RunAProgramCopiedInTheRun", [](const fs::path&) {},
                    "cp /bin/true t && ./t && echo ran",
                    [](const fs::path&) { return said("ran\n"); }},
        ProgramCase{"RunAScriptReplacedInTheRun",
                    [](const fs::path& w) { executable(w / "run", "#!/bin/sh\necho old\n"); },
                    "printf '#!/bin/sh\\necho new\\n' > run && ./run",
                    [](const fs::path&) { return said("new\n"); }},
        ProgramCase{"RunWsOwnScriptUnchanged",
                    [](const fs::path& w) { executable(w / "w.sh", "#!/bin/sh\necho w\n"); },
                    "./w.sh && ./w.sh",
                    [](const fs::path&) { return said("w\nw\n"); }},
        ProgramCase{"ADeletedProgramIsNotFound",
                    [](const fs::path& w) { executable(w / "gone", "#!/bin/sh\necho still here\n"); },
                    "rm gone; ./gone 2>&-; echo $?",
                    [](const fs::path&) { return said("127\n"); }},
        ProgramCase{"BuildTwiceWithASourceChangedBetween",
                    [](const fs::path& w) {
                        test::write_file(w / "app.c",
                                         "#include <stdio.h>\nint main(void) { puts(\"1\"); return 0; }\n");
                        test::write_file(w / "Makefile", "app: app.c\n\tcc -o app app.c\n");
                        executable(w / "app", "#!/bin/sh\necho the old program\n");
                        struct timespec t[2] = {{1000, 0}, {1000, 0}};
                        ::utimensat(AT_FDCWD, (w / "app.c").c_str(), t, 0);
                        ::utimensat(AT_FDCWD, (w / "app").c_str(), t, 0);
                        ::utimensat(AT_FDCWD, (w / "app.c").c_str(), nullptr, 0);
                    },
                    "make -s && ./app && sed -i 's/\"1\"/\"2\"/' app.c && touch -d @1000 app && "
                    "make -s && ./app",
                    [](const fs::path&) { return said("1\n2\n"); }},
        ProgramCase{"EnterADirectoryMadeInTheRunFromTheShell",
                    [](const fs::path& w) { test::write_file(w / "f", ""); },
                    "mkdir b && cd b && pwd && ls .. && echo x > in-b && cd .. && ls b && "
                    "cd \"$PWD/b\" && cat in-b && /bin/pwd",
                    [](const fs::path& w) {
                        return (w / "b").native() + "\nb\nf\nin-b\nx\n" + (w / "b").native() + "\n";
                    }},
        ProgramCase{"BuildWithCMakeIntoADirectoryMadeInTheRun",
                    [](const fs::path& w) {
                        test::write_file(w / "CMakeLists.txt",
                                         "cmake_minimum_required(VERSION 3.13)\nproject(app C)\n"
                                         "add_executable(app app.c)\n");
                        test::write_file(w / "app.c",
                                         "#include <stdio.h>\nint main(void) { puts(\"built\"); return 0; }\n");
                    },
                    "command -v cmake >/dev/null || { echo built; exit 0; }; "
                    "cmake -S . -B build >/dev/null && cmake --build build >/dev/null && ./build/app && "
                    "rm -rf build",
                    [](const fs::path&) { return said("built\n"); }},
        ProgramCase{"ExtractAnArchiveWithALinkAReadOnlyFileAndOldTimes",
                    [](const fs::path& w) {
                        shell(w, "mkdir src && cd src && echo t > target && ln -s target l && echo r > ro && "
                                 "chmod 444 ro && touch -h -d @1000000 l ro target && cd .. && "
                                 "tar -cf a.tar -C src . && rm -rf src");
                    },
                    "mkdir x && tar -xf a.tar -C x && cd x && stat -c '%n %a %Y %F' l ro target && readlink l",
                    [](const fs::path&) {
                        return said("l 777 1000000 symbolic link\nro 444 1000000 regular file\n"
                                    "target 644 1000000 regular file\ntarget\n");
                    }},
        ProgramCase{"AUnixSocketBoundByARelativeNameInADirectoryMadeInTheRun", [](const fs::path&) {},
                    "mkdir s && cd s && /usr/bin/python3 -c \"import os, socket; "
                    "srv = socket.socket(socket.AF_UNIX); srv.bind('sock'); srv.listen(1); "
                    "c = socket.socket(socket.AF_UNIX); c.connect('sock'); a, _ = srv.accept(); "
                    "c.sendall(b'hi'); print(a.recv(2).decode()); print(sorted(os.listdir('.'))); "
                    "print(srv.getsockname())\"",
                    [](const fs::path&) { return said("hi\n['sock']\nsock\n"); }},
        ProgramCase{"EnterADirectoryMadeInTheRun", [](const fs::path& w) { test::write_file(w / "f", ""); },
                    "/usr/bin/python3 -c \"import os; os.mkdir('b'); os.chdir('b'); print(os.getcwd()); "
                    "print(sorted(os.listdir('..'))); open('in-b', 'w').write('x')\"",
                    [](const fs::path& w) {
                        return (w / "b").native() + "\n['b', 'f']\n";
                    }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CowSandbox, ALinkSwappedBetweenOutsideAndWNeverLetsAWriteIntoW) {
    // The supervisor checks where the link points; the kernel, performing a call the layer
    // leaves to it, looks again and may find W there: Landlock refuses that open.
    SandboxScratch s;
    const std::string before = test::tree_state(s.w);
    Ran ran = run_in_sandbox(s.policy(BranchAction::Abort), s.w,
                             {VESTRION_TEST_HELPER, "swap-write", (s.writable / "l").native(),
                              (s.writable / "x").native(), (s.w / "x").native(), "3000"});
    EXPECT_EQ(ran.out, "opened 1\n");
    EXPECT_EQ(ran.w_before_teardown, before);
    EXPECT_EQ(test::tree_state(s.w), before);
    EXPECT_NE(test::read_file(s.writable / "x").find('y'), std::string::npos);
}

TEST(CowSandbox, AnExecWhoseNameFlipsToAFileOutsideNeverRunsIt) {
    // The layer leads the kernel to the view's program by rewriting the name in place, while a
    // second thread of the command keeps rewriting it between that program and one outside
    // every granted tree. Whatever name the kernel reads, the command's own rules decide.
    SandboxScratch s;
    const fs::path outside = s.root / "outside";
    fs::create_directory(outside);
    executable(outside / "evil", "#!/bin/sh\nexit 42\n");
    const fs::path helper = VESTRION_TEST_HELPER;
    auto policy = Policy::builder()
                      .fs_read("/usr")
                      .fs_read("/lib")
                      .fs_read("/lib64")
                      .fs_read("/etc")
                      .fs_read(helper.parent_path())
                      .workdir(s.w)
                      .fs_storage(s.storage)
                      .cwd(s.w)
                      .on_exit(BranchAction::Abort)
                      .on_error(BranchAction::Abort)
                      .max_processes(4000)
                      .build();
    ASSERT_TRUE(policy.has_value()) << policy.error().message();
    const std::string view = (s.w / "t").native();
    Ran ran = run_in_sandbox(*policy, s.w,
                             {"/usr/bin/sh", "-c",
                              std::string("cp ") + VESTRION_EXIT_HELPER + " t && exec " + helper.native() + " exec-race " + view +
                                  " " + (outside / "evil").native() + " 3000"});
    EXPECT_EQ(ran.out, "outside ran 0 times; the view's program ran: yes\n");
    EXPECT_FALSE(fs::exists(s.w / "t"));
}

TEST(CowSandbox, ALinkInWToAFileOutsideWritesNothingThere) {
    // The command may read the file, not write it: the link leads it outside W, where the
    // kernel and Landlock decide as they would without the layer.
    SandboxScratch s;
    test::TempDir elsewhere;
    test::write_file(elsewhere / "ro", "ro\n");
    fs::create_symlink(elsewhere / "ro", s.w / "l");
    const std::string outside_before = test::tree_state(elsewhere.path());
    Ran ran = run_in_sandbox(
        s.policy(BranchAction::Commit), s.w,
        {"/bin/sh", "-c",
         "echo x > l || echo no write; truncate -s 0 l || echo no truncate; "
         "chmod 600 l || echo no chmod; cat l"});
    EXPECT_EQ(ran.out, "no write\nno truncate\nno chmod\nro\n");
    EXPECT_EQ(test::tree_state(elsewhere.path()), outside_before);
    EXPECT_TRUE(fs::is_symlink(s.w / "l"));
}

TEST(CowSandbox, TheCallbackRefusesAnOpenBeforeTheLayerMakesAnything) {
    SandboxScratch s;
    auto policy = Policy::builder()
                      .fs_read("/")
                      .workdir(s.w)
                      .fs_storage(s.storage)
                      .cwd(s.w)
                      .policy_fn([](const SyscallEvent& e, PolicyContext&) {
                          const bool refused = e.path && e.path->ends_with("refused");
                          return refused ? Verdict::deny_with(EACCES) : Verdict::allow();
                      })
                      .build();
    ASSERT_TRUE(policy.has_value()) << policy.error().message();
    Ran ran = run_in_sandbox(*policy, s.w,
                             {"/bin/sh", "-c", "echo x > refused || echo no; echo y > kept; ls"});
    EXPECT_EQ(ran.out, "no\nkept\n");
    EXPECT_FALSE(fs::exists(s.w / "refused"));
    EXPECT_EQ(test::read_file(s.w / "kept"), "y\n");
}

}  // namespace
}  // namespace vestrion

namespace vestrion {
namespace {

// The layer acts with the supervisor's rights; a root caller's command holds no capability, so
// the file modes of W bind it through the layer as they would bind its own calls.
TEST(CowSandbox, ARootCallersCommandGetsNoMoreThanTheModesOfW) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs a caller that holds capabilities (root)";
    SandboxScratch s;
    test::write_file(s.w / "secret", "s\n");
    fs::permissions(s.w / "secret", fs::perms::none);
    test::write_file(s.w / "ro", "ro\n");
    fs::permissions(s.w / "ro", fs::perms::owner_read | fs::perms::group_read |
                                    fs::perms::others_read);
    fs::create_directory(s.w / "locked");
    fs::permissions(s.w / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    test::write_file(s.w / "mine", "m\n");
    const std::string before = test::tree_state(s.w);
    Ran ran = run_in_sandbox(s.policy(BranchAction::Commit), s.w,
                             {"/bin/sh", "-c",
                              "cat secret 2>e || echo no read; "
                              "(echo x > ro) 2>e || echo no write; "
                              "touch locked/new 2>e || echo no create; "
                              "echo y >> mine; cat ro mine"});
    EXPECT_EQ(ran.out, "no read\nno write\nno create\nro\nm\ny\n");
    EXPECT_EQ(ran.w_before_teardown, before);
    EXPECT_EQ(test::read_file(s.w / "ro"), "ro\n");
    EXPECT_FALSE(fs::exists(s.w / "locked" / "new"));
}

}  // namespace
}  // namespace vestrion
