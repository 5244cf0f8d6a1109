// The entry table as path resolution uses it, inside the entry module only
// (file.cpp holds the table, file_resolve.cpp the resolution): making and
// destroying entries, linking them, the budgets and the freshness check.
#pragma once

#include "dirscan.h"
#include "htproc.h"

#include <cstddef>
#include <cstdint>

struct file_entry;
struct fe_cache;
union fe_handle;
struct zip_stream;
struct zip_node;

// Longest path resolved, and the longest key composed from it: "*" and the
// sort keys, then "?json".
constexpr size_t RESOLVE_PATH_MAX = 513;
constexpr size_t RESOLVE_KEY_MAX = RESOLVE_PATH_MAX + 1 + LISTING_KEYS_MAX + 5;
constexpr size_t RESOLVE_BUF_SIZE = RESOLVE_KEY_MAX + 2;

// What the table holds, within these bounds.
constexpr int32_t MAX_CACHED_PAGES = 1024;            // generated pages
constexpr uint64_t PAGE_BUDGET = uint64_t{64} << 20;  // bytes of pages and directory snapshots
// A deflated member up to this size, once a whole pass has matched its
// CRC-32, is inflated once more and kept, within the budget after it.
constexpr uint64_t MAX_INFLATED_MEMBER = 256 << 10;

constexpr uint32_t kind_bit(entry_kind kind)
{
    return 1u << kind;
}

// A new entry, not yet in the table. On failure (no memory, or a size that
// cannot be known, -1) the handle is released and null returned.
file_entry *fe_new(entry_kind kind, const char *name, fe_handle handle, int64_t mtime);
file_entry *fe_new_sized(entry_kind kind, const char *name, fe_handle handle, int64_t mtime, int64_t size);
file_entry *fe_new_child(entry_kind kind, const char *name, fe_handle handle, int64_t mtime, file_entry *base);
file_entry *fe_new_member(file_entry *archive, zip_stream *stream, const char *name);
void fe_destroy(file_entry *fe);

// Links an entry in as the most recently used; unlinking one not in the
// table changes nothing.
void fe_insert(fe_cache *cache, file_entry *fe);
void fe_unlink(fe_cache *cache, file_entry *fe);
// The first entry of the hash chain that `name` falls in.
file_entry *fe_chain(fe_cache *cache, const char *name);
// Marks an entry as the most recently used.
void fe_touch(fe_cache *cache, file_entry *fe);
// True when the entry still shows what its path holds now; a stale entry
// leaves the table. One stat at most.
bool fe_check_fresh(fe_cache *cache, file_entry *fe);

// Budgets, each met by releasing the least recently used unreferenced
// entries of its kind: one more archive (false never: the budget waits for
// archives in use), and `bytes` more of inflated members or folder downloads
// (false when the downloads in use leave no room).
void make_room_for_archive(fe_cache *cache);
void make_room_for_inflated(fe_cache *cache, uint64_t bytes);
bool make_room_for_layout(fe_cache *cache, uint64_t bytes);

// Validators: of a file's bytes from its identity, of a member's bytes from
// its archive's and its place in it, and of bytes in memory.
uint64_t identity_etag(const file_id &id);
uint64_t member_etag(const file_entry *archive, const zip_node *node);
uint64_t bytes_etag(const void *bytes, size_t n);
