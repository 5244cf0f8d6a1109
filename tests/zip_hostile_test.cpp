// Archives made to hurt the reader: cut short, pointing past their end or back
// into themselves, claiming gigabytes, with hostile names. Each is built at
// test time from a real archive by a python script, and each must be refused
// or read safely, with every block and file released afterwards.
#include "memory.h"
#include "support.h"
#include "zip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

// Patching helpers for the fixture scripts: find the end record and the
// central record of a name, and overwrite fields in place.
const char *const PY_PRELUDE = R"(
import os, struct, zipfile, zlib
def load(path):
    return bytearray(open(path, 'rb').read())
def save(path, data):
    with open(path, 'wb') as f:
        f.write(bytes(data))
def eocd(data):
    return data.rfind(b'PK\x05\x06')
def records(data):
    e = eocd(data)
    count, = struct.unpack_from('<H', data, e + 10)
    pos, = struct.unpack_from('<I', data, e + 16)
    out = {}
    for _ in range(count):
        n, x, c = struct.unpack_from('<HHH', data, pos + 28)
        out[bytes(data[pos + 46:pos + 46 + n])] = pos
        pos += 46 + n + x + c
    return out
def record(data, name):
    return records(data)[name.encode('latin-1') if isinstance(name, str) else name]
def local(data, name):
    off, = struct.unpack_from('<I', data, record(data, name) + 42)
    return off
def put(data, offset, fmt, *values):
    struct.pack_into(fmt, data, offset, *values)
def sample(path, comment=b''):
    with zipfile.ZipFile(path, 'w') as z:
        z.comment = comment
        z.writestr('a.txt', b'alpha alpha alpha', zipfile.ZIP_STORED)
        z.writestr('b.txt', b'bravo ' * 400, zipfile.ZIP_DEFLATED)
        z.writestr('c/d.txt', b'charlie delta', zipfile.ZIP_DEFLATED)
)";

// How reading one member ended.
enum read_end {
    REFUSED,  // zip_member_open returned nothing
    FAILED,   // a read returned -1
    SHORT,    // reads ended cleanly before the recorded size
    WHOLE,    // exactly the recorded size was delivered, then 0
};

struct member_read {
    read_end end = REFUSED;
    std::string data;     // what was delivered, up to the cap
    uint64_t bytes = 0;   // how much was delivered
};

struct archive_read {
    bool opened = false;
    uint32_t entries = 0;
    uint32_t entries_read = 0;
    uint32_t nnodes = 0;
    std::vector<std::string> paths;  // every node, sorted
};

long peak_rss_kb()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

class HostileArchive : public ::testing::Test {
protected:
    void SetUp() override
    {
        blocks = n_blocks;
        files = n_files;
        dir = make_temp_dir();
    }

    void TearDown() override
    {
        if (za)
            zip_close(za);
        EXPECT_EQ(n_blocks, blocks);
        EXPECT_EQ(n_files, files);
    }

    bool python(const std::string &code)
    {
        write_file(dir + "/mk.py", std::string(PY_PRELUDE) + code);
        return run_shell("cd '" + dir + "' && python3 mk.py") == 0;
    }

    std::string path(const std::string &name) const
    {
        return dir + "/" + name;
    }

    // Opens an archive and reads its whole directory as path resolution does.
    archive_read open_all(const std::string &name)
    {
        archive_read a;
        if (za)
            zip_close(za);
        za = zip_open(path(name).c_str());
        if (!za)
            return a;
        while (zip_read_dir(za, 1000) >= 1000) {
        }
        a.opened = true;
        a.entries = za->entries;
        a.entries_read = za->entries_read;
        a.nnodes = za->index.nnodes;
        for (uint32_t b = 0; b < za->index.nbuckets; ++b)
            for (zip_node *n = za->index.buckets[b]; n; n = n->hash_next)
                a.paths.emplace_back(n->path);
        std::sort(a.paths.begin(), a.paths.end());
        return a;
    }

