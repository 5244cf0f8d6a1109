// The template expander with arbitrary templates and capacities, into a
// buffer of exactly that capacity (so that a byte written past it is caught),
// with a callback that keeps the directive contract.
//
// Checked: the result is below the capacity, the text is terminated right
// there and holds no other terminator, the callback is always offered the
// exact space left, a template without introducers is copied (cut at the
// capacity), and pages made from a template release their block.
#include "htmlgen.h"
#include "memory.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void fail(const char *what)
{
    fprintf(stderr, "template_expander: %s\n", what);
    abort();
}

struct output {
    char *base;
    uint32_t capacity;
    uint32_t calls;
};

// "f" fills all the space it may use, "z" writes nothing, any other name
// writes "<name>" when it fits and nothing otherwise.
uint32_t directive(char *out, uint32_t space, const char *name, void *user)
{
    auto *o = static_cast<output *>(user);
    o->calls++;
    if (space == 0 || out < o->base || out + space != o->base + o->capacity)
        fail("callback offered a space that is not what is left of the output");
    const size_t len = strlen(name);
    if (len > 63)
        fail("directive name longer than its buffer");
    if (strcmp(name, "f") == 0) {
        memset(out, 'F', space - 1);
        return space - 1;
    }
    if (strcmp(name, "z") == 0)
        return 0;
    if (len + 2 > space - 1)
        return 0;
    out[0] = '<';
    memcpy(out + 1, name, len);
    out[len + 1] = '>';
    return static_cast<uint32_t>(len + 2);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const uint8_t flags = in.ConsumeIntegral<uint8_t>();
    const uint32_t capacity =
        (flags & 4) ? in.ConsumeIntegralInRange<uint32_t>(0, 16384) : in.ConsumeIntegral<uint8_t>();
    const std::string tmpl_text = in.ConsumeRemainingBytesAsString();
    const char *tmpl = (flags & 1) ? nullptr : tmpl_text.c_str();
    const bool with_callback = !(flags & 2);

    const int32_t blocks = n_blocks;
    output o{static_cast<char *>(malloc(capacity)), capacity, 0};
    const uint32_t n = expand_template(o.base, capacity, tmpl, with_callback ? directive : nullptr, &o);
    if (capacity == 0) {
        if (n != 0)
            fail("text written into no room");
    } else if (!tmpl) {
        // The result is 0 although the text may read "N/A".
        if (n != 0 || strcmp(o.base, capacity > 4 ? "N/A" : "") != 0)
            fail("absent template not answered as documented");
    } else {
        if (n >= capacity)
            fail("result not below the capacity");
        if (o.base[n] != 0)
            fail("text not terminated at the result");
        if (memchr(o.base, 0, n))
            fail("terminator inside the text");
        if (!strchr(tmpl, '%')) {
            const size_t len = strlen(tmpl);
            const size_t want = len < capacity - 1 ? len : capacity - 1;
            if (n != want || memcmp(o.base, tmpl, want) != 0)
                fail("plain template not copied");
        }
    }
    if (!with_callback && o.calls)
        fail("callback called although none was given");
    free(o.base);

    if (tmpl) {
        text_block *tb = page_from_template(tmpl);
        if (tb) {
            const uint64_t len = strlen(tmpl);
            if (tb->size >= len + len / 4 + 256)
                fail("page longer than its block");
            if (memchr(tb->data, 0, tb->size))
                fail("terminator inside a page");
            text_block_free(tb);
        }
    }
    if (n_blocks != blocks)
        fail("blocks not released");
    return 0;
}
