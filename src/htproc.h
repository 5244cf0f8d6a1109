// Method and header-name tables, the processing of request targets
// (splitting, decoding, cleaning, mapping, escaping), and HTML escaping.
#pragma once

#include <cstddef>
#include <cstdint>

// Method codes of a request line; 0 in a task means no request line yet.
enum : int32_t {
    METHOD_NONE = 0,
    METHOD_OPTIONS = 1,
    METHOD_GET = 2,
    METHOD_HEAD = 3,
    METHOD_POST = 4,
    METHOD_PUT = 5,
    METHOD_DELETE = 6,
    METHOD_TRACE = 7,
    METHOD_CONNECT = 8,
    METHOD_UNKNOWN = 9,
};

// Codes of the header names the request reader acts on; every other name is
// HDR_UNKNOWN.
enum : int32_t {
    HDR_ACCEPT = 256,
    HDR_ACCEPT_ENCODING = 257,
    HDR_AUTHORIZATION = 258,
    HDR_CONNECTION = 259,
    HDR_CONTENT_LENGTH = 260,
    HDR_HOST = 261,
    HDR_IF_MATCH = 262,
    HDR_IF_MODIFIED_SINCE = 263,
    HDR_IF_NONE_MATCH = 264,
    HDR_IF_RANGE = 265,
    HDR_IF_UNMODIFIED_SINCE = 266,
    HDR_RANGE = 267,
    HDR_TRANSFER_ENCODING = 268,
    HDR_UNKNOWN = 269,
};

int32_t lookup_method(char *token);  // folds the token to lower case; 1..9
int32_t lookup_header(char *name);   // folds the name to lower case; 256..269

// Bounds of the static results below (bytes, without the terminator).
constexpr uint32_t MAPPED_PATH_MAX = 514;
constexpr uint32_t INDEX_PATH_MAX = 258;
constexpr uint32_t ESCAPED_NAME_MAX = 1023;

// Splits a request target in place. Returns the path, or null when the
// target is neither "/..." nor "http://...". `host` is null for a path
// target or an empty authority; `port` is -1 for a path target, 0 for an
// empty authority, else the authority's port (80 when none is given);
// `query` is the text after the first "?", or null.
char *split_target(char *target, char **host, int32_t *port, char **query);

char *uri_decode(char *s);  // "%XX" escapes, in place; returns s
char *path_clean(char *s);  // drops "." and ".." segments and doubled slashes; returns s

// Maps a cleaned path through a list of (prefix, target) pairs with an
// optional default target behind them, ending at the first null. Returns
// the file-system path, written to `out`, or null.
const char *map_uri(const char *path, const char *const *list, char (&out)[MAPPED_PATH_MAX + 1]);

// The first string of `list` (ending at the first null) that is a prefix of
// `mapped`, or null when there is none.
const char *path_allowed(const char *mapped, const char *const *list);

// `mapped` followed by the index file name `index`, written to `out`, or null
// when `mapped` names no directory, `index` is null or the result would be too long.
const char *with_index_file(const char *mapped, const char *index, char (&out)[INDEX_PATH_MAX + 1]);

// URL-escaped form of a name, in a static buffer; cut at 1023 bytes.
const char *uri_encode(const char *name);

// A decoded request path written back as a browser would send it: "%", the
// bytes a browser escapes in a path and those above 126 as "%XX", the rest as
// they are. `out` has room for 3 * strlen(path) + 1 bytes; returns `out`.
char *path_encode(char *out, const char *path);

// What a query asks of a folder's listing, its parts separated by "&": the
// sort keys of an "O=" part, and whether "json" is one of the parts. Keys
// keep only the first of each sort letter (d, n, s, t in either case): a
// later one can never decide between rows, so the page is the same and
// every spelling of an order shares one cached page.
constexpr uint32_t LISTING_KEYS_MAX = 4;
struct listing_query {
    bool sorted;
    bool json;
    char keys[LISTING_KEYS_MAX + 1];
};
listing_query parse_listing_query(const char *query);  // a null query asks for nothing

// What the Accept headers of a request say of HTML and JSON: the quality
// (0..1000) of the most specific range that matches each, and its rank (3
// type/subtype, 2 type/*, 1 */*, 0 none matched).
struct accept_pref {
    uint16_t html_q, json_q;
    uint8_t html_rank, json_rank;
};
void parse_accept(accept_pref *pref, const char *value);  // one header's value; several add up
// JSON is preferred when it is acceptable with a higher quality than HTML.
bool accept_prefers_json(const accept_pref &pref);

// HTML escaping of & < > " ' as entities: the length s[0, len) takes escaped,
// and the escaped text written at out (the caller has made room); returns its length.
size_t html_escaped_length(const char *s, size_t len);
uint32_t html_escape(char *out, const char *s, size_t len);
