// TLS on the loop's sockets (OpenSSL 3): the server's certificate and key,
// and one session per connection whose handshake, reads and writes each do
// what the non-blocking socket allows and return, saying what they wait for.
//
// The event loop holds a connection's session and passes its ev_recv,
// ev_send, ev_sendv and ev_sendfile through here, so that the server above
// sends and receives plain bytes on either kind of socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>
#include <sys/uio.h>

struct tls_server;   // certificate, key and protocol settings
struct tls_session;  // one connection's

// From PEM files: the certificate file may carry the chain after the
// server's own certificate, and is sent whole. Null on failure, with the
// message and, on its next line, the reason in `err`. A certificate that
// has expired, or is not valid yet, is taken, with a warning (tls_warning).
tls_server *tls_server_from_files(const char *cert_file, const char *key_file, char *err, size_t err_size);
// A key and a certificate made in memory for this machine's names and
// addresses; made once per process and kept for the next start.
tls_server *tls_server_self_signed(char *err, size_t err_size);
void tls_server_free(tls_server *server);

// The SHA-256 fingerprint of the certificate, as "AB:CD:...:EF".
const char *tls_fingerprint(const tls_server *server);
// A line on what the certificate will make clients say ("" when nothing).
const char *tls_warning(const tls_server *server);
// Whether the kernel encrypts for the sessions (kernel TLS), so that
// bodies of files go out by sendfile; found out once per process.
bool tls_kernel_sends();

tls_session *tls_session_new(tls_server *server, int sock);  // null when memory is exhausted
// Says close_notify when the session is sound and the socket takes it, and frees the session.
void tls_session_free(tls_session *s);

// What stopped a transfer. A transfer that returns -1 says why in errno
// too: EAGAIN while waiting, EPROTO or the system's error when it failed.
enum tls_wait : uint8_t {
    TLS_WAIT_NONE,  // it did all that was asked
    TLS_WAIT_IN,    // the socket has no more to read for now
    TLS_WAIT_OUT,   // the socket takes no more for now
    TLS_FAILED,     // the session is over: a fatal alert, a protocol error, a reset
};

// As recv(2): decrypted bytes, 0 when the peer has ended the session.
ssize_t tls_recv(tls_session *s, void *buffer, size_t length, tls_wait *wait);
// As sendmsg(2): the bytes taken. Bytes not taken are offered again, in the
// same order, by the next call; a record the socket held back is finished
// first, and the bytes offered must then begin with its own.
ssize_t tls_sendv(tls_session *s, const struct iovec *pieces, int count, tls_wait *wait);
// As sendfile(2): by the kernel with kernel TLS, else read and encrypted here.
ssize_t tls_sendfile(tls_session *s, int fd, uint64_t offset, size_t count, tls_wait *wait);
// Decrypted bytes held inside the session, not yet received by the caller.
size_t tls_buffered(const tls_session *s);
// No more sends: says close_notify (the caller then shuts the socket's sending side).
void tls_end(tls_session *s);
