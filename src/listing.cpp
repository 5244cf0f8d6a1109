// Directory index pages: the page and row directives, the entry sources of
// disk and archive listings, and their sort order.
#include "listing.h"

#include "dirscan.h"
#include "htconfig.h"
#include "htmlgen.h"
#include "htproc.h"
#include "memory.h"
#include "mime.h"
#include "zip.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// One page being generated: the user data of the page directives.
struct listing_cursor {
    const char *page_path;         // request path of the directory in URL form, "/"-ended
    char *scratch;                 // room for the page path decoded
    const dir_entry *const *rows;  // the rows in their order
    size_t count, pos;             // rows held and rows handed out
};

// One row: the user data of the row directives.
struct row_data {
    const dir_entry *entry;
    bool has_time;
    struct tm time;  // local time of the modification time
};

constexpr uint32_t DEFAULT_WIDTH = 16;
constexpr uint32_t INDEX_PAGE_CAPACITY = 65536;  // the room a page is first made in; it grows as needed
constexpr uint32_t SIZE_TEXT_LEN = 5;            // width of every format_size text

// Room a page keeps free behind its text while it is made, besides 9 bytes per
// byte of the page path (a step of the trail needs its link, 3 bytes a byte,
// and its label, 6 bytes a byte as an entity) and 6 per byte of the longest
// name. No directive needs more (links of names take at most 1023 bytes), so
// a page whose text ends that far from its capacity was written whole; any
// other is made again in twice the room.
constexpr uint64_t PAGE_MARGIN = 4096;

const char *const MONTHS[12] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN", "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};

// ---- text as shown -----------------------------------------------------------
// Pages are UTF-8. Names and paths show character by character: a valid UTF-8
// sequence as itself, markup characters as entities, and every byte that
// starts no valid sequence as "%XX", so the page never holds invalid UTF-8.

// Bytes of the valid UTF-8 sequence at s[0, left), or 0 when none starts there.
uint32_t utf8_length(const unsigned char *s, size_t left)
{
    const unsigned c = s[0];
    if (c < 0x80)
        return 1;
    uint32_t n;
    unsigned lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        lo = c == 0xE0 ? 0xA0 : 0x80;  // no overlong forms
        hi = c == 0xED ? 0x9F : 0xBF;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        lo = c == 0xF0 ? 0x90 : 0x80;
        hi = c == 0xF4 ? 0x8F : 0xBF;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (n > left || s[1] < lo || s[1] > hi)
        return 0;
    for (uint32_t i = 2; i < n; ++i)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return n;
}

// One character as shown: the bytes it covers, its text and its width.
struct shown_char {
    uint32_t in;
    uint32_t len;
    uint32_t cols;
    char text[8];
};

shown_char show_char(const char *s, size_t left)
{
    shown_char ch{};
    const auto *u = reinterpret_cast<const unsigned char *>(s);
    const uint32_t n = utf8_length(u, left);
    if (n == 0) {
        ch.in = 1;
        ch.len = ch.cols = 3;
        ch.text[0] = '%';
        ch.text[1] = HEX_DIGITS[u[0] >> 4];
        ch.text[2] = HEX_DIGITS[u[0] & 15];
    } else if (n == 1) {
        ch.in = ch.cols = 1;
        ch.len = html_escape(ch.text, s, 1);
    } else {
        ch.in = n;
        ch.cols = 1;
        ch.len = n;
        memcpy(ch.text, s, n);
    }
    return ch;
}

// The longest run of whole characters of s[0, len) that shows in at most
// `cols` characters: the bytes it covers, its text's length and its width.
struct shown_span {
    size_t in;
    uint32_t len;
    uint32_t cols;
};

shown_span measure_shown(const char *s, size_t len, uint32_t cols = UINT32_MAX)
{
    shown_span span{};
    while (span.in < len) {
        const shown_char ch = show_char(s + span.in, len - span.in);
        if (span.cols + ch.cols > cols)
            break;
        span.in += ch.in;
        span.len += ch.len;
        span.cols += ch.cols;
    }
    return span;
}

