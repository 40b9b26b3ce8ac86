#include "core/context/prepared.hpp"

#include <cstring>
#include <unordered_map>
#include <utility>

#include "core/context/filter_lists.hpp"

extern char** environ;  // read in the parent: the command inherits a copy

namespace vestrion::context {

namespace {

constexpr const char* DEFAULT_SEARCH_PATH = "/bin:/usr/bin";

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

Result<std::shared_ptr<const Filters>> assemble(const Policy& policy, bool nested) {
    auto filters = std::make_shared<Filters>();
    std::vector<std::uint32_t> denied = deny_syscall_numbers(policy);
    auto deny_only = seccomp::bpf::assemble_filter({}, denied, arg_filters(policy, false));
    if (!deny_only) return std::unexpected(VestrionError(ConfinementError(deny_only.error())));
    filters->deny = std::move(*deny_only);
    if (nested) return filters;
    std::vector<std::uint32_t> routed = notif_syscalls(policy);
    auto with_routes = seccomp::bpf::assemble_filter(routed, denied, arg_filters(policy, true));
    if (!with_routes) return std::unexpected(VestrionError(ConfinementError(with_routes.error())));
    filters->notify = std::move(*with_routes);
    return filters;
}

}  // namespace

std::shared_ptr<const Environment> Environment::of(const Policy& policy) {
    auto env = std::make_shared<Environment>();
    env->clean = policy.clean_env;
    std::vector<std::pair<std::string, std::string>> vars;
    std::unordered_map<std::string, std::size_t> index;
    auto set = [&](const std::string& name, const std::string& value) {
        if (name.empty() || name.find('=') != std::string::npos || has_nul(name) ||
            has_nul(value)) {
            env->invalid = true;
            return;
        }
        auto [it, inserted] = index.try_emplace(name, vars.size());
        if (inserted)
            vars.emplace_back(name, value);
        else
            vars[it->second].second = value;
    };
    if (!policy.clean_env) {
        for (char** e = environ; e && *e; ++e) {
            std::string_view entry(*e);
            env->seen.emplace_back(entry);
            std::size_t eq = entry.find('=');
            std::string name(entry.substr(0, eq));
            std::string value(eq == std::string_view::npos ? "" : entry.substr(eq + 1));
            if (index.try_emplace(name, vars.size()).second) vars.emplace_back(name, value);
        }
    }
    for (const auto& [name, value] : policy.env) set(name, value);
    if (policy.gpu_devices && !policy.gpu_devices->empty()) {
        std::string ids;
        for (std::uint32_t id : *policy.gpu_devices) {
            if (!ids.empty()) ids += ',';
            ids += std::to_string(id);
        }
        set("CUDA_VISIBLE_DEVICES", ids);
        set("ROCR_VISIBLE_DEVICES", ids);
    }

    std::string path = DEFAULT_SEARCH_PATH;
    env->entries.reserve(vars.size());
    for (const auto& [name, value] : vars) {
        env->entries.push_back(name + "=" + value);
        if (name == "PATH") path = value;
    }
    for (auto& entry : env->entries) env->envp.push_back(entry.data());
    env->envp.push_back(nullptr);

    std::size_t start = 0;
    while (true) {
        std::size_t colon = path.find(':', start);
        std::string dir = path.substr(start, colon - start);
        env->search_dirs.push_back(dir.empty() ? "." : dir);
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    return env;
}

bool Environment::current() const noexcept {
    if (clean) return true;
    std::size_t i = 0;
    for (char** e = environ; e && *e; ++e, ++i)
        if (i == seen.size() || std::strcmp(*e, seen[i].c_str()) != 0) return false;
    return i == seen.size();
}

Result<std::shared_ptr<const Prepared>> prepared_for(const Policy& policy, bool nested) {
    auto kept = std::static_pointer_cast<const Prepared>(policy.derived.get());
    if (kept && kept->nested == nested && kept->source == policy) {
        if (kept->environment->current()) return kept;
        // Our environment changed since: the rest still holds.
        auto renewed = std::make_shared<Prepared>(*kept);
        renewed->source.derived.detach();
        renewed->environment = Environment::of(policy);
        policy.derived.set(renewed);
        return renewed;
    }
    auto filters = assemble(policy, nested);
    if (!filters) return std::unexpected(std::move(filters.error()));
    auto made = std::make_shared<Prepared>();
    made->source = policy;
    // The copy inside must not hold the slot that holds it.
    made->source.derived.detach();
    made->nested = nested;
    made->filters = std::move(*filters);
    made->landlock = std::make_shared<const landlock::Plan>(landlock::plan(policy));
    made->environment = Environment::of(policy);
    policy.derived.set(made);
    return made;
}

}  // namespace vestrion::context
