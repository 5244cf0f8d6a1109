// Archives written as they are sent: a folder (on disk or inside an
// archive) laid out as a ZIP download whose every byte and exact length are
// known before the first goes, and a deflated member framed as gzip.
#pragma once

#include "dirscan.h"

#include <cstddef>
#include <cstdint>

struct zip_archive;
struct zip_node;
struct zo_walk;

// What the layout of one download may hold (its member records and names),
// and all layouts kept together; a folder beyond either is refused.
constexpr uint64_t ZO_LAYOUT_LIMIT = uint64_t{64} << 20;
constexpr uint64_t ZO_LAYOUT_BUDGET = uint64_t{256} << 20;
// A walk goes a slice per call, so that other connections are served
// between: this many directory entries (a stat or two each), or members of
// an archive. One that needs more than a slice holds one of
// ZO_WALKS_AT_ONCE places until it is done; later ones wait for a place,
// first come first served, holding nothing open meanwhile.
constexpr uint32_t ZO_WALK_ENTRIES = 32;
constexpr uint32_t ZO_WALK_NODES = 2048;
constexpr uint32_t ZO_WALKS_AT_ONCE = 4;
// CRC-32s a range request needs before its bytes are computed this many
// bytes (or files) per call, so that other connections are served between.
constexpr uint64_t ZO_CRC_SLICE = uint64_t{1} << 20;
constexpr uint32_t ZO_CRC_FILES = 256;

enum zo_source : uint8_t {
    ZO_DIR,   // a folder: a header of its own, no data
    ZO_FILE,  // a disk file, stored, its CRC-32 in a data descriptor after it
    ZO_RAW,   // an archive member, its data copied as it lies in the archive
};

// One member of the download. Offsets are the download's own.
struct zo_member {
    uint64_t offset;     // of its local header
    uint64_t cd_offset;  // of its central directory record
    uint64_t csize;      // data bytes in the download
    uint64_t usize;
    uint64_t source_at;  // ZO_RAW: the local header in the archive, then (once located) the data
    uint64_t crc_done;   // ZO_FILE: `crc` covers the bytes [0, crc_done)
    uint64_t ino;        // ZO_FILE: what the walk saw, to tell a change
    int64_t mtime_ns;    // ZO_FILE: the same; ZO_RAW and ZO_DIR: the time, in nanoseconds
    uint32_t name_at;    // in the layout's names
    uint32_t crc;
    uint16_t name_len;
    uint16_t method;
    uint16_t flags;  // general purpose flags
    zo_source source;
    bool crc_known;
    bool located;
    bool zip64;  // sizes in a ZIP64 extra field (and descriptor)
};

// A folder laid out as an archive: every member in the order it is sent,
// the central directory after them, and what the sender holds open.
struct zo_layout {
    uint64_t size;  // of the whole download
    uint64_t etag;  // from the identities of every file and its name
    int64_t newest;  // the newest member time, seconds
    uint64_t cd_offset;
    uint64_t cd_size;
    uint64_t end_offset;  // of the end records
    uint64_t bytes;       // memory held
    uint32_t count;
    uint32_t capacity;
    uint32_t crc_missing;  // disk files whose CRC-32 is not known yet
    uint32_t crc_cursor;   // no member before it lacks its CRC-32
    zo_member *members;
    char *names;
    uint64_t names_len;
    uint64_t names_cap;
    zip_archive *archive;  // the source of ZO_RAW members, held by the caller; else null
    file_id archive_id;    // what it was when walked
    char *folder;          // a disk folder's path with its final "/"
    int fd;                // the disk file open now, or -1
    uint32_t fd_member;
    zo_walk *walk;   // while the layout is being made; null once it is whole
    char name[256];  // what the download is called, without ".zip"
};

enum zo_walk_result : uint8_t {
    ZO_WALK_OK,
    ZO_WALK_AGAIN,      // a slice is done, or the walk waits its turn: call again later
    ZO_WALK_TOO_LARGE,  // beyond `limit` bytes of layout, or too deep
    ZO_WALK_FAILED,     // memory or descriptors ran out
};

// A layout of the disk folder `folder` (its path with the final "/"), made
// by zo_walk_step: every file and folder below it that the walk takes, in
// the order the directories list them. Reads no file byte. Null when
// memory ran out.
zo_layout *zo_walk_folder(const char *folder, uint64_t limit);
// The same of the folder `prefix` ("" for the whole archive, else a path
// without its final "/") of an open archive, which the caller holds while
// the layout lives; `id` is the archive file's identity. Reads nothing from
// the archive.
zo_layout *zo_walk_archive(zip_archive *za, const file_id &id, const char *prefix, uint64_t limit);
// One slice of the layout's walk. Once it gives ZO_WALK_OK the layout is
// whole and may be read; after ZO_WALK_TOO_LARGE or ZO_WALK_FAILED it is
// only to be freed.
zo_walk_result zo_walk_step(zo_layout *lo);
// Names the download after the folder at the end of `path` (its final "/"
// allowed); an archive's own name loses its ".zip".
void zo_name(zo_layout *lo, const char *path, size_t len);
void zo_free(zo_layout *lo);
// Closes the file a layout holds open while nobody sends from it.
void zo_idle(zo_layout *lo);

enum zo_read_result : int8_t {
    ZO_READ_FAILED = -1,  // a file changed or vanished, or cannot be read
    ZO_READ_AGAIN = 0,    // CRC-32s are being computed a slice per call: call again later
    ZO_READ_DONE = 1,
};
zo_read_result zo_read(zo_layout *lo, void *buffer, uint32_t count, uint64_t offset);

enum zo_place : uint8_t {
    ZO_GENERATED,  // read it through zo_read
    ZO_IN_FILE,    // in the file `*fd` at `*at`, as it lies
    ZO_CHANGED,    // the file it lies in has changed since the walk: the download cannot go on
};
// Where the download's byte `offset` lies; `*run` is how many bytes from it
// lie so (for ZO_GENERATED, up to the next bytes that lie in a file).
zo_place zo_where(zo_layout *lo, uint64_t offset, int *fd, uint64_t *at, uint64_t *run);

// A deflated member framed as gzip: a 10-byte header, the member's deflate
// data as it lies in the archive, and the 8-byte trailer of its CRC-32 and
// size. Its length is the member's compressed size and 18.
constexpr uint64_t GZ_FRAMING = 18;
struct gz_member {
    zip_archive *archive;  // held by the caller
    zip_node *node;
    uint64_t data_offset;
    unsigned char head[10];
    unsigned char tail[8];
};
// Null when the member is not deflated, is encrypted, or its data does not
// lie inside the archive (reads its local header).
gz_member *gz_open(zip_archive *za, zip_node *node);
void gz_free(gz_member *gz);
zo_read_result gz_read(const gz_member *gz, void *buffer, uint32_t count, uint64_t offset);
// ZO_GENERATED or ZO_IN_FILE, as zo_where.
zo_place gz_where(const gz_member *gz, uint64_t offset, int *fd, uint64_t *at, uint64_t *run);
