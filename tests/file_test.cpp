#include "file.h"
#include "memory.h"
#include "support.h"
#include "zip.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class FileEntry : public ::testing::Test {
protected:
    void SetUp() override
    {
        files = n_files;
        blocks = n_blocks;
        caches = n_caches;
        dir = make_temp_dir();
        ASSERT_TRUE(fe_cache_init(&ctx));
    }

    void TearDown() override
    {
        fe_cache_destroy(&ctx);
        EXPECT_EQ(n_files, files);
        EXPECT_EQ(n_blocks, blocks);
        EXPECT_EQ(n_caches, caches);
    }

    // One Clean Cache pass; returns how many entries went.
    int release_pass()
    {
        const int32_t before = ctx.nentries;
        fe_release_unused(&ctx);
        return before - ctx.nentries;
    }

    file_entry *new_file_entry(const std::string &name, const std::string &content)
    {
        const std::string p = dir + "/" + name;
        write_file(p, content);
        const int fd = counted_open(p.c_str());
        return fd < 0 ? nullptr : fe_new(KIND_FILE, p.c_str(), fe_handle{.fd = fd}, 1234);
    }

    // An archive entry for members.zip holding "big.txt" (deflated, 300000
    // bytes, its text also saved as big.txt) and "bad.txt" (stored, one byte
    // altered after the archive was made).
    file_entry *new_archive_entry()
    {
        const std::string script = R"(
import random, struct, zipfile
r = random.Random(9)
words = [''.join(r.choice('abcdefghij') for _ in range(r.randint(2, 8))) for _ in range(2000)]
big = ' '.join(r.choice(words) for _ in range(60000)).encode()[:300000]
open('big.txt', 'wb').write(big)
with zipfile.ZipFile('members.zip', 'w') as z:
    z.writestr('big.txt', big, compress_type=zipfile.ZIP_DEFLATED)
    z.writestr('bad.txt', big[:20000], compress_type=zipfile.ZIP_STORED)
data = open('members.zip', 'rb').read()
off = zipfile.ZipFile('members.zip').getinfo('bad.txt').header_offset
n, x = struct.unpack_from('<HH', data, off + 26)
pos = off + 30 + n + x + 5000
with open('members.zip', 'r+b') as f:
    f.seek(pos)
    f.write(bytes([data[pos] ^ 1]))
)";
        write_file(dir + "/mk.py", script);
        if (run_shell("cd '" + dir + "' && python3 mk.py") != 0)
            return nullptr;
        big = read_file(dir + "/big.txt");
        zip_archive *za = zip_open((dir + "/members.zip").c_str());
        if (!za)
            return nullptr;
        file_entry *fe = fe_new(KIND_ZIP, (dir + "/members.zip").c_str(), fe_handle{.zip = za}, 77);
        if (fe)
            fe_insert(&ctx, fe);
        return fe;
    }

    file_entry *new_member_entry(file_entry *archive, const char *member)
    {
        zip_archive *za = archive->handle.zip;
        zip_node *node = zip_find(za, member);
        zip_stream *zs = node ? zip_member_open(za, node) : nullptr;
        if (!zs)
            return nullptr;
        file_entry *fe = fe_new_member(archive, zs, (std::string(archive->name) + "/" + member).c_str());
        if (fe)
            fe_insert(&ctx, fe);
        return fe;
    }

    std::string read_piece(file_entry *fe, uint32_t offset, uint32_t count, int *result = nullptr)
    {
        std::string s(count, '\0');
        int r;
        while ((r = fe_read(fe, s.data(), count, offset)) == FE_READ_AGAIN) {
        }  // a deflated member skips ahead a slice per call
        if (result)
            *result = r;
        return r == 1 ? s : std::string();
    }

    fe_cache ctx = {};
    std::string dir, big;
    int32_t files = 0, blocks = 0, caches = 0;
};

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>('a' + (i * 7 + i / 251) % 26);
    return s;
}

TEST_F(FileEntry, FileEntryCopiesNameAndTakesFileLength)
{
    const std::string content = pattern(10000);
    file_entry *fe = new_file_entry("f.html", content);
    ASSERT_NE(fe, nullptr);
    EXPECT_EQ(n_caches, caches + 1);
    EXPECT_EQ(n_files, files + 1);
    EXPECT_EQ(fe->kind, KIND_FILE);
    EXPECT_EQ(fe->refcount, 0);
    EXPECT_EQ(fe->size, 10000u);
    EXPECT_EQ(fe->mtime, 1234);
    EXPECT_EQ(fe->base, nullptr);
    EXPECT_EQ(std::string(fe->name), dir + "/f.html");
    EXPECT_EQ(fe->name, reinterpret_cast<const char *>(fe + 1));  // stored with the record
    EXPECT_EQ(read_piece(fe, 9990, 10), content.substr(9990));
    EXPECT_EQ(read_piece(fe, 0, 0), "");
    fe_destroy(fe);
}

