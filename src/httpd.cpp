// The server context, the task registry with its two circular lists, the
// sweep, and the request state machine.
#include "httpd.h"

#include "error.h"
#include "file.h"
#include "htmlgen.h"
#include "htconfig.h"
#include "htproc.h"
#include "memory.h"
#include "mime.h"
#include "net.h"
#include "resources.h"
#include "task.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

server_ctx g_ctx;

// ---- lists ---------------------------------------------------------------

static void ring_join(task **anchor, task *t)
{
    task *a = *anchor;
    if (!a) {
        t->next = t->prev = t;
        *anchor = t;
    } else {
        t->prev = a;
        t->next = a->next;
        a->next->prev = t;
        a->next = t;
    }
}

static void ring_leave(task **anchor, task *t)
{
    if (t->next == t) {
        *anchor = nullptr;
    } else {
        t->prev->next = t->next;
        t->next->prev = t->prev;
        if (*anchor == t)
            *anchor = t->prev;
    }
    t->next = t->prev = nullptr;
}

static void join_input(server_ctx *ctx, task *t)
{
    ring_join(&ctx->in_ring, t);
    t->select_flags |= TF_RESELECT | TF_READ;
}

static void leave_input(server_ctx *ctx, task *t)
{
    ring_leave(&ctx->in_ring, t);
    t->select_flags = (t->select_flags | TF_RESELECT) & ~TF_READ;
}

static void join_output(server_ctx *ctx, task *t)
{
    ring_join(&ctx->out_ring, t);
    t->select_flags |= TF_RESELECT | TF_WRITE;
}

static void leave_output(server_ctx *ctx, task *t)
{
    ring_leave(&ctx->out_ring, t);
    t->select_flags = (t->select_flags | TF_RESELECT) & ~TF_WRITE;
}

static bool is_output_state(uint32_t state)
{
    return state == TASK_OUTPUT || state == TASK_OUTPUT_DONE || state == TASK_REPLY;
}

// ---- context ---------------------------------------------------------------

void ctx_init(server_ctx *ctx, const char *root)
{
    ctx->ntasks = 0;
    ctx->task_hash_size = TASK_HASH_SIZE;
    ctx->task_hash = static_cast<task **>(calloc(TASK_HASH_SIZE, sizeof(task *)));
    ctx->nentries = 0;
    ctx->fe_hash_size = FE_HASH_SIZE;
    ctx->fe_hash = static_cast<file_entry **>(calloc(FE_HASH_SIZE, sizeof(file_entry *)));
    if (!ctx->task_hash || !ctx->fe_hash)
        abort();
    ctx->in_ring = ctx->out_ring = nullptr;
    ctx->root = root;
    ctx->start_time = time_now();
    mime_table_build();
    status_init();
    for (const builtin_resource *r = builtin_resources; r->name; ++r)
        fe_add_static(ctx, r->name, r->data, r->size);
}

void ctx_destroy(server_ctx *ctx)
{
    mime_table_free();
    if (ctx->task_hash) {
        for (int i = ctx->task_hash_size - 1; i >= 0; --i) {
            task *t = ctx->task_hash[i];
            while (t) {
                task *next = t->hash_next;
                task_free(t);
                t = next;
            }
        }
        free(ctx->task_hash);
        ctx->task_hash = nullptr;
    }
    ctx->ntasks = 0;
    if (ctx->fe_hash) {
        // Members first: destroying one drops a reference on its archive entry.
        for (int pass = 0; pass < 2; ++pass) {
            for (int i = ctx->fe_hash_size - 1; i >= 0; --i) {
                file_entry **link = &ctx->fe_hash[i];
                while (*link) {
                    file_entry *fe = *link;
                    if (pass == 0 && fe->kind != KIND_MEMBER) {
                        link = &fe->hash_next;
                        continue;
                    }
                    *link = fe->hash_next;
                    fe_destroy(fe);
                }
            }
        }
        free(ctx->fe_hash);
        ctx->fe_hash = nullptr;
    }
    ctx->nentries = 0;
    ctx->in_ring = ctx->out_ring = nullptr;
}

