// The C interface: handles, conversions and nothing else. Every function is noexcept: an error
// becomes NULL or -1, and a failure that cannot be returned (memory exhausted) ends the process.
#include "vestrion.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/landlock.hpp"
#include "core/policy.hpp"
#include "core/sandbox.hpp"
#include "core/text.hpp"
#include "ffi/callback.hpp"
#include "ffi/convert.hpp"
#include "ffi/handles.hpp"

struct vestrion_policy_builder {
    vestrion::PolicyBuilder builder;
};

namespace {

using vestrion::PolicyBuilder;

using vestrion::ffi::box;
using vestrion::ffi::read_argv;
using vestrion::ffi::split_names;
using vestrion::ffi::strict;

vestrion::BranchAction branch_action(std::uint8_t action) {
    switch (action) {
        case 1:
            return vestrion::BranchAction::Abort;
        case 2:
            return vestrion::BranchAction::Keep;
        default:
            return vestrion::BranchAction::Commit;
    }
}

// A setter that proceeds releases the handle it was given and returns a new one.
template <class Change>
vestrion_policy_builder_t* advance(vestrion_policy_builder_t* b, Change change) {
    if (!b) return nullptr;
    PolicyBuilder builder = std::move(b->builder);
    delete b;
    return new vestrion_policy_builder{change(std::move(builder))};
}

template <class Change>
vestrion_policy_builder_t* advance_with(vestrion_policy_builder_t* b, const void* arg,
                                        Change change) {
    if (!b) return nullptr;
    if (!arg) return b;
    return advance(b, change);
}

char* text_copy(const std::optional<std::string>& bytes) {
    if (!bytes || bytes->find('\0') != std::string::npos) return nullptr;
    std::string text = vestrion::text::lossy_utf8(*bytes);
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (!copy) std::abort();
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

const std::uint8_t* bytes_view(const std::optional<std::string>& bytes, std::size_t* len) {
    if (!len) return nullptr;
    if (!bytes) {
        *len = 0;
        return nullptr;
    }
    *len = bytes->size();
    return reinterpret_cast<const std::uint8_t*>(bytes->data());
}

}  // namespace

extern "C" {

vestrion_policy_builder_t* vestrion_policy_builder_new(void) noexcept {
    return new vestrion_policy_builder{vestrion::Policy::builder()};
}

void vestrion_policy_builder_free(vestrion_policy_builder_t* b) noexcept { delete b; }

#define VESTRION_PATH_SETTER(name, method)                                              \
    vestrion_policy_builder_t* vestrion_policy_builder_##name(vestrion_policy_builder_t* b, \
                                                              const char* s) noexcept { \
        return advance_with(b, s, [s](PolicyBuilder pb) { return std::move(pb).method(strict(s)); }); \
    }

VESTRION_PATH_SETTER(fs_write, fs_write)
VESTRION_PATH_SETTER(fs_read, fs_read)
VESTRION_PATH_SETTER(fs_deny, fs_deny)
VESTRION_PATH_SETTER(workdir, workdir)
VESTRION_PATH_SETTER(cwd, cwd)
VESTRION_PATH_SETTER(chroot, chroot)
VESTRION_PATH_SETTER(net_allow_host, net_allow_host)
#undef VESTRION_PATH_SETTER

vestrion_policy_builder_t* vestrion_policy_builder_hostname(vestrion_policy_builder_t* b,
                                                            const char* name) noexcept {
    return advance_with(b, name, [name](PolicyBuilder pb) {
        return std::move(pb).hostname(vestrion::text::lossy_utf8(name));
    });
}

vestrion_policy_builder_t* vestrion_policy_builder_deny_syscalls(vestrion_policy_builder_t* b,
                                                                 const char* names) noexcept {
    return advance_with(b, names, [names](PolicyBuilder pb) {
        return std::move(pb).deny_syscalls(split_names(names));
    });
}

vestrion_policy_builder_t* vestrion_policy_builder_allow_syscalls(vestrion_policy_builder_t* b,
                                                                  const char* names) noexcept {
    return advance_with(b, names, [names](PolicyBuilder pb) {
        return std::move(pb).allow_syscalls(split_names(names));
    });
}

vestrion_policy_builder_t* vestrion_policy_builder_env_var(vestrion_policy_builder_t* b,
                                                           const char* key,
                                                           const char* value) noexcept {
    if (b && (!key || !value)) return b;
    return advance(b, [key, value](PolicyBuilder pb) {
        return std::move(pb).env_var(strict(key), strict(value));
    });
}

vestrion_policy_builder_t* vestrion_policy_builder_cpu_cores(vestrion_policy_builder_t* b,
                                                             const std::uint32_t* cores,
                                                             std::uint32_t n) noexcept {
    if (b && n > 0 && !cores) return b;
    return advance(b, [cores, n](PolicyBuilder pb) {
        return std::move(pb).cpu_cores(n ? std::vector<std::uint32_t>(cores, cores + n)
                                         : std::vector<std::uint32_t>());
    });
}

#define VESTRION_VALUE_SETTER(name, type, expr)                                              \
    vestrion_policy_builder_t* vestrion_policy_builder_##name(vestrion_policy_builder_t* b,  \
                                                              type v) noexcept {             \
        return advance(b, [v](PolicyBuilder pb) { return std::move(pb).name(expr); });       \
    }

