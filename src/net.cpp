// The listening socket and the socket events: accepting connections,
// receiving into and sending from the task buffers, closing.
#include "net.h"

#include "htconfig.h"
#include "file.h"
#include "httpd.h"
#include "memory.h"
#include "task.h"
#include "os/evloop.h"
#include "os/sock.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>

int32_t bytes_sent;
int32_t bytes_recv;
int32_t conn_total;

namespace {

constexpr int LISTEN_BACKLOG = SOMAXCONN;
constexpr int ACCEPTS_PER_EVENT = 32;
constexpr uint32_t WIDE_PIECE = 65536;

// The next piece of a long body, on its way from the entry to the socket.
// One thread sends, so one buffer serves every connection.
unsigned char wide_buf[WIDE_PIECE];

ev_loop *loop;
bool running;
bool accept_paused;

void default_message(const char *text, const char *caption)
{
    fprintf(stderr, "%s: %s\n", caption, text);
}

message_fn show_message = default_message;

// 32-bit counters wrap like the panel's figures do.
void count_bytes(int32_t *counter, ssize_t n)
{
    *counter = static_cast<int32_t>(static_cast<uint32_t>(*counter) + static_cast<uint32_t>(n));
}

}  // namespace

// ---- Reply log: what a connection's current reply is, for the log hook ----

struct reply_note {
    char peer[SOCK_ADDRESS_SIZE];
    char request_line[2048];
    int64_t time;
    int status;           // of the reply being sent; 0 when none is
    uint32_t header_size;
    uint64_t sent;        // bytes of this reply sent, header included
};

namespace {

reply_log_fn reply_log;

// A connection accepted while the log is on carries a record.
void reply_note_open(task *t)
{
    if (!reply_log)
        return;
    t->note = static_cast<reply_note *>(counted_alloc(&n_blocks, sizeof(reply_note)));
    if (!t->note)
        return;  // no memory: this connection goes unlogged
    memset(t->note, 0, sizeof(reply_note));
    sock_peer_text(t->sock, t->note->peer, sizeof t->note->peer);
}

void count_sent(task *t, ssize_t n)
{
    count_bytes(&bytes_sent, n);
    if (t->note)
        t->note->sent += static_cast<uint64_t>(n);
}

}  // namespace

void net_set_reply_log(reply_log_fn fn)
{
    reply_log = fn;
}

void reply_note_request(task *t)
{
    if (!t->note)
        return;
    // By method code (htproc.h); the request line itself has been cut up in place.
    static const char *const methods[] = {nullptr, "OPTIONS", "GET",   "HEAD",   "POST",
                                          "PUT",   "DELETE",  "TRACE", "CONNECT"};
    reply_note *n = t->note;
    n->time = time_now();
    n->status = 0;
    const bool known = t->method > 0 && t->method < static_cast<int32_t>(sizeof methods / sizeof *methods);
    if (!known)
        snprintf(n->request_line, sizeof n->request_line, "-");
    else if (t->version == 0)
        snprintf(n->request_line, sizeof n->request_line, "%s %s", methods[t->method], t->uri ? t->uri : "");
    else
        snprintf(n->request_line, sizeof n->request_line, "%s %s HTTP/%d.%d", methods[t->method],
                 t->uri ? t->uri : "", t->version / 256, t->version % 256);
}

void reply_note_reply(task *t)
{
    if (!t->note)
        return;
    reply_note *n = t->note;
    // The status line and the header are at the front of the output buffer.
    const char *out = t->out_buf;
    n->status = 0;
    if (t->out_len >= 12 && memcmp(out, "HTTP/1.1 ", 9) == 0)
        n->status = (out[9] - '0') * 100 + (out[10] - '0') * 10 + (out[11] - '0');
    const void *end = memmem(out, t->out_len, "\r\n\r\n", 4);
    n->header_size = end ? static_cast<uint32_t>(static_cast<const char *>(end) - out + 4) : t->out_len;
    n->sent = 0;
}

void reply_note_end(task *t)
{
    reply_note *n = t->note;
    if (!n || n->status == 0)
        return;
    if (reply_log) {
        const reply_record r = {n->peer, n->request_line, n->status,
                                n->sent > n->header_size ? n->sent - n->header_size : 0, n->time};
        reply_log(&r);
    }
    n->status = 0;
}