TEST_F(FileEntry, TwoReadersOfOneFileInterleave)
{
    const std::string content = pattern(100000);
    file_entry *fe = new_file_entry("shared.bin", content);
    ASSERT_NE(fe, nullptr);
    fe_insert(&ctx, fe);
    ASSERT_EQ(fe_lookup(&ctx, fe->name), fe);
    fe_ref(fe);
    fe_ref(fe);
    EXPECT_EQ(fe->refcount, 2);
    std::string a, b;
    const uint32_t piece = 5000;
    for (uint32_t pos = 0; pos < content.size(); pos += piece) {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(piece, content.size() - pos));
        a += read_piece(fe, pos, n);
        // The second reader runs 40000 bytes behind.
        if (pos >= 40000)
            b += read_piece(fe, pos - 40000, n);
    }
    EXPECT_TRUE(a == content);
    EXPECT_TRUE(b == content.substr(0, b.size()));
    EXPECT_EQ(b.size(), 60000u);
    fe_unref(fe);
    EXPECT_EQ(fe->refcount, 1);
    fe_unref(fe);
    EXPECT_EQ(fe->refcount, 0);
    EXPECT_EQ(fe_lookup(&ctx, fe->name), fe);  // unref never destroys
    fe_unlink(&ctx, fe);
    fe_destroy(fe);
    EXPECT_EQ(n_files, files);
    EXPECT_EQ(n_caches, caches);
}

TEST_F(FileEntry, ReadPastEndStopsProcess)
{
    file_entry *fe = new_file_entry("small.txt", "12345");
    ASSERT_NE(fe, nullptr);
    fe_insert(&ctx, fe);
    char buf[8];
    EXPECT_DEATH(fe_read(fe, buf, 2, 4), "Assertion failed");
    EXPECT_DEATH(fe_read(fe, buf, 1, 0xFFFFFFFFu), "Assertion failed");
    EXPECT_EQ(fe_read(fe, buf, 1, 4), 1);
    EXPECT_EQ(buf[0], '5');
}

TEST_F(FileEntry, PagesDirectoriesAndArchivesAreSizedByType)
{
    text_block *tb = text_block_new(100);
    ASSERT_NE(tb, nullptr);
    memcpy(tb->data, "<html>hi</html>", 15);
    tb = text_block_fit(tb, 15);
    file_entry *page = fe_new(KIND_PAGE, "/p/index.html", fe_handle{.page = tb}, 5);
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->size, 15u);
    EXPECT_EQ(read_piece(page, 6, 2), "hi");
    fe_insert(&ctx, page);

    void *snapshot = counted_alloc(&n_blocks, 64);
    file_entry *d = fe_new(KIND_DIR, "/p*", fe_handle{.snapshot = snapshot}, 0);
    ASSERT_NE(d, nullptr);
    fe_insert(&ctx, d);
    EXPECT_EQ(d->size, 0u);
    int result = 0;
    read_piece(d, 0, 0, &result);
    EXPECT_EQ(result, -1);  // not readable

    file_entry *zip = new_archive_entry();
    ASSERT_NE(zip, nullptr);
    const std::string bytes = read_file(dir + "/members.zip");
    EXPECT_EQ(zip->size, bytes.size());
    EXPECT_EQ(zip->mtime, 77);
    EXPECT_EQ(read_piece(zip, 0, 4), "PK\x03\x04");
    EXPECT_EQ(read_piece(zip, zip->size - 22, 22), bytes.substr(bytes.size() - 22));
    EXPECT_EQ(ctx.nentries, 3);
}

