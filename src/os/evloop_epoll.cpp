// The readiness loop on epoll. Subscriptions are level-triggered and cached
// per socket, so re-issuing an unchanged one makes no system call.
#include "os/evloop.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum : uint8_t {
    SOCK_OWNED = 1,       // created by this loop; closed by ev_shutdown
    SOCK_REGISTERED = 2,  // known to epoll
};

struct sock_state {
    uint8_t flags;
    uint8_t events;       // the current subscription (EV_*)
    uint16_t generation;  // bumped at close, so stale readiness is never misdelivered
};

constexpr int MAX_EVENTS = 256;

uint32_t epoll_mask(uint32_t events)
{
    uint32_t m = 0;
    if (events & (EV_READ | EV_ACCEPT))
        m |= EPOLLIN;
    if (events & EV_READ)
        m |= EPOLLRDHUP;  // a peer's close is only noticed while input is wanted
    if (events & EV_WRITE)
        m |= EPOLLOUT;
    return m;
}

uint64_t tag(int sock, uint16_t generation)
{
    return static_cast<uint32_t>(sock) | (static_cast<uint64_t>(generation) << 32);
}

}  // namespace

struct ev_loop {
    int epfd;
    ev_handler handler;
    int nsocks;           // capacity of socks
    int max_sock;         // highest socket ever owned
    sock_state *socks;
};

ev_loop *ev_create(ev_handler handler)
{
    // Serve as many connections as the system allows this process.
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    int nsocks = 1024;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur > 1024)
        nsocks = rl.rlim_cur > (1u << 20) ? (1 << 20) : static_cast<int>(rl.rlim_cur);

    auto *loop = static_cast<ev_loop *>(calloc(1, sizeof(ev_loop)));
    if (!loop)
        return nullptr;
    loop->socks = static_cast<sock_state *>(calloc(static_cast<size_t>(nsocks), sizeof(sock_state)));
    loop->epfd = epoll_create1(EPOLL_CLOEXEC);
    if (!loop->socks || loop->epfd < 0) {
        if (loop->epfd >= 0)
            close(loop->epfd);
        free(loop->socks);
        free(loop);
        return nullptr;
    }
    loop->nsocks = nsocks;
    loop->max_sock = -1;
    loop->handler = handler;
    return loop;
}

void ev_destroy(ev_loop *loop)
{
    if (!loop)
        return;
    ev_shutdown(loop);
    close(loop->epfd);
    free(loop->socks);
    free(loop);
}

int ev_fd(ev_loop *loop)
{
    return loop->epfd;
}

static int adopt(ev_loop *loop, int sock)
{
    if (sock >= loop->nsocks) {
        close(sock);
        errno = EMFILE;
        return -1;
    }
    sock_state &s = loop->socks[sock];
    s.flags = SOCK_OWNED;
    s.events = 0;
    if (sock > loop->max_sock)
        loop->max_sock = sock;
    return sock;
}

int ev_listen_socket(ev_loop *loop, int port, int backlog, int *error_step)
{
    int sock = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0 || adopt(loop, sock) < 0) {
        *error_step = 1;
        return -1;
    }
    // Lets a restarted server bind while old connections linger in TIME_WAIT;
    // a port another program listens on is still refused.
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        ev_close(loop, sock);
        *error_step = 2;
        return -1;
    }
    listen(sock, backlog);
    return sock;
}

int ev_accept(ev_loop *loop, int listen_sock, int *err)
{
    int sock = accept4(listen_sock, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (sock < 0) {
        *err = errno;
        return -1;
    }
    if (adopt(loop, sock) < 0) {
        *err = EMFILE;
        return -1;
    }
    // Replies leave in buffer-sized pieces; never hold the last one back.
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return sock;
}

void ev_select(ev_loop *loop, int sock, uint32_t events)
{
    if (sock < 0 || sock >= loop->nsocks)
        return;
    sock_state &s = loop->socks[sock];
    if (s.events == events && (events == 0 || (s.flags & SOCK_REGISTERED)))
        return;
    s.events = static_cast<uint8_t>(events);
    if (events == 0) {
        if (s.flags & SOCK_REGISTERED) {
            epoll_ctl(loop->epfd, EPOLL_CTL_DEL, sock, nullptr);
            s.flags &= static_cast<uint8_t>(~SOCK_REGISTERED);
        }
        return;
    }
    epoll_event ev = {};
    ev.events = epoll_mask(events);
    ev.data.u64 = tag(sock, s.generation);
    if (s.flags & SOCK_REGISTERED) {
        epoll_ctl(loop->epfd, EPOLL_CTL_MOD, sock, &ev);
    } else if (epoll_ctl(loop->epfd, EPOLL_CTL_ADD, sock, &ev) == 0) {
        s.flags |= SOCK_REGISTERED;
    }
}

void ev_close(ev_loop *loop, int sock)
{
    if (sock < 0)
        return;
    if (sock < loop->nsocks) {
        sock_state &s = loop->socks[sock];
        s.flags = 0;
        s.events = 0;
        ++s.generation;
    }
    close(sock);  // also leaves the epoll set
}

void ev_shutdown(ev_loop *loop)
{
    for (int sock = 0; sock <= loop->max_sock; ++sock)
        if (loop->socks[sock].flags & SOCK_OWNED)
            ev_close(loop, sock);
    loop->max_sock = -1;
}

static int bytes_waiting(int sock)
{
    int n = 0;
    if (ioctl(sock, FIONREAD, &n) != 0)
        return 0;
    return n;
}

// Turns one readiness report into the event the subscriber wants.
static void deliver(ev_loop *loop, int sock, uint32_t ready)
{
    sock_state &s = loop->socks[sock];
    const uint32_t wanted = s.events;
    if (ready & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) {
        // The peer has gone: hand over what it sent first, then report the close once.
        if ((wanted & EV_READ) && (ready & EPOLLIN) && !(ready & EPOLLERR) && bytes_waiting(sock) > 0) {
            loop->handler(loop, sock, EV_READ);
            return;
        }
        if (ready & (EPOLLERR | EPOLLHUP) || (wanted & EV_READ)) {
            ev_select(loop, sock, 0);
            loop->handler(loop, sock, EV_CLOSE);
            return;
        }
    }
    if ((ready & EPOLLIN) && (wanted & EV_ACCEPT)) {
        loop->handler(loop, sock, EV_ACCEPT);
        return;
    }
    if ((ready & EPOLLIN) && (wanted & EV_READ)) {
        loop->handler(loop, sock, EV_READ);
        return;
    }
    if ((ready & EPOLLOUT) && (wanted & EV_WRITE))
        loop->handler(loop, sock, EV_WRITE);
}

int ev_poll(ev_loop *loop, int timeout_ms)
{
    epoll_event events[MAX_EVENTS];
    int n = epoll_wait(loop->epfd, events, MAX_EVENTS, timeout_ms);
    if (n <= 0)
        return 0;
    for (int i = 0; i < n; ++i) {
        const int sock = static_cast<int>(events[i].data.u64 & 0xFFFFFFFFu);
        const auto generation = static_cast<uint16_t>(events[i].data.u64 >> 32);
        // Skip readiness of a socket closed earlier in this batch.
        if (sock >= loop->nsocks || loop->socks[sock].generation != generation ||
            !(loop->socks[sock].flags & SOCK_REGISTERED))
            continue;
        deliver(loop, sock, events[i].events);
    }
    return n;
}
