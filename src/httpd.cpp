// The server context, the list of connection tasks, the sweep, and the
// request state machine.
#include "httpd.h"

#include "error.h"
#include "file.h"
#include "htconfig.h"
#include "memory.h"
#include "mime.h"
#include "os/evloop.h"
#include "os/sock.h"
#include "reply.h"
#include "resources.h"
#include "task.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// The open connections of one peer address.
struct peer_count {
    peer_addr addr;
    int32_t count;
    peer_count *next;
};

// One address may hold this many connections at once: a browser opens six
// and a proxy or a household behind one address some dozens, while one
// address alone cannot fill the descriptor table. The host's own loopback
// address (127.0.0.1, ::1) is not counted: a reverse proxy on this host
// connects from it for all its users.
constexpr int32_t MAX_CONNS_PER_PEER = 256;
// A reply whose socket takes no byte for this long is given up. Clients that
// read in bursts (curl's --limit-rate reads what the socket buffers hold at
// once, then pauses for as long as that took at its rate) must not be cut.
constexpr int32_t REPLY_STALL_SECONDS = 120;
// How long unread input is drained before a close.
constexpr int32_t LINGER_SECONDS = 2;
constexpr uint32_t LINGER_BYTES = 65536;
server_ctx g_ctx;

// ---- context ---------------------------------------------------------------

void ctx_init(server_ctx *ctx, const char *root)
{
    ctx->ntasks = 0;
    ctx->tasks = ctx->oldest = nullptr;
    memset(ctx->peers, 0, sizeof ctx->peers);
    if (!fe_cache_init(&ctx->entries))
        panic("No enough memory for the entry table");
    ctx->root = root;
    ctx->start_time = time_now();
    ctx->cache.max_age = -1;
    mime_table_build();
    for (const builtin_resource *r = builtin_resources; r->name; ++r)
        fe_add_static(&ctx->entries, r->name, r->data, r->size, ctx->start_time);
}

void ctx_destroy(server_ctx *ctx)
{
    mime_table_free();
    while (task *t = ctx->tasks) {
        ctx->tasks = t->next;
        if (t->fe)
            fe_release(&ctx->entries, t->fe);
        counted_free(&n_blocks, t->note);
        task_free(t);
    }
    ctx->oldest = nullptr;
    ctx->ntasks = 0;
    for (peer_count *&bucket : ctx->peers)
        while (peer_count *p = bucket) {
            bucket = p->next;
            counted_free(&n_blocks, p);
        }
    fe_cache_destroy(&ctx->entries);
}

// ---- peers -------------------------------------------------------------------

namespace {

bool is_own_loopback(const peer_addr &a)
{
    static constexpr uint8_t v6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return (a.len == 4 && a.bytes[0] == 127 && a.bytes[1] == 0 && a.bytes[2] == 0 && a.bytes[3] == 1) ||
           (a.len == 16 && memcmp(a.bytes, v6, 16) == 0);
}

peer_count **peer_bucket(server_ctx *ctx, const peer_addr &a)
{
    uint32_t h = 2166136261u;
    for (uint8_t i = 0; i < a.len; ++i)
        h = (h ^ a.bytes[i]) * 16777619u;
    return &ctx->peers[h % PEER_HASH_SIZE];
}

// Counts one more connection of `a`; null when the address holds its share
// already or memory is exhausted.
peer_count *peer_join(server_ctx *ctx, const peer_addr &a)
{
    peer_count **bucket = peer_bucket(ctx, a);
    for (peer_count *p = *bucket; p; p = p->next)
        if (p->addr.len == a.len && memcmp(p->addr.bytes, a.bytes, a.len) == 0)
            return p->count < MAX_CONNS_PER_PEER ? (++p->count, p) : nullptr;
    auto *p = static_cast<peer_count *>(counted_alloc(&n_blocks, sizeof(peer_count)));
    if (!p)
        return nullptr;
    p->addr = a;
    p->count = 1;
    p->next = *bucket;
    *bucket = p;
    return p;
}

void peer_leave(server_ctx *ctx, peer_count *p)
{
    if (--p->count > 0)
        return;
    peer_count **link = peer_bucket(ctx, p->addr);
    while (*link != p)
        link = &(*link)->next;
    *link = p->next;
    counted_free(&n_blocks, p);
}

}  // namespace

// ---- the access log -------------------------------------------------------------

// What a connection's current reply is, for the access log.
struct reply_note {
    char peer[SOCK_ADDRESS_SIZE];
    char request_line[2048];
    int64_t time;
    int32_t status;  // of the reply being sent; 0 when none is
    uint32_t header_size;
    char user[64];  // who authenticated for it; empty when nobody did
};

