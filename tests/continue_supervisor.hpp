// A stand-in supervisor for tests of the child sequence: it answers every routed call with
// "continue", on a thread of its own, until stopped or the listener goes away.
#pragma once

#include <atomic>
#include <thread>

#include "core/sys/fd.hpp"

namespace vestrion::test {

class ContinueSupervisor {
public:
    explicit ContinueSupervisor(UniqueFd listener);
    ~ContinueSupervisor();
    ContinueSupervisor(const ContinueSupervisor&) = delete;
    ContinueSupervisor& operator=(const ContinueSupervisor&) = delete;

    int answered() const { return answered_.load(); }

private:
    void loop();

    UniqueFd listener_;
    UniqueFd stop_;
    std::atomic<int> answered_{0};
    std::thread thread_;
};

}  // namespace vestrion::test
