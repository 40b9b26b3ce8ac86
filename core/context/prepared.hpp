// What a spawn prepares from its policy alone: both filter programs, the Landlock plan and the
// environment the command starts with. Made once per policy and kept in the policy's derived
// slot, where every spawn of that policy and of its copies finds it, concurrent ones included;
// the child reads it, never writes it, until its exec.
//
// The Landlock plan holds paths, not opened files: each spawn's child opens them again, so a
// directory deleted and made again is granted as it is now, never as it was.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/error.hpp"
#include "core/landlock.hpp"
#include "core/policy.hpp"
#include "core/seccomp/bpf.hpp"

namespace vestrion::context {

struct Filters {
    seccomp::bpf::Program notify;  // with the routed calls; empty for a nested spawn
    seccomp::bpf::Program deny;    // the program without a listener
};

// The environment as the command would see it after unsetenv of everything (clean_env), setenv
// of each map entry and of the GPU variables, applied to a copy of ours.
struct Environment {
    bool invalid = false;  // setenv would refuse an entry: the child fails there
    std::vector<std::string> entries;
    std::vector<char*> envp;  // into `entries`, null-terminated
    std::vector<std::string> search_dirs;  // PATH split, "." for an empty part
    // Our own environment as it was read, entry by entry; empty with clean_env, which reads none.
    std::vector<std::string> seen;
    bool clean = false;

    static std::shared_ptr<const Environment> of(const Policy& policy);
    // Whether our environment is still the one it was made from.
    bool current() const noexcept;
};

struct Prepared {
    Policy source;  // the policy it was made from (with a slot of its own)
    bool nested = false;
    std::shared_ptr<const Filters> filters;
    std::shared_ptr<const landlock::Plan> landlock;
    std::shared_ptr<const Environment> environment;
};

// What `policy` gives for a spawn, from its derived slot when that was made from an equal policy
// (and, for the environment, from our environment as it is now), else made and kept there.
// Fails as assembling the programs fails.
Result<std::shared_ptr<const Prepared>> prepared_for(const Policy& policy, bool nested);

}  // namespace vestrion::context
