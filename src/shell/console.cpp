// The console front end: serves at once, reads commands from standard input,
// keeps a live counter line on a terminal, writes the access log.
#include "shell.h"

#include "httpd.h"
#include "memory.h"
#include "net.h"
#include "os/evloop.h"
#include "os/sock.h"
#include "shell/qr.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int PATH_CAP = 1024;

struct console {
    char root[PATH_CAP];  // the server rewrites backslashes in place
    char index_file[PATH_CAP];
    char bind_address[SOCK_ADDRESS_SIZE];  // empty: every address
    const char *tls_cert;                  // HTTPS with these files, or self-signed, or neither
    bool tls_self_signed;
    int port;
    int max_age;
    int serving_port;  // the port itself, also when the system chose it
    bool tty;          // standard output is a terminal: keep a live line
    bool live_shown;
    char line[512];  // command being read
    size_t line_len;
};

console g_console;

void clear_live(console &c);
void say_tls(const console &c);

void print_error(const char *text, const char *)
{
    clear_live(g_console);
    fflush(stdout);
    fprintf(stderr, "%s\n", text);
}

void counters(char *buf, size_t size)
{
    snprintf(buf, size,
             "files=%d blocks=%d confs=%d caches=%d tasks=%d sent=%" PRIu64 " recv=%" PRIu64
             " online=%d total=%" PRIu64 " refused=%" PRIu64,
             n_files, n_blocks, n_confs, n_caches, n_tasks, bytes_sent, bytes_recv, g_ctx.ntasks, conn_total,
             conn_refused);
}

// Clears the live counter line before other output.
void clear_live(console &c)
{
    if (c.live_shown) {
        fputs("\r\033[K", stdout);
        c.live_shown = false;
    }
}

void say(console &c, const char *text)
{
    clear_live(c);
    puts(text);
    fflush(stdout);
}

void show_live(console &c)
{
    char buf[256];
    counters(buf, sizeof buf);
    printf("\r\033[K%s", buf);
    fflush(stdout);
    c.live_shown = true;
}

const char *bind_address(const console &c)
{
    return c.bind_address[0] ? c.bind_address : nullptr;
}

// The URLs that reach the server, one a line, then an empty line.
struct url_list {
    char text[4096];
    size_t len;
    int port;
};

void add_url(const char *host, void *user)
{
    auto *u = static_cast<url_list *>(user);
    char port[16] = "";
    if (u->port != url_default_port())
        snprintf(port, sizeof port, ":%d", u->port);
    const int n = snprintf(u->text + u->len, sizeof u->text - u->len, "  %s://%s%s/\n", url_scheme(), host, port);
    if (n > 0 && static_cast<size_t>(n) < sizeof u->text - u->len)
        u->len += static_cast<size_t>(n);
}

void say_urls(console &c)
{
    char where[PATH_MAX];
    if (!realpath(c.root, where))
        snprintf(where, sizeof where, "%s", c.root);
    url_list u = {};
    u.port = c.serving_port;
    const bool every = binds_every_address(bind_address(c));
    const int n = every ? snprintf(u.text, sizeof u.text,
                                   "Serving %s on every address of this machine (--bind limits it):\n", where)
                        : snprintf(u.text, sizeof u.text, "Serving %s on %s only:\n", where, c.bind_address);
    u.len = n < 0 ? 0 : static_cast<size_t>(n) < sizeof u.text ? static_cast<size_t>(n) : sizeof u.text - 1;
    if (every) {
        sock_local_addresses(sock_is_ipv6(g_ctx.listen_sock), add_url, &u);
    } else {
        char host[SOCK_ADDRESS_SIZE + 2];
        url_host(host, sizeof host, c.bind_address);
        add_url(host, &u);
    }
    clear_live(c);
    fwrite(u.text, 1, u.len, stdout);
    say_tls(c);
    fputs("\n", stdout);
    fflush(stdout);
}

