// The status table and the replies that are not resources: redirects and
// error pages.
#pragma once

#include <cstdint>

// The statuses the server sends, by their real codes.
enum http_status : int32_t {
    STATUS_200 = 200,
    STATUS_206 = 206,
    STATUS_302 = 302,
    STATUS_304 = 304,
    STATUS_400 = 400,
    STATUS_401 = 401,
    STATUS_403 = 403,
    STATUS_404 = 404,
    STATUS_405 = 405,
    STATUS_413 = 413,
    STATUS_412 = 412,
    STATUS_414 = 414,
    STATUS_416 = 416,
    STATUS_429 = 429,
    STATUS_500 = 500,
    STATUS_501 = 501,
    STATUS_505 = 505,
    STATUS_507 = 507,
};

// What an error page may name: %L the redirect target, %U the request path
// (both HTML-escaped), %V the request's version (major * 256 + minor).
struct error_vars {
    const char *location;
    const char *uri;
    int32_t version;
};

// Writes the reply for `status` at `out` (room for `capacity` bytes): the
// status line, a Location line for 302, and with `with_body` the
// Content-Type and Content-Length lines and the page. Returns the bytes
// written; 0 for a code without a reply or when the header lines do not fit.
uint32_t error_response(char *out, uint32_t capacity, int32_t status, bool with_body, const error_vars *vars);
