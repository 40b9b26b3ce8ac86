// Commands run under a virtual root by the whole spawn: a small root built from copies of what
// they need, whose programs lie where the host has none (so that nothing reaches them by a host
// path), and whose /etc/passwd differs from the host's.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <set>

#include "core/sandbox.hpp"
#include "tests/support.hpp"

namespace vestrion {
namespace {

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

constexpr const char* kBin = "/opt/vestrion-test/bin";  // long enough for "/dev/fd/N"
constexpr const char* kPasswd = "virtual root's passwd\n";

// The libraries `program` loads, with its interpreter, as ldd names them.
std::vector<fs::path> libraries_of(const fs::path& program) {
    std::vector<fs::path> out;
    const std::string cmd = "ldd '" + program.string() + "' 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (!p) return out;
    char line[1024];
    while (std::fgets(line, sizeof line, p)) {
        std::string l(line);
        std::size_t arrow = l.find("=> ");
        std::size_t start = arrow != std::string::npos ? arrow + 3 : l.find_first_not_of(" \t");
        if (start == std::string::npos || l[start] != '/') continue;
        out.emplace_back(l.substr(start, l.find(' ', start) - start));
    }
    ::pclose(p);
    return out;
}

class SmallRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = dir_.path() / "root";
        outside_ = dir_.path() / "outside";
        fs::create_directories(outside_);
        for (const char* d : {"etc", "tmp", "p", "usr/bin"}) fs::create_directories(root_ / d);
        fs::create_directories(root_ / fs::path(kBin).relative_path());
        // The host's merged directories, as links, so that library paths mean the same.
        for (const char* name : {"bin", "lib", "lib64", "sbin"}) {
            const fs::path host = fs::path("/") / name;
            if (fs::is_symlink(host)) fs::create_symlink(fs::read_symlink(host), root_ / name);
        }
        test::write_file(root_ / "etc/passwd", kPasswd);
        fs::permissions(root_ / "tmp", fs::perms::all);

        install("/usr/bin/bash", "/usr/bin/bash");
        install("/usr/bin/dash", "/usr/bin/dash");
        fs::create_symlink("dash", root_ / "usr/bin/sh");
        for (const char* prog : {"cat", "pwd", "mkdir", "ln"}) install(fs::path("/usr/bin") / prog, bin(prog));
        install("/usr/bin/pwd", "/p/pwd");
        install(VESTRION_ROOT_HELPER, bin("helper"));
        script(bin("hello"), "#!/bin/bash\necho script $# \"$1\"\n");
        script(bin("plain"), "echo plain\n");  // no "#!": the shell runs it itself
    }

    static std::string bin(const char* name) { return std::string(kBin) + "/" + name; }

    // Copies a host program to `where` in the root, with the libraries it loads.
    void install(const fs::path& host, const std::string& where) {
        copy(host, root_ / fs::path(where).relative_path());
        // By the name the program asks for, in the directory that name lies in.
        for (const auto& lib : libraries_of(host)) {
            const fs::path dest =
                root_ / fs::canonical(lib.parent_path()).relative_path() / lib.filename();
            if (!fs::exists(dest)) copy(lib, dest);
        }
    }

