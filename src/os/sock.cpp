// Socket chores: the listening socket with its failures as text, peer
// addresses and the machine's own addresses.
#include "os/sock.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ifaddrs.h>
#include <initializer_list>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int HINT_PORT = 8080;  // suggested when a privileged port is refused

// A parsed listening address: every address (`any`) or one numeric one.
struct listen_address {
    bool any;
    sockaddr_storage addr;
    socklen_t len;
    char text[SOCK_ADDRESS_SIZE];  // as the user gave it, for messages
};

bool parse_address(const char *address, int port, listen_address *out)
{
    memset(out, 0, sizeof *out);
    if (!address || !*address) {
        out->any = true;
        return true;
    }
    char host[SOCK_ADDRESS_SIZE];
    size_t n = strlen(address);
    if (n >= sizeof host)
        return false;
    if (strcmp(address, "localhost") == 0) {
        strcpy(host, "127.0.0.1");
    } else if (address[0] == '[' && n > 2 && address[n - 1] == ']') {
        memcpy(host, address + 1, n - 2);
        host[n - 2] = 0;
    } else {
        memcpy(host, address, n + 1);
    }
    addrinfo hints = {};
    hints.ai_flags = AI_NUMERICHOST | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &found) != 0 || !found)
        return false;
    memcpy(&out->addr, found->ai_addr, found->ai_addrlen);
    out->len = found->ai_addrlen;
    freeaddrinfo(found);
    if (out->addr.ss_family == AF_INET)
        reinterpret_cast<sockaddr_in *>(&out->addr)->sin_port = htons(static_cast<uint16_t>(port));
    else
        reinterpret_cast<sockaddr_in6 *>(&out->addr)->sin6_port = htons(static_cast<uint16_t>(port));
    snprintf(out->text, sizeof out->text, "%s", address);
    return true;
}

// Writes the message of a failed call and the reason on the next line.
void failure(char *err, size_t size, const char *message, const listen_address &a, int port, int code)
{
    char where[SOCK_ADDRESS_SIZE + 32];
    if (a.any)
        snprintf(where, sizeof where, "port %d", port);
    else
        snprintf(where, sizeof where, "address %s port %d", a.text, port);
    const char *hint = "";
    char hint_buf[96];
    if (code == EACCES && port < 1024) {
        snprintf(hint_buf, sizeof hint_buf, "; ports below 1024 need privileges, try port %d", HINT_PORT);
        hint = hint_buf;
    } else if (code == EADDRINUSE) {
        hint = "; another program listens on this port, choose another one";
    } else if (code == EADDRNOTAVAIL) {
        hint = "; the address is not one of this machine's";
    } else if (code == EMFILE || code == ENFILE) {
        hint = "; too many open files";
    }
    snprintf(err, size, "%s\n%s: %s%s", message, where, strerror(code), hint);
}

// Opens and binds one socket; -1 with errno set and `*stage` the failing call (1 socket, 2 bind, 3 listen).
int open_listening(int family, const sockaddr *addr, socklen_t len, bool dual_stack, int backlog, int *stage)
{
    int sock = socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        *stage = 1;
        return -1;
    }
    // Lets a restarted server bind while old connections linger in TIME_WAIT;
    // a port another program listens on is still refused.
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (family == AF_INET6) {
        int v6only = dual_stack ? 0 : 1;
        setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &v6only, sizeof v6only);
    }
    *stage = 2;
    if (bind(sock, addr, len) == 0) {
        *stage = 3;
        if (listen(sock, backlog) == 0)
            return sock;
    }
    const int code = errno;
    close(sock);
    errno = code;
    return -1;
}

}  // namespace

