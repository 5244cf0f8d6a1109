#include "dirscan.h"
#include "file.h"
#include "file_table.h"
#include "htconfig.h"
#include "memory.h"
#include "support.h"
#include "zip.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// The tree every case resolves in: files and directories on disk, archives
// made by python's zipfile from originals kept in src/, and names that look
// like archives or like cache keys.
const char *const TREE_SCRIPT = R"PY(
import os, random, zipfile
random.seed(5)
os.makedirs('src', exist_ok=True)
os.makedirs('dir/sub', exist_ok=True)
os.makedirs('empty', exist_ok=True)
os.makedirs('x.zip', exist_ok=True)
def put(name, data):
    with open(name, 'wb') as f:
        f.write(data)
put('hello.txt', b'hello, world\n')
put('dir/a.txt', b'alpha\n')
put('dir/b.html', b'<p>beta</p>\n')
put('dir*', b'a file whose name ends in a star\n')
put('dir/*dN', b'a file named like sort keys\n')
put('x.zip/inner.txt', b'inside a directory named like an archive\n')
put('bad.zip', b'this is not an archive at all, only some text\n')
put('src/top.txt', b'top of the archive\n')
lines = []
for i in range(4000):
    lines.append('line %d %s\n' % (i, ''.join(random.choice('abcdefgh ') for _ in range(random.randint(0, 40)))))
put('src/guide.html', ('<html>' + ''.join(lines) + '</html>\n').encode())
put('src/noise.bin', bytes(random.getrandbits(8) for _ in range(70000)))
put('src/index.html', b'<p>site start</p>\n')
with zipfile.ZipFile('src/inner.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('x.txt', 'inner member\n')
put('src/m12.bin', b'packed with bzip2\n' * 50)
stamp = (2020, 5, 17, 10, 20, 30)
def add(z, name, path, method):
    info = zipfile.ZipInfo(name, stamp)
    info.compress_type = method
    with open(path, 'rb') as f:
        z.writestr(info, f.read())
with zipfile.ZipFile('a.zip', 'w') as z:
    add(z, 'top.txt', 'src/top.txt', zipfile.ZIP_STORED)
    add(z, 'docs/guide.html', 'src/guide.html', zipfile.ZIP_DEFLATED)
    add(z, 'docs/noise.bin', 'src/noise.bin', zipfile.ZIP_DEFLATED)
    z.writestr(zipfile.ZipInfo('docs/empty/', stamp), b'')
    add(z, 'sub/inner.zip', 'src/inner.zip', zipfile.ZIP_STORED)
    add(z, 'm12.bin', 'src/m12.bin', zipfile.ZIP_BZIP2)
    add(z, 'site/index.html', 'src/index.html', zipfile.ZIP_DEFLATED)
for copy in ('B.ZIP', 'c.ZiP'):
    with open('a.zip', 'rb') as f:
        put(copy, f.read())
)PY";

class PathResolution : public ::testing::Test {
protected:
    static std::string root;

    static void SetUpTestSuite()
    {
        root = make_temp_dir();
        write_file(root + "/mk.py", TREE_SCRIPT);
        ASSERT_EQ(run_shell("cd '" + root + "' && python3 mk.py && rm mk.py"), 0);
    }

    void SetUp() override
    {
        files = n_files;
        blocks = n_blocks;
        caches = n_caches;
        confs = n_confs;
        cfg_create(&g_config);
        cfg_defaults(&g_config, root.c_str());
        ASSERT_TRUE(fe_cache_init(&ctx));
    }

    void TearDown() override
    {
        fe_cache_destroy(&ctx);
        cfg_free(&g_config);
        EXPECT_EQ(n_files, files);
        EXPECT_EQ(n_blocks, blocks);
        EXPECT_EQ(n_caches, caches);
        EXPECT_EQ(n_confs, confs);
    }

    static std::string path(const std::string &rel) { return root + "/" + rel; }

    file_entry *resolve(const std::string &rel, const char *query = nullptr)
    {
        const std::string p = path(rel);
        const std::string page = "/" + rel;
        return resolve_path(&ctx, p.c_str(), page.c_str(), query, &redirect);
    }

