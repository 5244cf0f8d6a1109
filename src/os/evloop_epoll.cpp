// The readiness loop on epoll.
//
// Every socket is registered once, edge-triggered, for input, output and the
// peer's close; a subscription is only a field here, so changing it makes no
// system call. The loop remembers what each socket is ready for: an edge sets
// a readiness, and ev_recv, ev_send and ev_accept clear it when their result
// shows the socket drained or full. A socket that is ready for what its
// subscription wants sits on the pending list and gets one event per round,
// which gives the same deliveries as level-triggered polling without asking
// the kernel again. When rounds are left over, an always-readable eventfd is
// re-armed so that the loop's descriptor stays readable for a foreign loop.
#include "os/evloop.h"

#include "os/tls.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

enum : uint8_t {
    SOCK_OWNED = 1,   // created by this loop; closed by ev_shutdown
    SOCK_QUEUED = 2,  // on the pending list
};

// What the socket is known to be ready for.
enum : uint8_t {
    READY_IN = 1,     // data or a connection may be waiting
    READY_OUT = 2,    // the socket may take data
    READY_RDHUP = 4,  // the peer has finished sending
    READY_HUP = 8,    // both directions are closed
    READY_ERR = 16,   // the connection failed
};

// What a TLS session waits for across directions: a read may have to send
// (handshake messages) and a write may have to receive first.
enum : uint8_t {
    CROSS_READ_WANTS_OUT = 1,
    CROSS_WRITE_WANTS_IN = 2,
};

struct sock_state {
    uint8_t flags;
    uint8_t events;  // the current subscription (EV_*)
    uint8_t ready;   // READY_*
    uint8_t cross;   // CROSS_*
    uint16_t generation;  // bumped at close, so stale readiness is never misdelivered
    int32_t next;         // next socket on the pending list, or -1
    void *data;           // the subscriber's record for the socket
    tls_session *tls;     // the socket's TLS session, or null
};

constexpr int MAX_EVENTS = 256;
constexpr int ROUNDS_PER_POLL = 16;   // pending rounds before the kernel is asked again
constexpr uint64_t WAKE_TAG = ~0ull;  // the eventfd's tag

constexpr uint32_t EPOLL_MASK = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;

uint64_t tag(int sock, uint16_t generation)
{
    return static_cast<uint32_t>(sock) | (static_cast<uint64_t>(generation) << 32);
}

// The readiness a read, and a write, of the socket waits for.
uint8_t read_needs(const sock_state &s)
{
    return (s.cross & CROSS_READ_WANTS_OUT) ? READY_OUT : READY_IN;
}
uint8_t write_needs(const sock_state &s)
{
    return (s.cross & CROSS_WRITE_WANTS_IN) ? READY_IN : READY_OUT;
}

// Whether the socket has an event to deliver under its subscription.
bool deliverable(const sock_state &s)
{
    const uint32_t wanted = s.events;
    if (wanted == 0)
        return false;
    if (s.ready & (READY_ERR | READY_HUP))
        return true;
    if ((s.ready & READY_RDHUP) && (wanted & EV_READ))
        return true;
    if ((s.ready & READY_IN) && (wanted & EV_ACCEPT))
        return true;
    if ((s.ready & read_needs(s)) && (wanted & EV_READ))
        return true;
    return (s.ready & write_needs(s)) && (wanted & EV_WRITE);
}

}  // namespace

struct ev_loop {
    int epfd;
    int wakefd;  // always readable; re-armed while events are pending
    ev_handler handler;
    int nsocks;    // capacity of socks
    int max_sock;  // highest socket ever owned
    sock_state *socks;
    int32_t pending_head, pending_tail;
    int32_t npending;
    uint64_t turn;  // ev_poll calls so far
};

static void push_pending(ev_loop *loop, int sock)
{
    sock_state &s = loop->socks[sock];
    if (s.flags & SOCK_QUEUED)
        return;
    s.flags |= SOCK_QUEUED;
    s.next = -1;
    if (loop->pending_tail >= 0)
        loop->socks[loop->pending_tail].next = sock;
    else
        loop->pending_head = sock;
    loop->pending_tail = sock;
    ++loop->npending;
}

static int pop_pending(ev_loop *loop)
{
    const int sock = loop->pending_head;
    sock_state &s = loop->socks[sock];
    loop->pending_head = s.next;
    if (loop->pending_head < 0)
        loop->pending_tail = -1;
    s.flags &= static_cast<uint8_t>(~SOCK_QUEUED);
    --loop->npending;
    return sock;
}

