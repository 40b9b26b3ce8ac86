// The dry run: a run whose copy-on-write branches are listed and then discarded, never committed.
#include "core/dry_run.hpp"

#include "core/cow/branch.hpp"
#include "core/sandbox.hpp"

namespace vestrion {

namespace {

// The sandbox's branches, taken from it so that its teardown leaves them alone; discarded on
// every path.
struct TakenBranches {
    std::unique_ptr<cow::CowBranch> backend;
    std::optional<cow::SeccompCowBranch> layer;

    explicit TakenBranches(Sandbox& sandbox)
        : backend(sandbox.take_cow_backend()), layer(sandbox.take_cow_layer()) {}
    TakenBranches(const TakenBranches&) = delete;
    TakenBranches& operator=(const TakenBranches&) = delete;
    ~TakenBranches() {
        if (backend) (void)backend->abort();
        if (layer) layer->abort();
    }

    std::expected<std::vector<Change>, BranchError> changes() const {
        if (backend) return backend->changes();
        if (layer) return layer->changes();
        return std::vector<Change>();
    }
};

}  // namespace

Result<DryRunResult> Sandbox::dry_run(const Policy& policy, std::span<const std::string> command) {
    // Keep: the teardown must neither commit nor abort a branch by itself; we abort them here.
    Policy copy = policy.clone();
    copy.on_exit = BranchAction::Keep;
    copy.on_error = BranchAction::Keep;
    auto sandbox = Sandbox::create(copy);
    if (!sandbox) return std::unexpected(std::move(sandbox.error()));
    // A spawn that fails discards what branches it made.
    if (auto spawned = (*sandbox)->do_spawn(command, true); !spawned) {
        // A child that started is ended first: no handler may touch the layer as it goes.
        if ((*sandbox)->pid()) {
            (void)(*sandbox)->kill();
            (void)(*sandbox)->wait();
        }
        TakenBranches discard(**sandbox);
        return std::unexpected(std::move(spawned.error()));
    }
    auto waited = (*sandbox)->wait();
    TakenBranches branches(**sandbox);
    if (!waited) return std::unexpected(std::move(waited.error()));
    auto changes = branches.changes();
    if (!changes) return std::unexpected(VestrionError(SandboxError(std::move(changes.error()))));
    return DryRunResult{std::move(*changes), std::move(waited->stdout_bytes),
                        std::move(waited->stderr_bytes), waited->status};
}

}  // namespace vestrion
