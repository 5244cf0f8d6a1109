// The server context, the list of connection tasks, the request state
// machine (exec_task), the sweep and the built-in queries.
#pragma once

#include "file.h"

#include <cstdint>

struct ev_loop;
struct task;

struct server_ctx {
    int32_t ntasks;
    task *tasks;         // every open connection, newest first
    fe_cache entries;
    const char *root;
    int32_t start_time;
    ev_loop *loop;
    int listen_sock;
};

extern server_ctx g_ctx;

void ctx_init(server_ctx *ctx, const char *root);
void ctx_destroy(server_ctx *ctx);  // frees every task and entry; sockets belong to the loop

// Takes a new connection's task into the list, reading.
void task_register(server_ctx *ctx, task *t);
// The one place a task ends: its reference, its socket, its block.
void task_close(server_ctx *ctx, task *t);
// Subscribes the task's socket to the events its state waits for.
void task_select(server_ctx *ctx, task *t);

// Runs the task's state machine until its state stops changing. A task left
// in TASK_CLOSING is for the caller to close.
void exec_task(server_ctx *ctx, task *t);

// Closes the connections whose deadline has passed.
void sweep(server_ctx *ctx);

file_entry *builtin_lookup(server_ctx *ctx, const char *path, const char *query);
