// Archives written as they are sent: the walk of a folder, its layout, the
// bytes of the download at any offset, and gzip framing of deflated members.
#include "zipout.h"

#include "crc32.h"
#include "memory.h"
#include "zip.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>
#include <dirent.h>
#include <sys/stat.h>

namespace {

constexpr uint32_t LFH_SIZE = 30;
constexpr uint32_t CDR_SIZE = 46;
constexpr uint32_t EOCD_SIZE = 22;
constexpr uint32_t Z64_END_SIZE = 56;
constexpr uint32_t Z64_LOCATOR_SIZE = 20;
constexpr uint32_t Z64_LOCAL_EXTRA = 20;  // tag, length, both sizes
constexpr uint64_t MAX32 = 0xFFFFFFFF;
constexpr uint16_t FLAG_DESCRIPTOR = 0x0008;
constexpr uint16_t FLAG_UTF8 = 0x0800;
// Flags a copied member keeps: encryption and its deflate options.
constexpr uint16_t FLAGS_KEPT = 0x0007;
constexpr uint32_t MAX_DEPTH = 64;
constexpr size_t WALK_PATH_SIZE = PATH_MAX + 1;
constexpr uint32_t CRC_CHUNK = 256 << 10;

// The local header being copied out, and a file's bytes on their way to the
// CRC-32; one thread sends, so one of each serves every download.
unsigned char header_buf[CDR_SIZE + 65535 + 28];
unsigned char crc_buf[CRC_CHUNK];

void put16(unsigned char *p, uint64_t v)
{
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char *p, uint64_t v)
{
    put16(p, v);
    put16(p + 2, v >> 16);
}

void put64(unsigned char *p, uint64_t v)
{
    put32(p, v);
    put32(p + 4, v >> 32);
}

uint64_t sat32(uint64_t v)
{
    return v >= MAX32 ? MAX32 : v;
}

// ---- layout sizes ----

uint32_t local_size(const zo_member &m)
{
    return LFH_SIZE + m.name_len + (m.zip64 ? Z64_LOCAL_EXTRA : 0);
}

uint32_t descriptor_size(const zo_member &m)
{
    return m.source == ZO_FILE ? (m.zip64 ? 24 : 16) : 0;
}

uint32_t central_extra_size(const zo_member &m)
{
    const uint32_t n = (m.usize >= MAX32) + (m.csize >= MAX32) + (m.offset >= MAX32);
    return n ? 4 + 8 * n : 0;
}

uint32_t central_size(const zo_member &m)
{
    return CDR_SIZE + m.name_len + central_extra_size(m);
}

uint64_t member_end(const zo_member &m)
{
    return m.offset + local_size(m) + m.csize + descriptor_size(m);
}

// MS-DOS time and date of a time in seconds, local time as the reader of
// archives assumes; before 1980 counts as its first second.
void dos_time(int64_t seconds, uint16_t *time, uint16_t *date)
{
    time_t t = static_cast<time_t>(seconds);
    struct tm tm;
    if (!localtime_r(&t, &tm) || tm.tm_year < 80) {
        *time = 0;
        *date = (1 << 5) | 1;
        return;
    }
    if (tm.tm_year > 207)
        tm = {.tm_sec = 58, .tm_min = 59, .tm_hour = 23, .tm_mday = 31, .tm_mon = 11, .tm_year = 207};
    *time = static_cast<uint16_t>(tm.tm_hour << 11 | tm.tm_min << 5 | tm.tm_sec / 2);
    *date = static_cast<uint16_t>((tm.tm_year - 80) << 9 | (tm.tm_mon + 1) << 5 | tm.tm_mday);
}

int64_t seconds_of(const zo_member &m)
{
    return m.mtime_ns / 1000000000;
}

uint16_t flags_of(const zo_member &m)
{
    return static_cast<uint16_t>(m.flags | FLAG_UTF8 | (m.source == ZO_FILE ? FLAG_DESCRIPTOR : 0));
}

uint16_t version_needed(const zo_member &m)
{
    const uint16_t method = m.method == 0 ? (m.source == ZO_DIR ? 20 : 10) : m.method == 8 ? 20 : m.method == 12 ? 46 : 63;
    return m.zip64 || central_extra_size(m) ? std::max<uint16_t>(method, 45) : method;
}

// The fields local and central records share, from "version needed" on.
void common_fields(unsigned char *p, const zo_member &m, bool local)
{
    uint16_t time, date;
    dos_time(seconds_of(m), &time, &date);
    put16(p, version_needed(m));
    put16(p + 2, flags_of(m));
    put16(p + 4, m.method);
    put16(p + 6, time);
    put16(p + 8, date);
    // A disk file's CRC-32 follows its data; the central record has it.
    put32(p + 10, local && m.source == ZO_FILE ? 0 : m.crc);
    put32(p + 14, local && m.zip64 ? MAX32 : sat32(m.csize));
    put32(p + 18, local && m.zip64 ? MAX32 : sat32(m.usize));
    put16(p + 22, m.name_len);
}

uint32_t write_local(const zo_layout *lo, const zo_member &m, unsigned char *p)
{
    put32(p, 0x04034B50);
    common_fields(p + 4, m, true);
    put16(p + 28, m.zip64 ? Z64_LOCAL_EXTRA : 0);
    memcpy(p + LFH_SIZE, lo->names + m.name_at, m.name_len);
    unsigned char *x = p + LFH_SIZE + m.name_len;
    if (m.zip64) {
        put16(x, 1);
        put16(x + 2, 16);
        put64(x + 4, m.usize);
        put64(x + 12, m.csize);
    }
    return local_size(m);
}

uint32_t write_descriptor(const zo_member &m, unsigned char *p)
{
    put32(p, 0x08074B50);
    put32(p + 4, m.crc);
    if (m.zip64) {
        put64(p + 8, m.csize);
        put64(p + 16, m.usize);
    } else {
        put32(p + 8, m.csize);
        put32(p + 12, m.usize);
    }
    return descriptor_size(m);
}

uint32_t write_central(const zo_layout *lo, const zo_member &m, unsigned char *p)
{
    put32(p, 0x02014B50);
    put16(p + 4, 3 << 8 | 63);  // made on Unix, by version 6.3 of the format
    common_fields(p + 6, m, false);
    put16(p + 30, central_extra_size(m));
    put16(p + 32, 0);  // comment
    put16(p + 34, 0);  // disk
    put16(p + 36, 0);  // internal attributes
    put32(p + 38, m.source == ZO_DIR ? (040755u << 16 | 0x10) : 0100644u << 16);
    put32(p + 42, sat32(m.offset));
    memcpy(p + CDR_SIZE, lo->names + m.name_at, m.name_len);
    unsigned char *x = p + CDR_SIZE + m.name_len;
    if (const uint32_t extra = central_extra_size(m)) {
        put16(x, 1);
        put16(x + 2, extra - 4);
        x += 4;
        for (const uint64_t v : {m.usize, m.csize, m.offset})
            if (v >= MAX32) {
                put64(x, v);
                x += 8;
            }
    }
    return central_size(m);
}

bool zip64_end(const zo_layout *lo)
{
    return lo->count >= 0xFFFF || lo->cd_offset >= MAX32 || lo->cd_size >= MAX32;
}

// The end records: ZIP64 ones first where the counts or offsets need them.
uint32_t write_end(const zo_layout *lo, unsigned char *p)
{
    unsigned char *start = p;
    const bool z64 = zip64_end(lo);
    if (z64) {
        put32(p, 0x06064B50);
        put64(p + 4, Z64_END_SIZE - 12);
        put16(p + 12, 3 << 8 | 63);
        put16(p + 14, 45);
        put32(p + 16, 0);
        put32(p + 20, 0);
        put64(p + 24, lo->count);
        put64(p + 32, lo->count);
        put64(p + 40, lo->cd_size);
        put64(p + 48, lo->cd_offset);
        p += Z64_END_SIZE;
        put32(p, 0x07064B50);
        put32(p + 4, 0);
        put64(p + 8, lo->end_offset);
        put32(p + 16, 1);
        p += Z64_LOCATOR_SIZE;
    }
    put32(p, 0x06054B50);
    put32(p + 4, 0);
    put16(p + 8, z64 ? 0xFFFF : lo->count);
    put16(p + 10, z64 ? 0xFFFF : lo->count);
    put32(p + 12, z64 ? MAX32 : lo->cd_size);
    put32(p + 16, z64 ? MAX32 : lo->cd_offset);
    put16(p + 20, 0);
    return static_cast<uint32_t>(p + EOCD_SIZE - start);
}

// ---- building a layout ----

uint64_t fnv(uint64_t h, const void *data, size_t n)
{
    const auto *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 0x100000001B3ull;
    return h;
}

uint64_t fnv_word(uint64_t h, uint64_t v)
{
    return fnv(h, &v, sizeof v);
}

zo_layout *layout_new()
{
    auto *lo = static_cast<zo_layout *>(counted_calloc(&n_blocks, 1, sizeof(zo_layout)));
    if (lo) {
        lo->fd = -1;
        lo->etag = 0xCBF29CE484222325ull;
    }
    return lo;
}

uint64_t layout_bytes(const zo_layout *lo)
{
    return sizeof(zo_layout) + uint64_t{lo->capacity} * sizeof(zo_member) + lo->names_cap;
}

// A new member named `prefix` + `name` (+ "/" for a folder); null when the
// layout would grow beyond `limit` (*too_large set) or memory ran out.
zo_member *add_member(zo_layout *lo, const char *prefix, size_t prefix_len, const char *name, zo_source source,
                      uint64_t limit, bool *too_large)
{
    const size_t name_len = strlen(name);
    const size_t len = prefix_len + name_len + (source == ZO_DIR ? 1 : 0);
    if (len > 65535 || lo->count == UINT32_MAX) {
        *too_large = true;
        return nullptr;
    }
    if (lo->count == lo->capacity) {
        const uint32_t cap = lo->capacity ? lo->capacity * 2 : 64;
        if (layout_bytes(lo) + uint64_t{cap - lo->capacity} * sizeof(zo_member) > limit) {
            *too_large = true;
            return nullptr;
        }
        void *grown = counted_realloc(&n_blocks, lo->members, size_t{cap} * sizeof(zo_member));
        if (!grown)
            return nullptr;
        lo->members = static_cast<zo_member *>(grown);
        lo->capacity = cap;
    }
    if (lo->names_len + len > lo->names_cap) {
        uint64_t cap = lo->names_cap ? lo->names_cap * 2 : 4096;
        while (cap < lo->names_len + len)
            cap *= 2;
        if (layout_bytes(lo) - lo->names_cap + cap > limit || cap > UINT32_MAX) {
            *too_large = true;
            return nullptr;
        }
        void *grown = counted_realloc(&n_blocks, lo->names, cap);
        if (!grown)
            return nullptr;
        lo->names = static_cast<char *>(grown);
        lo->names_cap = cap;
    }
    zo_member &m = lo->members[lo->count++];
    m = zo_member{};
    m.name_at = static_cast<uint32_t>(lo->names_len);
    m.name_len = static_cast<uint16_t>(len);
    m.source = source;
    char *at = lo->names + lo->names_len;
    memcpy(at, prefix, prefix_len);
    memcpy(at + prefix_len, name, name_len);
    if (source == ZO_DIR)
        at[len - 1] = '/';
    lo->names_len += len;
    lo->etag = fnv(fnv_word(lo->etag, source), at, len);
    return &m;
}

// Offsets of every record, the central directory and the length, once the
// members are known; memory beyond what they need goes back.
void finish(zo_layout *lo)
{
    uint64_t pos = 0;
    for (uint32_t i = 0; i < lo->count; ++i) {
        zo_member &m = lo->members[i];
        m.offset = pos;
        m.zip64 = m.csize >= MAX32 || m.usize >= MAX32;
        pos = member_end(m);
        if (m.source == ZO_FILE && !m.crc_known)
            ++lo->crc_missing;
        if (seconds_of(m) > lo->newest)
            lo->newest = seconds_of(m);
    }
    lo->cd_offset = pos;
    for (uint32_t i = 0; i < lo->count; ++i) {
        lo->members[i].cd_offset = pos;
        pos += central_size(lo->members[i]);
    }
    lo->cd_size = pos - lo->cd_offset;
    lo->end_offset = pos;
    lo->size = pos + (zip64_end(lo) ? Z64_END_SIZE + Z64_LOCATOR_SIZE : 0) + EOCD_SIZE;
    if (lo->count < lo->capacity && lo->count > 0)
        if (void *fit = counted_realloc(&n_blocks, lo->members, size_t{lo->count} * sizeof(zo_member))) {
            lo->members = static_cast<zo_member *>(fit);
            lo->capacity = lo->count;
        }
    if (lo->names_len < lo->names_cap && lo->names_len > 0)
        if (void *fit = counted_realloc(&n_blocks, lo->names, lo->names_len)) {
            lo->names = static_cast<char *>(fit);
            lo->names_cap = lo->names_len;
        }
    lo->bytes = layout_bytes(lo);
    if (lo->etag == 0)
        lo->etag = 1;
}

// Which entries of a folder become members: names beginning with "." are
// not published, nor links that lead out of the folder (or round into it).
bool walk_includes(const char *name, bool is_link, bool inside)
{
    return name[0] != '.' && (!is_link || inside);
}

}  // namespace

