// The server context, the list of connection tasks, the sweep, and the
// request state machine.
#include "httpd.h"

#include "error.h"
#include "file.h"
#include "htconfig.h"
#include "htmlgen.h"
#include "htproc.h"
#include "memory.h"
#include "mime.h"
#include "os/evloop.h"
#include "resources.h"
#include "task.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

server_ctx g_ctx;

// ---- context ---------------------------------------------------------------

void ctx_init(server_ctx *ctx, const char *root)
{
    ctx->ntasks = 0;
    ctx->tasks = nullptr;
    if (!fe_cache_init(&ctx->entries))
        panic("No enough memory for the entry table");
    ctx->root = root;
    ctx->start_time = time_now();
    mime_table_build();
    for (const builtin_resource *r = builtin_resources; r->name; ++r)
        fe_add_static(&ctx->entries, r->name, r->data, r->size);
}

void ctx_destroy(server_ctx *ctx)
{
    mime_table_free();
    while (task *t = ctx->tasks) {
        ctx->tasks = t->next;
        task_free(t);
    }
    ctx->ntasks = 0;
    fe_cache_destroy(&ctx->entries);
}

// ---- tasks -------------------------------------------------------------------

void task_register(server_ctx *ctx, task *t)
{
    t->deadline = time_now() + g_config.conn_timeout;
    t->state = TASK_READING;
    t->prev = nullptr;
    t->next = ctx->tasks;
    if (ctx->tasks)
        ctx->tasks->prev = t;
    ctx->tasks = t;
    ++ctx->ntasks;
}

void task_close(server_ctx *ctx, task *t)
{
    if (t->fe)
        fe_release(&ctx->entries, t->fe);
    if (t->prev)
        t->prev->next = t->next;
    else
        ctx->tasks = t->next;
    if (t->next)
        t->next->prev = t->prev;
    --ctx->ntasks;
    ev_close(ctx->loop, t->sock);
    task_free(t);
}

void task_select(server_ctx *ctx, task *t)
{
    ev_select(ctx->loop, t->sock, EV_CLOSE | (t->state == TASK_WRITING ? EV_WRITE : EV_READ));
}

void sweep(server_ctx *ctx)
{
    const int32_t now = time_now();
    task *next;
    for (task *t = ctx->tasks; t; t = next) {
        next = t->next;
        if (t->deadline < now)
            task_close(ctx, t);
    }
}

// ---- request execution ---------------------------------------------------------