TEST_F(FileEntry, StaticEntryKeepsCallerBytesAndReference)
{
    static const unsigned char gif[] = "GIF89a-picture";
    static const char name[] = "?folder.gif";
    file_entry *fe = fe_add_static(&ctx, name, gif, 14);
    ASSERT_NE(fe, nullptr);
    EXPECT_EQ(fe->kind, KIND_STATIC);
    EXPECT_EQ(fe->refcount, 1);
    EXPECT_EQ(fe->name, name);  // not copied
    EXPECT_EQ(fe->mtime, 0);
    EXPECT_EQ(fe->size, 14u);
    EXPECT_EQ(ctx.nentries, 1);
    EXPECT_EQ(fe_lookup(&ctx, "?folder.gif"), fe);
    EXPECT_EQ(read_piece(fe, 6, 8), "-picture");
    EXPECT_EQ(release_pass(), 0);  // held for life
    EXPECT_DEATH(fe_new(KIND_STATIC, "?x", fe_handle{.bytes = gif}, 0), "Assertion failed");
}

TEST_F(FileEntry, AddPageInsertsPageOrNothing)
{
    EXPECT_EQ(fe_add_page(&ctx, "?help", nullptr), nullptr);
    EXPECT_EQ(ctx.nentries, 0);
    text_block *tb = text_block_new(5);
    ASSERT_NE(tb, nullptr);
    memcpy(tb->data, "hello", 5);
    file_entry *fe = fe_add_page(&ctx, "?help", tb);
    ASSERT_NE(fe, nullptr);
    EXPECT_EQ(fe->kind, KIND_PAGE);
    EXPECT_EQ(fe->refcount, 0);
    EXPECT_EQ(fe->mtime, 0);
    EXPECT_EQ(fe->size, 5u);
    EXPECT_EQ(fe_lookup(&ctx, "?help"), fe);
    EXPECT_EQ(ctx.nentries, 1);
}

TEST_F(FileEntry, TableFindsNewestAndUnlinksByIdentity)
{
    // Three keys that share one bucket.
    std::vector<std::string> keys;
    const uint32_t bucket = string_hash("k0", FE_HASH_SIZE);
    for (int i = 0; keys.size() < 3; i++) {
        std::string k = "k" + std::to_string(i);
        if (string_hash(k.c_str(), FE_HASH_SIZE) == bucket)
            keys.push_back(k);
    }
    auto page = [&](const std::string &key) {
        text_block *tb = text_block_new(1);
        tb->data[0] = 'x';
        return fe_add_page(&ctx, key.c_str(), tb);
    };
    file_entry *a = page(keys[0]), *b = page(keys[1]), *c = page(keys[2]);
    file_entry *a2 = page(keys[0]);
    ASSERT_TRUE(a && b && c && a2);
    EXPECT_EQ(ctx.nentries, 4);
    EXPECT_EQ(fe_lookup(&ctx, keys[0].c_str()), a2);  // the newer of two
    EXPECT_EQ(fe_lookup(&ctx, keys[1].c_str()), b);
    EXPECT_EQ(fe_lookup(&ctx, "k"), nullptr);
    EXPECT_EQ(fe_lookup(&ctx, (keys[2] + "x").c_str()), nullptr);

    fe_unlink(&ctx, b);  // from the middle of the chain
    EXPECT_EQ(ctx.nentries, 3);
    EXPECT_EQ(fe_lookup(&ctx, keys[1].c_str()), nullptr);
    EXPECT_EQ(fe_lookup(&ctx, keys[2].c_str()), c);
    fe_unlink(&ctx, b);  // no longer there: nothing changes
    EXPECT_EQ(ctx.nentries, 3);
    fe_destroy(b);

    fe_unlink(&ctx, a2);
    EXPECT_EQ(fe_lookup(&ctx, keys[0].c_str()), a);
    fe_destroy(a2);
    EXPECT_EQ(ctx.nentries, 2);
}

TEST_F(FileEntry, MemberEntryHoldsItsArchive)
{
    file_entry *zip = new_archive_entry();
    ASSERT_NE(zip, nullptr);
    file_entry *m = new_member_entry(zip, "big.txt");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->kind, KIND_MEMBER);
    EXPECT_EQ(m->base, zip);
    EXPECT_EQ(zip->refcount, 1);
    EXPECT_EQ(m->refcount, 0);
    EXPECT_EQ(m->size, 300000u);
    EXPECT_EQ(m->mtime, zip_find(zip->handle.zip, "big.txt")->mtime);
    std::string got;
    for (uint32_t pos = 0; pos < m->size; pos += 7000)
        got += read_piece(m, pos, std::min<uint32_t>(7000, m->size - pos));
    EXPECT_TRUE(got == big);

    fe_unlink(&ctx, m);
    fe_destroy(m);
    EXPECT_EQ(zip->refcount, 0);
    EXPECT_EQ(fe_lookup(&ctx, zip->name), zip);
}

