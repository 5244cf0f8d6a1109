// ZIP archives: the central-directory reader with its name index (zip.cpp),
// and the member reader that delivers stored or deflated members as
// positioned streams (zip_stream.cpp).
#pragma once

#include <cstdint>

struct zip_checkpoints;

// What the archives opened together share, one stream at a time: the input
// buffer and stage of deflated streams, the boundary a pass holds as its next
// checkpoint, and the bytes their checkpoints hold. Whoever keeps a set of
// archives open (the entry table) makes one for them all and frees it after
// the last is closed.
struct zip_set;
zip_set *zip_set_new();  // null when memory is exhausted
void zip_set_free(zip_set *set);

// One member path, or one directory the archive implies by its member paths.
// The node and its path text are one counted block.
struct zip_node {
    zip_node *prev, *next;  // ring of siblings, in insertion order
    zip_node *hash_next;
    zip_node *child;  // one node of the ring below, or null
    char *path;       // without leading or trailing "/"
    uint64_t local_offset;
    uint64_t csize;
    uint64_t usize;
    int64_t mtime;
    uint32_t crc32;
    int32_t method;  // 0 stored, 8 deflated; others are listed only
    int32_t nchildren;
    uint16_t flags;                // the general purpose flags of its central record
    bool named_dir;                // its recorded name ended in "/"
    bool verified;                 // a whole pass matched the CRC-32: stored data may be sent as it lies
    zip_checkpoints *checkpoints;  // deflated members, once a pass has recorded one
};

// A place inside a deflated member's data where inflation can start again: a
// block boundary, with the 32 KB of output before it that later matches may
// refer to. Record and window are one counted block.
struct zip_checkpoint {
    uint64_t out;   // member offset of the next byte inflated
    uint64_t in;    // offset in the member's data of the next whole byte to read
    uint32_t bits;  // bits of the byte before `in` that are still to be read (0-7)
    uint32_t window_len;
    unsigned char *window;  // the output just before `out`
};

// Every pass over a deflated member records a checkpoint at the last block
// boundary before each multiple of the spacing (within ZIP_CHECKPOINT_REACH of
// it, else at the first after it), so that a read at an offset starts from
// the nearest one before it. The spacing grows with the member so that it
// never needs more than ZIP_MAX_CHECKPOINTS, and the archives of a set
// together hold at most ZIP_CHECKPOINT_BUDGET bytes of them.
constexpr uint32_t ZIP_MAX_CHECKPOINTS = 64;
constexpr uint64_t ZIP_CHECKPOINT_SPACING = 1u << 20;  // the least spacing
constexpr uint64_t ZIP_CHECKPOINT_REACH = 128u << 10;
constexpr uint64_t ZIP_CHECKPOINT_BUDGET = 64u << 20;
struct zip_checkpoints {
    zip_node *node;
    zip_checkpoints *next;  // the archive's list of members that have checkpoints
    uint32_t count;
    zip_checkpoint *points[ZIP_MAX_CHECKPOINTS];  // by offset, at least the spacing apart
};

struct zip_index {
    uint32_t nnodes;
    uint32_t nbuckets;
    zip_node **buckets;
    uint32_t ntop;
    zip_node *top;    // one node of the top-level ring, or null
    uint64_t nbytes;  // bytes held by the nodes, bounded against the directory read
};

struct zip_archive {
    uint64_t entries;  // records the directory claims
    uint64_t cd_start;
    uint64_t cd_size;
    uint64_t entries_read;  // records read into the index
    int fd;                 // the archive file, owned
    zip_set *set;           // what its streams share with the set's other archives
    uint64_t length;        // length of the archive file
    zip_index index;
    zip_checkpoints *checkpointed;  // the members that have checkpoints
};

struct inflate_block;

// A stored member reads straight from the archive. A deflated member holds
// zlib's state and its 32 KB window and nothing more: its input comes
// through one buffer all streams of a set share, it inflates ahead through a
// stage that one stream uses at a time, and a read that steps back up to
// ZIP_REREAD_SPAN bytes behind the last one is served from the window.
constexpr uint32_t ZIP_REREAD_SPAN = 32768;
struct zip_stream {
    zip_archive *archive;
    zip_node *node;
    uint64_t data_offset;  // file offset of the member's data
    uint64_t in_pos;       // member data taken from the file
    uint64_t out_pos;      // the next member byte a read delivers
    int32_t method;
    inflate_block *param;  // deflated members only
    uint32_t crc;          // CRC-32 of the bytes [0, crc_end) while crc_live
    uint64_t crc_end;      // how far the pass from 0 has covered the member
    int32_t crc_live;      // no byte before crc_end was skipped since the pass began at 0
};

// Opens an archive and reads its whole central directory (ZIP64 too) into
// the name index; null when the file is no single-volume archive.
zip_archive *zip_open(zip_set *set, const char *path);
zip_node *zip_find(zip_archive *za, const char *path);
zip_node *zip_list(zip_archive *za, const char *path);
void zip_close(zip_archive *za);

// Releases every checkpoint of the archive's members; streams go on without them.
void zip_forget_checkpoints(zip_archive *za);

// The archive offset of a member's data, from its local header; false when
// the header is missing or the data would not lie inside the archive.
bool zip_member_data(zip_archive *za, const zip_node *node, uint64_t *offset);
zip_stream *zip_member_open(zip_archive *za, zip_node *node);
int zip_member_read(zip_stream *zs, void *buffer, uint32_t length);  // bytes, or -1

// Moving a deflated stream forward means inflating what lies between, so a
// far move is done in slices of ZIP_SEEK_SLICE bytes of output (a few tenths
// of a millisecond), one per call, and the server's loop serves the other
// connections between them. SEEK_AGAIN says the stream moved part of the way
// (reads would go on from there) and the same call is to be made again,
// later, to go on.
constexpr uint32_t ZIP_SEEK_SLICE = 128u << 10;
enum seek_result : uint8_t {
    SEEK_DONE,    // the next read starts at the offset
    SEEK_AGAIN,   // not there yet: call again
    SEEK_FAILED,  // an offset at or past the end, or data that cannot be inflated
};
seek_result zip_member_seek(zip_stream *zs, uint64_t offset);
void zip_member_close(zip_stream *zs);
