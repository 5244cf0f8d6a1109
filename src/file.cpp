// File entries, the entry table with its release policy, and the resolution
// of request paths to entries on disk and inside archives.
#include "file.h"

#include "dirscan.h"
#include "htmlgen.h"
#include "htproc.h"
#include "memory.h"
#include "zip.h"
#include "zipout.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

namespace {

// Releases what an entry of type `kind` owns through `handle`.
void release_handle(entry_kind kind, fe_handle handle)
{
    switch (kind) {
    case KIND_FILE:
        counted_close(handle.fd);
        break;
    case KIND_ZIP:
        zip_close(handle.zip);
        break;
    case KIND_DIR:
        dir_snapshot_free(static_cast<dir_entry *>(handle.snapshot));
        break;
    case KIND_PAGE:
    case KIND_INFLATED:
        text_block_free(handle.page);
        break;
    case KIND_MEMBER:
        zip_member_close(handle.stream);
        break;
    case KIND_FOLDER_ZIP:
        zo_free(handle.layout);
        break;
    case KIND_GZIPPED:
        gz_free(handle.gzip);
        break;
    default:
        break;  // KIND_STATIC bytes belong to the program
    }
}

// Body length by type, or -1 when it does not fit in 32 bits.
int64_t handle_size(entry_kind kind, fe_handle handle)
{
    switch (kind) {
    case KIND_FILE:
        return file_length(handle.fd);
    case KIND_ZIP:
        return handle.zip ? static_cast<int64_t>(handle.zip->length) : -1;
    case KIND_PAGE:
    case KIND_INFLATED:
        return handle.page ? handle.page->size : 0;
    default:
        return 0;  // KIND_DIR is not readable; KIND_MEMBER is sized by its creator
    }
}

file_entry **bucket_of(fe_cache *cache, const char *name)
{
    return &cache->hash[string_hash(name, static_cast<uint32_t>(cache->hash_size))];
}

fe_read_result read_member(file_entry *fe, void *buffer, uint32_t count, uint64_t offset)
{
    ASSERT(fe->base);
    zip_stream *zs = fe->handle.stream;
    if (!fe->base->handle.zip || !zs)
        return FE_READ_FAILED;
    if (count == 0)
        return FE_READ_DONE;
    if (offset != zs->out_pos) {
        const seek_result r = zip_member_seek(zs, offset);
        if (r == SEEK_AGAIN)
            return FE_READ_AGAIN;
        if (r == SEEK_FAILED || zs->out_pos != offset)
            return FE_READ_FAILED;
    }
    char *p = static_cast<char *>(buffer);
    while (count > 0) {
        const int n = zip_member_read(zs, p, count);
        if (n <= 0)
            return FE_READ_FAILED;
        p += n;
        count -= static_cast<uint32_t>(n);
    }
    return FE_READ_DONE;
}

// The validator of a file's bytes from its identity: a replaced file has
// another inode, one changed in place another size or time.
uint64_t identity_etag(const file_id &id)
{
    const uint64_t words[] = {id.dev, id.ino, id.size, static_cast<uint64_t>(id.mtime_ns)};
    return hash64(words, sizeof words);
}

// A member's bytes: those of its archive's version at its place in it.
uint64_t member_etag(const file_entry *archive, const zip_node *node)
{
    const uint64_t words[] = {node->local_offset, node->csize, node->usize, node->crc32};
    return hash64(words, sizeof words, identity_etag(archive->id));
}

uint64_t bytes_etag(const void *bytes, size_t n)
{
    return hash64(bytes, n);
}

}  // namespace

// A new entry whose body length is already known, or -1 when it could not be told.
static file_entry *fe_new_sized(entry_kind kind, const char *name, fe_handle handle, int64_t mtime, int64_t size)
{
    ASSERT(kind != KIND_STATIC);
    const size_t name_length = strlen(name);
    auto *fe = size >= 0 ? static_cast<file_entry *>(counted_calloc(&n_caches, 1, sizeof(file_entry) + name_length + 1))
                         : nullptr;
    if (!fe) {
        release_handle(kind, handle);
        return nullptr;
    }
    char *copy = reinterpret_cast<char *>(fe + 1);
    memcpy(copy, name, name_length + 1);
    fe->refcount = 0;
    fe->kind = kind;
    fe->name = copy;
    fe->handle = handle;
    fe->mtime = mtime;
    fe->size = static_cast<uint64_t>(size);
    fe->base = nullptr;
    return fe;
}

file_entry *fe_new(entry_kind kind, const char *name, fe_handle handle, int64_t mtime)
{
    return fe_new_sized(kind, name, handle, mtime, handle_size(kind, handle));
}

file_entry *fe_new_child(entry_kind kind, const char *name, fe_handle handle, int64_t mtime, file_entry *base)
{
    file_entry *fe = fe_new(kind, name, handle, mtime);
    if (fe && base) {
        fe->base = base;
        fe_ref(base);
    }
    return fe;
}

file_entry *fe_new_member(file_entry *archive, zip_stream *stream, const char *name)
{
    const zip_node *node = stream->node;
    file_entry *fe = fe_new_child(KIND_MEMBER, name, fe_handle{.stream = stream}, node->mtime, archive);
    if (fe) {
        fe->size = node->usize;
        fe->etag = member_etag(archive, node);
    }
    return fe;
}

file_entry *fe_add_static(fe_cache *cache, const char *name, const unsigned char *bytes, uint32_t length,
                          int64_t mtime)
{
    auto *fe = static_cast<file_entry *>(counted_calloc(&n_caches, 1, sizeof(file_entry)));
    if (!fe)
        return nullptr;
    fe->refcount = 1;
    fe->kind = KIND_STATIC;
    fe->name = name;
    fe->handle.bytes = bytes;
    fe->mtime = mtime;
    fe->size = length;
    fe->etag = bytes_etag(bytes, length);
    fe_insert(cache, fe);
    return fe;
}