    // The entry's whole body, read in pieces of `piece` bytes.
    static std::string body(file_entry *fe, uint32_t piece = 4096)
    {
        std::string out(fe->size, '\0');
        for (uint32_t at = 0; at < fe->size; at += piece) {
            const auto n = static_cast<uint32_t>(std::min<uint64_t>(piece, fe->size - at));
            if (fe_read(fe, out.data() + at, n, at) != 1)
                return "read failed at " + std::to_string(at);
        }
        return out;
    }

    int count_kind(entry_kind kind) const
    {
        int n = 0;
        for (const file_entry *fe = ctx.oldest; fe; fe = fe->newer)
            n += fe->kind == kind;
        return n;
    }

    static int32_t mtime_of(const std::string &rel)
    {
        struct stat st;
        return stat(path(rel).c_str(), &st) == 0 ? static_cast<int32_t>(st.st_mtime) : -2;
    }

    fe_cache ctx = {};
    resolve_note redirect = RESOLVE_NO_RESOURCES;
    int32_t files = 0, blocks = 0, caches = 0, confs = 0;
};

std::string PathResolution::root;

// ---- disk files and directories ------------------------------------------------

TEST_F(PathResolution, DiskFileIsOpenedOnceAndThenAnsweredFromTheCache)
{
    file_entry *fe = resolve("hello.txt");
    ASSERT_NE(fe, nullptr);
    EXPECT_EQ(redirect, RESOLVE_OK);
    EXPECT_EQ(fe->kind, KIND_FILE);
    EXPECT_STREQ(fe->name, path("hello.txt").c_str());
    EXPECT_EQ(fe->refcount, 0);
    EXPECT_EQ(fe->size, 13u);
    EXPECT_EQ(fe->mtime, mtime_of("hello.txt"));
    EXPECT_EQ(body(fe), "hello, world\n");
    EXPECT_EQ(n_files, files + 1);

    EXPECT_EQ(resolve("hello.txt"), fe);
    EXPECT_EQ(ctx.nentries, 1);
    EXPECT_EQ(n_files, files + 1);
}

TEST_F(PathResolution, DirectoryWithoutSlashRedirectsAndEveryCallClearsTheFlag)
{
    // A directory named without its "/" only redirects, and caches nothing.
    EXPECT_EQ(resolve("dir/sub"), nullptr);
    ASSERT_EQ(redirect, RESOLVE_REDIRECT);
    EXPECT_EQ(ctx.nentries, 0);
    EXPECT_NE(resolve("hello.txt"), nullptr);
    EXPECT_EQ(redirect, RESOLVE_OK);
    resolve("dir");
    EXPECT_EQ(resolve("missing"), nullptr);
    EXPECT_EQ(redirect, RESOLVE_OK);
}

TEST_F(PathResolution, EmptyPathYieldsNothing)
{
    EXPECT_EQ(resolve_path(&ctx, "", "/", nullptr, &redirect), nullptr);
    EXPECT_EQ(redirect, RESOLVE_OK);
}

TEST_F(PathResolution, PathOf513CharactersResolvesAnd514DoNot)
{
    std::string dirs = root;
    while (513 - dirs.size() > 201) {
        dirs += "/" + std::string(200, 'd');
        mkdir(dirs.c_str(), 0755);
    }
    const std::string p513 = dirs + "/" + std::string(513 - dirs.size() - 1, 'f');
    const std::string p514 = dirs + "/" + std::string(514 - dirs.size() - 1, 'g');
    ASSERT_EQ(p513.size(), 513u);
    ASSERT_EQ(p514.size(), 514u);
    write_file(p513, "513");
    write_file(p514, "514");

    file_entry *fe = resolve_path(&ctx, p513.c_str(), "/x", nullptr, &redirect);
    ASSERT_NE(fe, nullptr);
    EXPECT_EQ(body(fe), "513");
    EXPECT_EQ(resolve_path(&ctx, p514.c_str(), "/x", nullptr, &redirect), nullptr);
    EXPECT_EQ(ctx.nentries, 1);
}

// ---- archives ------------------------------------------------------------------

