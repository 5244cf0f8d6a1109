// Directory index pages of disk folders and archive directories, as HTML
// through the index templates or as JSON.
#pragma once

#include <cstdint>

struct dir_entry;
struct text_block;
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
