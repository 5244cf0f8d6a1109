// Method and header-name tables, in-place string helpers, the processing of
// request targets, and HTML escaping.
#include "htproc.h"

#include "memory.h"

#include <cstring>
#include <string_view>

// ---------------------------------------------------------------------------
// Method and header-name tables

int32_t lookup_method(char *token)
{
    fold_lower(token);
    const char *name;
    int32_t code;
    switch (token[0]) {
    case 'c':
        name = "connect";
        code = METHOD_CONNECT;
        break;
    case 'd':
        name = "delete";
        code = METHOD_DELETE;
        break;
    case 'g':
        name = "get";
        code = METHOD_GET;
        break;
    case 'h':
        name = "head";
        code = METHOD_HEAD;
        break;
    case 'o':
        name = "options";
        code = METHOD_OPTIONS;
        break;
    case 'p':
        if (std::strcmp(token, "post") == 0)
            return METHOD_POST;
        name = "put";
        code = METHOD_PUT;
        break;
    case 't':
        name = "trace";
        code = METHOD_TRACE;
        break;
    default:
        return METHOD_UNKNOWN;
    }
    return std::strcmp(token, name) == 0 ? code : METHOD_UNKNOWN;
}

struct header_name {
    const char *name;
    int32_t code;
};

// Sorted by name in ascending byte order: the lookup is a binary search.
static constexpr header_name HEADER_TABLE[] = {
    {"accept", HDR_ACCEPT},
    {"accept-encoding", HDR_ACCEPT_ENCODING},
    {"authorization", HDR_AUTHORIZATION},
    {"connection", HDR_CONNECTION},
    {"content-length", HDR_CONTENT_LENGTH},
    {"host", HDR_HOST},
    {"if-match", HDR_IF_MATCH},
    {"if-modified-since", HDR_IF_MODIFIED_SINCE},
    {"if-none-match", HDR_IF_NONE_MATCH},
    {"if-range", HDR_IF_RANGE},
    {"if-unmodified-since", HDR_IF_UNMODIFIED_SINCE},
    {"range", HDR_RANGE},
    {"transfer-encoding", HDR_TRANSFER_ENCODING},
};

static constexpr bool header_table_sorted()
{
    for (size_t i = 1; i < sizeof HEADER_TABLE / sizeof HEADER_TABLE[0]; ++i)
        if (std::string_view(HEADER_TABLE[i - 1].name) >= HEADER_TABLE[i].name)
            return false;
    return true;
}
static_assert(header_table_sorted());

int32_t lookup_header(char *name)
{
    fold_lower(name);
    int low = 0;
    int high = static_cast<int>(sizeof(HEADER_TABLE) / sizeof(HEADER_TABLE[0])) - 1;
    while (low <= high) {
        int middle = (low + high) / 2;
        int c = std::strcmp(name, HEADER_TABLE[middle].name);  // compares unsigned bytes
        if (c == 0)
            return HEADER_TABLE[middle].code;
        if (c > 0)
            low = middle + 1;
        else
            high = middle - 1;
    }
    return HDR_UNKNOWN;
}

// ---------------------------------------------------------------------------
// Request targets

// Decimal digits up to the first non-digit, saturating at INT32_MAX.
static int32_t parse_port(const char *s)
{
    return static_cast<int32_t>(parse_decimal(s, nullptr, DECIMAL_DIGITS, INT32_MAX));
}

