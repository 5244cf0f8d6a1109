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

// Reads and entries the callers never make stop the process.
TEST_F(FileEntry, MisuseStopsTheProcess)
{
    file_entry *fe = new_file_entry("small.txt", "12345");
    ASSERT_NE(fe, nullptr);
    fe_insert(&ctx, fe);
    char buf[8];
    EXPECT_DEATH(fe_read(fe, buf, 2, 4), "Assertion failed");
    EXPECT_DEATH(fe_read(fe, buf, 1, 0xFFFFFFFFu), "Assertion failed");
    EXPECT_EQ(fe_read(fe, buf, 1, 4), 1);
    EXPECT_EQ(buf[0], '5');

    static const unsigned char gif[] = "GIF89a";
    EXPECT_DEATH(fe_new(KIND_STATIC, "?x", fe_handle{.bytes = gif}, 0), "Assertion failed");

    // A member entry without the archive it reads from.
    file_entry *zip = new_archive_entry();
    ASSERT_NE(zip, nullptr);
    zip_archive *za = zip->handle.zip;
    zip_stream *zs = zip_member_open(za, zip_find(za, "big.txt"));
    ASSERT_NE(zs, nullptr);
    file_entry *m = fe_new_child(KIND_MEMBER, "orphan", fe_handle{.stream = zs}, 0, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_DEATH(fe_read(m, buf, 0, 0), "Assertion failed");
    fe_destroy(m);
}

// Out of memory, a page that could not be made adds nothing.
TEST_F(FileEntry, AddPageWithoutAPageAddsNothing)
{
    EXPECT_EQ(fe_add_page(&ctx, "?help", nullptr, 0), nullptr);
    EXPECT_EQ(ctx.nentries, 0);
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
        return fe_add_page(&ctx, key.c_str(), tb, 0);
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

}  // namespace
