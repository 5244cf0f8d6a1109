// Texts and checks the window and the console share.
#include "shell.h"

#include "net.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

const char about_text[] = PW_NAME_VERSION "\n"
                                          "Publishes a folder and the ZIP archives in it over HTTP/1.1.\n"
                                          "Free software; decompression by zlib.";

bool binds_every_address(const char *bind_address)
{
    const char *a = bind_address ? bind_address : "";
    return !*a || strcmp(a, "0.0.0.0") == 0 || strcmp(a, "::") == 0 || strcmp(a, "[::]") == 0;
}

void url_host(char *buf, size_t size, const char *bind_address)
{
    const char *a = bind_address;
    if (binds_every_address(a) || strcmp(a, "localhost") == 0)
        snprintf(buf, size, "127.0.0.1");
    else if (strchr(a, ':') && a[0] != '[')
        snprintf(buf, size, "[%s]", a);
    else
        snprintf(buf, size, "%s", a);
}

const char *url_scheme()
{
    return server_tls() ? "https" : "http";
}

int url_default_port()
{
    return server_tls() ? 443 : 80;
}

void format_status_line(char *buf, size_t size, int port, const char *bind_address)
{
    char host[80];
    url_host(host, sizeof host, bind_address);
    if (port == url_default_port())
        snprintf(buf, size, "For help: %s://%s/?help", url_scheme(), host);
    else
        snprintf(buf, size, "For help: %s://%s:%d/?help", url_scheme(), host, port);
}

bool root_problem(const char *root, char *why, size_t size)
{
    struct stat st;
    if (stat(root, &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            snprintf(why, size, "The root directory %s does not exist.", root);
        else
            snprintf(why, size, "The root directory %s cannot be read: %s.", root, strerror(errno));
    } else if (!S_ISDIR(st.st_mode)) {
        snprintf(why, size, "The root directory %s is not a directory.", root);
    } else if (access(root, R_OK | X_OK) != 0) {
        snprintf(why, size, "The root directory %s cannot be read: %s.", root, strerror(errno));
    } else {
        return false;
    }
    return true;
}

void set_publishing(const shell_settings &settings)
{
    // The server keeps pointers to the list: it lives here, not in the caller's copy.
    static shell_settings kept;
    kept = settings;
    const access_settings access = {kept.auth, kept.nauth, kept.auth_file, kept.allow};
    net_set_publishing(tree_rules{settings.show_hidden, settings.follow_links}, access);
}

bool asks_passwords(const shell_settings &settings)
{
    return settings.nauth > 0 || settings.auth_file;
}

bool serves_https(const shell_settings &settings)
{
    return (settings.tls_cert && settings.tls_key) || settings.tls_self_signed;
}

const char *credentials_warning(const shell_settings &settings)
{
    if (!asks_passwords(settings) || serves_https(settings))
        return nullptr;
    return "Warning: without HTTPS, user names and passwords cross the network readable by anyone on the way "
           "(HTTP Basic only encodes them).";
}