TEST_F(PathResolution, MemberOpensItsArchiveOnceAndHoldsIt)
{
    file_entry *top = resolve("a.zip/top.txt");
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->kind, KIND_MEMBER);
    EXPECT_STREQ(top->name, path("a.zip/top.txt").c_str());
    ASSERT_NE(top->base, nullptr);
    file_entry *archive = top->base;
    EXPECT_EQ(archive->kind, KIND_ZIP);
    EXPECT_STREQ(archive->name, path("a.zip").c_str());
    EXPECT_EQ(archive->mtime, mtime_of("a.zip"));
    EXPECT_EQ(archive->refcount, 1);
    EXPECT_EQ(top->refcount, 0);
    EXPECT_EQ(body(top), read_file(path("src/top.txt")));

    file_entry *guide = resolve("a.zip/docs/guide.html");
    ASSERT_NE(guide, nullptr);
    EXPECT_EQ(guide->base, archive);
    EXPECT_EQ(archive->refcount, 2);
    EXPECT_EQ(body(guide, 3000), read_file(path("src/guide.html")));
    file_entry *noise = resolve("a.zip/docs/noise.bin");
    ASSERT_NE(noise, nullptr);
    EXPECT_EQ(body(noise, 8192), read_file(path("src/noise.bin")));

    EXPECT_EQ(resolve("a.zip/top.txt"), top);
    EXPECT_EQ(count_kind(KIND_ZIP), 1);
    EXPECT_EQ(count_kind(KIND_MEMBER), 3);
    EXPECT_EQ(n_files, files + 1);  // the archive's one descriptor serves every member
}

TEST_F(PathResolution, MemberTimeComesFromTheArchiveDirectory)
{
    file_entry *fe = resolve("a.zip/top.txt");
    ASSERT_NE(fe, nullptr);
    struct tm tm = {};
    tm.tm_year = 120;
    tm.tm_mon = 4;
    tm.tm_mday = 17;
    tm.tm_hour = 10;
    tm.tm_min = 20;
    tm.tm_sec = 30;
    tm.tm_isdst = -1;
    EXPECT_EQ(fe->mtime, static_cast<int32_t>(mktime(&tm)));
}

TEST_F(PathResolution, ArchiveEntryReplacesAnIdlePlainFileEntry)
{
    file_entry *plain = resolve("a.zip");
    ASSERT_NE(plain, nullptr);
    ASSERT_EQ(plain->kind, KIND_FILE);
    ASSERT_NE(resolve("a.zip/top.txt"), nullptr);
    EXPECT_EQ(count_kind(KIND_FILE), 0);  // the idle plain entry went
    file_entry *archive = fe_lookup(&ctx, path("a.zip").c_str());
    ASSERT_NE(archive, nullptr);
    EXPECT_EQ(archive->kind, KIND_ZIP);
    // The archive file itself is now answered by the archive entry.
    EXPECT_EQ(resolve("a.zip"), archive);
    EXPECT_EQ(body(archive), read_file(path("a.zip")));
    EXPECT_EQ(n_files, files + 1);
}

TEST_F(PathResolution, ArchiveEntryHidesAPlainFileEntryStillBeingSent)
{
    file_entry *plain = resolve("a.zip");
    ASSERT_NE(plain, nullptr);
    fe_ref(plain);  // a transfer holds it
    file_entry *member = resolve("a.zip/top.txt");
    ASSERT_NE(member, nullptr);
    EXPECT_EQ(count_kind(KIND_FILE), 0);  // out of the table, alive for its transfer
    EXPECT_EQ(member->base, fe_lookup(&ctx, path("a.zip").c_str()));
    EXPECT_EQ(body(plain), read_file(path("a.zip")));
    fe_release(&ctx, plain);
}

// ---- listings ------------------------------------------------------------------

std::string page_text(file_entry *fe)
{
    return std::string(fe->handle.page->data, fe->handle.page->size);
}

TEST_F(PathResolution, OtherQueriesRebuildTheUnsortedListing)
{
    file_entry *first = resolve("dir/", "x=1");
    ASSERT_NE(first, nullptr);
    file_entry *second = resolve("dir/", "x=1");
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_STREQ(second->name, path("dir/").c_str());
    EXPECT_EQ(count_kind(KIND_PAGE), 2);
    // Without a query the newest page is found.
    EXPECT_EQ(resolve("dir/"), second);
}

TEST_F(PathResolution, SortedKeyLengthIsBounded)
{
    const std::string p = path("dir/");
    // A key keeps the first of each sort letter: queries of any length give one page.
    const std::string fits = "O=" + std::string(514 - p.size() - 2, 'N');
    const std::string over = fits + "N&json";
    EXPECT_NE(resolve_path(&ctx, p.c_str(), "/dir/", fits.c_str(), &redirect), nullptr);
    EXPECT_EQ(resolve_path(&ctx, p.c_str(), "/dir/", "O=N", &redirect),
              resolve_path(&ctx, p.c_str(), "/dir/", fits.c_str(), &redirect));
    EXPECT_NE(resolve_path(&ctx, p.c_str(), "/dir/", over.c_str(), &redirect), nullptr);
}