char *split_target(char *target, char **host, int32_t *port, char **query)
{
    char *path;
    *host = nullptr;
    *query = nullptr;
    if (target[0] == '/') {
        *port = -1;
        path = target;
    } else {
        if (std::strncmp(target, "http://", 7) != 0)
            return nullptr;
        char *authority = target + 7;
        char *end = std::strchr(authority, '/');
        bool at_slash = end != nullptr;
        if (!end)
            end = std::strchr(authority, '?');
        if (!end)
            end = authority + std::strlen(authority);
        size_t length = static_cast<size_t>(end - authority);
        if (length == 0) {
            *port = 0;
        } else {
            // The host moves to the front of the target so that it can be
            // terminated without touching the path that follows it.
            char *colon = static_cast<char *>(std::memchr(authority, ':', length));
            size_t host_length = length;
            if (colon) {
                host_length = static_cast<size_t>(colon - authority);
                *port = parse_port(colon + 1);
            } else {
                *port = 80;
            }
            std::memmove(target, authority, host_length);
            target[host_length] = 0;
            *host = target;
        }
        if (at_slash) {
            path = end;
        } else {
            // "/" followed by the query, if any: the byte before `end` lies
            // behind the moved host and its terminator.
            path = end - 1;
            *path = '/';
        }
    }
    char *question = std::strchr(path, '?');
    if (question) {
        *question = 0;
        *query = question + 1;
    }
    char *hash = std::strrchr(path, '#');
    if (hash)
        *hash = 0;
    return path;
}

static uint32_t hex_value(unsigned char b)
{
    if (b >= 97 && b < 128)
        return b - 87u;
    if (b >= 65 && b < 97)
        return b - 55u;
    return b - 48u;  // wraps for bytes below '0'; only the low 8 bits count
}

char *uri_decode(char *s)
{
    unsigned char *r = reinterpret_cast<unsigned char *>(s);
    unsigned char *w = r;
    while (*r) {
        if (r[0] == '%' && r[1] && r[2]) {
            *w++ = static_cast<unsigned char>((hex_value(r[1]) * 16 + hex_value(r[2])) & 0xFF);
            r += 3;
        } else {
            *w++ = *r++;
        }
    }
    *w = 0;
    return s;
}

char *path_clean(char *s)
{
    size_t r = 0, w = 0;
    while (s[r]) {
        if (s[r] != '/') {
            s[w++] = s[r++];
            continue;
        }
        // s[r] is a slash; count the dots that follow it.
        size_t dots = 0;
        while (s[r + 1 + dots] == '.')
            ++dots;
        char after = s[r + 1 + dots];
        bool segment_end = after == '/' || after == 0;
        if (dots == 1 && segment_end) {
            r += 2;
        } else if ((dots == 2 && segment_end) || dots >= 3) {
            r += 1 + dots;
            while (s[r] && s[r] != '/')
                ++r;
            while (w > 0 && s[w - 1] != '/')
                --w;
            if (w > 0)
                --w;  // onto the slash, which the next slash overwrites
        } else if (s[r + 1] == '/') {
            ++r;
        } else {
            s[w++] = s[r++];
        }
    }
    s[w] = 0;
    return s;
}

// True when `s` begins with a ".." segment.
static bool starts_with_parent(const char *s)
{
    return s[0] == '.' && s[1] == '.' && (s[2] == '/' || s[2] == 0);
}

const char *map_uri(const char *path, const char *const *list, char (&mapped)[MAPPED_PATH_MAX + 1])
{
    const char *target = nullptr;
    const char *rest = path;
    int i = 0;
    for (; list[i] && list[i + 1]; i += 2) {
        size_t n = std::strlen(list[i]);
        if (n > 0 && std::strncmp(path, list[i], n) == 0) {
            target = list[i + 1];
            rest = path + n;
            break;
        }
    }
    if (!target) {
        if (!list[i] || !list[i][0])
            return nullptr;
        target = list[i];
        rest = path;
    }
    size_t tlen = std::strlen(target);
    size_t rlen = std::strlen(rest);
    if (tlen + rlen >= MAPPED_PATH_MAX)
        return nullptr;
    // A prefix that ends inside a segment can leave a rest such as "../x";
    // joined behind a slash it would climb out of the target.
    if (rest[0] != '/' && starts_with_parent(rest))
        return nullptr;
    if (tlen > 0 && target[tlen - 1] == '/')
        --tlen;
    size_t n = tlen;
    std::memcpy(mapped, target, tlen);
    if (rest[0] != '/')
        mapped[n++] = '/';
    std::memcpy(mapped + n, rest, rlen + 1);
    return mapped;
}

