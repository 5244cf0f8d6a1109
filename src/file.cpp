// File entries and the entry table: the entries' life and reads, the table
// under their names with its list by last use, its budgets and its
// freshness checks.
#include "file.h"

#include "dirscan.h"
#include "file_table.h"
#include "htproc.h"
#include "memory.h"
#include "zip.h"
#include "zipout.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>

namespace {

constexpr int FE_HASH_SIZE = 200;
constexpr int32_t MAX_OPEN_ARCHIVES = 64;              // and at most a quarter of the descriptor limit
constexpr uint64_t INDEX_BUDGET = uint64_t{64} << 20;  // bytes of the open archives' name indexes
constexpr uint64_t INFLATED_BUDGET = uint64_t{32} << 20;
// A listing of a disk directory is rebuilt after this many seconds: a file
// changed in place does not change its directory, yet its row shows its size.
constexpr int64_t LISTING_LIFETIME = 1;

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

}  // namespace

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

// A new entry whose body length is already known, or -1 when it could not be told.
file_entry *fe_new_sized(entry_kind kind, const char *name, fe_handle handle, int64_t mtime, int64_t size)
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

file_entry *fe_add_static(fe_cache *cache, const char *name, const unsigned char *bytes, uint32_t length, int64_t mtime)
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

void list_push(fe_cache *cache, file_entry *fe)
{
    fe->newer = nullptr;
    fe->older = cache->newest;
    if (cache->newest)
        cache->newest->newer = fe;
    else
        cache->oldest = fe;
    cache->newest = fe;
}

void list_cut(fe_cache *cache, file_entry *fe)
{
    if (fe->newer)
        fe->newer->older = fe->older;
    else
        cache->newest = fe->older;
    if (fe->older)
        fe->older->newer = fe->newer;
    else
        cache->oldest = fe->newer;
    fe->newer = fe->older = nullptr;
}

// Releases unreferenced entries of the kinds asked, least recently used
// first, while `over` holds; false when it still holds and none is left.
// One walk from the old end: what it passed stays as it was, since entries
// of these kinds hold only archives, which are none of them.
template <typename Over>
bool release_while(fe_cache *cache, uint32_t kinds, Over over)
{
    file_entry *fe = cache->oldest;
    while (over()) {
        while (fe && !((kind_bit(fe->kind) & kinds) && fe->refcount == 0))
            fe = fe->newer;
        if (!fe)
            return false;
        file_entry *victim = fe;
        fe = fe->newer;
        fe_unlink(cache, victim);
        fe_destroy(victim);
    }
    return true;
}

// Drops every unreferenced entry made from `archive` (its pages); true
// when nothing else holds the archive any more.
bool drop_children(fe_cache *cache, file_entry *archive)
{
    file_entry *next;
    for (file_entry *fe = cache->oldest; fe && archive->refcount > 0; fe = next) {
        next = fe->newer;
        if (fe->base == archive && fe->refcount == 0) {
            fe_unlink(cache, fe);
            ++archive->refcount;  // kept alive through the child's release
            fe_destroy(fe);
            --archive->refcount;
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

}  // namespace

void fe_insert(fe_cache *cache, file_entry *fe)
{
    file_entry **head = bucket_of(cache, fe->name);
    fe->hash_next = *head;
    *head = fe;
    fe->in_table = true;
    list_push(cache, fe);
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
            list_cut(cache, fe);
            cache->nentries--;
            account(cache, fe, -1);
            return;
        }
    }
}

file_entry *fe_chain(fe_cache *cache, const char *name)
{
    return *bucket_of(cache, name);
}

void fe_touch(fe_cache *cache, file_entry *fe)
{
    if (fe != cache->newest) {
        list_cut(cache, fe);
        list_push(cache, fe);
    }
}

