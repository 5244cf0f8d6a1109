// Generated HTML: the template expander and HTML escaping.
#include "htmlgen.h"

#include "htconfig.h"
#include "memory.h"

#include <cstring>

// ---------------------------------------------------------------------------
// Template expander

// A directive name with its terminator; a parenthesised name of more than 62
// bytes makes its directive vanish, a bare "$" name is cut at 63.
static constexpr uint32_t NAME_BUF = 64;
static constexpr size_t PAREN_NAME_MAX = 62;
static constexpr size_t BARE_NAME_MAX = 63;

static bool is_name_byte(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// Appends the value of the configuration entry whose key is exactly `key`
// (an entry without a value shows its key). No entry appends nothing.
// Returns false when the text does not fit, which ends the expansion.
static bool append_variable(char *out, uint32_t limit, uint32_t &n, const char *key)
{
    const cfg_entry *e = cfg_find_key(&g_config, key);
    if (!e)
        return true;
    const char *text = e->value ? e->value : e->key;
    const size_t len = strlen(text);
    if (n + len >= limit)
        return false;
    memcpy(out + n, text, len);
    n += static_cast<uint32_t>(len);
    return true;
}

static uint32_t call_directive(directive_fn fn, void *user, char *out, uint32_t capacity, uint32_t n, const char *name)
{
    if (!fn)
        return 0;
    const uint32_t space = capacity - n;
    const uint32_t written = fn(out + n, space, name, user);
    ASSERT(written < space);  // the callback contract keeps the terminator's byte
    return written;
}

uint32_t expand_template(char *out, uint32_t capacity, const char *tmpl, directive_fn fn, void *user)
{
    if (capacity == 0)
        return 0;
    if (!tmpl) {
        if (capacity > 4)
            memcpy(out, "N/A", 4);
        else
            out[0] = 0;
        return 0;
    }
    const uint32_t limit = capacity - 1;  // text bytes; one is kept for the terminator
    uint32_t n = 0;
    char name[NAME_BUF];
    const char *p = tmpl;
    for (;;) {
        const char *q = p;
        while (*q && *q != '%' && *q != '$')
            ++q;
        const size_t run = static_cast<size_t>(q - p);
        if (run) {
            if (n + run < limit) {
                memcpy(out + n, p, run);
                n += static_cast<uint32_t>(run);
            } else {
                memcpy(out + n, p, limit - n);
                n = limit;
                break;
            }
        }
        if (!*q)
            break;
        const char c = q[0], x = q[1];
        if (c == '%' && x == 0)
            break;  // a lone "%" at the very end
        if (x == '(') {
            const char *start = q + 2;
            const char *close = strchr(start, ')');
            if (!close)
                break;  // an unclosed name ends the template
            const size_t len = static_cast<size_t>(close - start);
            if (len <= PAREN_NAME_MAX) {
                memcpy(name, start, len);
                name[len] = 0;
                if (c == '%')
                    n += call_directive(fn, user, out, capacity, n, name);
                else if (!append_variable(out, limit, n, name))
                    break;
            }
            p = close + 1;
        } else if (x == c) {
            if (n < limit)
                out[n++] = c;
            p = q + 2;
        } else if (c == '%') {
            name[0] = x;
            name[1] = 0;
            n += call_directive(fn, user, out, capacity, n, name);
            p = q + 2;
        } else {
            const char *start = q + 1;
            size_t len = 0;
            while (len < BARE_NAME_MAX && is_name_byte(static_cast<unsigned char>(start[len])))
                ++len;
            memcpy(name, start, len);
            name[len] = 0;
            if (!append_variable(out, limit, n, name))
                break;
            p = start + len;
        }
    }
    out[n] = 0;
    return n;
}

text_block *page_from_template(const char *tmpl)
{
    const uint64_t len = tmpl ? strlen(tmpl) : 0;
    const uint64_t capacity = len + len / 4 + 256;
    if (capacity > UINT32_MAX)
        return nullptr;
    text_block *tb = text_block_new(static_cast<uint32_t>(capacity));
    if (!tb)
        return nullptr;
    const uint32_t n = expand_template(tb->data, static_cast<uint32_t>(capacity), tmpl, nullptr, nullptr);
    return text_block_fit(tb, n);
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
