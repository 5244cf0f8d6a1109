// The listening socket, socket events and the traffic counters.
#pragma once

#include <cstdint>

struct ev_loop;

extern int32_t bytes_sent;
extern int32_t bytes_recv;
extern int32_t conn_total;

// How the front end shows the server's failure messages: "bind() Failed." and
// the like, then on a line of its own the reason where one is known.
using message_fn = void (*)(const char *text, const char *caption);
void net_set_message_handler(message_fn fn);

// The event loop every socket is created in; made once per process.
ev_loop *net_loop();

// 0 running, -1 failed. `bind_address` null: every address of both families;
// otherwise one IPv4 or IPv6 address or "localhost" (see os/sock.h).
int server_start(int port, char *root, const char *default_page, const char *bind_address = nullptr);
void server_stop();
bool server_running();
void server_tick();   // once a second: re-arm a paused accept, then close idle connections
void server_clean();  // Clean Cache: drop unreferenced cached resources

struct server_ctx;
struct task;
void task_select(server_ctx *ctx, task *t);    // issue the subscription again if TF_RESELECT is set
void task_unselect(server_ctx *ctx, task *t);  // cancel the subscription and close the socket

// ---- Reply log --------------------------------------------------------------
// One reply, for an access log: the peer's address, the request line as
// method, target and version ("-" when none could be read), the status code
// sent, the body bytes sent, and when the request was read (seconds since 1970).
struct reply_record {
    const char *peer;
    const char *request_line;
    int status;
    uint64_t bytes;
    int64_t time;
};
using reply_log_fn = void (*)(const reply_record *);
// Called once per reply, when it ends or its connection closes before it
// ended. Null turns it off: connections accepted then carry no record.
void net_set_reply_log(reply_log_fn fn);

// The core's side: each does nothing for a task that carries no record.
void reply_note_request(task *t);  // a request head was read (or found bad): keep its line
void reply_note_reply(task *t);    // a reply was queued: keep its status and header size
void reply_note_end(task *t);      // the reply was sent: log it
void reply_note_free(task *t);     // the task goes: log a reply cut short, drop the record
