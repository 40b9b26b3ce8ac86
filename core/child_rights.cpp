#include "core/child_rights.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <string>

#include "core/sys/fd.hpp"
#include "core/sys/proc.hpp"
#include "core/sys/structs.hpp"
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

namespace {

constexpr std::size_t kGroupsOnStack = 32;

// The calling thread's supplementary groups.
struct Groups {
    std::array<gid_t, kGroupsOnStack> small{};
    std::vector<gid_t> large;
    long count = 0;

    const gid_t* data() const { return large.empty() ? small.data() : large.data(); }
    bool same_as(const std::vector<std::uint32_t>& other) const {
        return std::equal(data(), data() + count, other.begin(), other.end());
    }
    int read() {
        count = sc::raw(SYS_getgroups, static_cast<long>(small.size()),
                        reinterpret_cast<long>(small.data()));
        if (count != -EINVAL) return error_of(count);
        count = sc::raw(SYS_getgroups, 0, 0);
        if (int e = error_of(count)) return e;
        large.resize(static_cast<std::size_t>(count));
        count = sc::raw(SYS_getgroups, count, reinterpret_cast<long>(large.data()));
        return error_of(count);
    }
};

// setfs[ug]id answer with the id held before; an invalid id changes nothing, so -1 reads it.
std::uint32_t fs_id(long nr) {
    return static_cast<std::uint32_t>(sc::raw(nr, -1));
}

using OwnRights = ChildRights::OwnRights;

// The calling thread's own rights, taken back when it leaves the child's.
class Borrowed {
  public:
    explicit Borrowed(OwnRights& own) : own_(own) {}

    // 0, or the error of the step that failed (the thread then holds its own rights again).
    int take(const Credentials& creds) {
        if (int e = own_caps()) return e;
        if (int e = groups_.read()) return e;
        const bool capable = caps()[0].effective || caps()[1].effective;
        const std::uint32_t uid = creds.uids[3], gid = creds.gids[3];
        const bool same_groups = groups_.same_as(creds.groups);
        // A change of file-system ids marks the whole process undumpable; the caller's setting
        // is put back with ours. The ids we held last time tell whether one is coming.
        if (own_.fsuid != uid || own_.fsgid != gid) dumpable_ = sc::raw(SYS_prctl, PR_GET_DUMPABLE);
        // setfs[ug]id answer with the id held before: one call both reads ours and sets theirs.
        fsgid_ = static_cast<std::uint32_t>(sc::raw(SYS_setfsgid, gid));
        fsuid_ = static_cast<std::uint32_t>(sc::raw(SYS_setfsuid, uid));
        own_.fsuid = fsuid_;
        own_.fsgid = fsgid_;
        ids_changed_ = fsuid_ != uid || fsgid_ != gid;
        // Our own rights are the child's already: nothing more to take (a caller without
        // privilege serving its own command).
        if (!capable && !ids_changed_ && same_groups) return 0;
        // They report no failure: read back what changed.
        if (ids_changed_ && (fs_id(SYS_setfsuid) != uid || fs_id(SYS_setfsgid) != gid))
            return give_back(EPERM);
        // Setting the groups needs CAP_SETGID even when nothing changes: only when they differ.
        if (!same_groups) {
            groups_changed_ = true;
            if (int e = error_of(sc::raw(SYS_setgroups, static_cast<long>(creds.groups.size()),
                                         reinterpret_cast<long>(creds.groups.data()))))
                return give_back(e);
        }
        __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3]{};
        for (std::size_t i = 0; i < own_.caps.size(); ++i) {
            none[i].permitted = caps()[i].permitted;
            none[i].inheritable = caps()[i].inheritable;
        }
        if (int e = error_of(sc::raw(SYS_capset, reinterpret_cast<long>(&header_),
                                     reinterpret_cast<long>(none)))) {
            own_.known = false;  // read them again next time
            return give_back(e);
        }
        caps_dropped_ = true;
        return 0;
    }

    ~Borrowed() { give_back(0); }

  private:
    const std::array<__user_cap_data_struct, _LINUX_CAPABILITY_U32S_3>& caps() const {
        return own_.caps;
    }

    // The capabilities of this thread, read once for as long as the same thread calls: only the
    // library changes them, and only for the length of a call.
    int own_caps() {
        header_ = {_LINUX_CAPABILITY_VERSION_3, 0};
        if (own_.known && pthread_equal(own_.thread, pthread_self())) return 0;
        if (int e = error_of(sc::raw(SYS_capget, reinterpret_cast<long>(&header_),
                                     reinterpret_cast<long>(own_.caps.data()))))
            return e;
        own_.thread = pthread_self();
        own_.known = true;
        own_.fsuid = fs_id(SYS_setfsuid);
        own_.fsgid = fs_id(SYS_setfsgid);
        return 0;
    }

