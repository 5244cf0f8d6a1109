// ZIP archives: the central-directory reader with its name index, and the
// member reader that delivers stored or deflated members as positioned streams.
#include "zip.h"

#include "crc32.h"
#include "dirscan.h"
#include "memory.h"

#include <cstring>
#include <zlib.h>

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
// Deflated members read their input through one buffer that every stream
// shares. The stream that filled it last goes on with what it left there;
// any other reads only about what the output it wants needs, at least this.
constexpr uint32_t INFLATE_IN_SIZE = 65536;
constexpr uint32_t INFLATE_IN_LEAST = 4096;
// A stream reading short pieces inflates ahead into a stage, 64 KB at a time:
// inflating in long steps is markedly faster than in reply-buffer pieces.
constexpr uint32_t STAGE_SIZE = 65536;

// The name index may hold at most this many bytes per byte of directory read,
// plus a fixed allowance: deep paths with short components would otherwise
// make the implicit directories grow with the square of the path length.
constexpr uint64_t INDEX_BYTES_PER_DIR_BYTE = 32;
constexpr uint64_t INDEX_BYTES_ALLOWANCE = 4u << 20;
// The bucket array is sized by the records the directory claims, as far as
// its bytes can hold them, up to this many buckets.
constexpr uint64_t MAX_BUCKETS = 1u << 24;

// Shared by the record search and the directory linking.
unsigned char scratch[SCRATCH_SIZE];

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
    char *buf = reinterpret_cast<char *>(scratch);
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
    if (buf != reinterpret_cast<char *>(scratch))
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

// Shared by all deflated streams, one used at a time: the compressed input
// and the stream that filled it; the stage, the member bytes [stage_start,
// stage_start + stage_len) of its owner; a spill for a copy of a window;
// and where output that is skipped goes, a whole slice at once (zlib copies
// each call's last 32 KB into its window: in 32 KB calls, all it produces).
unsigned char inflate_in[INFLATE_IN_SIZE];
zip_stream *inflate_in_owner;
unsigned char stage[STAGE_SIZE];
zip_stream *stage_owner;
uint64_t stage_start;
uint32_t stage_len;
unsigned char spill[ZIP_REREAD_SPAN];
unsigned char skipped[ZIP_SEEK_SLICE];

}  // namespace

// zlib's stream record and where its output stands.
struct inflate_block {
    z_stream z;
    uint64_t head;       // member offset of the next byte inflate produces
    uint64_t next_mark;  // the next mark the head comes to
};

