// Archives made to hurt the reader: cut short, pointing past their end or back
// into themselves, claiming gigabytes, with hostile names. Each is built at
// test time from a real archive by a python script, and each must be refused
// or read safely, with every block and file released afterwards.
#include "zip_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <poll.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// How reading one member ended.
enum read_end {
    REFUSED,  // zip_member_open returned nothing
    FAILED,   // a read returned -1
    SHORT,    // reads ended cleanly before the recorded size
    WHOLE,    // exactly the recorded size was delivered, then 0
};

struct member_read {
    read_end end = REFUSED;
    std::string data;    // what was delivered, up to the cap
    uint64_t bytes = 0;  // how much was delivered
};

struct archive_read {
    bool opened = false;
    uint64_t entries = 0;
    uint64_t entries_read = 0;
    uint32_t nnodes = 0;
    std::vector<std::string> paths;  // every node, sorted
};

long peak_rss_kb()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

// An archive built from the sample by a patch, and how it must read.
struct hostile_case {
    const char *name;
    const char *patch;  // python statements on `data`
    int64_t records;    // records the directory yields, or -1 when the archive is refused
    read_end a, b;      // how a.txt and b.txt read
};

class HostileArchive : public ZipFixture {
protected:
    void TearDown() override
    {
        if (za)
            zip_close(za);
        ZipFixture::TearDown();
    }