file_entry *fe_add_page(fe_cache *cache, const char *name, text_block *page, int64_t mtime)
{
    if (!page)
        return nullptr;
    file_entry *fe = fe_new(KIND_PAGE, name, fe_handle{.page = page}, mtime);
    if (fe) {
        fe->bytes = fe->size;
        fe->etag = bytes_etag(page->data, page->size);
        fe_insert(cache, fe);
    }
    return fe;
}

void fe_ref(file_entry *fe)
{
    fe->refcount++;
}

void fe_unref(file_entry *fe)
{
    fe->refcount--;
}

void fe_destroy(file_entry *fe)
{
    ASSERT(!fe->in_table);
    file_entry *base = fe->base;
    release_handle(fe->kind, fe->handle);
    counted_free(&n_caches, fe);
    // An archive that left the table goes with the last entry made from it.
    if (base && --base->refcount == 0 && !base->in_table)
        fe_destroy(base);
}

fe_read_result fe_read(file_entry *fe, void *buffer, uint32_t count, uint64_t offset)
{
    ASSERT(offset <= fe->size && count <= fe->size - offset);
    switch (fe->kind) {
    case KIND_FILE:
        return file_read_at(fe->handle.fd, buffer, count, offset) < 0 ? FE_READ_FAILED : FE_READ_DONE;
    case KIND_ZIP:
        return fe->handle.zip && file_read_at(fe->handle.zip->fd, buffer, count, offset) > 0 ? FE_READ_DONE
                                                                                             : FE_READ_FAILED;
    case KIND_PAGE:
    case KIND_INFLATED:
        memcpy(buffer, fe->handle.page->data + offset, count);
        return FE_READ_DONE;
    case KIND_STATIC:
        memcpy(buffer, fe->handle.bytes + offset, count);
        return FE_READ_DONE;
    case KIND_MEMBER:
        return read_member(fe, buffer, count, offset);
    case KIND_FOLDER_ZIP:
        return static_cast<fe_read_result>(zo_read(fe->handle.layout, buffer, count, offset));
    case KIND_GZIPPED:
        return static_cast<fe_read_result>(gz_read(fe->handle.gzip, buffer, count, offset));
    default:
        return FE_READ_FAILED;
    }
}

uint32_t fe_reread_span(const file_entry *fe)
{
    const bool deflated = fe->kind == KIND_MEMBER && fe->handle.stream && fe->handle.stream->method == 8;
    return deflated ? ZIP_REREAD_SPAN : UINT32_MAX;
}

static_assert(int{FE_READ_FAILED} == ZO_READ_FAILED && int{FE_READ_AGAIN} == ZO_READ_AGAIN &&
              int{FE_READ_DONE} == ZO_READ_DONE);

file_range fe_file_range(const file_entry *fe, uint64_t offset, int *fd, uint64_t *at, uint64_t *run)
{
    uint64_t scratch;
    if (!run)
        run = &scratch;
    *run = fe->kind == KIND_FILE || fe->kind == KIND_ZIP || fe->kind == KIND_MEMBER ? fe->size - offset : UINT64_MAX;
    switch (fe->kind) {
    case KIND_FOLDER_ZIP:
    case KIND_GZIPPED: {
        const zo_place p = fe->kind == KIND_FOLDER_ZIP ? zo_where(fe->handle.layout, offset, fd, at, run)
                                                       : gz_where(fe->handle.gzip, offset, fd, at, run);
        if (p == ZO_IN_FILE && fe->kind == KIND_GZIPPED) {
            // As a stored member's: only while the archive holds what was read.
            file_id now;
            const file_id &id = fe->base->id;
            if (!file_id_of(*fd, &now) || now.size != id.size || now.mtime_ns != id.mtime_ns)
                return RANGE_CHANGED;
        }
        return p == ZO_IN_FILE ? RANGE_IN_FILE : p == ZO_CHANGED ? RANGE_CHANGED : RANGE_READ;
    }
    case KIND_FILE:
        *fd = fe->handle.fd;
        *at = offset;
        return RANGE_IN_FILE;
    case KIND_ZIP:
        *fd = fe->handle.zip->fd;
        *at = offset;
        return RANGE_IN_FILE;
    case KIND_MEMBER: {
        const zip_stream *zs = fe->handle.stream;
        if (!zs || zs->method != 0 || !zs->node->verified)
            return RANGE_READ;
        // Its bytes go unchecked: only while the archive holds what was
        // checked. Size and modification time tell; the change time does
        // not, as renaming or replacing the file (which its open descriptor
        // outlives unchanged) sets it too.
        file_id now;
        const file_id &id = fe->base->id;
        if (!file_id_of(zs->archive->fd, &now) || now.size != id.size || now.mtime_ns != id.mtime_ns)
            return RANGE_CHANGED;
        *fd = zs->archive->fd;
        *at = zs->data_offset + offset;
        return RANGE_IN_FILE;
    }
    default:
        return RANGE_READ;
    }
}

file_entry *fe_lookup(fe_cache *cache, const char *name)
{
    for (file_entry *fe = *bucket_of(cache, name); fe; fe = fe->hash_next)
        if (strcmp(fe->name, name) == 0)
            return fe;
    return nullptr;
}

