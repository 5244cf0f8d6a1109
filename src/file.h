// File entries: the cached, reference-counted resources the server sends,
// and the table that holds them with its release policy (file.cpp); the
// resolution of request paths to them (file_resolve.cpp).
#pragma once

#include "dirscan.h"

#include <cstdint>

struct text_block;
struct zip_archive;
struct zip_set;
struct zip_stream;
struct zo_layout;
struct gz_member;

// What an entry reads from, by type; owned by the entry except for KIND_STATIC.
union fe_handle {
    int fd;                      // KIND_FILE: counted_open descriptor
    zip_archive *zip;            // KIND_ZIP
    void *snapshot;              // KIND_DIR: dir_entry array block
    text_block *page;            // KIND_PAGE, KIND_INFLATED
    const unsigned char *bytes;  // KIND_STATIC
    zip_stream *stream;          // KIND_MEMBER
    zo_layout *layout;           // KIND_FOLDER_ZIP
    gz_member *gzip;             // KIND_GZIPPED
};

// What a generated page is: a page of its own, or a folder's listing, which
// answers as HTML or JSON by what the request asks.
enum page_kind : uint8_t {
    PAGE_HTML = 0,
    PAGE_LISTING = 1,
    PAGE_LISTING_JSON = 2,
};
constexpr const char *page_content_type(page_kind kind)
{
    return kind == PAGE_LISTING_JSON ? "application/json" : "text/html; charset=utf-8";
}

struct file_entry {
    int32_t refcount;
    entry_kind kind;
    bool in_table;       // a request can still find it; else it goes with its last reference
    uint16_t watch_len;  // the first watch_len bytes of the name are the path it was made from; 0 none
    page_kind page;      // KIND_PAGE: what the page is
    const char *name;
    fe_handle handle;
    int64_t mtime;  // seconds since 1970: the resource's own time; -1 when unknown
    uint64_t size;
    uint64_t etag;              // strong validator of what the entry sends; 0 when none
    file_entry *base;           // the archive a member or an archive's page comes from, referenced
    file_id id;                 // what the watched path was when the entry was made
    int64_t made;               // when it was made, in seconds
    uint64_t checked;           // the turn of the event loop in which it was last checked
    uint64_t bytes;             // memory (pages, snapshots) or index bytes (archives) it holds
    file_entry *newer, *older;  // the table's entries by last use
    file_entry *hash_next;
};

// The entry table: every cached entry under its name, in the order of last
// use, with what it holds counted against its budgets; releases take the
// least recently used entries nobody holds.
struct fe_cache {
    int32_t nentries;
    int32_t hash_size;
    file_entry **hash;
    file_entry *newest, *oldest;  // the ends of the list by last use
    zip_set *zips;                // what the open archives share
    uint64_t turn;                // the turn of the event loop (ev_turn), set by the server
    int32_t pages;                // pages in the table
    uint64_t page_bytes;          // bytes of pages and snapshots in the table
    int32_t archives;             // archives in the table
    uint64_t index_bytes;         // their name indexes
    uint64_t inflated_bytes;      // inflated members in the table
    uint64_t layout_bytes;        // folder downloads in the table
    int32_t max_archives;
};
bool fe_cache_init(fe_cache *cache);     // false when memory is exhausted
void fe_cache_destroy(fe_cache *cache);  // destroys every entry, referenced or not

// Built-in bytes and pages, which never change while the program runs: they
// carry the time `mtime` and a hash of their bytes as their validator.
file_entry *fe_add_static(fe_cache *cache, const char *name, const unsigned char *bytes, uint32_t length,
                          int64_t mtime);