// ---- the walk, a slice per call ----

enum walk_stage : uint8_t {
    WALK_NEW,      // its first slice, which needs no place
    WALK_RUNNING,  // holds one of the places
    WALK_WAITING,  // for a place, having dropped what its first slice found
};

// Where a walk is: for a disk folder, the folders being read from the root
// down (each open, its path's length in `path` with its "/"); for an
// archive, the ring of nodes at each level and the next node to take.
struct zo_walk {
    walk_stage stage;
    bool started;    // the root is open (a disk folder) or listed (an archive)
    bool too_large;
    uint32_t depth;  // levels open
    uint64_t limit;
    uint64_t etag;  // the layout's validator before any member
    zo_walk *prev, *next;  // the walks waiting for a place
    char path[WALK_PATH_SIZE];
    size_t base_len;  // the folder's path with its "/"
    char real[WALK_PATH_SIZE];  // the folder's real path with a "/"
    size_t real_len;
    file_id ancestors[MAX_DEPTH];  // the folders being walked, to refuse loops
    DIR *dirs[MAX_DEPTH];
    size_t lens[MAX_DEPTH];
    zip_node *ring[MAX_DEPTH];
    zip_node *ahead[MAX_DEPTH];  // null when the ring is done
    size_t prefix_len;           // of the archive folder's path, with its "/"
};