const char *path_allowed(const char *mapped, const char *const *list)
{
    for (int i = 0; list[i]; ++i) {
        if (std::strncmp(mapped, list[i], std::strlen(list[i])) == 0)
            return list[i];
    }
    return nullptr;
}

const char *with_index_file(const char *mapped, const char *index, char (&candidate)[INDEX_PATH_MAX + 1])
{
    size_t n = std::strlen(mapped);
    if (n > 0 && mapped[n - 1] != '/')
        return nullptr;
    if (!index)
        return nullptr;
    size_t m = std::strlen(index);
    if (n + m > INDEX_PATH_MAX)
        return nullptr;
    std::memcpy(candidate, mapped, n);
    std::memcpy(candidate + n, index, m + 1);
    return candidate;
}

char *path_encode(char *out, const char *path)
{
    static constexpr char specials[] = " \"#%<>?\\^`{|}";
    char *w = out;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(path); *p; ++p) {
        if (*p > 32 && *p < 127 && !std::strchr(specials, *p)) {
            *w++ = static_cast<char>(*p);
        } else {
            *w++ = '%';
            *w++ = HEX_DIGITS[*p >> 4];
            *w++ = HEX_DIGITS[*p & 15];
        }
    }
    *w = 0;
    return out;
}

const char *uri_encode(const char *name)
{
    static char escaped[ESCAPED_NAME_MAX + 1];
    // Besides these, a browser rewrites "\\", "{", "}" and "|" in a path
    // ("\\" even becomes "/"), so they are escaped too.
    static constexpr char specials[] = " !@#$%^&*+~`<>?\"':;\\{}|";
    uint32_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p && n < ESCAPED_NAME_MAX; ++p) {
        unsigned char c = *p;
        bool plain = c >= 32 && c < 127 && !std::strchr(specials, c);
        if (plain) {
            escaped[n++] = static_cast<char>(c);
        } else if (n <= ESCAPED_NAME_MAX - 3) {
            escaped[n++] = '%';
            escaped[n++] = HEX_DIGITS[c >> 4];
            escaped[n++] = HEX_DIGITS[c & 15];
        }
    }
    escaped[n] = 0;
    return escaped;
}

// ---------------------------------------------------------------------------
// Listing queries and the Accept header

listing_query parse_listing_query(const char *query)
{
    listing_query q{};
    for (const char *part = query; part && *part;) {
        const char *end = std::strchr(part, '&');
        const size_t len = end ? static_cast<size_t>(end - part) : std::strlen(part);
        if (len == 4 && std::memcmp(part, "json", 4) == 0) {
            q.json = true;
        } else if (len >= 2 && part[0] == 'O' && part[1] == '=') {
            q.sorted = true;
            uint32_t n = 0;
            q.keys[0] = 0;
            for (size_t i = 2; i < len; ++i) {
                const char c = part[i];
                const char lower = static_cast<char>(c | 0x20);
                if (lower != 'd' && lower != 'n' && lower != 's' && lower != 't')
                    continue;
                bool seen = false;
                for (uint32_t k = 0; k < n; ++k)
                    seen = seen || (q.keys[k] | 0x20) == lower;
                if (!seen && n < LISTING_KEYS_MAX) {
                    q.keys[n++] = c;
                    q.keys[n] = 0;
                }
            }
        }
        part = end ? end + 1 : nullptr;
    }
    return q;
}