namespace {

voidpf counted_zalloc(voidpf opaque, uInt items, uInt size)
{
    return counted_calloc(static_cast<int32_t *>(opaque), items, size);
}

void counted_zfree(voidpf opaque, voidpf block)
{
    counted_free(static_cast<int32_t *>(opaque), block);
}

uint64_t checkpoint_bytes;  // held by all archives together

// The offset of a member's k-th mark (k >= 1), where its k-th checkpoint
// belongs: every ZIP_CHECKPOINT_SPACING bytes, or k/64 of the member when that
// is further apart. Download managers start their ranges at such fractions
// when they split a member into 2, 4, 8... equal parts.
uint64_t mark_of(const zip_node *node, uint64_t k)
{
    constexpr uint64_t n = ZIP_MAX_CHECKPOINTS;
    if (node->usize <= n * ZIP_CHECKPOINT_SPACING)
        return k * ZIP_CHECKPOINT_SPACING;
    return node->usize / n * k + node->usize % n * k / n;
}

// The first mark at or after `offset`.
uint64_t mark_from(const zip_node *node, uint64_t offset)
{
    uint64_t k = offset / mark_of(node, 1);
    k = k > 1 ? k - 1 : 1;
    while (mark_of(node, k) < offset)
        ++k;
    return mark_of(node, k);
}

// The member's checkpoint nearest before or at `offset`, or null.
const zip_checkpoint *checkpoint_before(const zip_node *node, uint64_t offset)
{
    const zip_checkpoints *cs = node->checkpoints;
    const zip_checkpoint *found = nullptr;
    for (uint32_t i = 0; cs && i < cs->count && cs->points[i]->out <= offset; ++i)
        found = cs->points[i];
    return found;
}

size_t checkpoint_size(const zip_checkpoint *cp)
{
    return sizeof(zip_checkpoint) + cp->window_len;
}

// Whether the member has the checkpoint of the mark at `mark`: one from
// ZIP_CHECKPOINT_REACH before it up to that distance before the next.
bool mark_has_checkpoint(const zip_node *node, uint64_t mark)
{
    const zip_checkpoint *cp = checkpoint_before(node, mark_from(node, mark + 1) - ZIP_CHECKPOINT_REACH - 1);
    return cp && cp->out + ZIP_CHECKPOINT_REACH >= mark;
}

// Where a stream stood at a block boundary: enough to resume inflating there.
struct boundary {
    uint64_t out;   // member offset of the next byte inflated
    uint64_t in;    // offset in the member's data of the next whole byte to read
    uint32_t bits;  // bits of the byte before `in` still to be read
    uint32_t window_len;
    unsigned char window[32768];  // the output before `out`
};

// The last boundary a stream passed within reach before its next mark, held
// until the boundary after it shows whether it is the last before the mark.
boundary candidate;
const zip_stream *candidate_owner;

void take_boundary(const zip_stream *zs, boundary *b)
{
    inflate_block *ib = zs->param;
    b->out = ib->head;
    b->in = zs->in_pos - ib->z.avail_in;
    b->bits = static_cast<uint32_t>(ib->z.data_type & 7);
    uInt len = sizeof b->window;
    inflateGetDictionary(&ib->z, b->window, &len);
    b->window_len = len;
}

// Adds a checkpoint at a boundary to the member, unless it has all it may
// have or the budget is spent.
void add_checkpoint(zip_stream *zs, const boundary &b)
{
    zip_node *node = zs->node;
    zip_checkpoints *cs = node->checkpoints;
    if (cs && cs->count == ZIP_MAX_CHECKPOINTS)
        return;
    const size_t size = sizeof(zip_checkpoint) + b.window_len + (cs ? 0 : sizeof(zip_checkpoints));
    if (checkpoint_bytes + size > ZIP_CHECKPOINT_BUDGET)
        return;
    if (!cs) {
        cs = static_cast<zip_checkpoints *>(counted_calloc(&n_blocks, 1, sizeof(zip_checkpoints)));
        if (!cs)
            return;
        cs->node = node;
        cs->next = zs->archive->checkpointed;
        zs->archive->checkpointed = cs;
        node->checkpoints = cs;
        checkpoint_bytes += sizeof(zip_checkpoints);
    }
    auto *cp = static_cast<zip_checkpoint *>(counted_alloc(&n_blocks, sizeof(zip_checkpoint) + b.window_len));
    if (!cp)
        return;
    cp->out = b.out;
    cp->in = b.in;
    cp->bits = b.bits;
    cp->window_len = b.window_len;
    cp->window = reinterpret_cast<unsigned char *>(cp + 1);
    memcpy(cp->window, b.window, b.window_len);
    checkpoint_bytes += checkpoint_size(cp);
    uint32_t at = cs->count;
    while (at > 0 && cs->points[at - 1]->out > cp->out)
        --at;
    memmove(cs->points + at + 1, cs->points + at, (cs->count - at) * sizeof cs->points[0]);
    cs->points[at] = cp;
    cs->count++;
}

// At a block boundary within reach of the stream's next mark, or past it: a
// boundary at or before the mark becomes the candidate; the first one past
// it records the mark's checkpoint at the candidate, or here if it has none
// (a block longer than the reach, or another stream took the candidate).
void at_boundary(zip_stream *zs)
{
    inflate_block *ib = zs->param;
    const zip_node *node = zs->node;
    if (ib->head <= ib->next_mark) {
        if (!mark_has_checkpoint(node, ib->next_mark)) {
            take_boundary(zs, &candidate);
            candidate_owner = zs;
        }
        return;
    }
    if (!mark_has_checkpoint(node, ib->next_mark)) {
        if (candidate_owner != zs)
            take_boundary(zs, &candidate);
        add_checkpoint(zs, candidate);
        candidate_owner = nullptr;  // used, or overwritten here
    } else if (candidate_owner == zs) {
        candidate_owner = nullptr;
    }
    ib->next_mark = mark_from(node, ib->head + 1);
}

// Bytes of output zlib's window holds behind the head.
uint64_t window_behind(inflate_block *ib)
{
    uInt have = 0;
    inflateGetDictionary(&ib->z, nullptr, &have);
    return have;
}

// Whether a stream reads the bytes at `offset`, at or behind its head, again
// without inflating: from the stage it owns, or from zlib's window.
bool rereads(zip_stream *zs, uint64_t offset)
{
    inflate_block *ib = zs->param;
    return (stage_owner == zs && offset >= stage_start && offset <= stage_start + stage_len) ||
           ib->head - offset <= window_behind(ib);
}

// Whether a stream may inflate into the stage: its owner, if another, must
// be able to read what it has not read yet of it from its window.
bool stage_available(const zip_stream *zs)
{
    return !stage_owner || stage_owner == zs ||
           stage_owner->param->head - stage_owner->out_pos <= window_behind(stage_owner->param);
}

// Starts inflating again at a checkpoint, or at the member's start when null.
// False when the checkpoint cannot be used; the stream is then at the start.
bool resume_at(zip_stream *zs, const zip_checkpoint *cp)
{
    inflate_block *ib = zs->param;
    z_stream *z = &ib->z;
    if (stage_owner == zs)
        stage_owner = nullptr;
    if (inflateReset(z) != Z_OK)
        return false;
    z->avail_in = 0;
    ib->head = zs->in_pos = zs->out_pos = 0;
    ib->next_mark = mark_from(zs->node, 0);
    if (candidate_owner == zs)
        candidate_owner = nullptr;
    if (!cp)
        return true;
    // The bits of the boundary's last byte that follow it go in first.
    unsigned char byte = 0;
    if ((cp->bits > 0 && file_read_at(zs->archive->fd, &byte, 1, zs->data_offset + cp->in - 1) < 0) ||
        inflatePrime(z, static_cast<int>(cp->bits), byte >> (8 - cp->bits)) != Z_OK ||
        inflateSetDictionary(z, cp->window, cp->window_len) != Z_OK) {
        inflateReset(z);
        return false;
    }
    ib->head = zs->out_pos = cp->out;
    zs->in_pos = cp->in;
    ib->next_mark = mark_from(zs->node, cp->out);
    return true;
}

// Inflates up to `n` bytes at the head into `dst`, recording checkpoints at
// the block boundaries it passes. Returns the count produced, fewer only when
// the deflate data ended, or -1 on damaged, truncated or unreadable data.
int64_t inflate_into(zip_stream *zs, unsigned char *dst, uint32_t n)
{
    inflate_block *ib = zs->param;
    z_stream *z = &ib->z;
    const zip_node *node = zs->node;
    if (stage_owner == zs && dst != stage)
        stage_owner = nullptr;  // the stage ends at the head, which now moves on without it
    if (inflate_in_owner != zs) {
        // Another stream's input is in the buffer: read ours again.
        zs->in_pos -= z->avail_in;
        z->avail_in = 0;
    }
    z->next_out = dst;
    z->avail_out = n;
    while (z->avail_out > 0) {
        if (z->avail_in == 0 && zs->in_pos < node->csize) {
            uint64_t want = INFLATE_IN_SIZE;
            if (inflate_in_owner != zs) {
                // About what the output wanted takes at the member's ratio.
                const double ratio = static_cast<double>(node->csize) / static_cast<double>(node->usize);
                const double need = z->avail_out * ratio;
                if (need + INFLATE_IN_LEAST < INFLATE_IN_SIZE)
                    want = static_cast<uint64_t>(need) + INFLATE_IN_LEAST;
            }
            const uint64_t left = node->csize - zs->in_pos;
            const auto k = static_cast<uint32_t>(left < want ? left : want);
            inflate_in_owner = zs;
            if (file_read_at(zs->archive->fd, inflate_in, k, zs->data_offset + zs->in_pos) < 0)
                return -1;
            zs->in_pos += k;
            z->next_in = inflate_in;
            z->avail_in = k;
        }
        const uInt room = z->avail_out;
        // Z_BLOCK stops at every block boundary, where a checkpoint can go.
        const int r = inflate(z, Z_BLOCK);
        ib->head += room - z->avail_out;
        if (r == Z_STREAM_END)
            break;
        if (r != Z_OK)
            return -1;  // Z_BUF_ERROR: the member's data ran out before the deflate stream ended
        if ((z->data_type & 0xC0) == 0x80 && ib->head + ZIP_CHECKPOINT_REACH >= ib->next_mark)
            at_boundary(zs);  // a boundary, and not before the last block
    }
    return n - z->avail_out;
}

// Accounts for `n` bytes handed out. The bytes of a pass that began at 0 are
// checked against the member's CRC-32 as they first come out, and the read
// that completes the member fails if they do not match; bytes read again
// after a step back are not counted twice, but a skip forward ends the check.
int member_delivered(zip_stream *zs, const void *buffer, uint32_t n)
{
    const uint64_t start = zs->out_pos;
    zs->out_pos += n;
    if (!zs->crc_live || zs->out_pos <= zs->crc_end)
        return static_cast<int>(n);
    if (start > zs->crc_end) {
        zs->crc_live = 0;
        return static_cast<int>(n);
    }
    const uint32_t seen = static_cast<uint32_t>(zs->crc_end - start);
    zs->crc = member_crc(zs->crc, static_cast<const unsigned char *>(buffer) + seen, n - seen);
    zs->crc_end = zs->out_pos;
    if (zs->crc_end == zs->node->usize) {
        if (zs->crc != zs->node->crc32)
            return -1;
        zs->node->verified = true;
    }
    return static_cast<int>(n);
}

// Starts a new checked pass over the member.
void restart_check(zip_stream *zs)
{
    zs->crc = 0;
    zs->crc_end = 0;
    zs->crc_live = 1;
}

}  // namespace