namespace {

reply_log_fn reply_log;

// A request head was read, or found bad: its line is kept, rebuilt from what
// the reader made of it (the line itself has been cut up in place).
void note_request(task *t)
{
    reply_note *n = t->note;
    if (!n)
        return;
    static const char *const methods[] = {nullptr, "OPTIONS", "GET",   "HEAD",   "POST",
                                          "PUT",   "DELETE",  "TRACE", "CONNECT"};
    const request_head &r = t->req;
    n->time = time_now();
    n->status = 0;
    n->user[0] = 0;
    const char *uri = r.uri ? r.uri : "";
    if (r.method <= METHOD_NONE || r.method >= METHOD_UNKNOWN)
        snprintf(n->request_line, sizeof n->request_line, "-");
    else if (r.version == 0)
        snprintf(n->request_line, sizeof n->request_line, "%s %s", methods[r.method], uri);
    else
        snprintf(n->request_line, sizeof n->request_line, "%s %s HTTP/%d.%d", methods[r.method], uri, r.version / 256,
                 r.version % 256);
}

// A reply is queued: its status, and the header size that the body follows.
void note_reply(task *t)
{
    reply_note *n = t->note;
    if (!n)
        return;
    n->status = t->status;
    const void *end = memmem(t->out.pos, buf_size(t->out), "\r\n\r\n", 4);
    n->header_size = end ? static_cast<uint32_t>(static_cast<const char *>(end) + 4 - t->out.pos) : buf_size(t->out);
}

// The reply has gone, or its connection closed first: one line in the log.
void note_end(task *t)
{
    reply_note *n = t->note;
    if (!n || n->status == 0)
        return;
    if (reply_log) {
        const reply_record r = {n->peer, n->request_line, n->status,
                                t->sent > n->header_size ? t->sent - n->header_size : 0, n->time,
                                n->user[0] ? n->user : nullptr};
        reply_log(&r);
    }
    n->status = 0;
}

}  // namespace

void httpd_set_reply_log(reply_log_fn fn)
{
    reply_log = fn;
}

// ---- tasks -------------------------------------------------------------------

bool task_register(server_ctx *ctx, task *t, const peer_addr &peer)
{
    t->peer = nullptr;
    t->addr_len = peer.len;
    memcpy(t->addr, peer.bytes, sizeof t->addr);
    if (!is_own_loopback(peer) && !(t->peer = peer_join(ctx, peer)))
        return false;
    t->note = nullptr;
    if (reply_log && (t->note = static_cast<reply_note *>(counted_calloc(&n_blocks, 1, sizeof(reply_note)))))
        sock_peer_text(t->sock, t->note->peer, sizeof t->note->peer);
    t->deadline = time_now() + g_config.conn_timeout;
    t->state = TASK_READING;
    t->prev = nullptr;
    t->next = ctx->tasks;
    if (ctx->tasks)
        ctx->tasks->prev = t;
    else
        ctx->oldest = t;
    ctx->tasks = t;
    ++ctx->ntasks;
    return true;
}

void task_close(server_ctx *ctx, task *t)
{
    if (t->note) {
        note_end(t);
        counted_free(&n_blocks, t->note);
    }
    if (t->fe)
        fe_release(&ctx->entries, t->fe);
    if (t->peer)
        peer_leave(ctx, t->peer);
    if (t->prev)
        t->prev->next = t->next;
    else
        ctx->tasks = t->next;
    if (t->next)
        t->next->prev = t->prev;
    else
        ctx->oldest = t->prev;
    --ctx->ntasks;
    ev_close(ctx->loop, t->sock);
    task_free(t);
}

void task_select(server_ctx *ctx, task *t)
{
    // A task waiting for its entry is called each turn, its socket being
    // writable, and hears at once of a peer that has gone.
    const uint32_t waiting = t->state == TASK_WAITING ? uint32_t{EV_WRITE} : 0;
    ev_select(ctx->loop, t->sock, EV_CLOSE | waiting | (t->state == TASK_WRITING ? EV_WRITE : EV_READ));
}

void sweep(server_ctx *ctx, int evict)
{
    const int64_t now = time_now();
    task *prev;
    for (task *t = ctx->oldest; t; t = prev) {
        prev = t->prev;
        if (t->state == TASK_WRITING && t->deadline - now < REPLY_STALL_SECONDS - g_config.conn_timeout) {
            // No send for a while: a reply waits in a full socket. Bytes the
            // peer took from it since the last look are progress too.
            const uint32_t unsent = ev_unsent(ctx->loop, t->sock);
            if (t->unsent_seen != UINT32_MAX && unsent < t->unsent_seen)
                t->deadline = now + REPLY_STALL_SECONDS;
            t->unsent_seen = unsent;
        }
        if (t->deadline < now || (evict > 0 && t->state == TASK_READING && evict--))
            task_close(ctx, t);
    }
}

