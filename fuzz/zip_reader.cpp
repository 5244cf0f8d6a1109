// Arbitrary bytes opened as a ZIP archive: the directory is read, the name
// index is walked, and every member that opens is read in pieces, sought
// forwards and back, and closed.
//
// Checked: nothing crashes; no read of the archive file reaches outside the
// file (every read goes through the check below); the name index is
// consistent (every node is found by its path, sits in exactly one ring,
// below its parent); a member never delivers more than its recorded size;
// and after zip_close every block and file is released.
#include "memory.h"
#include "zip.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The most member bytes read from one member, so that a member claiming
// gigabytes keeps each run short; reading it further is the same work.
constexpr uint64_t MEMBER_READ_CAP = 1u << 20;
constexpr size_t MEMBERS_READ_MAX = 64;

void fail(const char *what)
{
    fprintf(stderr, "zip_reader: %s\n", what);
    abort();
}

int archive_fd = -1;
std::string archive_path;

void check_ring(const zip_node *first, int32_t count, const zip_node *parent, size_t &visited)
{
    if (!first) {
        if (count != 0)
            fail("empty ring with a count");
        return;
    }
    const size_t plen = parent ? strlen(parent->path) : 0;
    int32_t seen = 0;
    const zip_node *n = first;
    do {
        if (n->next->prev != n || n->prev->next != n)
            fail("ring links disagree");
        if (parent && (strncmp(n->path, parent->path, plen) != 0 || n->path[plen] != '/'))
            fail("node not below its parent's path");
        // Every prefix of a path has its node, so only a path without "/" is
        // at the top.
        if (!parent && strchr(n->path, '/'))
            fail("top-level node with a parent path");
        ++visited;
        if (++seen > count)
            fail("ring longer than its count");
        n = n->next;
    } while (n != first);
    if (seen != count)
        fail("ring shorter than its count");
}

void check_index(zip_archive *za, std::vector<zip_node *> &nodes)
{
    const zip_index &ix = za->index;
    for (uint32_t b = 0; b < ix.nbuckets; ++b)
        for (zip_node *n = ix.buckets[b]; n; n = n->hash_next) {
            if (string_hash(n->path, ix.nbuckets) != b)
                fail("node in the wrong bucket");
            const size_t len = strlen(n->path);
            if (len == 0 || n->path[0] == '/' || n->path[len - 1] == '/')
                fail("node path empty or with an outer slash");
            if (zip_find(za, n->path) != n)
                fail("node not found by its own path");
            nodes.push_back(n);
            if (nodes.size() > ix.nnodes)
                fail("more nodes in the buckets than counted");
        }
    if (nodes.size() != ix.nnodes)
        fail("fewer nodes in the buckets than counted");

    size_t visited = 0;
    check_ring(ix.top, static_cast<int32_t>(ix.ntop), nullptr, visited);
    for (const zip_node *n : nodes)
        check_ring(n->child, n->nchildren, n, visited);
    if (visited != nodes.size())
        fail("a node is in no ring or in two");
    if (zip_list(za, "") != ix.top || zip_list(za, "/") != ix.top)
        fail("listing of the top level is not the top ring");
}

// Reads from the current position to the end (or the cap) in pieces.
uint64_t read_on(zip_stream *zs, uint32_t piece, std::vector<unsigned char> &buf)
{
    uint64_t total = 0;
    while (total < MEMBER_READ_CAP) {
        const uint64_t before = zs->out_pos;
        const int n = zip_member_read(zs, buf.data(), piece);
        if (n < 0)
            break;
        if (static_cast<uint32_t>(n) > piece)
            fail("read delivered more than asked");
        if (before + static_cast<uint64_t>(n) > zs->node->usize)
            fail("read delivered past the recorded size");
        if (n == 0)
            break;
        total += static_cast<uint64_t>(n);
    }
    return total;
}

// Moves the stream to `offset`, calling again while the skip goes on in
// slices; a slice that leaves the stream where it was is a failure.
seek_result seek(zip_stream *zs, uint64_t offset)
{
    for (;;) {
        const uint64_t before = zs->out_pos;
        const seek_result r = zip_member_seek(zs, offset);
        if (r != SEEK_AGAIN)
            return r;
        if (zs->out_pos <= before || zs->out_pos >= offset)
            fail("a slice of a seek made no progress");
    }
}

void exercise_member(zip_archive *za, zip_node *node, uint32_t piece, std::vector<unsigned char> &buf)
{
    zip_stream *zs = zip_member_open(za, node);
    if (!zs)
        return;
    if (zs->node != node || zs->out_pos != 0)
        fail("stream opened in a wrong state");
    const uint64_t first = read_on(zs, piece, buf);
    // Back to a point inside what was read, and on from there.
    if (first > 0) {
        const uint64_t back = first / 2;
        if (seek(zs, back) == SEEK_DONE) {
            if (zs->out_pos != back)
                fail("seek reported success at another position");
            read_on(zs, piece, buf);
        }
    }
    if (seek(zs, 0) == SEEK_DONE)
        read_on(zs, 4096, buf);
    zip_member_close(zs);
}

// Every read of the archive file must lie inside the file.
int checked_read_at(int fd, void *buf, uint32_t count, uint64_t offset)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        fail("read from a descriptor that is not open");
    const uint64_t length = static_cast<uint64_t>(st.st_size);
    if (offset > length || count > length - offset)
        fail("read outside the archive file");
    return pread_at(fd, buf, count, offset);
}

zip_set *archives;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    file_read_at = checked_read_at;
    archives = zip_set_new();
    archive_fd = memfd_create("archive.zip", MFD_CLOEXEC);
    if (archive_fd < 0)
        fail("memfd_create failed");
    archive_path = "/proc/self/fd/" + std::to_string(archive_fd);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (ftruncate(archive_fd, 0) != 0 || pwrite(archive_fd, data, size, 0) != static_cast<ssize_t>(size))
        fail("cannot write the archive");

    const int32_t blocks = n_blocks, files = n_files;
    zip_archive *za = zip_open(archives, archive_path.c_str());
    if (za) {
        if (za->entries_read > za->entries)
            fail("more records read than claimed");

        std::vector<zip_node *> nodes;
        check_index(za, nodes);

        std::vector<unsigned char> buf(70000);
        size_t members = 0;
        for (size_t i = 0; i < nodes.size() && members < MEMBERS_READ_MAX; ++i) {
            if (nodes[i]->child)
                continue;
            ++members;
            const uint32_t piece = 1 + static_cast<uint32_t>((i * 7919 + size) % 69999);
            exercise_member(za, nodes[i], piece, buf);
        }
        zip_close(za);
    }
    if (n_blocks != blocks || n_files != files)
        fail("blocks or files not released");
    return 0;
}
