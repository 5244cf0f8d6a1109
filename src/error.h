// The status table and the replies that are not resources: redirects and
// error pages.
#pragma once

#include <cstdint>

struct task;

// A status is named by its 1-based position in the status-code list of
// HTTP/1.1 (100 is 1, 302 is 12, 404 is 21, 505 is 40).
constexpr int32_t HTTP_STATUS_NUM = 41;

enum : int32_t {
    STATUS_302 = 12,
    STATUS_400 = 17,
    STATUS_403 = 20,
    STATUS_404 = 21,
    STATUS_405 = 22,
    STATUS_413 = 30,
    STATUS_414 = 31,
    STATUS_416 = 33,
    STATUS_500 = 35,
    STATUS_501 = 36,
    STATUS_505 = 40,
};

extern const char *status_text[HTTP_STATUS_NUM];  // "404 Not found", ...; null when unused
extern const char *status_page[HTTP_STATUS_NUM];  // the page template of each status

void status_init();

// Writes the reply for `status` at `out` (room for `capacity` bytes): the
// status line, a Location line for 302, and with `with_body` the
// Content-Type and Content-Length lines and the page. Returns the bytes
// written; 0 for an unused status or when the header lines do not fit.
uint32_t error_response(task *t, char *out, uint32_t capacity, int32_t status, int with_body);

// Directive callback of the error pages; `user` is the task. %L is the
// redirect target, %U the request path (both HTML-escaped), %V the version.
uint32_t error_directive(char *out, uint32_t space, const char *name, void *user);
