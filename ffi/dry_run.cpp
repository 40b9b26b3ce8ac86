// The C calls of dry runs: the run and the accessors of its result.
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/sandbox.hpp"
#include "core/text.hpp"
#include "ffi/convert.hpp"
#include "ffi/handles.hpp"
#include "vestrion.h"

struct vestrion_dry_run_result {
    vestrion::DryRunResult result;
};

namespace {

const vestrion::Change* change_at(const vestrion_dry_run_result_t* r, std::size_t i) {
    if (!r || i >= r->result.changes.size()) return nullptr;
    return &r->result.changes[i];
}

const std::uint8_t* bytes_of(const std::optional<std::string>& bytes, std::size_t* len) {
    if (!len) return nullptr;
    *len = bytes ? bytes->size() : 0;
    return bytes ? reinterpret_cast<const std::uint8_t*>(bytes->data()) : nullptr;
}

}  // namespace

extern "C" {

vestrion_dry_run_result_t* vestrion_dry_run(const vestrion_policy_t* policy,
                                            const char* const* argv, std::uint32_t argc) noexcept {
    auto args = vestrion::ffi::read_argv(argv, argc);
    if (!policy || !args) return nullptr;
    auto result = vestrion::Sandbox::dry_run(policy->policy, *args);
    if (!result) return nullptr;
    return new vestrion_dry_run_result{std::move(*result)};
}

bool vestrion_dry_run_result_success(const vestrion_dry_run_result_t* r) noexcept {
    return r && r->result.status.success();
}

int vestrion_dry_run_result_exit_code(const vestrion_dry_run_result_t* r) noexcept {
    if (!r || r->result.status.kind != vestrion::ExitStatus::Kind::Code) return -1;
    return r->result.status.value;
}

const std::uint8_t* vestrion_dry_run_result_stdout_bytes(const vestrion_dry_run_result_t* r,
                                                         std::size_t* len) noexcept {
    return r ? bytes_of(r->result.stdout_bytes, len) : nullptr;
}

const std::uint8_t* vestrion_dry_run_result_stderr_bytes(const vestrion_dry_run_result_t* r,
                                                         std::size_t* len) noexcept {
    return r ? bytes_of(r->result.stderr_bytes, len) : nullptr;
}

std::size_t vestrion_dry_run_result_changes_len(const vestrion_dry_run_result_t* r) noexcept {
    return r ? r->result.changes.size() : 0;
}

char vestrion_dry_run_result_change_kind(const vestrion_dry_run_result_t* r, std::size_t i) noexcept {
    const vestrion::Change* change = change_at(r, i);
    if (!change) return 0;
    switch (change->kind) {
        case vestrion::ChangeKind::Added:
            return 'A';
        case vestrion::ChangeKind::Modified:
            return 'M';
        case vestrion::ChangeKind::Deleted:
            return 'D';
    }
    return 0;
}

char* vestrion_dry_run_result_change_path(const vestrion_dry_run_result_t* r, std::size_t i) noexcept {
    const vestrion::Change* change = change_at(r, i);
    if (!change) return nullptr;
    std::string text = vestrion::text::lossy_utf8(change->path.native());
    char* copy = static_cast<char*>(std::malloc(text.size() + 1));
    if (!copy) std::abort();
    std::memcpy(copy, text.c_str(), text.size() + 1);
    return copy;
}

void vestrion_dry_run_result_free(vestrion_dry_run_result_t* r) noexcept { delete r; }

}  // extern "C"
