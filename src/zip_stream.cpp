// ZIP member streams: stored members read straight from their archive,
// deflated ones inflated through the stage their set shares, with
// checkpoints where a later read can start inflating again.
#include "zip.h"

#include "crc32.h"
#include "memory.h"

#include <cstring>
#include <zlib.h>

// zlib's stream record and where its output stands.
struct inflate_block {
    z_stream z;
    uint64_t head;       // member offset of the next byte inflate produces
    uint64_t next_mark;  // the next mark the head comes to
};

namespace {

// Deflated members read their input through one buffer that every stream of
// a set shares. The stream that filled it last goes on with what it left
// there; any other reads only about what the output it wants needs, at least this.
constexpr uint32_t INFLATE_IN_SIZE = 65536;
constexpr uint32_t INFLATE_IN_LEAST = 4096;
// A stream reading short pieces inflates ahead into a stage, 64 KB at a time:
// inflating in long steps is markedly faster than in reply-buffer pieces.
constexpr uint32_t STAGE_SIZE = 65536;

// Where a stream stood at a block boundary: enough to resume inflating there.
struct boundary {
    uint64_t out;   // member offset of the next byte inflated
    uint64_t in;    // offset in the member's data of the next whole byte to read
    uint32_t bits;  // bits of the byte before `in` still to be read
    uint32_t window_len;
    unsigned char window[32768];  // the output before `out`
};

}  // namespace

// What the deflated streams of a set's archives share, one used at a time:
// the compressed input and the stream that filled it; the stage, the member
// bytes [stage_start, stage_start + stage_len) of its owner; a spill for a
// copy of a window; where output that is skipped goes, a whole slice at once
// (zlib copies each call's last 32 KB into its window: in 32 KB calls, all it
// produces); the candidate boundary; and what the checkpoints hold.
struct zip_set {
    unsigned char inflate_in[INFLATE_IN_SIZE];
    const zip_stream *inflate_in_owner;
    unsigned char stage[STAGE_SIZE];
    const zip_stream *stage_owner;
    uint64_t stage_start;
    uint32_t stage_len;
    unsigned char spill[ZIP_REREAD_SPAN];
    unsigned char skipped[ZIP_SEEK_SLICE];
    // The last boundary a stream passed within reach before its next mark, held
    // until the boundary after it shows whether it is the last before the mark.
    boundary candidate;
    const zip_stream *candidate_owner;
    uint64_t checkpoint_bytes;  // held by all the set's archives together
};

zip_set *zip_set_new()
{
    return static_cast<zip_set *>(counted_calloc(&n_blocks, 1, sizeof(zip_set)));
}

void zip_set_free(zip_set *set)
{
    counted_free(&n_blocks, set);
}

