// The server context, the list of connection tasks, the request state
// machine (exec_task), the sweep and the built-in queries.
#pragma once

#include "file.h"
#include "reply.h"

#include <cstddef>
#include <cstdint>

struct ev_loop;
struct peer_count;
struct task;

// A peer's address as bytes: 4 for IPv4 (IPv4-mapped IPv6 too), 16 for IPv6.
struct peer_addr {
    uint8_t len;
    uint8_t bytes[16];
};

constexpr int PEER_HASH_SIZE = 1024;

// The longest request body read and discarded; a longer one is refused.
constexpr uint64_t MAX_REQUEST_BODY = 65536;

// One reply, for an access log: the peer's address, the request line as
// method, target and version ("-" when none could be read), the status code
// sent, the body bytes sent, and when the request was read (seconds since 1970).
struct reply_record {
    const char *peer;
    const char *request_line;
    int status;
    uint64_t bytes;
    int64_t time;
    const char *user;  // the user who authenticated, or null
};
using reply_log_fn = void (*)(const reply_record *);
// Called once per reply, when it ends or its connection closes before it
// ended. Null turns it off: connections accepted then carry no record.
void httpd_set_reply_log(reply_log_fn fn);

struct server_ctx {
    int32_t ntasks;
    task *tasks;   // every open connection, newest first
    task *oldest;  // the end of that list
    peer_count *peers[PEER_HASH_SIZE];
    fe_cache entries;
    const char *root;
    int64_t start_time;  // the time of built-in resources, which never change while it runs
    cache_policy cache;
    ev_loop *loop;
    int listen_sock;
};

extern server_ctx g_ctx;

void ctx_init(server_ctx *ctx, const char *root);
void ctx_destroy(server_ctx *ctx);  // frees every task and entry; sockets belong to the loop

// Takes a new connection's task into the list, reading; false (nothing
// taken) when its address already holds MAX_CONNS_PER_PEER connections or
// memory is exhausted.
bool task_register(server_ctx *ctx, task *t, const peer_addr &peer);
// The one place a task ends: its reference, its socket, its block.
void task_close(server_ctx *ctx, task *t);
// Subscribes the task's socket to the events its state waits for.
void task_select(server_ctx *ctx, task *t);

// Runs the task's state machine until its state stops changing. A task left
// in TASK_CLOSING is for the caller to close.
void exec_task(server_ctx *ctx, task *t);

// Closes the connections whose deadline has passed, and then up to `evict`
// more of those waiting for a request, oldest first, to make room.
void sweep(server_ctx *ctx, int evict);

// ---- who is served (httpd_access.cpp) ----

// What the front end asks for: users as "USER:PASSWORD", a file of
// "user:hash" lines (yescrypt, SHA-512-crypt or bcrypt), and the addresses
// served ("a.b.c.d", "x::y", either with "/BITS", "localhost"; comma-separated).
struct access_settings {
    const char *const *users;
    int32_t nusers;
    const char *auth_file;  // or null
    const char *allow;      // or null: every address
};
// Takes the settings in force; false with the reason in `err` (a user
// without ":", a file that cannot be read, a line that is not a hash, a
// list item that is no address).
bool access_load(const access_settings &s, char *err, size_t size);
void access_clear();
bool access_needs_auth();
// An address or prefix as text ("10.0.0.0/8", "::ffff:1.2.3.4"); mapped
// IPv6 addresses become their IPv4 form.
bool parse_address(const char *text, peer_addr *out, int *prefix);
// Whether the address list lets `a` in (always without a list).
bool peer_allowed(const peer_addr &a);

enum auth_result : uint8_t {
    AUTH_OK,
    AUTH_MISSING,  // no Authorization header
    AUTH_WRONG,    // one that names no user with that password
};
// Checks an Authorization value against the users, in constant time for
// plain passwords; *user (not terminated, `user_len` bytes) names the user on AUTH_OK.
auth_result auth_check(const char *authorization, const char **user, uint32_t *user_len);
// Seconds `a` is still refused for, 0 when it is not.
int64_t peer_blocked(const peer_addr &a, int64_t now);
// Counts one failed login of `a`.
void peer_failed(const peer_addr &a, int64_t now);