// Writes s[0, len) as shown; the caller has measured the room.
uint32_t put_shown(char *out, const char *s, size_t len)
{
    uint32_t n = 0;
    for (size_t i = 0; i < len;) {
        const shown_char ch = show_char(s + i, len - i);
        memcpy(out + n, ch.text, ch.len);
        n += ch.len;
        i += ch.in;
    }
    return n;
}

// The shown text when it takes at most `most` bytes, else nothing.
uint32_t write_shown(char *out, uint32_t most, const char *s, size_t len)
{
    if (measure_shown(s, len).len > most)
        return 0;
    return put_shown(out, s, len);
}

// ---- text helpers ----------------------------------------------------------

// The text when it takes at most `most` bytes, else nothing.
uint32_t write_text(char *out, uint32_t most, const char *s)
{
    const size_t len = strlen(s);
    if (len > most)
        return 0;
    memcpy(out, s, len);
    return static_cast<uint32_t>(len);
}

bool is_hex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Decodes the "%XX" escapes of s[0, len) into out (at most len bytes); a "%"
// that starts no escape stays. Returns the decoded length.
size_t decode_escapes(char *out, const char *s, size_t len)
{
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        if (s[i] == '%' && i + 2 < len && is_hex(s[i + 1]) && is_hex(s[i + 2])) {
            const auto hex = [](char c) { return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10; };
            out[n++] = static_cast<char>(hex(s[i + 1]) * 16 + hex(s[i + 2]));
            i += 2;
        } else {
            out[n++] = s[i];
        }
    }
    return n;
}

// The link form of the request path prefix s[0, len): the path is already in
// URL form, so a "%" that starts a two-hex-digit escape is kept; every other
// byte is escaped as in names. At most 3 * len bytes.
uint32_t put_link(char *out, const char *s, size_t len)
{
    uint32_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        if (s[i] == '%' && i + 2 < len && is_hex(s[i + 1]) && is_hex(s[i + 2])) {
            out[n++] = '%';
            continue;
        }
        const char one[2] = {s[i], 0};
        const char *enc = uri_encode(one);
        const size_t k = strlen(enc);
        memcpy(out + n, enc, k);
        n += static_cast<uint32_t>(k);
    }
    return n;
}

// ---- page directives -------------------------------------------------------

// The text of s[0, len), a piece of the page path in URL form, as shown:
// decoded first, so names show as the rows show them. At most `most` bytes, else nothing.
uint32_t write_shown_path(char *out, uint32_t most, const char *s, size_t len, char *scratch)
{
    return write_shown(out, most, scratch, decode_escapes(scratch, s, len));
}

// The last component of the page path without its trailing "/"; the whole
// path when no "/" is followed by more text.
uint32_t write_last_component(char *out, uint32_t space, const char *path, char *scratch)
{
    const size_t len = strlen(path);
    if (len == 0)
        return 0;
    // Just after the last "/" that some byte follows.
    size_t start = len - 1;
    while (start > 0 && path[start - 1] != '/')
        --start;
    if (start == 0)
        return write_shown_path(out, space - 1, path, len, scratch);
    size_t end = len;
    if (path[end - 1] == '/')
        --end;
    return write_shown_path(out, space - 1, path + start, end - start, scratch);
}

// "/" separated links to every directory of the page path, each labelled
// with its own component as shown.
uint32_t write_breadcrumb(char *out, uint32_t space, const char *path, char *scratch)
{
    static constexpr char link_open[] = "<a href=\"";
    static constexpr char link_close[] = "</a>/";
    uint32_t a = 0;
    const char *q = path;
    for (;;) {
        while (*q == '/') {
            if (a + 2 >= space)
                return a;
            out[a++] = '/';
            ++q;
        }
        const char *r = strchr(q, '/');
        const size_t label_len = decode_escapes(scratch, q, r ? static_cast<size_t>(r - q) : strlen(q));
        const size_t label = measure_shown(scratch, label_len).len;
        if (!r) {
            if (a + label < space - 1)
                a += put_shown(out + a, scratch, label_len);
            return a;
        }
        const size_t prefix = static_cast<size_t>(r - path);
        // The link is at most three bytes per path byte; 32 covers the markup.
        if (prefix * 3 + label + a + 32 >= space - 1)
            return a;
        memcpy(out + a, link_open, sizeof link_open - 1);
        a += sizeof link_open - 1;
        a += put_link(out + a, path, prefix);
        memcpy(out + a, "/\">", 3);
        a += 3;
        a += put_shown(out + a, scratch, label_len);
        memcpy(out + a, link_close, sizeof link_close - 1);
        a += sizeof link_close - 1;
        q = r + 1;
    }
}

