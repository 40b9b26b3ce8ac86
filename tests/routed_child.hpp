// A forked child that routes chosen system calls to a listener held by the test, then runs a
// body and reports its text: the notification primitives can be driven one call at a time.
#pragma once

#include <linux/seccomp.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "core/sys/fd.hpp"
#include "tests/support.hpp"

namespace vestrion::test {

class RoutedChild {
  public:
    RoutedChild(std::vector<int> routed, std::function<std::string()> body);
    // Kills and reaps a child that still runs.
    ~RoutedChild();
    RoutedChild(const RoutedChild&) = delete;
    RoutedChild& operator=(const RoutedChild&) = delete;

    pid_t pid() const { return pid_; }
    int listener() const { return listener_.get(); }
    UniqueFd take_listener() { return std::move(listener_); }

    // The next notification, waiting for it as the supervisor does (poll, then receive).
    seccomp_notif next();
    // The body's text and the child's wait status, once it has ended.
    ChildReport finish();
    // Kills the child and reaps it.
    void kill();

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
    UniqueFd listener_;
    UniqueFd report_;
};

}  // namespace vestrion::test
