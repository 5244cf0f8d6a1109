// The template expander.
#include "htmlgen.h"

#include "memory.h"

#include <cstring>

// A directive name with its terminator; a parenthesised name of more than 62
// bytes makes its directive vanish.
static constexpr uint32_t NAME_BUF = 64;
static constexpr size_t PAREN_NAME_MAX = 62;

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
        while (*q && *q != '%')
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
        const char x = q[1];
        if (x == 0)
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
                n += call_directive(fn, user, out, capacity, n, name);
            }
            p = close + 1;
        } else if (x == '%') {
            if (n < limit)
                out[n++] = '%';
            p = q + 2;
        } else {
            name[0] = x;
            name[1] = 0;
            n += call_directive(fn, user, out, capacity, n, name);
            p = q + 2;
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