// The QR code of the first address another device would use, under the
// address it holds; a line saying why when there is none.
void say_qr(console &c)
{
    const lan_url_list urls = lan_urls(url_scheme(), c.serving_port, bind_address(c), sock_is_ipv6(g_ctx.listen_sock));
    static qr_code code;
    clear_live(c);
    if (urls.count == 0) {
        puts("No QR code: the server listens on this machine's loopback address only.\n");
    } else if (!qr_make(urls.url[0], &code)) {
        printf("No QR code for %s.\n\n", urls.url[0]);
    } else {
        printf("To open %s on another device, scan:\n", urls.url[0]);
        qr_print(stdout, code, c.tty);
        puts("");
    }
    fflush(stdout);
}

// How HTTPS is served: the certificate, and whether the kernel encrypts.
void say_tls(const console &c)
{
    if (!server_tls())
        return;
    if (c.tls_self_signed)
        printf("HTTPS with a self-signed certificate made for this machine; browsers warn about it.\n"
               "Its SHA-256 fingerprint, to compare with the one the browser shows:\n  %s\n",
               server_tls_fingerprint());
    else
        printf("HTTPS with the certificate in %s (SHA-256 %s)\n", c.tls_cert, server_tls_fingerprint());
    puts(server_tls_by_kernel() ? "Kernel TLS: bodies of files and stored members go out by sendfile."
                                : "No kernel TLS here (the kernel has no tls module): bodies are encrypted by copying.");
}

bool start(console &c)
{
    char why[PATH_CAP + 64];
    if (root_problem(c.root, why, sizeof why)) {
        print_error(why, "Error");
        return false;
    }
    if (server_start(c.port, c.root, c.index_file, bind_address(c), c.max_age) != 0)
        return false;
    // Port 0 lets the system choose one: show the one it chose.
    c.serving_port = c.port != 0 ? c.port : sock_port(g_ctx.listen_sock);
    char status[128];
    format_status_line(status, sizeof status, c.serving_port, bind_address(c));
    say(c, status);
    return true;
}

// One reply in the Common Log Format; the request line's quotes, backslashes
// and control bytes are escaped, so that each reply stays one parsable line.
void log_reply(const reply_record *r)
{
    char when[64];
    const time_t t = static_cast<time_t>(r->time);
    struct tm tm;
    localtime_r(&t, &tm);
    strftime(when, sizeof when, "%d/%b/%Y:%H:%M:%S %z", &tm);
    char line[4 * 2048 + 1];
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(r->request_line); *p && n + 5 < sizeof line;
         ++p) {
        if (*p == '"' || *p == '\\') {
            line[n++] = '\\';
            line[n++] = static_cast<char>(*p);
        } else if (*p < 0x20 || *p >= 0x7F) {
            n += static_cast<size_t>(snprintf(line + n, sizeof line - n, "\\x%02x", *p));
        } else {
            line[n++] = static_cast<char>(*p);
        }
    }
    line[n] = 0;
    char bytes[24] = "-";
    if (r->bytes > 0)
        snprintf(bytes, sizeof bytes, "%llu", static_cast<unsigned long long>(r->bytes));
    // The user field: blanks, quotes and control bytes escaped, as in the request line.
    char user[4 * 64 + 1] = "-";
    size_t u = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(r->user); p && *p && u + 5 < sizeof user; ++p)
        if (*p <= 0x20 || *p == '"' || *p == '\\' || *p >= 0x7F)
            u += static_cast<size_t>(snprintf(user + u, sizeof user - u, "\\x%02x", *p));
        else
            user[u++] = static_cast<char>(*p);
    if (u > 0)
        user[u] = 0;
    clear_live(g_console);
    printf("%s - %s [%s] \"%s\" %d %s\n", r->peer, user, when, line, r->status, bytes);
    fflush(stdout);
}

