// Socket chores beside the event loop: opening the listening socket, naming
// addresses. Failures come back as text a person can act on.
#pragma once

#include <cstddef>

constexpr size_t SOCK_ERROR_SIZE = 256;
constexpr size_t SOCK_ADDRESS_SIZE = 64;  // numeric IPv6 text with a scope, and the terminator

// Opens a non-blocking TCP socket listening on `port`. `address` null or
// empty means every address of both families: one IPv6 socket that takes
// IPv4 too, or IPv4 alone where the system has no IPv6. Otherwise it is one
// numeric IPv4 or IPv6 address (brackets allowed), or "localhost" for
// 127.0.0.1. Returns the socket, or -1 with `err` holding the failing call's
// message ("bind() Failed.") and, on the next line, the reason: the address
// and port, the system's error text and a hint.
int sock_listen(const char *address, int port, int backlog, char *err, size_t err_size);

// Whether `address` is one that sock_listen takes (without opening anything).
bool sock_address_valid(const char *address);

// The numeric text of the peer's address ("127.0.0.1", "::1"); an IPv4 peer
// of an IPv6 socket is written in its IPv4 form. "-" when it is not known.
void sock_peer_text(int sock, char *out, size_t size);

// The port a socket is bound to (the one the system chose for port 0); -1 when unknown.
int sock_port(int sock);

// Whether a socket is an IPv6 one (and so, listening on every address, takes both families).
bool sock_is_ipv6(int sock);

// This machine's addresses on interfaces that are up, IPv4 first, loopback
// included, IPv6 ones only `with_ipv6`; link-local IPv6 addresses are left
// out. Each is written as a URL host ("192.0.2.7", "[2001:db8::7]").
using sock_address_fn = void (*)(const char *host, void *user);
void sock_local_addresses(bool with_ipv6, sock_address_fn fn, void *user);
