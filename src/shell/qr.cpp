// Addresses for other devices and their QR codes.
#include "shell/qr.h"

#include "os/sock.h"
#include "shell/shell.h"

#include <cstring>
#include <qrencode.h>

namespace {

struct url_builder {
    lan_url_list *list;
    const char *scheme;
    int port;
};

bool is_loopback_host(const char *host)
{
    return strncmp(host, "127.", 4) == 0 || strcmp(host, "[::1]") == 0 || strcmp(host, "localhost") == 0 ||
           strcmp(host, "::1") == 0;
}

void add_lan_url(const char *host, void *user)
{
    auto *b = static_cast<url_builder *>(user);
    lan_url_list &l = *b->list;
    if (is_loopback_host(host) || l.count == MAX_LAN_URLS)
        return;
    char port[16] = "";
    if (b->port != (strcmp(b->scheme, "https") == 0 ? 443 : 80))
        snprintf(port, sizeof port, ":%d", b->port);
    const int n = snprintf(l.url[l.count], LAN_URL_SIZE, "%s://%s%s/", b->scheme, host, port);
    if (n > 0 && n < LAN_URL_SIZE)
        ++l.count;
}

}  // namespace

lan_url_list lan_urls(const char *scheme, int port, const char *bind_address, bool ipv6)
{
    lan_url_list list = {};
    url_builder b = {&list, scheme, port};
    if (binds_every_address(bind_address)) {
        sock_local_addresses(ipv6, add_lan_url, &b);
    } else {
        char host[SOCK_ADDRESS_SIZE + 2];
        url_host(host, sizeof host, bind_address);
        add_lan_url(host, &b);
    }
    return list;
}

bool qr_make(const char *text, qr_code *out)
{
    QRcode *qr = QRcode_encodeString(text, 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!qr)
        return false;
    const bool fits = qr->width > 0 && qr->width <= QR_MAX_WIDTH;
    if (fits) {
        out->width = qr->width;
        for (int i = 0; i < qr->width * qr->width; ++i)
            out->modules[i] = qr->data[i] & 1;
    }
    QRcode_free(qr);
    return fits;
}

void qr_print(FILE *out, const qr_code &code, bool colour)
{
    // Rows and columns with the quiet zone around the code.
    const int side = code.width + 2 * QR_QUIET_ZONE;
    auto dark = [&](int x, int y) {
        x -= QR_QUIET_ZONE;
        y -= QR_QUIET_ZONE;
        return x >= 0 && y >= 0 && x < code.width && y < code.width && code.modules[y * code.width + x];
    };
    static const char *const glyphs[4] = {" ", "\u2580", "\u2584", "\u2588"};  // none, upper, lower, both
    for (int y = 0; y < side; y += 2) {
        if (colour)
            fputs("\033[30;107m", out);
        for (int x = 0; x < side; ++x)
            fputs(glyphs[(dark(x, y) ? 1 : 0) | (dark(x, y + 1) ? 2 : 0)], out);
        fputs(colour ? "\033[0m\n" : "\n", out);
    }
}
