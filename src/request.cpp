// The request reader: request lines, header lines, the values the server
// acts on (ranges, codings, conditions, framing), and HTTP dates.
#include "request.h"

#include "memory.h"

#include <cstring>
#include <ctime>
#include <strings.h>

namespace {

// Decimal number with optional leading white space and sign, saturating at
// the 32-bit bounds. `*end` is the byte that stopped it, or `s` itself when
// there are no digits.
int32_t parse_signed(const char *s, const char **end)
{
    const int64_t v = parse_decimal(s, end, DECIMAL_SIGNED, static_cast<int64_t>(INT32_MAX) + 1);
    return v > INT32_MAX ? INT32_MAX : static_cast<int32_t>(v);
}

// A byte position: decimal digits at `*p`, saturating at RANGE_POSITION_MAX.
uint64_t parse_position(const char **p)
{
    return static_cast<uint64_t>(parse_decimal(*p, p, DECIMAL_DIGITS, RANGE_POSITION_MAX));
}

const char *skip_spaces(const char *p)
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
uint16_t parse_weight(const char *p, const char *end)
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

// Handles the request line; 0 to go on with the header lines, 2 complete
// (a request without header lines), -1 bad.
int request_line(request_head *req, char *line)
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
    const char *http = strcasestr(space + 1, "HTTP/");
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
int header_line(request_head *req, char *line)
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
        if (strcasecmp(value, "close") == 0)
            req->keep_alive = KEEP_ALIVE_NONE;
        else if (strcasecmp(value, "keep-alive") == 0)
            req->keep_alive = KEEP_ALIVE_REQUESTED;
        break;
    default:
        break;
    }
    return 0;
}

// A whole head is read: the checks that need all of its lines.
read_result head_complete(const request_head *req)
{
    if (req->hosts > 1 || (req->version >= HTTP_1_1 && req->hosts == 0))
        return READ_BAD;
    return READ_DONE;
}

}  // namespace

void request_reset(request_head *req)
{
    const keep_alive_kind keep_alive = req->keep_alive;
    *req = request_head{};
    req->method = METHOD_NONE;
    req->keep_alive = keep_alive;
}

read_result read_request(request_head *req, char *buf, size_t len, size_t *used)
{
    char *const last = buf + len;
    char *pos = buf;
    read_result result = READ_MORE;
    while (pos < last) {
        char *start = pos;
        const auto avail = static_cast<size_t>(last - pos);
        char *end = static_cast<char *>(memchr(start, '\n', avail));
        if (!end) {
            // A CR that is the last byte received may be the first half of CR LF.
            const void *cr = memchr(start, '\r', avail);
            if (cr && cr != start + avail - 1)
                result = READ_BAD;
            break;
        }
        // A line ends in CR LF or LF alone; a CR anywhere else, or a NUL,
        // would let two readers of the head see different lines.
        char *line_end = end > start && end[-1] == '\r' ? end - 1 : end;
        if (memchr(start, '\r', static_cast<size_t>(line_end - start)) ||
            memchr(start, 0, static_cast<size_t>(line_end - start))) {
            result = READ_BAD;
            break;
        }
        *line_end = 0;
        pos = end + 1;

        char *line = start;
        if (!*line) {
            if (req->method == METHOD_NONE)
                continue;  // empty lines before the request line
            result = head_complete(req);
            break;
        }
        int r;
        if (req->method == METHOD_NONE) {
            while (*line == ' ')
                ++line;
            r = request_line(req, line);
        } else {
            r = header_line(req, line);  // a line starting with white space is refused there
        }
        if (r != 0) {
            result = r < 0 ? READ_BAD : READ_DONE;
            break;
        }
    }
    *used = static_cast<size_t>(pos - buf);
    return result;
}

bool accepts_gzip(const request_head *req)
{
    return req->gzip_weight ? req->gzip_weight > 1 : req->any_weight > 1;
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