namespace {

voidpf counted_zalloc(voidpf opaque, uInt items, uInt size)
{
    return counted_calloc(static_cast<int32_t *>(opaque), items, size);
}

void counted_zfree(voidpf opaque, voidpf block)
{
    counted_free(static_cast<int32_t *>(opaque), block);
}

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
    zip_set *set = zs->archive->set;
    zip_node *node = zs->node;
    zip_checkpoints *cs = node->checkpoints;
    if (cs && cs->count == ZIP_MAX_CHECKPOINTS)
        return;
    const size_t size = sizeof(zip_checkpoint) + b.window_len + (cs ? 0 : sizeof(zip_checkpoints));
    if (set->checkpoint_bytes + size > ZIP_CHECKPOINT_BUDGET)
        return;
    if (!cs) {
        cs = static_cast<zip_checkpoints *>(counted_calloc(&n_blocks, 1, sizeof(zip_checkpoints)));
        if (!cs)
            return;
        cs->node = node;
        cs->next = zs->archive->checkpointed;
        zs->archive->checkpointed = cs;
        node->checkpoints = cs;
        set->checkpoint_bytes += sizeof(zip_checkpoints);
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
    set->checkpoint_bytes += checkpoint_size(cp);
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
    zip_set *set = zs->archive->set;
    inflate_block *ib = zs->param;
    const zip_node *node = zs->node;
    if (ib->head <= ib->next_mark) {
        if (!mark_has_checkpoint(node, ib->next_mark)) {
            take_boundary(zs, &set->candidate);
            set->candidate_owner = zs;
        }
        return;
    }
    if (!mark_has_checkpoint(node, ib->next_mark)) {
        if (set->candidate_owner != zs)
            take_boundary(zs, &set->candidate);
        add_checkpoint(zs, set->candidate);
        set->candidate_owner = nullptr;  // used, or overwritten here
    } else if (set->candidate_owner == zs) {
        set->candidate_owner = nullptr;
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
    zip_set *set = zs->archive->set;
    inflate_block *ib = zs->param;
    return (set->stage_owner == zs && offset >= set->stage_start && offset <= set->stage_start + set->stage_len) ||
           ib->head - offset <= window_behind(ib);
}

// Whether a stream may inflate into the stage: its owner, if another, must
// be able to read what it has not read yet of it from its window.
bool stage_available(const zip_stream *zs)
{
    zip_set *set = zs->archive->set;
    return !set->stage_owner || set->stage_owner == zs ||
           set->stage_owner->param->head - set->stage_owner->out_pos <= window_behind(set->stage_owner->param);
}

// Starts inflating again at a checkpoint, or at the member's start when null.
// False when the checkpoint cannot be used; the stream is then at the start.
bool resume_at(zip_stream *zs, const zip_checkpoint *cp)
{
    zip_set *set = zs->archive->set;
    inflate_block *ib = zs->param;
    z_stream *z = &ib->z;
    if (set->stage_owner == zs)
        set->stage_owner = nullptr;
    if (inflateReset(z) != Z_OK)
        return false;
    z->avail_in = 0;
    ib->head = zs->in_pos = zs->out_pos = 0;
    ib->next_mark = mark_from(zs->node, 0);
    if (set->candidate_owner == zs)
        set->candidate_owner = nullptr;
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
    zip_set *set = zs->archive->set;
    inflate_block *ib = zs->param;
    z_stream *z = &ib->z;
    const zip_node *node = zs->node;
    if (set->stage_owner == zs && dst != set->stage)
        set->stage_owner = nullptr;  // the stage ends at the head, which now moves on without it
    if (set->inflate_in_owner != zs) {
        // Another stream's input is in the buffer: read ours again.
        zs->in_pos -= z->avail_in;
        z->avail_in = 0;
    }
    z->next_out = dst;
    z->avail_out = n;
    while (z->avail_out > 0) {
        if (z->avail_in == 0 && zs->in_pos < node->csize) {
            uint64_t want = INFLATE_IN_SIZE;
            if (set->inflate_in_owner != zs) {
                // About what the output wanted takes at the member's ratio.
                const double ratio = static_cast<double>(node->csize) / static_cast<double>(node->usize);
                const double need = z->avail_out * ratio;
                if (need + INFLATE_IN_LEAST < INFLATE_IN_SIZE)
                    want = static_cast<uint64_t>(need) + INFLATE_IN_LEAST;
            }
            const uint64_t left = node->csize - zs->in_pos;
            const auto k = static_cast<uint32_t>(left < want ? left : want);
            set->inflate_in_owner = zs;
            if (file_read_at(zs->archive->fd, set->inflate_in, k, zs->data_offset + zs->in_pos) < 0)
                return -1;
            zs->in_pos += k;
            z->next_in = set->inflate_in;
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
    zip_set *set = zs->archive->set;
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
        if (set->stage_owner == zs && at >= set->stage_start && at < set->stage_start + set->stage_len) {
            n = set->stage_start + set->stage_len - at < want ? set->stage_start + set->stage_len - at : want;
            memcpy(out + done, set->stage + (at - set->stage_start), static_cast<size_t>(n));
        } else if (at < ib->head) {
            // Bytes read again after a step back come from zlib's window.
            uInt have = 0;
            inflateGetDictionary(&ib->z, set->spill, &have);
            const uint64_t behind = ib->head - at;
            ASSERT(behind <= have);
            n = behind < want ? behind : want;
            memcpy(out + done, set->spill + (have - behind), static_cast<size_t>(n));
        } else if (want < STAGE_SIZE && stage_available(zs)) {
            // Inflate a long step into the stage and read on from there.
            set->stage_owner = zs;
            set->stage_start = ib->head;
            set->stage_len = 0;
            const uint64_t left = node->usize - ib->head;
            n = inflate_into(zs, set->stage, left < STAGE_SIZE ? static_cast<uint32_t>(left) : STAGE_SIZE);
            if (n > 0) {
                set->stage_len = static_cast<uint32_t>(n);
                continue;
            }
            set->stage_owner = nullptr;
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
    zip_set *set = zs->archive->set;
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
        const int64_t produced = budget > 0 ? inflate_into(zs, set->skipped, static_cast<uint32_t>(n)) : 0;
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
        zip_set *set = zs->archive->set;
        inflateEnd(&zs->param->z);
        counted_free(&n_blocks, zs->param);
        if (set->inflate_in_owner == zs)
            set->inflate_in_owner = nullptr;
        if (set->stage_owner == zs)
            set->stage_owner = nullptr;
        if (set->candidate_owner == zs)
            set->candidate_owner = nullptr;
    }
    counted_free(&n_blocks, zs);
}

void zip_forget_checkpoints(zip_archive *za)
{
    while (zip_checkpoints *cs = za ? za->checkpointed : nullptr) {
        zip_set *set = za->set;
        za->checkpointed = cs->next;
        for (uint32_t i = 0; i < cs->count; ++i) {
            set->checkpoint_bytes -= checkpoint_size(cs->points[i]);
            counted_free(&n_blocks, cs->points[i]);
        }
        cs->node->checkpoints = nullptr;
        set->checkpoint_bytes -= sizeof(zip_checkpoints);
        counted_free(&n_blocks, cs);
    }
}
