#include "core/child_rights.hpp"

#include <fcntl.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstdio>
#include <string>
#include <thread>

#include "core/sys/fd.hpp"
#include "core/sys/syscall.hpp"

namespace vestrion::child_rights {

namespace sc = sys::syscall;

namespace {

// The numbers of one status line ("Uid:\t0\t0\t0\t0"), or nothing when the line is missing.
std::optional<std::vector<std::uint32_t>> status_numbers(std::string_view status,
                                                         std::string_view key) {
    std::size_t at = 0;
    while (!status.substr(at).starts_with(key)) {
        at = status.find('\n', at);
        if (at == std::string_view::npos) return std::nullopt;
        ++at;
    }
    std::string_view line = status.substr(at + key.size());
    line = line.substr(0, line.find('\n'));
    std::vector<std::uint32_t> numbers;
    while (true) {
        std::size_t start = line.find_first_not_of(" \t");
        if (start == std::string_view::npos) return numbers;
        line.remove_prefix(start);
        std::uint32_t value = 0;
        auto [end, ec] = std::from_chars(line.data(), line.data() + line.size(), value);
        if (ec != std::errc()) return std::nullopt;
        numbers.push_back(value);
        line.remove_prefix(static_cast<std::size_t>(end - line.data()));
    }
}

int error_of(long ret) noexcept {
    return sc::is_error(ret) ? static_cast<int>(-ret) : 0;
}

// Takes `creds` and drops every capability, for the calling thread only. 0 or an error number.
int take_rights(const Credentials& creds) {
    // A change of ids marks the whole process undumpable; the caller's setting is put back.
    long dumpable = sc::raw(SYS_prctl, PR_GET_DUMPABLE);

    long count = sc::raw(SYS_getgroups, 0, 0);
    if (int e = error_of(count)) return e;
    std::vector<gid_t> current(static_cast<std::size_t>(count));
    count = sc::raw(SYS_getgroups, count, reinterpret_cast<long>(current.data()));
    if (int e = error_of(count)) return e;
    current.resize(static_cast<std::size_t>(count));
    const bool same_groups = std::equal(current.begin(), current.end(), creds.groups.begin(),
                                        creds.groups.end());
    // Setting the groups needs CAP_SETGID even when nothing changes: only when they differ.
    if (!same_groups)
        if (int e = error_of(sc::raw(SYS_setgroups, static_cast<long>(creds.groups.size()),
                                     reinterpret_cast<long>(creds.groups.data()))))
            return e;
    const auto& g = creds.gids;
    const auto& u = creds.uids;
    if (int e = error_of(sc::raw(SYS_setresgid, g[0], g[1], g[2]))) return e;
    sc::raw(SYS_setfsgid, g[3]);
    if (int e = error_of(sc::raw(SYS_setresuid, u[0], u[1], u[2]))) return e;
    sc::raw(SYS_setfsuid, u[3]);

    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3]{};
    if (int e = error_of(sc::raw(SYS_capset, reinterpret_cast<long>(&header),
                                 reinterpret_cast<long>(none))))
        return e;
    long ambient = sc::raw(SYS_prctl, PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    if (ambient != -EINVAL)
        if (int e = error_of(ambient)) return e;
    if (dumpable >= 0 && sc::raw(SYS_prctl, PR_GET_DUMPABLE) != dumpable)
        sc::raw(SYS_prctl, PR_SET_DUMPABLE, dumpable);

    // setfs[ug]id report no failure: read every id back.
    uid_t r, e, s;
    gid_t gr, ge, gs;
    if (error_of(sc::raw(SYS_getresuid, reinterpret_cast<long>(&r), reinterpret_cast<long>(&e),
                         reinterpret_cast<long>(&s))) ||
        error_of(sc::raw(SYS_getresgid, reinterpret_cast<long>(&gr), reinterpret_cast<long>(&ge),
                         reinterpret_cast<long>(&gs))))
        return EPERM;
    const long unchanged = -1;
    if (r != u[0] || e != u[1] || s != u[2] || gr != g[0] || ge != g[1] || gs != g[2] ||
        static_cast<std::uint32_t>(sc::raw(SYS_setfsuid, unchanged)) != u[3] ||
        static_cast<std::uint32_t>(sc::raw(SYS_setfsgid, unchanged)) != g[3])
        return EPERM;
    __user_cap_data_struct held[_LINUX_CAPABILITY_U32S_3]{};
    if (int err = error_of(sc::raw(SYS_capget, reinterpret_cast<long>(&header),
                                   reinterpret_cast<long>(held))))
        return err;
    for (const auto& word : held)
        if (word.effective || word.permitted || word.inheritable) return EPERM;
    return 0;
}

}  // namespace

std::optional<Credentials> parse_credentials(std::string_view status) {
    auto uids = status_numbers(status, "Uid:");
    auto gids = status_numbers(status, "Gid:");
    auto groups = status_numbers(status, "Groups:");
    if (!uids || !gids || !groups || uids->size() != 4 || gids->size() != 4) return std::nullopt;
    Credentials creds;
    std::copy(uids->begin(), uids->end(), creds.uids.begin());
    std::copy(gids->begin(), gids->end(), creds.gids.begin());
    creds.groups = std::move(*groups);
    return creds;
}

bool holds_capabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct held[_LINUX_CAPABILITY_U32S_3]{};
    if (sc::is_error(sc::raw(SYS_capget, reinterpret_cast<long>(&header),
                             reinterpret_cast<long>(held))))
        return true;  // unknown: assume the worst, and check
    for (const auto& word : held)
        if (word.effective) return true;
    return false;
}

std::optional<Credentials> credentials_of(std::uint32_t tid) {
    char path[48];
    std::snprintf(path, sizeof path, "/proc/%u/status", tid);
    UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd) return std::nullopt;
    std::string text;
    char buf[4096];
    while (true) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return parse_credentials(text);
}

// One thread with one set of credentials; serves calls until it is dropped.
class ChildRights::Worker {
  public:
    explicit Worker(Credentials creds) : creds_(std::move(creds)) {
        // The worker must see no signal meant for the caller's threads.
        sigset_t all, previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        thread_ = std::thread([this] { serve(); });
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    ~Worker() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    const Credentials& credentials() const { return creds_; }

    SysResult<void> run(const std::function<void()>& call) {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [this] { return ready_; });
        if (setup_error_) return std::unexpected(SystemError::from_errno(setup_error_));
        call_ = &call;
        wake_.notify_all();
        wake_.wait(lock, [this] { return call_ == nullptr; });
        return {};
    }

  private:
    void serve() {
        int error = take_rights(creds_);
        std::unique_lock lock(mutex_);
        ready_ = true;
        setup_error_ = error;
        wake_.notify_all();
        while (true) {
            wake_.wait(lock, [this] { return stopping_ || call_ != nullptr; });
            if (stopping_) return;
            const std::function<void()>* call = call_;
            lock.unlock();
            (*call)();
            lock.lock();
            call_ = nullptr;
            wake_.notify_all();
        }
    }

    const Credentials creds_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool ready_ = false;
    int setup_error_ = 0;
    bool stopping_ = false;
    const std::function<void()>* call_ = nullptr;
    std::thread thread_;
};

ChildRights::ChildRights() = default;
ChildRights::~ChildRights() = default;

SysResult<void> ChildRights::run(const Credentials& creds, const std::function<void()>& call) {
    std::lock_guard lock(mutex_);
    if (!worker_ || worker_->credentials() != creds) {
        worker_.reset();
        worker_ = std::make_unique<Worker>(creds);
    }
    return worker_->run(call);
}

}  // namespace vestrion::child_rights