// Returns false when the program should end.
bool command(console &c, const char *cmd)
{
    char buf[256];
    if (strcmp(cmd, "stats") == 0) {
        counters(buf, sizeof buf);
        say(c, buf);
    } else if (strcmp(cmd, "clean") == 0) {
        server_clean();
        say(c, "Cache cleaned.");
    } else if (strcmp(cmd, "stop") == 0) {
        server_stop();
        say(c, PW_NAME_VERSION);
    } else if (strcmp(cmd, "start") == 0) {
        if (server_running())
            say(c, "The server is already running.");
        else if (!start(c))
            fflush(stderr);
    } else if (strcmp(cmd, "about") == 0) {
        say(c, about_text);
    } else if (strcmp(cmd, "quit") == 0) {
        return false;
    } else if (strcmp(cmd, "help") == 0) {
        say(c, "Commands: stats, clean, stop, start, about, quit, help");
    } else if (*cmd) {
        snprintf(buf, sizeof buf, "Unknown command \"%s\"; type help for the list.", cmd);
        say(c, buf);
    }
    return true;
}

// Reads what standard input holds; false at its end.
bool read_commands(console &c, bool &quit)
{
    char buf[512];
    ssize_t n = read(0, buf, sizeof buf);
    if (n < 0)
        return errno == EINTR || errno == EAGAIN;
    if (n == 0)
        return false;
    for (ssize_t i = 0; i < n && !quit; ++i) {
        if (buf[i] == '\n') {
            c.line[c.line_len] = 0;
            if (c.line_len > 0 && c.line[c.line_len - 1] == '\r')
                c.line[c.line_len - 1] = 0;
            c.line_len = 0;
            quit = !command(c, c.line);
        } else if (c.line_len + 1 < sizeof c.line) {
            c.line[c.line_len++] = buf[i];
        }
    }
    return true;
}

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

int run_console(const shell_settings &settings)
{
    console &c = g_console;
    snprintf(c.root, sizeof c.root, "%s", settings.root);
    snprintf(c.index_file, sizeof c.index_file, "%s", settings.index_file ? settings.index_file : "index.html");
    snprintf(c.bind_address, sizeof c.bind_address, "%s", settings.bind_address ? settings.bind_address : "");
    c.port = settings.port >= 0 ? settings.port : 80;
    c.max_age = settings.max_age;
    c.tty = isatty(1);
    c.tls_cert = settings.tls_cert;
    c.tls_self_signed = settings.tls_self_signed;
    server_set_tls(settings.tls_cert, settings.tls_key, settings.tls_self_signed);
    net_set_message_handler(print_error);
    if (settings.log)
        net_set_reply_log(log_reply);
    set_publishing(settings);

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    signal(SIGPIPE, SIG_IGN);
    int sigfd = signalfd(-1, &mask, SFD_CLOEXEC);

    ev_loop *loop = net_loop();
    if (!start(c))
        return 1;
    say_urls(c);
    if (const char *warning = credentials_warning(settings))
        fprintf(stderr, "%s\n", warning);
    if (settings.qr)
        say_qr(c);

    bool input_open = true, quit = false;
    int64_t next_tick = now_ms() + 1000;
    while (!quit) {
        pollfd fds[3] = {{ev_fd(loop), POLLIN, 0}, {sigfd, POLLIN, 0}, {input_open ? 0 : -1, POLLIN, 0}};
        int64_t wait = next_tick - now_ms();
        if (wait < 0)
            wait = 0;
        int n = poll(fds, 3, static_cast<int>(wait));
        if (n < 0 && errno != EINTR)
            break;
        if (n > 0 && (fds[0].revents & POLLIN))
            ev_poll(loop, 0);
        if (n > 0 && (fds[1].revents & POLLIN))
            break;  // SIGINT or SIGTERM
        if (n > 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
            input_open = read_commands(c, quit);
        if (now_ms() >= next_tick) {
            next_tick += 1000;
            if (next_tick < now_ms())
                next_tick = now_ms() + 1000;
            server_tick();
            if (c.tty)
                show_live(c);
        }
    }
    clear_live(c);
    fflush(stdout);
    server_stop();
    return 0;
}
