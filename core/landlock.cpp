#include "core/landlock.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <cerrno>

#include "core/sys/structs.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::landlock {

namespace sc = sys::syscall;
using Step = Failure::Step;

namespace {

constexpr const char* FULL_SUPPORT = "full vestrion support";

// Opens the path without reading it and adds the rule; the failed step and its error, if any.
// Raw calls only: this also runs in a child that shares the caller's memory.
Step add_path_rule_raw(int ruleset_fd, const char* path, std::uint64_t mask, int& error) noexcept {
    long fd = sc::raw(SYS_openat, AT_FDCWD, reinterpret_cast<long>(path), O_PATH | O_CLOEXEC);
    if (sc::is_error(fd)) {
        error = static_cast<int>(-fd);
        return Step::OpenPath;
    }
    struct stat st;
    if (sc::raw(SYS_newfstatat, fd, reinterpret_cast<long>(""), reinterpret_cast<long>(&st),
                AT_EMPTY_PATH) == 0 &&
        !S_ISDIR(st.st_mode))
        mask &= sys::LANDLOCK_ACCESS_FS_FILE_RIGHTS;
    sys::LandlockPathBeneathAttr attr{mask, static_cast<std::int32_t>(fd)};
    long ret = sc::landlock_add_rule(ruleset_fd, sys::LANDLOCK_RULE_PATH_BENEATH, &attr, 0);
    sc::raw(SYS_close, fd);
    if (sc::is_error(ret)) {
        error = static_cast<int>(-ret);
        return Step::AddPathRule;
    }
    return Step::None;
}

long add_net_rule_raw(int ruleset_fd, std::uint16_t port, std::uint64_t mask) noexcept {
    sys::LandlockNetPortAttr attr{mask, port};
    return sc::landlock_add_rule(ruleset_fd, sys::LANDLOCK_RULE_NET_PORT, &attr, 0);
}

bool path_exists(const char* path) noexcept {
    struct stat st;
    return sc::raw(SYS_newfstatat, AT_FDCWD, reinterpret_cast<long>(path),
                   reinterpret_cast<long>(&st), 0) == 0;
}

// The text carried inside the confinement error of a failure.
void write_inner(text::LineBuf& line, const Plan& plan, const Failure& f) noexcept {
    switch (f.step) {
        case Step::None:
            break;
        case Step::Unavailable:
            line.add_os_error(f.error);
            break;
        case Step::AbiQuery:
            line.add("abi_version query failed: ").add_os_error(f.error);
            break;
        case Step::AbiTooOld:
            line.add(FULL_SUPPORT);
            break;
        case Step::CreateRuleset:
            line.add("create ruleset: ").add_os_error(f.error);
            break;
        case Step::OpenPath:
            line.add("open path ").add(plan.paths[f.index].quoted).add(" failed: ");
            line.add_os_error(f.error);
            break;
        case Step::AddPathRule:
            line.add("add path rule for ").add(plan.paths[f.index].quoted).add(": ");
            line.add_os_error(f.error);
            break;
        case Step::AddNetRule:
            line.add("add net rule for port ").add_uint(plan.ports[f.index].port).add(": ");
            line.add_os_error(f.error);
            break;
        case Step::RestrictSelf:
            line.add("restrict_self: ").add_os_error(f.error);
            break;
    }
}

std::string inner_text(const Plan& plan, const Failure& f) {
    text::LineBuf line;
    write_inner(line, plan, f);
    return std::string(line.view());
}

// An entry under a virtual root: the root joined with the entry, its leading slashes removed (a
// path that kept one would replace the root instead of lying inside it).
std::string under_root(const Path& root, const Path& entry) {
    std::string rel = entry.native();
    rel.erase(0, std::min(rel.find_first_not_of('/'), rel.size()));
    return (root / rel).native();
}

void add_path(Plan& plan, std::string path, std::uint64_t mask, PathRule::Mode mode) {
    std::string q = text::quoted(path);
    plan.paths.push_back(PathRule{std::move(path), std::move(q), mask, mode});
}

}  // namespace

std::expected<std::uint32_t, ConfinementError> abi_version() {
    long ret = sc::landlock_create_ruleset(nullptr, 0, sys::LANDLOCK_CREATE_RULESET_VERSION);
    if (!sc::is_error(ret)) return static_cast<std::uint32_t>(ret);
    int error = static_cast<int>(-ret);
    if (error == ENOSYS || error == EOPNOTSUPP)
        return std::unexpected(ConfinementError(
            ConfinementError::LandlockUnavailable{SystemError::from_errno(error).message()}));
    return std::unexpected(ConfinementError(ConfinementError::Landlock{
        "abi_version query failed: " + SystemError::from_errno(error).message()}));
}

