// Path resolution: the entry answering a mapped request path, from the table
// or made now, on disk and inside archives, and folders laid out as downloads.
#include "file.h"

#include "dirscan.h"
#include "file_table.h"
#include "htproc.h"
#include "listing.h"
#include "memory.h"
#include "zip.h"
#include "zipout.h"

#include <cerrno>
#include <cstring>

namespace {

// What a request path may be answered with straight from the cache: a body
// under the path itself, or a listing under the path with its final "/".
constexpr uint32_t BODY_KINDS =
    kind_bit(KIND_FILE) | kind_bit(KIND_ZIP) | kind_bit(KIND_MEMBER) | kind_bit(KIND_INFLATED);
constexpr uint32_t LISTING_KINDS = kind_bit(KIND_PAGE);

bool out_of_resources()
{
    return errno == EMFILE || errno == ENFILE || errno == ENOMEM;
}

// The newest entry under `key` whose type is among `kinds`, fresh. Keys of
// different kinds can coincide when names hold a "*" (the file "d*" and the
// snapshot of "d/", the file "d/*dN" and a sorted page of "d/"), so each step
// asks only for the kinds it can use.
file_entry *lookup_kind(fe_cache *cache, const char *key, uint32_t kinds)
{
    for (file_entry *fe = fe_chain(cache, key); fe; fe = fe->hash_next)
        if ((kind_bit(fe->kind) & kinds) && strcmp(fe->name, key) == 0)
            return fe_check_fresh(cache, fe) ? fe : nullptr;
    return nullptr;
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
    for (file_entry *fe = fe_chain(cache, archive_path); fe; fe = fe->hash_next) {
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
            if (fe_check_fresh(cache, fe)) {
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
        zip_archive *za = zip_open(cache->zips, archive_path);
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
    make_room_for_inflated(cache, size);
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

// The snapshot of the directory `path` (with its final "/"), as `id` is now,
// from the table or made now. One snapshot, under the directory path with
// "*" for its final "/", serves every sort order of the directory, and its JSON.
file_entry *snapshot_of(fe_cache *cache, const char *path, size_t len, const file_id &id, resolve_note *note)
{
    char dir[RESOLVE_BUF_SIZE];
    memcpy(dir, path, len - 1);
    dir[len - 1] = '*';
    dir[len] = 0;
    if (file_entry *snap = lookup_kind(cache, dir, kind_bit(KIND_DIR)))
        return snap;
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
    file_entry *snap = fe_new(KIND_DIR, snap_key, fe_handle{.snapshot = rows}, 0);
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
    return snap;
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
    file_entry *snap = snapshot_of(cache, path, len, id, note);
    if (!snap)
        return nullptr;
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

// The archive a folder download's `path` (of `len` bytes) lies in, with
// `*prefix` pointing at the rest of the path inside `work`, a copy of it;
// none (ARCHIVE_NONE) when the folder is on disk.
archive_found folder_archive(fe_cache *cache, const char *path, size_t len, char *work, file_entry **archive,
                             char **prefix)
{
    memcpy(work, path, len + 1);
    *archive = nullptr;
    for (size_t i = 0; i + 4 < len; ++i) {
        if (!is_archive_boundary(work + i))
            continue;
        work[i + 4] = 0;
        const archive_found found = find_archive(cache, work, archive);
        if (found == ARCHIVE_FOUND)
            *prefix = work + i + 5;
        if (found != ARCHIVE_NONE)
            return found;
        work[i + 4] = '/';
    }
    return ARCHIVE_NONE;
}

// Starts laying out the folder `path`, inside `archive` at `prefix` or on
// disk: the layout still to be walked, or null when there is no such folder
// (`*no_room` set when memory ran out instead).
zo_layout *walk_folder(file_entry *archive, char *prefix, const char *path, bool *no_room)
{
    zo_layout *lo;
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
    *no_room = !lo;
    return lo;
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
    file_entry *archive;
    char *prefix = nullptr;
    switch (folder_archive(cache, path, len, work, &archive, &prefix)) {
    case ARCHIVE_NOWHERE:
        return nullptr;
    case ARCHIVE_NO_ROOM:
        *note = RESOLVE_NO_RESOURCES;
        return nullptr;
    default:
        break;
    }
    bool no_room = false;
    zo_layout *lo = walk_folder(archive, prefix, path, &no_room);
    // Until its walk is done the entry is its request's alone, out of the table.
    file_entry *walking = lo ? fe_new_sized(KIND_FOLDER_ZIP, key, fe_handle{.layout = lo}, 0, 0) : nullptr;
    if (!walking) {
        if (lo || no_room)
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
    for (file_entry *fe = fe_chain(cache, walking->name); fe; fe = fe->hash_next) {
        if (fe->kind != KIND_FOLDER_ZIP || strcmp(fe->name, walking->name) != 0)
            continue;
        if (fe->etag == lo->etag && fe->base == walking->base) {
            fe_touch(cache, fe);
            return fe;
        }
        fe_unlink(cache, fe);  // what it laid out has changed
        if (fe->refcount == 0)
            fe_destroy(fe);
        break;
    }
    if (!make_room_for_layout(cache, lo->bytes)) {
        *note = RESOLVE_NO_STORAGE;
        return nullptr;
    }
    walking->mtime = lo->newest;
    walking->size = lo->size;
    walking->etag = lo->etag;
    walking->bytes = lo->bytes;
    walking->made = time_now();
    fe_insert(cache, walking);
    return walking;
}

bool is_zip_query(const char *query)
{
    return query && strcmp(query, "zip") == 0;
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
