// Command line: the window, or the console with --console.
#include "shell.h"

#include "httpd.h"
#include "os/sock.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef PW_HAVE_WINDOW
#include "window.h"
#endif

namespace {

constexpr char USAGE_LINE[] =
    "usage: pellorwick [--console] [--root DIR | DIR] [--port N] [--index NAME] [--bind ADDR] [--max-age SECONDS]\n"
    "                  [--log] [--qr] [--tls-cert FILE --tls-key FILE | --tls-self-signed]\n"
    "                  [--show-hidden] [--follow-links] [--auth USER:PASSWORD]... [--auth-file FILE] [--allow LIST]\n";

void usage(FILE *out)
{
    fputs(USAGE_LINE, out);
    fputs("       pellorwick --help | --version\n"
          "  --console     serve at once from this terminal, without a window\n"
          "  --root DIR    the folder to publish (default $HOME/webhome); DIR alone says the same\n"
          "  --port N      the TCP port, 0 to 65535 (default 80)\n"
          "  --index NAME  the default page of a directory (default index.html)\n"
          "  --bind ADDR   listen on one IPv4 or IPv6 address only, or localhost for this machine\n"
          "                alone (default: every address of both families, reachable from the network)\n"
          "  --max-age SECONDS  caches may use a reply this long without asking again (default:\n"
          "                they keep it but ask each time, which a 304 answers cheaply)\n"
          "  --log         console: one Common Log Format line per reply on standard output\n"
          "  --qr          console: print the QR code of the address other devices open\n"
          "  --tls-cert FILE  HTTPS (TLS 1.2 and 1.3) with this PEM certificate; a chain after it is sent too\n"
          "  --tls-key FILE   the PEM private key of that certificate\n"
          "  --tls-self-signed  HTTPS with a key and certificate made at start for this machine (nothing\n"
          "                written); its SHA-256 fingerprint is shown to check against the browser's warning\n"
          "  --show-hidden list and serve names beginning with \".\" (hidden by default)\n"
          "  --follow-links  follow symbolic links that lead out of the folder (refused by default)\n"
          "  --auth USER:PASSWORD  ask every request for this user's password (HTTP Basic; repeatable)\n"
          "  --auth-file FILE  users from \"user:hash\" lines (yescrypt, SHA-512-crypt or bcrypt hashes)\n"
          "  --allow LIST  serve only these addresses and prefixes (ADDR, ADDR/BITS, localhost; comma-separated)\n"
          "An option's value may also follow it after \"=\" (--port=8080).\n"
          "Console commands: stats, clean, stop, start, about, quit, help\n",
          out);
}

// A usage error: the reason, the usage line, exit status 2.
int refuse(const char *what, const char *arg = nullptr)
{
    if (arg)
        fprintf(stderr, "pellorwick: %s \"%s\"\n", what, arg);
    else
        fprintf(stderr, "pellorwick: %s\n", what);
    fputs(USAGE_LINE, stderr);
    fputs("Try pellorwick --help for more.\n", stderr);
    return 2;
}

// Digits only, 0 to `most`; -1 otherwise.
int parse_number(const char *s, int most)
{
    if (!*s || strlen(s) > 10)
        return -1;
    int64_t v = 0;
    for (const char *p = s; *p; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        v = v * 10 + (*p - '0');
    }
    return v <= most ? static_cast<int>(v) : -1;
}

// Every item of a comma-separated --allow list is an address, a prefix or localhost.
bool allow_list_valid(const char *list)
{
    char err[256];
    const access_settings probe = {nullptr, 0, nullptr, list};
    const bool ok = access_load(probe, err, sizeof err);
    access_clear();
    return ok;
}

// What the command line asks for.
struct command_line {
    shell_settings s;
    const char *dir;  // the folder given alone
    bool console;
};

// A step's result when the program goes on; any other is its exit status.
constexpr int GO_ON = -1;

// The options that take a value, as "--name value" or "--name=value".
constexpr const char *VALUE_OPTIONS[] = {"--root",  "--port",      "--index", "--bind",     "--auth",
                                         "--auth-file", "--allow", "--max-age", "--tls-cert", "--tls-key"};

bool takes_value(const char *name)
{
    for (const char *option : VALUE_OPTIONS)
        if (strcmp(name, option) == 0)
            return true;
    return false;
}

// One option `name` (written as `arg`) with its value when it takes one.
int apply_option(command_line &cl, const char *name, const char *value, const char *arg)
{
    shell_settings &s = cl.s;
    if (strcmp(name, "--console") == 0) {
        cl.console = true;
    } else if (strcmp(name, "--log") == 0) {
        s.log = true;
    } else if (strcmp(name, "--qr") == 0) {
        s.qr = true;
    } else if (strcmp(name, "--root") == 0) {
        if (cl.dir || s.root)
            return refuse("only one folder can be published; another is", value);
        s.root = value;
    } else if (strcmp(name, "--port") == 0) {
        s.port = parse_number(value, 65535);
        if (s.port < 0)
            return refuse("the port must be a number from 0 to 65535, not", value);
    } else if (strcmp(name, "--index") == 0) {
        s.index_file = value;
    } else if (strcmp(name, "--bind") == 0) {
        if (!sock_address_valid(value))
            return refuse("--bind takes one IPv4 or IPv6 address or localhost, not", value);
        s.bind_address = value;
    } else if (strcmp(name, "--tls-cert") == 0) {
        s.tls_cert = value;
    } else if (strcmp(name, "--tls-key") == 0) {
        s.tls_key = value;
    } else if (strcmp(name, "--tls-self-signed") == 0) {
        s.tls_self_signed = true;
    } else if (strcmp(name, "--max-age") == 0) {
        s.max_age = parse_number(value, INT32_MAX);
        if (s.max_age < 0)
            return refuse("--max-age takes a number of seconds from 0 to 2147483647, not", value);
    } else if (strcmp(name, "--show-hidden") == 0) {
        s.show_hidden = true;
    } else if (strcmp(name, "--follow-links") == 0) {
        s.follow_links = true;
    } else if (strcmp(name, "--auth") == 0) {
        if (!strchr(value, ':') || value[0] == ':')
            return refuse("--auth takes USER:PASSWORD, not", value);
        if (s.nauth == static_cast<int>(sizeof s.auth / sizeof s.auth[0]))
            return refuse("too many users given with --auth:", value);
        s.auth[s.nauth++] = value;
    } else if (strcmp(name, "--auth-file") == 0) {
        s.auth_file = value;
    } else if (strcmp(name, "--allow") == 0) {
        if (!allow_list_valid(value))
            return refuse("--allow takes addresses, prefixes (ADDR/BITS) and localhost, comma-separated, not", value);
        s.allow = value;
    } else if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0) {
        usage(stdout);
        return 0;
    } else if (strcmp(name, "--version") == 0) {
        puts(PW_NAME_VERSION);
        return 0;
    } else {
        return refuse("unknown option", arg);
    }
    return GO_ON;
}

