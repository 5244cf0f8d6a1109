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

// What the next start publishes (hidden names, links out of the folder) and
// to whom (users, the address list); the texts must outlive the server. By
// default hidden names are not served, nor links out of the folder.
void net_set_publishing(tree_rules rules, const access_settings &settings);
// HTTPS for the servers started from now on: the PEM files of the
// certificate (its chain after it) and of the key, or a key and certificate
// made in memory; null and false for plain HTTP. A start that cannot use
// them fails with a message; one whose certificate has expired starts with
// a warning.
void server_set_tls(const char *cert_file, const char *key_file, bool self_signed);
bool server_tls();                     // whether the running server speaks TLS
const char *server_tls_fingerprint();  // SHA-256 of its certificate ("AB:CD:..."), or null
bool server_tls_by_kernel();           // kernel TLS: bodies of files still go out by sendfile

// One line per reply on the front end's access log (see reply_record in
// httpd.h); null turns it off.
void net_set_reply_log(reply_log_fn fn);