std::expected<void, ConfinementError> add_path_rule(int ruleset_fd, const std::string& path,
                                                    std::uint64_t mask) {
    int error = 0;
    Step step = add_path_rule_raw(ruleset_fd, path.c_str(), mask, error);
    if (step == Step::None) return {};
    Plan one;
    add_path(one, path, mask, PathRule::Mode::Required);
    return std::unexpected(
        ConfinementError(ConfinementError::Landlock{inner_text(one, {step, error, 0, 0})}));
}

std::expected<void, ConfinementError> add_net_rule(int ruleset_fd, std::uint16_t port,
                                                   std::uint64_t mask) {
    long ret = add_net_rule_raw(ruleset_fd, port, mask);
    if (!sc::is_error(ret)) return {};
    Plan one;
    one.ports.push_back({port, mask});
    Failure f{Step::AddNetRule, static_cast<int>(-ret), 0, 0};
    return std::unexpected(ConfinementError(ConfinementError::Landlock{inner_text(one, f)}));
}

void grant_read(Plan& plan, std::string path) {
    add_path(plan, std::move(path), READ_ACCESS, PathRule::Mode::Optional);
}

void add_readable(Plan& plan, const Policy& policy, const Path& entry) {
    using Mode = PathRule::Mode;
    if (!policy.chroot) {
        add_path(plan, entry.native(), READ_ACCESS, Mode::Required);
        return;
    }
    add_path(plan, under_root(*policy.chroot, entry), READ_ACCESS, Mode::SkipIfMissing);
    add_path(plan, entry.native(), READ_ACCESS, Mode::Optional);
}

Plan plan(const Policy& policy) {
    using Mode = PathRule::Mode;
    Plan p;
    p.handled_access_fs = sys::LANDLOCK_ACCESS_FS_ALL;
    if (!policy.net_bind.empty() || !policy.net_connect.empty())
        p.handled_access_net =
            sys::LANDLOCK_ACCESS_NET_BIND_TCP | sys::LANDLOCK_ACCESS_NET_CONNECT_TCP;
    if (policy.isolate_ipc) p.scoped |= sys::LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET;
    if (policy.isolate_signals) p.scoped |= sys::LANDLOCK_SCOPE_SIGNAL;

    const auto& root = policy.chroot;
    for (const auto& entry : policy.fs_writable) {
        if (root)
            add_path(p, under_root(*root, entry), sys::LANDLOCK_ACCESS_FS_ALL, Mode::SkipIfMissing);
        else
            add_path(p, entry.native(), sys::LANDLOCK_ACCESS_FS_ALL, Mode::Required);
    }
    for (const auto& entry : policy.fs_readable) {
        if (root)
            add_path(p, under_root(*root, entry), READ_ACCESS, Mode::SkipIfMissing);
        else
            add_path(p, entry.native(), READ_ACCESS, Mode::Required);
    }
    if (root)
        for (const auto& entry : policy.fs_readable)
            add_path(p, entry.native(), READ_ACCESS, Mode::Optional);
    // Under a root an empty readable list reads everything inside it; the kernel itself opens
    // the files it executes there through descriptors the supervisor installs.
    if (root && policy.fs_readable.empty()) add_path(p, root->native(), READ_ACCESS, Mode::Required);

    if (policy.gpu_devices) {
        for (const char* dev : {"/dev/nvidia0", "/dev/nvidia1", "/dev/nvidia2", "/dev/nvidia3",
                                "/dev/nvidiactl", "/dev/nvidia-uvm", "/dev/nvidia-uvm-tools",
                                "/dev/dri"})
            add_path(p, dev, sys::LANDLOCK_ACCESS_FS_ALL, Mode::Optional);
        for (const char* dir : {"/proc/driver/nvidia", "/sys/bus/pci/devices", "/sys/module/nvidia"})
            add_path(p, dir, READ_ACCESS, Mode::Optional);
    }
    for (std::uint16_t port : policy.net_bind)
        p.ports.push_back({port, sys::LANDLOCK_ACCESS_NET_BIND_TCP});
    for (std::uint16_t port : policy.net_connect)
        p.ports.push_back({port, sys::LANDLOCK_ACCESS_NET_CONNECT_TCP});
    return p;
}

