#include "core/policy_fn.hpp"

#include <pthread.h>
#include <signal.h>

#include <cxxabi.h>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/sys/proc.hpp"
#include "core/text.hpp"

namespace vestrion {

// --- PolicyContext ---

PolicyContext::PolicyContext()
    : PolicyContext(std::make_shared<SharedLivePolicy>(), LivePolicy{},
                    std::make_shared<PidNetworks>(), std::make_shared<DeniedPaths>()) {}

PolicyContext::PolicyContext(std::shared_ptr<SharedLivePolicy> live, LivePolicy initial,
                             std::shared_ptr<PidNetworks> pid_network,
                             std::shared_ptr<DeniedPaths> denied_paths)
    : live_(std::move(live)),
      initial_(std::move(initial)),
      pid_network_(std::move(pid_network)),
      denied_paths_(std::move(denied_paths)) {}

void PolicyContext::deny_path(const std::string& path) {
    std::string entry = text::normalize_path(path);
    std::unique_lock lock(denied_paths_->lock);
    denied_paths_->paths.insert(std::move(entry));
}

void PolicyContext::allow_path(const std::string& path) {
    std::string entry = text::normalize_path(path);
    std::unique_lock lock(denied_paths_->lock);
    denied_paths_->paths.erase(entry);
}

std::expected<void, std::string> PolicyContext::grant_network(
    const std::vector<IpAddr>& addresses) {
    if (restricted_.contains("allowed_ips")) return std::unexpected(std::string("allowed_ips"));
    std::unique_lock lock(live_->lock);
    // A grant never widens the live set beyond what the sandbox started with.
    for (const IpAddr& address : addresses)
        if (initial_.allowed_ips.contains(address)) live_->value.allowed_ips.insert(address);
    return {};
}

void PolicyContext::restrict_network(const std::vector<IpAddr>& addresses) {
    restricted_.insert("allowed_ips");
    std::unique_lock lock(live_->lock);
    live_->value.allowed_ips = std::set<IpAddr>(addresses.begin(), addresses.end());
    live_->value.allowed_ips_restricted = true;
}

void PolicyContext::restrict_max_memory(std::uint64_t bytes) {
    restricted_.insert("max_memory_bytes");
    std::unique_lock lock(live_->lock);
    live_->value.max_memory_bytes = bytes;
}

void PolicyContext::restrict_max_processes(std::uint32_t count) {
    restricted_.insert("max_processes");
    std::unique_lock lock(live_->lock);
    live_->value.max_processes = count;
}

void PolicyContext::restrict_pid_network(std::uint32_t pid, const std::vector<IpAddr>& addresses) {
    // Events name threads; the entry covers the whole process, so it is keyed by its group.
    std::uint32_t process = sys::proc::thread_group(pid).value_or(pid);
    std::set<IpAddr> allowed(addresses.begin(), addresses.end());
    std::unique_lock lock(pid_network_->lock);
    pid_network_->networks[process] = std::move(allowed);
}

namespace policy_fn {

// The callback thread's queue, with one receiver. Events of held calls go ahead of the others,
// which nobody waits on; those are bounded, so a slow or stuck callback never grows the caller's
// memory without end: beyond the bound they are dropped.
class EventChannel {
  public:
    bool send(PolicyEvent event) {
        {
            std::lock_guard lock(mutex_);
            if (receiver_gone_ || closed_) return false;
            auto& queue = event.reply ? held_ : plain_;
            if (queue.size() >= MAX_QUEUED_EVENTS) return false;
            queue.push_back(std::move(event));
        }
        ready_.notify_one();
        return true;
    }

    // No event is delivered after this: the run they came from has returned.
    void close() {
        std::deque<PolicyEvent> held, plain;
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
            held.swap(held_);
            plain.swap(plain_);
        }
        ready_.notify_one();
    }