// The certificate options that go together.
int check_tls(const shell_settings &s)
{
    if ((s.tls_cert && !*s.tls_cert) || (s.tls_key && !*s.tls_key))
        return refuse("--tls-cert and --tls-key each take a file name");
    if (!s.tls_cert != !s.tls_key)
        return refuse("--tls-cert and --tls-key go together: the certificate and its key");
    if (s.tls_self_signed && s.tls_cert)
        return refuse("--tls-self-signed makes its own certificate; leave out --tls-cert and --tls-key");
    return GO_ON;
}

int read_arguments(int argc, char **argv, command_line &cl)
{
    bool options_done = false;
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (options_done || a[0] != '-' || !a[1]) {
            if (cl.dir || cl.s.root)
                return refuse("only one folder can be published; another is", a);
            cl.dir = a;
            continue;
        }
        if (strcmp(a, "--") == 0) {
            options_done = true;
            continue;
        }
        char name[32];
        const char *eq = strchr(a, '=');
        const size_t name_len = eq ? static_cast<size_t>(eq - a) : strlen(a);
        if (name_len >= sizeof name)
            return refuse("unknown option", a);
        memcpy(name, a, name_len);
        name[name_len] = 0;
        const char *value = nullptr;
        if (takes_value(name)) {
            if (eq)
                value = eq + 1;
            else if (i + 1 < argc)
                value = argv[++i];
            else
                return refuse("this option needs a value:", a);
        } else if (eq) {
            return refuse("this option takes no value:", a);
        }
        if (const int r = apply_option(cl, name, value, a); r != GO_ON)
            return r;
    }
    if (cl.dir)
        cl.s.root = cl.dir;
    return check_tls(cl.s);
}

// The window where there is a display to open it on.
int open_window(int argc, char **argv, const shell_settings &s)
{
    if (s.log)
        return refuse("--log needs --console: the window keeps no log");
    if (s.qr)
        return refuse("--qr needs --console: the window shows the code while it serves");
    const char *display = getenv("DISPLAY");
    const char *wayland = getenv("WAYLAND_DISPLAY");
    const char *platform = getenv("QT_QPA_PLATFORM");
    const bool have_display = (display && *display) || (wayland && *wayland) || (platform && *platform);
#ifdef PW_HAVE_WINDOW
    if (have_display)
        return run_window(argc, argv, s);
    fputs("pellorwick: no display to open the window on; use --console to serve from this terminal\n", stderr);
#else
    (void)argc;
    (void)argv;
    (void)have_display;
    fputs("pellorwick: this build has no window; use --console to serve from this terminal\n", stderr);
#endif
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    command_line cl = {{nullptr, -1, nullptr, nullptr, false, -1, false, nullptr, nullptr, false}, nullptr, false};
    if (const int r = read_arguments(argc, argv, cl); r != GO_ON)
        return r;
    if (!cl.console)
        return open_window(argc, argv, cl.s);
    static char default_root[1024];
    if (!cl.s.root) {
        const char *home = getenv("HOME");
        snprintf(default_root, sizeof default_root, "%s/webhome", home && *home ? home : ".");
        cl.s.root = default_root;
    }
    return run_console(cl.s);
}
