// The listening socket and the socket events of the server's connections.
#pragma once

#include "memory.h"

#include <cstdint>

struct ev_loop;

// How the front end shows the server's failure messages ("bind() Failed." ...).
using message_fn = void (*)(const char *text, const char *caption);
void net_set_message_handler(message_fn fn);

// The event loop every socket is created in; made once per process.
ev_loop *net_loop();

int server_start(int port, const char *root, const char *default_page);  // 0 running, -1 failed
void server_stop();
bool server_running();
void server_tick();   // once a second: re-arm a paused accept, then close idle connections
void server_clean();  // Clean Cache: drop unreferenced cached resources
