// The built-in icons and the help page.
#include "mime.h"
#include "resources.h"
#include "support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

const char *const ICON_NAMES[] = {
    "?folder.gif", "?zip.gif",     "?file.gif",    "?html.gif",      "?bin.gif",      "?doc.gif",      "?text.gif",
    "?image.gif",  "?audio.gif",   "?video.gif",   "?zipfolder.gif", "?zipzip.gif",   "?zipfile.gif",  "?zipbin.gif",
    "?zipdoc.gif", "?ziptext.gif", "?ziphtml.gif", "?zipimage.gif",  "?zipaudio.gif", "?zipvideo.gif", "?viewzip.gif",
};

const builtin_resource *find_icon(const char *name)
{
    for (const builtin_resource *r = builtin_resources; r->name; ++r) {
        if (strcmp(r->name, name) == 0)
            return r;
    }
    return nullptr;
}

}  // namespace

TEST(Resources, TableListsTwentyOneIconsInOrderThenEmptyRow)
{
    for (int i = 0; i < BUILTIN_ICON_COUNT; ++i) {
        ASSERT_NE(builtin_resources[i].name, nullptr) << i;
        EXPECT_STREQ(builtin_resources[i].name, ICON_NAMES[i]);
        EXPECT_NE(builtin_resources[i].data, nullptr);
        EXPECT_GT(builtin_resources[i].size, 0u);
    }
    EXPECT_EQ(builtin_resources[BUILTIN_ICON_COUNT].name, nullptr);
    EXPECT_EQ(builtin_resources[BUILTIN_ICON_COUNT].data, nullptr);
    EXPECT_EQ(builtin_resources[BUILTIN_ICON_COUNT].size, 0u);
}

TEST(Resources, EveryIconIsA24By24Gif89aThatEndsWithItsTrailer)
{
    // tools/make_icons.py reads back every picture it writes; here the table
    // is checked to carry those bytes whole.
    for (const builtin_resource *r = builtin_resources; r->name; ++r) {
        ASSERT_GT(r->size, 13u) << r->name;
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(r->data), 6), "GIF89a") << r->name;
        EXPECT_EQ(r->data[6] | r->data[7] << 8, 24) << r->name;
        EXPECT_EQ(r->data[8] | r->data[9] << 8, 24) << r->name;
        EXPECT_EQ(r->data[r->size - 1], 0x3B) << r->name;
    }
}

TEST(Resources, EveryIconAListingNamesExists)
{
    mime_table_build();
    for (const char *name :
         {"d/", "a.zip", "a.bin", "a.txt", "a.html", "a.pdf", "a.sh", "a.gif", "a.mp3", "a.mp4", "a.none"}) {
        const std::string cls = icon_class_of(name, KIND_FILE);
        EXPECT_NE(find_icon(("?" + cls + ".gif").c_str()), nullptr) << name;
        EXPECT_NE(find_icon(("?zip" + cls + ".gif").c_str()), nullptr) << name;
    }
    mime_table_free();
}

// The generator fails unless each picture reads back whole and distinct.
TEST(Resources, CommittedIconsMatchTheirGenerator)
{
    std::string dir = make_temp_dir();
    const std::string src = PW_SOURCE_DIR;
    ASSERT_EQ(run_shell("python3 '" + src + "/tools/make_icons.py' --stdout > '" + dir + "/icons.inc'"), 0);
    EXPECT_EQ(read_file(dir + "/icons.inc"), read_file(src + "/src/resources_icons.inc"));
}

TEST(Resources, HelpPageHasItsTitleSectionsAndNoDirectives)
{
    const std::string page = help_page_html;
    EXPECT_NE(
        page.find("<meta charset=\"utf-8\">\n<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                  "\n<meta name=\"color-scheme\" content=\"light dark\">\n<title>"),
        std::string::npos);
    const size_t h1 = page.find("<h1 align=\"center\">Pellorwick HTTP Server 0.1</h1>");
    ASSERT_NE(h1, std::string::npos);
    size_t at = h1;
    for (const char *section : {"Functionality", "Settings", "Command buttons", "Information on the panel"}) {
        size_t next = page.find("<h2>" + std::string(section) + "</h2>", at);
        EXPECT_NE(next, std::string::npos) << section;
        if (next != std::string::npos)
            at = next;
    }
    const size_t hr = page.find("<hr>", at);
    ASSERT_NE(hr, std::string::npos);
    EXPECT_NE(page.find("zlib", hr), std::string::npos);
    EXPECT_NE(page.find("free", hr), std::string::npos);
    EXPECT_EQ(page.find('%'), std::string::npos);
    EXPECT_EQ(page.find('$'), std::string::npos);
    for (const char *fact : {"Root Directory", "Default page", "'index.html'", "'Default.htm'", "'index.htm'", "Port",
                             "80", "Clear cache", "About", "Close", "Online", "Total"})
        EXPECT_NE(page.find(fact), std::string::npos) << fact;
}