namespace {

uint32_t walks_running;  // walks holding a place
zo_walk *first_waiting, *last_waiting;

void enqueue(zo_walk *w)
{
    w->stage = WALK_WAITING;
    w->next = nullptr;
    w->prev = last_waiting;
    (last_waiting ? last_waiting->next : first_waiting) = w;
    last_waiting = w;
}

void dequeue(zo_walk *w)
{
    (w->prev ? w->prev->next : first_waiting) = w->next;
    (w->next ? w->next->prev : last_waiting) = w->prev;
    w->prev = w->next = nullptr;
}

// Closes the folders a walk reads.
void close_levels(zo_walk *w)
{
    for (; w->depth > 0; --w->depth)
        if (w->dirs[w->depth - 1]) {
            closedir(w->dirs[w->depth - 1]);
            --n_files;
        }
}

// Forgets every member a walk found, so that it starts again from the root.
void walk_reset(zo_layout *lo, zo_walk *w)
{
    close_levels(w);
    w->started = false;
    lo->count = 0;
    lo->names_len = 0;
    lo->etag = w->etag;
}

// Ends a walk, done or not: its place goes to the next one waiting.
void walk_end(zo_layout *lo)
{
    zo_walk *w = lo->walk;
    close_levels(w);
    if (w->stage == WALK_RUNNING)
        --walks_running;
    else if (w->stage == WALK_WAITING)
        dequeue(w);
    counted_free(&n_blocks, w);
    lo->walk = nullptr;
}

// True when the link at w->path resolves to a place below the folder.
bool link_inside(zo_walk *w)
{
    char target[PATH_MAX];
    if (!realpath(w->path, target))
        return false;
    const size_t n = strlen(target);
    return n >= w->real_len && memcmp(target, w->real, w->real_len) == 0;
}

// Opens the folder at w->path (its path `len` bytes long, with its "/")
// as the next level; false when descriptors or memory ran out (a folder
// that cannot be read adds nothing) or it lies too deep.
bool open_level(zo_walk *w, size_t len, const file_id &id)
{
    if (w->depth >= MAX_DEPTH) {
        w->too_large = true;
        return false;
    }
    w->ancestors[w->depth] = id;
    DIR *d = opendir(w->path);
    if (!d)
        return errno != EMFILE && errno != ENFILE && errno != ENOMEM;
    ++n_files;
    w->dirs[w->depth] = d;
    w->lens[w->depth] = len;
    ++w->depth;
    return true;
}

bool folder_start(zo_layout *lo, zo_walk *w)
{
    const size_t len = strlen(lo->folder);
    memcpy(w->path, lo->folder, len + 1);
    w->base_len = len;
    if (!realpath(lo->folder, w->real))
        return false;
    w->real_len = strlen(w->real);
    if (w->real_len + 1 < sizeof w->real && w->real[w->real_len - 1] != '/') {
        w->real[w->real_len++] = '/';
        w->real[w->real_len] = 0;
    }
    dir_entry st;
    file_id id;
    return stat_path(lo->folder, &st, &id) == KIND_DIR && open_level(w, len, id);
}

// Takes the next entry of the innermost folder being read.
bool folder_entry(zo_layout *lo, zo_walk *w)
{
    const uint32_t level = w->depth - 1;
    const size_t len = w->lens[level];
    errno = 0;
    const dirent *e = readdir(w->dirs[level]);
    if (!e) {
        if (errno != 0 && errno != ENOENT)
            return false;
        closedir(w->dirs[level]);
        --n_files;
        --w->depth;
        return true;
    }
    const char *name = e->d_name;
    if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
        return true;
    const size_t name_len = strlen(name);
    if (len + name_len + 2 > sizeof w->path)
        return true;
    memcpy(w->path + len, name, name_len + 1);
    struct stat ls;
    const bool is_link = lstat(w->path, &ls) == 0 && S_ISLNK(ls.st_mode);
    if (!walk_includes(name, is_link, is_link && link_inside(w)))
        return true;
    dir_entry st;
    file_id id;
    const entry_kind kind = stat_path(w->path, &st, &id);
    const char *rel = w->path + w->base_len;
    if (kind == KIND_FILE) {
        zo_member *m = add_member(lo, rel, len - w->base_len, name, ZO_FILE, w->limit, &w->too_large);
        if (!m)
            return false;
        m->csize = m->usize = st.size;
        m->crc_known = st.size == 0;
        m->ino = id.ino;
        m->mtime_ns = id.mtime_ns;
        lo->etag = fnv_word(fnv_word(fnv_word(fnv_word(lo->etag, id.dev), id.ino), id.size), id.mtime_ns);
    } else if (kind == KIND_DIR) {
        for (uint32_t i = 0; i < w->depth; ++i)
            if (w->ancestors[i].dev == id.dev && w->ancestors[i].ino == id.ino)
                return true;
        zo_member *m = add_member(lo, rel, len - w->base_len, name, ZO_DIR, w->limit, &w->too_large);
        if (!m)
            return false;
        m->mtime_ns = id.mtime_ns;
        w->path[len + name_len] = '/';
        w->path[len + name_len + 1] = 0;
        return open_level(w, len + name_len + 1, id);
    }
    return true;
}

// Takes the next node of the innermost ring of an archive's folder.
bool archive_node(zo_layout *lo, zo_walk *w)
{
    const uint32_t level = w->depth - 1;
    zip_node *n = w->ahead[level];
    if (!n) {
        --w->depth;
        return true;
    }
    w->ahead[level] = n->next == w->ring[level] ? nullptr : n->next;
    const char *rel = n->path + w->prefix_len;
    const char *last = strrchr(n->path, '/');
    const char *name = last ? last + 1 : n->path;
    const bool folder = n->child || n->named_dir;
    if (!walk_includes(name, false, true) || !*rel)
        return true;
    zo_member *m = add_member(lo, "", 0, rel, folder ? ZO_DIR : ZO_RAW, w->limit, &w->too_large);
    if (!m)
        return false;
    m->mtime_ns = n->mtime * 1000000000;
    if (!folder) {
        m->csize = n->csize;
        m->usize = n->usize;
        m->crc = n->crc32;
        m->crc_known = true;
        m->method = static_cast<uint16_t>(n->method);
        m->flags = n->flags & FLAGS_KEPT;
        m->source_at = n->local_offset;
        lo->etag = fnv_word(fnv_word(fnv_word(fnv_word(lo->etag, n->crc32), n->csize), n->usize), n->local_offset);
    }
    if (!n->child)
        return true;
    if (w->depth >= MAX_DEPTH) {
        w->too_large = true;
        return false;
    }
    w->ring[w->depth] = w->ahead[w->depth] = n->child;
    ++w->depth;
    return true;
}

// One slice of the walk: false when it failed, else *done once it is whole.
bool walk_slice(zo_layout *lo, zo_walk *w, bool *done)
{
    const bool archive = lo->archive != nullptr;
    if (!w->started) {
        w->started = true;
        if (archive) {
            zip_node *root = zip_list(lo->archive, w->path);
            w->ring[0] = w->ahead[0] = root;
            w->depth = root ? 1 : 0;
        } else if (!folder_start(lo, w)) {
            return false;
        }
    }
    for (uint32_t n = archive ? ZO_WALK_NODES : ZO_WALK_ENTRIES; n > 0 && w->depth > 0; --n)
        if (!(archive ? archive_node(lo, w) : folder_entry(lo, w)))
            return false;
    *done = w->depth == 0;
    return true;
}

zo_layout *walk_new(uint64_t limit)
{
    zo_layout *lo = layout_new();
    auto *w = static_cast<zo_walk *>(counted_calloc(&n_blocks, 1, sizeof(zo_walk)));
    if (!lo || !w) {
        counted_free(&n_blocks, w);
        zo_free(lo);
        return nullptr;
    }
    w->limit = limit;
    lo->walk = w;
    return lo;
}

}  // namespace