int sock_listen(const char *address, int port, int backlog, char *err, size_t err_size)
{
    listen_address a;
    if (port < 0 || port > 65535 || !parse_address(address, port, &a)) {
        a.any = !address;
        snprintf(a.text, sizeof a.text, "%.*s", static_cast<int>(sizeof a.text - 1), address ? address : "");
        failure(err, err_size, "bind() Failed.", a, port, EINVAL);
        return -1;
    }
    int stage = 0;
    int sock;
    if (a.any) {
        sockaddr_in6 any6 = {};
        any6.sin6_family = AF_INET6;
        any6.sin6_addr = in6addr_any;
        any6.sin6_port = htons(static_cast<uint16_t>(port));
        sock = open_listening(AF_INET6, reinterpret_cast<sockaddr *>(&any6), sizeof any6, true, backlog, &stage);
        // No IPv6 on this system: every IPv4 address.
        if (sock < 0 && (errno == EAFNOSUPPORT || errno == EPROTONOSUPPORT || (stage == 2 && errno == EADDRNOTAVAIL))) {
            sockaddr_in any4 = {};
            any4.sin_family = AF_INET;
            any4.sin_addr.s_addr = htonl(INADDR_ANY);
            any4.sin_port = htons(static_cast<uint16_t>(port));
            sock = open_listening(AF_INET, reinterpret_cast<sockaddr *>(&any4), sizeof any4, false, backlog, &stage);
        }
    } else {
        // "::" given on purpose takes IPv4 too, as the default does.
        const bool dual = a.addr.ss_family == AF_INET6 &&
                          IN6_IS_ADDR_UNSPECIFIED(&reinterpret_cast<sockaddr_in6 *>(&a.addr)->sin6_addr);
        sock = open_listening(a.addr.ss_family, reinterpret_cast<sockaddr *>(&a.addr), a.len, dual, backlog, &stage);
    }
    if (sock >= 0)
        return sock;
    // The first line of each is the message the front ends have always shown.
    const char *message = stage == 1 ? "WSASocket() Failed." : stage == 2 ? "bind() Failed." : "listen() Failed.";
    failure(err, err_size, message, a, port, errno);
    return -1;
}

bool sock_address_valid(const char *address)
{
    listen_address a;
    return parse_address(address, 0, &a);
}

namespace {

// Numeric host text of an address; an IPv4-mapped IPv6 address in its IPv4 form.
void host_text(const sockaddr *sa, char *out, size_t size, bool brackets)
{
    char buf[INET6_ADDRSTRLEN];
    if (sa->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in *>(sa)->sin_addr, buf, sizeof buf);
        snprintf(out, size, "%s", buf);
        return;
    }
    const in6_addr &a6 = reinterpret_cast<const sockaddr_in6 *>(sa)->sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&a6)) {
        inet_ntop(AF_INET, a6.s6_addr + 12, buf, sizeof buf);
        snprintf(out, size, "%s", buf);
        return;
    }
    inet_ntop(AF_INET6, &a6, buf, sizeof buf);
    snprintf(out, size, brackets ? "[%s]" : "%s", buf);
}

}  // namespace

void sock_peer_text(int sock, char *out, size_t size)
{
    sockaddr_storage peer;
    socklen_t len = sizeof peer;
    if (getpeername(sock, reinterpret_cast<sockaddr *>(&peer), &len) != 0 ||
        (peer.ss_family != AF_INET && peer.ss_family != AF_INET6)) {
        snprintf(out, size, "-");
        return;
    }
    host_text(reinterpret_cast<sockaddr *>(&peer), out, size, false);
}

int sock_port(int sock)
{
    sockaddr_storage self;
    socklen_t len = sizeof self;
    if (getsockname(sock, reinterpret_cast<sockaddr *>(&self), &len) != 0)
        return -1;
    if (self.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in *>(&self)->sin_port);
    if (self.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6 *>(&self)->sin6_port);
    return -1;
}

bool sock_is_ipv6(int sock)
{
    sockaddr_storage self;
    socklen_t len = sizeof self;
    return getsockname(sock, reinterpret_cast<sockaddr *>(&self), &len) == 0 && self.ss_family == AF_INET6;
}

void sock_local_addresses(bool with_ipv6, sock_address_fn fn, void *user)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return;
    for (int family : {AF_INET, AF_INET6}) {
        if (family == AF_INET6 && !with_ipv6)
            break;
        for (const ifaddrs *i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != family || !(i->ifa_flags & IFF_UP))
                continue;
            if (family == AF_INET6 &&
                IN6_IS_ADDR_LINKLOCAL(&reinterpret_cast<const sockaddr_in6 *>(i->ifa_addr)->sin6_addr))
                continue;  // reachable only with a zone, which browsers do not take
            char host[SOCK_ADDRESS_SIZE];
            host_text(i->ifa_addr, host, sizeof host, true);
            fn(host, user);
        }
    }
    freeifaddrs(list);
}