    // Opens an archive, closing the one opened before.
    archive_read open_all(const std::string &name)
    {
        archive_read a;
        if (za)
            zip_close(za);
        za = zip_open(set, path(name).c_str());
        if (!za)
            return a;
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
    // from the first read on, but for the member's checkpoints.
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
            EXPECT_LE(n_blocks, in_use + static_cast<int32_t>(ZIP_MAX_CHECKPOINTS) + 1);
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

    // Builds each case from the sample archive and reads a.txt and b.txt;
    // what is delivered whole or cut short is the members' own bytes.
    void check_cases(std::initializer_list<hostile_case> cases);

    zip_archive *za = nullptr;
};

const std::string B_TEXT = [] {
    std::string s;
    for (int i = 0; i < 400; ++i)
        s += "bravo ";
    return s;
}();

void HostileArchive::check_cases(std::initializer_list<hostile_case> cases)
{
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = std::string(c.name) + ".zip";
        ASSERT_TRUE(python("sample('" + file + "')\ndata = load('" + file + "')\n" + c.patch + "\nsave('" + file +
                           "', data)\n"));
        const archive_read a = open_all(file);
        ASSERT_EQ(a.opened, c.records >= 0);
        if (!a.opened)
            continue;
        EXPECT_EQ(a.entries_read, static_cast<uint64_t>(c.records));
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
    check_cases({
        {"directory_far", "put(data, eocd(data) + 16, '<I', 0xFFFFFFF0)", 0, REFUSED, REFUSED},
        {"directory_at_end", "put(data, eocd(data) + 16, '<I', len(data))", 0, REFUSED, REFUSED},
        {"count_too_high", "put(data, eocd(data) + 8, '<HH', 65535, 65535)", 3, WHOLE, WHOLE},
        {"name_past_end", "put(data, record(data, 'a.txt') + 28, '<H', 60000)", 0, REFUSED, REFUSED},
        {"extra_past_end", "put(data, record(data, 'a.txt') + 30, '<H', 65535)", 1, WHOLE, REFUSED},
        {"local_far", "put(data, record(data, 'a.txt') + 42, '<I', 0xFFFFFF00)", 3, REFUSED, WHOLE},
        {"local_straddles_end", "put(data, record(data, 'a.txt') + 42, '<I', len(data) - 10)", 3, REFUSED, WHOLE},
        {"compressed_size_far", "put(data, record(data, 'b.txt') + 20, '<I', 0x7FFFFFFF)", 3, WHOLE, REFUSED},
        {"local_name_past_end", "put(data, local(data, 'b.txt') + 26, '<H', 65535)", 3, WHOLE, REFUSED},
        {"stored_size_claims_more", "put(data, record(data, 'a.txt') + 20, '<II', 0xFFFFFFF0, 0xFFFFFFF0)", 3, REFUSED,
         WHOLE},
        {"stored_usize_claims_more", "put(data, record(data, 'a.txt') + 24, '<I', 0xFFFFFFF0)", 3, SHORT, WHOLE},
        // The same limits on the values of ZIP64 records and extra fields.
        {"z64_intact", "data = zip64(data)", 3, WHOLE, WHOLE},
        {"z64_count_past_directory", "data = zip64(data)\nput(data, end64(data) + 24, '<QQ', 1 << 40, 1 << 40)", -1},
        {"z64_directory_far", "data = zip64(data)\nput(data, end64(data) + 48, '<Q', 1 << 40)", -1},
        {"z64_record_missing", "data = zip64(data)\nput(data, end64(data), '<I', 0)", -1},
        {"z64_volumes", "data = zip64(data)\nput(data, eocd(data) - 4, '<I', 2)", -1},
        {"z64_extra_short", "data = zip64(data)\nput(data, z64field(data, 'b.txt') - 2, '<H', 16)", 1, WHOLE, REFUSED},
        {"z64_local_far", "data = zip64(data)\nput(data, z64field(data, 'a.txt') + 16, '<Q', 1 << 40)", 3, REFUSED,
         WHOLE},
        {"z64_compressed_size_far", "data = zip64(data)\nput(data, z64field(data, 'b.txt') + 8, '<Q', 1 << 40)", 3,
         WHOLE, REFUSED},
    });
}

// ---- pointing back ----

TEST_F(HostileArchive, StructuresPointingBackAreReadOnceAndChecked)
{
    check_cases({
        // The directory starts at the end record, or at the first local header.
        {"directory_is_end_record", "put(data, eocd(data) + 16, '<I', eocd(data))", 0, REFUSED, REFUSED},
        {"directory_is_data", "put(data, eocd(data) + 16, '<I', 0)", 0, REFUSED, REFUSED},
        // A member whose data would be the central directory itself.
        {"member_is_directory", "put(data, record(data, 'a.txt') + 42, '<I', record(data, 'a.txt'))", 3, REFUSED,
         WHOLE},
        // Two records share b.txt's data: a.txt now claims bytes that are not its own.
        {"members_share_data", "put(data, record(data, 'a.txt') + 42, '<I', local(data, 'b.txt'))", 3, FAILED, WHOLE},
        // A locator pointing at itself; a ZIP64 record naming itself as the directory.
        {"z64_locator_at_itself", "data = zip64(data)\nput(data, eocd(data) - 12, '<Q', eocd(data) - 20)", -1},
        {"z64_directory_is_record", "data = zip64(data)\nput(data, end64(data) + 48, '<Q', end64(data))", -1},
    });
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
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = std::string(c.name) + ".zip";
        ASSERT_TRUE(python("with zipfile.ZipFile('" + file +
                           "', 'w', zipfile.ZIP_DEFLATED) as z:\n"
                           "    z.writestr('zeros', bytes(1 << 20))\n"
                           "data = load('" +
                           file + "')\n" + c.patch + "\nsave('" + file + "', data)\n"));
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

// ---- served by the real program ----

// A tree whose root holds one archive of each hostile kind, with a secret
// file beside the root that no reply may ever carry.
const char *const SERVED_TREE = R"(
os.makedirs('root/sub', exist_ok=True)
save('secret.txt', b'TOP SECRET 7f3a')
save('root/plain.txt', b'plain file')
def patched(name, patch):
    sample('root/' + name)
    data = load('root/' + name)
    patch(data)
    save('root/' + name, data)
def cut_inside_directory(data):
    e = eocd(data)
    return data[:record(data, 'b.txt') + 20] + data[e:]
sample('root/cut.zip')
save('root/cut.zip', cut_inside_directory(load('root/cut.zip')))
patched('dirfar.zip', lambda d: put(d, eocd(d) + 16, '<I', 0xFFFFFFF0))
patched('namefar.zip', lambda d: put(d, record(d, 'a.txt') + 28, '<H', 60000))
def far_members(d):
    put(d, record(d, 'a.txt') + 42, '<I', 0xFFFFFF00)
    put(d, record(d, 'b.txt') + 20, '<I', 0x7FFFFFFF)
    put(d, local(d, 'c/d.txt') + 26, '<H', 65535)
patched('far.zip', far_members)
def backwards(d):
    put(d, record(d, 'a.txt') + 42, '<I', record(d, 'a.txt'))
    put(d, record(d, 'c/d.txt') + 42, '<I', local(d, 'b.txt'))
patched('back.zip', backwards)
with zipfile.ZipFile('one.zip', 'w') as z:
    z.writestr('same.txt', b'the same member', zipfile.ZIP_DEFLATED)
data = load('one.zip')
start, e = record(data, 'same.txt'), eocd(data)
end = data[e:e + 22]
put(end, 8, '<HHI', 65535, 65535, (e - start) * 65535)
save('root/loop.zip', data[:start] + data[start:e] * 65535 + end)
os.remove('one.zip')
with zipfile.ZipFile('root/bomb.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    with z.open('zeros', 'w') as f:
        for _ in range(64):
            f.write(bytes(1 << 20))
    z.writestr('huge', bytes(1 << 20))
    z.writestr('small', bytes(1 << 20))
data = load('root/bomb.zip')
put(data, record(data, 'huge') + 24, '<I', 0xFFFFFFFF)
put(data, record(data, 'small') + 24, '<I', 1000)
save('root/bomb.zip', data)
with zipfile.ZipFile('root/dots.zip', 'w') as z:
    for n in ['..', '../secret.txt', '../../secret.txt', 'a/../../secret.txt', 'ok.txt']:
        z.writestr(zipfile.ZipInfo(n), ('member ' + n).encode(), zipfile.ZIP_DEFLATED)
with zipfile.ZipFile('root/ctl.zip', 'w') as z:
    for n in ['d\nSet-Cookie:x=1/f.txt', 'ctl\x01\x02.txt', 'esc\x1b[31m', 'tab\tname']:
        z.writestr(zipfile.ZipInfo(n), ('member ' + n).encode(), zipfile.ZIP_DEFLATED)
with zipfile.ZipFile('root/long.zip', 'w') as z:
    z.writestr('first.txt', b'first')
    z.writestr('m' * 1500, b'long')
    z.writestr('n' * 60000, b'flat')
    z.writestr('ab/' * 20000, b'only directories')
)";

// A reply as it came, and whether the server closed the connection (rather
// than the wait running out).
struct wire_reply {
    std::string bytes;
    bool closed = false;
    int status = 0;
    std::string head;
    std::string body;
    uint64_t content_length = UINT64_MAX;
};

wire_reply send_request(int port, const std::string &request)
{
    wire_reply r;
    const int fd = connect_to(port);
    if (fd < 0)
        return r;
    send_all(fd, request);
    char buf[65536];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0)
            break;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            // A reset also ends it: the server may close before reading all
            // of an over-long request.
            r.closed = n == 0 || errno == ECONNRESET;
            break;
        }
        r.bytes.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    const size_t end = r.bytes.find("\r\n\r\n");
    if (r.bytes.compare(0, 9, "HTTP/1.1 ") == 0 && r.bytes.size() >= 12)
        r.status = std::atoi(r.bytes.substr(9, 3).c_str());
    if (end != std::string::npos) {
        r.head = r.bytes.substr(0, end + 2);
        r.body = r.bytes.substr(end + 4);
        const size_t cl = r.head.find("\r\nContent-Length:");
        if (cl != std::string::npos)
            r.content_length = std::strtoull(r.head.c_str() + cl + 17, nullptr, 10);
    }
    return r;
}

