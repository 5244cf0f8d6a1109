// Choosing the reply: the route from a request target to its entry, the
// built-in queries, the validators and conditions, ranges, and the header.
#include "reply.h"

#include "dirscan.h"
#include "error.h"
#include "file.h"
#include "htconfig.h"
#include "htmlgen.h"
#include "htproc.h"
#include "memory.h"
#include "mime.h"
#include "resources.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

// ---- the route -------------------------------------------------------------------

constexpr uint32_t MAX_PATH_AND_QUERY = 1020;
// A path written back escaped takes at most three bytes a byte; a redirect's
// target adds "/", "?" and the query.
constexpr uint32_t PAGE_PATH_SIZE = 3 * MAX_PATH_AND_QUERY + 1;
constexpr uint32_t LOCATION_SIZE = PAGE_PATH_SIZE + 2 + MAX_PATH_AND_QUERY;

// "?json" asks for a folder's listing as JSON, and so does an Accept header
// that prefers JSON to HTML where no default page answers. The query a
// listing is resolved with: the request's own, or "json" joined to it in
// `buf` (JSON_QUERY_SIZE bytes).
constexpr uint32_t JSON_QUERY_SIZE = MAX_PATH_AND_QUERY + 8;

const char *listing_query_of(const request_head &req, char *buf)
{
    if (!accept_prefers_json(req.accept))
        return req.query;
    snprintf(buf, JSON_QUERY_SIZE, "json%s%s", req.query ? "&" : "", req.query ? req.query : "");
    return buf;
}

constexpr size_t MAX_RESOURCE_NAME = 20;

// The built-in resources of the root: "?help" and "?rc=NAME".
file_entry *builtin_lookup(const reply_scope &scope, const char *path, const char *query)
{
    if (!query || strcmp(path, "/") != 0)
        return nullptr;
    if (strcmp(query, "help") == 0) {
        make_room_for_page(scope.entries, 0);
        return fe_add_page(scope.entries, "??help.html", page_from_template(help_page_html), scope.builtin_time);
    }
    if (strncmp(query, "rc=", 3) != 0)
        return nullptr;
    const char *name = query + 3;
    const size_t len = strlen(name);
    if (len > MAX_RESOURCE_NAME)
        return nullptr;
    char key[MAX_RESOURCE_NAME + 2];
    key[0] = '?';
    memcpy(key + 1, name, len + 1);
    return fe_lookup(scope.entries, key);
}

// The method, version and target a reply can be chosen for: 0, or the
// status of the refusal. The target is split, decoded and cleaned in place
// once; `uri` then names the cleaned path too, for the error pages.
int32_t split_request_target(request_head &req)
{
    if (req.path)
        return 0;
    if (req.version > HTTP_1_1)
        return STATUS_505;
    if (req.method != METHOD_GET && req.method != METHOD_HEAD)
        return STATUS_501;
    char *host;
    int32_t port;
    char *path = split_target(req.uri, &host, &port, &req.query);
    if (!path)
        return STATUS_400;
    if (host)
        return STATUS_501;
    if (strlen(path) + (req.query ? strlen(req.query) : 0) >= MAX_PATH_AND_QUERY)
        return STATUS_414;
    req.uri = req.path = path_clean(uri_decode(path));
    return 0;
}

// find_entry's answer for an entry still being made a slice per turn.
constexpr int32_t NOT_READY = 1;