// ---- request execution ---------------------------------------------------------

namespace {

// With users set, a request needs one's credentials: 0 to go on, or the
// status of the refusal. An address that failed too often in a minute is
// refused whatever it sends, so that guessing learns nothing meanwhile.
int32_t check_credentials(task *t, int64_t *retry_after)
{
    if (!access_needs_auth())
        return 0;
    peer_addr a{};
    a.len = t->addr_len;
    memcpy(a.bytes, t->addr, sizeof a.bytes);
    const int64_t now = time_now();
    if ((*retry_after = peer_blocked(a, now)) > 0)
        return STATUS_429;
    const char *user;
    uint32_t user_len;
    switch (auth_check(t->req.authorization, &user, &user_len)) {
    case AUTH_OK:
        if (t->note)
            snprintf(t->note->user, sizeof t->note->user, "%.*s", static_cast<int>(user_len), user);
        return 0;
    case AUTH_WRONG:
        peer_failed(a, now);
        break;
    case AUTH_MISSING:
        break;  // a browser's first request, before it has asked its user
    }
    return STATUS_401;
}

// Starts a state: each has its own deadline.
void enter(task *t, task_state state)
{
    t->state = state;
    switch (state) {
    case TASK_READING:
        // An idle connection may wait the idle period; a request head that
        // has begun must arrive whole within it, however it trickles in.
        t->head_started = buf_size(t->in) > 0 || t->body_left > 0;
        t->deadline = time_now() + g_config.conn_timeout;
        break;
    case TASK_WAITING:
        t->deadline = time_now() + REPLY_STALL_SECONDS;
        break;
    case TASK_WRITING:
        t->deadline = time_now() + REPLY_STALL_SECONDS;
        t->unsent_seen = UINT32_MAX;
        break;
    case TASK_LINGERING:
        t->deadline = time_now() + LINGER_SECONDS;
        t->linger_left = LINGER_BYTES;
        break;
    case TASK_CLOSING:
        break;
    }
}

// Refuses a request whose body cannot be framed or is too long; the
// connection closes after the reply. Otherwise starts discarding the body.
int32_t check_body(task *t)
{
    request_head &req = t->req;
    int32_t status = 0;
    switch (req.body) {
    case BODY_NONE:
        return 0;
    case BODY_LENGTH:
        if (req.content_length <= MAX_REQUEST_BODY) {
            t->body_left = req.content_length;
            task_discard_body(t);
            return 0;
        }
        status = STATUS_413;
        break;
    case BODY_BAD_LENGTH:
    case BODY_BAD_CODING:
        status = STATUS_400;
        break;
    case BODY_TRANSFER_CODING:
        status = STATUS_501;
        break;
    }
    req.keep_alive = KEEP_ALIVE_NONE;
    return status;
}

// A reply waits in the output buffer: it goes when the socket takes it.
void reply_ready(task *t)
{
    // HTTP/1.0 clients take a connection as closing unless the reply says otherwise.
    if (t->req.version == HTTP_1_0 && task_keeps_alive(t) && !task_add_header_line(t, "Connection: keep-alive\r\n"))
        t->req.keep_alive = KEEP_ALIVE_NONE;  // no room to say so: the close frames it instead
    enter(t, TASK_WRITING);
    note_reply(t);
}

// Routes the request and puts its reply in the output buffer, ready to go.
// A reply whose entry is still being made (a folder's walk) waits instead
// and is prepared again on a later turn, for the same request.
void prepare_reply(server_ctx *ctx, task *t)
{
    if (reply_compose(t, reply_scope{&ctx->entries, ctx->start_time, ctx->cache}))
        reply_ready(t);
    else if (t->state != TASK_WAITING)
        enter(t, TASK_WAITING);
}

// Reads the request head that has arrived and prepares its reply.
void answer_request(server_ctx *ctx, task *t)
{
    size_t used;
    const read_result r = read_request(&t->req, t->in.pos, buf_size(t->in), &used);
    t->in.pos += used;
    if (r == READ_MORE && buf_room(t->in) > 0)
        return;
    note_request(t);
    if (r == READ_MORE) {
        // The head fills the whole input buffer and is still incomplete.
        t->req.keep_alive = KEEP_ALIVE_NONE;
        reply_error(t, STATUS_413, nullptr);
    } else if (r == READ_BAD) {
        // What follows a head that could not be read cannot be told apart
        // from its body: nothing more is read from this connection.
        t->req.keep_alive = KEEP_ALIVE_NONE;
        reply_error(t, STATUS_400, nullptr);
    } else if (const int32_t refused = check_body(t)) {
        reply_error(t, refused, nullptr);
    } else if (int64_t retry_after = 0; const int32_t denied = check_credentials(t, &retry_after)) {
        reply_error(t, denied, nullptr);
        char line[64];
        if (denied == STATUS_429)
            snprintf(line, sizeof line, "Retry-After: %lld\r\n", static_cast<long long>(retry_after));
        else
            snprintf(line, sizeof line, "WWW-Authenticate: Basic realm=\"Pellorwick\", charset=\"UTF-8\"\r\n");
        if (!task_add_header_line(t, line))
            t->req.keep_alive = KEEP_ALIVE_NONE;
    } else {
        prepare_reply(ctx, t);
        return;
    }
    reply_ready(t);
}

// A body that cannot be read ends its reply: with an error reply while
// nothing of it has gone, else with the close, the only signal left.
void fail_reply(server_ctx *ctx, task *t)
{
    if (t->sent > 0) {
        t->state = TASK_CLOSING;
        return;
    }
    if (t->fe) {
        fe_release(&ctx->entries, t->fe);
        t->fe = nullptr;
    }
    t->offset = t->end = 0;
    t->out.pos = t->out.last = t->out.start;
    t->req.keep_alive = KEEP_ALIVE_NONE;
    reply_error(t, STATUS_500, nullptr);
    note_reply(t);
}

// The reply has gone: keep the connection for its next request, or close
// it, lingering first when unread input may wait, so that closing with it
// does not reset the connection before the peer has the reply.
void end_reply(server_ctx *ctx, task *t)
{
    note_end(t);
    if (t->fe) {
        fe_release(&ctx->entries, t->fe);
        t->fe = nullptr;
    }
    if (task_keeps_alive(t)) {
        task_reset(t);
        enter(t, TASK_READING);
        return;
    }
    if (buf_size(t->in) > 0 || t->body_left > 0 || ev_unread(ctx->loop, t->sock) > 0) {
        ev_end_sending(ctx->loop, t->sock);
        enter(t, TASK_LINGERING);
        return;
    }
    t->state = TASK_CLOSING;
}

// Drains input until the peer ends its side, the limit or an error.
void linger(server_ctx *ctx, task *t)
{
    char scrap[4096];
    for (;;) {
        const ssize_t n = ev_recv(ctx->loop, t->sock, scrap, sizeof scrap);
        if (n < 0 && errno == EAGAIN)
            return;
        if (n <= 0 || static_cast<uint32_t>(n) >= t->linger_left) {
            t->state = TASK_CLOSING;
            return;
        }
        t->linger_left -= static_cast<uint32_t>(n);
    }
}

void read_step(server_ctx *ctx, task *t)
{
    if (!t->head_started && buf_size(t->in) > 0) {
        t->head_started = true;
        t->deadline = time_now() + g_config.conn_timeout;
    }
    if (t->body_left > 0) {
        task_discard_body(t);
        if (t->body_left > 0) {
            t->in.pos = t->in.last = t->in.start;  // all that came was body
            return;
        }
    }
    // A request that arrived with the one before it is answered at once:
    // no read event would come for bytes that are already here.
    if (buf_size(t->in) > 0 || buf_room(t->in) == 0)
        answer_request(ctx, t);
}

}  // namespace