zo_layout *zo_walk_folder(const char *folder, uint64_t limit)
{
    const size_t len = strlen(folder);
    zo_layout *lo = len + 2 <= WALK_PATH_SIZE ? walk_new(limit) : nullptr;
    if (lo && !(lo->folder = static_cast<char *>(counted_alloc(&n_blocks, len + 1)))) {
        zo_free(lo);
        return nullptr;
    }
    if (lo) {
        memcpy(lo->folder, folder, len + 1);
        lo->walk->etag = lo->etag;
    }
    return lo;
}

zo_layout *zo_walk_archive(zip_archive *za, const file_id &id, const char *prefix, uint64_t limit)
{
    const size_t len = strlen(prefix);
    zo_layout *lo = len < WALK_PATH_SIZE ? walk_new(limit) : nullptr;
    if (!lo)
        return nullptr;
    lo->archive = za;
    lo->archive_id = id;
    lo->etag = lo->walk->etag = fnv_word(fnv_word(fnv_word(lo->etag, id.dev), id.ino), id.mtime_ns);
    memcpy(lo->walk->path, prefix, len + 1);
    lo->walk->prefix_len = len ? len + 1 : 0;
    return lo;
}

zo_walk_result zo_walk_step(zo_layout *lo)
{
    zo_walk *w = lo->walk;
    if (!w)
        return ZO_WALK_OK;
    if (w->stage == WALK_WAITING) {
        if (w != first_waiting || walks_running >= ZO_WALKS_AT_ONCE)
            return ZO_WALK_AGAIN;
        dequeue(w);
        w->stage = WALK_RUNNING;
        ++walks_running;
    }
    bool done = false;
    if (!walk_slice(lo, w, &done)) {
        const bool too_large = w->too_large;
        walk_end(lo);
        return too_large ? ZO_WALK_TOO_LARGE : ZO_WALK_FAILED;
    }
    if (done) {
        walk_end(lo);
        finish(lo);
        return ZO_WALK_OK;
    }
    if (w->stage == WALK_NEW) {
        // More than a slice: it goes on in a free place, none being waited
        // for; else it waits its turn, holding no folder open meanwhile.
        if (walks_running < ZO_WALKS_AT_ONCE && !first_waiting) {
            w->stage = WALK_RUNNING;
            ++walks_running;
        } else {
            walk_reset(lo, w);
            enqueue(w);
        }
    }
    return ZO_WALK_AGAIN;
}