    // The next event; none once the channel is closed.
    std::optional<PolicyEvent> receive() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !held_.empty() || !plain_.empty() || closed_; });
        auto& queue = held_.empty() ? plain_ : held_;
        if (queue.empty()) return std::nullopt;
        PolicyEvent event = std::move(queue.front());
        queue.pop_front();
        return event;
    }

    void drop_receiver() {
        std::deque<PolicyEvent> held, plain;
        {
            std::lock_guard lock(mutex_);
            receiver_gone_ = true;
            held.swap(held_);  // their reply senders go with them: held calls stop waiting
            plain.swap(plain_);
        }
    }

    // A verdict that came too late: until the callback returns from that call, later held calls
    // do not wait for it either.
    void mark_stalled(std::shared_future<Verdict> late) {
        std::lock_guard lock(mutex_);
        stalled_ = std::move(late);
    }

    bool stalled() {
        std::lock_guard lock(mutex_);
        if (!stalled_.valid()) return false;
        if (stalled_.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return true;
        stalled_ = {};
        return false;
    }

  private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<PolicyEvent> held_;
    std::deque<PolicyEvent> plain_;
    std::shared_future<Verdict> stalled_;
    bool closed_ = false;
    bool receiver_gone_ = false;
};

PolicyEventSender::PolicyEventSender(std::shared_ptr<EventChannel> channel)
    : channel_(std::move(channel)) {}

PolicyEventSender::~PolicyEventSender() { channel_->close(); }

bool PolicyEventSender::send(PolicyEvent event) const { return channel_->send(std::move(event)); }

void PolicyEventSender::close() const { channel_->close(); }

void PolicyEventSender::mark_stalled(std::shared_future<Verdict> late) const {
    channel_->mark_stalled(std::move(late));
}

bool PolicyEventSender::stalled() const { return channel_->stalled(); }

namespace {

// Closes the queue however the thread ends, a pthread_exit in the callback included: later
// events are refused at once, and held calls stop waiting.
struct ReceiverGuard {
    std::shared_ptr<EventChannel> channel;
    ~ReceiverGuard() { channel->drop_receiver(); }
};

struct CallbackThread {
    std::shared_ptr<EventChannel> channel;
    std::shared_ptr<const PolicyFn> callback;
    PolicyContext context;

    // The unwinding of pthread_exit carries no exception object, so the sanitizer takes the
    // catch of it below for a reference bound to null; the C library's own idiom is meant.
    __attribute__((no_sanitize_undefined)) void operator()() {
        ReceiverGuard guard{channel};
        // Signals are the caller's: none may land on this thread.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        while (auto event = channel->receive()) {
            std::optional<Verdict> verdict;
            // A callback that throws gives no verdict (the supervisor's answer stands); it must
            // not end the caller's process. The unwinding of pthread_exit or of a cancellation
            // must go on: swallowed, the C library aborts the process.
            try {
                verdict = (*callback)(std::move(event->event), context);
            } catch (abi::__forced_unwind&) {
                throw;
            } catch (...) {
            }
            if (event->reply && verdict) event->reply->set_value(*verdict);
        }
    }
};

}  // namespace

Result<std::shared_ptr<PolicyEventSender>> spawn_policy_fn(
    std::shared_ptr<const PolicyFn> callback, std::shared_ptr<SharedLivePolicy> live,
    LivePolicy initial, std::shared_ptr<PidNetworks> pid_network,
    std::shared_ptr<DeniedPaths> denied_paths) {
    auto channel = std::make_shared<EventChannel>();
    CallbackThread body{channel, std::move(callback),
                        PolicyContext(std::move(live), std::move(initial), std::move(pid_network),
                                      std::move(denied_paths))};
    try {
        std::thread thread(std::move(body));
        // Linux refuses thread names over 15 bytes, so "vestrion-policy-fn" would not be set.
        pthread_setname_np(thread.native_handle(), "vestrion-policy");
        thread.detach();
    } catch (const std::system_error& e) {
        return std::unexpected(VestrionError(SandboxError(
            SandboxError::Io{SystemError::from_errno(e.code().value())})));
    }
    return std::make_shared<PolicyEventSender>(std::move(channel));
}

}  // namespace policy_fn

}  // namespace vestrion
