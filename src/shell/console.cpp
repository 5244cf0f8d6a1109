// The console front end: serves at once, reads commands from standard input,
// keeps a live counter line on a terminal.
#include "shell.h"

#include "httpd.h"
#include "memory.h"
#include "net.h"
#include "os/evloop.h"

#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/signalfd.h>
#include <time.h>
#include <unistd.h>

const char about_text[] =
    PW_NAME_VERSION "\n"
    "Publishes a folder and the ZIP archives in it over HTTP/1.1.\n"
    "Free software; decompression by zlib.";

void format_status_line(char *buf, size_t size, int port)
{
    if (port == 80)
        snprintf(buf, size, "For help: http://127.0.0.1/?help");
    else
        snprintf(buf, size, "For help: http://127.0.0.1:%d/?help", port);
}

namespace {

constexpr int PATH_CAP = 1024;

struct console {
    char root[PATH_CAP];       // the server rewrites backslashes in place
    char index_file[PATH_CAP];
    int port;
    bool tty;                  // standard output is a terminal: keep a live line
    bool live_shown;
    char line[512];            // command being read
    size_t line_len;
};

void print_error(const char *text, const char *)
{
    fprintf(stderr, "%s\n", text);
}

void counters(char *buf, size_t size)
{
    snprintf(buf, size,
             "files=%d blocks=%d confs=%d caches=%d tasks=%d sent=%" PRIu64 " recv=%" PRIu64 " online=%d total=%" PRIu64,
             n_files, n_blocks, n_confs, n_caches, n_tasks, bytes_sent, bytes_recv, g_ctx.ntasks, conn_total);
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

bool start(console &c)
{
    if (server_start(c.port, c.root, c.index_file) != 0)
        return false;
    char status[128];
    format_status_line(status, sizeof status, c.port);
    say(c, status);
    return true;
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

int run_console(const char *root, int port, const char *index_file)
{
    static console c;
    snprintf(c.root, sizeof c.root, "%s", root);
    snprintf(c.index_file, sizeof c.index_file, "%s", index_file);
    c.port = port;
    c.tty = isatty(1);
    net_set_message_handler(print_error);

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
