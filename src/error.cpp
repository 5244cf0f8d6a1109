// The status table and the replies that are not resources. The page of an
// error reply is expanded straight into the output buffer behind its header,
// with a Content-Length field of fixed width that is filled in afterwards.
#include "error.h"

#include "htproc.h"
#include "memory.h"

#include <cstdio>
#include <cstring>

namespace {

struct status_def {
    int32_t code;
    const char *text;
    const char *page;
};

constexpr status_def STATUSES[] = {
    {STATUS_302, "302 Found",
     "<html><head><title>302 Found</title></head>\n<body>302 Move to <a href=\"%L\">here</a></body></html>\n"},
    {STATUS_400, "400 Bad request",
     "<html><head><title>400 Bad request</title></head>\n<body>400 Bad request</body></html>\n"},
    {STATUS_401, "401 Unauthorized",
     "<html><head><title>401 Unauthorized</title></head>\n"
     "<body>401 This server asks for a user name and password.</body></html>\n"},
    {STATUS_403, "403 Forbidden",
     "<html><head><title>403 Forbidden</title></head>\n<body>403 File %U is forbidden.</body></html>\n"},
    {STATUS_404, "404 Not found",
     "<html><head><title>404 Not found</title></head>\n<body>404 File %U not found.</body></html>\n"},
    {STATUS_405, "405 Method not allowed",
     "<html><head><title>405 Method not allowed</title></head>\n<body>405 Method not allowed.</body></html>\n"},
    {STATUS_413, "413 Request engity too large",
     "<html><head><title>413 Request engity too large</title></head>\n"
     "<body>413 Request engity too large.</body></html>\n"},
    {STATUS_412, "412 Precondition failed",
     "<html><head><title>412 Precondition failed</title></head>\n"
     "<body>412 File %U has changed.</body></html>\n"},
    {STATUS_414, "414 Request-URI too long",
     "<html><head><title>414 Request-URI too long</title></head>\n"
     "<body>414 Request-URI %U too long.</body></html>\n"},
    {STATUS_416, "416 Requested Range Not Satisfiable",
     "<html><head><title>416 Requested Range Not Satisfiable</title></head>\n"
     "<body>416 Requested Range Not Satisfiable</body></html>\n"},
    {STATUS_429, "429 Too many requests",
     "<html><head><title>429 Too many requests</title></head>\n"
     "<body>429 Too many failed logins from this address: try again in a minute.</body></html>\n"},
    {STATUS_500, "500 Internal server error",
     "<html><head><title>500 Internal server error</title></head>\n"
     "<body>500 Internal server error. <br>Please report to the\nvendor.</body></html>\n"},
    {STATUS_501, "501 Not implemented",
     "<html><head><title>501 Not implemented</title></head>\n"
     "<body>501 This function has not been implemented</body></html>\n"},
    {STATUS_505, "505 Version not implemented",
     "<html><head><title>505 Version not implemented</title></head>\n"
     "<body>505 HTTP version %V not implemented</body></html>\n"},
    {STATUS_507, "507 Insufficient Storage",
     "<html><head><title>507 Insufficient Storage</title></head>\n"
     "<body>507 The folder %U holds more files than the server can lay out as one .zip download at\n"
     "this moment. Download its subfolders one by one, or try again later.</body></html>\n"},
};

// The Content-Length field is this wide; pages are kept below 10000 bytes.
constexpr uint32_t LENGTH_WIDTH = 4;
constexpr uint32_t PAGE_CAPACITY_MAX = 10000;

// Appends `s` when it fits in `capacity`; false otherwise.
bool put(char *out, uint32_t capacity, uint32_t &n, const char *s)
{
    const size_t len = strlen(s);
    if (len > capacity - n)
        return false;
    memcpy(out + n, s, len);
    n += static_cast<uint32_t>(len);
    return true;
}

// Like put, with control bytes written as "%XX": a bare line feed may stay
// inside a request line, and must not end a header line when the request
// path is sent back in one.
bool put_header_value(char *out, uint32_t capacity, uint32_t &n, const char *s)
{
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(s); *p; ++p) {
        const bool control = *p < 0x20 || *p == 0x7F;
        if ((control ? 3u : 1u) > capacity - n)
            return false;
        if (control) {
            out[n++] = '%';
            out[n++] = HEX_DIGITS[*p >> 4];
            out[n++] = HEX_DIGITS[*p & 15];
        } else {
            out[n++] = static_cast<char>(*p);
        }
    }
    return true;
}