void zo_name(zo_layout *lo, const char *path, size_t len)
{
    while (len > 0 && path[len - 1] == '/')
        --len;
    size_t start = len;
    while (start > 0 && path[start - 1] != '/')
        --start;
    size_t n = len - start;
    if (n > 4 && strncasecmp(path + len - 4, ".zip", 4) == 0)
        n -= 4;
    if (n == 0 || n >= sizeof lo->name) {
        strcpy(lo->name, "folder");
        return;
    }
    memcpy(lo->name, path + start, n);
    lo->name[n] = 0;
}

namespace {

// ---- reading a download ----

// The last member whose `field` (its records' offset, or its central
// record's) is at most `offset`: the one whose bytes hold it.
uint32_t member_holding(const zo_layout *lo, uint64_t zo_member::*field, uint64_t offset)
{
    uint32_t first = 0, end = lo->count;
    while (end - first > 1) {
        const uint32_t mid = first + (end - first) / 2;
        if (lo->members[mid].*field <= offset)
            first = mid;
        else
            end = mid;
    }
    return first;
}

// True when the open file is still what the walk saw.
bool unchanged(int fd, const zo_member &m)
{
    file_id now;
    return file_id_of(fd, &now) && now.ino == m.ino && now.size == m.csize && now.mtime_ns == m.mtime_ns;
}

// The descriptor of disk member `i`, opened now if need be; -1 when it
// cannot be opened or is not the file the walk saw.
int member_fd(zo_layout *lo, uint32_t i)
{
    if (lo->fd >= 0 && lo->fd_member == i)
        return lo->fd;
    zo_idle(lo);
    const zo_member &m = lo->members[i];
    const size_t folder_len = strlen(lo->folder);
    char path[WALK_PATH_SIZE];
    if (folder_len + m.name_len >= sizeof path)
        return -1;
    memcpy(path, lo->folder, folder_len);
    memcpy(path + folder_len, lo->names + m.name_at, m.name_len);
    path[folder_len + m.name_len] = 0;
    const int fd = counted_open(path);
    if (fd < 0)
        return -1;
    if (!unchanged(fd, m)) {
        counted_close(fd);
        return -1;
    }
    lo->fd = fd;
    lo->fd_member = i;
    return fd;
}

bool archive_unchanged(const zo_layout *lo)
{
    file_id now;
    return file_id_of(lo->archive->fd, &now) && now.size == lo->archive_id.size &&
           now.mtime_ns == lo->archive_id.mtime_ns;
}

// The archive offset of a copied member's data, found on first need.
bool locate(zo_layout *lo, zo_member &m)
{
    if (m.located)
        return true;
    zip_node node{};
    node.local_offset = m.source_at;
    node.csize = m.csize;
    if (!zip_member_data(lo->archive, &node, &m.source_at))
        return false;
    m.located = true;
    return true;
}

void crc_known(zo_layout *lo, zo_member &m)
{
    m.crc_known = true;
    --lo->crc_missing;
}

// Carries member `i`'s CRC-32 over bytes [at, at + n) that were just read,
// where they continue what it covers.
void crc_follow(zo_layout *lo, uint32_t i, const unsigned char *bytes, uint64_t at, uint32_t n)
{
    zo_member &m = lo->members[i];
    if (m.crc_known || at > m.crc_done || at + n <= m.crc_done)
        return;
    const uint64_t skip = m.crc_done - at;
    m.crc = member_crc(m.crc, bytes + skip, static_cast<uint32_t>(n - skip));
    m.crc_done = at + n;
    if (m.crc_done == m.csize)
        crc_known(lo, m);
}

// One slice of the CRC-32 of disk member `i`: ZO_READ_DONE once it is known.
zo_read_result crc_slice(zo_layout *lo, uint32_t i, uint64_t *budget)
{
    zo_member &m = lo->members[i];
    if (m.crc_known)
        return ZO_READ_DONE;
    const int fd = member_fd(lo, i);
    if (fd < 0)
        return ZO_READ_FAILED;
    while (m.crc_done < m.csize && *budget > 0) {
        const auto n = static_cast<uint32_t>(std::min<uint64_t>(m.csize - m.crc_done, CRC_CHUNK));
        if (file_read_at(fd, crc_buf, n, m.crc_done) < 0 || !unchanged(fd, m))
            return ZO_READ_FAILED;
        crc_follow(lo, i, crc_buf, m.crc_done, n);
        *budget -= std::min<uint64_t>(*budget, n);
    }
    if (m.crc_done == m.csize && !m.crc_known)
        crc_known(lo, m);  // an empty file
    return m.crc_known ? ZO_READ_DONE : ZO_READ_AGAIN;
}

// A slice of work towards every CRC-32 of the layout.
zo_read_result all_crcs(zo_layout *lo)
{
    uint64_t budget = ZO_CRC_SLICE;
    for (uint32_t files = 0; lo->crc_missing > 0 && lo->crc_cursor < lo->count; ++lo->crc_cursor) {
        const zo_member &m = lo->members[lo->crc_cursor];
        if (m.source != ZO_FILE || m.crc_known)
            continue;
        if (budget == 0 || files++ == ZO_CRC_FILES)
            return ZO_READ_AGAIN;
        const zo_read_result r = crc_slice(lo, lo->crc_cursor, &budget);
        if (r != ZO_READ_DONE)
            return r;
    }
    return lo->crc_missing == 0 ? ZO_READ_DONE : ZO_READ_FAILED;
}

// Copies the bytes [at, at + n) of a record of `size` bytes written by `write`.
template <typename Write>
void copy_record(unsigned char *&out, uint64_t at, uint32_t n, Write write)
{
    write(header_buf);
    memcpy(out, header_buf + at, n);
    out += n;
}

bool sendable(const zo_member &m)
{
    return m.csize > 0 && (m.source == ZO_RAW || (m.source == ZO_FILE && m.crc_known));
}

}  // namespace