    // Reads a member of the open archive to its end in pieces, keeping at
    // most `cap` bytes of what it delivers; the blocks in use stay the same
    // from the first read on.
    member_read read_member(const std::string &member, uint32_t piece = 8192, uint64_t cap = 1 << 20)
    {
        member_read m;
        zip_node *node = za ? zip_find(za, member.c_str()) : nullptr;
        zip_stream *zs = node ? zip_member_open(za, node) : nullptr;
        if (!zs)
            return m;
        // zlib takes its window at the first read; after that, nothing more.
        int32_t in_use = -1;
        std::vector<char> buf(piece);
        for (;;) {
            const int n = zip_member_read(zs, buf.data(), piece);
            if (in_use < 0)
                in_use = n_blocks;
            EXPECT_EQ(n_blocks, in_use);
            if (n < 0) {
                m.end = FAILED;
                break;
            }
            if (n == 0) {
                m.end = m.bytes == node->usize ? WHOLE : SHORT;
                break;
            }
            EXPECT_LE(static_cast<uint32_t>(n), piece);
            m.bytes += static_cast<uint64_t>(n);
            EXPECT_LE(m.bytes, node->usize) << "delivered past the recorded size";
            if (m.data.size() < cap)
                m.data.append(buf.data(), std::min<size_t>(static_cast<size_t>(n), cap - m.data.size()));
        }
        zip_member_close(zs);
        return m;
    }

    void close_archive()
    {
        zip_close(za);
        za = nullptr;
        EXPECT_EQ(n_blocks, blocks);
        EXPECT_EQ(n_files, files);
    }

    std::string dir;
    int32_t blocks = 0, files = 0;
    zip_archive *za = nullptr;
};

const std::string B_TEXT = [] {
    std::string s;
    for (int i = 0; i < 400; ++i)
        s += "bravo ";
    return s;
}();

// ---- cut short ----

TEST_F(HostileArchive, ArchiveCutAnywhereBeforeItsEndRecordIsRefused)
{
    ASSERT_TRUE(python("sample('s.zip', comment=b'a comment of some length')\n"
                       "data = load('s.zip')\n"
                       "for k in range(len(data)):\n"
                       "    save('cut%d.zip' % k, data[:k])\n"
                       "print(eocd(data), len(data), file=open('sizes', 'w'))\n"));
    const std::string sizes = read_file(path("sizes"));
    const size_t eocd = std::stoul(sizes), length = std::stoul(sizes.substr(sizes.find(' ')));
    ASSERT_GT(length, eocd + 22);
    for (size_t k = 0; k < length; ++k) {
        SCOPED_TRACE("cut at " + std::to_string(k));
        const archive_read a = open_all("cut" + std::to_string(k) + ".zip");
        if (k < eocd + 22) {
            EXPECT_FALSE(a.opened);  // the end record is gone or incomplete
            continue;
        }
        // Only the comment was cut: the archive is whole.
        ASSERT_TRUE(a.opened);
        EXPECT_EQ(a.entries_read, 3u);
        EXPECT_EQ(read_member("b.txt").data, B_TEXT);
    }
}

