// The C calls of fan-out: a template made from two C functions, its fork, and the reduce step.
#include <functional>
#include <memory>
#include <vector>

#include "core/sandbox.hpp"
#include "ffi/convert.hpp"
#include "ffi/handles.hpp"
#include "vestrion.h"

struct vestrion_sandbox {
    std::unique_ptr<vestrion::Sandbox> sandbox;
};

struct vestrion_fork_result {
    std::vector<std::unique_ptr<vestrion::Sandbox>> clones;
};

extern "C" {

vestrion_sandbox_t* vestrion_new_with_fns(const vestrion_policy_t* policy, void (*init)(void),
                                          void (*work)(std::uint32_t)) noexcept {
    if (!policy || !init || !work) return nullptr;
    auto sandbox = vestrion::Sandbox::new_with_fns(
        policy->policy, [init] { init(); },
        std::make_shared<const std::function<void(std::uint32_t)>>(
            [work](std::uint32_t index) { work(index); }));
    if (!sandbox) return nullptr;
    return new vestrion_sandbox{std::move(*sandbox)};
}

vestrion_fork_result_t* vestrion_fork(vestrion_sandbox_t* s, std::uint32_t n) noexcept {
    if (!s) return nullptr;
    auto clones = s->sandbox->fork(n);
    if (!clones) return nullptr;
    return new vestrion_fork_result{std::move(*clones)};
}

std::uint32_t vestrion_fork_result_count(const vestrion_fork_result_t* r) noexcept {
    return r ? static_cast<std::uint32_t>(r->clones.size()) : 0;
}

int vestrion_fork_result_pid(const vestrion_fork_result_t* r, std::uint32_t i) noexcept {
    if (!r || i >= r->clones.size()) return 0;
    return r->clones[i]->pid().value_or(0);
}

void vestrion_fork_result_free(vestrion_fork_result_t* r) noexcept { delete r; }

vestrion_result_t* vestrion_reduce(vestrion_fork_result_t* clones, const vestrion_policy_t* policy,
                                   const char* const* argv, std::uint32_t argc) noexcept {
    if (!clones || !policy || !argv) return nullptr;
    // From here on the clones are this call's, whatever happens.
    std::unique_ptr<vestrion_fork_result> owned(clones);
    auto args = vestrion::ffi::read_argv(argv, argc);
    if (!args) return nullptr;
    // Only lends its policy: reduce spawns a sandbox of its own for the command.
    auto lender = vestrion::Sandbox::create(policy->policy);
    if (!lender) return nullptr;
    auto result = (*lender)->reduce(*args, owned->clones);
    return result ? vestrion::ffi::box(std::move(*result)) : nullptr;
}

int vestrion_wait(vestrion_sandbox_t* s) noexcept {
    if (!s) return -1;
    auto result = s->sandbox->wait();
    if (!result || result->status.kind != vestrion::ExitStatus::Kind::Code) return -1;
    return result->status.value;
}

void vestrion_sandbox_free(vestrion_sandbox_t* s) noexcept { delete s; }

}  // extern "C"