std::string request(const std::string &method, const std::string &target, const std::string &extra = "")
{
    return method + " " + target + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + extra + "\r\n";
}

// The path of a member as a request target: every byte but letters, digits,
// "-._~/" is percent-encoded.
std::string url_of(const std::string &archive, const std::string &member)
{
    std::string u = "/" + archive + "/";
    for (unsigned char c : member) {
        if (isalnum(c) || strchr("-._~/", c)) {
            u += static_cast<char>(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            u += hex;
        }
    }
    return u;
}

// Resident-set high-water mark of a process, in KiB.
long peak_kb_of(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, 6, "VmHWM:") == 0)
            return std::stol(line.substr(6));
    return -1;
}

class HostileArchiveServed : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        top = new std::string(make_temp_dir());
        write_file(*top + "/mk.py", std::string(ZIP_PY_PRELUDE) + SERVED_TREE);
        if (run_shell("cd '" + *top + "' && python3 mk.py && rm mk.py") != 0)
            top->clear();
    }

    static void TearDownTestSuite()
    {
        delete top;
        top = nullptr;
    }

    void SetUp() override
    {
        ASSERT_FALSE(top->empty());
        before_tree = tree_listing();
        ASSERT_TRUE(start_server(srv, *top + "/root"));
        initial = server_stats(srv);
        peak_at_start = peak_kb_of(srv.pid);
    }

    void TearDown() override
    {
        // Clean Cache drops the archives; then every file and task is gone.
        server_command(srv, "clean");
        std::map<std::string, long> now = wait_stats(
            srv, [this](std::map<std::string, long> &m) { return m["tasks"] == 0 && m["files"] == initial["files"]; });
        EXPECT_EQ(now["tasks"], 0);
        EXPECT_EQ(now["online"], 0);
        EXPECT_EQ(now["files"], initial["files"]);
        EXPECT_EQ(now["caches"], initial["caches"]);
        EXPECT_LT(peak_kb_of(srv.pid) - peak_at_start, 64 * 1024) << "the server grew by more than 64 MiB";
        EXPECT_EQ(stop_server(srv), 0);
        EXPECT_EQ(tree_listing(), before_tree) << "something was written";
    }

    // Every answer is a status or a closed connection, with a clean head,
    // and never the secret.
    wire_reply ask(const std::string &method, const std::string &target, const std::string &extra = "")
    {
        const std::string shown = target.size() > 80 ? target.substr(0, 80) + "..." : target;
        wire_reply r = send_request(srv.port, request(method, target, extra));
        EXPECT_TRUE(r.closed) << shown << ": the connection was not closed";
        if (!r.bytes.empty()) {
            EXPECT_NE(r.status, 0) << shown << ": no status line";
            EXPECT_FALSE(r.head.empty()) << shown << ": no complete head";
        }
        for (size_t i = 0; i < r.head.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(r.head[i]);
            const bool line_end = (c == '\r' && r.head[i + 1] == '\n') || (c == '\n' && i > 0 && r.head[i - 1] == '\r');
            EXPECT_TRUE(line_end || (c >= 0x20 && c != 0x7f)) << shown << ": control byte " << int(c) << " in the head";
        }
        EXPECT_EQ(r.bytes.find("TOP SECRET"), std::string::npos) << shown << ": the secret was served";
        return r;
    }

    // Names, sizes and times of everything around the root, to show that
    // nothing was written.
    static std::string tree_listing()
    {
        const std::string list = *top + ".list";
        run_shell("cd '" + *top + "' && find . -printf '%p %s %T@\\n' | sort > '" + list + "'");
        const std::string s = read_file(list);
        unlink(list.c_str());
        return s;
    }

    static std::string *top;
    server_proc srv;
    std::map<std::string, long> initial;
    long peak_at_start = 0;
    std::string before_tree;
};

