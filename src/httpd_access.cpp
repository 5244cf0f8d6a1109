// Who is served: the address list checked at accept, HTTP Basic credentials
// (plain ones from the command line, crypt hashes from a file), and the
// slowing of guesses per address.
#include "httpd.h"

#include "memory.h"

#include <arpa/inet.h>
#include <cerrno>
#include <crypt.h>
#include <cstdio>
#include <cstring>

constexpr int32_t MAX_AUTH_USERS = 64;
constexpr int32_t MAX_ALLOW_RULES = 64;
constexpr uint32_t AUTH_VALUE_MAX = 1024;  // the longest "user:password" read from a request
// After this many failed logins from one address within the window, every
// request from it is refused for the block's length.
constexpr int32_t AUTH_FAILURES_ALLOWED = 10;
constexpr int64_t AUTH_FAILURE_WINDOW = 60;
constexpr int64_t AUTH_BLOCK_SECONDS = 60;

namespace {

// ---- credentials ----

struct credential {
    char *text;         // "user:password", or "user:" and a crypt hash
    uint32_t user_len;  // bytes before the ":"
    bool hashed;
    char *verified;  // the last "user:password" the hash accepted, or null
};

credential users[MAX_AUTH_USERS];
int32_t nusers;

// Equal bytes and length, in a time that depends on the lengths only.
bool same_secret(const char *a, size_t alen, const char *b, size_t blen)
{
    unsigned char diff = alen == blen ? 0 : 1;
    const size_t n = alen < blen ? alen : blen;
    for (size_t i = 0; i < n; ++i)
        diff |= static_cast<unsigned char>(a[i] ^ b[i]);
    return diff == 0;
}

// What libcrypt verifies: yescrypt, SHA-512-crypt and bcrypt.
bool is_crypt_hash(const char *h)
{
    return strncmp(h, "$y$", 3) == 0 || strncmp(h, "$6$", 3) == 0 || strncmp(h, "$2b$", 4) == 0 ||
           strncmp(h, "$2a$", 4) == 0 || strncmp(h, "$2y$", 4) == 0;
}

bool add_user(const char *text, size_t len, bool hashed, char *err, size_t size)
{
    const char *colon = static_cast<const char *>(memchr(text, ':', len));
    if (!colon || colon == text) {
        snprintf(err, size, "a user is given as USER:%s", hashed ? "HASH" : "PASSWORD");
        return false;
    }
    if (nusers == MAX_AUTH_USERS) {
        snprintf(err, size, "at most %d users can be given", MAX_AUTH_USERS);
        return false;
    }
    auto *copy = static_cast<char *>(counted_alloc(&n_blocks, len + 1));
    if (!copy) {
        snprintf(err, size, "no memory for the users");
        return false;
    }
    memcpy(copy, text, len);
    copy[len] = 0;
    users[nusers++] = credential{copy, static_cast<uint32_t>(colon - text), hashed, nullptr};
    return true;
}

bool load_auth_file(const char *path, char *err, size_t size)
{
    FILE *f = fopen(path, "re");
    if (!f) {
        snprintf(err, size, "the password file %s cannot be read: %s", path, strerror(errno));
        return false;
    }
    char line[1024];
    int number = 0;
    bool ok = true;
    while (ok && fgets(line, sizeof line, f)) {
        ++number;
        size_t len = strlen(line);
        while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
            line[--len] = 0;
        if (len == 0 || line[0] == '#')
            continue;
        const char *colon = strchr(line, ':');
        if (colon && !is_crypt_hash(colon + 1)) {
            snprintf(err, size,
                     "%s line %d: the password of \"%.*s\" is not a yescrypt, SHA-512-crypt or bcrypt hash "
                     "(plain passwords are refused here; make one with mkpasswd)",
                     path, number, static_cast<int>(colon - line), line);
            ok = false;
        } else if (!add_user(line, len, true, err, size)) {
            const size_t n = strlen(err);
            snprintf(err + n, size - n, " (%s line %d)", path, number);
            ok = false;
        }
    }
    fclose(f);
    return ok;
}

int decode_base64_digit(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    return c == '+' ? 62 : c == '/' ? 63 : -1;
}

// Decodes base64 (padding optional) into `out`; the length, or -1.
int decode_base64(const char *in, char *out, size_t capacity)
{
    uint32_t acc = 0;
    int bits = 0;
    size_t n = 0;
    const char *p = in;
    for (; *p && *p != '='; ++p) {
        const int d = decode_base64_digit(static_cast<unsigned char>(*p));
        if (d < 0)
            return -1;
        acc = (acc << 6) | static_cast<uint32_t>(d);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (n == capacity)
                return -1;
            out[n++] = static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    while (*p == '=')
        ++p;
    return *p ? -1 : static_cast<int>(n);
}

// crypt_rn's work area, large and used by one call at a time.
crypt_data crypt_area;

bool hash_accepts(credential &c, const char *given, size_t len)
{
    if (c.verified)
        return same_secret(c.verified, strlen(c.verified), given, len);
    char password[AUTH_VALUE_MAX + 1];
    const size_t plen = len - c.user_len - 1;
    memcpy(password, given + c.user_len + 1, plen);
    password[plen] = 0;
    const char *hash = c.text + c.user_len + 1;
    const char *out = crypt_rn(password, hash, &crypt_area, sizeof crypt_area);
    explicit_bzero(password, sizeof password);
    if (!out || !same_secret(out, strlen(out), hash, strlen(hash)))
        return false;
    // A hash takes milliseconds to check: the accepted text answers later requests.
    c.verified = static_cast<char *>(counted_alloc(&n_blocks, len + 1));
    if (c.verified) {
        memcpy(c.verified, given, len);
        c.verified[len] = 0;
    }
    return true;
}

// ---- guesses per address ----

struct failure_slot {
    peer_addr addr;
    int64_t first;          // the first failure of the current minute
    int64_t blocked_until;  // 0 when not blocked
    int32_t count;
};
constexpr int FAILURE_SLOTS = 256;
failure_slot failures[FAILURE_SLOTS];

bool same_addr(const peer_addr &a, const peer_addr &b)
{
    return a.len == b.len && memcmp(a.bytes, b.bytes, a.len) == 0;
}

failure_slot *failure_of(const peer_addr &a)
{
    for (failure_slot &s : failures)
        if (s.count > 0 && same_addr(s.addr, a))
            return &s;
    return nullptr;
}

// ---- the address list ----

struct allow_rule {
    peer_addr net;
    uint8_t prefix;  // bits that must match
};
allow_rule allowed[MAX_ALLOW_RULES];
int32_t nallowed;  // 0: every address

bool add_rule(const peer_addr &a, int prefix)
{
    if (nallowed == MAX_ALLOW_RULES)
        return false;
    allowed[nallowed++] = allow_rule{a, static_cast<uint8_t>(prefix)};
    return true;
}

bool prefix_matches(const allow_rule &r, const peer_addr &a)
{
    if (r.net.len != a.len)
        return false;
    const int whole = r.prefix / 8, rest = r.prefix % 8;
    if (memcmp(r.net.bytes, a.bytes, static_cast<size_t>(whole)) != 0)
        return false;
    const auto mask = static_cast<uint8_t>(0xFF00 >> rest);
    return rest == 0 || ((r.net.bytes[whole] ^ a.bytes[whole]) & mask) == 0;
}

}  // namespace

bool parse_address(const char *text, peer_addr *out, int *prefix)
{
    char host[64];
    const char *slash = strchr(text, '/');
    const size_t len = slash ? static_cast<size_t>(slash - text) : strlen(text);
    if (len == 0 || len >= sizeof host)
        return false;
    memcpy(host, text, len);
    host[len] = 0;
    *out = peer_addr{};
    in6_addr v6;
    int max_bits;
    if (inet_pton(AF_INET, host, out->bytes) == 1) {
        out->len = 4;
        max_bits = 32;
    } else if (inet_pton(AF_INET6, host, &v6) == 1) {
        if (IN6_IS_ADDR_V4MAPPED(&v6)) {
            // Connections from these come in their IPv4 form.
            out->len = 4;
            memcpy(out->bytes, v6.s6_addr + 12, 4);
            max_bits = 32;
        } else {
            out->len = 16;
            memcpy(out->bytes, v6.s6_addr, 16);
            max_bits = 128;
        }
    } else {
        return false;
    }
    *prefix = max_bits;
    if (slash) {
        const char *end;
        const int64_t n = parse_decimal(slash + 1, &end, DECIMAL_DIGITS, 1000);
        if (end == slash + 1 || *end)
            return false;
        // A mapped prefix counts from the IPv4 part.
        const int64_t bits = out->len == 4 && max_bits == 32 && strchr(host, ':') ? n - 96 : n;
        if (bits < 0 || bits > max_bits)
            return false;
        *prefix = static_cast<int>(bits);
    }
    return true;
}

bool access_load(const access_settings &s, char *err, size_t size)
{
    access_clear();
    for (int i = 0; i < s.nusers; ++i)
        if (!add_user(s.users[i], strlen(s.users[i]), false, err, size))
            return false;
    if (s.auth_file && !load_auth_file(s.auth_file, err, size))
        return false;
    if (!s.allow)
        return true;
    // "a,b/n,localhost": each item an address, a prefix or localhost.
    for (const char *p = s.allow; *p;) {
        const char *comma = strchr(p, ',');
        const size_t len = comma ? static_cast<size_t>(comma - p) : strlen(p);
        char item[64];
        peer_addr a;
        int prefix;
        bool ok = len > 0 && len < sizeof item;
        if (ok) {
            memcpy(item, p, len);
            item[len] = 0;
            if (strcmp(item, "localhost") == 0) {
                static constexpr peer_addr v4{4, {127, 0, 0, 0}};
                static constexpr peer_addr v6{16, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
                ok = add_rule(v4, 8) && add_rule(v6, 128);
            } else {
                ok = parse_address(item, &a, &prefix) && add_rule(a, prefix);
            }
        }
        if (!ok) {
            snprintf(err, size, "--allow takes addresses, prefixes (ADDR/BITS) and localhost, comma-separated; not \"%.*s\"",
                     static_cast<int>(len), p);
            nallowed = 0;
            return false;
        }
        p += len + (comma ? 1 : 0);
    }
    return true;
}

void access_clear()
{
    for (int i = 0; i < nusers; ++i) {
        credential &c = users[i];
        explicit_bzero(c.text, strlen(c.text));
        counted_free(&n_blocks, c.text);
        if (c.verified) {
            explicit_bzero(c.verified, strlen(c.verified));
            counted_free(&n_blocks, c.verified);
        }
    }
    nusers = 0;
    nallowed = 0;
    memset(failures, 0, sizeof failures);
}

bool access_needs_auth()
{
    return nusers > 0;
}

bool peer_allowed(const peer_addr &a)
{
    if (nallowed == 0)
        return true;
    for (int i = 0; i < nallowed; ++i)
        if (prefix_matches(allowed[i], a))
            return true;
    return false;
}

auth_result auth_check(const char *authorization, const char **user, uint32_t *user_len)
{
    *user = nullptr;
    *user_len = 0;
    if (!authorization)
        return AUTH_MISSING;
    // "Basic" in any case, blanks, the token.
    if (strncasecmp(authorization, "basic", 5) != 0 || (authorization[5] != ' ' && authorization[5] != '\t'))
        return AUTH_WRONG;
    const char *token = authorization + 5;
    while (*token == ' ' || *token == '\t')
        ++token;
    char given[AUTH_VALUE_MAX];
    const int n = decode_base64(token, given, sizeof given);
    const char *colon = n > 0 ? static_cast<const char *>(memchr(given, ':', static_cast<size_t>(n))) : nullptr;
    if (!colon)
        return AUTH_WRONG;
    const auto len = static_cast<size_t>(n);
    const auto ulen = static_cast<uint32_t>(colon - given);
    bool accepted = false;
    for (int i = 0; i < nusers; ++i) {
        credential &c = users[i];
        // Every plain entry is compared whole, so that the time taken tells nothing.
        const bool ok = c.hashed ? c.user_len == ulen && memcmp(c.text, given, ulen) == 0 && hash_accepts(c, given, len)
                                 : same_secret(c.text, strlen(c.text), given, len);
        if (ok && !accepted) {
            accepted = true;
            *user = c.text;
            *user_len = c.user_len;
        }
    }
    explicit_bzero(given, sizeof given);
    return accepted ? AUTH_OK : AUTH_WRONG;
}

int64_t peer_blocked(const peer_addr &a, int64_t now)
{
    failure_slot *s = failure_of(a);
    if (!s || s->blocked_until == 0)
        return 0;
    if (now < s->blocked_until)
        return s->blocked_until - now;
    *s = failure_slot{};  // the minute is over: a fresh start
    return 0;
}

void peer_failed(const peer_addr &a, int64_t now)
{
    failure_slot *s = failure_of(a);
    if (s && now - s->first >= AUTH_FAILURE_WINDOW)
        *s = failure_slot{};  // counted again from now
    if (!s || s->count == 0) {
        // A free slot, else the one whose failures are oldest.
        s = &failures[0];
        for (failure_slot &f : failures) {
            if (f.count == 0) {
                s = &f;
                break;
            }
            if (f.blocked_until == 0 && f.first < s->first)
                s = &f;
        }
        *s = failure_slot{a, now, 0, 0};
    }
    if (++s->count >= AUTH_FAILURES_ALLOWED)
        s->blocked_until = now + AUTH_BLOCK_SECONDS;
}
