// The listening socket, socket events and the traffic counters.
#pragma once

#include <cstdint>

struct ev_loop;

extern int32_t bytes_sent;
extern int32_t bytes_recv;
extern int32_t conn_total;

// How the front end shows the server's failure messages ("bind() Failed." ...).
using message_fn = void (*)(const char *text, const char *caption);
void net_set_message_handler(message_fn fn);

// The event loop every socket is created in; made once per process.
ev_loop *net_loop();

int server_start(int port, char *root, const char *default_page);  // 0 running, -1 failed
void server_stop();
bool server_running();
void server_tick();   // once a second: re-arm a paused accept, then close idle connections
void server_clean();  // Clean Cache: drop unreferenced cached resources

struct server_ctx;
struct task;
void task_select(server_ctx *ctx, task *t);    // issue the subscription again if TF_RESELECT is set
void task_unselect(server_ctx *ctx, task *t);  // cancel the subscription and close the socket