static void queue_if_deliverable(ev_loop *loop, int sock)
{
    if (deliverable(loop->socks[sock]))
        push_pending(loop, sock);
}

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
    loop->wakefd = eventfd(1, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event wake = {};
    wake.events = EPOLLIN | EPOLLET;
    wake.data.u64 = WAKE_TAG;
    if (!loop->socks || loop->epfd < 0 || loop->wakefd < 0 ||
        epoll_ctl(loop->epfd, EPOLL_CTL_ADD, loop->wakefd, &wake) != 0) {
        if (loop->wakefd >= 0)
            close(loop->wakefd);
        if (loop->epfd >= 0)
            close(loop->epfd);
        free(loop->socks);
        free(loop);
        return nullptr;
    }
    loop->nsocks = nsocks;
    loop->max_sock = -1;
    loop->handler = handler;
    loop->pending_head = loop->pending_tail = -1;
    return loop;
}

void ev_destroy(ev_loop *loop)
{
    if (!loop)
        return;
    ev_shutdown(loop);
    close(loop->wakefd);
    close(loop->epfd);
    free(loop->socks);
    free(loop);
}

int ev_fd(ev_loop *loop)
{
    return loop->epfd;
}

// Takes a new socket into the loop and registers it with epoll for good.
static int adopt(ev_loop *loop, int sock, uint8_t ready)
{
    if (sock >= loop->nsocks) {
        close(sock);
        errno = EMFILE;
        return -1;
    }
    sock_state &s = loop->socks[sock];
    epoll_event ev = {};
    ev.events = EPOLL_MASK;
    ev.data.u64 = tag(sock, s.generation);
    if (epoll_ctl(loop->epfd, EPOLL_CTL_ADD, sock, &ev) != 0) {
        const int err = errno;
        close(sock);
        errno = err;
        return -1;
    }
    s.flags = static_cast<uint8_t>(SOCK_OWNED | (s.flags & SOCK_QUEUED));
    s.events = 0;
    s.ready = ready;
    s.cross = 0;
    s.data = nullptr;
    s.tls = nullptr;
    if (sock > loop->max_sock)
        loop->max_sock = sock;
    return sock;
}

int ev_watch(ev_loop *loop, int sock)
{
    if (sock < 0)
        return -1;
    // Nothing is known to be waiting yet; the first edge reports it.
    return adopt(loop, sock, 0);
}

