// The connection task: its record and buffers, the request reader, the
// response header, and the one sender that moves a reply to the socket.
#pragma once

#include "htproc.h"

#include <cstddef>
#include <cstdint>

struct ev_loop;
struct file_entry;

constexpr uint32_t TASK_IN_BUF_SIZE = 16384;
constexpr uint32_t TASK_OUT_BUF_SIZE = 8192;
constexpr int MAX_RANGES = 8;
constexpr uint64_t RANGE_OPEN = UINT64_MAX;         // a range without a first or last position
constexpr uint64_t RANGE_POSITION_MAX = INT64_MAX;  // positions beyond it count as it

// A buffer as four positions: bytes [pos, last) wait to be read or sent,
// [last, end) is free; start is where the buffer begins.
struct io_buf {
    char *start;
    char *pos;
    char *last;
    char *end;
};

inline uint32_t buf_size(const io_buf &b)
{
    return static_cast<uint32_t>(b.last - b.pos);
}
inline uint32_t buf_room(const io_buf &b)
{
    return static_cast<uint32_t>(b.end - b.last);
}

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

// What the request reader takes from a request head. The reader writes
// terminators into the input buffer; `uri` points there.
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
    // The conditional header values (trimmed, in the input buffer), or null.
    const char *if_match;
    const char *if_none_match;
    const char *if_modified_since;
    const char *if_unmodified_since;
    const char *if_range;
    // Accept-Encoding: the weight (q) of gzip and of "*", in thousandths plus
    // one; 0 when not named.
    uint16_t gzip_weight;
    uint16_t any_weight;
};

enum read_result : uint8_t {
    READ_MORE,  // the head is not complete yet
    READ_DONE,  // a whole head has been read
    READ_BAD,   // the head cannot be a request
};

// Reads the lines that have arrived in `in` (from pos to last) into `req`,
// moving pos past each whole line. A head is bad (RFC 9112) when it holds a
// CR that does not end a line, a header line that starts with white space,
// a field name that is no token or is followed by anything but ":", a
// control byte other than tab in a field value, Transfer-Encoding beside
// Content-Length, more than one Host line, or, from HTTP/1.1 on, none.
read_result read_request(request_head *req, io_buf *in);

// Parses a Range header value ("bytes=...") into `nranges` and `ranges`;
// a value of another unit leaves them unchanged.
void parse_range(request_head *req, const char *value);
// Takes the codings of an Accept-Encoding value into the request's weights.
void parse_accept_encoding(request_head *req, const char *value);
// True when the request accepts a body in gzip: gzip (or x-gzip) named with a
// weight above zero, or "*" so and gzip not named.
bool accepts_gzip(const request_head *req);

// The life of a connection.
enum task_state : uint8_t {
    TASK_READING,    // waiting for a whole request head, or the rest of a body to discard
    TASK_WAITING,    // a request was read; its entry is being made a slice per turn (a folder's walk)
    TASK_WRITING,    // a reply is on its way: header bytes in `out`, then the body
    TASK_LINGERING,  // the last reply has gone; unread input is drained before the close
    TASK_CLOSING,    // done with; freed where the socket event is handled
};

struct peer_count;
struct reply_note;

// One connection: the record, then its input and output buffers, all in
// one counted block. The body of the reply being sent is the bytes
// [offset, end) of `fe`, after the bytes waiting in `out`.
struct task {
    task_state state;
    bool head_started;  // bytes of the next request have arrived
    int sock;
    int64_t deadline;
    int32_t status;  // of the reply being sent
    io_buf in;
    io_buf out;
    request_head req;
    uint64_t body_left;  // bytes of a request body still to discard
    file_entry *fe;
    uint64_t offset;
    uint64_t end;
    uint64_t sent;         // bytes of the current reply that the socket took
    uint32_t unsent_seen;  // bytes the socket held at the sweep's last look
    uint32_t linger_left;  // input bytes still drained before a close
    peer_count *peer;      // the connections of this peer address, or null
    reply_note *note;      // what the access log needs of the current reply, or null
    uint8_t addr_len;      // the peer's address (4 or 16 bytes), for the limits per address
    uint8_t addr[16];
    task *next, *prev;     // the server's list of connections, newest first
};

task *task_create(int sock);  // null when memory is exhausted
void task_free(task *t);
// Forgets the request just answered and moves the bytes that followed it to
// the front of the input buffer.
void task_reset(task *t);
// Takes bytes of a request body off the front of the input.
void task_discard_body(task *t);
// Inserts a header line ("Name: value\r\n") after the other header lines of
// the reply waiting in `out`; false when it does not fit.
bool task_add_header_line(task *t, const char *line);
// True when the connection stays open after the reply to this request.
bool task_keeps_alive(const task *t);

enum send_result : uint8_t {
    SEND_DONE,    // the whole reply has gone
    SEND_AGAIN,   // more to send once the socket takes it
    SEND_LATER,   // nothing sent: the body is not ready yet (a far skip inside a deflated
                  // member goes on a slice per call); call again on the loop's next turn
    SEND_FAILED,  // the body could not be read: the reply cannot be completed
};

// Sends what waits in `out` and the body behind it, one step per call.
// Short bodies leave with the header in one send; long ones stream through
// `out`, with their last 64 KB read and sent in one piece.
send_result task_send(task *t, ev_loop *loop);

// How long caches may use a reply without asking again: `max_age` seconds,
// or, below 0, not at all (no-cache: they keep it but revalidate).
struct cache_policy {
    int32_t max_age;
};

// Answers the request's conditions (RFC 9110 section 13) against the entry:
// 412 when If-Match or If-Unmodified-Since fails (nothing written), 304 with
// its header when If-None-Match or If-Modified-Since says the client holds
// this version. Otherwise resolves the range (dropped when If-Range names
// another version) against the entry's size, writes the 200 or 206 header
// into the empty output buffer and sets the body to send. Returns 200, 206
// or 304, else 412 or 416 (nothing written).
int32_t reply_header(task *t, cache_policy policy);
// Writes the header of a reply of `fe` with `status` (200, 206 or 304);
// returns the header length.
uint32_t compose_header(task *t, int32_t status, cache_policy policy);
// Writes "Content-Range: bytes F-L/S" (no line end) at `out`, which has room
// for `capacity` bytes; returns the byte count of the range.
uint64_t content_range(const byte_range &r, uint64_t size, char *out, size_t capacity);

// RFC 1123 date text of a time in seconds since 1970. The texts of the last
// two times asked for stay valid: the date of a reply and the modification
// time of what it sends.
const char *http_date(int64_t t);
// Seconds since 1970 of an HTTP date in any of its three forms (IMF-fixdate,
// RFC 850, asctime), or -1 when the text is none of them.
int64_t parse_http_date(const char *text);

// An entity tag as sent: 16 hexadecimal digits in quotes.
constexpr size_t ETAG_TEXT_SIZE = 24;
void format_etag(char *out, uint64_t etag);
// The ETag of what `fe` sends, with the suffix of its encoding ("-gz").
void format_entry_etag(char *out, const file_entry *fe);
// Whether the entity-tag list `list` ("*" or tags separated by commas) names
// `current` (quoted); weak tags (W/"...") match only with `weak` comparison.
bool etag_list_matches(const char *list, const char *current, bool weak);
