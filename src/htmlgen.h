// The template expander behind the pages the server generates: the index
// pages (listing.h) and the help page.
#pragma once

#include <cstdint>

struct text_block;

// Writes the text of one "%" directive at `out`. `space` counts the bytes
// left including the one kept for the terminator: a callback writes at most
// space - 1 bytes, nothing at all when its text does not fit, and returns
// exactly the number of bytes written. `name` is the one letter of %x or the
// text of %(text).
using directive_fn = uint32_t (*)(char *out, uint32_t space, const char *name, void *user);

// Copies `tmpl` into `out` (capacity bytes, terminator included), replacing
// %x and %(name) through `fn` (may be null) and %% by one "%". Returns the
// bytes written without the terminator. A null template gives "N/A" (when
// capacity > 4) and the result 0.
uint32_t expand_template(char *out, uint32_t capacity, const char *tmpl, directive_fn fn, void *user);

// The expansion of `tmpl` without a callback in a block fitted to its length,
// or null when memory is exhausted.
text_block *page_from_template(const char *tmpl);