const char *row_template(entry_kind kind)
{
    switch (kind) {
    case KIND_FILE:
    case KIND_MEMBER:
        return g_config.index_template_file;
    case KIND_ZIP:
        return g_config.index_template_zip;
    case KIND_DIR:
    case KIND_MEMBER_DIR:
        return g_config.index_template_dir;
    default:
        return g_config.index_template_other;
    }
}

bool local_time(int64_t t, struct tm *out)
{
    if (t == 0 || t == -1)
        return false;
    const time_t tt = t;
    return localtime_r(&tt, out) != nullptr;
}

// The five-character size column: bytes up to 99,999, then the first of K, M,
// G, T, P and E in which the size rounds to at most 9999 ("%4uK" and so on).
// Writes nothing and returns 0 when `capacity` has no room for the text and
// its terminator; otherwise returns 5.
uint32_t format_size(char *out, uint32_t capacity, uint64_t size)
{
    if (capacity <= SIZE_TEXT_LEN)
        return 0;
    char text[32];
    if (size <= 99999u) {
        snprintf(text, sizeof text, "%5u", static_cast<unsigned>(size));
    } else {
        // The first unit in which the size, rounded to the nearest, takes at
        // most four digits: it is below 9,999.5 of that unit.
        static constexpr char units[] = "KMGTPE";
        int u = 0;
        uint64_t shown = 0;
        for (;; ++u) {
            const int shift = 10 * (u + 1);
            shown = (size >> shift) + ((size >> (shift - 1)) & 1);
            if (shown <= 9999 || units[u + 1] == 0)
                break;
        }
        snprintf(text, sizeof text, "%4u%c", static_cast<unsigned>(shown), units[u]);
    }
    memcpy(out, text, SIZE_TEXT_LEN + 1);
    return SIZE_TEXT_LEN;
}

uint32_t row_directive(char *out, uint32_t space, const char *name, void *user);

uint32_t write_rows(char *out, uint32_t space, listing_cursor *c)
{
    uint32_t a = 0;
    while (a < space - 1 && c->pos < c->count) {
        const dir_entry *e = c->rows[c->pos++];
        row_data row;
        row.entry = e;
        row.has_time = local_time(e->modified, &row.time);
        a += expand_template(out + a, space - a, row_template(e->kind), row_directive, &row);
    }
    return a;
}

uint32_t page_directive(char *out, uint32_t space, const char *name, void *user)
{
    auto *c = static_cast<listing_cursor *>(user);
    if (name[0] == 'O' || name[0] == 'o') {
        const char *keys = name + 1;
        const size_t len = strlen(keys);
        if (len == 0 || len + 5 >= space)
            return 0;
        memcpy(out, "?O=", 3);
        memcpy(out + 3, keys, len);
        return static_cast<uint32_t>(len + 3);
    }
    if (name[0] && !name[1]) {
        switch (name[0]) {
        case 'p':
            return write_last_component(out, space, c->page_path, c->scratch);
        case 'P':
            return write_shown_path(out, space - 1, c->page_path, strlen(c->page_path), c->scratch);
        case 'R':
            return write_breadcrumb(out, space, c->page_path, c->scratch);
        case '*':
            return write_rows(out, space, c);
        default:
            break;
        }
    }
    return space > 4 ? write_text(out, space - 1, "N/A") : 0;
}

// ---- row directives --------------------------------------------------------