namespace {

// Counts what an entry holds against the budgets: +1 entering, -1 leaving.
void account(fe_cache *cache, const file_entry *fe, int sign)
{
    if (fe->kind == KIND_PAGE || fe->kind == KIND_DIR) {
        cache->pages += fe->kind == KIND_PAGE ? sign : 0;
        cache->page_bytes += sign > 0 ? fe->bytes : -fe->bytes;
    } else if (fe->kind == KIND_ZIP) {
        cache->archives += sign;
        cache->index_bytes += sign > 0 ? fe->bytes : -fe->bytes;
    } else if (fe->kind == KIND_INFLATED) {
        cache->inflated_bytes += sign > 0 ? fe->bytes : -fe->bytes;
    } else if (fe->kind == KIND_FOLDER_ZIP) {
        cache->layout_bytes += sign > 0 ? fe->bytes : -fe->bytes;
    }
}

}  // namespace

void fe_insert(fe_cache *cache, file_entry *fe)
{
    file_entry **head = bucket_of(cache, fe->name);
    fe->hash_next = *head;
    *head = fe;
    fe->in_table = true;
    fe->used = ++cache->tick;
    cache->nentries++;
    account(cache, fe, +1);
}

void fe_unlink(fe_cache *cache, file_entry *fe)
{
    for (file_entry **link = bucket_of(cache, fe->name); *link; link = &(*link)->hash_next) {
        if (*link == fe) {
            *link = fe->hash_next;
            fe->hash_next = nullptr;
            fe->in_table = false;
            cache->nentries--;
            account(cache, fe, -1);
            return;
        }
    }
}

bool fe_cache_init(fe_cache *cache)
{
    *cache = fe_cache{};
    cache->hash_size = FE_HASH_SIZE;
    cache->hash = static_cast<file_entry **>(calloc(FE_HASH_SIZE, sizeof(file_entry *)));
    // Open archives keep a descriptor each: never so many that accepting fails.
    rlimit rl{};
    const int64_t quarter = getrlimit(RLIMIT_NOFILE, &rl) == 0 ? static_cast<int64_t>(rl.rlim_cur / 4) : 64;
    cache->max_archives = static_cast<int32_t>(std::max<int64_t>(1, std::min<int64_t>(MAX_OPEN_ARCHIVES, quarter)));
    return cache->hash != nullptr;
}

void fe_cache_destroy(fe_cache *cache)
{
    if (!cache->hash)
        return;
    // Entries made from an archive first: each holds a reference on it.
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = cache->hash_size - 1; i >= 0; --i) {
            file_entry **link = &cache->hash[i];
            while (*link) {
                file_entry *fe = *link;
                if (pass == 0 && !fe->base) {
                    link = &fe->hash_next;
                    continue;
                }
                fe_unlink(cache, fe);
                fe->refcount = 0;
                fe_destroy(fe);
            }
        }
    }
    free(cache->hash);
    *cache = fe_cache{};
}

void fe_drop_if_unused(fe_cache *cache, file_entry *fe)
{
    if (fe->refcount != 0)
        return;
    if (fe->kind == KIND_FOLDER_ZIP)
        zo_idle(fe->handle.layout);  // its layout stays, with the CRC-32s it has learnt
    // Disk files and member streams nobody uses are closed at once, so
    // descriptors never pile up; entries that left the table go too.
    if (fe->in_table && (fe->kind == KIND_FILE || fe->kind == KIND_MEMBER))
        fe_unlink(cache, fe);
    if (!fe->in_table)
        fe_destroy(fe);
}

void fe_release(fe_cache *cache, file_entry *fe)
{
    fe_unref(fe);
    fe_drop_if_unused(cache, fe);
}

void fe_release_unused(fe_cache *cache)
{
    // Pages made from an archive hold it: passes go on while any entry goes.
    for (bool more = true; more;) {
        more = false;
        file_entry *collected = nullptr;
        for (int i = cache->hash_size - 1; i >= 0; --i)
            for (file_entry *fe = cache->hash[i]; fe; fe = fe->hash_next)
                if (fe->refcount == 0) {
                    fe->sweep_next = collected;
                    collected = fe;
                } else if (fe->kind == KIND_ZIP) {
                    zip_forget_checkpoints(fe->handle.zip);  // an archive in use goes on without them
                }
        while (collected) {
            file_entry *fe = collected;
            collected = fe->sweep_next;
            ASSERT(fe->kind != KIND_STATIC);
            fe_unlink(cache, fe);
            fe_destroy(fe);
            more = true;
        }
    }
}

// ---- path resolution ---------------------------------------------------------