    static void copy(const fs::path& from, const fs::path& to) {
        fs::create_directories(to.parent_path());
        fs::copy_file(from, to, fs::copy_options::overwrite_existing);
        fs::permissions(to, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    }

    void script(const std::string& where, const std::string& text) {
        const fs::path p = root_ / fs::path(where).relative_path();
        test::write_file(p, text);
        fs::permissions(p, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    }

    // The host's /usr is readable too: "#!" interpreters and the C library's "/bin/sh" are
    // loaded by host path.
    Policy policy(bool host_usr = true) const {
        PolicyBuilder b = Policy::builder();
        if (host_usr) b = std::move(b).fs_read("/usr").fs_read("/opt").fs_read("/etc").fs_read("/p");
        return *std::move(b)
                    .fs_write("/tmp")
                    .chroot(root_)
                    .clean_env(true)
                    .env_var("PATH", std::string(kBin) + ":/usr/bin")
                    .build();
    }

    RunResult run(const Policy& p, const Args& argv) {
        auto result = Sandbox::run(p, argv);
        EXPECT_TRUE(result) << result.error().message();
        if (!result) return {std::string(), result.error().message(), ExitStatus::code(-1)};
        return std::move(*result);
    }

    test::TempDir dir_;
    fs::path root_;
    fs::path outside_;
};

struct ExecCase {
    const char* name;
    const char* script;
    const char* expected;
};
void PrintTo(const ExecCase& c, std::ostream* os) { *os << c.name; }

const ExecCase kExecCases[] = {
    {"RootOnlyCommandOnPath", "cat /etc/passwd", kPasswd},
    {"DotDotStopsAtTheRoot", "cat /../../etc/passwd", kPasswd},
    {"Script", "hello a", "script 1 a\n"},
    {"FileWithoutInterpreterLine", "plain", "plain\n"},
    // The C library's "/bin/sh" lies in read-only memory: the root's is a copy of the host's.
    {"System", "helper system 'echo $0'", "sh\nsystem 0\n"},
    // dash starts every program with vfork, from a path in memory its parent shares.
    {"SystemThroughDashsVfork", "helper system 'cat /etc/passwd'", "system 126\n"},
    // The child of posix_spawn runs on our memory until its exec: the string is not written.
    {"SpawnFromSharedMemory", "helper spawn /opt/vestrion-test/bin/cat",
     "EACCES unchanged\n"},
    // posix_spawnp builds its candidates on the child's own stack.
    {"SpawnSearching", "helper spawnp pwd", "/\nexit 0\n"},
    {"ChangeDirectoryThenPwd", "cd /tmp && /opt/vestrion-test/bin/pwd", "/tmp\n"},
    {"RelativeToTheWorkingDirectory", "cd /etc && cat passwd", kPasswd},
    {"PhysicalChangesOfDirectory", "set -P; cd /tmp && echo $PWD && cd .. && echo $PWD",
     "/tmp\n/\n"},
    // Too short for "/dev/fd/N": a path from the working directory takes its place.
    {"ShortPathFromTheTop", "cd / && /p/pwd", "/\n"},
    {"ProcessSubstitution", "cat <(echo x)", "x\n"},
    {"StandardErrorByName", "echo x > /dev/stderr; echo y > /dev/stdout", "y\n"},
    {"WritesLandInTheRoot", "echo hi > /tmp/f && cat /tmp/f", "hi\n"},
};

class ExecTable : public SmallRoot, public ::testing::WithParamInterface<ExecCase> {};

TEST_P(ExecTable, RunsInsideTheRoot) {
    const RunResult r = run(policy(), {"bash", "-c", GetParam().script});
    EXPECT_EQ(*r.stdout_bytes, GetParam().expected) << *r.stderr_bytes;
    EXPECT_EQ(r.status, ExitStatus::code(0)) << *r.stderr_bytes;
}

INSTANTIATE_TEST_SUITE_P(Table, ExecTable, ::testing::ValuesIn(kExecCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct CdCase {
    const char* name;
    const char* target;
    const char* logical;   // what bash keeps as $PWD and its pwd prints
    const char* physical;  // what getcwd answers
};
void PrintTo(const CdCase& c, std::ostream* os) { *os << c.name; }

const CdCase kCdCases[] = {
    {"Top", "/", "/", "/"},
    {"Parent", "..", "/tmp/a", "/tmp/a"},
    {"TwoUp", "../..", "/tmp", "/tmp"},
    {"LinkToTheTop", "/tmp/top", "/tmp/top", "/"},
    {"MadeInTheRun", "/tmp/new", "/tmp/new", "/tmp/new"},
    {"Sideways", "/etc", "/etc", "/etc"},
};

class ChangeDirectory : public SmallRoot, public ::testing::WithParamInterface<CdCase> {};

// A shell keeps the bytes it gave chdir as its $PWD: whatever the kernel was given to read, the
// shell must see its own virtual name afterwards, from a subdirectory to every kind of target.
TEST_P(ChangeDirectory, KeepsTheVirtualNameFromASubdirectory) {
    const CdCase& c = GetParam();
    const std::string script = std::string("mkdir -p /tmp/a/b /tmp/new && ln -s / /tmp/top && ") +
                               "cd /tmp/a/b && cd " + c.target +
                               " && echo \"$PWD\" && pwd && " + bin("pwd") + " && cat etc/passwd";
    const RunResult r = run(policy(), {"bash", "-c", script});
    const bool at_top = std::string_view(c.physical) == "/";
    EXPECT_EQ(*r.stdout_bytes, std::string(c.logical) + "\n" + c.logical + "\n" + c.physical +
                                   "\n" + (at_top ? kPasswd : ""))
        << *r.stderr_bytes;
}

INSTANTIATE_TEST_SUITE_P(Targets, ChangeDirectory, ::testing::ValuesIn(kCdCases),
                         [](const auto& info) { return std::string(info.param.name); });

// "/" in read-only memory from below the top: a longer name stands on the bytes after it while
// the only thread is held, and they are put back; with a second thread alive nothing past the
// string is touched and the call is refused.
TEST_F(SmallRoot, TopByANameInReadOnlyMemory) {
    const RunResult alone = run(policy(), {bin("helper"), "top", "/tmp", "alone"});
    EXPECT_EQ(*alone.stdout_bytes, "ok / unchanged\n") << *alone.stderr_bytes;
    const RunResult threaded = run(policy(), {bin("helper"), "top", "/tmp", "threaded"});
    EXPECT_EQ(*threaded.stdout_bytes, "EACCES /tmp unchanged\n") << *threaded.stderr_bytes;
}

// fanotify_mark names a path the kernel would read as the host's: the mark goes on the root's
// file, a file only the host has is not found, and one outside the lists is refused.
TEST_F(SmallRoot, FanotifyMarksTheRootsFile) {
    test::write_file(root_ / "tmp/marked", "x");
    test::write_file(root_ / "hidden", "x");
    const RunResult r = run(policy(), {"bash", "-c",
                                       "helper mark /tmp/marked; helper mark /../tmp/marked; "
                                       "helper mark /etc/hostname; helper mark /hidden"});
    EXPECT_EQ(*r.stdout_bytes, "mark ok event\nmark ok event\nmark ENOENT\nmark EACCES\n")
        << *r.stderr_bytes;
}

// The supervisor acts with the command's ids and no capability: a root caller's command cannot
// read a 0000 file, write a 0444 one or give a file away.
TEST_F(SmallRoot, FileModesBindARootCallersCommand) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to show what root's rights would allow";
    test::write_file(root_ / "tmp/none", "none\n");
    fs::permissions(root_ / "tmp/none", fs::perms::none);
    test::write_file(root_ / "tmp/ro", "ro\n");
    fs::permissions(root_ / "tmp/ro", fs::perms::owner_read | fs::perms::group_read |
                                          fs::perms::others_read);
    const RunResult r = run(policy(), {"bash", "-c",
                                       "cat /tmp/none || echo no read; "
                                       "m=$( (echo x > /tmp/ro) 2>&1) || echo \"${m##*: }\"; "
                                       "helper chown /tmp/ro"});
    EXPECT_EQ(*r.stdout_bytes, "no read\nPermission denied\nchown EPERM\n") << *r.stderr_bytes;
    EXPECT_EQ(test::read_file(root_ / "tmp/ro"), "ro\n");
    struct stat st {};
    ASSERT_EQ(::stat((root_ / "tmp/ro").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
}

TEST_F(SmallRoot, WritesAndStatusStayInTheRoot) {
    const RunResult r = run(policy(), {"bash", "-c",
                                       "echo > /tmp/f; echo w > /etc/f; "
                                       "cat /dev/null > /etc/passwd; ls_ok=$(cd /tmp && echo *); "
                                       "echo \"$ls_ok\""});
    EXPECT_EQ(*r.stdout_bytes, "f\n") << *r.stderr_bytes;
    EXPECT_TRUE(fs::exists(root_ / "tmp/f"));
    EXPECT_FALSE(fs::exists(root_ / "etc/f"));
    EXPECT_EQ(test::read_file(root_ / "etc/passwd"), kPasswd);
}

// With nothing listed as readable the root is readable and executable, and so is the command's
// interpreter (the kernel loads it by host path); a "#!" interpreter is not.
TEST_F(SmallRoot, AnEmptyReadableListGrantsTheRoot) {
    const RunResult r = run(policy(false), {bin("helper"), "spawnp", "pwd"});
    EXPECT_EQ(*r.stdout_bytes, "/\nexit 0\n") << *r.stderr_bytes;
    const RunResult sh = run(policy(false), {"bash", "-c", "cat /etc/passwd; hello"});
    EXPECT_EQ(*sh.stdout_bytes, kPasswd) << *sh.stderr_bytes;
    EXPECT_EQ(sh.status, ExitStatus::code(126)) << *sh.stderr_bytes;
}

// A hostile command swaps a directory of the root for a link to a host directory while it
// executes a program in it and changes into it: the kernel, which reads a path left to it again,
// never runs the host's program nor reads the host's file, and the host's tree never changes.
TEST_F(SmallRoot, ARacingLinkNeitherRunsNorReadsTheHostsFiles) {
    fs::create_directories(root_ / "tmp/d");
    copy(VESTRION_ROOT_HELPER, root_ / "tmp/d/prog");
    test::write_file(root_ / "tmp/d/secret", "root's secret\n");
    copy(VESTRION_ROOT_HELPER, outside_ / "prog");
    test::write_file(outside_ / "secret", "host secret\n");
    const std::string before = test::tree_state(outside_);
    const RunResult r =
        run(policy(false), {bin("helper"), "race", "/tmp/d", outside_.string(), "300"});
    std::set<std::string> lines;
    std::string out = *r.stdout_bytes;
    for (std::size_t at = 0; at < out.size();) {
        std::size_t nl = out.find('\n', at);
        lines.insert(out.substr(at, nl - at));
        at = nl == std::string::npos ? out.size() : nl + 1;
    }
    for (const auto& line : lines)
        EXPECT_TRUE(line == "ran /tmp/d/prog" || line == "ran /tmp/d.away/prog" ||
                    line == "read root's secret" ||
                    line == "read root's secretraced" || line == "raced")
            << line << "\n" << *r.stderr_bytes;
    EXPECT_EQ(test::tree_state(outside_), before);
}

// A Unix socket the test binds at `path` (a stream one listening), open to every user.
class Listener {
  public:
    Listener(const fs::path& path, int type) {
        fd_.reset(::socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        EXPECT_EQ(::bind(fd_.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << path;
        if (type == SOCK_STREAM) {
            EXPECT_EQ(::listen(fd_.get(), 4), 0);
        }
        ::chmod(path.c_str(), 0777);
    }
    // Connections accepted, or datagrams received, since the last look.
    int arrived() {
        int n = 0;
        char buf[64];
        for (int c; (c = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0; ++n) ::close(c);
        while (::recv(fd_.get(), buf, sizeof buf, 0) >= 0) ++n;
        return n;
    }

  private:
    UniqueFd fd_;
};

// Unix socket names are the root's, for connect, the sends and bind alike: a name reaches the
// socket file at that name beneath the root, and only beneath an fs_write entry there; the
// host's file of that name stays out of reach, also through a link in the root; a bind makes its
// file beneath the root, where the command then reaches it.
TEST_F(SmallRoot, UnixSocketNamesAreTheRoots) {
    install(VESTRION_NET_HELPER, bin("net"));
    const fs::path host_stream = outside_ / "stream";
    Listener host(host_stream, SOCK_STREAM);
    Listener writable(root_ / "tmp/stream", SOCK_STREAM);
    Listener read_only(root_ / "etc/stream", SOCK_STREAM);
    Listener datagrams(root_ / "tmp/dgram", SOCK_DGRAM);
    fs::create_symlink(host_stream, root_ / "tmp/to-host");
    const std::string self = "/tmp/self-" + std::to_string(std::random_device{}());
    struct Case {
        const char* what;
        Args args;
        const char* said;
    };
    const Case cases[] = {
        {"the host's name", {bin("net"), "connect-path", host_stream.string()}, "ENOENT\n"},
        {"a link to the host's name", {bin("net"), "connect-path", "/tmp/to-host"}, "ENOENT\n"},
        {"the host's name, a datagram", {bin("net"), "unix-dgram", host_stream.string()},
         "sendto ENOENT sendmsg ENOENT sendmmsg ENOENT\n"},
        {"beneath fs_write", {bin("net"), "connect-path", "/tmp/stream"}, "ok\n"},
        {"in the root, not writable", {bin("net"), "connect-path", "/etc/stream"}, "EACCES\n"},
        {"a datagram beneath fs_write", {bin("net"), "unix-dgram", "/tmp/dgram"},
         "sendto 6 sendmsg 7 sendmmsg 1\n"},
        {"bound, then reached", {bin("net"), "unix-self", self}, "ok\n"},
        {"bound outside fs_write", {bin("net"), "unix-self", "/etc/self"}, "bind EACCES\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const RunResult r = run(policy(), c.args);
        EXPECT_EQ(*r.stdout_bytes, c.said) << *r.stderr_bytes;
    }
    EXPECT_EQ(host.arrived(), 0);
    EXPECT_EQ(read_only.arrived(), 0);
    EXPECT_EQ(writable.arrived(), 1);
    EXPECT_EQ(datagrams.arrived(), 3);
    EXPECT_TRUE(fs::exists(root_ / fs::path(self).relative_path()));
    EXPECT_FALSE(fs::exists(self));
    EXPECT_FALSE(fs::exists(root_ / "etc/self"));
}

}  // namespace
}  // namespace vestrion
