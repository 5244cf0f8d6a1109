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
};

// Whether a server listening on `bind_address` takes every address of the machine.
bool binds_every_address(const char *bind_address);

// The host of the URLs that reach a server listening on `bind_address`
// from this machine: 127.0.0.1 for every address, [::1] style for IPv6.
void url_host(char *buf, size_t size, const char *bind_address);

// "For help: http://127.0.0.1/?help", with ":N" after the address unless the port is 80.
void format_status_line(char *buf, size_t size, int port, const char *bind_address = nullptr);

// Why `root` cannot be served ("The root directory /x does not exist."), or
// false when it is a directory that can be read.
bool root_problem(const char *root, char *why, size_t size);

// Serves from this terminal until quit or a signal; returns the exit status.
int run_console(const shell_settings &settings);
