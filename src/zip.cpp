// ZIP archives: the central-directory reader with its name index, and the
// place of a member's data. The member streams are in zip_stream.cpp.
#include "zip.h"

#include "dirscan.h"
#include "memory.h"

#include <cstring>

namespace {

constexpr uint32_t ZDT_SIZE = 22;  // end-of-central-directory record
constexpr uint32_t CDR_SIZE = 46;  // central-directory record, fixed part
constexpr uint32_t LFH_SIZE = 30;  // local header, fixed part
constexpr uint32_t ZDT_SIGNATURE = 0x06054B50;
constexpr uint32_t CDR_SIGNATURE = 0x02014B50;
constexpr uint32_t LFH_SIGNATURE = 0x04034B50;
// ZIP64: a locator just before the end record points at a record with
// 64-bit counts and offsets; a central record whose size or offset field is
// saturated finds the value in its extra field of tag 1.
constexpr uint32_t Z64_LOCATOR_SIZE = 20;
constexpr uint32_t Z64_END_SIZE = 56;
constexpr uint32_t Z64_LOCATOR_SIGNATURE = 0x07064B50;
constexpr uint32_t Z64_END_SIGNATURE = 0x06064B50;
constexpr uint16_t Z64_EXTRA_TAG = 0x0001;
constexpr uint16_t TIMESTAMP_EXTRA_TAG = 0x5455;  // "UT": times in seconds since 1970, UTC
constexpr uint32_t SATURATED = 0xFFFFFFFF;
constexpr uint32_t SCRATCH_SIZE = 8192;
constexpr uint32_t DIR_WINDOW_SIZE = 16384;

// The name index may hold at most this many bytes per byte of directory read,
// plus a fixed allowance: deep paths with short components would otherwise
// make the implicit directories grow with the square of the path length.
constexpr uint64_t INDEX_BYTES_PER_DIR_BYTE = 32;
constexpr uint64_t INDEX_BYTES_ALLOWANCE = 4u << 20;
// The bucket array is sized by the records the directory claims, as far as
// its bytes can hold them, up to this many buckets.
constexpr uint64_t MAX_BUCKETS = 1u << 24;

uint16_t get16(const unsigned char *p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t get32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

uint64_t get64(const unsigned char *p)
{
    return get32(p) | static_cast<uint64_t>(get32(p + 4)) << 32;
}

// ---- name index ----

size_t node_bytes(size_t path_length)
{
    return sizeof(zip_node) + path_length + 1;
}

// A zeroed node holding a copy of the first `length` bytes of `path`.
zip_node *node_new(const char *path, size_t length)
{
    auto *node = static_cast<zip_node *>(counted_calloc(&n_blocks, 1, node_bytes(length)));
    if (!node)
        return nullptr;
    node->path = reinterpret_cast<char *>(node + 1);
    memcpy(node->path, path, length);
    node->path[length] = 0;
    return node;
}

zip_node *index_find(const zip_index *ix, const char *path)
{
    for (zip_node *n = ix->buckets[string_hash(path, ix->nbuckets)]; n; n = n->hash_next)
        if (strcmp(n->path, path) == 0)
            return n;
    return nullptr;
}

void index_push(zip_index *ix, zip_node *node)
{
    zip_node **head = &ix->buckets[string_hash(node->path, ix->nbuckets)];
    node->hash_next = *head;
    *head = node;
    ix->nnodes++;
}

// Appends `node` at the end of the ring that `*head` starts.
void ring_append(zip_node **head, zip_node *node)
{
    if (!*head) {
        node->prev = node->next = node;
        *head = node;
        return;
    }
    zip_node *first = *head, *last = first->prev;
    node->prev = last;
    node->next = first;
    last->next = node;
    first->prev = node;
}

// Cuts `path` back to its parent's path, dropping the empty components that
// doubled slashes leave; false when it has no parent.
bool cut_to_parent(char *path)
{
    char *slash = strrchr(path, '/');
    if (!slash)
        return false;
    while (slash > path && slash[-1] == '/')
        --slash;
    *slash = 0;
    return true;
}

// Indexes `node`, making a directory node for every ancestor the index does
// not hold yet. Returns 1 when linked, 0 when the path was already indexed
// (the node is released), -1 when memory or the index budget ran out (the node
// is released and the index is unchanged).
int index_insert(zip_index *ix, zip_node *node, uint64_t budget)
{
    if (index_find(ix, node->path)) {
        counted_free(&n_blocks, node);
        return 0;
    }
    const size_t length = strlen(node->path);
    char scratch[SCRATCH_SIZE];
    char *buf = scratch;
    if (length >= SCRATCH_SIZE)
        buf = static_cast<char *>(counted_alloc(&n_blocks, length + 1));
    if (!buf) {
        counted_free(&n_blocks, node);
        return -1;
    }
    memcpy(buf, node->path, length + 1);

    // Make the missing ancestors first, nearest first, chained through
    // hash_next, so that a failure leaves the index as it was.
    uint64_t bytes = node_bytes(length);
    zip_node *made = nullptr, **made_tail = &made;
    zip_node *parent = nullptr;
    bool failed = ix->nbytes + bytes > budget;
    while (!failed && cut_to_parent(buf)) {
        parent = index_find(ix, buf);
        if (parent)
            break;
        const size_t plen = strlen(buf);
        bytes += node_bytes(plen);
        zip_node *dir = ix->nbytes + bytes <= budget ? node_new(buf, plen) : nullptr;
        if (!dir) {
            failed = true;
            break;
        }
        *made_tail = dir;
        made_tail = &dir->hash_next;
    }
    if (buf != scratch)
        counted_free(&n_blocks, buf);
    if (failed) {
        while (made) {
            zip_node *next = made->hash_next;
            counted_free(&n_blocks, made);
            made = next;
        }
        counted_free(&n_blocks, node);
        return -1;
    }

    ix->nbytes += bytes;
    node->child = nullptr;
    node->nchildren = 0;
    index_push(ix, node);
    zip_node *cur = node;
    while (made) {
        zip_node *dir = made;
        made = made->hash_next;
        index_push(ix, dir);
        cur->prev = cur->next = cur;
        dir->nchildren = 1;
        dir->child = cur;
        cur = dir;
    }
    if (parent) {
        parent->nchildren++;
        ring_append(&parent->child, cur);
    } else {
        ix->ntop++;
        ring_append(&ix->top, cur);
    }
    return 1;
}

// ---- central directory ----

// Reads the central directory through a window, one read for many records.
struct dir_reader {
    int fd;
    uint64_t length;
    uint64_t start;
    uint32_t filled;
    unsigned char window[DIR_WINDOW_SIZE];
};

// Copies the `n` bytes at `pos` into `dst`; -1 when they are not all inside the file.
int dir_read(dir_reader *r, uint64_t pos, void *dst, uint32_t n)
{
    if (pos > r->length || n > r->length - pos)
        return -1;
    if (pos >= r->start && pos - r->start + n <= r->filled) {
        memcpy(dst, r->window + (pos - r->start), n);
        return 1;
    }
    if (n > DIR_WINDOW_SIZE)
        return file_read_at(r->fd, dst, n, pos);
    const uint64_t left = r->length - pos;
    const uint32_t k = left < DIR_WINDOW_SIZE ? static_cast<uint32_t>(left) : DIR_WINDOW_SIZE;
    r->filled = 0;
    if (file_read_at(r->fd, r->window, k, pos) < 0)
        return -1;
    r->start = pos;
    r->filled = k;
    memcpy(dst, r->window, n);
    return 1;
}

// Single-volume archives only: one of the volume fields must say so.
bool one_volume(uint32_t disk, uint32_t cd_disk, uint64_t on_disk, uint64_t total)
{
    return disk == 0 || cd_disk == 0 || on_disk == total;
}

// Takes the directory's place and record count from the ZIP64 record when a
// locator stands just before the end record at `zdt_pos`. True when there is
// none or it is sound; false for a volume set, or a record that is missing,
// overlaps what points at it, or claims a directory past its own start or
// more records than the directory's bytes can hold.
bool read_zip64_end(zip_archive *za, uint64_t zdt_pos)
{
    unsigned char loc[Z64_LOCATOR_SIZE];
    if (zdt_pos < Z64_LOCATOR_SIZE || file_read_at(za->fd, loc, Z64_LOCATOR_SIZE, zdt_pos - Z64_LOCATOR_SIZE) < 0 ||
        get32(loc) != Z64_LOCATOR_SIGNATURE)
        return true;
    const uint64_t loc_pos = zdt_pos - Z64_LOCATOR_SIZE;
    const uint64_t end_pos = get64(loc + 8);
    unsigned char end[Z64_END_SIZE];
    if (get32(loc + 16) > 1 || loc_pos < Z64_END_SIZE || end_pos > loc_pos - Z64_END_SIZE ||
        file_read_at(za->fd, end, Z64_END_SIZE, end_pos) < 0 || get32(end) != Z64_END_SIGNATURE ||
        !one_volume(get32(end + 16), get32(end + 20), get64(end + 24), get64(end + 32)))
        return false;
    za->entries = get64(end + 32);
    za->cd_size = get64(end + 40);
    za->cd_start = get64(end + 48);
    return za->cd_start <= end_pos && za->cd_size <= end_pos - za->cd_start && za->entries <= za->cd_size / CDR_SIZE;
}

// Reads the extra fields that matter among the `length` bytes at `pos`: the
// ZIP64 field replaces the saturated size and offset fields of `node` by its
// values, which are exactly those, in the order of the record; the extended
// timestamp gives the modification time in UTC, which the DOS time (local,
// in two-second steps) only approximates. -1 when a ZIP64 field that is
// needed is too short or runs past the extra fields; a record without it
// keeps its values as they are.
int read_extra_fields(dir_reader *r, uint64_t pos, uint32_t length, zip_node *node)
{
    uint64_t *const order[] = {&node->usize, &node->csize, &node->local_offset};
    uint64_t *fields[3];
    uint32_t n = 0;
    for (uint64_t *f : order)
        if (*f == SATURATED)
            fields[n++] = f;
    for (uint32_t at = 0; at + 4 <= length;) {
        unsigned char head[9];
        const uint32_t got = length - at >= 9 ? 9 : 4;
        if (dir_read(r, pos + at, head, got) < 0)
            return n > 0 ? -1 : 0;  // only a needed field makes the record unreadable
        const uint16_t size = get16(head + 2);
        if (get16(head) == Z64_EXTRA_TAG && n > 0) {
            unsigned char values[24];
            if (size < 8 * n || size > length - at - 4 || dir_read(r, pos + at + 4, values, 8 * n) < 0)
                return -1;
            for (uint32_t i = 0; i < n; i++)
                *fields[i] = get64(values + 8 * i);
            n = 0;
        } else if (get16(head) == TIMESTAMP_EXTRA_TAG && size >= 5 && got == 9 && size <= length - at - 4 &&
                   (head[4] & 1)) {
            node->mtime = static_cast<int32_t>(get32(head + 5));
        }
        at += 4 + size;
    }
    return 0;
}

// Reads the whole central directory into the name index. A damaged record,
// or one the index budget cannot take, ends the reading; the records before
// it stay.
void read_directory(zip_archive *za)
{
    dir_reader reader;
    reader.fd = za->fd;
    reader.length = za->length;
    reader.start = 0;
    reader.filled = 0;
    uint64_t pos = za->cd_start;
    while (za->entries_read < za->entries) {
        unsigned char rec[CDR_SIZE];
        if (dir_read(&reader, pos, rec, CDR_SIZE) < 0 || get32(rec) != CDR_SIGNATURE)
            break;
        const uint16_t name_length = get16(rec + 28), extra_length = get16(rec + 30);
        auto *node = static_cast<zip_node *>(counted_calloc(&n_blocks, 1, node_bytes(name_length)));
        if (node)
            node->path = reinterpret_cast<char *>(node + 1);
        if (!node || dir_read(&reader, pos + CDR_SIZE, node->path, name_length) < 0) {
            counted_free(&n_blocks, node);
            break;
        }
        node->path[name_length] = 0;
        node->named_dir = name_length > 0 && node->path[name_length - 1] == '/';
        // Index "/d/x/" as "d/x".
        char *start = node->path;
        while (*start == '/')
            ++start;
        size_t length = strlen(start);
        while (length > 0 && start[length - 1] == '/')
            --length;
        memmove(node->path, start, length);
        node->path[length] = 0;

        node->flags = get16(rec + 8);
        node->method = get16(rec + 10);
        node->mtime = dos_to_time(get16(rec + 14), get16(rec + 12));
        node->crc32 = get32(rec + 16);
        node->csize = get32(rec + 20);
        node->usize = get32(rec + 24);
        node->local_offset = get32(rec + 42);
        if (read_extra_fields(&reader, pos + CDR_SIZE + name_length, extra_length, node) < 0) {
            counted_free(&n_blocks, node);
            break;
        }
        const uint64_t next = pos + CDR_SIZE + name_length + extra_length + get16(rec + 32);

        if (length == 0 || (!tree_rules_in_force().show_hidden && is_hidden_path(node->path))) {
            // A name of nothing but slashes names no member; a hidden one is not published.
            counted_free(&n_blocks, node);
        } else {
            const uint64_t budget = INDEX_BYTES_ALLOWANCE + INDEX_BYTES_PER_DIR_BYTE * (next - za->cd_start);
            if (index_insert(&za->index, node, budget) < 0)
                break;
        }
        pos = next;
        za->entries_read++;
    }
}

// ---- member data ----
}  // namespace

zip_archive *zip_open(zip_set *set, const char *path)
{
    const int fd = counted_open_in_tree(path);
    if (fd < 0)
        return nullptr;
    auto *za = static_cast<zip_archive *>(counted_calloc(&n_blocks, 1, sizeof(zip_archive)));
    if (!za) {
        counted_close(fd);
        return nullptr;
    }
    za->fd = fd;
    za->set = set;
    const int64_t length = file_length(fd);
    if (length <= static_cast<int64_t>(ZDT_SIZE)) {
        zip_close(za);
        return nullptr;
    }
    za->length = static_cast<uint64_t>(length);

    // The record nearest the end of the file within its last 8192 bytes.
    unsigned char scratch[SCRATCH_SIZE];
    const uint32_t n = za->length < SCRATCH_SIZE ? static_cast<uint32_t>(za->length) : SCRATCH_SIZE;
    if (file_read_at(fd, scratch, n, za->length - n) < 0) {
        zip_close(za);
        return nullptr;
    }
    ASSERT(n > ZDT_SIZE);
    const unsigned char *zdt = nullptr;
    for (uint32_t pos = n - ZDT_SIZE + 1; pos-- > 0;) {
        if (get32(scratch + pos) == ZDT_SIGNATURE) {
            zdt = scratch + pos;
            break;
        }
    }
    if (!zdt || !one_volume(get16(zdt + 4), get16(zdt + 6), get16(zdt + 8), get16(zdt + 10))) {
        zip_close(za);
        return nullptr;
    }
    za->entries = get16(zdt + 10);
    za->cd_size = get32(zdt + 12);
    za->cd_start = get32(zdt + 16);
    if (!read_zip64_end(za, za->length - n + static_cast<uint64_t>(zdt - scratch))) {
        zip_close(za);
        return nullptr;
    }

    zip_index *ix = &za->index;
    const uint64_t room = za->cd_start < za->length ? (za->length - za->cd_start) / CDR_SIZE : 0;
    const uint64_t records = za->entries < room ? za->entries : room;
    ix->nbuckets = static_cast<uint32_t>(records / 4 + 5 < MAX_BUCKETS ? records / 4 + 5 : MAX_BUCKETS);
    ix->buckets = static_cast<zip_node **>(counted_calloc(&n_blocks, ix->nbuckets, sizeof(zip_node *)));
    if (!ix->buckets)
        panic("No enough memory to allocate the hash table");
    read_directory(za);
    return za;
}

zip_node *zip_find(zip_archive *za, const char *path)
{
    if (!za || !path)
        return nullptr;
    return index_find(&za->index, path);
}

zip_node *zip_list(zip_archive *za, const char *path)
{
    if (!za)
        return nullptr;
    if (!path || !*path || strcmp(path, "/") == 0)
        return za->index.top;
    zip_node *node = zip_find(za, path);
    return node ? node->child : nullptr;
}

void zip_close(zip_archive *za)
{
    if (!za)
        return;
    counted_close(za->fd);
    zip_forget_checkpoints(za);
    zip_index *ix = &za->index;
    if (ix->buckets) {
        for (uint32_t i = 0; i < ix->nbuckets; i++) {
            zip_node *node = ix->buckets[i];
            while (node) {
                zip_node *next = node->hash_next;
                counted_free(&n_blocks, node);
                node = next;
            }
        }
        counted_free(&n_blocks, ix->buckets);
    }
    counted_free(&n_blocks, za);
}

bool zip_member_data(zip_archive *za, const zip_node *node, uint64_t *offset)
{
    unsigned char lfh[LFH_SIZE];
    if (za->length < LFH_SIZE || node->local_offset > za->length - LFH_SIZE ||
        file_read_at(za->fd, lfh, LFH_SIZE, node->local_offset) < 0 || get32(lfh) != LFH_SIGNATURE)
        return false;
    // The local extra fields (a ZIP64 one among them) are skipped: sizes
    // and offsets come from the central directory.
    const uint64_t data_offset = node->local_offset + LFH_SIZE + get16(lfh + 26) + get16(lfh + 28);
    if (data_offset > za->length || node->csize > za->length - data_offset)
        return false;
    *offset = data_offset;
    return true;
}