namespace {

constexpr size_t RESOLVE_PATH_MAX = 513;  // longest path resolved
// Longest key composed from it: "*" and the sort keys, then "?json".
constexpr size_t RESOLVE_KEY_MAX = RESOLVE_PATH_MAX + 1 + LISTING_KEYS_MAX + 5;
constexpr size_t RESOLVE_BUF_SIZE = RESOLVE_KEY_MAX + 2;

constexpr uint32_t kind_bit(entry_kind kind)
{
    return 1u << kind;
}

// What a request path may be answered with straight from the cache: a body
// under the path itself, or a listing under the path with its final "/".
constexpr uint32_t BODY_KINDS =
    kind_bit(KIND_FILE) | kind_bit(KIND_ZIP) | kind_bit(KIND_MEMBER) | kind_bit(KIND_INFLATED);
constexpr uint32_t LISTING_KINDS = kind_bit(KIND_PAGE);

bool out_of_resources()
{
    return errno == EMFILE || errno == ENFILE || errno == ENOMEM;
}

// Drops every unreferenced entry made from `archive` (its pages); true
// when nothing else holds the archive any more.
bool drop_children(fe_cache *cache, file_entry *archive)
{
    for (int i = 0; i < cache->hash_size && archive->refcount > 0; ++i) {
        file_entry **link = &cache->hash[i];
        while (*link) {
            file_entry *fe = *link;
            if (fe->base == archive && fe->refcount == 0) {
                fe_unlink(cache, fe);
                ++archive->refcount;  // kept alive through the child's release
                fe_destroy(fe);
                --archive->refcount;
            } else {
                link = &fe->hash_next;
            }
        }
    }
    return archive->refcount == 0;
}

// Takes a stale entry out of the table; it goes now when nobody holds it,
// else with its last reference. An archive takes its idle pages with it.
void drop_stale(fe_cache *cache, file_entry *fe)
{
    fe_unlink(cache, fe);
    if (fe->kind == KIND_ZIP)
        drop_children(cache, fe);
    if (fe->refcount == 0)
        fe_destroy(fe);
}

// True when the entry still shows what its path holds now: the same file or
// directory, unchanged, and for a disk listing not older than its lifetime.
// A stale entry leaves the table. One stat at most.
bool check_fresh(fe_cache *cache, file_entry *fe)
{
    if (!fe->in_table)
        return false;
    // Requests that arrived together in one turn of the loop share a check.
    if (cache->turn != 0 && fe->checked == cache->turn) {
        fe->used = ++cache->tick;
        return true;
    }
    bool fresh = true;
    if (fe->base) {
        // Held meanwhile: a stale archive drops its idle pages, not this one.
        fe_ref(fe);
        fresh = check_fresh(cache, fe->base);
        fe_unref(fe);
    } else if (fe->watch_len > 0) {
        if ((fe->kind == KIND_PAGE || fe->kind == KIND_DIR) && time_now() - fe->made > LISTING_LIFETIME) {
            fresh = false;
        } else {
            char path[RESOLVE_BUF_SIZE];
            memcpy(path, fe->name, fe->watch_len);
            path[fe->watch_len] = 0;
            dir_entry st;
            file_id id;
            fresh = stat_path(path, &st, &id) != KIND_NONE && id == fe->id;
        }
    }
    if (fresh) {
        fe->used = ++cache->tick;
        fe->checked = cache->turn;
    } else {
        drop_stale(cache, fe);
    }
    return fresh;
}

// The newest entry under `key` whose type is among `kinds`, fresh. Keys of
// different kinds can coincide when names hold a "*" (the file "d*" and the
// snapshot of "d/", the file "d/*dN" and a sorted page of "d/"), so each step
// asks only for the kinds it can use.
file_entry *lookup_kind(fe_cache *cache, const char *key, uint32_t kinds)
{
    for (file_entry *fe = *bucket_of(cache, key); fe; fe = fe->hash_next)
        if ((kind_bit(fe->kind) & kinds) && strcmp(fe->name, key) == 0)
            return check_fresh(cache, fe) ? fe : nullptr;
    return nullptr;
}

// The least recently used unreferenced entry of the kinds asked, or null.
file_entry *least_used(fe_cache *cache, uint32_t kinds)
{
    file_entry *oldest = nullptr;
    for (int i = 0; i < cache->hash_size; ++i)
        for (file_entry *fe = cache->hash[i]; fe; fe = fe->hash_next)
            if ((kind_bit(fe->kind) & kinds) && fe->refcount == 0 && (!oldest || fe->used < oldest->used))
                oldest = fe;
    return oldest;
}

// Closes archives nobody uses, least recently used first, until one more
// fits. An archive whose only holders are its idle pages goes with them.
void make_room_for_archive(fe_cache *cache)
{
    uint64_t after = 0;  // archives used up to this tick were tried and are busy
    while (cache->archives >= cache->max_archives || cache->index_bytes > INDEX_BUDGET) {
        file_entry *victim = nullptr;
        for (int i = 0; i < cache->hash_size; ++i)
            for (file_entry *fe = cache->hash[i]; fe; fe = fe->hash_next)
                if (fe->kind == KIND_ZIP && fe->used > after && (!victim || fe->used < victim->used))
                    victim = fe;
        if (!victim)
            return;  // every archive is in use: the budget waits for them
        after = victim->used;
        if (drop_children(cache, victim)) {
            fe_unlink(cache, victim);
            fe_destroy(victim);
        }
    }
}

// A member stream already carrying a transfer that another must not share.
// Deflate data cannot be read backwards, so two transfers interleaving on one
// stream would restart decompression from the member's start for nearly every
// piece: work growing with the square of the member's size. And a member not
// yet checked would lose its CRC-32 check to a second reader starting over.
// Such a request gets a stream of its own, released with its transfer.
bool busy_member_stream(const file_entry *fe)
{
    const zip_stream *zs = fe->kind == KIND_MEMBER ? fe->handle.stream : nullptr;
    return zs && fe->refcount > 0 && (zs->method == 8 || !zs->node->verified);
}

// `path` + `sep` + `tail` into `key` (RESOLVE_BUF_SIZE bytes); callers bound
// the lengths to RESOLVE_KEY_MAX.
const char *compose_key(char *key, const char *path, size_t len, char sep, const char *tail)
{
    const size_t tail_len = strlen(tail);
    ASSERT(len + 1 + tail_len <= RESOLVE_KEY_MAX);
    memcpy(key, path, len);
    key[len] = sep;
    memcpy(key + len + 1, tail, tail_len + 1);
    return key;
}

// Caches a generated listing under `key`: made from the archive `base`, or from
// the directory named by the first `watch_len` bytes of the key, as `id` was.
// A page larger than the whole budget is sent once and not kept.
file_entry *add_page(fe_cache *cache, const char *key, text_block *page, int64_t mtime, file_entry *base,
                     size_t watch_len, const file_id &id, resolve_note *note, bool json = false)
{
    if (!page) {
        *note = RESOLVE_NO_RESOURCES;
        return nullptr;
    }
    file_entry *fe = fe_new(KIND_PAGE, key, fe_handle{.page = page}, mtime);
    if (!fe) {
        *note = RESOLVE_NO_RESOURCES;
        return nullptr;
    }
    fe->bytes = fe->size;
    fe->etag = bytes_etag(page->data, page->size);
    fe->made = time_now();
    fe->page = json ? PAGE_LISTING_JSON : PAGE_LISTING;
    if (base) {
        fe->base = base;
        fe_ref(base);
    } else {
        fe->watch_len = static_cast<uint16_t>(watch_len);
        fe->id = id;
    }
    if (fe->bytes > PAGE_BUDGET)
        return fe;
    make_room_for_page(cache, fe->bytes);
    fe_insert(cache, fe);
    return fe;
}

bool is_archive_boundary(const char *p)
{
    return p[0] == '.' && (p[1] | 0x20) == 'z' && (p[2] | 0x20) == 'i' && (p[3] | 0x20) == 'p' && p[4] == '/';
}

enum archive_found : uint8_t {
    ARCHIVE_FOUND,
    ARCHIVE_NONE,     // no archive boundary: a directory, or a name cached as something else
    ARCHIVE_NOWHERE,  // the path leads nowhere
    ARCHIVE_NO_ROOM,  // descriptors or memory ran out
};

// The archive named by `archive_path`, from the cache or opened now.
archive_found find_archive(fe_cache *cache, const char *archive_path, file_entry **out)
{
    *out = nullptr;
    for (file_entry *fe = *bucket_of(cache, archive_path); fe; fe = fe->hash_next) {
        if (strcmp(fe->name, archive_path) != 0 || fe->kind == KIND_FOLDER_ZIP || fe->kind == KIND_GZIPPED)
            continue;
        switch (fe->kind) {
        case KIND_FILE:
            // Sent earlier as a plain file; the archive entry made below hides
            // it while a transfer still holds it.
            fe_unlink(cache, fe);
            if (fe->refcount == 0)
                fe_destroy(fe);
            break;
        case KIND_ZIP:
            if (check_fresh(cache, fe)) {
                *out = fe;
                return ARCHIVE_FOUND;
            }
            break;
        case KIND_PAGE:
        case KIND_STATIC:
            return ARCHIVE_NONE;
        default:
            return ARCHIVE_NOWHERE;
        }
        break;
    }
    dir_entry st;
    file_id id;
    switch (stat_path(archive_path, &st, &id)) {
    case KIND_FILE: {
        make_room_for_archive(cache);
        errno = 0;
        zip_archive *za = zip_open(archive_path);
        if (!za)
            return out_of_resources() ? ARCHIVE_NO_ROOM : ARCHIVE_NOWHERE;
        file_entry *fe = fe_new(KIND_ZIP, archive_path, fe_handle{.zip = za}, st.modified);
        if (!fe)
            return ARCHIVE_NO_ROOM;
        fe->watch_len = static_cast<uint16_t>(strlen(archive_path));
        // What was opened, which may be newer than what the stat saw.
        if (!file_id_of(za->fd, &fe->id))
            fe->id = id;
        fe->etag = identity_etag(fe->id);
        fe->bytes = za->index.nbytes;
        fe_insert(cache, fe);
        *out = fe;
        return ARCHIVE_FOUND;
    }
    case KIND_DIR:
        return ARCHIVE_NONE;
    default:
        return out_of_resources() ? ARCHIVE_NO_ROOM : ARCHIVE_NOWHERE;
    }
}

// A small deflated member that has passed its check once, inflated whole and
// kept, so that later requests are answered from memory; null when it does
// not qualify or cannot be made (the member is then streamed as any other).
file_entry *inflate_member(fe_cache *cache, file_entry *archive, zip_node *node, const char *path)
{
    if (node->method != 8 || !node->verified || node->usize > MAX_INFLATED_MEMBER)
        return nullptr;
    const auto size = static_cast<uint32_t>(node->usize);
    text_block *tb = text_block_new(size);
    zip_stream *zs = tb ? zip_member_open(archive->handle.zip, node) : nullptr;
    bool ok = zs != nullptr;
    for (uint32_t got = 0; ok && got < size;) {
        const int n = zip_member_read(zs, tb->data + got, size - got);
        ok = n > 0;
        got += ok ? static_cast<uint32_t>(n) : 0;
    }
    if (zs)
        zip_member_close(zs);
    file_entry *fe = ok ? fe_new_child(KIND_INFLATED, path, fe_handle{.page = tb}, node->mtime, archive) : nullptr;
    if (!fe) {
        if (!ok)
            text_block_free(tb);  // a made entry owns the block, also when it failed
        return nullptr;
    }
    fe->bytes = size;
    fe->etag = member_etag(archive, node);  // the same bytes as the member's stream
    while (cache->inflated_bytes + size > INFLATED_BUDGET) {
        file_entry *victim = least_used(cache, kind_bit(KIND_INFLATED));
        if (!victim)
            break;
        fe_unlink(cache, victim);
        fe_destroy(victim);
    }
    fe_insert(cache, fe);
    return fe;
}

// A member, or the listing of a directory, of the archive entry `archive`.
// `rest` is the path inside the archive (writable, part of the caller's copy).
file_entry *resolve_in_archive(fe_cache *cache, file_entry *archive, char *rest, const char *path,
                               const char *page_path, const char *sorted_key, const listing_query &lq,
                               resolve_note *note)
{
    zip_archive *za = archive->handle.zip;
    const size_t rest_len = strlen(rest);
    const bool slash = rest_len == 0 || rest[rest_len - 1] == '/';
    if (!slash) {
        zip_node *node = zip_find(za, rest);
        if (!node)
            return nullptr;
        if (node->child) {
            // A directory named without its "/": only the redirect. A listing
            // cached under this key would break the relative links of later
            // requests that find it.
            *note = RESOLVE_REDIRECT;
            return nullptr;
        }
        if (file_entry *fe = inflate_member(cache, archive, node, path))
            return fe;
        zip_stream *zs = zip_member_open(za, node);
        if (!zs) {
            *note = out_of_resources() ? RESOLVE_NO_RESOURCES : RESOLVE_OK;
            return nullptr;
        }
        file_entry *fe = fe_new_member(archive, zs, path);
        if (fe)
            fe_insert(cache, fe);
        else
            *note = RESOLVE_NO_RESOURCES;
        return fe;
    }
    if (rest_len > 0)
        rest[rest_len - 1] = 0;
    zip_node *first = zip_list(za, rest);
    if (!first)
        return nullptr;
    const file_id none{};
    int64_t newest = -1;
    const char *keys = lq.sorted ? lq.keys : nullptr;
    if (lq.json) {
        text_block *page = list_zip_json(first, page_path, keys, &newest);
        return add_page(cache, sorted_key, page, newest, archive, 0, none, note, true);
    }
    if (sorted_key) {
        text_block *page = list_zip_sorted(first, page_path, keys, &newest);
        return add_page(cache, sorted_key, page, newest, archive, 0, none, note);
    }
    text_block *page = list_zip_unsorted(first, page_path, &newest);
    return add_page(cache, path, page, newest, archive, 0, none, note);
}

// A file, or the listing of a directory, on disk.
file_entry *resolve_on_disk(fe_cache *cache, const char *path, size_t len, const char *page_path,
                            const char *sorted_key, const listing_query &lq, resolve_note *note)
{
    const bool slash = path[len - 1] == '/';
    dir_entry st;
    file_id id;
    int fd = -1;
    // Opened as the tree's rules allow: the kernel refuses a way out of it.
    switch (open_path(path, &st, &id, slash ? nullptr : &fd)) {
    case KIND_FILE: {
        if (slash)
            return nullptr;
        if (fd < 0) {
            *note = out_of_resources() ? RESOLVE_NO_RESOURCES : RESOLVE_OK;
            return nullptr;
        }
        // The resolution's one stat gave the length.
        file_entry *fe = fe_new_sized(KIND_FILE, path, fe_handle{.fd = fd}, st.modified, static_cast<int64_t>(st.size));
        if (!fe) {
            *note = RESOLVE_NO_RESOURCES;
            return nullptr;
        }
        fe->watch_len = static_cast<uint16_t>(len);
        fe->id = id;
        fe->etag = identity_etag(id);
        fe_insert(cache, fe);
        return fe;
    }
    case KIND_DIR:
        break;
    default:
        *note = out_of_resources() ? RESOLVE_NO_RESOURCES : RESOLVE_OK;
        return nullptr;
    }
    if (!slash) {
        *note = RESOLVE_REDIRECT;
        return nullptr;
    }
    // A listing is as new as its directory and the newest of its rows.
    int64_t newest = st.modified;
    if (!sorted_key) {
        text_block *page = list_dir_unsorted(path, page_path, &newest);
        return add_page(cache, path, page, newest, nullptr, len, id, note);
    }
    // One snapshot, under the directory path with "*" for its final "/",
    // serves every sort order of the directory, and its JSON.
    char dir[RESOLVE_BUF_SIZE];
    memcpy(dir, path, len - 1);
    dir[len - 1] = '*';
    dir[len] = 0;
    file_entry *snap = lookup_kind(cache, dir, kind_bit(KIND_DIR));
    if (!snap) {
        char snap_key[RESOLVE_BUF_SIZE];
        memcpy(snap_key, dir, len + 1);
        dir[len - 1] = 0;
        dir_entry *rows = dir_snapshot(dir);
        if (!rows) {
            *note = out_of_resources() ? RESOLVE_NO_RESOURCES : RESOLVE_OK;
            return nullptr;
        }
        uint64_t bytes = sizeof(dir_entry);
        for (const dir_entry *e = rows; e->kind != KIND_NONE; ++e)
            bytes += sizeof(dir_entry) + strlen(e->name) + 1;
        snap = fe_new(KIND_DIR, snap_key, fe_handle{.snapshot = rows}, 0);
        if (!snap) {
            *note = RESOLVE_NO_RESOURCES;
            return nullptr;
        }
        snap->bytes = bytes;
        snap->made = time_now();
        snap->watch_len = static_cast<uint16_t>(len);  // the directory path with its "/"
        snap->id = id;
        make_room_for_page(cache, bytes);
        fe_insert(cache, snap);
    }
    // The page is made while the snapshot is held: making room cannot take it.
    fe_ref(snap);
    auto *snapshot = static_cast<dir_entry *>(snap->handle.snapshot);
    const char *keys = lq.sorted ? lq.keys : nullptr;
    text_block *rows = lq.json ? list_dir_json(snapshot, page_path, keys, &newest)
                               : list_dir_sorted(snapshot, page_path, keys, &newest);
    file_entry *page = add_page(cache, sorted_key, rows, newest, nullptr, len, id, note, lq.json);
    fe_release(cache, snap);
    return page;
}

// The folder `path` (with its final "/") on disk or inside an archive, laid
// out as a .zip download. It is walked for every request, so that the
// download is what the folder holds now (a HEAD too: the walk reads no file
// byte); a layout cached under the same validator answers instead, with the
// CRC-32s it has learnt. A small folder is walked within the request; a
// larger one goes on a slice per call (RESOLVE_LATER, see fe_walk_on). Its
// layout is bounded per download and with all others kept.
file_entry *resolve_folder_zip(fe_cache *cache, const char *path, size_t len, resolve_note *note)
{
    static constexpr char SUFFIX[] = "?zip.zip";  // the key's extension gives its type
    if (len + sizeof SUFFIX > RESOLVE_BUF_SIZE)
        return nullptr;
    char key[RESOLVE_BUF_SIZE];
    memcpy(key, path, len);
    memcpy(key + len, SUFFIX, sizeof SUFFIX);

    char work[RESOLVE_BUF_SIZE];
    memcpy(work, path, len + 1);
    file_entry *archive = nullptr;
    char *prefix = nullptr;
    for (size_t i = 0; i + 4 < len && !archive; ++i) {
        if (!is_archive_boundary(work + i))
            continue;
        work[i + 4] = 0;
        switch (find_archive(cache, work, &archive)) {
        case ARCHIVE_FOUND:
            prefix = work + i + 5;
            break;
        case ARCHIVE_NOWHERE:
            return nullptr;
        case ARCHIVE_NO_ROOM:
            *note = RESOLVE_NO_RESOURCES;
            return nullptr;
        case ARCHIVE_NONE:
            work[i + 4] = '/';
            break;
        }
    }
    zo_layout *lo = nullptr;
    if (archive) {
        const size_t prefix_len = strlen(prefix);
        if (prefix_len > 0)
            prefix[prefix_len - 1] = 0;
        const zip_node *node = *prefix ? zip_find(archive->handle.zip, prefix) : nullptr;
        if (*prefix && (!node || (!node->child && !node->named_dir)))
            return nullptr;
        lo = zo_walk_archive(archive->handle.zip, archive->id, prefix, ZO_LAYOUT_LIMIT);
    } else {
        dir_entry st;
        if (stat_path(path, &st) != KIND_DIR)
            return nullptr;
        lo = zo_walk_folder(path, ZO_LAYOUT_LIMIT);
    }
    // Until its walk is done the entry is its request's alone, out of the table.
    file_entry *walking = lo ? fe_new_sized(KIND_FOLDER_ZIP, key, fe_handle{.layout = lo}, 0, 0) : nullptr;
    if (!walking) {
        *note = RESOLVE_NO_RESOURCES;
        return nullptr;
    }
    zo_name(lo, path, len);
    if (archive) {
        walking->base = archive;
        fe_ref(archive);
    }
    file_entry *fe = fe_walk_on(cache, walking, note);
    if (fe != walking)
        fe_destroy(walking);
    return fe;
}

}  // namespace

