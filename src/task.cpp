// Task buffers and transfer, the request reader, and the response header.
#include "task.h"

#include "error.h"
#include "file.h"
#include "htproc.h"
#include "httpd.h"
#include "memory.h"
#include "mime.h"

#include <cstdio>
#include <cstring>
#include <ctime>

// ---------------------------------------------------------------------------
// Request reader

static bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Decimal number with optional leading white space and sign, saturating at
// the 32-bit bounds. `*end` is the byte that stopped it, or `s` itself when
// there are no digits.
static int32_t parse_signed(const char *s, const char **end)
{
    const char *p = s;
    while (is_space(*p))
        ++p;
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (*p < '0' || *p > '9') {
        *end = s;
        return 0;
    }
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (v <= INT32_MAX)
            v = v * 10 + (*p - '0');
    }
    *end = p;
    if (negative)
        return v > static_cast<int64_t>(INT32_MAX) + 1 ? INT32_MIN : static_cast<int32_t>(-v);
    return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

// Decimal digits at `*p`, saturating at the largest 32-bit value.
static uint32_t parse_unsigned(const char **p)
{
    uint64_t v = 0;
    for (; **p >= '0' && **p <= '9'; ++*p) {
        if (v <= UINT32_MAX)
            v = v * 10 + static_cast<uint64_t>(**p - '0');
    }
    return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v);
}

static const char *skip_spaces(const char *p)
{
    while (*p == ' ')
        ++p;
    return p;
}

void parse_range(task *tsk, const char *value)
{
    const char *p = skip_spaces(value);
    if (std::strncmp(p, "bytes=", 6) != 0)
        return;
    p += 6;
    int32_t count = 0;
    while (count < MAX_RANGES) {
        byte_range &r = tsk->ranges[count];
        p = skip_spaces(p);
        if (*p == '-') {
            const char *end;
            r.end = static_cast<uint32_t>(parse_signed(p + 1, &end));
            r.first = RANGE_OPEN;
            p = end == p + 1 ? p + 1 : end;
        } else if (*p >= '0' && *p <= '9') {
            r.first = parse_unsigned(&p);
            p = skip_spaces(p);
            r.end = RANGE_OPEN;
            if (*p == '-') {
                p = skip_spaces(p + 1);
                if (*p >= '0' && *p <= '9') {
                    uint32_t last = parse_unsigned(&p);
                    // The last byte position 2^32-1 would wrap the
                    // exclusive end to 0; it means "to the end".
                    r.end = last == UINT32_MAX ? RANGE_OPEN : last + 1;
                }
            }
        } else {
            break;
        }
        p = skip_spaces(p);
        ++count;
        if (*p != ',')
            break;
        ++p;
    }
    tsk->nranges = count;
}

// Handles the request line; 0 to go on with the header lines, 2 complete,
// -1 bad.
static int request_line(task *tsk, char *line)
{
    char *space = std::strchr(line, ' ');
    if (!space)
        return -1;
    *space = 0;
    tsk->method = lookup_method(line);
    if (tsk->method == METHOD_UNKNOWN)
        return -1;
    char *target = space + 1;
    while (*target == ' ')
        ++target;
    tsk->uri = target;
    tsk->version = 0;
    space = std::strchr(target, ' ');
    if (!space)
        return 2;
    *space = 0;
    const char *http = std::strstr(fold_upper(space + 1), "HTTP/");
    if (!http)
        return 2;
    const char *p;
    int64_t major = parse_signed(http + 5, &p);
    if (*p)
        ++p;  // the separator, normally "."
    int64_t minor = parse_signed(p, &p);
    int64_t version = major * 256 + minor;
    if (version > INT32_MAX)
        version = INT32_MAX;
    else if (version < INT32_MIN)
        version = INT32_MIN;
    tsk->version = static_cast<int32_t>(version);
    if (tsk->version < 256)
        return 2;
    if (tsk->version > 256)
        tsk->keep_alive = 1;
    return 0;
}

