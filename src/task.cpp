// The connection task: its block, the request reader, the one sender of a
// reply, and the response header.
#include "task.h"

#include "error.h"
#include "file.h"
#include "memory.h"
#include "mime.h"
#include "os/evloop.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <ctime>
#include <sys/uio.h>

// ---------------------------------------------------------------------------
// Request reader

// Decimal number with optional leading white space and sign, saturating at
// the 32-bit bounds. `*end` is the byte that stopped it, or `s` itself when
// there are no digits.
static int32_t parse_signed(const char *s, const char **end)
{
    const int64_t v = parse_decimal(s, end, DECIMAL_SIGNED, static_cast<int64_t>(INT32_MAX) + 1);
    return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

// A byte position: decimal digits at `*p`, saturating at RANGE_POSITION_MAX.
static uint64_t parse_position(const char **p)
{
    return static_cast<uint64_t>(parse_decimal(*p, p, DECIMAL_DIGITS, RANGE_POSITION_MAX));
}

static const char *skip_spaces(const char *p)
{
    while (*p == ' ')
        ++p;
    return p;
}

void parse_range(request_head *req, const char *value)
{
    const char *p = skip_spaces(value);
    if (strncmp(p, "bytes=", 6) != 0)
        return;
    p += 6;
    int32_t count = 0;
    while (count < MAX_RANGES) {
        byte_range &r = req->ranges[count];
        p = skip_spaces(p);
        if (*p == '-') {
            const char *end;
            // A suffix length; a negative one wraps to more than any entry holds.
            r.end = static_cast<uint64_t>(parse_decimal(p + 1, &end, DECIMAL_SIGNED, RANGE_POSITION_MAX));
            r.first = RANGE_OPEN;
            p = end == p + 1 ? p + 1 : end;
        } else if (*p >= '0' && *p <= '9') {
            r.first = parse_position(&p);
            p = skip_spaces(p);
            r.end = RANGE_OPEN;
            if (*p == '-') {
                p = skip_spaces(p + 1);
                if (*p >= '0' && *p <= '9') {
                    r.end = parse_position(&p) + 1;
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
    req->nranges = count;
}

// A weight ("q=0.5") in thousandths; 1000 when there is none, 0 for a bad one.
static uint16_t parse_weight(const char *p, const char *end)
{
    while (p < end && *p == ' ')
        ++p;
    if (end - p < 2 || (p[0] | 0x20) != 'q' || p[1] != '=')
        return p == end ? 1000 : 0;
    p += 2;
    if (p == end || (*p != '0' && *p != '1'))
        return 0;
    uint32_t w = static_cast<uint32_t>(*p++ - '0') * 1000;
    if (p < end && *p == '.')
        for (uint32_t scale = 100, i = 0; ++p < end && *p >= '0' && *p <= '9' && i < 3; scale /= 10, ++i)
            w += static_cast<uint32_t>(*p - '0') * scale;
    while (p < end && *p == ' ')
        ++p;
    return p == end && w <= 1000 ? static_cast<uint16_t>(w) : 0;
}

void parse_accept_encoding(request_head *req, const char *value)
{
    for (const char *p = value; *p;) {
        while (*p == ' ' || *p == '\t' || *p == ',')
            ++p;
        const char *end = p + strcspn(p, ",");
        const char *name_end = p + strcspn(p, " \t;,");
        const auto name_len = static_cast<size_t>(name_end - p);
        const char *params = name_end;
        while (params < end && (*params == ' ' || *params == '\t'))
            ++params;
        const uint16_t weight = params < end && *params == ';' ? parse_weight(params + 1, end) : 1000;
        if ((name_len == 4 && strncasecmp(p, "gzip", 4) == 0) || (name_len == 6 && strncasecmp(p, "x-gzip", 6) == 0))
            req->gzip_weight = static_cast<uint16_t>(weight + 1);
        else if (name_len == 1 && *p == '*')
            req->any_weight = static_cast<uint16_t>(weight + 1);
        p = end;
    }
}

bool accepts_gzip(const request_head *req)
{
    return req->gzip_weight ? req->gzip_weight > 1 : req->any_weight > 1;
}

// Handles the request line; 0 to go on with the header lines, 2 complete
// (a request without header lines), -1 bad.
static int request_line(request_head *req, char *line)
{
    char *space = strchr(line, ' ');
    if (!space)
        return -1;
    *space = 0;
    req->method = lookup_method(line);
    if (req->method == METHOD_UNKNOWN)
        return -1;
    char *target = space + 1;
    while (*target == ' ')
        ++target;
    req->uri = target;
    req->version = 0;
    space = strchr(target, ' ');
    if (!space)
        return 2;
    *space = 0;
    const char *http = strstr(fold_upper(space + 1), "HTTP/");
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
    req->version = static_cast<int32_t>(version);
    if (req->version < HTTP_1_0)
        return 2;
    if (req->version > HTTP_1_0)
        req->keep_alive = KEEP_ALIVE_DEFAULT;
    return 0;
}

// The bytes RFC 9110 allows in a token: letters, digits and !#$%&'*+-.^_`|~.
constexpr bool is_token_byte(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr);
}

// A control byte other than tab, which no field value may hold.
constexpr bool is_control_byte(unsigned char c)
{
    return (c < 0x20 && c != '\t') || c == 0x7F;
}

// Handles one header line; 0 to go on, -1 bad.
static int header_line(request_head *req, char *line)
{
    char *colon = line;
    while (is_token_byte(static_cast<unsigned char>(*colon)))
        ++colon;
    if (colon == line || *colon != ':')
        return -1;
    *colon = 0;
    for (const char *p = colon + 1; *p; ++p)
        if (is_control_byte(static_cast<unsigned char>(*p)))
            return -1;
    char *value = trim_blanks(colon + 1);
    switch (lookup_header(line)) {
    case HDR_RANGE:
        parse_range(req, value);
        break;
    case HDR_ACCEPT_ENCODING:
        parse_accept_encoding(req, value);
        break;
    case HDR_CONTENT_LENGTH: {
        // Only plain digits frame a body; a second header must agree.
        const char *end;
        const auto n = static_cast<uint64_t>(parse_decimal(value, &end, DECIMAL_DIGITS, INT64_MAX));
        const bool plain = end != value && !*end;
        req->has_length = true;
        if (req->body == BODY_NONE && plain) {
            req->body = BODY_LENGTH;
            req->content_length = n;
        } else if (req->body != BODY_LENGTH || !plain || n != req->content_length) {
            req->body = BODY_BAD_LENGTH;
        }
        break;
    }
    case HDR_AUTHORIZATION:
        req->authorization = req->authorization ? "" : value;  // two are no credentials
        break;
    case HDR_ACCEPT:
        parse_accept(&req->accept, value);
        break;
    case HDR_TRANSFER_ENCODING:
        // Beside a length it leaves two readings of where the body ends.
        req->body = req->has_length ? BODY_BAD_LENGTH : *value ? BODY_TRANSFER_CODING : BODY_BAD_CODING;
        break;
    case HDR_HOST:
        if (req->hosts < UINT8_MAX)
            ++req->hosts;
        break;
    case HDR_IF_MATCH:
        req->if_match = value;
        break;
    case HDR_IF_NONE_MATCH:
        req->if_none_match = value;
        break;
    case HDR_IF_MODIFIED_SINCE:
        req->if_modified_since = value;
        break;
    case HDR_IF_UNMODIFIED_SINCE:
        req->if_unmodified_since = value;
        break;
    case HDR_IF_RANGE:
        req->if_range = value;
        break;
    case HDR_CONNECTION:
        fold_lower(value);
        if (strcmp(value, "close") == 0)
            req->keep_alive = KEEP_ALIVE_NONE;
        else if (strcmp(value, "keep-alive") == 0)
            req->keep_alive = KEEP_ALIVE_REQUESTED;
        break;
    default:
        break;
    }
    return 0;
}

// A whole head is read: the checks that need all of its lines.
static read_result head_complete(const request_head *req)
{
    if (req->hosts > 1 || (req->version >= HTTP_1_1 && req->hosts == 0))
        return READ_BAD;
    return READ_DONE;
}

read_result read_request(request_head *req, io_buf *in)
{
    ASSERT(in->last >= in->pos);
    while (in->pos < in->last) {
        char *start = in->pos;
        const size_t avail = static_cast<size_t>(in->last - in->pos);
        char *end = static_cast<char *>(memchr(start, '\n', avail));
        if (!end) {
            // A CR that is the last byte received may be the first half of CR LF.
            const void *cr = memchr(start, '\r', avail);
            return cr && cr != start + avail - 1 ? READ_BAD : READ_MORE;
        }
        // A line ends in CR LF or LF alone; a CR anywhere else, or a NUL,
        // would let two readers of the head see different lines.
        char *line_end = end > start && end[-1] == '\r' ? end - 1 : end;
        if (memchr(start, '\r', static_cast<size_t>(line_end - start)) ||
            memchr(start, 0, static_cast<size_t>(line_end - start)))
            return READ_BAD;
        *line_end = 0;
        in->pos = end + 1;

        char *line = start;
        if (!*line) {
            if (req->method == METHOD_NONE)
                continue;  // empty lines before the request line
            return head_complete(req);
        }
        int r;
        if (req->method == METHOD_NONE) {
            while (*line == ' ')
                ++line;
            r = request_line(req, line);
        } else {
            r = header_line(req, line);  // a line starting with white space is refused there
        }
        if (r != 0)
            return r < 0 ? READ_BAD : READ_DONE;
    }
    return READ_MORE;
}

// ---------------------------------------------------------------------------
// The task block

task *task_create(int sock)
{
    auto *t = static_cast<task *>(counted_alloc(&n_tasks, sizeof(task) + TASK_IN_BUF_SIZE + TASK_OUT_BUF_SIZE));
    if (!t)
        return nullptr;
    memset(t, 0, sizeof(task));  // the buffers are left untouched until used
    char *in = reinterpret_cast<char *>(t + 1);
    char *out = in + TASK_IN_BUF_SIZE;
    t->state = TASK_READING;
    t->sock = sock;
    t->in = io_buf{in, in, in, in + TASK_IN_BUF_SIZE};
    t->out = io_buf{out, out, out, out + TASK_OUT_BUF_SIZE};
    task_reset(t);
    return t;
}

void task_free(task *t)
{
    counted_free(&n_tasks, t);
}

void task_reset(task *t)
{
    request_head &r = t->req;
    r.method = METHOD_NONE;
    r.uri = nullptr;
    r.version = 0;
    r.nranges = 0;
    r.gzip_weight = r.any_weight = 0;
    r.body = BODY_NONE;
    r.has_length = false;
    r.hosts = 0;
    r.content_length = 0;
    r.authorization = nullptr;
    r.accept = accept_pref{};
    r.if_match = r.if_none_match = r.if_modified_since = r.if_unmodified_since = r.if_range = nullptr;
    t->fe = nullptr;
    t->offset = t->end = 0;
    t->sent = 0;
    t->status = 0;
    io_buf &in = t->in;
    const size_t unread = static_cast<size_t>(in.last - in.pos);
    if (unread > 0 && in.pos != in.start)
        memmove(in.start, in.pos, unread);
    in.pos = in.start;
    in.last = in.start + unread;
    t->out.pos = t->out.last = t->out.start;
}

void task_discard_body(task *t)
{
    const uint64_t n = std::min<uint64_t>(t->body_left, buf_size(t->in));
    t->in.pos += n;
    t->body_left -= n;
}

bool task_add_header_line(task *t, const char *line)
{
    io_buf &out = t->out;
    const size_t len = strlen(line);
    const char *end = static_cast<const char *>(memmem(out.pos, buf_size(out), "\r\n\r\n", 4));
    if (!end || len > buf_room(out))
        return false;
    char *at = const_cast<char *>(end) + 2;
    memmove(at + len, at, static_cast<size_t>(out.last - at));
    memcpy(at, line, len);
    out.last += len;
    return true;
}

bool task_keeps_alive(const task *t)
{
    const request_head &r = t->req;
    return (r.version >= HTTP_1_1 && r.keep_alive != KEEP_ALIVE_NONE) ||
           (r.version == HTTP_1_0 && r.keep_alive == KEEP_ALIVE_REQUESTED);
}

// ---------------------------------------------------------------------------
// The sender

namespace {

constexpr uint32_t WIDE_PIECE = 65536;

// The most one write event sends of a body that lies in a file: a reader
// that keeps pace with the loopback could otherwise hold one sendfile call,
// and the loop, for a whole body of any size. Other connections get their
// turn between pieces. Each piece ends where the reply reaches a multiple of
// the piece size, header included: on the loopback, pieces that start where
// the file's pages start but lie a header's length off in the stream halve
// the speed of a download (2.2 against 4.9 GB/s for 100 MB with curl).
constexpr uint64_t SENDFILE_PIECE = 256 * 1024;

// The last piece of a long body, on its way from the entry to the socket.
// One thread sends, so one buffer serves every connection.
char wide_buf[WIDE_PIECE];

// Copies body bytes into the free room of `out`.
fe_read_result fill_out(task *t)
{
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(buf_room(t->out), t->end - t->offset));
    if (count == 0)
        return FE_READ_DONE;
    const fe_read_result r = fe_read(t->fe, t->out.last, count, t->offset);
    if (r == FE_READ_DONE) {
        t->out.last += count;
        t->offset += count;
    }
    return r;
}

// What the sender says when the body could not be read.
send_result body_not_read(fe_read_result r)
{
    return r == FE_READ_AGAIN ? SEND_LATER : SEND_FAILED;
}

// Takes `n` sent bytes off the front of `out`.
void consume_out(io_buf &out, uint32_t n)
{
    out.pos += n;
    if (out.pos == out.last)
        out.pos = out.last = out.start;
}

}  // namespace

send_result task_send(task *t, ev_loop *loop)
{
    io_buf &out = t->out;
    if (out.pos != out.start && t->offset < t->end) {
        // Unsent bytes move to the front so that the body can follow them.
        const uint32_t waiting = buf_size(out);
        memmove(out.start, out.pos, waiting);
        out.pos = out.start;
        out.last = out.start + waiting;
    }
    const uint64_t left = t->end - t->offset;
    int fd;
    uint64_t at;
    uint64_t run = UINT64_MAX;  // bytes from t->offset that lie as `where` says: no piece crosses its end
    // Up to WIDE_PIECE, a read and one gathered send beat a send and a
    // sendfile (65,000 against 59,000 replies of 64 KB a second).
    const file_range where = left > WIDE_PIECE ? fe_file_range(t->fe, t->offset, &fd, &at, &run) : RANGE_READ;
    if (where == RANGE_CHANGED)
        return SEND_FAILED;
    if (where == RANGE_IN_FILE) {
        // A body that lies in a file as it is sent goes without a copy,
        // behind the header bytes in the same train of segments.
        if (buf_size(out) > 0) {
            const ssize_t n = ev_send(loop, t->sock, out.pos, buf_size(out), true);
            if (n < 0)
                return SEND_AGAIN;  // full or failing; a write or close event follows
            bytes_sent += static_cast<uint64_t>(n);
            t->sent += static_cast<uint64_t>(n);
            consume_out(out, static_cast<uint32_t>(n));
            if (buf_size(out) > 0)
                return SEND_AGAIN;
        }
        const ssize_t n =
            ev_sendfile(loop, t->sock, fd, at,
                        static_cast<size_t>(std::min<uint64_t>({left, SENDFILE_PIECE - t->sent % SENDFILE_PIECE, run})));
        if (n < 0)
            return SEND_AGAIN;
        if (n == 0)
            return SEND_FAILED;  // the file ended before the body did
        bytes_sent += static_cast<uint64_t>(n);
        t->sent += static_cast<uint64_t>(n);
        t->offset += static_cast<uint64_t>(n);
        return t->offset >= t->end ? SEND_DONE : SEND_AGAIN;
    }
    if (left > buf_room(out)) {
        const auto rest = static_cast<uint32_t>(std::min<uint64_t>({left, WIDE_PIECE, fe_reread_span(t->fe), run}));
        // A piece of the body leaves with what waits before it in one send,
        // read straight from the entry: a reply of up to 72 KB goes after
        // one read, and a long one in pieces of 64 KB (32 KB from a deflated
        // member), where the output buffer alone would take a read and a
        // send per 8 KB. Long pieces matter most to deflated members, whose
        // streams inflate in long steps only while they do not interleave.
        // What the socket did not take stays in `out` as far as it fits; the
        // remainder is read again next time, which is cheap as the piece is
        // no longer than the entry reads again cheaply (32 KB for a deflated
        // member, which keeps only zlib's window).
        if (const fe_read_result r = fe_read(t->fe, wide_buf, rest, t->offset); r != FE_READ_DONE)
            return body_not_read(r);
        const uint32_t waiting = buf_size(out);
        iovec pieces[2] = {{out.pos, waiting}, {wide_buf, rest}};
        const ssize_t n =
            ev_sendv(loop, t->sock, waiting > 0 ? pieces : pieces + 1, waiting > 0 ? 2 : 1, t->offset + rest < t->end);
        if (n < 0)
            return SEND_AGAIN;  // full or failing; a write or close event follows
        bytes_sent += static_cast<uint64_t>(n);
        t->sent += static_cast<uint64_t>(n);
        const auto sent = static_cast<uint32_t>(n);
        if (sent < waiting) {
            out.pos += sent;
            return SEND_AGAIN;
        }
        out.pos = out.last = out.start;
        const uint32_t body_sent = sent - waiting;
        const uint32_t keep = std::min(rest - body_sent, buf_room(out));
        memcpy(out.last, wide_buf + body_sent, keep);
        out.last += keep;
        t->offset += body_sent + keep;
    } else {
        // The rest of the body fits in `out` behind what waits there.
        if (const fe_read_result r = fill_out(t); r != FE_READ_DONE)
            return body_not_read(r);
        if (buf_size(out) > 0) {
            const ssize_t n = ev_send(loop, t->sock, out.pos, buf_size(out), false);
            if (n < 0)
                return SEND_AGAIN;  // full or failing; a write or close event follows
            bytes_sent += static_cast<uint64_t>(n);
            t->sent += static_cast<uint64_t>(n);
            consume_out(out, static_cast<uint32_t>(n));
        }
    }
    return buf_size(out) == 0 && t->offset >= t->end ? SEND_DONE : SEND_AGAIN;
}

// ---------------------------------------------------------------------------
// Response header

// The texts of the last two times asked for: the date of the reply and the
// modification time of what it sends, which repeat from request to request.
const char *http_date(int64_t t)
{
    static const char *const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char *const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    struct date_text {
        int64_t time;
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
    snprintf(d.text, sizeof d.text, "%.3s, %02d %.3s %04d %02d:%02d:%02d GMT", days[tm.tm_wday], tm.tm_mday,
             months[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    d.time = t;
    d.valid = true;
    return d.text;
}

uint64_t content_range(const byte_range &r, uint64_t size, char *out, size_t capacity)
{
    snprintf(out, capacity, "Content-Range: bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64, r.first, r.end - 1, size);
    return r.end - r.first;
}

namespace {

// Appends `n` bytes to the output buffer, cut at its capacity; a terminating
// zero follows them inside the buffer, as with snprintf.
void append_bytes(io_buf &out, const char *text, size_t n)
{
    const uint32_t room = buf_room(out);
    if (room == 0)
        return;
    if (n > room - 1)
        n = room - 1;
    memcpy(out.last, text, n);
    out.last += n;
    *out.last = 0;
}

void append(io_buf &out, const char *text)
{
    append_bytes(out, text, strlen(text));
}

template <size_t N>
void append_literal(io_buf &out, const char (&text)[N])
{
    append_bytes(out, text, N - 1);
}

void append_decimal(io_buf &out, uint64_t v)
{
    char digits[20];
    size_t n = sizeof digits;
    do {
        digits[--n] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    append_bytes(out, digits + n, sizeof digits - n);
}

}  // namespace

uint32_t compose_header(task *t, int32_t status, cache_policy policy)
{
    io_buf &out = t->out;
    ASSERT(out.last == out.start);
    const file_entry *fe = t->fe;
    const request_head &req = t->req;
    if (status == STATUS_206)
        append_literal(out, "HTTP/1.1 206 Partial Content\r\nServer: Pellorwick/" PW_VERSION "\r\nDate: ");
    else if (status == STATUS_304)
        append_literal(out, "HTTP/1.1 304 Not Modified\r\nServer: Pellorwick/" PW_VERSION "\r\nDate: ");
    else
        append_literal(out, "HTTP/1.1 200 OK\r\nServer: Pellorwick/" PW_VERSION "\r\nDate: ");
    append(out, http_date(time_now()));
    if (fe->mtime >= 0) {
        append_literal(out, "\r\nLast-Modified: ");
        append(out, http_date(fe->mtime));
    }
    if (fe->etag != 0) {
        char etag[ETAG_TEXT_SIZE];
        format_entry_etag(etag, fe);
        append_literal(out, "\r\nETag: ");
        append(out, etag);
    }
    if (policy.max_age < 0) {
        append_literal(out, "\r\nCache-Control: no-cache");
    } else {
        append_literal(out, "\r\nCache-Control: max-age=");
        append_decimal(out, static_cast<uint64_t>(policy.max_age));
    }
    // A folder's address answers HTML or JSON as the Accept header prefers.
    if (fe->kind == KIND_PAGE && fe->page != PAGE_HTML)
        append_literal(out, "\r\nVary: Accept");
    out.last += fe_header_lines(fe, out.last, buf_room(out));
    if (status == STATUS_304) {
        append_literal(out, "\r\n\r\n");
        return buf_size(out);
    }
    append_literal(out, "\r\nAccept-Ranges: bytes\r\nContent-Type: ");
    append(out, fe->kind != KIND_PAGE ? mime_type_of(fe->name) : page_content_type(fe->page));
    uint64_t length = fe->size;
    if (status == STATUS_206) {
        append_literal(out, "\r\n");
        length = content_range(req.ranges[0], fe->size, out.last, buf_room(out));
        out.last += strlen(out.last);
    }
    append_literal(out, "\r\nContent-Length: ");
    append_decimal(out, length);
    append_literal(out, "\r\n\r\n");
    return buf_size(out);
}

namespace {

// The date of a conditional header, or -1 when it is not a date the entry
// can be compared with.
int64_t condition_date(const char *value, const file_entry *fe)
{
    return value && fe->mtime >= 0 ? parse_http_date(value) : -1;
}

enum condition_result : uint8_t {
    CONDITIONS_PASS,      // send the resource
    CONDITIONS_HELD,      // the client holds this version: 304
    CONDITIONS_REFUSED,   // a precondition failed: 412
};

// RFC 9110 section 13.2.2, for GET and HEAD: If-Match, else
// If-Unmodified-Since; then If-None-Match, else If-Modified-Since.
condition_result check_conditions(const request_head &req, const file_entry *fe, const char *etag)
{
    if (req.if_match) {
        if (!etag_list_matches(req.if_match, etag, false))
            return CONDITIONS_REFUSED;
    } else if (const int64_t since = condition_date(req.if_unmodified_since, fe); since >= 0 && fe->mtime > since) {
        return CONDITIONS_REFUSED;
    }
    if (req.if_none_match)
        return etag_list_matches(req.if_none_match, etag, true) ? CONDITIONS_HELD : CONDITIONS_PASS;
    const int64_t since = condition_date(req.if_modified_since, fe);
    return since >= 0 && fe->mtime <= since ? CONDITIONS_HELD : CONDITIONS_PASS;
}

// If-Range: the range stands only for the version the client names, by its
// strong entity tag or by exactly its modification time.
bool range_stands(const request_head &req, const file_entry *fe, const char *etag)
{
    const char *v = req.if_range;
    if (!v)
        return true;
    if (*v == '"' || (v[0] == 'W' && v[1] == '/'))
        return fe->etag != 0 && strcmp(v, etag) == 0;
    const int64_t date = condition_date(v, fe);
    return date >= 0 && date == fe->mtime;
}

}  // namespace

int32_t reply_header(task *t, cache_policy policy)
{
    request_head &req = t->req;
    char etag[ETAG_TEXT_SIZE] = "";
    if (t->fe->etag != 0)
        format_entry_etag(etag, t->fe);
    t->offset = t->end = 0;
    switch (check_conditions(req, t->fe, etag)) {
    case CONDITIONS_REFUSED:
        return STATUS_412;
    case CONDITIONS_HELD:
        compose_header(t, STATUS_304, policy);
        return STATUS_304;
    case CONDITIONS_PASS:
        break;
    }
    if (!range_stands(req, t->fe, etag))
        req.nranges = 0;
    const uint64_t size = t->fe->size;
    if (req.nranges > 1)
        return STATUS_416;
    t->end = size;
    if (req.nranges == 1) {
        byte_range &r = req.ranges[0];
        if (r.first == RANGE_OPEN) {
            r.first = size - r.end;  // wraps for a suffix longer than the entry
            r.end = size;
        }
        if (r.end > size)
            r.end = size;
        if (r.first >= r.end)
            return STATUS_416;
        t->offset = r.first;
        t->end = r.end;
    }
    const int32_t status = req.nranges == 1 ? STATUS_206 : STATUS_200;
    compose_header(t, status, policy);
    return status;
}

// ---------------------------------------------------------------------------
// Validators

void format_etag(char *out, uint64_t etag)
{
    out[0] = '"';
    for (int i = 0; i < 16; ++i)
        out[1 + i] = "0123456789abcdef"[(etag >> (60 - 4 * i)) & 15];
    out[17] = '"';
    out[18] = 0;
}

void format_entry_etag(char *out, const file_entry *fe)
{
    format_etag(out, fe->etag);
    snprintf(out + 17, ETAG_TEXT_SIZE - 17, "%s\"", fe_etag_suffix(fe));
}

bool etag_list_matches(const char *list, const char *current, bool weak)
{
    const size_t current_len = strlen(current);
    for (const char *p = list;;) {
        while (*p == ' ' || *p == '\t' || *p == ',')
            ++p;
        if (!*p)
            return false;
        if (*p == '*')
            return true;  // any version: the resource exists
        bool weak_tag = false;
        if (p[0] == 'W' && p[1] == '/') {
            weak_tag = true;
            p += 2;
        }
        if (*p != '"')
            return false;  // not a list of entity tags
        const char *close = strchr(p + 1, '"');
        if (!close)
            return false;
        const auto len = static_cast<size_t>(close + 1 - p);
        if ((weak || !weak_tag) && current_len > 0 && len == current_len && memcmp(p, current, len) == 0)
            return true;
        p = close + 1;
    }
}

namespace {

// The month of a three-letter English abbreviation, 0-11, or -1.
int month_of(const char *s)
{
    static const char names[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    for (int m = 0; m < 12; ++m)
        if (strncmp(s, names + 3 * m, 3) == 0)
            return m;
    return -1;
}

// `n` decimal digits at `*p`, moving past them; -1 when they are not there.
int digits_at(const char **p, int n)
{
    int v = 0;
    for (int i = 0; i < n; ++i, ++*p) {
        if (**p < '0' || **p > '9')
            return -1;
        v = v * 10 + (**p - '0');
    }
    return v;
}

// "HH:MM:SS" at `*p` into `tm`; false when it is not there.
bool clock_at(const char **p, struct tm *tm)
{
    tm->tm_hour = digits_at(p, 2);
    if (tm->tm_hour < 0 || *(*p)++ != ':')
        return false;
    tm->tm_min = digits_at(p, 2);
    if (tm->tm_min < 0 || *(*p)++ != ':')
        return false;
    tm->tm_sec = digits_at(p, 2);
    return tm->tm_sec >= 0 && tm->tm_hour < 24 && tm->tm_min < 60 && tm->tm_sec <= 60;
}

}  // namespace

int64_t parse_http_date(const char *text)
{
    struct tm tm = {};
    const char *p = strchr(text, ' ');
    if (!p || p == text)
        return -1;
    const char *comma = p[-1] == ',' ? p - 1 : nullptr;
    ++p;
    if (comma && comma - text == 3) {
        // IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT"
        tm.tm_mday = digits_at(&p, 2);
        if (tm.tm_mday < 0 || *p++ != ' ' || (tm.tm_mon = month_of(p)) < 0)
            return -1;
        p += 3;
        if (*p++ != ' ' || (tm.tm_year = digits_at(&p, 4)) < 0 || *p++ != ' ' || !clock_at(&p, &tm))
            return -1;
        tm.tm_year -= 1900;
    } else if (comma) {
        // RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT"; two-digit years from 1970.
        tm.tm_mday = digits_at(&p, 2);
        if (tm.tm_mday < 0 || *p++ != '-' || (tm.tm_mon = month_of(p)) < 0)
            return -1;
        p += 3;
        if (*p++ != '-' || (tm.tm_year = digits_at(&p, 2)) < 0 || *p++ != ' ' || !clock_at(&p, &tm))
            return -1;
        if (tm.tm_year < 70)
            tm.tm_year += 100;
    } else if (p - text == 4) {
        // asctime: "Sun Nov  6 08:49:37 1994"
        if ((tm.tm_mon = month_of(p)) < 0)
            return -1;
        p += 3;
        if (*p++ != ' ')
            return -1;
        if (*p == ' ')
            ++p;
        const char *day = p;
        tm.tm_mday = digits_at(&p, 2);
        if (tm.tm_mday < 0) {
            p = day;
            tm.tm_mday = digits_at(&p, 1);
        }
        if (tm.tm_mday < 1 || tm.tm_mday > 31 || *p++ != ' ' || !clock_at(&p, &tm) || *p++ != ' ' ||
            (tm.tm_year = digits_at(&p, 4)) < 0)
            return -1;
        tm.tm_year -= 1900;
        return *p ? -1 : static_cast<int64_t>(timegm(&tm));
    } else {
        return -1;
    }
    if (strcmp(p, " GMT") != 0 || tm.tm_mday < 1 || tm.tm_mday > 31)
        return -1;
    return static_cast<int64_t>(timegm(&tm));
}