std::string *HostileArchiveServed::top = nullptr;

TEST_F(HostileArchiveServed, DamagedDirectoriesAnswerWhatTheyHoldAndNothingMore)
{
    struct {
        const char *target;
        int status;
        const char *body;  // the exact body of a 200, or null
    } cases[] = {
        {"/cut.zip/a.txt", 200, "alpha alpha alpha"},  // its record lies before the cut
        {"/cut.zip/b.txt", 404, nullptr},
        {"/cut.zip/", 200, nullptr},
        {"/dirfar.zip/", 404, nullptr},  // no member was read: nothing to list
        {"/dirfar.zip/a.txt", 404, nullptr},
        {"/namefar.zip/a.txt", 404, nullptr},
        {"/far.zip/a.txt", 404, nullptr},    // local header beyond the file
        {"/far.zip/b.txt", 404, nullptr},    // data beyond the file
        {"/far.zip/c/d.txt", 404, nullptr},  // local name beyond the file
        {"/far.zip/", 200, nullptr},
        {"/back.zip/a.txt", 404, nullptr},  // its data would be the directory
        {"/back.zip/b.txt", 200, nullptr},
        {"/loop.zip/same.txt", 200, "the same member"},
        {"/loop.zip/", 200, nullptr},
        {"/plain.txt", 200, "plain file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.target);
        const wire_reply r = ask("GET", c.target);
        EXPECT_EQ(r.status, c.status);
        if (c.body) {
            EXPECT_EQ(r.body, c.body);
        }
        if (r.status == 200) {
            EXPECT_EQ(r.body.size(), r.content_length);
        }
    }
    // c/d.txt of back.zip claims b.txt's data: its CRC-32 fails before any
    // byte has gone, so it is answered 500, never delivered.
    const wire_reply shared = ask("GET", "/back.zip/c/d.txt");
    EXPECT_EQ(shared.status, 500);
    EXPECT_EQ(shared.body.find("charlie"), std::string::npos);
}

TEST_F(HostileArchiveServed, MembersClaimingHugeSizesEndInBoundedMemory)
{
    // 64 MiB of real zeros: served whole, and its last bytes by range.
    const wire_reply whole = ask("GET", "/bomb.zip/zeros");
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body.size(), size_t{64} << 20);
    EXPECT_EQ(whole.body.find_first_not_of('\0'), std::string::npos);
    const wire_reply tail = ask("GET", "/bomb.zip/zeros", "Range: bytes=-16\r\n");
    EXPECT_EQ(tail.status, 206);
    EXPECT_EQ(tail.body, std::string(16, '\0'));

    // Claims 4 GiB but holds 1 MiB: the transfer stops where the data ends
    // and the connection closes.
    const wire_reply huge = ask("GET", "/bomb.zip/huge");
    EXPECT_EQ(huge.status, 200);
    EXPECT_EQ(huge.content_length, 0xFFFFFFFFu);
    EXPECT_LE(huge.body.size(), size_t{1} << 20);
    const wire_reply huge_end = ask("GET", "/bomb.zip/huge", "Range: bytes=-100\r\n");
    EXPECT_EQ(huge_end.status, 500);

    // Claims 1000 bytes of a 1 MiB stream: they fail their CRC-32 and are
    // answered 500, never delivered.
    const wire_reply small = ask("GET", "/bomb.zip/small");
    EXPECT_EQ(small.status, 500);
}

