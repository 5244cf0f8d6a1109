// The listening socket and the socket events: accepting connections,
// receiving into the task buffers, and handing each event to the task's
// state machine.
#include "net.h"

#include "htconfig.h"
#include "httpd.h"
#include "memory.h"
#include "os/evloop.h"
#include "os/sock.h"
#include "os/tls.h"
#include "task.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>

namespace {

constexpr int LISTEN_BACKLOG = SOMAXCONN;
constexpr int ACCEPTS_PER_EVENT = 32;
constexpr int EVICT_BATCH = 16;  // connections closed at once to make room

ev_loop *loop;
bool running;
bool accept_paused;
int fd_limit;    // the descriptor limit
int fd_reserve;  // descriptors kept for what requests open

void default_message(const char *text, const char *caption)
{
    fprintf(stderr, "%s: %s\n", caption, text);
}

message_fn show_message = default_message;

// What is published and to whom, for the next start.
tree_rules publish_rules = {false, false};
access_settings access;
// TLS for the next start, and the running server's.
const char *tls_cert_file;
const char *tls_key_file;
bool tls_self_signed;
tls_server *tls;

void on_read(task *t)
{
    io_buf &in = t->in;
    const ssize_t n = ev_recv(loop, t->sock, in.last, buf_room(in));
    if (n < 0)
        return;  // nothing there after all; a later event retries
    in.last += n;
    bytes_recv += static_cast<uint64_t>(n);
}

// The peer's address of a new connection as bytes.
peer_addr peer_of(int sock)
{
    peer_addr a{};
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&ss), &len) != 0)
        return a;
    if (ss.ss_family == AF_INET) {
        a.len = 4;
        memcpy(a.bytes, &reinterpret_cast<sockaddr_in *>(&ss)->sin_addr, 4);
    } else if (ss.ss_family == AF_INET6) {
        const in6_addr &v6 = reinterpret_cast<sockaddr_in6 *>(&ss)->sin6_addr;
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            a.len = 4;
            memcpy(a.bytes, v6.s6_addr + 12, 4);
        } else {
            a.len = 16;
            memcpy(a.bytes, v6.s6_addr, 16);
        }
    }
    return a;
}