VESTRION_VALUE_SETTER(net_bind_port, std::uint16_t, v)
VESTRION_VALUE_SETTER(net_connect_port, std::uint16_t, v)
VESTRION_VALUE_SETTER(max_memory, std::uint64_t, v)
VESTRION_VALUE_SETTER(max_processes, std::uint32_t, v)
VESTRION_VALUE_SETTER(max_open_files, std::uint32_t, v)
VESTRION_VALUE_SETTER(max_cpu, std::uint8_t, v)
VESTRION_VALUE_SETTER(num_cpus, std::uint32_t, v)
VESTRION_VALUE_SETTER(random_seed, std::uint64_t, v)
VESTRION_VALUE_SETTER(on_exit, std::uint8_t, branch_action(v))
VESTRION_VALUE_SETTER(on_error, std::uint8_t, branch_action(v))
VESTRION_VALUE_SETTER(no_raw_sockets, bool, v)
VESTRION_VALUE_SETTER(no_udp, bool, v)
VESTRION_VALUE_SETTER(isolate_ipc, bool, v)
VESTRION_VALUE_SETTER(isolate_signals, bool, v)
VESTRION_VALUE_SETTER(isolate_pids, bool, v)
VESTRION_VALUE_SETTER(no_randomize_memory, bool, v)
VESTRION_VALUE_SETTER(no_huge_pages, bool, v)
VESTRION_VALUE_SETTER(deterministic_dirs, bool, v)
VESTRION_VALUE_SETTER(clean_env, bool, v)
VESTRION_VALUE_SETTER(close_fds, bool, v)
VESTRION_VALUE_SETTER(port_remap, bool, v)
VESTRION_VALUE_SETTER(privileged, bool, v)
#undef VESTRION_VALUE_SETTER

vestrion_policy_builder_t* vestrion_policy_builder_time_start(vestrion_policy_builder_t* b,
                                                              std::uint64_t seconds) noexcept {
    // Times are signed 64-bit nanoseconds here: clamp what does not fit rather than wrap.
    constexpr std::uint64_t max_seconds = INT64_MAX / 1'000'000'000;
    std::int64_t secs = static_cast<std::int64_t>(std::min(seconds, max_seconds));
    return advance(b, [secs](PolicyBuilder pb) {
        return std::move(pb).time_start(vestrion::TimePoint(std::chrono::seconds(secs)));
    });
}

vestrion_policy_builder_t* vestrion_policy_builder_policy_fn(vestrion_policy_builder_t* b,
                                                             vestrion_policy_fn_t fn) noexcept {
    return advance_with(b, reinterpret_cast<const void*>(fn), [fn](PolicyBuilder pb) {
        return std::move(pb).policy_fn(vestrion::ffi::bridge_policy_fn(fn));
    });
}

vestrion_policy_t* vestrion_policy_build(vestrion_policy_builder_t* b, int* err_out) noexcept {
    auto report = [err_out](int value) {
        if (err_out) *err_out = value;
    };
    if (!b) {
        report(-1);
        return nullptr;
    }
    PolicyBuilder builder = std::move(b->builder);
    delete b;
    auto built = std::move(builder).build();
    if (!built) {
        report(-1);
        return nullptr;
    }
    report(0);
    return new vestrion_policy{std::move(*built)};
}

void vestrion_policy_free(vestrion_policy_t* p) noexcept { delete p; }

