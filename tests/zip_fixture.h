// The fixture the archive suites share: a temporary directory, python helpers
// that build and patch archives in it, and the block and file counters, which
// must be back where they were when a test ends.
#pragma once

#include "memory.h"
#include "support.h"
#include "zip.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

// Reproducible text; loading, saving and patching archives; finding their end
// records, the central record of a name (a path or the bytes themselves), and
// a member's local header and data; a small sample archive; an archive
// rewritten with ZIP64 end records and every member's sizes and offset in a
// ZIP64 extra field; and the ZIP64 end records alone.
inline const char *const ZIP_PY_PRELUDE = R"(
import os, random, struct, zipfile, zlib
def text(n, seed=1):
    r = random.Random(seed)
    words = [''.join(r.choice('abcdefghijklmnopqrstuvwxyz') for _ in range(r.randint(2, 9)))
             for _ in range(3000)]
    out = bytearray()
    while len(out) < n:
        out += r.choice(words).encode() + b' '
        if r.random() < 0.1:
            out += bytes(r.getrandbits(8) for _ in range(6))
    return bytes(out[:n])
def load(path):
    return bytearray(open(path, 'rb').read())
def save(path, data):
    with open(path, 'wb') as f:
        f.write(bytes(data))
def patch(path, offset, fmt, *values):
    with open(path, 'r+b') as f:
        f.seek(offset)
        f.write(struct.pack(fmt, *values))
def put(data, offset, fmt, *values):
    struct.pack_into(fmt, data, offset, *values)
def bytes_of(x):
    return x if isinstance(x, (bytes, bytearray)) else load(x)
def eocd(x):
    return bytes_of(x).rfind(b'PK\x05\x06')
def end64(x):
    data = bytes_of(x)
    e = eocd(data)
    return struct.unpack_from('<Q', data, e - 12)[0] if data[e - 20:e - 16] == b'PK\x06\x07' else -1
def records(x):
    data = bytes_of(x)
    e, z = eocd(data), end64(data)
    if z >= 0:
        count, pos = struct.unpack_from('<Q', data, z + 32)[0], struct.unpack_from('<Q', data, z + 48)[0]
    else:
        count, pos = struct.unpack_from('<H', data, e + 10)[0], struct.unpack_from('<I', data, e + 16)[0]
    out = {}
    for _ in range(count):
        n, x, c = struct.unpack_from('<HHH', data, pos + 28)
        out.setdefault(bytes(data[pos + 46:pos + 46 + n]), pos)
        pos += 46 + n + x + c
    return out
def record(x, name):
    return records(x)[name.encode('latin-1') if isinstance(name, str) else name]
def local(x, name):
    return struct.unpack_from('<I', bytes_of(x), record(x, name) + 42)[0]
def data_offset(x, name):
    data = bytes_of(x)
    off = local(data, name)
    n, e = struct.unpack_from('<HH', data, off + 26)
    return off + 30 + n + e
def sample(path, comment=b''):
    with zipfile.ZipFile(path, 'w') as z:
        z.comment = comment
        z.writestr('a.txt', b'alpha alpha alpha', zipfile.ZIP_STORED)
        z.writestr('b.txt', b'bravo ' * 400, zipfile.ZIP_DEFLATED)
        z.writestr('c/d.txt', b'charlie delta', zipfile.ZIP_DEFLATED)
def zip64(data):
    start, = struct.unpack_from('<I', data, eocd(data) + 16)
    cd = bytearray()
    for name, pos in sorted(records(data).items(), key=lambda r: r[1]):
        n, x, c = struct.unpack_from('<HHH', data, pos + 28)
        csize, usize = struct.unpack_from('<II', data, pos + 20)
        extra = struct.pack('<HHQQQ', 1, 24, usize, csize, local(data, name))
        rec = data[pos:pos + 46 + n] + extra + data[pos + 46 + n:pos + 46 + n + x + c]
        put(rec, 20, '<II', 0xFFFFFFFF, 0xFFFFFFFF)
        put(rec, 30, '<H', x + len(extra))
        put(rec, 42, '<I', 0xFFFFFFFF)
        cd += rec
    return data[:start] + cd + z64end(len(records(data)), start, len(cd))
def z64end(count, start, size):
    return (struct.pack('<IQHHIIQQQQ', 0x06064B50, 44, 45, 45, 0, 0, count, count, size, start)
            + struct.pack('<IIQI', 0x07064B50, 0, start + size, 1)
            + struct.pack('<IHHHHIIH', 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0))
def z64field(data, name):
    return record(data, name) + 46 + len(name) + 4
)";

class ZipFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        set = zip_set_new();
        blocks = n_blocks;
        files = n_files;
        dir = make_temp_dir();
    }

    void TearDown() override
    {
        for (zip_archive *za : opened)
            zip_close(za);
        EXPECT_EQ(n_blocks, blocks);
        EXPECT_EQ(n_files, files);
        zip_set_free(set);
    }

    bool python(const std::string &code)
    {
        write_file(dir + "/mk.py", std::string(ZIP_PY_PRELUDE) + code);
        return run_shell("cd '" + dir + "' && python3 mk.py") == 0;
    }

    bool shell(const std::string &command) { return run_shell("cd '" + dir + "' && " + command) == 0; }

    std::string path(const std::string &name) const { return dir + "/" + name; }

    // Opens an archive, to be closed by TearDown; null when it is refused.
    zip_archive *open_zip(const std::string &name)
    {
        zip_archive *za = zip_open(set, path(name).c_str());
        if (za)
            opened.push_back(za);
        return za;
    }

    std::string dir;
    int32_t blocks = 0, files = 0;
    zip_set *set = nullptr;
    std::vector<zip_archive *> opened;
};