void exec_task(server_ctx *ctx, task *t)
{
    task_state before;
    do {
        before = t->state;
        switch (t->state) {
        case TASK_READING:
            read_step(ctx, t);
            // The reply goes out when the loop next reports the socket
            // writable: the replies of one turn then go together, and the
            // entries they send are shared by them rather than opened and
            // closed for each.
            if (t->state == TASK_WRITING || t->state == TASK_WAITING)
                return;
            break;
        case TASK_WAITING:
            // A slice of work on its entry is progress; a request waiting
            // for a place to walk in is taken as going on too.
            t->deadline = time_now() + REPLY_STALL_SECONDS;
            prepare_reply(ctx, t);
            break;
        case TASK_WRITING: {
            const uint64_t sent = t->sent;
            const send_result r = task_send(t, ctx->loop);
            // Sent bytes are progress, and so is a slice of work on the body;
            // SEND_LATER then leaves the task to the loop's next write event.
            if (t->sent != sent || r == SEND_LATER)
                t->deadline = time_now() + REPLY_STALL_SECONDS;
            if (r == SEND_DONE)
                end_reply(ctx, t);
            else if (r == SEND_FAILED)
                fail_reply(ctx, t);
            break;
        }
        case TASK_LINGERING:
            linger(ctx, t);
            break;
        case TASK_CLOSING:
            break;
        }
    } while (t->state != before);
}
