#include "core/error.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "core/result.hpp"

namespace vestrion {
namespace {

struct Rendering {
    const char* name;
    VestrionError error;
    std::string text;
};

std::string os(int code) {
    return std::string(::strerrordesc_np(code)) + " (os error " + std::to_string(code) + ")";
}

SandboxError confinement(ConfinementError e) { return SandboxError(std::move(e)); }

TEST(ErrorTree, EveryVariantRendersOutermostFirst) {
    const std::vector<Rendering> table = {
        {"Invalid", PolicyError{PolicyError::Invalid{"x"}}, "policy error: invalid policy: x"},
        {"Exclusive", PolicyError{PolicyError::SyscallListsExclusive{}},
         "policy error: deny_syscalls and allow_syscalls are mutually exclusive"},
        {"Workdir", PolicyError{PolicyError::FsIsolationRequiresWorkdir{}},
         "policy error: fs_isolation requires workdir to be set"},
        {"MaxCpu", PolicyError{PolicyError::MaxCpuOutOfRange{0}},
         "policy error: max_cpu must be 1-100, got 0"},
        {"Fork", SandboxError(SandboxError::Fork{SystemError::from_errno(11)}),
         "sandbox error: fork failed: " + os(11)},
        {"Child", SandboxError(SandboxError::Child{"sandbox already spawned"}),
         "sandbox error: child process error: sandbox already spawned"},
        {"NotRunning", SandboxError(SandboxError::NotRunning{}),
         "sandbox error: sandbox not running"},
        {"Io", SandboxError(SandboxError::Io{SystemError::with_message(
                   SystemError::Kind::UnexpectedEof, "pipe closed before 4 bytes read")}),
         "sandbox error: io error: pipe closed before 4 bytes read"},
        {"BranchFailed", SandboxError(BranchError{BranchError::Failed{"f"}}),
         "sandbox error: branch error: branch operation failed: f"},
        {"BranchConflict", SandboxError(BranchError{BranchError::Conflict{"c"}}),
         "sandbox error: branch error: branch conflict: c"},
        {"Unavailable", confinement(ConfinementError::LandlockUnavailable{os(38)}),
         "sandbox error: confinement failed: landlock unavailable: " + os(38)},
        {"Abi", confinement(ConfinementError::LandlockAbi{6, 4, "full vestrion support"}),
         "sandbox error: confinement failed: landlock ABI v6 required (kernel has v4): full "
         "vestrion support"},
        {"Landlock", confinement(ConfinementError::Landlock{"t"}),
         "sandbox error: confinement failed: landlock error: t"},
        {"Install", confinement(SeccompError(SeccompError::Install{"i"})),
         "sandbox error: confinement failed: seccomp error: seccomp filter installation "
         "failed: i"},
        {"NotifSupervisor",
         confinement(SeccompError(NotifError{NotifError::Supervisor{"s"}})),
         "sandbox error: confinement failed: seccomp error: notification error: notification "
         "supervisor error: s"},
        {"NotifRead",
         confinement(SeccompError(NotifError{NotifError::MemoryRead{SystemError::from_errno(3)}})),
         "sandbox error: confinement failed: seccomp error: notification error: child memory "
         "read failed: " + os(3)},
        {"NotifIoctl",
         confinement(SeccompError(NotifError{NotifError::Ioctl{SystemError::from_errno(2)}})),
         "sandbox error: confinement failed: seccomp error: notification error: notification "
         "ioctl failed: " + os(2)},
        {"MemoryProtection", VestrionError::MemoryProtection{"m"}, "memory protection error: m"},
    };
    for (const auto& row : table) EXPECT_EQ(row.error.message(), row.text) << row.name;
}

TEST(ErrorTree, SystemErrorFromNumberUsesTheCLibraryText) {
    EXPECT_EQ(SystemError::from_errno(11).message(),
              "Resource temporarily unavailable (os error 11)");
    EXPECT_EQ(SystemError::from_errno(2).message(), "No such file or directory (os error 2)");
    EXPECT_EQ(SystemError::with_message(SystemError::Kind::Other, "plain").message(), "plain");
}

TEST(ExitStatus, OnlyCodeZeroSucceeds) {
    EXPECT_TRUE(ExitStatus::code(0).success());
    EXPECT_FALSE(ExitStatus::code(1).success());
    EXPECT_FALSE((ExitStatus{ExitStatus::Kind::Killed, 0}).success());
    EXPECT_FALSE((ExitStatus{ExitStatus::Kind::Signal, 0}).success());
    EXPECT_FALSE((ExitStatus{ExitStatus::Kind::Timeout, 0}).success());
}

}  // namespace
}  // namespace vestrion