TEST_F(HostileArchive, ArchiveCutBeforeReattachedEndRecordKeepsOnlyWhatIsWhole)
{
    // The end record is kept but the data before it is cut short, so the
    // directory and the local headers point at bytes that are not there.
    // The members' data precede the directory: a member is readable exactly
    // when its central record and every one before it survived the cut.
    ASSERT_TRUE(python("sample('s.zip')\n"
                       "data = load('s.zip')\n"
                       "e = eocd(data)\n"
                       "for k in range(0, e):\n"
                       "    save('cut%d.zip' % k, data[:k] + data[e:])\n"
                       "ends = []\n"
                       "for name, pos in sorted(records(data).items(), key=lambda r: r[1]):\n"
                       "    n, x, c = struct.unpack_from('<HHH', data, pos + 28)\n"
                       "    ends.append(pos + 46 + n + x + c)\n"
                       "print(e, *ends, file=open('sizes', 'w'))\n"));
    std::vector<size_t> ends;
    {
        const std::string sizes = read_file(path("sizes"));
        size_t at = 0;
        while (at < sizes.size() && sizes[at] != '\n') {
            size_t used = 0;
            ends.push_back(std::stoul(sizes.substr(at), &used));
            at += used;
        }
    }
    ASSERT_EQ(ends.size(), 4u);
    const size_t eocd = ends[0];
    const std::pair<const char *, std::string> members[] = {
        {"a.txt", "alpha alpha alpha"}, {"b.txt", B_TEXT}, {"c/d.txt", "charlie delta"}};
    for (size_t k = 0; k < eocd; ++k) {
        SCOPED_TRACE("cut at " + std::to_string(k));
        const archive_read a = open_all("cut" + std::to_string(k) + ".zip");
        if (k == 0) {
            EXPECT_FALSE(a.opened);  // the end record alone: 22 bytes are no archive
            continue;
        }
        ASSERT_TRUE(a.opened);  // the end record itself is intact
        EXPECT_LE(a.entries_read, a.entries);
        uint32_t survived = 0;
        while (survived < 3 && ends[1 + survived] <= k)
            ++survived;
        uint32_t whole = 0;
        for (uint32_t i = 0; i < 3; ++i) {
            const auto &[name, text] = members[i];
            const member_read m = read_member(name);
            if (i < survived) {
                EXPECT_EQ(m.end, WHOLE) << name;
                EXPECT_EQ(m.data, text) << name;
            } else {
                EXPECT_NE(m.end, WHOLE) << name;
            }
            whole += m.end == WHOLE;
        }
        EXPECT_EQ(whole, survived);
        close_archive();
    }
}

// ---- pointing past the end ----

