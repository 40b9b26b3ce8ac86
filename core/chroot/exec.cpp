// exec and chdir under a virtual root: not served yet.
#include "core/chroot/handlers.hpp"

namespace vestrion::chroot {

NotifAction exec(const Session&) {
    return refuse(EACCES);
}

NotifAction chdir(const Session&) {
    return refuse(EACCES);
}

}  // namespace vestrion::chroot