namespace {

// Quality "q=" as thousandths: "1", "0.5", "0.125"; anything else counts as 1.
uint16_t parse_quality(const char *p, const char *end)
{
    if (p == end || (*p != '0' && *p != '1'))
        return 1000;
    uint32_t q = static_cast<uint32_t>(*p++ - '0') * 1000;
    if (p < end && *p == '.') {
        uint32_t scale = 100;
        for (++p; p < end && *p >= '0' && *p <= '9' && scale > 0; ++p, scale /= 10)
            q += static_cast<uint32_t>(*p - '0') * scale;
    }
    return static_cast<uint16_t>(q > 1000 ? 1000 : q);
}

// The rank at which the media range [s, s + len) matches type/subtype.
uint8_t range_rank(const char *s, size_t len, const char *type, const char *subtype)
{
    auto same = [](const char *a, size_t n, const char *b) {
        if (std::strlen(b) != n)
            return false;
        for (size_t i = 0; i < n; ++i)
            if ((a[i] | 0x20) != b[i])
                return false;
        return true;
    };
    const char *slash = static_cast<const char *>(std::memchr(s, '/', len));
    if (!slash)
        return 0;
    const size_t tlen = static_cast<size_t>(slash - s), slen = len - tlen - 1;
    if (same(s, tlen, "*") && same(slash + 1, slen, "*"))
        return 1;
    if (!same(s, tlen, type))
        return 0;
    if (same(slash + 1, slen, "*"))
        return 2;
    return same(slash + 1, slen, subtype) ? 3 : 0;
}

void take_range(uint8_t rank, uint16_t q, uint8_t *best_rank, uint16_t *best_q)
{
    if (rank > *best_rank || (rank == *best_rank && rank > 0 && q > *best_q)) {
        *best_rank = rank;
        *best_q = q;
    }
}

}  // namespace

void parse_accept(accept_pref *pref, const char *value)
{
    for (const char *p = value; *p;) {
        while (*p == ' ' || *p == '\t' || *p == ',')
            ++p;
        const char *item = p;
        while (*p && *p != ',')
            ++p;
        // type/subtype up to the first ";" or blank, then the parameters.
        const char *range_end = item;
        while (range_end < p && *range_end != ';' && *range_end != ' ' && *range_end != '\t')
            ++range_end;
        uint16_t q = 1000;
        for (const char *a = range_end; a < p; ++a) {
            if (*a != ';')
                continue;
            const char *n = a + 1;
            while (n < p && (*n == ' ' || *n == '\t'))
                ++n;
            if (n + 1 < p && (n[0] | 0x20) == 'q' && n[1] == '=') {
                const char *v = n + 2, *e = v;
                while (e < p && *e != ';' && *e != ' ' && *e != '\t')
                    ++e;
                q = parse_quality(v, e);
            }
        }
        const auto len = static_cast<size_t>(range_end - item);
        take_range(range_rank(item, len, "text", "html"), q, &pref->html_rank, &pref->html_q);
        take_range(range_rank(item, len, "application", "json"), q, &pref->json_rank, &pref->json_q);
    }
}

bool accept_prefers_json(const accept_pref &pref)
{
    const uint16_t html = pref.html_rank ? pref.html_q : 0;
    return pref.json_rank > 0 && pref.json_q > 0 && pref.json_q > html;
}

// ---------------------------------------------------------------------------
// HTML escaping

static const char *html_entity(unsigned char c)
{
    switch (c) {
    case '&':
        return "&amp;";
    case '<':
        return "&lt;";
    case '>':
        return "&gt;";
    case '"':
        return "&quot;";
    case '\'':
        return "&#39;";
    default:
        return nullptr;
    }
}

size_t html_escaped_length(const char *s, size_t len)
{
    size_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        const char *ent = html_entity(static_cast<unsigned char>(s[i]));
        n += ent ? strlen(ent) : 1;
    }
    return n;
}

uint32_t html_escape(char *out, const char *s, size_t len)
{
    uint32_t n = 0;
    for (size_t i = 0; i < len; ++i) {
        const char *ent = html_entity(static_cast<unsigned char>(s[i]));
        if (ent) {
            const size_t k = strlen(ent);
            memcpy(out + n, ent, k);
            n += static_cast<uint32_t>(k);
        } else {
            out[n++] = s[i];
        }
    }
    return n;
}