// ---- tasks -------------------------------------------------------------------

task *task_create(const char *key)
{
    const size_t keylen = strlen(key) + 1;
    auto *t = static_cast<task *>(
        counted_alloc(&n_tasks, sizeof(task) + keylen + TASK_IN_BUF_SIZE + TASK_OUT_BUF_SIZE));
    if (!t)
        return nullptr;
    memset(t, 0, sizeof(task));  // the buffers are left untouched until used
    t->name = reinterpret_cast<char *>(t + 1);
    memcpy(t->name, key, keylen);
    t->state = TASK_NEW;
    t->in_buf_size = TASK_IN_BUF_SIZE;
    t->in_head = t->in_tail = 0;
    t->in_buf = t->name + keylen;
    t->out_buf_size = TASK_OUT_BUF_SIZE;
    t->out_len = 0;
    t->out_buf = t->in_buf + TASK_IN_BUF_SIZE;
    t->fe = nullptr;
    t->offset = 0;
    t->keep_alive = 0;
    t->sock = -1;
    task_reset(t);
    return t;
}

void task_free(task *t)
{
    reply_note_free(t);
    counted_free(&n_tasks, t);
}

void task_register(server_ctx *ctx, task *t)
{
    t->deadline = time_now() + g_config.conn_timeout;
    task **bucket = &ctx->task_hash[string_hash(t->name, static_cast<uint32_t>(ctx->task_hash_size))];
    t->hash_next = *bucket;
    *bucket = t;
    ++ctx->ntasks;
    t->state = TASK_INPUT;
    join_input(ctx, t);
}

task *task_find(server_ctx *ctx, const char *key)
{
    task *t = ctx->task_hash[string_hash(key, static_cast<uint32_t>(ctx->task_hash_size))];
    while (t && strcmp(t->name, key) != 0)
        t = t->hash_next;
    return t;
}

// Takes the task out of its bucket chain; false when it is not there.
static bool task_unhash(server_ctx *ctx, task *t)
{
    task **link = &ctx->task_hash[string_hash(t->name, static_cast<uint32_t>(ctx->task_hash_size))];
    while (*link && *link != t)
        link = &(*link)->hash_next;
    if (!*link)
        return false;
    *link = t->hash_next;
    --ctx->ntasks;
    return true;
}

void task_close(server_ctx *ctx, task *t)
{
    if (t->state == TASK_INPUT)
        leave_input(ctx, t);
    else if (is_output_state(t->state))
        leave_output(ctx, t);
    if (t->fe) {
        fe_release(ctx, t->fe);
        t->fe = nullptr;
    }
    task_unhash(ctx, t);
    task_unselect(ctx, t);
    task_free(t);
}

void task_to_output(server_ctx *ctx, task *t, uint32_t state)
{
    leave_input(ctx, t);
    t->state = state;
    join_output(ctx, t);
    reply_note_reply(t);
}

void task_next_request(server_ctx *ctx, task *t)
{
    if (is_output_state(t->state)) {
        leave_output(ctx, t);
        t->state = TASK_INPUT;
        join_input(ctx, t);
    }
    task_reset(t);
}

int task_finish(server_ctx *ctx, task *t)
{
    if ((t->version >= 257 && t->keep_alive != 0) || (t->version == 256 && t->keep_alive >= 2)) {
        task_next_request(ctx, t);
        return 1;
    }
    task_close(ctx, t);
    return 2;
}

void task_reset(task *t)
{
    t->method = 0;
    t->uri = nullptr;
    t->port = 80;
    t->host = nullptr;
    t->version = 0;
    t->query = nullptr;
    t->nranges = 0;
    if (t->in_tail < t->in_head) {
        memmove(t->in_buf, t->in_buf + t->in_tail, t->in_head - t->in_tail);
        t->in_head -= t->in_tail;
        t->in_tail = 0;
    } else {
        t->in_head = t->in_tail = 0;
    }
}

