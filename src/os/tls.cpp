// TLS sessions over non-blocking sockets with OpenSSL 3.
//
// Writes go one record at a time (at most 16 KB of plain bytes). When the
// socket takes only part of a record, OpenSSL keeps the rest of it and must
// be called again with the same bytes: the session keeps a copy of them (its
// held record), finishes it at the next send before anything else, and only
// then reports those bytes taken. So a caller that offers again what was not
// taken, as the server's sender does, never has to know.
#include "os/tls.h"

#include "memory.h"
#include "os/sock.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#ifndef TCP_ULP
#define TCP_ULP 31
#endif

namespace {

constexpr size_t RECORD = 16384;       // the most plain bytes one record carries
// Read from a file at a time without kernel TLS: two records, which stay in
// the processor's cache from the read to their encryption.
constexpr size_t FILE_PIECE = 2 * 16384;
constexpr size_t FINGERPRINT_SIZE = 3 * EVP_MAX_MD_SIZE + 1;
constexpr size_t WARNING_SIZE = 512;
// TLS 1.2 suites: forward secret, authenticated encryption only. TLS 1.3
// keeps OpenSSL's own list.
constexpr char CIPHERS_12[] = "ECDHE+AESGCM:ECDHE+CHACHA20";

// One thread sends, so one buffer serves every session: records gathered
// from several pieces, and pieces of files on their way to encryption.
char scratch[FILE_PIECE];

}  // namespace

struct tls_server {
    SSL_CTX *ctx;
    char fingerprint[FINGERPRINT_SIZE];
    char warning[WARNING_SIZE];
};

struct tls_session {
    SSL *ssl;
    bool failed;  // after a fatal error OpenSSL must not be asked to shut down
    bool ended;   // close_notify has been said
    uint32_t held_len;
    char *held;  // the plain bytes of the record the socket held back
};

namespace {

// The reason OpenSSL gives for the last failure, or `fallback`.
void openssl_reason(char *out, size_t size, const char *fallback)
{
    const unsigned long e = ERR_peek_last_error();
    if (e) {
        const char *reason = ERR_reason_error_string(e);
        snprintf(out, size, "%s", reason ? reason : fallback);
    } else {
        snprintf(out, size, "%s", fallback);
    }
    ERR_clear_error();
}

// Only "http/1.1" is spoken; a client that offers nothing else goes on without ALPN.
int select_alpn(SSL *, const unsigned char **out, unsigned char *out_len, const unsigned char *in, unsigned int in_len,
                void *)
{
    static const unsigned char h11[] = "http/1.1";
    for (unsigned int i = 0; i < in_len;) {
        const unsigned int n = in[i];
        if (i + 1 + n > in_len)
            break;
        if (n == sizeof h11 - 1 && memcmp(in + i + 1, h11, n) == 0) {
            *out = in + i + 1;
            *out_len = static_cast<unsigned char>(n);
            return SSL_TLSEXT_ERR_OK;
        }
        i += 1 + n;
    }
    return SSL_TLSEXT_ERR_NOACK;
}

SSL_CTX *new_context(char *err, size_t err_size)
{
    // OpenSSL writes to its sockets with write(2): a peer that has gone
    // would raise SIGPIPE, where the plain path sends with MSG_NOSIGNAL.
    signal(SIGPIPE, SIG_IGN);
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx) {
        snprintf(err, err_size, "TLS Failed.\nOpenSSL could not make a context.");
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION);
    uint64_t options = SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION |
                       SSL_OP_IGNORE_UNEXPECTED_EOF;
#ifdef SSL_OP_ENABLE_KTLS
    if (tls_kernel_sends())
        options |= SSL_OP_ENABLE_KTLS;
#endif
    SSL_CTX_set_options(ctx, options);
    SSL_CTX_set_cipher_list(ctx, CIPHERS_12);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                              SSL_MODE_RELEASE_BUFFERS);
    // Resumption by stateless tickets only: no session cache grows with the clients.
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_num_tickets(ctx, 1);
    SSL_CTX_set_alpn_select_cb(ctx, select_alpn, nullptr);
    return ctx;
}

void set_fingerprint(tls_server *server, X509 *cert)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    server->fingerprint[0] = 0;
    if (!X509_digest(cert, EVP_sha256(), md, &len))
        return;
    char *p = server->fingerprint;
    for (unsigned int i = 0; i < len; ++i)
        p += snprintf(p, 4, i + 1 < len ? "%02X:" : "%02X", md[i]);
}