bool fe_cache_init(fe_cache *cache)
{
    *cache = fe_cache{};
    cache->hash_size = FE_HASH_SIZE;
    cache->hash = static_cast<file_entry **>(calloc(FE_HASH_SIZE, sizeof(file_entry *)));
    cache->zips = zip_set_new();
    // Open archives keep a descriptor each: never so many that accepting fails.
    rlimit rl{};
    const int64_t quarter = getrlimit(RLIMIT_NOFILE, &rl) == 0 ? static_cast<int64_t>(rl.rlim_cur / 4) : 64;
    cache->max_archives = static_cast<int32_t>(std::max<int64_t>(1, std::min<int64_t>(MAX_OPEN_ARCHIVES, quarter)));
    return cache->hash != nullptr && cache->zips != nullptr;
}

void fe_cache_destroy(fe_cache *cache)
{
    // Entries made from an archive first: each holds a reference on it.
    for (int pass = 0; pass < 2; ++pass) {
        file_entry *next;
        for (file_entry *fe = cache->oldest; fe; fe = next) {
            next = fe->newer;
            if (pass == 0 && !fe->base)
                continue;
            fe_unlink(cache, fe);
            fe->refcount = 0;
            fe_destroy(fe);
        }
    }
    free(cache->hash);
    zip_set_free(cache->zips);
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
        file_entry *next;
        for (file_entry *fe = cache->oldest; fe; fe = next) {
            next = fe->newer;
            if (fe->refcount == 0) {
                ASSERT(fe->kind != KIND_STATIC);
                fe_unlink(cache, fe);
                fe_destroy(fe);
                more = true;
            } else if (fe->kind == KIND_ZIP) {
                zip_forget_checkpoints(fe->handle.zip);  // an archive in use goes on without them
            }
        }
    }
}

bool fe_check_fresh(fe_cache *cache, file_entry *fe)
{
    if (!fe->in_table)
        return false;
    // Requests that arrived together in one turn of the loop share a check.
    if (cache->turn != 0 && fe->checked == cache->turn) {
        fe_touch(cache, fe);
        return true;
    }
    bool fresh = true;
    if (fe->base) {
        // Held meanwhile: a stale archive drops its idle pages, not this one.
        fe_ref(fe);
        fresh = fe_check_fresh(cache, fe->base);
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
        fe_touch(cache, fe);
        fe->checked = cache->turn;
    } else {
        drop_stale(cache, fe);
    }
    return fresh;
}

void make_room_for_page(fe_cache *cache, uint64_t bytes)
{
    release_while(cache, kind_bit(KIND_PAGE) | kind_bit(KIND_DIR),
                  [&] { return cache->pages >= MAX_CACHED_PAGES || cache->page_bytes + bytes > PAGE_BUDGET; });
}

void make_room_for_inflated(fe_cache *cache, uint64_t bytes)
{
    release_while(cache, kind_bit(KIND_INFLATED), [&] { return cache->inflated_bytes + bytes > INFLATED_BUDGET; });
}

bool make_room_for_layout(fe_cache *cache, uint64_t bytes)
{
    return release_while(cache, kind_bit(KIND_FOLDER_ZIP),
                         [&] { return cache->layout_bytes + bytes > ZO_LAYOUT_BUDGET; });
}

// Closes archives, least recently used first, until one more fits: each is
// tried once, and goes when its only holders are its idle pages, with them.
void make_room_for_archive(fe_cache *cache)
{
    file_entry *fe = cache->oldest;
    while (cache->archives >= cache->max_archives || cache->index_bytes > INDEX_BUDGET) {
        while (fe && fe->kind != KIND_ZIP)
            fe = fe->newer;
        if (!fe)
            return;  // every archive is in use: the budget waits for them
        file_entry *archive = fe;
        const bool idle = drop_children(cache, archive);
        fe = archive->newer;  // its pages that went are out of the list by now
        if (idle) {
            fe_unlink(cache, archive);
            fe_destroy(archive);
        }
    }
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
            fe_touch(cache, g);
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