zip_archive *zip_open(const char *path)
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
    const int64_t length = file_length(fd);
    if (length <= static_cast<int64_t>(ZDT_SIZE)) {
        zip_close(za);
        return nullptr;
    }
    za->length = static_cast<uint64_t>(length);

    // The record nearest the end of the file within its last 8192 bytes.
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

zip_stream *zip_member_open(zip_archive *za, zip_node *node)
{
    if (!za || !node || (node->method != 0 && node->method != 8))
        return nullptr;
    uint64_t data_offset;
    if (!zip_member_data(za, node, &data_offset))
        return nullptr;

    inflate_block *ib = nullptr;
    if (node->method == 8) {
        ib = static_cast<inflate_block *>(counted_calloc(&n_blocks, 1, sizeof(inflate_block)));
        if (!ib)
            return nullptr;
        ib->z.zalloc = counted_zalloc;
        ib->z.zfree = counted_zfree;
        ib->z.opaque = &n_blocks;
        ib->z.next_in = nullptr;
        ib->z.avail_in = 0;
        ib->next_mark = mark_from(node, 0);
        // A negative window size reads the raw deflate data that ZIP stores.
        if (inflateInit2(&ib->z, -MAX_WBITS) != Z_OK) {
            counted_free(&n_blocks, ib);
            return nullptr;
        }
    }
    auto *zs = static_cast<zip_stream *>(counted_calloc(&n_blocks, 1, sizeof(zip_stream)));
    if (!zs) {
        if (ib) {
            inflateEnd(&ib->z);
            counted_free(&n_blocks, ib);
        }
        return nullptr;
    }
    zs->archive = za;
    zs->node = node;
    zs->data_offset = data_offset;
    zs->in_pos = 0;
    zs->out_pos = 0;
    zs->method = node->method;
    zs->param = ib;
    restart_check(zs);
    return zs;
}