namespace {

Path normal(const Path& p) {
    std::error_code ec;
    Path out = std::filesystem::weakly_canonical(std::filesystem::absolute(p), ec);
    return ec ? p.lexically_normal() : out;
}

}  // namespace

Path entry_path(const Policy& policy, const Path& entry) {
    if (entry.is_relative() && policy.cwd) return normal(*policy.cwd / entry);
    return normal(entry);
}

Failure apply(const Plan& plan) noexcept {
    long abi = sc::landlock_create_ruleset(nullptr, 0, sys::LANDLOCK_CREATE_RULESET_VERSION);
    if (sc::is_error(abi)) {
        int error = static_cast<int>(-abi);
        bool unavailable = error == ENOSYS || error == EOPNOTSUPP;
        return {unavailable ? Step::Unavailable : Step::AbiQuery, error, 0, 0};
    }
    if (abi < MIN_ABI) return {Step::AbiTooOld, 0, static_cast<std::uint32_t>(abi), 0};

    sys::LandlockRulesetAttr attr{plan.handled_access_fs, plan.handled_access_net, plan.scoped};
    long ruleset = sc::landlock_create_ruleset(&attr, sizeof(attr), 0);
    if (sc::is_error(ruleset)) return {Step::CreateRuleset, static_cast<int>(-ruleset), 0, 0};
    int fd = static_cast<int>(ruleset);

    // Rules added so far die with the ruleset: nothing is enforced unless every step succeeds.
    auto fail = [fd](Step step, int error, std::size_t index) noexcept {
        sc::raw(SYS_close, fd);
        return Failure{step, error, 0, index};
    };
    for (std::size_t i = 0; i < plan.paths.size(); ++i) {
        const PathRule& rule = plan.paths[i];
        if (rule.mode != PathRule::Mode::Required && !path_exists(rule.path.c_str())) continue;
        int error = 0;
        Step step = add_path_rule_raw(fd, rule.path.c_str(), rule.mask, error);
        if (step != Step::None && rule.mode != PathRule::Mode::Optional)
            return fail(step, error, i);
    }
    for (std::size_t i = 0; i < plan.ports.size(); ++i) {
        long ret = add_net_rule_raw(fd, plan.ports[i].port, plan.ports[i].access);
        if (sc::is_error(ret)) return fail(Step::AddNetRule, static_cast<int>(-ret), i);
    }
    long ret = sc::landlock_restrict_self(fd, 0);
    if (sc::is_error(ret)) return fail(Step::RestrictSelf, static_cast<int>(-ret), 0);
    sc::raw(SYS_close, fd);
    return {};
}

VestrionError failure_error(const Plan& plan, const Failure& f) {
    std::string inner = inner_text(plan, f);
    switch (f.step) {
        case Step::Unavailable:
            return ConfinementError(ConfinementError::LandlockUnavailable{std::move(inner)});
        case Step::AbiTooOld:
            return ConfinementError(ConfinementError::LandlockAbi{MIN_ABI, f.abi, std::move(inner)});
        default:
            return ConfinementError(ConfinementError::Landlock{std::move(inner)});
    }
}

void write_failure(text::LineBuf& line, const Plan& plan, const Failure& f) noexcept {
    // Mirrors VestrionError::message for the confinement errors, which the child cannot allocate.
    line.add("sandbox error: confinement failed: ");
    switch (f.step) {
        case Step::Unavailable:
            line.add("landlock unavailable: ");
            break;
        case Step::AbiTooOld:
            line.add("landlock ABI v").add_uint(MIN_ABI).add(" required (kernel has v");
            line.add_uint(f.abi).add("): ");
            break;
        default:
            line.add("landlock error: ");
            break;
    }
    write_inner(line, plan, f);
}

Result<void> confine(const Policy& policy) {
    Plan p = plan(policy);
    Failure f = apply(p);
    if (f) return std::unexpected(failure_error(p, f));
    return {};
}

}  // namespace vestrion::landlock

namespace vestrion {

Result<void> confine_current_process(const Policy& policy) {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return std::unexpected(VestrionError(ConfinementError(ConfinementError::Landlock{
            "prctl(PR_SET_NO_NEW_PRIVS): " + SystemError::last().message()})));
    return landlock::confine(policy);
}

Result<std::uint32_t> landlock_abi_version() {
    auto v = landlock::abi_version();
    if (!v) return std::unexpected(VestrionError(std::move(v.error())));
    return *v;
}

}  // namespace vestrion