void sweep(server_ctx *ctx, int level)
{
    if (!ctx->task_hash || !ctx->fe_hash)
        return;
    if (ctx->ntasks > 0) {
        const int32_t now = time_now();
        task *expired = nullptr;
        for (int i = ctx->task_hash_size - 1; i >= 0; --i)
            for (task *t = ctx->task_hash[i]; t; t = t->hash_next)
                if (t->deadline < now) {
                    t->sweep_next = expired;
                    expired = t;
                }
        while (expired) {
            task *t = expired;
            expired = t->sweep_next;
            task_unhash(ctx, t);
            task_close(ctx, t);
        }
    }
    for (int pass = 0; pass < level; ++pass)
        fe_release_unused(ctx);
}

// ---- entries held by tasks ---------------------------------------------------

// Disk files and member streams nobody uses are closed at once rather than
// kept open until Clean Cache, so descriptors never pile up.
static void drop_if_unused(server_ctx *ctx, file_entry *fe)
{
    if (fe->refcount == 0 && (fe->kind == KIND_FILE || fe->kind == KIND_MEMBER)) {
        fe_unlink(ctx, fe);
        fe_destroy(fe);
    }
}

void fe_release(server_ctx *ctx, file_entry *fe)
{
    fe_unref(fe);
    drop_if_unused(ctx, fe);
}

void fe_release_unused(server_ctx *ctx)
{
    file_entry *collected = nullptr;
    for (int i = ctx->fe_hash_size - 1; i >= 0; --i)
        for (file_entry *fe = ctx->fe_hash[i]; fe; fe = fe->hash_next)
            if (fe->refcount == 0) {
                fe->sweep_next = collected;
                collected = fe;
            }
    while (collected) {
        file_entry *fe = collected;
        collected = fe->sweep_next;
        ASSERT(fe->kind != KIND_STATIC);
        fe_unlink(ctx, fe);
        fe_destroy(fe);
    }
}

// ---- request execution ---------------------------------------------------------

constexpr uint32_t PATH_BUF_SIZE = 1024;
constexpr uint32_t MAX_PATH_AND_QUERY = 1020;
constexpr uint32_t MAX_INDEX_CANDIDATE = 258;

// Steps from a parsed request to the entry that answers it; returns 0 with
// *found set, or the status index of the error reply.
static int32_t find_entry(server_ctx *ctx, task *t, char *path_buf, file_entry **found)
{
    *found = nullptr;
    if (t->version > 257)
        return STATUS_505;
    if (t->method != METHOD_GET && t->method != METHOD_HEAD)
        return STATUS_501;
    char *path = split_target(t->uri, &t->host, &t->port, &t->query);
    if (!path)
        return STATUS_400;
    if (t->host)
        return STATUS_501;
    const size_t path_len = strlen(path);
    if (path_len + (t->query ? strlen(t->query) : 0) >= MAX_PATH_AND_QUERY)
        return STATUS_414;
    memcpy(path_buf, path, path_len + 1);
    t->uri = path_clean(uri_decode(path));

    if ((*found = builtin_lookup(ctx, t->uri, t->query)))
        return 0;

    const char *mapped = map_uri(t->uri, g_config.uri_mapping);
    if (!mapped)
        return STATUS_404;
    if (!path_allowed(mapped, g_config.allow_path))
        return STATUS_403;
    const size_t mapped_len = strlen(mapped);
    int redirect = 0;
    if ((mapped_len == 0 || mapped[mapped_len - 1] == '/') &&
        mapped_len + strlen(g_config.index_file) <= MAX_INDEX_CANDIDATE) {
        const char *candidate = with_index_file(mapped);
        if (candidate)
            *found = resolve_path(ctx, candidate, path_buf, t->query, &redirect);
    }
    if (!*found)
        *found = resolve_path(ctx, mapped, path_buf, t->query, &redirect);
    if (redirect) {
        size_t n = strlen(path_buf);
        path_buf[n++] = '/';
        if (t->query) {
            path_buf[n++] = '?';
            strcpy(path_buf + n, t->query);
        } else {
            path_buf[n] = 0;
        }
        t->location = path_buf;
        *found = nullptr;
        return STATUS_302;
    }
    return *found ? 0 : STATUS_404;
}