// Writes `s` HTML-escaped when the escaped text is shorter than space - 1;
// otherwise nothing.
uint32_t put_escaped(char *out, uint32_t space, const char *s)
{
    if (!s || space < 2)
        return 0;
    const size_t len = strlen(s);
    if (html_escaped_length(s, len) >= space - 1)
        return 0;
    return html_escape(out, s, len);
}

constexpr const status_def *find_status(int32_t code)
{
    for (const status_def &s : STATUSES)
        if (s.code == code)
            return &s;
    return nullptr;
}

// The text of the page directive %`name` where `space` bytes are left,
// terminator included; nothing when it does not fit.
uint32_t page_directive(char *out, uint32_t space, char name, const error_vars *t)
{
    if (!t)
        return 0;
    switch (name) {
    case 'L':
        return put_escaped(out, space, t->location);
    case 'U':
        return put_escaped(out, space, t->uri);
    case 'V': {
        if (space < 32)
            return 0;
        const int len = snprintf(out, space, "%d.%d", t->version >> 8, t->version & 255);
        return len > 0 ? static_cast<uint32_t>(len) : 0;
    }
    default:
        return 0;
    }
}

// Copies a page into `out` (capacity bytes, terminator included) with its
// directives replaced; the text is cut at the capacity less one.
uint32_t expand_page(char *out, uint32_t capacity, const char *page, const error_vars *vars)
{
    if (capacity == 0)
        return 0;
    uint32_t n = 0;
    for (const char *p = page; *p;) {
        if (p[0] == '%' && p[1]) {
            n += page_directive(out + n, capacity - n, p[1], vars);
            p += 2;
        } else if (n < capacity - 1) {
            out[n++] = *p++;
        } else {
            break;
        }
    }
    out[n] = 0;
    return n;
}

}  // namespace

uint32_t error_response(char *out, uint32_t capacity, int32_t status, bool with_body, const error_vars *vars)
{
    const status_def *def = find_status(status);
    if (!def || !def->page)
        return 0;
    const char *text = def->text;

    uint32_t n = 0;
    bool fits = put(out, capacity, n, "HTTP/1.1 ") && put(out, capacity, n, text) && put(out, capacity, n, "\r\n");
    if (fits && status == STATUS_302)
        fits = put(out, capacity, n, "Location: ") &&
               put_header_value(out, capacity, n, vars->location ? vars->location : "") &&
               put(out, capacity, n, "\r\n");
    if (!fits)
        return 0;
    if (!with_body)
        return put(out, capacity, n, "\r\n") ? n : 0;

    if (!put(out, capacity, n, "Content-Type: text/html\r\nContent-Length: "))
        return 0;
    const uint32_t length_at = n;
    if (capacity - n < LENGTH_WIDTH)
        return 0;
    n += LENGTH_WIDTH;
    if (!put(out, capacity, n, "\r\n\r\n"))
        return 0;

    uint32_t page_capacity = capacity - n;
    if (page_capacity > PAGE_CAPACITY_MAX)
        page_capacity = PAGE_CAPACITY_MAX;
    const uint32_t page_len = expand_page(out + n, page_capacity, def->page, vars);

    char digits[16];
    snprintf(digits, sizeof digits, "%4u", page_len);
    memcpy(out + length_at, digits, LENGTH_WIDTH);
    return n + page_len;
}
