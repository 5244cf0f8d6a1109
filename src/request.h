// The request reader: the bytes of a request head in, a parsed head out.
// It needs no connection: the head it fills is a plain record whose texts
// lie in the bytes it was given.
#pragma once

#include "htproc.h"

#include <cstddef>
#include <cstdint>

constexpr int MAX_RANGES = 8;
constexpr uint64_t RANGE_OPEN = UINT64_MAX;         // a range without a first or last position
constexpr uint64_t RANGE_POSITION_MAX = INT64_MAX;  // positions beyond it count as it

// Versions as major * 256 + minor.
constexpr int32_t HTTP_1_0 = 0x100;
constexpr int32_t HTTP_1_1 = 0x101;

// What the requests of a connection said about keeping it open.
enum keep_alive_kind : uint8_t {
    KEEP_ALIVE_NONE = 0,       // "Connection: close", or a version that closes
    KEEP_ALIVE_DEFAULT = 1,    // HTTP/1.1 without a Connection header
    KEEP_ALIVE_REQUESTED = 2,  // "Connection: keep-alive"
};

struct byte_range {
    uint64_t first;
    uint64_t end;  // exclusive
};

// How a request says its body is framed.
enum body_framing : uint8_t {
    BODY_NONE,             // no body
    BODY_LENGTH,           // Content-Length bytes follow the head
    BODY_BAD_LENGTH,       // a Content-Length that is no plain number, or two that differ
    BODY_TRANSFER_CODING,  // a Transfer-Encoding this server does not decode
    BODY_BAD_CODING,       // a Transfer-Encoding without a value
};

// What the reader takes from a request head. The reader ends the texts it
// keeps with a zero byte in the input; `uri` and the values point there.
struct request_head {
    int32_t method;  // METHOD_NONE until the request line has been read
    char *uri;
    int32_t version;             // 0 when the request line names none
    keep_alive_kind keep_alive;  // carried over from the connection's earlier requests
    body_framing body;
    bool has_length;          // a Content-Length line came, framing or not
    uint8_t hosts;            // Host lines
    uint64_t content_length;  // with BODY_LENGTH
    int32_t nranges;
    byte_range ranges[MAX_RANGES];
    const char *authorization;  // the Authorization value, "" when sent twice; null when none
    accept_pref accept;  // what the Accept headers prefer, for a folder's listing
    // The conditional header values (trimmed), or null.
    const char *if_match;
    const char *if_none_match;
    const char *if_modified_since;
    const char *if_unmodified_since;
    const char *if_range;
    // Accept-Encoding: the weight (q) of gzip and of "*", in thousandths plus
    // one; 0 when not named.
    uint16_t gzip_weight;
    uint16_t any_weight;
    // The target once routing has split it: the decoded, cleaned path and
    // the query (null when none); `path` is null until then.
    char *path;
    char *query;
};

// Forgets what the last request said, all but what it said of the
// connection (keep_alive).
void request_reset(request_head *req);

enum read_result : uint8_t {
    READ_MORE,  // the head is not complete yet
    READ_DONE,  // a whole head has been read
    READ_BAD,   // the head cannot be a request
};

// Reads the whole lines among the `len` bytes at `buf` into `req` and sets
// `*used` to the bytes they took; call again with the bytes after them once
// more have arrived. A head is bad (RFC 9112) when it holds a CR that does
// not end a line, a header line that starts with white space, a field name
// that is no token or is followed by anything but ":", a control byte other
// than tab in a field value, Transfer-Encoding beside Content-Length, more
// than one Host line, or, from HTTP/1.1 on, none.
read_result read_request(request_head *req, char *buf, size_t len, size_t *used);

// True when the request accepts a body in gzip: gzip (or x-gzip) named with a
// weight above zero, or "*" so and gzip not named.
bool accepts_gzip(const request_head *req);

// Seconds since 1970 of an HTTP date in any of its three forms (IMF-fixdate,
// RFC 850, asctime), or -1 when the text is none of them.
int64_t parse_http_date(const char *text);

// Whether the entity-tag list `list` ("*" or tags separated by commas) names
// `current` (quoted); weak tags (W/"...") match only with `weak` comparison.
bool etag_list_matches(const char *list, const char *current, bool weak);