void zo_free(zo_layout *lo)
{
    if (!lo)
        return;
    if (lo->walk)
        walk_end(lo);
    zo_idle(lo);
    counted_free(&n_blocks, lo->members);
    counted_free(&n_blocks, lo->names);
    counted_free(&n_blocks, lo->folder);
    counted_free(&n_blocks, lo);
}

void zo_idle(zo_layout *lo)
{
    if (lo->fd >= 0)
        counted_close(lo->fd);
    lo->fd = -1;
}

zo_read_result zo_read(zo_layout *lo, void *buffer, uint32_t count, uint64_t offset)
{
    auto *out = static_cast<unsigned char *>(buffer);
    while (count > 0) {
        uint32_t n;
        if (offset >= lo->end_offset) {
            const uint64_t at = offset - lo->end_offset;
            if (const zo_read_result r = all_crcs(lo); r != ZO_READ_DONE)
                return r;
            n = static_cast<uint32_t>(std::min<uint64_t>(count, lo->size - offset));
            copy_record(out, at, n, [&](unsigned char *p) { write_end(lo, p); });
        } else if (offset >= lo->cd_offset) {
            // The central directory holds every CRC-32.
            if (const zo_read_result r = all_crcs(lo); r != ZO_READ_DONE)
                return r;
            const zo_member &m = lo->members[member_holding(lo, &zo_member::cd_offset, offset)];
            const uint64_t at = offset - m.cd_offset;
            n = static_cast<uint32_t>(std::min<uint64_t>(count, central_size(m) - at));
            copy_record(out, at, n, [&](unsigned char *p) { write_central(lo, m, p); });
        } else {
            const uint32_t i = member_holding(lo, &zo_member::offset, offset);
            zo_member &m = lo->members[i];
            uint64_t at = offset - m.offset;
            const uint32_t head = local_size(m);
            if (at < head) {
                n = static_cast<uint32_t>(std::min<uint64_t>(count, head - at));
                copy_record(out, at, n, [&](unsigned char *p) { write_local(lo, m, p); });
            } else if ((at -= head) < m.csize) {
                n = static_cast<uint32_t>(std::min<uint64_t>(count, m.csize - at));
                if (m.source == ZO_FILE) {
                    const int fd = member_fd(lo, i);
                    if (fd < 0 || file_read_at(fd, out, n, at) < 0 || !unchanged(fd, m))
                        return ZO_READ_FAILED;
                    crc_follow(lo, i, out, at, n);
                } else {
                    if (!locate(lo, m) || !archive_unchanged(lo) ||
                        file_read_at(lo->archive->fd, out, n, m.source_at + at) < 0)
                        return ZO_READ_FAILED;
                }
                out += n;
            } else {
                at -= m.csize;
                uint64_t budget = ZO_CRC_SLICE;
                if (const zo_read_result r = crc_slice(lo, i, &budget); r != ZO_READ_DONE)
                    return r;
                n = static_cast<uint32_t>(std::min<uint64_t>(count, descriptor_size(m) - at));
                copy_record(out, at, n, [&](unsigned char *p) { write_descriptor(m, p); });
            }
        }
        offset += n;
        count -= n;
    }
    return ZO_READ_DONE;
}