namespace {

constexpr uint32_t PATH_BUF_SIZE = 1024;
constexpr uint32_t MAX_PATH_AND_QUERY = 1020;

// Steps from a parsed request to the entry that answers it; returns 0 with
// *found set, or the status of the error reply. A redirect's target is
// written to `location` (PATH_BUF_SIZE bytes).
int32_t find_entry(server_ctx *ctx, task *t, char *location, file_entry **found)
{
    *found = nullptr;
    request_head &req = t->req;
    if (req.version > HTTP_1_1)
        return STATUS_505;
    if (req.method != METHOD_GET && req.method != METHOD_HEAD)
        return STATUS_501;
    char *host, *query;
    int32_t port;
    char *path = split_target(req.uri, &host, &port, &query);
    if (!path)
        return STATUS_400;
    if (host)
        return STATUS_501;
    const size_t path_len = strlen(path);
    if (path_len + (query ? strlen(query) : 0) >= MAX_PATH_AND_QUERY)
        return STATUS_414;
    char *page_path = location;  // the raw path, for the listing's links
    memcpy(page_path, path, path_len + 1);
    req.uri = path_clean(uri_decode(path));

    if ((*found = builtin_lookup(ctx, req.uri, query)))
        return 0;

    const char *mapped = map_uri(req.uri, g_config.uri_mapping);
    if (!mapped)
        return STATUS_404;
    if (!path_allowed(mapped, g_config.allow_path))
        return STATUS_403;
    int redirect = 0;
    if (const char *candidate = with_index_file(mapped, g_config.index_file))
        *found = resolve_path(&ctx->entries, candidate, page_path, query, &redirect);
    if (!*found)
        *found = resolve_path(&ctx->entries, mapped, page_path, query, &redirect);
    if (redirect) {
        size_t n = strlen(location);
        location[n++] = '/';
        if (query) {
            location[n++] = '?';
            strcpy(location + n, query);
        } else {
            location[n] = 0;
        }
        *found = nullptr;
        return STATUS_302;
    }
    return *found ? 0 : STATUS_404;
}

// Puts a whole reply without a body in the output buffer.
void error_reply(task *t, int32_t status, const char *location)
{
    ASSERT(buf_size(t->out) == 0);
    const error_vars vars{location, t->req.uri, t->req.version};
    t->out.last += error_response(t->out.last, buf_room(t->out), status, t->req.method == METHOD_GET, &vars);
    t->state = TASK_WRITING;
}

// Reads the request head that has arrived and prepares its reply.
void answer_request(server_ctx *ctx, task *t)
{
    const read_result r = read_request(&t->req, &t->in);
    if (r == READ_MORE) {
        if (buf_room(t->in) > 0)
            return;
        // The head fills the whole input buffer and is still incomplete.
        t->req.keep_alive = KEEP_ALIVE_NONE;
        return error_reply(t, STATUS_413, nullptr);
    }
    if (r == READ_BAD)
        return error_reply(t, STATUS_400, nullptr);

    char location[PATH_BUF_SIZE];
    file_entry *fe;
    int32_t status = find_entry(ctx, t, location, &fe);
    if (status)
        return error_reply(t, status, status == STATUS_302 ? location : nullptr);
    t->fe = fe;
    status = reply_header(t, ctx->start_time);
    if (status == STATUS_416 || t->req.method == METHOD_HEAD) {
        t->fe = nullptr;
        t->offset = t->end = 0;
        fe_drop_if_unused(&ctx->entries, fe);
        if (status == STATUS_416)
            return error_reply(t, status, nullptr);
        t->state = TASK_WRITING;
        return;
    }
    fe_ref(fe);
    t->state = TASK_WRITING;
}

// The reply has gone: keep the connection for its next request or close it.
void end_reply(server_ctx *ctx, task *t)
{
    if (t->fe) {
        fe_release(&ctx->entries, t->fe);
        t->fe = nullptr;
    }
    if (!task_keeps_alive(t)) {
        t->state = TASK_CLOSING;
        return;
    }
    task_reset(t);
    t->state = TASK_READING;
}

}  // namespace

void exec_task(server_ctx *ctx, task *t)
{
    t->deadline = time_now() + g_config.conn_timeout;
    task_state before;
    do {
        before = t->state;
        switch (t->state) {
        case TASK_READING:
            // A request that arrived with the one before it is answered at
            // once: no read event would come for bytes that are already here.
            if (buf_size(t->in) > 0 || buf_room(t->in) == 0)
                answer_request(ctx, t);
            break;
        case TASK_WRITING:
            switch (task_send(t, ctx->loop)) {
            case SEND_DONE:
                end_reply(ctx, t);
                break;
            case SEND_AGAIN:
                break;
            case SEND_FAILED:
                t->state = TASK_CLOSING;  // the reply cannot be completed
                break;
            }
            break;
        case TASK_CLOSING:
            break;
        }
    } while (t->state != before);
}

// ---- built-in queries ------------------------------------------------------------

constexpr size_t MAX_RESOURCE_NAME = 20;

file_entry *builtin_lookup(server_ctx *ctx, const char *path, const char *query)
{
    if (!query || strcmp(path, "/") != 0)
        return nullptr;
    if (strcmp(query, "help") == 0) {
        make_room_for_page(&ctx->entries);
        return fe_add_page(&ctx->entries, "??help.html", page_from_template(help_page_html));
    }
    if (strncmp(query, "rc=", 3) != 0)
        return nullptr;
    const char *name = query + 3;
    const size_t len = strlen(name);
    if (len > MAX_RESOURCE_NAME)
        return nullptr;
    char key[MAX_RESOURCE_NAME + 2];
    key[0] = '?';
    memcpy(key + 1, name, len + 1);
    return fe_lookup(&ctx->entries, key);
}