// Handles one header line; 0 to go on, -1 bad.
static int header_line(task *tsk, char *line)
{
    if (line[0] == ':')
        return -1;
    char *colon = std::strchr(line, ':');
    if (!colon)
        return -1;
    *colon = 0;
    char *value = trim_blanks(colon + 1);
    switch (lookup_header(line)) {
    case HDR_RANGE:
        parse_range(tsk, value);
        break;
    case HDR_CONNECTION:
        fold_lower(value);
        if (std::strcmp(value, "close") == 0)
            tsk->keep_alive = 0;
        else if (std::strcmp(value, "keep-alive") == 0)
            tsk->keep_alive = 2;
        break;
    default:
        break;
    }
    return 0;
}

int read_request(task *tsk)
{
    ASSERT(tsk->in_head >= tsk->in_tail);
    while (tsk->in_tail < tsk->in_head) {
        char *start = tsk->in_buf + tsk->in_tail;
        size_t avail = tsk->in_head - tsk->in_tail;
        char *end = static_cast<char *>(std::memchr(start, '\r', avail));
        size_t term = 1;
        if (end) {
            // A carriage return that is the last byte received may be the
            // first half of CR LF: wait for the next byte to decide.
            if (end == start + avail - 1)
                return 0;
            if (end[1] == '\n')
                term = 2;
        } else {
            end = static_cast<char *>(std::memchr(start, '\n', avail));
            if (!end)
                return 0;
        }
        std::memset(end, 0, term);
        tsk->in_tail = static_cast<uint32_t>(end - tsk->in_buf + static_cast<ptrdiff_t>(term));

        char *line = start;
        if (!*line) {
            if (tsk->method == METHOD_NONE)
                continue;  // empty lines before the request line
            return 2;
        }
        while (*line == ' ')
            ++line;
        int r = tsk->method == METHOD_NONE ? request_line(tsk, line) : header_line(tsk, line);
        if (r != 0)
            return r;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Body transfer

int task_fill(task *tsk, uint32_t limit)
{
    if (!tsk->fe)
        return -1;
    ASSERT(tsk->out_buf_size >= tsk->out_len);
    uint32_t room = tsk->out_buf_size - tsk->out_len;
    if (room == 0)
        return 0;
    if (limit <= tsk->offset)
        return 2;
    uint32_t wanted = limit - tsk->offset;
    uint32_t count = room < wanted ? room : wanted;
    if (fe_read(tsk->fe, tsk->out_buf + tsk->out_len, count, tsk->offset) < 0)
        return -1;
    tsk->offset += count;
    tsk->out_len += count;
    return count < wanted ? 0 : 2;
}

uint32_t task_body_limit(task *tsk)
{
    const uint32_t size = tsk->fe->size;
    if (tsk->offset >= size)
        return tsk->offset;
    if (tsk->nranges != 1)
        return size;
    const byte_range &r = tsk->ranges[0];
    if (tsk->offset < r.first)
        tsk->offset = r.first;
    return r.end > tsk->offset ? r.end : tsk->offset;
}

int task_fill_range(task *tsk)
{
    if (!tsk->fe)
        return -1;
    const uint32_t limit = task_body_limit(tsk);
    if (limit <= tsk->offset)
        return 2;
    return task_fill(tsk, limit);
}

// ---------------------------------------------------------------------------
// Response header

// The texts of the last two times asked for: the date of the reply and the
// modification time of what it sends, which repeat from request to request.
const char *http_date(uint32_t t)
{
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct date_text {
        uint32_t time;
        bool valid;
        char text[40];
    };
    static date_text cache[2];
    static int newest;
    for (const date_text &d : cache)
        if (d.valid && d.time == t)
            return d.text;
    newest ^= 1;
    date_text &d = cache[newest];
    time_t seconds = static_cast<time_t>(t);
    struct tm tm;
    gmtime_r(&seconds, &tm);
    std::snprintf(d.text, sizeof d.text, "%.3s, %02d %.3s %04d %02d:%02d:%02d GMT",
                  days[tm.tm_wday], tm.tm_mday, months[tm.tm_mon], tm.tm_year + 1900,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    d.time = t;
    d.valid = true;
    return d.text;
}

uint32_t content_range(const task *tsk, char *out, size_t capacity)
{
    const byte_range &r = tsk->ranges[0];
    std::snprintf(out, capacity, "Content-Range: bytes %u-%u/%u", r.first, r.end - 1, tsk->fe->size);
    return r.end - r.first;
}

// Appends `n` bytes to the output buffer, cut at its capacity; a terminating
// zero follows them inside the buffer, as with snprintf.
static void append_bytes(task *tsk, const char *text, size_t n)
{
    const uint32_t room = tsk->out_buf_size - tsk->out_len;
    if (room == 0)
        return;
    if (n > room - 1)
        n = room - 1;
    std::memcpy(tsk->out_buf + tsk->out_len, text, n);
    tsk->out_len += static_cast<uint32_t>(n);
    tsk->out_buf[tsk->out_len] = 0;
}

static void append(task *tsk, const char *text)
{
    append_bytes(tsk, text, std::strlen(text));
}

template <size_t N>
static void append_literal(task *tsk, const char (&text)[N])
{
    append_bytes(tsk, text, N - 1);
}

static void append_decimal(task *tsk, uint32_t v)
{
    char digits[10];
    size_t n = sizeof digits;
    do {
        digits[--n] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    append_bytes(tsk, digits + n, sizeof digits - n);
}

uint32_t compose_header(task *tsk, server_ctx *ctx)
{
    ASSERT(0 == tsk->out_len);
    const file_entry *fe = tsk->fe;
    if (tsk->nranges != 0)
        append_literal(tsk, "HTTP/1.1 206 Partial Content\r\nServer: Pellorwick/" PW_VERSION "\r\nDate: ");
    else
        append_literal(tsk, "HTTP/1.1 200 OK\r\nServer: Pellorwick/" PW_VERSION "\r\nDate: ");
    append(tsk, http_date(static_cast<uint32_t>(time_now())));
    int32_t modified = fe->mtime > ctx->start_time ? fe->mtime : ctx->start_time;
    append_literal(tsk, "\r\nLast-Modified: ");
    append(tsk, http_date(static_cast<uint32_t>(modified)));
    append_literal(tsk, "\r\nAge: 1800\r\nContent-Type: ");
    append(tsk, mime_type_of(fe->name));
    uint32_t length = fe->size;
    if (tsk->nranges != 0) {
        append_literal(tsk, "\r\n");
        uint32_t room = tsk->out_buf_size - tsk->out_len;
        length = content_range(tsk, tsk->out_buf + tsk->out_len, room);
        tsk->out_len += static_cast<uint32_t>(std::strlen(tsk->out_buf + tsk->out_len));
    }
    append_literal(tsk, "\r\nContent-Length: ");
    append_decimal(tsk, length);
    append_literal(tsk, "\r\n\r\n");
    return tsk->out_len;
}

int reply_header(task *tsk, server_ctx *ctx, int32_t *status)
{
    if (tsk->nranges > 1) {
        *status = STATUS_416;
        return -1;
    }
    if (tsk->nranges == 1) {
        uint32_t size = tsk->fe->size;
        byte_range &r = tsk->ranges[0];
        if (r.first == RANGE_OPEN) {
            r.first = size - r.end;  // wraps for a suffix longer than the entry
            r.end = size;
        }
        if (r.end > size)
            r.end = size;
        if (r.first >= r.end) {
            *status = STATUS_416;
            return -1;
        }
    }
    compose_header(tsk, ctx);
    tsk->offset = 0;
    return 1;
}