// The width of %(nW) and %(bW): W when it lies in 4..128, else 16.
uint32_t width_of(const char *name)
{
    const char *p = name + 1;
    if (*p < '0' || *p > '9')
        return DEFAULT_WIDTH;
    uint32_t w = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (w <= 1000)
            w = w * 10 + static_cast<uint32_t>(*p - '0');
    }
    return w < 4 || w > 128 ? DEFAULT_WIDTH : w;
}

// The name in a column of w characters: whole when it shows in fewer than w,
// else as many whole characters as show in w - 1 and "&gt;".
uint32_t write_name_column(char *out, uint32_t space, const char *name, uint32_t w)
{
    if (w + 5 >= space)
        return 0;
    const size_t len = strlen(name);
    const shown_span span = measure_shown(name, len, w - 1);
    if (span.in == len)
        return span.len > space - 1 ? 0 : put_shown(out, name, len);
    if (span.len + 4 >= space)
        return 0;
    const uint32_t n = put_shown(out, name, span.in);
    memcpy(out + n, "&gt;", 4);
    return n + 4;
}

// Spaces that fill the name column up to w characters; a cut name takes w
// unless a character too wide for the last columns stopped it short.
uint32_t write_fill(char *out, uint32_t space, const char *name, uint32_t w)
{
    const size_t len = strlen(name);
    const shown_span span = measure_shown(name, len, w - 1);
    const uint32_t shown = span.in == len ? span.cols : span.cols + 1;
    if (shown >= w || w - shown >= space)
        return 0;
    memset(out, ' ', w - shown);
    return w - shown;
}

uint32_t write_icon(char *out, uint32_t space, const dir_entry *e)
{
    const char *cls = icon_class_of(e->name, e->kind);
    const size_t len = strlen(cls);
    if (len + 16 >= space)
        return 0;
    const bool member = e->kind == KIND_MEMBER || e->kind == KIND_MEMBER_DIR;
    const int n = snprintf(out, space, "/?rc=%s%s.gif", member ? "zip" : "", cls);
    return n > 0 ? static_cast<uint32_t>(n) : 0;
}

uint32_t write_blanks(char *out, uint32_t count)
{
    memset(out, ' ', count);
    return count;
}

uint32_t write_time_field(char *out, uint32_t space, const row_data *row, char field)
{
    static constexpr uint32_t widths[] = {5, 8, 8, 11};  // t, T, d, D
    static constexpr uint32_t needs[] = {9, 12, 12, 15};
    const int i = field == 't' ? 0 : field == 'T' ? 1 : field == 'd' ? 2 : 3;
    if (space <= needs[i])
        return 0;
    if (!row->has_time)
        return write_blanks(out, widths[i]);
    const struct tm &tm = row->time;
    int n = 0;
    switch (field) {
    case 't':
        n = snprintf(out, space, "%02d:%02d", tm.tm_hour, tm.tm_min);
        break;
    case 'T':
        n = snprintf(out, space, "%02d:%02d:%02d", tm.tm_hour, tm.tm_min, tm.tm_sec);
        break;
    case 'd':
        n = snprintf(out, space, "%02d/%02d/%02d", tm.tm_mon + 1, tm.tm_mday, (tm.tm_year + 1900) % 100);
        break;
    default:
        n = snprintf(out, space, "%.3s %02d %4d", MONTHS[tm.tm_mon], tm.tm_mday, tm.tm_year + 1900);
        break;
    }
    return n > 0 && static_cast<uint32_t>(n) < space ? static_cast<uint32_t>(n) : 0;
}