zo_place zo_where(zo_layout *lo, uint64_t offset, int *fd, uint64_t *at, uint64_t *run)
{
    *run = UINT64_MAX;
    if (offset >= lo->cd_offset || lo->count == 0)
        return ZO_GENERATED;
    const uint32_t i = member_holding(lo, &zo_member::offset, offset);
    zo_member &m = lo->members[i];
    const uint64_t data = m.offset + local_size(m);
    if (offset < data) {
        if (sendable(m))
            *run = data - offset;
        return ZO_GENERATED;
    }
    if (offset >= data + m.csize) {
        // A descriptor: up to the next member's data where that is sent from its file.
        if (i + 1 < lo->count && sendable(lo->members[i + 1]))
            *run = lo->members[i + 1].offset + local_size(lo->members[i + 1]) - offset;
        return ZO_GENERATED;
    }
    if (!sendable(m))
        return ZO_GENERATED;
    if (m.source == ZO_FILE) {
        *fd = member_fd(lo, i);
        if (*fd < 0 || !unchanged(*fd, m))
            return ZO_CHANGED;
        *at = offset - data;
    } else {
        if (!locate(lo, m) || !archive_unchanged(lo))
            return ZO_CHANGED;
        *fd = lo->archive->fd;
        *at = m.source_at + (offset - data);
    }
    *run = data + m.csize - offset;
    return ZO_IN_FILE;
}