void reply_note_free(task *t)
{
    if (!t->note)
        return;
    reply_note_end(t);
    counted_free(&n_blocks, t->note);
    t->note = nullptr;
}

namespace {

void on_read(server_ctx *ctx, task *t)
{
    ssize_t n = ev_recv(loop, t->sock, t->in_buf + t->in_head, t->in_buf_size - t->in_head);
    if (n < 0)
        return;  // nothing there after all; a later event retries
    t->in_head += static_cast<uint32_t>(n);
    count_bytes(&bytes_recv, n);
    if (exec_task(ctx, t) != 2)
        task_select(ctx, t);
}

// Sends what waits in the output buffer together with the rest of the body,
// read straight from the entry, once that rest is at most 64 KB: a reply of
// up to 72 KB then leaves in one send after at most two reads, where the
// output buffer alone would take a read and a send per 8 KB. Longer bodies
// stream through the output buffer until their last 64 KB (measured faster:
// the 8 KB pieces stay in the processor's cache between read and send).
// What the socket did not take stays in the output buffer as far as it
// fits, and the rest is read again at the next write event (cheap for every
// entry: a deflated member keeps its last 64 KB inflated). Returns 1 when
// sent, 0 when not done (the ordinary send applies), -1 when nothing went,
// -2 when the entry failed.
int send_wide(task *t)
{
    if (t->state != TASK_OUTPUT || !t->fe)
        return 0;
    const uint32_t limit = task_body_limit(t);
    const uint32_t room = t->out_buf_size - t->out_len;
    const uint32_t piece = limit - t->offset;
    if (piece <= room || piece > WIDE_PIECE)
        return 0;
    if (fe_read(t->fe, wide_buf, piece, t->offset) < 0)
        return -2;
    iovec pieces[2] = {{t->out_buf, t->out_len}, {wide_buf, piece}};
    const bool more = t->offset + piece < limit;
    const ssize_t n = ev_sendv(loop, t->sock, t->out_len > 0 ? pieces : pieces + 1, t->out_len > 0 ? 2 : 1, more);
    if (n < 0)
        return -1;
    count_sent(t, n);
    uint32_t body_sent = 0;
    const auto sent = static_cast<uint32_t>(n);
    if (sent < t->out_len) {
        t->out_len -= sent;
        memmove(t->out_buf, t->out_buf + sent, t->out_len);
    } else {
        body_sent = sent - t->out_len;
        t->out_len = 0;
    }
    const uint32_t unsent = piece - body_sent;
    const uint32_t free_room = t->out_buf_size - t->out_len;
    const uint32_t keep = unsent < free_room ? unsent : free_room;
    memcpy(t->out_buf + t->out_len, wide_buf + body_sent, keep);
    t->out_len += keep;
    t->offset += body_sent + keep;
    // Taking more of the body is a refill: the idle deadline starts again,
    // as it does when exec_task refills the buffer.
    if (body_sent + keep > 0)
        t->deadline = time_now() + g_config.conn_timeout;
    return 1;
}

void on_write(server_ctx *ctx, task *t)
{
    const int wide = send_wide(t);
    if (wide == -2) {
        // The entry could not be read: the reply cannot be completed.
        fe_release(ctx, t->fe);
        t->fe = nullptr;
        task_close(ctx, t);
        return;
    }
    if (wide < 0)
        return;  // full or failing; a write or close event follows
    if (wide == 0 && t->out_len > 0) {
        // While the body is still being copied, more follows at once: let the
        // pieces of one reply travel in full segments rather than 8 KB each.
        ssize_t n = ev_send(loop, t->sock, t->out_buf, t->out_len, t->state == TASK_OUTPUT);
        if (n < 0)
            return;  // full or failing; a write or close event follows
        count_sent(t, n);
        t->out_len -= static_cast<uint32_t>(n);
        if (t->out_len > 0)
            memmove(t->out_buf, t->out_buf + n, t->out_len);
    }
    // Refill below the low-water mark; end the reply once the buffer is empty.
    if (t->state == TASK_OUTPUT_DONE || t->state == TASK_REPLY || t->out_len < t->out_low_water) {
        if (exec_task(ctx, t) == 2)
            return;
        // The last of the body may have gone with this send: end the reply now
        // rather than at the next write event.
        if (t->state == TASK_OUTPUT_DONE && t->out_len == 0 && exec_task(ctx, t) == 2)
            return;
    }
    if (t->out_len > 0)
        t->select_flags |= TF_RESELECT;
    task_select(ctx, t);
}

void on_accept(server_ctx *ctx)
{
    for (int i = 0; i < ACCEPTS_PER_EVENT; ++i) {
        int err = 0;
        int sock = ev_accept(loop, ctx->listen_sock, &err);
        if (sock < 0) {
            // Out of descriptors or memory: stop accepting until the next tick
            // instead of being woken for the same pending connection forever.
            if (err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM) {
                ev_select(loop, ctx->listen_sock, 0);
                accept_paused = true;
            }
            return;
        }
        ++conn_total;
        task *t = task_create(task_key(static_cast<uint32_t>(sock)));
        if (!t) {
            ev_close(loop, sock);  // no memory: the connection gets no service
            return;
        }
        t->sock = sock;
        reply_note_open(t);
        t->out_low_water = TASK_LOW_WATER;
        t->select_flags = 0;
        task_register(ctx, t);
        ev_set_data(loop, sock, t);
        task_select(ctx, t);
    }
}

void socket_event(ev_loop *, int sock, uint32_t event)
{
    server_ctx *ctx = &g_ctx;
    switch (event) {
    case EV_READ:
    case EV_WRITE:
    case EV_CLOSE: {
        if (!ctx->task_hash)
            return;
        // The loop keeps each connection's task beside its socket: the same
        // task the registry holds under the socket's key, found without
        // hashing the key on every event.
        auto *t = static_cast<task *>(ev_data(loop, sock));
        if (!t)
            return;
        if (event == EV_READ)
            on_read(ctx, t);
        else if (event == EV_WRITE)
            on_write(ctx, t);
        else
            task_close(ctx, t);
        return;
    }
    case EV_ACCEPT:
        if (sock != ctx->listen_sock) {
            show_message("Accept", "Invalid accepted socket");
            return;
        }
        on_accept(ctx);
        return;
    default:
        return;
    }
}

}  // namespace