TEST_F(PathResolution, NamesHoldingAStarAreNotTakenForListings)
{
    // The file "dir*" shares its key with the snapshot of "dir/", and the file
    // "dir/*dN" with the page "dir/?O=dN".
    file_entry *star_file = resolve("dir*");
    ASSERT_NE(star_file, nullptr);
    EXPECT_EQ(star_file->kind, KIND_FILE);
    file_entry *page = resolve("dir/", "O=dN");
    ASSERT_NE(page, nullptr);
    EXPECT_EQ(page->kind, KIND_PAGE);
    EXPECT_EQ(count_kind(KIND_DIR), 1);

    file_entry *again = resolve("dir*");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->kind, KIND_FILE);
    EXPECT_EQ(body(again), read_file(path("dir*")));
    file_entry *keys_file = resolve("dir/*dN");
    ASSERT_NE(keys_file, nullptr);
    EXPECT_EQ(keys_file->kind, KIND_FILE);
    EXPECT_EQ(body(keys_file), read_file(path("dir/*dN")));
    EXPECT_EQ(resolve("dir/", "O=dN"), page);
}

TEST_F(PathResolution, SnapshotKeyWithoutItsDirectoryIsNotServed)
{
    ASSERT_NE(resolve("empty/", "O=dN"), nullptr);
    ASSERT_NE(fe_lookup(&ctx, path("empty*").c_str()), nullptr);
    EXPECT_EQ(resolve("empty*"), nullptr);
}

TEST_F(PathResolution, ArchiveListingsUseTheFirstMembersTime)
{
    file_entry *top = resolve("a.zip/");
    ASSERT_NE(top, nullptr);
    EXPECT_EQ(top->kind, KIND_PAGE);
    EXPECT_STREQ(top->name, path("a.zip/").c_str());
    const std::string text = page_text(top);
    for (const char *name : {"top.txt", "docs", "sub", "m12.bin", "site"})
        EXPECT_NE(text.find(name), std::string::npos) << name;
    file_entry *member = resolve("a.zip/top.txt");
    ASSERT_NE(member, nullptr);
    EXPECT_EQ(top->mtime, member->mtime);

    file_entry *docs = resolve("a.zip/docs/", "O=dN");
    ASSERT_NE(docs, nullptr);
    EXPECT_STREQ(docs->name, path("a.zip/docs/*dN").c_str());
    EXPECT_NE(page_text(docs).find("guide.html"), std::string::npos);
    EXPECT_EQ(resolve("a.zip/docs/", "O=dN"), docs);
    EXPECT_EQ(count_kind(KIND_ZIP), 1);
    EXPECT_EQ(count_kind(KIND_DIR), 0);  // archive listings need no snapshot
}

TEST_F(PathResolution, GeneratedPagesAreBoundedButPagesInUseStay)
{
    // Rebuilt unsorted pages and distinct sort keys, on disk and in an archive.
    const std::pair<const char *, bool> cases[] = {
        {"dir/", false}, {"dir/", true}, {"a.zip/docs/", false}, {"a.zip/docs/", true}};
    for (auto &[rel, sorted] : cases) {
        SCOPED_TRACE(std::string(rel) + (sorted ? " sorted" : " unsorted"));
        file_entry *held = resolve(rel, "x=0");
        ASSERT_NE(held, nullptr);
        fe_ref(held);
        for (int i = 1; i <= MAX_CACHED_PAGES + 100; ++i) {
            const std::string query = sorted ? "O=N" + std::to_string(i) : "x=1";
            ASSERT_NE(resolve(rel, query.c_str()), nullptr) << i;
        }
        EXPECT_LE(count_kind(KIND_PAGE), MAX_CACHED_PAGES);
        EXPECT_TRUE(held->in_table);
        fe_unref(held);
    }
}

