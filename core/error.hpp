// The one error tree of vestrion. Every error is a value with one text rendering; a nested error
// renders inside the text of the error that carries it, outermost first.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <type_traits>
#include <variant>

namespace vestrion {

// An error number from a failed system or C-library call, or a message with a kind.
class SystemError {
public:
    enum class Kind : std::uint8_t { Os, UnexpectedEof, InvalidInput, Other };

    static SystemError from_errno(int code) { return SystemError(Kind::Os, code, {}); }
    // The calling thread's current errno.
    static SystemError last();
    static SystemError with_message(Kind kind, std::string text) {
        return SystemError(kind, 0, std::move(text));
    }

    Kind kind() const { return kind_; }
    // The error number, or 0 for an error made from a message.
    int code() const { return code_; }
    std::string message() const;

    bool operator==(const SystemError&) const = default;

private:
    SystemError(Kind kind, int code, std::string text)
        : kind_(kind), code_(code), text_(std::move(text)) {}

    Kind kind_;
    int code_;
    std::string text_;
};

struct PolicyError {
    struct Invalid {
        std::string text;
    };
    struct SyscallListsExclusive {};
    struct FsIsolationRequiresWorkdir {};
    struct MaxCpuOutOfRange {
        std::uint8_t value;
    };
    using Kind = std::variant<Invalid, SyscallListsExclusive, FsIsolationRequiresWorkdir,
                              MaxCpuOutOfRange>;

    template <class K>
        requires std::is_constructible_v<Kind, K&&>
    PolicyError(K&& k) : kind(std::forward<K>(k)) {}

    Kind kind;
    std::string message() const;
};

struct NotifError {
    struct Supervisor {
        std::string text;
    };
    struct MemoryRead {
        SystemError error;
    };
    struct Ioctl {
        SystemError error;
    };
    using Kind = std::variant<Supervisor, MemoryRead, Ioctl>;

    template <class K>
        requires std::is_constructible_v<Kind, K&&>
    NotifError(K&& k) : kind(std::forward<K>(k)) {}

    Kind kind;
    std::string message() const;
};

struct SeccompError {
    struct Install {
        std::string text;
    };
    struct Notif {
        NotifError error;
    };
    using Kind = std::variant<Install, Notif>;

    template <class K>
        requires std::is_constructible_v<Kind, K&&>
    SeccompError(K&& k) : kind(std::forward<K>(k)) {}
    SeccompError(NotifError e) : kind(Notif{std::move(e)}) {}

    Kind kind;
    std::string message() const;
};

struct ConfinementError {
    struct LandlockUnavailable {
        std::string text;
    };
    struct LandlockAbi {
        std::uint32_t required;
        std::uint32_t actual;
        std::string text;
    };
    struct Landlock {
        std::string text;
    };
    struct Seccomp {
        SeccompError error;
    };
    using Kind = std::variant<LandlockUnavailable, LandlockAbi, Landlock, Seccomp>;

    template <class K>
        requires std::is_constructible_v<Kind, K&&>
    ConfinementError(K&& k) : kind(std::forward<K>(k)) {}
    ConfinementError(SeccompError e) : kind(Seccomp{std::move(e)}) {}

    Kind kind;
    std::string message() const;
};

struct BranchError {
    struct Failed {
        std::string text;
    };
    struct Conflict {
        std::string text;
    };
    using Kind = std::variant<Failed, Conflict>;

    template <class K>
        requires std::is_constructible_v<Kind, K&&>
    BranchError(K&& k) : kind(std::forward<K>(k)) {}

    Kind kind;
    std::string message() const;
};

struct SandboxError {
    struct Fork {
        SystemError error;
    };
    struct Confinement {
        ConfinementError error;
    };
    struct Child {
        std::string text;
    };
    struct Branch {
        BranchError error;
    };
    struct NotRunning {};
    struct Io {
        SystemError error;
    };
    using Kind = std::variant<Fork, Confinement, Child, Branch, NotRunning, Io>;

    template <class K>
        requires std::is_constructible_v<Kind, K&&>
    SandboxError(K&& k) : kind(std::forward<K>(k)) {}
    SandboxError(ConfinementError e) : kind(Confinement{std::move(e)}) {}
    SandboxError(BranchError e) : kind(Branch{std::move(e)}) {}

    Kind kind;
    std::string message() const;
};

struct VestrionError {
    struct Policy {
        PolicyError error;
    };
    struct Sandbox {
        SandboxError error;
    };
    struct MemoryProtection {
        std::string text;
    };
    using Kind = std::variant<Policy, Sandbox, MemoryProtection>;

    template <class K>
        requires std::is_constructible_v<Kind, K&&>
    VestrionError(K&& k) : kind(std::forward<K>(k)) {}
    VestrionError(PolicyError e) : kind(Policy{std::move(e)}) {}
    VestrionError(SandboxError e) : kind(Sandbox{std::move(e)}) {}
    // Shorthand for the confinement error inside a sandbox error.
    VestrionError(ConfinementError e) : kind(Sandbox{SandboxError(std::move(e))}) {}

    Kind kind;
    std::string message() const;
};

template <class T>
using Result = std::expected<T, VestrionError>;

template <class T>
using SysResult = std::expected<T, SystemError>;

}  // namespace vestrion
