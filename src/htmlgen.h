// Generated HTML: the template expander behind every page the server makes,
// and the directory index pages built with it.
#pragma once

#include <cstddef>
#include <cstdint>

struct text_block;

// Writes the text of one "%" directive at `out`. `space` counts the bytes
// left including the one kept for the terminator: a callback writes at most
// space - 1 bytes, nothing at all when its text does not fit, and returns
// exactly the number of bytes written. `name` is the one letter of %x or the
// text of %(text).
using directive_fn = uint32_t (*)(char *out, uint32_t space, const char *name, void *user);

// Copies `tmpl` into `out` (capacity bytes, terminator included), replacing
// %x and %(name) through `fn` (may be null), $name and $(name) by the value of
// the configuration entry with that exact key, and %% and $$ by one byte.
// Returns the bytes written without the terminator. A null template gives
// "N/A" (when capacity > 4) and the result 0. No built-in template uses the
// "$" variables; they stay because the templates are settings, and a
// template given as a setting may name the other settings.
uint32_t expand_template(char *out, uint32_t capacity, const char *tmpl, directive_fn fn, void *user);

// The expansion of `tmpl` without a callback in a block fitted to its length,
// or null when memory is exhausted.
text_block *page_from_template(const char *tmpl);

// HTML escaping of & < > " ' as entities: the length s[0, len) takes escaped,
// and the escaped text written at out (the caller has made room); returns its length.
size_t html_escaped_length(const char *s, size_t len);
uint32_t html_escape(char *out, const char *s, size_t len);

// ---- directory index pages, in listing.cpp ----------------------------------
struct dir_entry;
struct zip_node;

// Each returns the whole page (text_block), every entry listed, or null when
// memory is exhausted. `page_path` is the listed directory's request path in
// URL form, ending in "/": links keep its escapes, the texts that show it
// decode them. `keys` are the sort keys that followed "O=" in the query.
// `*newest` is raised to the newest modification time of a row.
text_block *list_dir_unsorted(const char *path, const char *page_path, int64_t *newest);
text_block *list_dir_sorted(dir_entry *snapshot, const char *page_path, const char *keys, int64_t *newest);
text_block *list_zip_unsorted(zip_node *first, const char *page_path, int64_t *newest);
text_block *list_zip_sorted(zip_node *first, const char *page_path, const char *keys, int64_t *newest);

// The same listings as JSON, one object: "path", the folder's path as shown,
// and "entries", its rows in scan order (null `keys`) or sorted, each with
// name, type (file, dir, archive), size, mtime, modified and href.
text_block *list_dir_json(dir_entry *snapshot, const char *page_path, const char *keys, int64_t *newest);
text_block *list_zip_json(zip_node *first, const char *page_path, const char *keys, int64_t *newest);

constexpr uint32_t INDEX_PAGE_CAPACITY = 65536;  // the room a page is first made in; it grows as needed
constexpr uint32_t SIZE_TEXT_LEN = 5;            // width of every format_size text

// The five-character size column: bytes up to 99,999, then the first of K, M,
// G, T, P and E in which the size rounds to at most 9999 ("%4uK" and so on).
// Writes nothing and returns 0 when `capacity` has no room for the text and
// its terminator; otherwise returns 5.
uint32_t format_size(char *out, uint32_t capacity, uint64_t size);