// The time of an ASN.1 time as "Jan  2 15:04:05 2026 GMT".
void time_text(const ASN1_TIME *t, char *out, size_t size)
{
    out[0] = 0;
    BIO *b = BIO_new(BIO_s_mem());
    if (!b)
        return;
    if (ASN1_TIME_print(b, t) > 0) {
        const int n = BIO_read(b, out, static_cast<int>(size - 1));
        out[n > 0 ? n : 0] = 0;
    }
    BIO_free(b);
}

void check_validity(tls_server *server, X509 *cert, const char *cert_file)
{
    char when[64];
    server->warning[0] = 0;
    if (X509_cmp_current_time(X509_get0_notAfter(cert)) < 0) {
        time_text(X509_get0_notAfter(cert), when, sizeof when);
        snprintf(server->warning, WARNING_SIZE,
                 "Warning: the certificate in %s expired on %s; browsers will refuse it until it is renewed.",
                 cert_file, when);
    } else if (X509_cmp_current_time(X509_get0_notBefore(cert)) > 0) {
        time_text(X509_get0_notBefore(cert), when, sizeof when);
        snprintf(server->warning, WARNING_SIZE,
                 "Warning: the certificate in %s is not valid before %s; browsers will refuse it until then.",
                 cert_file, when);
    }
}

// Why a file named on the command line cannot be used, or false when it can be read.
bool unreadable(const char *what, const char *path, char *err, size_t err_size)
{
    if (access(path, R_OK) == 0)
        return false;
    snprintf(err, err_size, "TLS Failed.\nThe %s file %s cannot be read: %s.", what, path, strerror(errno));
    return true;
}

// The subjectAltName list of the self-signed certificate: this machine's
// name, localhost, and every address of its interfaces.
struct alt_names {
    char text[2048];
    size_t len;
};

void add_alt_name(alt_names &a, const char *kind, const char *name)
{
    const int n = snprintf(a.text + a.len, sizeof a.text - a.len, "%s%s:%s", a.len ? "," : "", kind, name);
    if (n > 0 && static_cast<size_t>(n) < sizeof a.text - a.len)
        a.len += static_cast<size_t>(n);
}

void add_address(const char *host, void *user)
{
    char plain[SOCK_ADDRESS_SIZE];
    size_t len = strlen(host);
    if (host[0] == '[' && len >= 2) {  // a URL host: [v6]
        snprintf(plain, sizeof plain, "%.*s", static_cast<int>(len - 2), host + 1);
        host = plain;
    }
    add_alt_name(*static_cast<alt_names *>(user), "IP", host);
}

bool add_extension(X509 *cert, int nid, const char *value)
{
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION *ext = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
    if (!ext)
        return false;
    const bool ok = X509_add_ext(cert, ext, -1) == 1;
    X509_EXTENSION_free(ext);
    return ok;
}

// A P-256 key and a certificate for it, valid from an hour ago for a year.
bool make_self_signed(EVP_PKEY **key_out, X509 **cert_out)
{
    EVP_PKEY *key = EVP_EC_gen("P-256");
    X509 *cert = X509_new();
    bool ok = key && cert;
    unsigned char serial[16];
    char host[256] = "localhost";
    gethostname(host, sizeof host - 1);
    host[sizeof host - 1] = 0;
    if (ok) {
        ok = RAND_bytes(serial, sizeof serial) == 1;
        serial[0] &= 0x7F;  // a positive number
        BIGNUM *bn = ok ? BN_bin2bn(serial, sizeof serial, nullptr) : nullptr;
        ok = bn && BN_to_ASN1_INTEGER(bn, X509_get_serialNumber(cert));
        BN_free(bn);
    }
    if (ok) {
        X509_set_version(cert, 2);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 365L * 86400);
        X509_NAME *name = X509_get_subject_name(cert);
        ok = X509_set_pubkey(cert, key) == 1 &&
             X509_NAME_add_entry_by_txt(name, "O", MBSTRING_UTF8,
                                        reinterpret_cast<const unsigned char *>("Pellorwick self-signed"), -1, -1,
                                        0) == 1 &&
             X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(host), -1,
                                        -1, 0) == 1 &&
             X509_set_issuer_name(cert, name) == 1;
    }
    if (ok) {
        alt_names names = {};
        add_alt_name(names, "DNS", host);
        if (strcmp(host, "localhost") != 0)
            add_alt_name(names, "DNS", "localhost");
        sock_local_addresses(true, add_address, &names);
        ok = add_extension(cert, NID_subject_alt_name, names.text) &&
             add_extension(cert, NID_basic_constraints, "critical,CA:FALSE") &&
             add_extension(cert, NID_key_usage, "critical,digitalSignature") &&
             add_extension(cert, NID_ext_key_usage, "serverAuth") && X509_sign(cert, key, EVP_sha256()) > 0;
    }
    if (!ok) {
        X509_free(cert);
        EVP_PKEY_free(key);
        return false;
    }
    *key_out = key;
    *cert_out = cert;
    return true;
}