TEST_F(HostileArchive, OffsetsAndSizesPastTheEndAreRefused)
{
    struct {
        const char *name;
        const char *patch;       // python statements on `data`
        uint32_t records;        // records the directory yields
        read_end a, b;           // how a.txt and b.txt read
    } cases[] = {
        {"directory_far", "put(data, eocd(data) + 16, '<I', 0xFFFFFFF0)", 0, REFUSED, REFUSED},
        {"directory_at_end", "put(data, eocd(data) + 16, '<I', len(data))", 0, REFUSED, REFUSED},
        {"count_too_high", "put(data, eocd(data) + 8, '<HH', 65535, 65535)", 3, WHOLE, WHOLE},
        {"name_past_end", "put(data, record(data, 'a.txt') + 28, '<H', 60000)", 0, REFUSED, REFUSED},
        {"extra_past_end", "put(data, record(data, 'a.txt') + 30, '<H', 65535)", 1, WHOLE, REFUSED},
        {"local_far", "put(data, record(data, 'a.txt') + 42, '<I', 0xFFFFFF00)", 3, REFUSED, WHOLE},
        {"local_straddles_end", "put(data, record(data, 'a.txt') + 42, '<I', len(data) - 10)", 3, REFUSED, WHOLE},
        {"compressed_size_far", "put(data, record(data, 'b.txt') + 20, '<I', 0x7FFFFFFF)", 3, WHOLE, REFUSED},
        {"local_name_past_end", "put(data, local(data, 'b.txt') + 26, '<H', 65535)", 3, WHOLE, REFUSED},
        {"stored_size_claims_more", "put(data, record(data, 'a.txt') + 20, '<II', 0xFFFFFFF0, 0xFFFFFFF0)", 3,
         REFUSED, WHOLE},
        {"stored_usize_claims_more", "put(data, record(data, 'a.txt') + 24, '<I', 0xFFFFFFF0)", 3, SHORT, WHOLE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = std::string(c.name) + ".zip";
        ASSERT_TRUE(python("sample('" + file + "')\ndata = load('" + file + "')\n" + c.patch + "\nsave('" + file +
                           "', data)\n"));
        const archive_read a = open_all(file);
        ASSERT_TRUE(a.opened);
        EXPECT_EQ(a.entries_read, c.records);
        const member_read ma = read_member("a.txt"), mb = read_member("b.txt");
        EXPECT_EQ(ma.end, c.a);
        EXPECT_EQ(mb.end, c.b);
        if (ma.end == WHOLE || ma.end == SHORT) {
            EXPECT_EQ(ma.data, "alpha alpha alpha");
        }
        if (mb.end == WHOLE) {
            EXPECT_EQ(mb.data, B_TEXT);
        }
        close_archive();
    }
}

// ---- pointing back ----

TEST_F(HostileArchive, StructuresPointingBackAreReadOnceAndChecked)
{
    struct {
        const char *name;
        const char *patch;
        uint32_t records;
        read_end a, b;
    } cases[] = {
        // The directory starts at the end record, or at the first local header.
        {"directory_is_end_record", "put(data, eocd(data) + 16, '<I', eocd(data))", 0, REFUSED, REFUSED},
        {"directory_is_data", "put(data, eocd(data) + 16, '<I', 0)", 0, REFUSED, REFUSED},
        // A member whose data would be the central directory itself.
        {"member_is_directory", "put(data, record(data, 'a.txt') + 42, '<I', record(data, 'a.txt'))", 3, REFUSED,
         WHOLE},
        // Two records share b.txt's data: a.txt now claims bytes that are not its own.
        {"members_share_data", "put(data, record(data, 'a.txt') + 42, '<I', local(data, 'b.txt'))", 3, FAILED,
         WHOLE},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = std::string(c.name) + ".zip";
        ASSERT_TRUE(python("sample('" + file + "')\ndata = load('" + file + "')\n" + c.patch + "\nsave('" + file +
                           "', data)\n"));
        const archive_read a = open_all(file);
        ASSERT_TRUE(a.opened);
        EXPECT_EQ(a.entries_read, c.records);
        const member_read ma = read_member("a.txt"), mb = read_member("b.txt");
        EXPECT_EQ(ma.end, c.a);
        EXPECT_EQ(mb.end, c.b);
        if (mb.end == WHOLE) {
            EXPECT_EQ(mb.data, B_TEXT);
        }
        close_archive();
    }
}

TEST_F(HostileArchive, DirectoryRepeatingOneRecordKeepsOneNode)
{
    // 65535 copies of the same central record: the directory goes round the
    // same member again and again.
    ASSERT_TRUE(python("with zipfile.ZipFile('one.zip', 'w') as z:\n"
                       "    z.writestr('same.txt', b'the same member', zipfile.ZIP_DEFLATED)\n"
                       "data = load('one.zip')\n"
                       "e = eocd(data)\n"
                       "start = record(data, 'same.txt')\n"
                       "rec = data[start:e]\n"
                       "end = data[e:e + 22]\n"
                       "put(end, 8, '<HHI', 65535, 65535, len(rec) * 65535)\n"
                       "save('loop.zip', data[:start] + rec * 65535 + end)\n"));
    const archive_read a = open_all("loop.zip");
    ASSERT_TRUE(a.opened);
    EXPECT_EQ(a.entries_read, 65535u);
    EXPECT_EQ(a.paths, std::vector<std::string>{"same.txt"});
    EXPECT_LT(n_blocks - blocks, 8);  // the archive, its buckets and one node
    const member_read m = read_member("same.txt");
    EXPECT_EQ(m.end, WHOLE);
    EXPECT_EQ(m.data, "the same member");
}

// ---- claiming gigabytes ----

TEST_F(HostileArchive, LargeDeflatedMemberIsReadInBoundedMemory)
{
    // 256 MiB of zeros deflate to about 250 KiB.
    ASSERT_TRUE(python("with zipfile.ZipFile('bomb.zip', 'w', zipfile.ZIP_DEFLATED) as z:\n"
                       "    with z.open('zeros', 'w', force_zip64=False) as f:\n"
                       "        chunk = bytes(1 << 20)\n"
                       "        for _ in range(256):\n"
                       "            f.write(chunk)\n"));
    const archive_read a = open_all("bomb.zip");
    ASSERT_TRUE(a.opened);
    const long rss_before = peak_rss_kb();
    const member_read m = read_member("zeros", 65536, 4096);
    EXPECT_EQ(m.end, WHOLE);
    EXPECT_EQ(m.bytes, uint64_t{256} << 20);
    EXPECT_EQ(m.data, std::string(4096, '\0'));
    EXPECT_LT(peak_rss_kb() - rss_before, 32 * 1024) << "reading grew the process by more than 32 MiB";
}

TEST_F(HostileArchive, ClaimedSizesOtherThanTheDataEndTheReadSafely)
{
    struct {
        const char *name;
        const char *patch;
        read_end end;
        uint64_t bytes;  // delivered before the end
    } cases[] = {
        // Claims 4 GiB: the deflate data ends after its real 1 MiB, cleanly.
        {"claims_4g", "put(data, record(data, 'zeros') + 24, '<I', 0xFFFFFFFF)", SHORT, 1 << 20},
        // Claims 1000 bytes: nothing past them is delivered, and the CRC-32 of
        // those 1000 bytes is not the member's, so the read reaching them fails.
        {"claims_1000", "put(data, record(data, 'zeros') + 24, '<I', 1000)", FAILED, 0},
        // Claims its compressed data is 100 bytes: the deflate stream is cut off.
        {"data_cut", "put(data, record(data, 'zeros') + 20, '<I', 100)", FAILED, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = std::string(c.name) + ".zip";
        ASSERT_TRUE(python("with zipfile.ZipFile('" + file + "', 'w', zipfile.ZIP_DEFLATED) as z:\n"
                           "    z.writestr('zeros', bytes(1 << 20))\n"
                           "data = load('" + file + "')\n" + c.patch + "\nsave('" + file + "', data)\n"));
        ASSERT_TRUE(open_all(file).opened);
        const member_read m = read_member("zeros", 8192);
        EXPECT_EQ(m.end, c.end);
        if (c.end == SHORT) {
            EXPECT_EQ(m.bytes, c.bytes);
        } else {
            EXPECT_LT(m.bytes, uint64_t{1} << 20);
        }
        EXPECT_EQ(m.data, std::string(m.data.size(), '\0'));
        close_archive();
    }
}

// ---- hostile names ----

TEST_F(HostileArchive, DotDotNamesStayInsideTheArchive)
{
    // Files beside and above the archive carry the same names as its members;
    // reading a member must give the member's bytes, never theirs.
    ASSERT_TRUE(python("os.makedirs('t/u', exist_ok=True)\n"
                       "names = ['..', '../outside.txt', 'a/../../outside.txt', './x', '/abs/y', 'u/../../z']\n"
                       "with zipfile.ZipFile('t/u/dots.zip', 'w') as z:\n"
                       "    for n in names:\n"
                       "        z.writestr(zipfile.ZipInfo(n), ('member ' + n).encode(), zipfile.ZIP_DEFLATED)\n"
                       "for p in ['t/outside.txt', 'outside.txt', 't/z', 't/u/x', 'abs/y']:\n"
                       "    os.makedirs(os.path.dirname(p) or '.', exist_ok=True)\n"
                       "    save(p, b'SECRET')\n"));
    const archive_read a = open_all("t/u/dots.zip");
    ASSERT_TRUE(a.opened);
    struct {
        const char *path;  // as indexed
        const char *text;
    } cases[] = {
        {"../outside.txt", "member ../outside.txt"},
        {"a/../../outside.txt", "member a/../../outside.txt"},
        {"..", "member .."},
        {"./x", "member ./x"},
        {"abs/y", "member /abs/y"},
        {"u/../../z", "member u/../../z"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        const member_read m = read_member(c.path);
        EXPECT_EQ(m.end, WHOLE);
        EXPECT_EQ(m.data, c.text);
    }
    // The dot segments are ordinary directory names inside the index.
    EXPECT_NE(zip_find(za, "a/.."), nullptr);
    EXPECT_NE(zip_find(za, "."), nullptr);
    EXPECT_EQ(zip_find(za, "outside.txt"), nullptr);
    EXPECT_EQ(zip_find(za, "z"), nullptr);
}

TEST_F(HostileArchive, ControlBytesInNamesAreKeptAsBytes)
{
    // zipfile writes neither a zero byte nor a lone high byte in a name, so
    // those are patched in over "#" after writing.
    struct {
        const char *written;
        std::string indexed;
    } cases[] = {
        {"ctl\x01\x02.txt", "ctl\x01\x02.txt"},
        {"new\nline: x", "new\nline: x"},
        {"cr\r\nlf", "cr\r\nlf"},
        {"tab\tname", "tab\tname"},
        {"del\x7f", "del\x7f"},
        {"esc\x1b[31m", "esc\x1b[31m"},
        {"high##", "high\xff\xfe"},
        {"zero#cut.txt", "zero"},  // a zero byte ends the name
    };
    std::string script = "names = [";
    for (const auto &c : cases) {
        script += "b'";
        for (const char *p = c.written; *p; ++p) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(*p));
            script += hex;
        }
        script += "', ";
    }
    script += "]\n"
              "with zipfile.ZipFile('ctl.zip', 'w') as z:\n"
              "    for i, n in enumerate(names):\n"
              "        z.writestr(zipfile.ZipInfo(n.decode('ascii')), b'member %d' % i, zipfile.ZIP_DEFLATED)\n"
              "data = load('ctl.zip')\n"
              "put(data, record(data, b'high##') + 46 + 4, 'BB', 0xff, 0xfe)\n"
              "put(data, record(data, b'zero#cut.txt') + 46 + 4, 'B', 0)\n"
              "save('ctl.zip', data)\n";
    ASSERT_TRUE(python(script));
    const archive_read a = open_all("ctl.zip");
    ASSERT_TRUE(a.opened);
    EXPECT_EQ(a.entries_read, 8u);
    int i = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.written);
        const member_read m = read_member(c.indexed);
        EXPECT_EQ(m.end, WHOLE);
        EXPECT_EQ(m.data, "member " + std::to_string(i++));
    }
}