file_entry *fe_add_page(fe_cache *cache, const char *name, text_block *page, int64_t mtime);
void fe_ref(file_entry *fe);
void fe_unref(file_entry *fe);
// What a read of an entry did. A deflated member skips ahead to a far offset
// a slice per call, so its read may be not ready yet: call again later.
enum fe_read_result : int8_t {
    FE_READ_FAILED = -1,
    FE_READ_AGAIN = 0,
    FE_READ_DONE = 1,
};
fe_read_result fe_read(file_entry *fe, void *buffer, uint32_t count, uint64_t offset);
// How far behind its last read an entry reads again without extra work: a
// deflated member as far as its inflate window reaches, any other anywhere.
uint32_t fe_reread_span(const file_entry *fe);
// Where the entry's byte `offset` lies as it is to be sent.
enum file_range : uint8_t {
    RANGE_READ,     // read it through fe_read (generated, built in, deflated, or not yet checked)
    RANGE_IN_FILE,  // in the file `*fd` at `*at`, to be sent as it lies
    RANGE_CHANGED,  // a checked stored member whose archive has changed since: the reply cannot go on
};
// `*run`, when asked for, is how many bytes from `offset` lie so: in that
// file, or (RANGE_READ) before the next bytes that lie in a file.
file_range fe_file_range(const file_entry *fe, uint64_t offset, int *fd, uint64_t *at, uint64_t *run = nullptr);
// The header lines a reply of the entry carries besides the common ones
// (a download's file name, a member's encoding), each as "\r\nName: value",
// written at `out` within `room` bytes (one kept for a terminating zero).
uint32_t fe_header_lines(const file_entry *fe, char *out, uint32_t room);
// The entry's ETag text ends with this after its digits: "-gz" for a member
// framed as gzip, so that both forms of one member never share a validator.
const char *fe_etag_suffix(const file_entry *fe);
// The member `fe` (stream or kept inflated) framed as gzip, for a client that
// accepts that encoding; `fe` itself when it is no deflated member or the
// framing cannot be made.
file_entry *fe_gzip_form(fe_cache *cache, file_entry *fe);
// True when the query asks for a folder as a .zip download.
bool is_zip_query(const char *query);

// The newest entry under `name`, as it is (built-in bytes and pages).
file_entry *fe_lookup(fe_cache *cache, const char *name);

// Returns the reference a transfer held; a disk file or member stream nobody
// uses any more is closed at once, so descriptors never pile up.
void fe_release(fe_cache *cache, file_entry *fe);
// Closes an entry nobody holds when it is a disk file or member stream.
void fe_drop_if_unused(fe_cache *cache, file_entry *fe);
// One Clean Cache pass: every entry nobody holds goes, and archives still
// held drop the checkpoints of their members.
void fe_release_unused(fe_cache *cache);

// What a resolution found besides its entry.
enum resolve_note : int32_t {
    RESOLVE_OK = 0,            // the entry, or null when nothing is there
    RESOLVE_REDIRECT = 1,      // a directory named without its final "/"
    RESOLVE_NO_RESOURCES = 2,  // descriptors or memory ran out; nothing was cached
    RESOLVE_NO_STORAGE = 3,    // a folder too large to lay out as a download, now or ever
    RESOLVE_LATER = 4,         // a folder download still being laid out: see fe_walk_on
};

// Path resolution: the entry answering a mapped path, or null. Every cached
// entry it takes is checked against the file system first; a stale one
// leaves the table. `page_path` is the request path a listing shows.
file_entry *resolve_path(fe_cache *cache, const char *path, const char *page_path, const char *query,
                         resolve_note *note);

// One more slice of the walk of a folder download that resolved with
// RESOLVE_LATER: `walking` itself while the walk goes on (RESOLVE_LATER
// again); once it is done, the entry that answers (`walking`, now in the
// table, or the same layout cached before), or null with the note of what
// failed. The caller holds `walking` meanwhile and releases it after.
file_entry *fe_walk_on(fe_cache *cache, file_entry *walking, resolve_note *note);

// Makes room for a page or snapshot of `bytes` under the page budgets, the
// least recently used unreferenced ones going first.
void make_room_for_page(fe_cache *cache, uint64_t bytes);