int zip_member_read(zip_stream *zs, void *buffer, uint32_t length)
{
    const zip_node *node = zs->node;
    // Nothing past the member's recorded size is ever delivered.
    if (length > node->usize - zs->out_pos)
        length = static_cast<uint32_t>(node->usize - zs->out_pos);
    if (length == 0)
        return 0;
    if (zs->method == 0) {
        const uint64_t end = node->csize < node->usize ? node->csize : node->usize;
        if (zs->in_pos >= end)
            return 0;
        const uint32_t n = length < end - zs->in_pos ? length : static_cast<uint32_t>(end - zs->in_pos);
        if (file_read_at(zs->archive->fd, buffer, n, zs->data_offset + zs->in_pos) < 0)
            return -1;
        zs->in_pos += n;
        return member_delivered(zs, buffer, n);
    }
    inflate_block *ib = zs->param;
    auto *out = static_cast<unsigned char *>(buffer);
    uint32_t done = 0;
    while (done < length) {
        const uint64_t at = zs->out_pos + done;
        const uint32_t want = length - done;
        int64_t n;
        if (stage_owner == zs && at >= stage_start && at < stage_start + stage_len) {
            n = stage_start + stage_len - at < want ? stage_start + stage_len - at : want;
            memcpy(out + done, stage + (at - stage_start), static_cast<size_t>(n));
        } else if (at < ib->head) {
            // Bytes read again after a step back come from zlib's window.
            uInt have = 0;
            inflateGetDictionary(&ib->z, spill, &have);
            const uint64_t behind = ib->head - at;
            ASSERT(behind <= have);
            n = behind < want ? behind : want;
            memcpy(out + done, spill + (have - behind), static_cast<size_t>(n));
        } else if (want < STAGE_SIZE && stage_available(zs)) {
            // Inflate a long step into the stage and read on from there.
            stage_owner = zs;
            stage_start = ib->head;
            stage_len = 0;
            const uint64_t left = node->usize - ib->head;
            n = inflate_into(zs, stage, left < STAGE_SIZE ? static_cast<uint32_t>(left) : STAGE_SIZE);
            if (n > 0) {
                stage_len = static_cast<uint32_t>(n);
                continue;
            }
            stage_owner = nullptr;
        } else {
            n = inflate_into(zs, out + done, want);
        }
        if (n < 0) {
            zs->out_pos = ib->head;
            zs->crc_live = 0;
            return -1;
        }
        if (n == 0)
            break;
        done += static_cast<uint32_t>(n);
    }
    return member_delivered(zs, buffer, done);
}

