// The addresses by which other devices on the network open the server, and
// their QR codes (libqrencode), for the window and the console.
#pragma once

#include <cstdio>

constexpr int LAN_URL_SIZE = 96;
constexpr int MAX_LAN_URLS = 8;

struct lan_url_list {
    int count;
    char url[MAX_LAN_URLS][LAN_URL_SIZE];  // "scheme://host[:port]/"
};

// The addresses of a server listening on `bind_address` (null: every address)
// at `port` with `scheme` ("http" or "https", whose own port is left out)
// that another device would use: the bound address itself, or the
// machine's addresses other than loopback, IPv4 first and IPv6 when the
// server listens on it. None when it listens on loopback only.
lan_url_list lan_urls(const char *scheme, int port, const char *bind_address, bool ipv6);

// A QR code: `width` modules a side, row by row, 1 for dark.
constexpr int QR_MAX_WIDTH = 177;
constexpr int QR_QUIET_ZONE = 4;  // light modules around the code that readers need
struct qr_code {
    int width;
    unsigned char modules[QR_MAX_WIDTH * QR_MAX_WIDTH];
};

// Encodes `text` (error correction level M); false when it cannot be encoded.
bool qr_make(const char *text, qr_code *out);

// Prints the code with its quiet zone in Unicode half blocks, two rows of
// modules a line, dark modules drawn; `colour` paints them black on white,
// for terminals of any background.
void qr_print(FILE *out, const qr_code &code, bool colour);