void on_accept(server_ctx *ctx)
{
    for (int i = 0; i < ACCEPTS_PER_EVENT; ++i) {
        int err = 0;
        int sock = ev_accept(loop, ctx->listen_sock, &err);
        if (sock < 0) {
            if (err != EMFILE && err != ENFILE && err != ENOBUFS && err != ENOMEM)
                return;
            // Out of descriptors or memory: connections waiting for a
            // request make room, oldest first, so that idle or trickling
            // ones cannot lock everyone out. When none can go, accepting
            // pauses until the next tick instead of being woken for the
            // same pending connection forever.
            const int32_t before = ctx->ntasks;
            sweep(ctx, EVICT_BATCH);
            if (ctx->ntasks < before)
                continue;
            ev_select(loop, ctx->listen_sock, 0);
            accept_paused = true;
            return;
        }
        ++conn_total;
        // An address the list leaves out is closed before a byte is read.
        if (!peer_allowed(peer_of(sock))) {
            ++conn_refused;
            ev_close(loop, sock);
            continue;
        }
        // Descriptors are handed out lowest first, so a high one means few
        // are left: a reserve stays for the files, directories and archives
        // that requests open. A connection waiting for a request makes room;
        // when none can, the new one is refused.
        if (sock >= fd_limit - fd_reserve) {
            const int32_t before = ctx->ntasks;
            sweep(ctx, 1);
            if (ctx->ntasks == before) {
                ev_close(loop, sock);
                continue;
            }
        }
        if (tls) {
            tls_session *session = tls_session_new(tls, sock);
            if (!session) {
                ev_close(loop, sock);  // no memory: the connection gets no service
                return;
            }
            ev_set_tls(loop, sock, session);
        }
        task *t = task_create(sock);
        if (!t) {
            ev_close(loop, sock);  // no memory: the connection gets no service
            return;
        }
        if (!task_register(ctx, t, peer_of(sock))) {
            task_free(t);  // its address holds its share of connections
            ev_close(loop, sock);
            continue;
        }
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
        // The loop keeps each connection's task beside its socket.
        auto *t = static_cast<task *>(ev_data(loop, sock));
        if (!t)
            return;
        ctx->entries.turn = ev_turn(loop);
        if (event == EV_READ && t->state != TASK_LINGERING)
            on_read(t);
        if (event == EV_CLOSE)
            t->state = TASK_CLOSING;
        else
            exec_task(ctx, t);
        if (t->state == TASK_CLOSING)
            task_close(ctx, t);
        else
            task_select(ctx, t);
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

void net_set_publishing(tree_rules rules, const access_settings &settings)
{
    publish_rules = rules;
    access = settings;
}

void net_set_reply_log(reply_log_fn fn)
{
    httpd_set_reply_log(fn);
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

int server_start(int port, const char *root, const char *default_page, const char *bind_address, int max_age)
{
    if (running)
        return -1;
    server_ctx *ctx = &g_ctx;
    ctx->loop = net_loop();
    char err[SOCK_ERROR_SIZE + 512];
    if (tls_self_signed || tls_cert_file) {
        tls = tls_self_signed ? tls_server_self_signed(err, sizeof err)
                              : tls_server_from_files(tls_cert_file, tls_key_file, err, sizeof err);
        if (!tls) {
            show_message(err, "Error");
            return -1;
        }
        if (*tls_warning(tls))
            show_message(tls_warning(tls), "Warning");
    }
    const int sock = sock_listen(bind_address, port, LISTEN_BACKLOG, err, sizeof err);
    ctx->listen_sock = sock < 0 ? -1 : ev_watch(loop, sock);
    if (ctx->listen_sock < 0) {
        if (sock >= 0)  // made, but the loop could not take it
            snprintf(err, sizeof err, "WSASocket() Failed.\nport %d: %s", port, strerror(errno));
        show_message(err, "Error");
        ev_shutdown(loop);
        tls_server_free(tls);
        tls = nullptr;
        return -1;
    }
    rlimit rl{};
    fd_limit =
        getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < INT32_MAX ? static_cast<int>(rl.rlim_cur) : INT32_MAX;
    fd_reserve = std::clamp(fd_limit / 16, 8, 64);
    bool published = tree_open(root, publish_rules);
    if (!published)
        snprintf(err, sizeof err, "The root directory %s cannot be opened: %s", root, strerror(errno));
    else
        published = access_load(access, err, sizeof err);
    if (!published) {
        tree_close();
        access_clear();
        show_message(err, "Error");
        ev_shutdown(loop);
        return -1;
    }
    cfg_create(&g_config);
    cfg_defaults(&g_config, root);
    g_config.index_file = default_page;
    ctx_init(ctx, root);
    ctx->cache.max_age = max_age;
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
    tree_close();
    access_clear();
    tls_server_free(tls);
    tls = nullptr;
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
        // Connections that waited meanwhile raise no new event: take them now.
        accept_paused = false;
        ev_select(loop, g_ctx.listen_sock, EV_ACCEPT);
        on_accept(&g_ctx);
    }
    if (running)
        sweep(&g_ctx, 0);
}

void server_clean()
{
    if (running)
        fe_release_unused(&g_ctx.entries);
}

void server_set_tls(const char *cert_file, const char *key_file, bool self_signed)
{
    tls_cert_file = cert_file && *cert_file ? cert_file : nullptr;
    tls_key_file = key_file && *key_file ? key_file : nullptr;
    tls_self_signed = self_signed;
}

bool server_tls()
{
    return tls != nullptr;
}

const char *server_tls_fingerprint()
{
    return tls ? tls_fingerprint(tls) : nullptr;
}

bool server_tls_by_kernel()
{
    return tls_kernel_sends();
}