// ---- gzip framing ----

gz_member *gz_open(zip_archive *za, zip_node *node)
{
    uint64_t data;
    if (!za || !node || node->method != 8 || (node->flags & 1) || !zip_member_data(za, node, &data))
        return nullptr;
    auto *gz = static_cast<gz_member *>(counted_calloc(&n_blocks, 1, sizeof(gz_member)));
    if (!gz)
        return nullptr;
    gz->archive = za;
    gz->node = node;
    gz->data_offset = data;
    static constexpr unsigned char head[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 0, 3};
    memcpy(gz->head, head, sizeof head);
    put32(gz->head + 4, node->mtime > 0 && node->mtime <= INT32_MAX ? static_cast<uint64_t>(node->mtime) : 0);
    put32(gz->tail, node->crc32);
    put32(gz->tail + 4, node->usize);  // the size modulo 2^32
    return gz;
}

void gz_free(gz_member *gz)
{
    counted_free(&n_blocks, gz);
}

zo_read_result gz_read(const gz_member *gz, void *buffer, uint32_t count, uint64_t offset)
{
    auto *out = static_cast<unsigned char *>(buffer);
    const uint64_t csize = gz->node->csize;
    while (count > 0) {
        uint32_t n;
        if (offset < sizeof gz->head) {
            n = static_cast<uint32_t>(std::min<uint64_t>(count, sizeof gz->head - offset));
            memcpy(out, gz->head + offset, n);
        } else if (offset - sizeof gz->head < csize) {
            const uint64_t at = offset - sizeof gz->head;
            n = static_cast<uint32_t>(std::min<uint64_t>(count, csize - at));
            if (file_read_at(gz->archive->fd, out, n, gz->data_offset + at) < 0)
                return ZO_READ_FAILED;
        } else {
            const uint64_t at = offset - sizeof gz->head - csize;
            n = static_cast<uint32_t>(std::min<uint64_t>(count, sizeof gz->tail - at));
            memcpy(out, gz->tail + at, n);
        }
        out += n;
        offset += n;
        count -= n;
    }
    return ZO_READ_DONE;
}

zo_place gz_where(const gz_member *gz, uint64_t offset, int *fd, uint64_t *at, uint64_t *run)
{
    const uint64_t csize = gz->node->csize;
    if (offset < sizeof gz->head) {
        *run = sizeof gz->head - offset;
        return ZO_GENERATED;
    }
    if (offset - sizeof gz->head >= csize) {
        *run = UINT64_MAX;
        return ZO_GENERATED;
    }
    *fd = gz->archive->fd;
    *at = gz->data_offset + (offset - sizeof gz->head);
    *run = csize - (offset - sizeof gz->head);
    return ZO_IN_FILE;
}
