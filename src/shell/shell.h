// What the front ends share: the program's texts, its settings, and the
// console entry point.
#pragma once

#include <cstddef>

#define PW_NAME_VERSION "Pellorwick HTTP Server " PW_VERSION

extern const char about_text[];  // three lines, the first is PW_NAME_VERSION

// The settings of the command line. The window takes them as its fields'
// first values; the console serves with them.
struct shell_settings {
    const char *root;          // null: $HOME/webhome
    int port;                  // -1: the default, 80
    const char *index_file;    // null: index.html
    const char *bind_address;  // null: every address of both families
    bool log;                  // console: one Common Log Format line per reply
    int max_age;               // seconds caches may keep a reply unasked; -1: they always ask
    bool qr;                   // console: the QR code of the address for other devices
    const char *tls_cert;      // HTTPS with this PEM certificate (chain after it) and key
    const char *tls_key;
    bool tls_self_signed;      // HTTPS with a key and certificate made in memory at start
    bool show_hidden;          // names beginning with "." are listed and served
    bool follow_links;         // symbolic links are followed out of the folder
    const char *auth[64];      // "USER:PASSWORD", each of --auth
    int nauth;
    const char *auth_file;  // --auth-file: "user:hash" lines, or null
    const char *allow;      // --allow: the addresses served, or null for every one
};

// Hands the settings' publishing rules and users to the server's next start.
void set_publishing(const shell_settings &settings);
// Whether a start with these settings asks for passwords.
bool asks_passwords(const shell_settings &settings);
// Whether the server speaks HTTPS, so that credentials cross encrypted.
bool serves_https(const shell_settings &settings);
// The warning a start prints when credentials would cross readable, or null.
const char *credentials_warning(const shell_settings &settings);

// The scheme of the running server's addresses, "https" or "http", and the
// port such addresses leave out (443 or 80): every address the front ends
// show is made from these.
const char *url_scheme();
int url_default_port();

// Whether a server listening on `bind_address` takes every address of the machine.
bool binds_every_address(const char *bind_address);

// The host of the URLs that reach a server listening on `bind_address`
// from this machine: 127.0.0.1 for every address, [::1] style for IPv6.
void url_host(char *buf, size_t size, const char *bind_address);

// "For help: http://127.0.0.1/?help" (https for a TLS server), with ":N"
// after the address unless the port is the scheme's own.
void format_status_line(char *buf, size_t size, int port, const char *bind_address = nullptr);

// Why `root` cannot be served ("The root directory /x does not exist."), or
// false when it is a directory that can be read.
bool root_problem(const char *root, char *why, size_t size);

// Serves from this terminal until quit or a signal; returns the exit status.
int run_console(const shell_settings &settings);