uint32_t row_directive(char *out, uint32_t space, const char *name, void *user)
{
    const auto *row = static_cast<const row_data *>(user);
    const dir_entry *e = row->entry;
    if (name[0] == 'n')
        return write_name_column(out, space, e->name, width_of(name));
    if (name[0] == 'b')
        return write_fill(out, space, e->name, width_of(name));
    if (!name[0] || name[1])
        return 0;
    switch (name[0]) {
    case 'm':
        return write_icon(out, space, e);
    case 'u':
        return space > 1 ? write_text(out, space - 2, uri_encode(e->name)) : 0;
    case 'U': {
        const char *enc = uri_encode(e->name);
        const size_t len = strlen(enc);
        if (len + 2 >= space)
            return 0;
        memcpy(out, enc, len);
        out[len] = '/';
        return static_cast<uint32_t>(len + 1);
    }
    case 'N':
        return space > 1 ? write_shown(out, space - 2, e->name, strlen(e->name)) : 0;
    case 's':
        return space > SIZE_TEXT_LEN + 1 ? format_size(out, space, e->size) : 0;
    case 'S': {
        if (space <= 21)
            return 0;
        const int n = snprintf(out, space, "%llu", static_cast<unsigned long long>(e->size));
        return n > 0 ? static_cast<uint32_t>(n) : 0;
    }
    case 't':
    case 'T':
    case 'd':
    case 'D':
        return write_time_field(out, space, row, name[0]);
    default:
        return 0;
    }
}

// ---- sorting ---------------------------------------------------------------

template <typename T>
int order(T x, T y)
{
    return x < y ? -1 : x > y ? 1 : 0;
}

// Orders two rows by the sort keys, each key deciding only between rows
// that every earlier key found equal.
int compare_rows(const dir_entry *x, const dir_entry *y, const char *keys)
{
    for (const char *k = keys; *k; ++k) {
        // Upper case sorts ascending, lower case the same key descending.
        int c = 0;
        switch (*k | 0x20) {
        case 'd':
            c = order(x->kind, y->kind);
            break;
        case 'n':
            c = strcmp(x->name, y->name);
            break;
        case 's':
            c = order(x->size, y->size);
            break;
        case 't':
            c = order(x->modified, y->modified);
            break;
        default:
            break;
        }
        if (*k >= 'a')
            c = -c;
        if (c)
            return c;
    }
    return 0;
}

// ---- the listing as JSON ------------------------------------------------------

// JSON text written into a block whose room was reckoned beforehand.
struct json_out {
    char *p;
    char *end;
};

void put(json_out &o, const char *s, size_t n)
{
    ASSERT(n <= static_cast<size_t>(o.end - o.p));
    n = std::min(n, static_cast<size_t>(o.end - o.p));
    memcpy(o.p, s, n);
    o.p += n;
}

void put(json_out &o, const char *s)
{
    put(o, s, strlen(s));
}

// A JSON string of s[0, len) shown as on the page, but for JSON: a valid UTF-8
// sequence as itself, quotes, backslashes and control characters escaped, and
// every byte that starts no valid sequence as "%XX". At most 6 bytes a byte and 2.
void put_json_string(json_out &o, const char *s, size_t len)
{
    put(o, "\"", 1);
    for (size_t i = 0; i < len;) {
        const auto c = static_cast<unsigned char>(s[i]);
        const uint32_t n = utf8_length(reinterpret_cast<const unsigned char *>(s + i), len - i);
        char esc[8];
        if (n == 0) {
            const char hex[3] = {'%', HEX_DIGITS[c >> 4], HEX_DIGITS[c & 15]};
            put(o, hex, 3);
        } else if (c == '"' || c == '\\') {
            const char two[2] = {'\\', static_cast<char>(c)};
            put(o, two, 2);
        } else if (c < 0x20) {
            snprintf(esc, sizeof esc, "\\u%04X", c);
            put(o, esc, 6);
        } else {
            put(o, s + i, n);
        }
        i += n ? n : 1;
    }
    put(o, "\"", 1);
}

const char *json_type(entry_kind kind)
{
    switch (kind) {
    case KIND_ZIP:
        return "archive";
    case KIND_DIR:
    case KIND_MEMBER_DIR:
        return "dir";
    default:
        return "file";
    }
}

