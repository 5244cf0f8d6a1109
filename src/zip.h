// ZIP archives: the central-directory reader with its name index, and the
// member reader that delivers stored or deflated members as positioned streams.
#pragma once

#include <cstdint>

// One member path, or one directory the archive implies by its member paths.
// The node and its path text are one counted block.
struct zip_node {
    zip_node *prev, *next;   // ring of siblings, in insertion order
    zip_node *hash_next;
    zip_node *child;         // one node of the ring below, or null
    char *path;              // without leading or trailing "/"
    uint64_t local_offset;
    uint64_t csize;
    uint64_t usize;
    int64_t mtime;
    uint32_t crc32;
    int32_t method;          // 0 stored, 8 deflated; others are listed only
    int32_t nchildren;
    bool verified;           // a whole pass matched the CRC-32: stored data may be sent as it lies
};

struct zip_index {
    uint32_t nnodes;
    uint32_t nbuckets;
    zip_node **buckets;
    uint32_t ntop;
    zip_node *top;           // one node of the top-level ring, or null
    uint64_t nbytes;         // bytes held by the nodes, bounded against the directory read
};

struct zip_archive {
    uint64_t entries;        // records the directory claims
    uint64_t cd_start;
    uint64_t cd_size;
    uint64_t entries_read;   // records read into the index
    int fd;                  // the archive file, owned
    uint64_t length;         // length of the archive file
    zip_index index;
};

struct inflate_block;

struct zip_stream {
    zip_archive *archive;
    zip_node *node;
    uint64_t data_offset;    // file offset of the member's data
    uint64_t in_pos;         // member data taken from the file
    uint64_t out_pos;        // member bytes delivered
    int32_t method;
    inflate_block *param;    // deflated members only
    uint32_t crc;            // CRC-32 of the bytes [0, crc_end) while crc_live
    uint64_t crc_end;        // how far the pass from 0 has covered the member
    int32_t crc_live;        // no byte before crc_end was skipped since the pass began at 0
};

// Opens an archive and reads its whole central directory (ZIP64 too) into
// the name index; null when the file is no single-volume archive.
zip_archive *zip_open(const char *path);
zip_node *zip_find(zip_archive *za, const char *path);
zip_node *zip_list(zip_archive *za, const char *path);
void zip_close(zip_archive *za);

zip_stream *zip_member_open(zip_archive *za, zip_node *node);
int zip_member_read(zip_stream *zs, void *buffer, uint32_t length);  // bytes, or -1
int zip_member_seek(zip_stream *zs, uint64_t offset);              // 1, or -1 if not reached
void zip_member_close(zip_stream *zs);