// Steps from a parsed request to the entry that answers it; returns 0 (or
// NOT_READY) with *found set, or the status of the error reply. A redirect's target is
// written to `location` (LOCATION_SIZE bytes).
int32_t find_entry(const reply_scope &scope, request_head &req, char *location, file_entry **found)
{
    *found = nullptr;
    if (const int32_t refused = split_request_target(req))
        return refused;
    const char *query = req.query;
    if ((*found = builtin_lookup(scope, req.path, query)))
        return 0;
    // A hidden name answers as a missing one: its existence does not show.
    if (!tree_rules_in_force().show_hidden && is_hidden_path(req.path))
        return STATUS_404;

    char mapped_buf[MAPPED_PATH_MAX + 1];
    const char *mapped = map_uri(req.path, g_config.uri_mapping, mapped_buf);
    if (!mapped)
        return STATUS_404;
    if (!path_allowed(mapped, g_config.allow_path))
        return STATUS_403;
    // Listings and redirects name the cleaned path, escaped again: whatever
    // the request spelled ("//host/..", "/./", "%00"), the page of a directory
    // is the same and a redirect always names this server.
    char page_path[PAGE_PATH_SIZE];
    path_encode(page_path, req.path);
    resolve_note note = RESOLVE_OK;
    char listing[JSON_QUERY_SIZE];
    const bool listing_asked = parse_listing_query(query).json || is_zip_query(query);
    char index_buf[INDEX_PATH_MAX + 1];
    if (const char *candidate = listing_asked ? nullptr : with_index_file(mapped, g_config.index_file, index_buf))
        *found = resolve_path(scope.entries, candidate, page_path, query, &note);
    if (!*found && note != RESOLVE_NO_RESOURCES)
        *found = resolve_path(scope.entries, mapped, page_path, listing_query_of(req, listing), &note);
    // A deflated member goes as it lies in its archive, framed as gzip, to a
    // client that takes that encoding; ranges and HEAD keep the member itself.
    if (*found && req.method == METHOD_GET && req.nranges == 0 && accepts_gzip(&req)) {
        file_entry *member = *found;
        if ((*found = fe_gzip_form(scope.entries, member)) != member)
            fe_drop_if_unused(scope.entries, member);
    }
    switch (note) {
    case RESOLVE_NO_STORAGE:
        return STATUS_507;
    case RESOLVE_OK:
        return *found ? 0 : STATUS_404;
    case RESOLVE_REDIRECT:
        snprintf(location, LOCATION_SIZE, "%s/%s%s", page_path, query ? "?" : "", query ? query : "");
        *found = nullptr;
        return STATUS_302;
    case RESOLVE_LATER:
        return NOT_READY;
    case RESOLVE_NO_RESOURCES:
        break;
    }
    return STATUS_500;
}

// ---- validators ------------------------------------------------------------------

// An entity tag as sent: 16 hexadecimal digits in quotes, and the suffix of
// an encoding.
constexpr size_t ETAG_TEXT_SIZE = 24;

// The ETag of what `fe` sends, with the suffix of its encoding ("-gz").
void format_entry_etag(char *out, const file_entry *fe)
{
    out[0] = '"';
    for (int i = 0; i < 16; ++i)
        out[1 + i] = "0123456789abcdef"[(fe->etag >> (60 - 4 * i)) & 15];
    snprintf(out + 17, ETAG_TEXT_SIZE - 17, "%s\"", fe_etag_suffix(fe));
}

// The date of a conditional header, or -1 when it is not a date the entry
// can be compared with.
int64_t condition_date(const char *value, const file_entry *fe)
{
    return value && fe->mtime >= 0 ? parse_http_date(value) : -1;
}

