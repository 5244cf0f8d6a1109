// What the front ends share: the program's texts and the console entry point.
#pragma once

#include <cstddef>

#define PW_NAME_VERSION "Pellorwick HTTP Server 0.1.6"

extern const char about_text[];  // three lines, the first is PW_NAME_VERSION

// "For help: http://127.0.0.1/?help", with ":N" after the address unless the port is 80.
void format_status_line(char *buf, size_t size, int port);

// Serves from this terminal until quit or a signal; returns the exit status.
int run_console(const char *root, int port, const char *index_file);