file_entry *fe_walk_on(fe_cache *cache, file_entry *walking, resolve_note *note)
{
    zo_layout *lo = walking->handle.layout;
    *note = RESOLVE_OK;
    switch (zo_walk_step(lo)) {
    case ZO_WALK_AGAIN:
        *note = RESOLVE_LATER;
        return walking;
    case ZO_WALK_TOO_LARGE:
        *note = RESOLVE_NO_STORAGE;
        return nullptr;
    case ZO_WALK_FAILED:
        *note = RESOLVE_NO_RESOURCES;
        return nullptr;
    case ZO_WALK_OK:
        break;
    }
    for (file_entry *fe = *bucket_of(cache, walking->name); fe; fe = fe->hash_next) {
        if (fe->kind != KIND_FOLDER_ZIP || strcmp(fe->name, walking->name) != 0)
            continue;
        if (fe->etag == lo->etag && fe->base == walking->base) {
            fe->used = ++cache->tick;
            return fe;
        }
        fe_unlink(cache, fe);  // what it laid out has changed
        if (fe->refcount == 0)
            fe_destroy(fe);
        break;
    }
    while (cache->layout_bytes + lo->bytes > ZO_LAYOUT_BUDGET) {
        file_entry *victim = least_used(cache, kind_bit(KIND_FOLDER_ZIP));
        if (!victim) {
            *note = RESOLVE_NO_STORAGE;
            return nullptr;
        }
        fe_unlink(cache, victim);
        fe_destroy(victim);
    }
    walking->mtime = lo->newest;
    walking->size = lo->size;
    walking->etag = lo->etag;
    walking->bytes = lo->bytes;
    walking->made = time_now();
    fe_insert(cache, walking);
    return walking;
}