TEST_F(PathResolution, FullPageBudgetReleasesTheLeastRecentlyUsedPage)
{
    file_entry *used = resolve("a.zip/docs/", "O=dN");
    ASSERT_NE(resolve("a.zip/docs/", "O=N"), nullptr);
    const std::string used_key = used->name;
    while (ctx.pages < MAX_CACHED_PAGES)
        ASSERT_NE(resolve("a.zip/docs/", "x=1"), nullptr);
    EXPECT_EQ(resolve("a.zip/docs/", "O=dN"), used);  // older than the other, but used since
    ASSERT_NE(resolve("a.zip/docs/", "x=1"), nullptr);
    EXPECT_EQ(fe_lookup(&ctx, used_key.c_str()), used);
    EXPECT_EQ(fe_lookup(&ctx, path("a.zip/docs/*N").c_str()), nullptr);
    // A member still being sent when the table goes is released with it.
    fe_ref(resolve("a.zip/top.txt"));
}

TEST_F(PathResolution, BusyDeflatedMemberGivesANewTransferItsOwnStream)
{
    const std::string guide = read_file(path("src/guide.html"));
    file_entry *first = resolve("a.zip/docs/guide.html");
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(first->size, guide.size());
    fe_ref(first);  // a transfer under way, halfway through
    const uint32_t size = first->size, half = size / 2;
    std::string a(size, '\0'), b(size, '\0');
    ASSERT_EQ(fe_read(first, a.data(), half, 0), 1);

    // Sharing that stream would restart decompression for nearly every piece
    // of two interleaved transfers; the second request gets its own.
    file_entry *second = resolve("a.zip/docs/guide.html");
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->kind, KIND_MEMBER);
    EXPECT_EQ(second->base, first->base);
    EXPECT_EQ(first->base->refcount, 2);
    fe_ref(second);
    for (uint32_t at = 0; at < size; at += 1000) {
        const uint32_t n = std::min(1000u, size - at);
        ASSERT_EQ(fe_read(second, b.data() + at, n, at), 1);
        EXPECT_EQ(second->handle.stream->out_pos, at + n);
        if (half + at < size) {
            const uint32_t m = std::min(1000u, size - half - at);
            ASSERT_EQ(fe_read(first, a.data() + half + at, m, half + at), 1);
            EXPECT_EQ(first->handle.stream->out_pos, half + at + m);  // never moved by the other transfer
        }
    }
    EXPECT_EQ(a, guide);
    EXPECT_EQ(b, guide);

    // Each stream goes with its transfer; an idle one is found again.
    fe_release(&ctx, second);
    EXPECT_EQ(count_kind(KIND_MEMBER), 1);
    EXPECT_EQ(first->base->refcount, 1);
    fe_unref(first);
    EXPECT_EQ(resolve("a.zip/docs/guide.html"), first);
}

TEST_F(PathResolution, BusyStoredMemberIsSharedOnceChecked)
{
    // Before its check a second transfer gets its own stream, so that it
    // cannot end the first one's check; after, one stream serves every transfer.
    file_entry *top = resolve("a.zip/top.txt");
    ASSERT_NE(top, nullptr);
    fe_ref(top);
    file_entry *other = resolve("a.zip/top.txt");
    EXPECT_NE(other, top);
    fe_drop_if_unused(&ctx, other);
    EXPECT_FALSE(body(top).empty());  // a whole pass checks it
    EXPECT_EQ(resolve("a.zip/top.txt"), top);
    EXPECT_EQ(count_kind(KIND_MEMBER), 1);
    fe_release(&ctx, top);
}

}  // namespace

TEST_F(PathResolution, RunningOutOfDescriptorsCachesNothing)
{
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 256;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    std::vector<int> held;
    for (int fd; (fd = dup(0)) >= 0;)
        held.push_back(fd);
    for (const char *rel : {"dir/", "dir/a.txt", "a.zip/top.txt", "dir/?O=n"}) {
        SCOPED_TRACE(rel);
        const std::string q = strchr(rel, '?') ? rel + std::string(rel).find('?') + 1 : "";
        std::string p = rel;
        p = p.substr(0, p.find('?'));
        EXPECT_EQ(resolve(p, q.empty() ? nullptr : q.c_str()), nullptr);
        EXPECT_EQ(redirect, RESOLVE_NO_RESOURCES);
    }
    EXPECT_EQ(ctx.nentries, 0);
    for (int fd : held)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &saved);
    file_entry *page = resolve("dir/");
    ASSERT_NE(page, nullptr);
    EXPECT_NE(page_text(page).find("a.txt"), std::string::npos);
}
