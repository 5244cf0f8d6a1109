// File entries: the cached, reference-counted resources the server sends,
// the table that holds them with its release policy, and the resolution of
// request paths to them.
#pragma once

#include "dirscan.h"

#include <cstdint>

struct text_block;
struct zip_archive;
struct zip_stream;

// What an entry reads from, by type; owned by the entry except for KIND_STATIC.
union fe_handle {
    int fd;                      // KIND_FILE: counted_open descriptor
    zip_archive *zip;            // KIND_ZIP
    void *snapshot;              // KIND_DIR: dir_entry array block
    text_block *page;            // KIND_PAGE
    const unsigned char *bytes;  // KIND_STATIC
    zip_stream *stream;          // KIND_MEMBER
};

struct file_entry {
    int32_t refcount;
    entry_kind kind;
    const char *name;
    fe_handle handle;
    int64_t mtime;  // seconds since 1970; -1 when unknown
    uint64_t size;
    file_entry *base;
    file_entry *sweep_next;
    file_entry *hash_next;
};

// A new entry, not yet in the table. On failure (no memory, or a size that
// cannot be known) the handle is released and null returned.
// Example: fe_new(KIND_FILE, path, fe_handle{.fd = fd}, mtime).
file_entry *fe_new(entry_kind kind, const char *name, fe_handle handle, int64_t mtime);
file_entry *fe_new_child(entry_kind kind, const char *name, fe_handle handle, int64_t mtime, file_entry *base);
file_entry *fe_new_member(file_entry *archive, zip_stream *stream, const char *name);
// The entry table: every cached entry under its name.
constexpr int FE_HASH_SIZE = 200;
struct fe_cache {
    int32_t nentries;
    int32_t hash_size;
    file_entry **hash;
};
bool fe_cache_init(fe_cache *cache);      // false when memory is exhausted
void fe_cache_destroy(fe_cache *cache);   // destroys every entry, referenced or not

file_entry *fe_add_static(fe_cache *cache, const char *name, const unsigned char *bytes, uint32_t length);
file_entry *fe_add_page(fe_cache *cache, const char *name, text_block *page);
void fe_ref(file_entry *fe);
void fe_unref(file_entry *fe);
void fe_destroy(file_entry *fe);
// What a read of an entry did. A deflated member skips ahead to a far offset
// a slice per call, so its read may be not ready yet: call again later.
enum fe_read_result : int8_t {
    FE_READ_FAILED = -1,
    FE_READ_AGAIN = 0,
    FE_READ_DONE = 1,
};
fe_read_result fe_read(file_entry *fe, void *buffer, uint32_t count, uint64_t offset);

file_entry *fe_lookup(fe_cache *cache, const char *name);
void fe_insert(fe_cache *cache, file_entry *fe);
void fe_unlink(fe_cache *cache, file_entry *fe);

// Returns the reference a transfer held; a disk file or member stream nobody
// uses any more is closed at once, so descriptors never pile up.
void fe_release(fe_cache *cache, file_entry *fe);
// Closes an entry nobody holds when it is a disk file or member stream.
void fe_drop_if_unused(fe_cache *cache, file_entry *fe);
// One Clean Cache pass: every entry nobody holds goes, and archives still
// held drop the checkpoints of their members.
void fe_release_unused(fe_cache *cache);

// Path resolution: the entry answering a mapped path, or null; *redirect is
// set when a directory was named without its final "/".
file_entry *resolve_path(fe_cache *cache, const char *path, const char *page_path, const char *query,
                         int *redirect);

// Generated pages are bounded: before another is made, the unreferenced ones
// go once there are too many.
constexpr int32_t MAX_CACHED_PAGES = 1024;
void make_room_for_page(fe_cache *cache);