namespace {

// `attachment; filename="NAME.zip"`, with `filename*` in UTF-8 where the name
// is not plain ASCII (the plain form then has "_" for those bytes).
int disposition(const char *name, char *out, size_t size)
{
    char plain[256], encoded[3 * 256 + 1];
    size_t p = 0, e = 0;
    bool ascii = true;
    for (const unsigned char *c = reinterpret_cast<const unsigned char *>(name); *c && p + 1 < sizeof plain; ++c) {
        const bool printable = *c >= 0x20 && *c < 0x7F && *c != '"' && *c != '\\';
        ascii = ascii && printable;
        plain[p++] = printable ? static_cast<char>(*c) : '_';
        if (isalnum(*c) || strchr("!#$&+-.^_`|~", *c)) {
            encoded[e++] = static_cast<char>(*c);
        } else {
            encoded[e++] = '%';
            encoded[e++] = HEX_DIGITS[*c >> 4];
            encoded[e++] = HEX_DIGITS[*c & 15];
        }
    }
    plain[p] = encoded[e] = 0;
    if (ascii)
        return snprintf(out, size, "\r\nContent-Disposition: attachment; filename=\"%s.zip\"", plain);
    return snprintf(out, size, "\r\nContent-Disposition: attachment; filename=\"%s.zip\"; filename*=UTF-8''%s.zip",
                    plain, encoded);
}

// The node of a member entry, streamed or kept inflated.
zip_node *member_node(const file_entry *fe)
{
    if (!fe->base || fe->base->kind != KIND_ZIP)
        return nullptr;
    if (fe->kind == KIND_MEMBER)
        return fe->handle.stream ? fe->handle.stream->node : nullptr;
    if (fe->kind != KIND_INFLATED)
        return nullptr;
    const size_t n = strlen(fe->base->name);
    return strncmp(fe->name, fe->base->name, n) == 0 && fe->name[n] == '/'
               ? zip_find(fe->base->handle.zip, fe->name + n + 1)
               : nullptr;
}

bool can_be_gzipped(const file_entry *fe)
{
    const zip_node *node = member_node(fe);
    return node && node->method == 8 && !(node->flags & 1);
}

}  // namespace