TEST_F(FileEntry, TwoReadersOfOneMemberAtZeroAnd50000)
{
    file_entry *zip = new_archive_entry();
    ASSERT_NE(zip, nullptr);
    file_entry *m = new_member_entry(zip, "big.txt");
    ASSERT_NE(m, nullptr);
    fe_ref(m);
    fe_ref(m);
    std::string a, b;
    uint32_t pa = 0, pb = 50000;
    const uint32_t piece = 4096;
    while (pa < m->size || pb < m->size) {
        if (pa < m->size) {
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(piece, m->size - pa));
            a += read_piece(m, pa, n);
            pa += n;
        }
        if (pb < m->size) {
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(piece, m->size - pb));
            b += read_piece(m, pb, n);
            pb += n;
        }
    }
    EXPECT_TRUE(a == big);
    EXPECT_TRUE(b == big.substr(50000));
    fe_unref(m);
    fe_unref(m);
}

TEST_F(FileEntry, MemberWithAlteredDataFailsLastReadInOrder)
{
    file_entry *zip = new_archive_entry();
    ASSERT_NE(zip, nullptr);
    file_entry *m = new_member_entry(zip, "bad.txt");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->size, 20000u);
    std::vector<int> results;
    for (uint32_t pos = 0; pos < m->size; pos += 8192) {
        int r = 0;
        read_piece(m, pos, std::min<uint32_t>(8192, m->size - pos), &r);
        results.push_back(r);
    }
    EXPECT_EQ(results, (std::vector<int>{1, 1, -1}));
    // A range that starts inside the member is not checked.
    int r = 0;
    const std::string tail = read_piece(m, 4000, 16000, &r);
    EXPECT_EQ(r, 1);
    EXPECT_EQ(tail.substr(0, 1000), big.substr(4000, 1000));
    EXPECT_NE(tail[1000], big[5000]);
}

TEST_F(FileEntry, ReleasePassesDropMemberThenArchive)
{
    file_entry *zip = new_archive_entry();
    ASSERT_NE(zip, nullptr);
    file_entry *m = new_member_entry(zip, "big.txt");
    ASSERT_NE(m, nullptr);
    const std::string zip_name = zip->name, member_name = m->name;

    // A transfer holds the member: nothing goes.
    fe_ref(m);
    EXPECT_EQ(read_piece(m, 0, 100), big.substr(0, 100));
    EXPECT_EQ(release_pass(), 0);
    fe_unref(m);

    // Dropped connection left both behind: the member goes, and with it the
    // archive it held, in one Clean Cache.
    EXPECT_EQ(release_pass(), 2);
    EXPECT_EQ(fe_lookup(&ctx, member_name.c_str()), nullptr);
    EXPECT_EQ(fe_lookup(&ctx, zip_name.c_str()), nullptr);
    EXPECT_EQ(ctx.nentries, 0);
    EXPECT_EQ(n_files, files);
    EXPECT_EQ(n_blocks, blocks);
    EXPECT_EQ(n_caches, caches);
}

TEST_F(FileEntry, DestroyingMembersBeforeArchivesReleasesEverything)
{
    file_entry *zip = new_archive_entry();
    ASSERT_NE(zip, nullptr);
    file_entry *m1 = new_member_entry(zip, "big.txt");
    file_entry *m2 = new_member_entry(zip, "bad.txt");
    ASSERT_TRUE(m1 && m2);
    fe_ref(m1);  // still being sent when the server stops
    EXPECT_EQ(zip->refcount, 2);
    EXPECT_EQ(read_piece(m1, 1000, 100), big.substr(1000, 100));
    EXPECT_GT(n_blocks, blocks);
    EXPECT_EQ(n_files, files + 1);  // the archive's file only
    EXPECT_EQ(n_caches, caches + 3);
    // TearDown destroys every entry, members first, and checks the counters.
}

TEST_F(FileEntry, MemberEntryWithoutBaseStopsProcess)
{
    file_entry *zip = new_archive_entry();
    ASSERT_NE(zip, nullptr);
    zip_archive *za = zip->handle.zip;
    zip_stream *zs = zip_member_open(za, zip_find(za, "big.txt"));
    ASSERT_NE(zs, nullptr);
    file_entry *m = fe_new_child(KIND_MEMBER, "orphan", fe_handle{.stream = zs}, 0, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(zip->refcount, 0);
    char buf[1];
    EXPECT_DEATH(fe_read(m, buf, 0, 0), "Assertion failed");
    fe_destroy(m);
}

}  // namespace