static int error_reply(server_ctx *ctx, task *t, int32_t status)
{
    t->fe = nullptr;
    ASSERT(t->state == TASK_INPUT);
    ASSERT(t->out_len == 0);
    t->out_len += error_response(t, t->out_buf, t->out_buf_size, status, t->method == METHOD_GET);
    task_to_output(ctx, t, TASK_REPLY);
    return 1;
}

// Copies more of the body; `answered` tells whether the request was parsed in this call.
static int fill_body(server_ctx *ctx, task *t, bool answered)
{
    int r = task_fill_range(t);
    if (r < 0) {
        if (t->fe) {
            fe_release(ctx, t->fe);
            t->fe = nullptr;
        }
        task_close(ctx, t);
        return 2;
    }
    if (r == 2)
        t->state = TASK_OUTPUT_DONE;
    return answered ? 1 : 0;
}

static int answer_request(server_ctx *ctx, task *t)
{
    int r = read_request(t);
    if (r == 0 && t->in_head < t->in_buf_size)
        return 0;
    reply_note_request(t);
    if (r == 0) {
        // The head fills the whole input buffer and is still incomplete.
        t->keep_alive = 0;
        return error_reply(ctx, t, STATUS_413);
    }
    if (r < 0)
        return error_reply(ctx, t, STATUS_400);

    char path_buf[PATH_BUF_SIZE];
    file_entry *fe;
    int32_t status = find_entry(ctx, t, path_buf, &fe);
    if (status)
        return error_reply(ctx, t, status);
    t->fe = fe;
    if (reply_header(t, ctx, &status) < 0) {
        drop_if_unused(ctx, fe);
        return error_reply(ctx, t, status);
    }
    if (t->method == METHOD_HEAD) {
        t->fe = nullptr;
        drop_if_unused(ctx, fe);
        task_to_output(ctx, t, TASK_REPLY);
        return 1;
    }
    fe_ref(fe);
    task_to_output(ctx, t, TASK_OUTPUT);
    return fill_body(ctx, t, true);
}

// At the end of a reply: keep the connection for the next request or close it.
// A request that arrived with this one is answered at once; no read event
// would come for bytes that are already here.
static int end_reply(server_ctx *ctx, task *t)
{
    reply_note_end(t);
    if (task_finish(ctx, t) == 2)
        return 2;
    if (t->in_head > 0)
        return exec_task(ctx, t) == 2 ? 2 : 1;
    return 1;
}

int exec_task(server_ctx *ctx, task *t)
{
    t->deadline = time_now() + g_config.conn_timeout;
    switch (t->state) {
    case TASK_INPUT:
        return answer_request(ctx, t);
    case TASK_OUTPUT:
        return fill_body(ctx, t, false);
    case TASK_OUTPUT_DONE:
        if (t->out_len != 0)
            return 0;
        if (t->fe) {
            fe_release(ctx, t->fe);
            t->fe = nullptr;
        }
        return end_reply(ctx, t);
    case TASK_REPLY:
        if (t->out_len != 0)
            return 0;
        return end_reply(ctx, t);
    default:
        fputs("exec_task(): invalid task state.\n", stderr);
        task_close(ctx, t);
        return 2;
    }
}

// ---- built-in queries ------------------------------------------------------------

constexpr size_t MAX_RESOURCE_NAME = 20;

file_entry *builtin_lookup(server_ctx *ctx, const char *path, const char *query)
{
    if (!query || strcmp(path, "/") != 0)
        return nullptr;
    if (strcmp(query, "help") == 0) {
        make_room_for_page(ctx);
        return fe_add_page(ctx, "??help.html", page_from_template(help_page_html));
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
    return fe_lookup(ctx, key);
}