vestrion_result_t* vestrion_run(const vestrion_policy_t* policy, const char* const* argv,
                                std::uint32_t argc) noexcept {
    auto args = read_argv(argv, argc);
    if (!policy || !args) return nullptr;
    auto result = vestrion::Sandbox::run(policy->policy, *args);
    return result ? box(std::move(*result)) : nullptr;
}

int vestrion_run_interactive(const vestrion_policy_t* policy, const char* const* argv,
                             std::uint32_t argc) noexcept {
    auto args = read_argv(argv, argc);
    if (!policy || !args) return -1;
    auto result = vestrion::Sandbox::run_interactive(policy->policy, *args);
    if (!result || result->status.kind != vestrion::ExitStatus::Kind::Code) return -1;
    return result->status.value;
}

vestrion_handle_t* vestrion_spawn(const vestrion_policy_t* policy, const char* const* argv,
                                  std::uint32_t argc) noexcept {
    auto args = read_argv(argv, argc);
    if (!policy || !args) return nullptr;
    auto sandbox = vestrion::Sandbox::create(policy->policy);
    if (!sandbox) return nullptr;
    if (!(*sandbox)->spawn(*args)) return nullptr;  // the teardown cleans up
    return new vestrion_handle{std::move(*sandbox)};
}

vestrion_result_t* vestrion_handle_wait(vestrion_handle_t* h) noexcept {
    if (!h) return nullptr;
    auto result = h->sandbox->wait();
    if (!result || !h->sandbox->finish()) return nullptr;
    return box(std::move(*result));
}

vestrion_result_t* vestrion_handle_wait_timeout(vestrion_handle_t* h, std::uint64_t ms) noexcept {
    if (!h) return nullptr;
    // A limit beyond any clock's range is no limit.
    constexpr std::uint64_t max_ms = std::uint64_t{1} << 52;
    if (ms == 0 || ms > max_ms) return vestrion_handle_wait(h);
    auto waited = h->sandbox->wait_for(std::chrono::milliseconds(ms));
    if (!waited) {
        (void)h->sandbox->kill();
        return box(vestrion::RunResult{{}, {}, vestrion::ExitStatus::timeout()});
    }
    if (!*waited || !h->sandbox->finish()) return nullptr;
    return box(std::move(**waited));
}

int vestrion_handle_pid(const vestrion_handle_t* h) noexcept {
    if (!h || !h->sandbox->pid()) return 0;
    return *h->sandbox->pid();
}

void vestrion_handle_free(vestrion_handle_t* h) noexcept {
    if (!h) return;
    (void)h->sandbox->kill();
    delete h;
}

int vestrion_confine(const vestrion_policy_t* policy) noexcept {
    if (!policy) return -1;
    return vestrion::confine_current_process(policy->policy) ? 0 : -1;
}

int vestrion_landlock_abi_version(void) noexcept {
    auto version = vestrion::landlock_abi_version();
    return version ? static_cast<int>(*version) : -1;
}

int vestrion_min_landlock_abi(void) noexcept {
    return static_cast<int>(vestrion::landlock::MIN_ABI);
}

int vestrion_result_exit_code(const vestrion_result_t* r) noexcept {
    if (!r || r->result.status.kind != vestrion::ExitStatus::Kind::Code) return -1;
    return r->result.status.value;
}

bool vestrion_result_success(const vestrion_result_t* r) noexcept {
    return r && r->result.status.success();
}

char* vestrion_result_stdout(const vestrion_result_t* r) noexcept {
    return r ? text_copy(r->result.stdout_bytes) : nullptr;
}

char* vestrion_result_stderr(const vestrion_result_t* r) noexcept {
    return r ? text_copy(r->result.stderr_bytes) : nullptr;
}

const std::uint8_t* vestrion_result_stdout_bytes(const vestrion_result_t* r,
                                                 std::size_t* len) noexcept {
    return r ? bytes_view(r->result.stdout_bytes, len) : nullptr;
}

const std::uint8_t* vestrion_result_stderr_bytes(const vestrion_result_t* r,
                                                 std::size_t* len) noexcept {
    return r ? bytes_view(r->result.stderr_bytes, len) : nullptr;
}

void vestrion_result_free(vestrion_result_t* r) noexcept { delete r; }

void vestrion_string_free(char* s) noexcept { std::free(s); }

}  // extern "C"
