// The supervisor's copy-on-write layer over the working directory. Only the part the dispatch
// reads exists for now; the layer's operations come with the copy-on-write handlers.
#pragma once

namespace vestrion::cow {

class SeccompCowBranch {
public:
    // Set by every operation that may change the view, never cleared: until then the read-side
    // rules leave calls to the kernel.
    bool dirty() const { return dirty_; }
    void mark_dirty() { dirty_ = true; }

private:
    bool dirty_ = false;
};

}  // namespace vestrion::cow
