// A readiness loop over the server's sockets (epoll underneath).
//
// Delivery rules, the same whatever the back end:
//   EV_READ    while received data is waiting, and again after a receive that leaves data waiting
//   EV_WRITE   while a subscription wanting writes stands and the socket can take data
//   EV_ACCEPT  while connections are pending on a listening socket
//   EV_CLOSE   once, when the peer has closed or the connection failed, after the data it sent
//              was delivered; the socket is then left unsubscribed
// A subscription replaces the previous one; an empty set cancels it. Re-issuing
// an unchanged subscription costs nothing. Receives and sends on the loop's
// sockets go through ev_recv and ev_send, which tell the loop when a socket
// has been drained or filled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <sys/uio.h>

enum : uint32_t {
    EV_READ = 1,
    EV_WRITE = 2,
    EV_ACCEPT = 8,
    EV_CLOSE = 32,
};

struct ev_loop;
struct tls_session;
using ev_handler = void (*)(ev_loop *loop, int sock, uint32_t event);

ev_loop *ev_create(ev_handler handler);  // null on failure
void ev_destroy(ev_loop *loop);
int ev_fd(ev_loop *loop);  // readable when events wait (for a foreign main loop)

// Takes a socket made elsewhere (the listening one, see os/sock.h) into the
// loop, which closes it with the others; returns it, or -1 having closed it.
int ev_watch(ev_loop *loop, int sock);
int ev_accept(ev_loop *loop, int listen_sock, int *err);  // new socket, or -1 with errno in *err
void ev_select(ev_loop *loop, int sock, uint32_t events);
ssize_t ev_recv(ev_loop *loop, int sock, void *buffer, size_t length);  // as recv(2)
// As send(2), without SIGPIPE. `more` says that the caller sends the rest of
// the same reply next, so the bytes may wait to fill a whole segment.
ssize_t ev_send(ev_loop *loop, int sock, const void *buffer, size_t length, bool more);
ssize_t ev_sendv(ev_loop *loop, int sock, const struct iovec *pieces, int count, bool more);  // the same, gathered
// As sendfile(2): up to `count` bytes of the file `fd` from `offset`, without a copy.
ssize_t ev_sendfile(ev_loop *loop, int sock, int fd, uint64_t offset, size_t count);
// Makes the socket carry a TLS session (see os/tls.h): its receives and sends
// then move plain bytes through the session, and its close frees it. The
// delivery rules stay: a read event also while decrypted bytes wait in the
// session, and a read or write that must wait for the other direction (a
// handshake message) is delivered when the socket is ready for that one.
void ev_set_tls(ev_loop *loop, int sock, tls_session *session);
// A record the subscriber keeps with an open socket; null until set, and again once closed.
void ev_set_data(ev_loop *loop, int sock, void *data);
void *ev_data(ev_loop *loop, int sock);
// Bytes a connected socket holds: sent but not yet taken by the peer, and
// received but not yet read. 0 when the socket cannot tell.
uint32_t ev_unsent(ev_loop *loop, int sock);
uint32_t ev_unread(ev_loop *loop, int sock);
void ev_end_sending(ev_loop *loop, int sock);  // no more sends; the peer sees the end after the data
void ev_close(ev_loop *loop, int sock);        // cancel and close one socket
void ev_shutdown(ev_loop *loop);               // close every socket the loop created

// Waits up to timeout_ms (-1 forever) and delivers what is ready; returns the number of events.
int ev_poll(ev_loop *loop, int timeout_ms);
// How many times ev_poll has gathered events: the events of one turn arrived together.
uint64_t ev_turn(ev_loop *loop);
