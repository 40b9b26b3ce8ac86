#include "core/cow/pending_open.hpp"

#include <fcntl.h>
#include <cerrno>
#include <sys/stat.h>

#include <string>
#include <system_error>

#include "core/seccomp/notif.hpp"

namespace vestrion::cow {

bool PendingOpens::may_block(const OpenTarget& target) {
    // A FIFO opened for one end only waits for the other; O_RDWR and O_NONBLOCK never wait.
    if (target.flags & (O_NONBLOCK | O_PATH)) return false;
    if ((target.flags & O_ACCMODE) == O_RDWR) return false;
    struct stat st;
    if (::fstatat(target.dir.get(), target.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    return S_ISFIFO(st.st_mode);
}

int PendingOpens::start(int listener, std::uint64_t id, OpenTarget target, bool cloexec) {
    std::lock_guard lock(mutex_);
    reap_finished();
    if (pending_.size() >= kMaxWaitingOpens) return ENFILE;
    UniqueFd answer_fd(::fcntl(listener, F_DUPFD_CLOEXEC, 0));
    UniqueFd node(::openat(target.dir.get(), target.name.c_str(),
                           O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!answer_fd || !node) return EAGAIN;
    auto finished = std::make_shared<std::atomic<bool>>(false);
    try {
        std::thread thread([listener = std::move(answer_fd), id, target = std::move(target),
                            cloexec, finished]() mutable {
            using seccomp::notif::NotifAction;
            auto fd = target.open();
            NotifAction answer = fd ? NotifAction(NotifAction::InjectFdSend{std::move(*fd), cloexec})
                                    : NotifAction(NotifAction::Errno{fd.error()});
            // The caller may be gone by now; the send then fails and the descriptor closes.
            (void)seccomp::notif::send_response(listener.get(), id, std::move(answer));
            finished->store(true);
        });
        pending_.push_back(Pending{std::move(thread), std::move(node), std::move(finished)});
    } catch (const std::system_error&) {
        return EAGAIN;
    }
    return 0;
}

void PendingOpens::reap_finished() {
    for (auto it = pending_.begin(); it != pending_.end();) {
        if (it->finished->load()) {
            it->thread.join();
            it = pending_.erase(it);
        } else {
            ++it;
        }
    }
}

PendingOpens::~PendingOpens() {
    std::lock_guard lock(mutex_);
    for (auto& p : pending_) {
        if (!p.finished->load()) {
            // Opening both ends satisfies a reader and a writer alike.
            std::string self = "/proc/self/fd/" + std::to_string(p.node.get());
            UniqueFd peer(::open(self.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
            p.thread.join();
        } else {
            p.thread.join();
        }
    }
}

}  // namespace vestrion::cow
