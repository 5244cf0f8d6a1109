// Index pages from directory snapshots and archive listings: directives,
// columns, escaping and sort orders, through templates of their own.
#include "dirscan.h"
#include "htconfig.h"
#include "listing.h"
#include "memory.h"
#include "mime.h"
#include "support.h"
#include "zip.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr time_t T0 = 1614834367;  // 2021-03-04 05:06:07 UTC

const char HEAD[] = "<html><head><meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                    "<meta name=\"color-scheme\" content=\"light dark\"><title>Index of /</title></head>\n"
                    "<body><h2 align=justify><a href=/>HOME</a>&gt;/</h2>\n"
                    "<pre>     <a href=?O=dN>NAME</a>                   <a href=?O=dT>DATE</a>"
                    "         <a href=?O=dS>SIZE</a>  <a href=?O=dn>NAME(R)</a>  <a href=?zip>ALL AS .ZIP</a>\n\n";
const char TAIL[] = "</pre>\n</body></html>\n";

std::string take(text_block *tb)
{
    EXPECT_NE(tb, nullptr);
    if (!tb)
        return {};
    std::string s(tb->data, tb->size);
    text_block_free(tb);
    return s;
}

std::vector<std::string> lines(const std::string &s)
{
    std::vector<std::string> out;
    size_t start = 0, nl;
    while ((nl = s.find('\n', start)) != std::string::npos) {
        out.push_back(s.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

void set_mtime(const std::string &path, time_t t)
{
    const timeval tv[2] = {{t, 0}, {t, 0}};
    ASSERT_EQ(utimes(path.c_str(), tv), 0) << path;
}

void make_file(const std::string &path, off_t size, time_t mtime)
{
    write_file(path, "");
    ASSERT_EQ(truncate(path.c_str(), size), 0) << path;
    set_mtime(path, mtime);
}

class IndexPage : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        cfg_create(&g_config);
        cfg_defaults(&g_config, "/srv/root");
        mime_table_build();
        blocks = n_blocks;
        files = n_files;
        dir = make_temp_dir();
    }
    void TearDown() override
    {
        EXPECT_EQ(n_blocks, blocks) << "blocks left behind";
        EXPECT_EQ(n_files, files) << "files left open";
        mime_table_free();
        cfg_free(&g_config);
    }
    // Page text only (%*): rows of every kind through one template each.
    void rows_only(const char *file, const char *zip, const char *directory)
    {
        g_config.index_template = "%*";
        g_config.index_template_file = file;
        g_config.index_template_zip = zip;
        g_config.index_template_dir = directory;
    }
    std::string sorted(const char *keys, const char *page_path = "/")
    {
        dir_entry *snap = dir_snapshot(dir.c_str());
        EXPECT_NE(snap, nullptr);
        std::string page = take(list_dir_sorted(snap, page_path, keys, &newest));
        dir_snapshot_free(snap);
        return page;
    }
    std::string unsorted(const char *page_path = "/") { return take(list_dir_unsorted(dir.c_str(), page_path, &newest)); }
    // A zip archive written by python3's zipfile from a list of statements.
    std::string make_zip(const std::string &body)
    {
        const std::string script = dir + "/mk.py";
        write_file(script, "import zipfile\nz = zipfile.ZipFile('" + dir + "/t.zip', 'w')\n" + body + "z.close()\n");
        EXPECT_EQ(run_shell("python3 '" + script + "'"), 0);
        unlink(script.c_str());
        return dir + "/t.zip";
    }

    int32_t blocks = 0, files = 0;
    int64_t newest = -1;
    std::string dir;
};

struct zip_fixture {
    zip_set *set = zip_set_new();
    zip_archive *za;
    explicit zip_fixture(const std::string &path) : za(zip_open(set, path.c_str())) { EXPECT_NE(za, nullptr); }
    ~zip_fixture()
    {
        zip_close(za);
        zip_set_free(set);
    }
};

}  // namespace

TEST_F(IndexPage, EmptyListingsGiveTitleHeadingAndColumnLinksOnly)
{
    const std::string empty = std::string(HEAD) + TAIL;
    EXPECT_EQ(unsorted(), empty);
    EXPECT_EQ(sorted("dN"), empty);
    EXPECT_EQ(sorted(""), empty);
    EXPECT_EQ(take(list_zip_unsorted(nullptr, "/", &newest)), empty);
    EXPECT_EQ(take(list_zip_sorted(nullptr, "/", "dN", &newest)), empty);
    EXPECT_EQ(take(list_dir_unsorted((dir + "/missing").c_str(), "/", &newest)), empty);
    EXPECT_EQ(list_dir_unsorted(("/" + std::string(300, 'x')).c_str(), "/", &newest), nullptr);
}

