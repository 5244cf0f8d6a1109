// Choosing the reply to a parsed request: the route to the entry that
// answers it, the validators and conditions, the range, and the header.
#pragma once

#include "task.h"

#include <cstdint>

struct fe_cache;

// How long caches may use a reply without asking again: `max_age` seconds,
// or, below 0, not at all (no-cache: they keep it but revalidate).
struct cache_policy {
    int32_t max_age;
};

// What choosing a reply needs of the server.
struct reply_scope {
    fe_cache *entries;
    int64_t builtin_time;  // the time of built-in resources, which never change while it runs
    cache_policy cache;
};

// Routes the request that `t` has read and puts its reply in the empty
// output buffer: the header of an entry (held by `t->fe`, with the body
// range to send) or a whole error reply. Sets `t->status`. It may run again
// for the same request on a later turn: the target is split only once.
// False when the entry is still being made a slice per call (a folder's
// walk): `t->fe` holds it, and a call in TASK_WAITING goes on with it.
bool reply_compose(task *t, const reply_scope &scope);

// Puts a whole reply without a body in the empty output buffer. A reply that
// carries neither a body nor a length, other than to HEAD, can only be
// framed by closing the connection after it. `location` is a redirect's target.
void reply_error(task *t, int32_t status, const char *location);

// Answers the request's conditions (RFC 9110 section 13) against `t->fe`:
// 412 when If-Match or If-Unmodified-Since fails (nothing written), 304 with
// its header when If-None-Match or If-Modified-Since says the client holds
// this version. Otherwise resolves the range (dropped when If-Range names
// another version) against the entry's size, writes the 200 or 206 header
// into the empty output buffer and sets the body to send. Returns 200, 206
// or 304, else 412 or 416 (nothing written).
int32_t reply_header(task *t, cache_policy policy);