void net_set_message_handler(message_fn fn)
{
    show_message = fn ? fn : default_message;
}

ev_loop *net_loop()
{
    if (!loop) {
        loop = ev_create(socket_event);
        if (!loop)
            panic("cannot create the event loop");
    }
    return loop;
}

int server_start(int port, char *root, const char *default_page, const char *bind_address)
{
    if (running)
        return -1;
    server_ctx *ctx = &g_ctx;
    ctx->event_window = net_loop();
    char err[SOCK_ERROR_SIZE];
    const int sock = sock_listen(bind_address, port, LISTEN_BACKLOG, err, sizeof err);
    ctx->listen_sock = sock < 0 ? -1 : ev_watch(loop, sock);
    if (ctx->listen_sock < 0) {
        if (sock >= 0)  // made, but the loop could not take it
            snprintf(err, sizeof err, "WSASocket() Failed.\nport %d: %s", port, strerror(errno));
        show_message(err, "Error");
        ev_shutdown(loop);
        return -1;
    }
    for (char *p = root; *p; ++p)
        if (*p == '\\')
            *p = '/';
    cfg_create(&g_config);
    cfg_defaults(&g_config, root);
    g_config.index_file = default_page;
    ctx_init(ctx, root);
    ev_select(loop, ctx->listen_sock, EV_ACCEPT);
    accept_paused = false;
    running = true;
    return 0;
}

void server_stop()
{
    if (!running)
        return;
    ev_shutdown(loop);
    ctx_destroy(&g_ctx);
    cfg_free(&g_config);
    running = false;
    accept_paused = false;
}

bool server_running()
{
    return running;
}

void server_tick()
{
    if (running && accept_paused) {
        accept_paused = false;
        ev_select(loop, g_ctx.listen_sock, EV_ACCEPT);
    }
    sweep(&g_ctx, 0);
}

void server_clean()
{
    sweep(&g_ctx, 1);
}

void task_select(server_ctx *ctx, task *t)
{
    if (!(t->select_flags & TF_RESELECT))
        return;
    uint32_t events = EV_CLOSE;
    if (t->select_flags & TF_READ)
        events |= EV_READ;
    if (t->select_flags & TF_WRITE)
        events |= EV_WRITE;
    ev_select(ctx->event_window, t->sock, events);
    t->select_flags &= ~TF_RESELECT;
}

void task_unselect(server_ctx *ctx, task *t)
{
    ev_close(ctx->event_window, t->sock);
}