seek_result zip_member_seek(zip_stream *zs, uint64_t offset)
{
    if (offset == zs->out_pos)
        return SEEK_DONE;
    if (offset >= zs->node->usize)
        return SEEK_FAILED;
    if (offset == 0)
        restart_check(zs);
    if (zs->method == 0) {
        zs->in_pos = zs->out_pos = offset;
        return SEEK_DONE;
    }
    // Bytes skipped past the checked ones are not handed out, so the CRC-32
    // is not checked; bytes checked before are only produced again.
    if (offset > zs->crc_end)
        zs->crc_live = 0;
    inflate_block *ib = zs->param;
    if (offset <= ib->head && rereads(zs, offset)) {
        zs->out_pos = offset;
        return SEEK_DONE;
    }
    // Deflate data cannot be read backwards, nor skipped: start again from
    // the nearest checkpoint before the offset when the head is past the
    // offset or behind that checkpoint.
    const zip_checkpoint *cp = checkpoint_before(zs->node, offset);
    if ((offset < ib->head || (cp && cp->out > ib->head)) && !resume_at(zs, cp))
        return SEEK_FAILED;
    uint32_t budget = ZIP_SEEK_SLICE;
    while (ib->head < offset) {
        uint64_t n = offset - ib->head;
        n = n < budget ? n : budget;
        const int64_t produced = budget > 0 ? inflate_into(zs, skipped, static_cast<uint32_t>(n)) : 0;
        // Reads go on from the head, whether this slice is spent or the data failed.
        zs->out_pos = ib->head;
        if (budget == 0)
            return SEEK_AGAIN;
        if (produced <= 0)
            return SEEK_FAILED;
        budget -= static_cast<uint32_t>(produced);
    }
    zs->out_pos = offset;
    return SEEK_DONE;
}

void zip_member_close(zip_stream *zs)
{
    if (!zs)
        return;
    if (zs->method == 8) {
        ASSERT(zs->param);
        inflateEnd(&zs->param->z);
        counted_free(&n_blocks, zs->param);
        if (inflate_in_owner == zs)
            inflate_in_owner = nullptr;
        if (stage_owner == zs)
            stage_owner = nullptr;
        if (candidate_owner == zs)
            candidate_owner = nullptr;
    }
    counted_free(&n_blocks, zs);
}

void zip_forget_checkpoints(zip_archive *za)
{
    while (zip_checkpoints *cs = za ? za->checkpointed : nullptr) {
        za->checkpointed = cs->next;
        for (uint32_t i = 0; i < cs->count; ++i) {
            checkpoint_bytes -= checkpoint_size(cs->points[i]);
            counted_free(&n_blocks, cs->points[i]);
        }
        cs->node->checkpoints = nullptr;
        checkpoint_bytes -= sizeof(zip_checkpoints);
        counted_free(&n_blocks, cs);
    }
}

uint64_t zip_checkpoint_bytes()
{
    return checkpoint_bytes;
}