bool is_zip_query(const char *query)
{
    return query && strcmp(query, "zip") == 0;
}

uint32_t fe_header_lines(const file_entry *fe, char *out, uint32_t room)
{
    char line[1200];
    int n = 0;
    if (fe->kind == KIND_FOLDER_ZIP)
        n = disposition(fe->handle.layout->name, line, sizeof line);
    else if (fe->kind == KIND_GZIPPED)
        n = snprintf(line, sizeof line, "\r\nContent-Encoding: gzip\r\nVary: Accept-Encoding");
    else if (can_be_gzipped(fe))
        n = snprintf(line, sizeof line, "\r\nVary: Accept-Encoding");
    if (n <= 0 || static_cast<uint32_t>(n) >= room)
        return 0;
    memcpy(out, line, static_cast<size_t>(n) + 1);
    return static_cast<uint32_t>(n);
}

const char *fe_etag_suffix(const file_entry *fe)
{
    return fe->kind == KIND_GZIPPED ? "-gz" : "";
}

file_entry *fe_gzip_form(fe_cache *cache, file_entry *fe)
{
    if (!can_be_gzipped(fe))
        return fe;
    for (file_entry *g = *bucket_of(cache, fe->name); g; g = g->hash_next)
        if (g->kind == KIND_GZIPPED && g->base == fe->base && strcmp(g->name, fe->name) == 0) {
            g->used = ++cache->tick;
            return g;
        }
    zip_node *node = member_node(fe);
    gz_member *gz = gz_open(fe->base->handle.zip, node);
    file_entry *g = gz ? fe_new_sized(KIND_GZIPPED, fe->name, fe_handle{.gzip = gz}, fe->mtime,
                                      static_cast<int64_t>(node->csize + GZ_FRAMING))
                       : nullptr;
    if (!g)
        return fe;
    g->base = fe->base;
    fe_ref(g->base);
    g->etag = fe->etag;
    fe_insert(cache, g);
    return g;
}