enum condition_result : uint8_t {
    CONDITIONS_PASS,     // send the resource
    CONDITIONS_HELD,     // the client holds this version: 304
    CONDITIONS_REFUSED,  // a precondition failed: 412
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

// ---- the header ------------------------------------------------------------------

constexpr size_t HTTP_DATE_SIZE = 40;

// `n` decimal digits of `v` at `p`.
char *put_digits(char *p, int v, int n)
{
    for (int i = n - 1; i >= 0; --i, v /= 10)
        p[i] = static_cast<char>('0' + v % 10);
    return p + n;
}

// RFC 1123 date text of a time in seconds since 1970, in `out`.
const char *http_date(int64_t t, char (&out)[HTTP_DATE_SIZE])
{
    static constexpr char days[] = "SunMonTueWedThuFriSat";
    static constexpr char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    const auto seconds = static_cast<time_t>(t);
    struct tm tm = {};  // the epoch's fields stay when the year does not fit
    gmtime_r(&seconds, &tm);
    const int year = tm.tm_year + 1900;
    if (year < 0 || year > 9999) {
        snprintf(out, sizeof out, "%.3s, %02d %.3s %04d %02d:%02d:%02d GMT", days + 3 * (tm.tm_wday % 7), tm.tm_mday,
                 months + 3 * (tm.tm_mon % 12), year, tm.tm_hour, tm.tm_min, tm.tm_sec);
        return out;
    }
    // "Sun, 06 Nov 1994 08:49:37 GMT", without the cost of a format string.
    char *p = out;
    memcpy(p, days + 3 * (tm.tm_wday % 7), 3);
    memcpy(p + 3, ", ", 2);
    p = put_digits(p + 5, tm.tm_mday, 2);
    *p++ = ' ';
    memcpy(p, months + 3 * (tm.tm_mon % 12), 3);
    p[3] = ' ';
    p = put_digits(p + 4, year, 4);
    *p++ = ' ';
    p = put_digits(p, tm.tm_hour, 2);
    *p++ = ':';
    p = put_digits(p, tm.tm_min, 2);
    *p++ = ':';
    p = put_digits(p, tm.tm_sec, 2);
    memcpy(p, " GMT", 5);
    return out;
}

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

// The lines every reply of an entry carries: its status line, the dates,
// its validator, what caches may do, and the entry's own lines.
void compose_head_lines(io_buf &out, const file_entry *fe, int32_t status, cache_policy policy)
{
    if (status == STATUS_206)
        append_literal(out, "HTTP/1.1 206 Partial Content\r\nServer: Pellorwick/" PW_VERSION "\r\nDate: ");
    else if (status == STATUS_304)
        append_literal(out, "HTTP/1.1 304 Not Modified\r\nServer: Pellorwick/" PW_VERSION "\r\nDate: ");
    else
        append_literal(out, "HTTP/1.1 200 OK\r\nServer: Pellorwick/" PW_VERSION "\r\nDate: ");
    char date[HTTP_DATE_SIZE];
    append(out, http_date(time_now(), date));
    if (fe->mtime >= 0) {
        append_literal(out, "\r\nLast-Modified: ");
        append(out, http_date(fe->mtime, date));
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
}

// Writes the header of a reply of `t->fe` with `status` (200, 206 or 304).
void compose_header(task *t, int32_t status, cache_policy policy)
{
    io_buf &out = t->out;
    ASSERT(out.last == out.start);
    const file_entry *fe = t->fe;
    compose_head_lines(out, fe, status, policy);
    if (status == STATUS_304) {
        append_literal(out, "\r\n\r\n");
        return;
    }
    append_literal(out, "\r\nAccept-Ranges: bytes\r\nContent-Type: ");
    append(out, fe->kind != KIND_PAGE ? mime_type_of(fe->name) : page_content_type(fe->page));
    uint64_t length = fe->size;
    if (status == STATUS_206) {
        const byte_range &r = t->req.ranges[0];
        char line[96];
        snprintf(line, sizeof line, "\r\nContent-Range: bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64, r.first, r.end - 1,
                 fe->size);
        append(out, line);
        length = r.end - r.first;
    }
    append_literal(out, "\r\nContent-Length: ");
    append_decimal(out, length);
    append_literal(out, "\r\n\r\n");
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

void reply_error(task *t, int32_t status, const char *location)
{
    ASSERT(buf_size(t->out) == 0);
    const bool with_body = t->req.method == METHOD_GET;
    const error_vars vars{location, t->req.uri, t->req.version};
    t->out.last += error_response(t->out.last, buf_room(t->out), status, with_body, &vars);
    t->status = status;
    if (!with_body && t->req.method != METHOD_HEAD)
        t->req.keep_alive = KEEP_ALIVE_NONE;
}

bool reply_compose(task *t, const reply_scope &scope)
{
    char location[LOCATION_SIZE];
    file_entry *fe;
    int32_t status;
    if (t->state == TASK_WAITING) {
        // The task holds the entry its walk goes on with.
        resolve_note note;
        fe = fe_walk_on(scope.entries, t->fe, &note);
        if (note == RESOLVE_LATER)
            return false;
        fe_release(scope.entries, t->fe);
        t->fe = nullptr;
        status = fe ? 0 : note == RESOLVE_NO_STORAGE ? STATUS_507 : STATUS_500;
    } else if ((status = find_entry(scope, t->req, location, &fe)) == NOT_READY) {
        t->fe = fe;
        fe_ref(fe);
        return false;
    }
    if (status) {
        reply_error(t, status, status == STATUS_302 ? location : nullptr);
        return true;
    }
    t->fe = fe;
    t->status = status = reply_header(t, scope.cache);
    if (status == STATUS_416 || status == STATUS_412) {
        t->fe = nullptr;
        t->offset = t->end = 0;
        fe_drop_if_unused(scope.entries, fe);
        reply_error(t, status, nullptr);
        return true;
    }
    // A reply without a body (HEAD, 304) holds its entry until it has gone
    // too, so that the requests of one turn share it rather than open and
    // close the file each.
    if (status == STATUS_304 || t->req.method == METHOD_HEAD)
        t->offset = t->end = 0;
    fe_ref(fe);
    return true;
}