int ev_accept(ev_loop *loop, int listen_sock, int *err)
{
    int sock = accept4(listen_sock, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (sock < 0) {
        *err = errno;
        if (*err == EAGAIN || *err == EWOULDBLOCK)
            loop->socks[listen_sock].ready &= static_cast<uint8_t>(~READY_IN);
        return -1;
    }
    // A new connection can take data at once; its input is reported by an edge.
    if (adopt(loop, sock, READY_OUT) < 0) {
        *err = errno;
        return -1;
    }
    // Replies leave in buffer-sized pieces; never hold the last one back.
    int one = 1;
    setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return sock;
}

// Notes what a transfer of the socket's TLS session stopped at.
static void note_tls(sock_state &s, tls_wait wait, bool reading)
{
    s.cross &= static_cast<uint8_t>(~(reading ? CROSS_READ_WANTS_OUT : CROSS_WRITE_WANTS_IN));
    switch (wait) {
    case TLS_WAIT_NONE:
        break;
    case TLS_WAIT_IN:
        s.ready &= static_cast<uint8_t>(~READY_IN);
        if (!reading)
            s.cross |= CROSS_WRITE_WANTS_IN;
        break;
    case TLS_WAIT_OUT:
        s.ready &= static_cast<uint8_t>(~READY_OUT);
        if (reading)
            s.cross |= CROSS_READ_WANTS_OUT;
        break;
    case TLS_FAILED:
        s.ready |= READY_ERR;  // delivered as the close event
        break;
    }
}

void ev_set_tls(ev_loop *loop, int sock, tls_session *session)
{
    if (sock >= 0 && sock < loop->nsocks && (loop->socks[sock].flags & SOCK_OWNED))
        loop->socks[sock].tls = session;
    else
        tls_session_free(session);
}

ssize_t ev_recv(ev_loop *loop, int sock, void *buffer, size_t length)
{
    if (sock < 0 || sock >= loop->nsocks) {
        errno = EBADF;
        return -1;
    }
    sock_state &s = loop->socks[sock];
    if (s.tls) {
        tls_wait wait;
        const ssize_t n = tls_recv(s.tls, buffer, length, &wait);
        note_tls(s, wait, true);
        if (n == 0)
            s.ready |= READY_RDHUP | READY_IN;  // close_notify: the peer has finished sending
        return n;
    }
    const ssize_t n = recv(sock, buffer, length, 0);
    // A short receive emptied the queue; data arriving later raises a new edge.
    if ((n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) || (n >= 0 && static_cast<size_t>(n) < length))
        loop->socks[sock].ready &= static_cast<uint8_t>(~READY_IN);
    return n;
}

ssize_t ev_send(ev_loop *loop, int sock, const void *buffer, size_t length, bool more)
{
    if (sock < 0 || sock >= loop->nsocks) {
        errno = EBADF;
        return -1;
    }
    if (loop->socks[sock].tls) {
        const iovec piece = {const_cast<void *>(buffer), length};
        return ev_sendv(loop, sock, &piece, 1, more);
    }
    const ssize_t n = send(sock, buffer, length, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    // A short or refused send found the socket full; room raises a new edge.
    if (n < 0 || static_cast<size_t>(n) < length)
        loop->socks[sock].ready &= static_cast<uint8_t>(~READY_OUT);
    return n;
}

ssize_t ev_sendv(ev_loop *loop, int sock, const struct iovec *pieces, int count, bool more)
{
    if (sock < 0 || sock >= loop->nsocks) {
        errno = EBADF;
        return -1;
    }
    if (sock_state &s = loop->socks[sock]; s.tls) {
        tls_wait wait;
        const ssize_t n = tls_sendv(s.tls, pieces, count, &wait);
        note_tls(s, wait, false);
        return n;
    }
    size_t length = 0;
    for (int i = 0; i < count; ++i)
        length += pieces[i].iov_len;
    msghdr message = {};
    message.msg_iov = const_cast<iovec *>(pieces);
    message.msg_iovlen = static_cast<size_t>(count);
    const ssize_t n = sendmsg(sock, &message, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
    if (n < 0 || static_cast<size_t>(n) < length)
        loop->socks[sock].ready &= static_cast<uint8_t>(~READY_OUT);
    return n;
}

ssize_t ev_sendfile(ev_loop *loop, int sock, int fd, uint64_t offset, size_t count)
{
    if (sock < 0 || sock >= loop->nsocks) {
        errno = EBADF;
        return -1;
    }
    if (sock_state &s = loop->socks[sock]; s.tls) {
        tls_wait wait;
        const ssize_t n = tls_sendfile(s.tls, fd, offset, count, &wait);
        note_tls(s, wait, false);
        return n;
    }
    auto at = static_cast<off_t>(offset);
    const ssize_t n = sendfile(sock, fd, &at, count);
    // Short can also mean the file ended: only a refused send says the
    // socket is full (the next call finds out otherwise).
    if (n < 0)
        loop->socks[sock].ready &= static_cast<uint8_t>(~READY_OUT);
    return n;
}

void ev_select(ev_loop *loop, int sock, uint32_t events)
{
    if (sock < 0 || sock >= loop->nsocks || !(loop->socks[sock].flags & SOCK_OWNED))
        return;
    sock_state &s = loop->socks[sock];
    if (s.events == events)
        return;
    s.events = static_cast<uint8_t>(events);
    queue_if_deliverable(loop, sock);
}

void ev_set_data(ev_loop *loop, int sock, void *data)
{
    if (sock >= 0 && sock < loop->nsocks && (loop->socks[sock].flags & SOCK_OWNED))
        loop->socks[sock].data = data;
}

void *ev_data(ev_loop *loop, int sock)
{
    return sock >= 0 && sock < loop->nsocks ? loop->socks[sock].data : nullptr;
}

uint64_t ev_turn(ev_loop *loop)
{
    return loop->turn;
}

uint32_t ev_unsent(ev_loop *, int sock)
{
    int n = 0;
    return ioctl(sock, SIOCOUTQ, &n) == 0 && n > 0 ? static_cast<uint32_t>(n) : 0;
}

uint32_t ev_unread(ev_loop *loop, int sock)
{
    int n = 0;
    const uint32_t held =
        sock >= 0 && sock < loop->nsocks && loop->socks[sock].tls ? static_cast<uint32_t>(tls_buffered(loop->socks[sock].tls)) : 0;
    return (ioctl(sock, FIONREAD, &n) == 0 && n > 0 ? static_cast<uint32_t>(n) : 0) + held;
}

void ev_end_sending(ev_loop *loop, int sock)
{
    if (sock >= 0 && sock < loop->nsocks && loop->socks[sock].tls)
        tls_end(loop->socks[sock].tls);
    shutdown(sock, SHUT_WR);
}

void ev_close(ev_loop *loop, int sock)
{
    if (sock < 0)
        return;
    if (sock < loop->nsocks) {
        sock_state &s = loop->socks[sock];
        s.flags &= SOCK_QUEUED;  // a queued socket leaves the list when its turn comes
        s.events = 0;
        s.ready = 0;
        s.cross = 0;
        s.data = nullptr;
        tls_session_free(s.tls);
        s.tls = nullptr;
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

// Received bytes not yet read: in the socket, or decrypted inside its TLS session.
static int bytes_waiting(ev_loop *loop, int sock)
{
    if (loop->socks[sock].tls && tls_buffered(loop->socks[sock].tls) > 0)
        return 1;
    int n = 0;
    if (ioctl(sock, FIONREAD, &n) != 0)
        return 0;
    return n;
}

// Delivers the one event the socket's readiness and subscription call for.
static void deliver(ev_loop *loop, int sock)
{
    sock_state &s = loop->socks[sock];
    const uint32_t wanted = s.events;
    const uint8_t ready = s.ready;
    if (ready & (READY_ERR | READY_HUP | READY_RDHUP)) {
        // The peer has gone: hand over what it sent first, then report the close once.
        if ((wanted & EV_READ) && (ready & READY_IN) && !(ready & READY_ERR) && bytes_waiting(loop, sock) > 0) {
            loop->handler(loop, sock, EV_READ);
            return;
        }
        if ((ready & (READY_ERR | READY_HUP)) || (wanted & EV_READ)) {
            s.events = 0;
            loop->handler(loop, sock, EV_CLOSE);
            return;
        }
    }
    if ((ready & READY_IN) && (wanted & EV_ACCEPT)) {
        loop->handler(loop, sock, EV_ACCEPT);
        return;
    }
    if ((ready & read_needs(s)) && (wanted & EV_READ)) {
        loop->handler(loop, sock, EV_READ);
        return;
    }
    if ((ready & write_needs(s)) && (wanted & EV_WRITE))
        loop->handler(loop, sock, EV_WRITE);
}

static uint8_t readiness_of(uint32_t e)
{
    uint8_t r = 0;
    if (e & EPOLLIN)
        r |= READY_IN;
    if (e & EPOLLOUT)
        r |= READY_OUT;
    if (e & EPOLLRDHUP)
        r |= READY_RDHUP | READY_IN;
    if (e & EPOLLHUP)
        r |= READY_HUP;
    if (e & EPOLLERR)
        r |= READY_ERR;
    return r;
}

int ev_poll(ev_loop *loop, int timeout_ms)
{
    epoll_event events[MAX_EVENTS];
    int n = epoll_wait(loop->epfd, events, MAX_EVENTS, loop->npending > 0 ? 0 : timeout_ms);
    ++loop->turn;
    for (int i = 0; i < n; ++i) {
        if (events[i].data.u64 == WAKE_TAG)
            continue;
        const int sock = static_cast<int>(events[i].data.u64 & 0xFFFFFFFFu);
        const auto generation = static_cast<uint16_t>(events[i].data.u64 >> 32);
        // Skip readiness of a socket closed since it was reported.
        if (sock >= loop->nsocks || loop->socks[sock].generation != generation ||
            !(loop->socks[sock].flags & SOCK_OWNED))
            continue;
        loop->socks[sock].ready |= readiness_of(events[i].events);
        queue_if_deliverable(loop, sock);
    }

    // Each round gives every socket queued at its start one event, as one
    // level-triggered wait would.
    int delivered = 0;
    for (int round = 0; round < ROUNDS_PER_POLL && loop->npending > 0; ++round) {
        for (int k = loop->npending; k > 0; --k) {
            const int sock = pop_pending(loop);
            if (!deliverable(loop->socks[sock]))
                continue;
            const uint16_t generation = loop->socks[sock].generation;
            deliver(loop, sock);
            ++delivered;
            if (loop->socks[sock].generation == generation)
                queue_if_deliverable(loop, sock);
        }
    }
    if (loop->npending > 0) {
        // Keep the loop's descriptor readable until the rest is delivered.
        epoll_event wake = {};
        wake.events = EPOLLIN | EPOLLET;
        wake.data.u64 = WAKE_TAG;
        epoll_ctl(loop->epfd, EPOLL_CTL_MOD, loop->wakefd, &wake);
    }
    return delivered;
}
