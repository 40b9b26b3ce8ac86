#include "core/error.hpp"

#include <cerrno>
#include <cstring>

namespace vestrion {

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};

std::string os_text(int code) {
    if (const char* text = ::strerrordesc_np(code)) return text;
    return "Unknown error " + std::to_string(code);
}

}  // namespace

SystemError SystemError::last() { return from_errno(errno); }

std::string SystemError::message() const {
    if (kind_ == Kind::Os) return os_text(code_) + " (os error " + std::to_string(code_) + ")";
    return text_;
}

std::string PolicyError::message() const {
    return std::visit(
        Overloaded{
            [](const Invalid& e) { return "invalid policy: " + e.text; },
            [](const SyscallListsExclusive&) {
                return std::string("deny_syscalls and allow_syscalls are mutually exclusive");
            },
            [](const FsIsolationRequiresWorkdir&) {
                return std::string("fs_isolation requires workdir to be set");
            },
            [](const MaxCpuOutOfRange& e) {
                return "max_cpu must be 1-100, got " + std::to_string(e.value);
            },
        },
        kind);
}

std::string NotifError::message() const {
    return std::visit(
        Overloaded{
            [](const Supervisor& e) { return "notification supervisor error: " + e.text; },
            [](const MemoryRead& e) { return "child memory read failed: " + e.error.message(); },
            [](const Ioctl& e) { return "notification ioctl failed: " + e.error.message(); },
        },
        kind);
}

std::string SeccompError::message() const {
    return std::visit(
        Overloaded{
            [](const Install& e) { return "seccomp filter installation failed: " + e.text; },
            [](const Notif& e) { return "notification error: " + e.error.message(); },
        },
        kind);
}

std::string ConfinementError::message() const {
    return std::visit(
        Overloaded{
            [](const LandlockUnavailable& e) { return "landlock unavailable: " + e.text; },
            [](const LandlockAbi& e) {
                return "landlock ABI v" + std::to_string(e.required) + " required (kernel has v" +
                       std::to_string(e.actual) + "): " + e.text;
            },
            [](const Landlock& e) { return "landlock error: " + e.text; },
            [](const Seccomp& e) { return "seccomp error: " + e.error.message(); },
        },
        kind);
}

std::string BranchError::message() const {
    return std::visit(
        Overloaded{
            [](const Failed& e) { return "branch operation failed: " + e.text; },
            [](const Conflict& e) { return "branch conflict: " + e.text; },
        },
        kind);
}

std::string SandboxError::message() const {
    return std::visit(
        Overloaded{
            [](const Fork& e) { return "fork failed: " + e.error.message(); },
            [](const Confinement& e) { return "confinement failed: " + e.error.message(); },
            [](const Child& e) { return "child process error: " + e.text; },
            [](const Branch& e) { return "branch error: " + e.error.message(); },
            [](const NotRunning&) { return std::string("sandbox not running"); },
            [](const Io& e) { return "io error: " + e.error.message(); },
        },
        kind);
}

std::string VestrionError::message() const {
    return std::visit(
        Overloaded{
            [](const Policy& e) { return "policy error: " + e.error.message(); },
            [](const Sandbox& e) { return "sandbox error: " + e.error.message(); },
            [](const MemoryProtection& e) { return "memory protection error: " + e.text; },
        },
        kind);
}

}  // namespace vestrion
