#include "os/instance.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr char INSTANCE_NAME[] = "Pellorwick/" PW_VERSION;

int lock_sock = -1;

}  // namespace

bool instance_lock()
{
    if (lock_sock >= 0)
        return true;
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return true;  // no lock to be had: run rather than refuse
    sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    // A leading zero byte puts the name in the abstract namespace.
    memcpy(addr.sun_path + 1, INSTANCE_NAME, sizeof INSTANCE_NAME - 1);
    socklen_t len = offsetof(sockaddr_un, sun_path) + 1 + sizeof INSTANCE_NAME - 1;
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), len) < 0) {
        int err = errno;
        close(s);
        return err != EADDRINUSE;
    }
    lock_sock = s;
    return true;
}

void instance_unlock()
{
    if (lock_sock >= 0) {
        close(lock_sock);
        lock_sock = -1;
    }
}