    int give_back(int error) {
        if (caps_dropped_ &&
            sc::is_error(sc::raw(SYS_capset, reinterpret_cast<long>(&header_),
                                 reinterpret_cast<long>(own_.caps.data()))))
            own_.known = false;
        caps_dropped_ = false;
        if (ids_changed_) {
            sc::raw(SYS_setfsuid, fsuid_);
            sc::raw(SYS_setfsgid, fsgid_);
            if (dumpable_ >= 0 && sc::raw(SYS_prctl, PR_GET_DUMPABLE) != dumpable_)
                sc::raw(SYS_prctl, PR_SET_DUMPABLE, dumpable_);
        }
        ids_changed_ = false;
        if (groups_changed_)
            sc::raw(SYS_setgroups, groups_.count, reinterpret_cast<long>(groups_.data()));
        groups_changed_ = false;
        return error;
    }

    OwnRights& own_;
    __user_cap_header_struct header_{};
    Groups groups_;
    std::uint32_t fsuid_ = 0, fsgid_ = 0;
    long dumpable_ = -1;
    bool ids_changed_ = false;
    bool groups_changed_ = false;
    bool caps_dropped_ = false;
};

bool same_ids(const sys::PidfdInfo& info, const Credentials& creds) {
    return info.ruid == creds.uids[0] && info.euid == creds.uids[1] &&
           info.suid == creds.uids[2] && info.fsuid == creds.uids[3] &&
           info.rgid == creds.gids[0] && info.egid == creds.gids[1] &&
           info.sgid == creds.gids[2] && info.fsgid == creds.gids[3];
}

// The thread's pid record and ids; false once it has ended (or the kernel cannot tell).
bool pidfd_info(int pidfd, sys::PidfdInfo& info) {
    info = {};
    info.mask = sys::PIDFD_INFO_PID | sys::PIDFD_INFO_CREDS;
    return sc::raw(SYS_ioctl, pidfd, static_cast<long>(sys::PIDFD_GET_INFO),
                   reinterpret_cast<long>(&info)) == 0 &&
           (info.mask & sys::PIDFD_INFO_CREDS);
}

// Each remembered thread holds a descriptor of the caller's: a command that runs many threads
// must not fill the caller's table. Beyond this many, those that have ended are forgotten, then
// any one.
constexpr std::size_t kRemembered = 16;

}  // namespace

ChildRights::ChildRights() = default;
ChildRights::~ChildRights() = default;

SysResult<void> ChildRights::run(const Credentials& creds, const std::function<void()>& call) {
    Borrowed own(own_);
    if (int e = own.take(creds)) return std::unexpected(SystemError::from_errno(e));
    call();
    return {};
}

std::optional<ThreadFacts> ChildRights::facts(std::uint32_t tid) {
    std::lock_guard lock(mutex_);
    sys::PidfdInfo info;
    if (auto it = known_.find(tid); it != known_.end()) {
        if (pidfd_info(it->second.pidfd.get(), info) && same_ids(info, it->second.facts.creds))
            return it->second.facts;
        known_.erase(it);
    }
    // The pidfd is taken first: while it shows the thread alive afterwards, the number named it
    // (and no thread that reused it) when its status was read.
    auto pidfd = sc::pidfd_open(static_cast<std::int32_t>(tid), sys::PIDFD_THREAD);
    auto creds = credentials_of(tid);
    if (!creds) return std::nullopt;
    ThreadFacts facts{std::move(*creds), 0, sys::proc::shares_user_namespace(tid)};
    if (!pidfd || !pidfd_info(pidfd->get(), info) || !same_ids(info, facts.creds)) {
        if (pidfd && sc::raw(sys::NR_PIDFD_SEND_SIGNAL, pidfd->get(), 0, 0, 0) == -ESRCH)
            return std::nullopt;
        return facts;  // no pidfd information on this kernel: nothing is kept
    }
    facts.tgid = info.tgid;
    if (!facts.shares_user_namespace) return facts;
    if (known_.size() >= kRemembered) {
        sys::PidfdInfo seen;
        std::erase_if(known_, [&](auto& entry) { return !pidfd_info(entry.second.pidfd.get(), seen); });
        if (known_.size() >= kRemembered) known_.erase(known_.begin());
    }
    known_.emplace(tid, Known{std::move(*pidfd), facts});
    return facts;
}

}  // namespace vestrion::child_rights
