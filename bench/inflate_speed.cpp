// zlib's own inflate speed over the first member of a ZIP archive: the raw
// deflate data is read into memory once, then inflated into an 8 KB buffer
// (the size of a reply buffer) again and again. Prints the MB/s of each pass,
// one line per pass.
//
// Usage: inflate_speed ARCHIVE.zip [PASSES]
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

static unsigned get16(const unsigned char *p)
{
    return p[0] | (p[1] << 8);
}

static unsigned long get32(const unsigned char *p)
{
    return get16(p) | (static_cast<unsigned long>(get16(p + 2)) << 16);
}

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s ARCHIVE.zip [PASSES]\n", argv[0]);
        return 2;
    }
    const int passes = argc > 2 ? atoi(argv[2]) : 3;
    FILE *f = fopen(argv[1], "rb");
    if (!f) {
        perror(argv[1]);
        return 1;
    }
    unsigned char lfh[30];
    if (fread(lfh, 1, sizeof lfh, f) != sizeof lfh || get32(lfh) != 0x04034b50 || get16(lfh + 8) != 8) {
        fprintf(stderr, "%s: the first member is not deflated\n", argv[1]);
        return 1;
    }
    const unsigned long csize = get32(lfh + 18);
    const unsigned long usize = get32(lfh + 22);
    fseek(f, static_cast<long>(sizeof lfh + get16(lfh + 26) + get16(lfh + 28)), SEEK_SET);
    std::vector<unsigned char> in(csize);
    if (fread(in.data(), 1, csize, f) != csize) {
        fprintf(stderr, "%s: short member data\n", argv[1]);
        return 1;
    }
    fclose(f);

    static unsigned char out[8192];
    for (int pass = 0; pass < passes; ++pass) {
        z_stream z = {};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
            return 1;
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(csize);
        unsigned long total = 0;
        const auto start = std::chrono::steady_clock::now();
        int r = Z_OK;
        while (r == Z_OK) {
            z.next_out = out;
            z.avail_out = sizeof out;
            r = inflate(&z, Z_SYNC_FLUSH);
            total += sizeof out - z.avail_out;
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        inflateEnd(&z);
        if (r != Z_STREAM_END || total != usize) {
            fprintf(stderr, "%s: inflate failed (%d)\n", argv[1], r);
            return 1;
        }
        printf("%.1f\n", total / seconds / 1e6);
    }
    return 0;
}
