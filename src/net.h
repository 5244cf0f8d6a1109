// The listening socket and the socket events of the server's connections.
#pragma once

#include "httpd.h"
#include "memory.h"

#include <cstdint>

struct ev_loop;

// How the front end shows the server's failure messages: "bind() Failed." and
// the like, then on a line of its own the reason where one is known.
using message_fn = void (*)(const char *text, const char *caption);
void net_set_message_handler(message_fn fn);

// The event loop every socket is created in; made once per process.
ev_loop *net_loop();

// 0 running, -1 failed. `bind_address` null: every address of both families;
// otherwise one IPv4 or IPv6 address or "localhost" (see os/sock.h).
// `max_age` below 0 has caches revalidate every reply (no-cache).
int server_start(int port, const char *root, const char *default_page, const char *bind_address = nullptr,
                 int max_age = -1);
void server_stop();
bool server_running();
void server_tick();   // once a second: re-arm a paused accept, then close idle connections
void server_clean();  // Clean Cache: drop unreferenced cached resources

// One line per reply on the front end's access log (see reply_record in
// httpd.h); null turns it off.
void net_set_reply_log(reply_log_fn fn);
