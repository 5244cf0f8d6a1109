// Command line: the window, or the console with --console.
#include "shell.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef PW_HAVE_WINDOW
#include "window.h"
#endif

static void usage(FILE *out)
{
    fputs("usage: pellorwick [--console] [--root DIR] [--port N] [--index NAME]\n"
          "       pellorwick --help | --version\n"
          "  --console     serve at once from this terminal, without a window\n"
          "  --root DIR    the folder to publish (default $HOME/webhome)\n"
          "  --port N      the TCP port (default 80)\n"
          "  --index NAME  the default page of a directory (default index.html)\n"
          "Console commands: stats, clean, stop, start, about, quit, help\n",
          out);
}

// A port that is not a number starts the server on port 0, as the window's
// field does; a number outside 0..65535 is refused (-1) rather than cut to 16 bits.
static int parse_port(const char *s)
{
    char *end;
    long v = strtol(s, &end, 10);
    if (end == s)
        return 0;
    if (v < 0 || v > 65535)
        return -1;
    return static_cast<int>(v);
}

int main(int argc, char **argv)
{
    bool console = false;
    static char default_root[1024];
    const char *home = getenv("HOME");
    snprintf(default_root, sizeof default_root, "%s/webhome", home && *home ? home : ".");
    const char *root = default_root;
    const char *index_file = "index.html";
    int port = 80;

    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        const bool has_value = i + 1 < argc;
        if (strcmp(a, "--console") == 0) {
            console = true;
        } else if (strcmp(a, "--root") == 0 && has_value) {
            root = argv[++i];
        } else if (strcmp(a, "--port") == 0 && has_value) {
            port = parse_port(argv[++i]);
            if (port < 0) {
                fputs("pellorwick: the port must be a number from 0 to 65535\n", stderr);
                return 2;
            }
        } else if (strcmp(a, "--index") == 0 && has_value) {
            index_file = argv[++i];
        } else if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
            usage(stdout);
            return 0;
        } else if (strcmp(a, "--version") == 0) {
            puts(PW_NAME_VERSION);
            return 0;
        } else {
            fprintf(stderr, "pellorwick: unknown or incomplete option \"%s\"\n", a);
            usage(stderr);
            return 2;
        }
    }

    if (console)
        return run_console(root, port, index_file);

    const char *display = getenv("DISPLAY");
    const char *wayland = getenv("WAYLAND_DISPLAY");
    const char *platform = getenv("QT_QPA_PLATFORM");
    const bool have_display = (display && *display) || (wayland && *wayland) || (platform && *platform);
#ifdef PW_HAVE_WINDOW
    if (have_display)
        return run_window(argc, argv, root, port, index_file);
    fputs("pellorwick: no display to open the window on; use --console to serve from this terminal\n", stderr);
#else
    (void)have_display;
    fputs("pellorwick: this build has no window; use --console to serve from this terminal\n", stderr);
#endif
    return 2;
}