// One row: name, type, size, mtime and modified (null where the page shows no
// time: 0 and -1 stand for none), and the href of the row, which `link` (the folder's own link) begins.
void put_json_row(json_out &o, const dir_entry *e, const char *link, size_t link_len)
{
    put(o, "{\"name\":");
    put_json_string(o, e->name, strlen(e->name));
    put(o, ",\"type\":\"");
    put(o, json_type(e->kind));
    const bool dir = e->kind == KIND_DIR || e->kind == KIND_MEMBER_DIR;
    char text[128];
    int n = snprintf(text, sizeof text, "\",\"size\":%llu", static_cast<unsigned long long>(dir ? 0 : e->size));
    put(o, text, static_cast<size_t>(n));
    struct tm tm;
    const time_t t = static_cast<time_t>(e->modified);
    if (e->modified != 0 && e->modified != -1 && gmtime_r(&t, &tm))
        n = snprintf(text, sizeof text, ",\"mtime\":%lld,\"modified\":\"%04d-%02d-%02dT%02d:%02d:%02dZ\"",
                     static_cast<long long>(e->modified), tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                     tm.tm_min, tm.tm_sec);
    else
        n = snprintf(text, sizeof text, ",\"mtime\":null,\"modified\":null");
    put(o, text, static_cast<size_t>(std::min<int>(n, sizeof text - 1)));
    put(o, ",\"href\":\"");
    put(o, link, link_len);
    put(o, uri_encode(e->name));
    if (dir)
        put(o, "/", 1);
    put(o, "\"}");
}

// Room a row takes at most besides its name, link and href: the field names,
// the type, the numbers and the time.
constexpr uint64_t JSON_ROW_ROOM = 192;

// The listing as one JSON object: the folder's path as shown and its rows,
// one a line. Null when memory is exhausted.
text_block *json_page(const dir_entry *const *rows, size_t count, const char *page_path, char *scratch)
{
    const size_t path_len = strlen(page_path);
    const size_t shown_len = decode_escapes(scratch, page_path, path_len);
    auto link = static_cast<char *>(counted_alloc(&n_blocks, 3 * path_len + 1));
    if (!link)
        return nullptr;
    const uint32_t link_len = put_link(link, page_path, path_len);
    uint64_t capacity = 64 + 6 * uint64_t{shown_len};
    for (size_t i = 0; i < count; ++i) {
        const uint64_t name = strlen(rows[i]->name);
        capacity += JSON_ROW_ROOM + 6 * name + link_len + std::min<uint64_t>(3 * name, ESCAPED_NAME_MAX);
    }
    text_block *tb = capacity <= UINT32_MAX ? text_block_new(static_cast<uint32_t>(capacity)) : nullptr;
    if (tb) {
        json_out o{tb->data, tb->data + capacity};
        put(o, "{\"path\":");
        put_json_string(o, scratch, shown_len);
        put(o, ",\"entries\":[");
        for (size_t i = 0; i < count; ++i) {
            put(o, i ? ",\n" : "\n");
            put_json_row(o, rows[i], link, link_len);
        }
        put(o, "\n]}\n");
        tb = text_block_fit(tb, static_cast<uint32_t>(o.p - tb->data));
    }
    counted_free(&n_blocks, link);
    return tb;
}

// ---- the page --------------------------------------------------------------

// The page of `count` rows, sorted by `keys` unless they are null, as HTML
// or as JSON; `*newest` is raised to the newest modification time of a row.
// An HTML page is first made in INDEX_PAGE_CAPACITY bytes, and again in twice
// the room until its text ends the margin (PAGE_MARGIN) short of the end;
// null when memory is exhausted.
text_block *rows_page(const dir_entry **rows, size_t count, const char *page_path, const char *keys, int64_t *newest,
                      bool json)
{
    for (size_t i = 0; i < count; ++i)
        *newest = std::max(*newest, rows[i]->modified);
    if (keys && count > 0)
        std::sort(rows, rows + count,
                  [keys](const dir_entry *x, const dir_entry *y) { return compare_rows(x, y, keys) < 0; });
    listing_cursor c{page_path ? page_path : "", nullptr, rows, count, 0};
    // The page path decoded, a piece at a time, for the texts that show it.
    c.scratch = static_cast<char *>(counted_alloc(&n_blocks, strlen(c.page_path) + 1));
    if (!c.scratch)
        return nullptr;
    text_block *page = nullptr;
    if (json) {
        page = json_page(rows, count, c.page_path, c.scratch);
        counted_free(&n_blocks, c.scratch);
        return page;
    }
    size_t longest = 0;
    for (size_t i = 0; i < count; ++i)
        longest = std::max(longest, strlen(rows[i]->name));
    const uint64_t margin = PAGE_MARGIN + 9 * uint64_t{strlen(c.page_path)} + 6 * uint64_t{longest};
    uint64_t capacity = INDEX_PAGE_CAPACITY;
    while (capacity <= margin)
        capacity *= 2;
    for (; capacity <= UINT32_MAX; capacity *= 2) {
        text_block *tb = text_block_new(static_cast<uint32_t>(capacity));
        if (!tb)
            break;
        c.pos = 0;
        const uint32_t n =
            expand_template(tb->data, static_cast<uint32_t>(capacity), g_config.index_template, page_directive, &c);
        if (n + margin < capacity) {
            page = text_block_fit(tb, n);
            break;
        }
        text_block_free(tb);
    }
    counted_free(&n_blocks, c.scratch);
    return page;
}

