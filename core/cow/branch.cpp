#include "core/cow/branch.hpp"

#include "core/cow/overlayfs.hpp"
#include "core/cow/paths.hpp"
#include "core/cow/tessarin.hpp"

namespace vestrion::cow {

namespace {

VestrionError branch_error(BranchError e) { return VestrionError(SandboxError(std::move(e))); }

// The overlay's storage follows the layer's rule: outside every fs_write tree and apart from W,
// so that the command can write neither W's real tree nor an upper tree a commit carries into W.
std::expected<Path, BranchError> overlay_storage(const Policy& p) {
    if (!p.fs_storage) return cow::default_cow_storage(p, *p.workdir, "vestrion-overlay");
    if (auto checked = cow::check_cow_paths(p, *p.workdir, *p.fs_storage); !checked)
        return std::unexpected(std::move(checked.error()));
    return *p.fs_storage;
}

}  // namespace

std::optional<std::string> refuse_backend_combination(const Policy& p) {
    // The virtual root's handlers act in our mount namespace: they would write the real W.
    if (p.fs_isolation != FsIsolation::None && p.chroot)
        return "a virtual root (chroot) together with a copy-on-write working directory on an "
               "overlay or outside filesystem (fs_isolation)";
    // Nor do they keep the supervisor's branch: a change beneath the root would reach W itself.
    if (p.workdir && p.chroot)
        return "a virtual root (chroot) together with a copy-on-write working directory kept by "
               "the supervisor (workdir)";
    return std::nullopt;
}

Result<std::unique_ptr<CowBranch>> make_backend(const Policy& p) {
    if (!p.workdir) return std::unique_ptr<CowBranch>();
    switch (p.fs_isolation) {
        case FsIsolation::None:
            return std::unique_ptr<CowBranch>();
        case FsIsolation::OverlayFs: {
            auto storage = overlay_storage(p);
            if (!storage) return std::unexpected(branch_error(std::move(storage.error())));
            auto branch = OverlayBranch::create(*p.workdir, *storage);
            if (!branch) return std::unexpected(branch_error(std::move(branch.error())));
            return std::unique_ptr<CowBranch>(std::move(*branch));
        }
        case FsIsolation::Tessarin: {
            auto branch = TessarinBranch::create(*p.workdir);
            if (!branch) return std::unexpected(branch_error(std::move(branch.error())));
            return std::unique_ptr<CowBranch>(std::move(*branch));
        }
    }
    return std::unique_ptr<CowBranch>();
}

Policy child_policy_under_backend(const Policy& p) {
    Policy child = p.clone();
    // The command may change W, as under the supervisor's layer. Under the overlay Landlock opens
    // W after the mount, so the right lands on the merged view only; on the outside filesystem
    // the filesystem itself sends the writes to the branch.
    if (p.workdir && p.fs_isolation != FsIsolation::None)
        child.fs_writable.push_back(std::filesystem::absolute(*p.workdir));
    return child;
}

}  // namespace vestrion::cow