TEST_F(IndexPage, PageDirectivesGiveTitlePathTrailAndSortLinks)
{
    g_config.index_template = "%p|%P|%R|%(OdN)|%(otS)|%O|%(O)|%x|%(pp)";
    struct Case {
        const char *path, *expected;
    } cases[] = {
        {"/", "/|/|/|?O=dN|?O=tS|||N/A|N/A"},
        {"/a/b/", "b|/a/b/|/<a href=\"/a/\">a</a>/<a href=\"/a/b/\">b</a>/|?O=dN|?O=tS|||N/A|N/A"},
        {"/a/b", "b|/a/b|/<a href=\"/a/\">a</a>/b|?O=dN|?O=tS|||N/A|N/A"},
        {"", "|||?O=dN|?O=tS|||N/A|N/A"},
        // The path arrives in URL form: links keep valid escapes and escape the rest once, texts decode it.
        {"/sp%20dir/in%41/", "inA|/sp dir/inA/|/<a href=\"/sp%20dir/\">sp dir</a>/"
                             "<a href=\"/sp%20dir/in%41/\">inA</a>/|?O=dN|?O=tS|||N/A|N/A"},
        {"/100%/a%2g/", "a%2g|/100%/a%2g/|/<a href=\"/100%25/\">100%</a>/<a href=\"/100%25/a%252g/\">a%2g</a>/"
                        "|?O=dN|?O=tS|||N/A|N/A"},
        // A byte that starts no UTF-8 character shows escaped.
        {"/caf\xE9/", "caf%E9|/caf%E9/|/<a href=\"/caf%E9/\">caf%E9</a>/|?O=dN|?O=tS|||N/A|N/A"},
        // Markup in the path shows as text and is escaped in the links.
        {"/x<b>'\"&/", "x&lt;b&gt;&#39;&quot;&amp;|/x&lt;b&gt;&#39;&quot;&amp;/|/<a href=\"/x%3Cb%3E%27%22%26/\">"
                       "x&lt;b&gt;&#39;&quot;&amp;</a>/|?O=dN|?O=tS|||N/A|N/A"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(unsorted(c.path), c.expected);
    }
}

TEST_F(IndexPage, NameColumnCutsAtItsWidthAndFillsWithSpaces)
{
    const std::string n19(19, 'a'), n20(20, 'b'), n21(21, 'c');
    for (const std::string &n : {n19, n20, n21})
        make_file(dir + "/" + n, 1, T0);
    rows_only("[%(n20)%(b20)][%n%b][%(n4)%(b4)][%(n3)%(b3)][%(n128)%(b128)]\n", "", "");
    const std::vector<std::string> rows = lines(sorted("N"));
    ASSERT_EQ(rows.size(), 3u);
    const std::string a16 = std::string(15, 'a') + "&gt;", a4 = "aaa&gt;";
    EXPECT_EQ(rows[0], "[" + n19 + " ][" + a16 + "][" + a4 + "][" + a16 + "][" + n19 + std::string(109, ' ') + "]");
    EXPECT_EQ(rows[1], "[" + std::string(19, 'b') + "&gt;][" + std::string(15, 'b') + "&gt;][bbb&gt;][" +
                           std::string(15, 'b') + "&gt;][" + n20 + std::string(108, ' ') + "]");
    EXPECT_EQ(rows[2].substr(0, 25), "[" + std::string(19, 'c') + "&gt;]");
}

TEST_F(IndexPage, NamesAreHtmlEscapedAndColumnsCountTheRawName)
{
    const std::string evil = "<img src=x onerror=alert(1)>", quotes = "a&\"'.txt";
    make_file(dir + "/" + evil, 1, T0);
    make_file(dir + "/" + quotes, 1, T0);
    const std::string page = sorted("N");
    EXPECT_EQ(page.find("<img src=x"), std::string::npos);
    const std::vector<std::string> rows = lines(page.substr(strlen(HEAD)));
    ASSERT_EQ(rows.size(), 4u);
    // Each name column shows exactly 20 characters once entities are read.
    EXPECT_EQ(rows[0].substr(0, rows[0].find(" 05:06")),
              "<img src=\"/?rc=" + std::string(icon_class_of(evil.c_str(), KIND_FILE)) +
                  ".gif\" width=24 height=24> <a href=\"%3Cimg%20src=x%20onerror=alert(1)%3E\">"
                  "&lt;img src=x onerror=&gt;</a>");
    EXPECT_NE(rows[0].find("1 &lt;img src=x onerror=alert(1)&gt; (1)"), std::string::npos);
    EXPECT_EQ(rows[1].substr(0, rows[1].find(" 05:06")),
              "<img src=\"/?rc=text.gif\" width=24 height=24> <a href=\"a%26%22%27.txt\">a&amp;&quot;&#39;.txt</a>" +
                  std::string(12, ' '));
    EXPECT_NE(rows[1].find(" a&amp;&quot;&#39;.txt (1)"), std::string::npos);
}

TEST_F(IndexPage, SizeAndTimeColumnsOfRows)
{
    make_file(dir + "/a", 99999, T0);
    make_file(dir + "/b", 100000, 0);
    make_file(dir + "/c", 10239488, T0 + 86400 * 300);
    make_file(dir + "/d", 5LL << 30, T0);         // sparse: sized and sorted in 64 bits
    make_file(dir + "/e", 1, 4102444800 + 3723);  // 2100-01-01 01:02:03, past 32-bit times
    // The size column rounds to the nearest of the first unit that takes at most four digits.
    const struct {
        uint64_t size;
        const char *column;
    } sizes[] = {{10239487, "9999K"}, {(9999ull << 20) + (1 << 19), "  10G"}, {(9999ull << 30) + (1 << 29) - 1, "9999G"},
                 {(9999ull << 30) + (1 << 29), "  10T"}};
    for (const auto &c : sizes)
        make_file(dir + "/s" + c.column, static_cast<off_t>(c.size), T0);
    rows_only("%N [%s] [%S] [%t] [%T] [%d] [%D] [%x]\n", "", "");
    std::vector<std::string> rows, sized;
    for (const std::string &row : lines(sorted("S")))
        (row[0] == 's' ? sized : rows).push_back(row);
    ASSERT_EQ(sized.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(sized[i].substr(0, 14), "s" + std::string(sizes[i].column) + " [" + sizes[i].column + "]");
    ASSERT_EQ(rows.size(), 5u);
    EXPECT_EQ(rows[0], "e [    1] [1] [01:02] [01:02:03] [01/01/00] [JAN 01 2100] []");
    EXPECT_EQ(rows[1], "a [99999] [99999] [05:06] [05:06:07] [03/04/21] [MAR 04 2021] []");
    EXPECT_EQ(rows[2], "b [  98K] [100000] [     ] [        ] [        ] [           ] []");
    EXPECT_EQ(rows[3], "c [  10M] [10239488] [05:06] [05:06:07] [12/29/21] [DEC 29 2021] []");
    EXPECT_EQ(rows[4], "d [5120M] [5368709120] [05:06] [05:06:07] [03/04/21] [MAR 04 2021] []");
}

TEST_F(IndexPage, SortKeysOrderDiskListings)
{
    make_file(dir + "/b.txt", 300, T0 + 200);
    make_file(dir + "/a.txt", 100, T0 + 300);
    make_file(dir + "/d.zip", 200, T0 + 400);
    make_file(dir + "/E.txt", 50, T0 + 50);
    ASSERT_EQ(mkdir((dir + "/c").c_str(), 0755), 0);
    set_mtime(dir + "/c", T0 + 100);
    rows_only("%N\n", "%N\n", "%N\n");
    using names = std::vector<std::string>;
    const struct {
        const char *keys;
        names order;
    } cases[] = {
        {"N", {"E.txt", "a.txt", "b.txt", "c", "d.zip"}},  {"n", {"d.zip", "c", "b.txt", "a.txt", "E.txt"}},
        {"S", {"c", "E.txt", "a.txt", "d.zip", "b.txt"}},  {"s", {"b.txt", "d.zip", "a.txt", "E.txt", "c"}},
        {"T", {"E.txt", "c", "b.txt", "a.txt", "d.zip"}},  {"t", {"d.zip", "a.txt", "b.txt", "c", "E.txt"}},
        {"DN", {"E.txt", "a.txt", "b.txt", "d.zip", "c"}}, {"dN", {"c", "d.zip", "E.txt", "a.txt", "b.txt"}},
        {"dn", {"c", "d.zip", "b.txt", "a.txt", "E.txt"}}, {"dT", {"c", "d.zip", "E.txt", "b.txt", "a.txt"}},
        {"ds", {"c", "d.zip", "b.txt", "a.txt", "E.txt"}}, {"x?N", {"E.txt", "a.txt", "b.txt", "c", "d.zip"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys);
        EXPECT_EQ(lines(sorted(c.keys)), c.order);
    }
}

TEST_F(IndexPage, ArchiveListingsShowMembersAndDirectories)
{
    zip_fixture z(make_zip("d = (2020, 1, 2, 3, 4, 6)\n"
                           "z.writestr(zipfile.ZipInfo('readme.txt', d), 'x' * 10)\n"
                           "z.writestr(zipfile.ZipInfo('docs/a.html', (2021, 5, 6, 7, 8, 10)), 'y' * 300)\n"
                           "z.writestr(zipfile.ZipInfo('docs/sub/b.txt', d), 'z')\n"
                           "z.writestr(zipfile.ZipInfo('docs//c.txt', d), 'c')\n"
                           "z.writestr(zipfile.ZipInfo('big.bin', (2019, 1, 1, 0, 0, 0)), b'\\0' * 100000, "
                           "compress_type=zipfile.ZIP_DEFLATED)\n"
                           "z.writestr(zipfile.ZipInfo('inner.zip', (2020, 6, 1, 0, 0, 0)), 'q' * 20)\n"));
    rows_only("F %N %m %u %s %t %d\n", "Z %N\n", "D %N %m %U %t\n");
    zip_node *top = zip_list(z.za, "");
    EXPECT_EQ(lines(take(list_zip_unsorted(top, "/t.zip/", &newest))),
              (std::vector<std::string>{"F readme.txt /?rc=ziptext.gif readme.txt    10 03:04 01/02/20",
                                        "D docs /?rc=zipfolder.gif docs/      ",
                                        "F big.bin /?rc=zipbin.gif big.bin   98K 00:00 01/01/19",
                                        "F inner.zip /?rc=zipzip.gif inner.zip    20 00:00 06/01/20"}));
    rows_only("%N\n", "%N\n", "%N\n");
    const struct {
        const char *keys;
        std::vector<std::string> order;
    } cases[] = {
        {"N", {"big.bin", "docs", "inner.zip", "readme.txt"}},  {"dN", {"docs", "big.bin", "inner.zip", "readme.txt"}},
        {"Dn", {"readme.txt", "inner.zip", "big.bin", "docs"}}, {"s", {"big.bin", "inner.zip", "readme.txt", "docs"}},
        {"T", {"docs", "big.bin", "readme.txt", "inner.zip"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.keys);
        EXPECT_EQ(lines(take(list_zip_sorted(top, "/t.zip/", c.keys, &newest))), c.order);
    }
    zip_node *docs = zip_list(z.za, "docs");
    // Names order the rows, however the member paths spell the directory.
    EXPECT_EQ(lines(take(list_zip_sorted(docs, "/t.zip/docs/", "n", &newest))),
              (std::vector<std::string>{"sub", "c.txt", "a.html"}));
}

TEST_F(IndexPage, PagesGrowSoThatDirectivesAtTheFirstEdgeAreWrittenWhole)
{
    make_file(dir + "/a b", 1, T0);
    const std::string icon = "/?rc=" + std::string(icon_class_of("a b", KIND_FILE)) + ".gif";
    const struct {
        const char *directive;  // a page directive, or a row directive under "%*"
        bool row;
        std::string text;
    } cases[] = {
        {"%p", false, "abc"},
        {"%P", false, "/abc/"},
        {"%R", false, "/<a href=\"/abc/\">abc</a>/"},
        {"%(OdN)", false, "?O=dN"},
        {"%x", false, "N/A"},
        {"%N", true, "a b"},
        {"%u", true, "a%20b"},
        {"%U", true, "a%20b/"},
        {"%(n20)", true, "a b"},
        {"%(b20)", true, std::string(17, ' ')},
        {"%m", true, icon},
        {"%s", true, "    1"},
        {"%S", true, "1"},
        {"%t", true, "05:06"},
        {"%T", true, "05:06:07"},
        {"%d", true, "03/04/21"},
        {"%D", true, "MAR 04 2021"},
    };
    for (const auto &c : cases) {
        // The directive starts this many bytes before the end of the room a page is first made in.
        for (uint32_t space : {1u, 6u, 13u, 26u}) {
            SCOPED_TRACE(std::string(c.directive) + " in " + std::to_string(space));
            const std::string pad(65536 - space, '.');  // a page is first made in 64 KB
            const std::string page_tmpl = pad + (c.row ? "%*" : c.directive);
            g_config.index_template = page_tmpl.c_str();
            g_config.index_template_file = c.directive;
            const std::string page = unsorted("/abc/");
            ASSERT_EQ(page.compare(0, pad.size(), pad), 0);
            EXPECT_EQ(page.substr(pad.size()), c.text);
        }
    }
}
