#include "core/cow/paths.hpp"

#include <unistd.h>

#include <filesystem>
#include <optional>

#include "core/landlock.hpp"
#include "core/text.hpp"

namespace vestrion::cow {

namespace {

Path normal(const Path& p) {
    std::error_code ec;
    Path out = std::filesystem::weakly_canonical(std::filesystem::absolute(p), ec);
    return ec ? p.lexically_normal() : out;
}

// `outer` is `inner` or one of its ancestors.
bool contains(const Path& outer, const Path& inner) {
    auto o = outer.begin(), i = inner.begin();
    for (; o != outer.end(); ++o, ++i) {
        if (o->empty() && std::next(o) == outer.end()) break;  // a trailing slash
        if (i == inner.end() || *o != *i) return false;
    }
    return true;
}

BranchError conflict(const Path& a, const char* relation, const Path& b) {
    return BranchError(BranchError::Conflict{text::quoted(a.native()) + relation +
                                             text::quoted(b.native())});
}

}  // namespace

std::expected<void, BranchError> check_cow_paths(const Policy& policy, const Path& workdir,
                                                 const Path& storage) {
    const Path w = normal(workdir), s = normal(storage);
    for (const auto& entry : policy.fs_writable) {
        // As Landlock takes it: a relative entry from the command's working directory.
        const Path e = landlock::entry_path(policy, entry);
        if (contains(e, w) && e != w)
            return std::unexpected(conflict(e, " (fs_write) contains the working directory ", w));
        if (contains(e, s))
            return std::unexpected(conflict(e, " (fs_write) contains the copy-on-write storage ", s));
    }
    if (contains(w, s))
        return std::unexpected(conflict(s, " (copy-on-write storage) lies inside the working directory ", w));
    if (contains(s, w))
        return std::unexpected(conflict(w, " (working directory) lies inside the copy-on-write storage ", s));
    return {};
}

std::expected<Path, BranchError> default_cow_storage(const Policy& policy, const Path& workdir,
                                                     const std::string& base_name) {
    std::error_code ec;
    Path temp = std::filesystem::temp_directory_path(ec);
    if (ec) temp = "/tmp";
    const std::string name =
        base_name.empty() ? "vestrion-cow-" + std::to_string(::getpid()) : base_name;
    std::optional<BranchError> first_refusal;
    for (const Path& dir : {temp, Path("/var/tmp"), Path("/dev/shm")}) {
        Path base = dir / name;
        auto checked = check_cow_paths(policy, workdir, base);
        if (checked) return base;
        if (!first_refusal) first_refusal = std::move(checked.error());
    }
    return std::unexpected(std::move(*first_refusal));
}

namespace {

Policy child_policy_under(const Policy& policy, const Path& w) {
    Policy child = policy.clone();
    child.derived.renew();  // a slot of its own, for what is prepared from these rules
    child.fs_writable.clear();
    for (const auto& entry : policy.fs_writable) {
        if (contains(w, landlock::entry_path(policy, entry)))
            child.fs_readable.push_back(entry);
        else
            child.fs_writable.push_back(entry);
    }
    // Ours, not the command's: relative ones would be taken from its working directory.
    child.fs_readable.push_back(w);
    return child;
}

struct LayerRules {
    Policy source;  // the policy they were made from (with a slot of its own)
    Path workdir;
    std::shared_ptr<const Policy> rules;
};

}  // namespace

std::shared_ptr<const Policy> child_rules_under_cow(const Policy& policy, const Path& w) {
    auto kept = std::static_pointer_cast<const LayerRules>(
        policy.derived.get(DerivedSlot::Kind::LayerRules));
    if (kept && kept->workdir == w && kept->source == policy) return kept->rules;
    auto made = std::make_shared<LayerRules>();
    made->source = policy;
    made->source.derived.detach();
    made->workdir = w;
    made->rules = std::make_shared<const Policy>(child_policy_under(policy, w));
    policy.derived.set(made, DerivedSlot::Kind::LayerRules);
    return made->rules;
}

Path readable_upper(const Path& upper) { return normal(upper); }

}  // namespace vestrion::cow