file_entry *resolve_path(fe_cache *cache, const char *path, const char *page_path, const char *query,
                         resolve_note *note)
{
    *note = RESOLVE_OK;
    const size_t len = path ? strlen(path) : 0;
    if (len == 0 || len > RESOLVE_PATH_MAX)
        return nullptr;
    const bool slash = path[len - 1] == '/';
    if (slash && is_zip_query(query))
        return resolve_folder_zip(cache, path, len, note);
    const listing_query lq = parse_listing_query(query);

    // Any query on a listing bypasses the cached unsorted page: it is either
    // a sort request or rebuilt.
    file_entry *fe;
    if (!(slash && query) && (fe = lookup_kind(cache, path, slash ? LISTING_KINDS : BODY_KINDS)) &&
        !busy_member_stream(fe))
        return fe;

    // A sorted page's key is the path, "*" and its keys; a JSON listing's
    // key is that of its page followed by "?json". Keys hold only sort
    // letters, so no key is another's, nor a directory path (which ends in "/").
    char key[RESOLVE_BUF_SIZE];
    const char *sorted_key = nullptr;
    if (slash && (lq.sorted || lq.json)) {
        if (lq.sorted)
            compose_key(key, path, len, '*', lq.keys);
        else
            memcpy(key, path, len + 1);
        if (lq.json)
            strcat(key, "?json");
        sorted_key = key;
        if ((fe = lookup_kind(cache, sorted_key, LISTING_KINDS)))
            return fe;
    } else if (!slash) {
        if ((fe = lookup_kind(cache, compose_key(key, path, len, '/', ""), LISTING_KINDS))) {
            *note = RESOLVE_REDIRECT;
            return nullptr;
        }
    }

    // The first component named like an archive, followed by "/", that is an
    // archive file; later ones are names inside it.
    char work[RESOLVE_BUF_SIZE];
    memcpy(work, path, len + 1);
    for (size_t i = 0; i + 4 < len; ++i) {
        if (!is_archive_boundary(work + i))
            continue;
        work[i + 4] = 0;
        file_entry *archive;
        switch (find_archive(cache, work, &archive)) {
        case ARCHIVE_FOUND:
            return resolve_in_archive(cache, archive, work + i + 5, path, page_path, sorted_key, lq, note);
        case ARCHIVE_NOWHERE:
            return nullptr;
        case ARCHIVE_NO_ROOM:
            *note = RESOLVE_NO_RESOURCES;
            return nullptr;
        case ARCHIVE_NONE:
            break;
        }
        work[i + 4] = '/';
    }
    return resolve_on_disk(cache, path, len, page_path, sorted_key, lq, note);
}

void make_room_for_page(fe_cache *cache, uint64_t bytes)
{
    while (cache->pages >= MAX_CACHED_PAGES || cache->page_bytes + bytes > PAGE_BUDGET) {
        file_entry *victim = least_used(cache, LISTING_KINDS | kind_bit(KIND_DIR));
        if (!victim)
            return;
        fe_unlink(cache, victim);
        fe_destroy(victim);
    }
}