// The page of an archive directory: its members become rows first.
text_block *members_page(zip_node *first, const char *page_path, const char *keys, int64_t *newest, bool json = false)
{
    size_t count = 0;
    for (zip_node *node = first; node; node = node->next == first ? nullptr : node->next)
        ++count;
    // The rows, then one pointer per row, in one block.
    constexpr size_t row_bytes = sizeof(dir_entry) + sizeof(dir_entry *);
    auto members = static_cast<dir_entry *>(counted_alloc(&n_blocks, count * row_bytes));
    if (!members)
        return nullptr;
    auto rows = reinterpret_cast<const dir_entry **>(members + count);
    zip_node *node = first;
    for (size_t i = 0; i < count; ++i, node = node->next) {
        dir_entry &e = members[i];
        e.kind = node->child ? KIND_MEMBER_DIR : KIND_MEMBER;
        e.created = e.modified = e.accessed = node->mtime;
        e.size = node->usize;
        const char *slash = strrchr(node->path, '/');
        e.name = slash ? slash + 1 : node->path;
        rows[i] = &e;
    }
    text_block *page = rows_page(rows, count, page_path, keys, newest, json);
    counted_free(&n_blocks, members);
    return page;
}

// The page of a directory snapshot, in scan order or sorted.
text_block *snapshot_page(const dir_entry *snapshot, const char *page_path, const char *keys, int64_t *newest,
                          bool json = false)
{
    size_t count = 0;
    while (snapshot[count].kind != KIND_NONE)
        ++count;
    auto rows = static_cast<const dir_entry **>(counted_alloc(&n_blocks, count * sizeof(dir_entry *)));
    if (!rows)
        return nullptr;
    for (size_t i = 0; i < count; ++i)
        rows[i] = &snapshot[i];
    text_block *page = rows_page(rows, count, page_path, keys, newest, json);
    counted_free(&n_blocks, rows);
    return page;
}

}  // namespace

text_block *list_dir_unsorted(const char *path, const char *page_path, int64_t *newest)
{
    dir_entry *snapshot = dir_snapshot(path);
    if (!snapshot)
        return nullptr;
    text_block *page = snapshot_page(snapshot, page_path, nullptr, newest);
    dir_snapshot_free(snapshot);
    return page;
}

text_block *list_dir_sorted(dir_entry *snapshot, const char *page_path, const char *keys, int64_t *newest)
{
    return snapshot ? snapshot_page(snapshot, page_path, keys ? keys : "", newest) : nullptr;
}

text_block *list_zip_unsorted(zip_node *first, const char *page_path, int64_t *newest)
{
    return members_page(first, page_path, nullptr, newest);
}

text_block *list_zip_sorted(zip_node *first, const char *page_path, const char *keys, int64_t *newest)
{
    return members_page(first, page_path, keys ? keys : "", newest);
}

text_block *list_dir_json(dir_entry *snapshot, const char *page_path, const char *keys, int64_t *newest)
{
    return snapshot ? snapshot_page(snapshot, page_path, keys, newest, true) : nullptr;
}

text_block *list_zip_json(zip_node *first, const char *page_path, const char *keys, int64_t *newest)
{
    return members_page(first, page_path, keys, newest, true);
}