TEST_F(HostileArchiveServed, DotDotMembersNeverReachOutsideTheTree)
{
    // Dot segments are removed from the request path before it is mapped, so
    // these requests can only name things below the root.
    const char *targets[] = {
        "/dots.zip/../secret.txt",
        "/dots.zip/%2e%2e/secret.txt",
        "/dots.zip/%2E%2E/%2E%2E/secret.txt",
        "/dots.zip/a/../../secret.txt",
        "/dots.zip/..%2fsecret.txt",
        "/dots.zip/..",
        "/../secret.txt",
        "/%2e%2e/secret.txt",
    };
    for (const char *target : targets) {
        SCOPED_TRACE(target);
        const wire_reply r = ask("GET", target);
        EXPECT_TRUE(r.status == 200 || r.status == 404) << r.status;
    }
    EXPECT_EQ(ask("GET", "/dots.zip/ok.txt").body, "member ok.txt");
    const wire_reply listing = ask("GET", "/dots.zip/");
    EXPECT_EQ(listing.status, 200);
    EXPECT_NE(listing.body.find("ok.txt"), std::string::npos);
}

TEST_F(HostileArchiveServed, ControlBytesInNamesNeverReachAHeaderLine)
{
    // A bare line feed ends the request line: the rest is never a header.
    const wire_reply cut = ask("GET", "/ctl.zip/d\nSet-Cookie:x=1");
    EXPECT_EQ(cut.status, 404);
    EXPECT_EQ(cut.head.find("\r\nSet-Cookie"), std::string::npos);
    // The directory of that name is redirected with the line feed escaped.
    const wire_reply encoded = ask("GET", "/ctl.zip/d%0ASet-Cookie:x=1");
    EXPECT_EQ(encoded.status, 302);
    EXPECT_NE(encoded.head.find("\r\nLocation: /ctl.zip/d%0ASet-Cookie:x=1/\r\n"), std::string::npos);

    for (const char *member : {"d\nSet-Cookie:x=1/f.txt", "ctl\x01\x02.txt", "esc\x1b[31m", "tab\tname"}) {
        SCOPED_TRACE(member);
        const wire_reply r = ask("GET", url_of("ctl.zip", member));
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, std::string("member ") + member);
    }
    EXPECT_EQ(ask("GET", "/ctl.zip/").status, 200);
    EXPECT_EQ(ask("GET", "/ctl.zip/d%0ASet-Cookie:x=1/").status, 200);
}

TEST_F(HostileArchiveServed, SixtyThousandByteNamesAreListedOrRefused)
{
    EXPECT_EQ(ask("GET", "/long.zip/first.txt").body, "first");
    // Too long for the path limit, and too long for the input buffer.
    EXPECT_EQ(ask("GET", "/long.zip/" + std::string(1500, 'm')).status, 414);
    EXPECT_EQ(ask("GET", "/long.zip/" + std::string(60000, 'n')).status, 413);
    EXPECT_EQ(ask("GET", "/long.zip/ab").status, 404);  // its record was refused
    const wire_reply listing = ask("GET", "/long.zip/");
    EXPECT_EQ(listing.status, 200);
    EXPECT_NE(listing.body.find("first.txt"), std::string::npos);
}

}  // namespace