// The self-signed key and certificate of this process.
EVP_PKEY *own_key;
X509 *own_cert;

// What stopped a call of SSL_read or SSL_write that returned `r`.
tls_wait wait_of(tls_session *s, int r)
{
    switch (SSL_get_error(s->ssl, r)) {
    case SSL_ERROR_WANT_READ:
        errno = EAGAIN;
        return TLS_WAIT_IN;
    case SSL_ERROR_WANT_WRITE:
        errno = EAGAIN;
        return TLS_WAIT_OUT;
    case SSL_ERROR_SYSCALL:
        if (errno == 0 || errno == EAGAIN)
            errno = ECONNRESET;
        break;
    default:
        errno = EPROTO;
        break;
    }
    s->failed = true;
    ERR_clear_error();
    return TLS_FAILED;
}

// Whether the first bytes offered are those of the held record.
bool offers_held(const tls_session *s, const iovec *pieces, int count)
{
    size_t at = 0;
    for (int i = 0; i < count && at < s->held_len; ++i) {
        const size_t n = std::min(pieces[i].iov_len, s->held_len - at);
        if (memcmp(static_cast<const char *>(pieces[i].iov_base), s->held + at, n) != 0)
            return false;
        at += n;
    }
    return at == s->held_len;
}

void drop_held(tls_session *s)
{
    counted_free(&n_blocks, s->held);
    s->held = nullptr;
    s->held_len = 0;
}

// Writes the held record again: the bytes offered must begin with it. Its
// length once it has gone, 0 when nothing was held, or -1 (*wait and errno
// set) while it has not.
ssize_t send_held(tls_session *s, const iovec *pieces, int count, tls_wait *wait)
{
    if (!s->held)
        return 0;
    // Anything else than the held bytes would follow a record already half
    // on its way: the stream cannot go on.
    if (!offers_held(s, pieces, count)) {
        s->failed = true;
        *wait = TLS_FAILED;
        errno = EPIPE;
        return -1;
    }
    const int r = SSL_write(s->ssl, s->held, static_cast<int>(s->held_len));
    if (r <= 0) {
        *wait = wait_of(s, r);
        return -1;
    }
    const ssize_t sent = s->held_len;
    drop_held(s);
    return sent;
}

// A read position in the pieces offered.
struct piece_cursor {
    const iovec *pieces;
    int count;
    int piece;
    size_t at;  // within pieces[piece]
};

void cursor_skip(piece_cursor &c, size_t skip)
{
    while (c.piece < c.count && skip > 0) {
        const size_t n = std::min(skip, c.pieces[c.piece].iov_len - c.at);
        skip -= n;
        c.at += n;
        if (c.at == c.pieces[c.piece].iov_len) {
            ++c.piece;
            c.at = 0;
        }
    }
}

// The next `len` bytes, at least one of which remains: straight from a piece
// that holds them whole, else gathered in `scratch`.
const char *next_record(piece_cursor &c, size_t len)
{
    while (c.at == c.pieces[c.piece].iov_len) {
        ++c.piece;
        c.at = 0;
    }
    const char *record = static_cast<const char *>(c.pieces[c.piece].iov_base) + c.at;
    if (c.pieces[c.piece].iov_len - c.at >= len) {
        c.at += len;
        return record;
    }
    size_t filled = 0;
    while (filled < len) {
        if (c.at == c.pieces[c.piece].iov_len) {
            ++c.piece;
            c.at = 0;
            continue;
        }
        const size_t n = std::min(len - filled, c.pieces[c.piece].iov_len - c.at);
        memcpy(scratch + filled, static_cast<const char *>(c.pieces[c.piece].iov_base) + c.at, n);
        filled += n;
        c.at += n;
    }
    return scratch;
}

