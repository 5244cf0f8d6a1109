// The server context, the registry of connection tasks, the request state
// machine and the built-in queries.
#pragma once

#include <cstdint>

struct file_entry;
struct ev_loop;

enum : uint32_t {
    TASK_NEW = 0,
    TASK_INPUT = 1,
    TASK_OUTPUT = 2,
    TASK_OUTPUT_DONE = 3,
    TASK_REPLY = 4,
};

enum : uint32_t {
    TF_RESELECT = 1,
    TF_READ = 2,
    TF_WRITE = 4,
};

constexpr uint32_t TASK_IN_BUF_SIZE = 16384;
constexpr uint32_t TASK_OUT_BUF_SIZE = 8192;
constexpr uint32_t TASK_LOW_WATER = 1436;
constexpr int TASK_HASH_SIZE = 10;
constexpr int FE_HASH_SIZE = 200;
constexpr int MAX_RANGES = 8;
constexpr uint32_t RANGE_OPEN = 0xFFFFFFFFu;

struct byte_range {
    uint32_t first;
    uint32_t end;  // exclusive
};

// One connection: the record, its key, then the input and output buffers,
// all in one counted block.
struct task {
    uint32_t state;
    int32_t deadline;
    uint32_t in_buf_size;
    uint32_t in_head;   // bytes held in in_buf
    uint32_t in_tail;   // first byte the request reader has not consumed
    char *in_buf;
    uint32_t out_buf_size;
    uint32_t out_len;   // bytes waiting at the front of out_buf
    char *out_buf;
    file_entry *fe;
    uint32_t offset;    // next body byte to copy
    int32_t method;
    char *uri;
    char *host;
    char *location;
    int32_t port;
    char *query;
    int32_t version;    // major * 256 + minor; 0 when absent
    int32_t nranges;
    byte_range ranges[MAX_RANGES];
    int32_t keep_alive;
    int sock;
    uint32_t out_low_water;
    uint32_t select_flags;
    char *name;
    task *next, *prev;
    task *hash_next;
    task *sweep_next;
    struct reply_note *note;  // the reply log's record of this connection (net.h), or null
};

struct server_ctx {
    int32_t ntasks;
    int32_t task_hash_size;
    task **task_hash;
    int32_t nentries;
    int32_t fe_hash_size;
    file_entry **fe_hash;
    task *in_ring;
    task *out_ring;
    const char *root;
    int32_t start_time;
    ev_loop *event_window;
    int listen_sock;
};

extern server_ctx g_ctx;

void ctx_init(server_ctx *ctx, const char *root);
void ctx_destroy(server_ctx *ctx);

task *task_create(const char *key);
void task_free(task *t);
void task_register(server_ctx *ctx, task *t);
task *task_find(server_ctx *ctx, const char *key);
void task_close(server_ctx *ctx, task *t);
void task_to_output(server_ctx *ctx, task *t, uint32_t state);
void task_next_request(server_ctx *ctx, task *t);
int task_finish(server_ctx *ctx, task *t);
void task_reset(task *t);
void sweep(server_ctx *ctx, int level);

int exec_task(server_ctx *ctx, task *t);  // 0 wait, 1 moved on, 2 closed

// Returns the reference a task held; a disk file or member stream nobody
// uses any more is closed at once.
void fe_release(server_ctx *ctx, file_entry *fe);
void fe_release_unused(server_ctx *ctx);  // one Clean Cache pass

file_entry *builtin_lookup(server_ctx *ctx, const char *path, const char *query);
