// The single-instance lock and the request a second copy sends to the first.
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

// The lock's address; a leading zero byte puts the name in the abstract namespace.
socklen_t lock_address(sockaddr_un *addr)
{
    memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    memcpy(addr->sun_path + 1, INSTANCE_NAME, sizeof INSTANCE_NAME - 1);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + sizeof INSTANCE_NAME - 1);
}

}  // namespace

bool instance_lock()
{
    if (lock_sock >= 0)
        return true;
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (s < 0)
        return true;  // no lock to be had: run rather than refuse
    sockaddr_un addr;
    const socklen_t len = lock_address(&addr);
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), len) < 0) {
        int err = errno;
        close(s);
        return err != EADDRINUSE;
    }
    listen(s, 4);  // without it the lock still holds; only the requests are lost
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

int instance_fd()
{
    return lock_sock;
}

bool instance_take_requests()
{
    bool any = false;
    for (int c; lock_sock >= 0 && (c = accept4(lock_sock, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; any = true)
        close(c);
    return any;
}

bool instance_notify()
{
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return false;
    sockaddr_un addr;
    const socklen_t len = lock_address(&addr);
    const bool ok = connect(s, reinterpret_cast<sockaddr *>(&addr), len) == 0;
    close(s);
    return ok;
}