// OpenSSL holds part of a record it was given: its bytes are kept for the retry.
void hold_record(tls_session *s, const char *record, size_t len, tls_wait *wait)
{
    s->held = static_cast<char *>(counted_alloc(&n_blocks, len));
    if (!s->held) {
        s->failed = true;
        *wait = TLS_FAILED;
        errno = ENOMEM;
        return;
    }
    memcpy(s->held, record, len);
    s->held_len = static_cast<uint32_t>(len);
}

}  // namespace

bool tls_kernel_sends()
{
    // Asked once: a connected loopback socket that takes the "tls" upper
    // layer protocol (loading the kernel's module when it has one).
    static int known = -1;
    if (known >= 0)
        return known == 1;
    known = 0;
    const int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int c = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (l >= 0 && c >= 0 && bind(l, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && listen(l, 1) == 0 &&
        getsockname(l, reinterpret_cast<sockaddr *>(&a), &len) == 0 &&
        connect(c, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
        known = setsockopt(c, SOL_TCP, TCP_ULP, "tls", sizeof "tls") == 0 ? 1 : 0;
    if (c >= 0)
        close(c);
    if (l >= 0)
        close(l);
    return known == 1;
}

tls_server *tls_server_from_files(const char *cert_file, const char *key_file, char *err, size_t err_size)
{
    if (unreadable("certificate", cert_file, err, err_size) || unreadable("key", key_file, err, err_size))
        return nullptr;
    SSL_CTX *ctx = new_context(err, err_size);
    if (!ctx)
        return nullptr;
    char reason[256];
    if (SSL_CTX_use_certificate_chain_file(ctx, cert_file) != 1) {
        openssl_reason(reason, sizeof reason, "no certificate");
        snprintf(err, err_size, "TLS Failed.\n%s holds no PEM certificate that can be used (%s).", cert_file, reason);
    } else if (SSL_CTX_use_PrivateKey_file(ctx, key_file, SSL_FILETYPE_PEM) != 1 &&
               ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH) {
        openssl_reason(reason, sizeof reason, "no key");
        snprintf(err, err_size, "TLS Failed.\n%s holds no PEM private key that can be used (%s).", key_file, reason);
    } else if (SSL_CTX_check_private_key(ctx) != 1) {
        ERR_clear_error();
        snprintf(err, err_size, "TLS Failed.\nThe key in %s does not belong to the certificate in %s.", key_file,
                 cert_file);
    } else {
        auto *server = static_cast<tls_server *>(counted_calloc(&n_blocks, 1, sizeof(tls_server)));
        if (server) {
            server->ctx = ctx;
            X509 *cert = SSL_CTX_get0_certificate(ctx);
            set_fingerprint(server, cert);
            check_validity(server, cert, cert_file);
            return server;
        }
        snprintf(err, err_size, "TLS Failed.\nNo memory for the TLS settings.");
    }
    SSL_CTX_free(ctx);
    return nullptr;
}

tls_server *tls_server_self_signed(char *err, size_t err_size)
{
    if (!own_cert && !make_self_signed(&own_key, &own_cert)) {
        ERR_clear_error();
        snprintf(err, err_size, "TLS Failed.\nOpenSSL could not make a self-signed certificate.");
        return nullptr;
    }
    SSL_CTX *ctx = new_context(err, err_size);
    if (!ctx)
        return nullptr;
    auto *server = static_cast<tls_server *>(counted_calloc(&n_blocks, 1, sizeof(tls_server)));
    if (!server || SSL_CTX_use_certificate(ctx, own_cert) != 1 || SSL_CTX_use_PrivateKey(ctx, own_key) != 1) {
        ERR_clear_error();
        counted_free(&n_blocks, server);
        SSL_CTX_free(ctx);
        snprintf(err, err_size, "TLS Failed.\nOpenSSL could not take the self-signed certificate.");
        return nullptr;
    }
    server->ctx = ctx;
    set_fingerprint(server, own_cert);
    return server;
}

void tls_server_free(tls_server *server)
{
    if (!server)
        return;
    SSL_CTX_free(server->ctx);
    counted_free(&n_blocks, server);
}

const char *tls_fingerprint(const tls_server *server)
{
    return server->fingerprint;
}

const char *tls_warning(const tls_server *server)
{
    return server->warning;
}

tls_session *tls_session_new(tls_server *server, int sock)
{
    auto *s = static_cast<tls_session *>(counted_calloc(&n_blocks, 1, sizeof(tls_session)));
    if (!s)
        return nullptr;
    s->ssl = SSL_new(server->ctx);
    if (!s->ssl || SSL_set_fd(s->ssl, sock) != 1) {
        SSL_free(s->ssl);
        counted_free(&n_blocks, s);
        ERR_clear_error();
        return nullptr;
    }
    SSL_set_accept_state(s->ssl);
    return s;
}

void tls_session_free(tls_session *s)
{
    if (!s)
        return;
    if (!s->failed && !s->ended && SSL_is_init_finished(s->ssl))
        SSL_shutdown(s->ssl);
    ERR_clear_error();
    SSL_free(s->ssl);
    counted_free(&n_blocks, s->held);
    counted_free(&n_blocks, s);
}

ssize_t tls_recv(tls_session *s, void *buffer, size_t length, tls_wait *wait)
{
    *wait = TLS_WAIT_NONE;
    if (s->failed) {
        *wait = TLS_FAILED;
        errno = EPROTO;
        return -1;
    }
    // Records are read until the buffer is full or the socket has no more:
    // only then may the loop wait for the socket's next edge.
    size_t got = 0;
    while (got < length) {
        const int want = static_cast<int>(std::min<size_t>(length - got, INT32_MAX));
        const int r = SSL_read(s->ssl, static_cast<char *>(buffer) + got, want);
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (SSL_get_error(s->ssl, r) == SSL_ERROR_ZERO_RETURN) {
            ERR_clear_error();
            *wait = TLS_WAIT_IN;
            return static_cast<ssize_t>(got);  // 0 at the peer's end
        }
        *wait = wait_of(s, r);
        break;
    }
    if (got > 0)
        return static_cast<ssize_t>(got);
    return -1;
}

ssize_t tls_sendv(tls_session *s, const iovec *pieces, int count, tls_wait *wait)
{
    *wait = TLS_WAIT_NONE;
    if (s->failed) {
        *wait = TLS_FAILED;
        errno = EPIPE;
        return -1;
    }
    size_t total = 0;
    for (int i = 0; i < count; ++i)
        total += pieces[i].iov_len;
    const ssize_t held = send_held(s, pieces, count, wait);
    if (held < 0)
        return -1;
    size_t taken = static_cast<size_t>(held);
    piece_cursor c{pieces, count, 0, 0};
    cursor_skip(c, taken);
    while (taken < total) {
        const size_t len = std::min(RECORD, total - taken);
        const char *record = next_record(c, len);
        const int r = SSL_write(s->ssl, record, static_cast<int>(len));
        if (r > 0) {
            taken += static_cast<size_t>(r);
            continue;
        }
        *wait = wait_of(s, r);
        if (*wait != TLS_FAILED)
            hold_record(s, record, len, wait);
        break;
    }
    if (taken > 0)
        return static_cast<ssize_t>(taken);
    return -1;
}

ssize_t tls_sendfile(tls_session *s, int fd, uint64_t offset, size_t count, tls_wait *wait)
{
    *wait = TLS_WAIT_NONE;
    if (s->failed) {
        *wait = TLS_FAILED;
        errno = EPIPE;
        return -1;
    }
#ifdef SSL_OP_ENABLE_KTLS
    if (!s->held && BIO_get_ktls_send(SSL_get_wbio(s->ssl))) {
        const ossl_ssize_t n = SSL_sendfile(s->ssl, fd, static_cast<off_t>(offset), count, 0);
        if (n >= 0)
            return n;
        *wait = wait_of(s, -1);
        return -1;
    }
#endif
    size_t done = 0;
    while (done < count) {
        const ssize_t n = pread(fd, scratch, std::min(count - done, FILE_PIECE), static_cast<off_t>(offset + done));
        if (n <= 0)
            break;  // the file ended, or cannot be read: the body cannot be completed
        // The file bytes are in `scratch`, which a gathered record never needs here.
        const iovec piece = {scratch, static_cast<size_t>(n)};
        const ssize_t sent = tls_sendv(s, &piece, 1, wait);
        if (sent < 0)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        done += static_cast<size_t>(sent);
        if (*wait != TLS_WAIT_NONE)
            break;
    }
    return static_cast<ssize_t>(done);
}

size_t tls_buffered(const tls_session *s)
{
    return static_cast<size_t>(SSL_pending(s->ssl));
}

void tls_end(tls_session *s)
{
    if (s->failed || s->ended)
        return;
    s->ended = true;
    if (SSL_is_init_finished(s->ssl))
        SSL_shutdown(s->ssl);
    ERR_clear_error();
}