TEST_F(HostileArchive, NamesOfSixtyThousandBytesAreIndexedWithinBounds)
{
    ASSERT_TRUE(python("with zipfile.ZipFile('long.zip', 'w') as z:\n"
                       "    z.writestr('first.txt', b'first')\n"
                       "    z.writestr('n' * 60000, b'flat')\n"
                       "    z.writestr('d/' * 2000 + 'x' * 56000, b'deep and long')\n"
                       "    z.writestr('ab/' * 20000, b'only directories')\n"
                       "    z.writestr('last.txt', b'last')\n"));
    const archive_read a = open_all("long.zip");
    ASSERT_TRUE(a.opened);
    EXPECT_EQ(read_member(std::string(60000, 'n')).data, "flat");
    std::string deep;
    for (int i = 0; i < 2000; ++i)
        deep += "d/";
    EXPECT_EQ(read_member(deep + std::string(56000, 'x')).data, "deep and long");
    // 20000 nested directories would hold about 1.2 GB of paths: the index
    // refuses that record and the reading stops there.
    EXPECT_EQ(a.entries_read, 3u);
    EXPECT_EQ(zip_find(za, "ab"), nullptr);
    EXPECT_EQ(zip_find(za, "last.txt"), nullptr);
    EXPECT_LT(za->index.nbytes, uint64_t{16} << 20);
}

}  // namespace
