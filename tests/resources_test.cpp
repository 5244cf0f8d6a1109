#include "resources.h"
#include "support.h"

#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace {

// A complete GIF reader for one-image files: header, colour table,
// extensions, the image and its LZW data.  Fills `error` on any fault.
struct gif_image {
    std::string version;
    int width = 0, height = 0;
    int colours = 0;
    std::vector<int> pixels;
    std::string error;
};

std::vector<int> lzw_decode(const std::vector<unsigned char> &data, int min_size, std::string &error)
{
    const int clear = 1 << min_size, eoi = clear + 1;
    std::vector<std::vector<int>> table;
    auto reset = [&] {
        table.clear();
        for (int i = 0; i < clear + 2; ++i)
            table.push_back({i});
    };
    reset();
    int width = min_size + 1, prev = -1;
    size_t pos = 0;
    uint32_t acc = 0;
    int nbits = 0;
    std::vector<int> out;
    while (true) {
        while (nbits < width) {
            if (pos >= data.size()) {
                error = "LZW data without end code";
                return out;
            }
            acc |= static_cast<uint32_t>(data[pos++]) << nbits;
            nbits += 8;
        }
        int code = static_cast<int>(acc & ((1u << width) - 1));
        acc >>= width;
        nbits -= width;
        if (code == clear) {
            reset();
            width = min_size + 1;
            prev = -1;
            continue;
        }
        if (code == eoi)
            return out;
        std::vector<int> entry;
        if (prev < 0) {
            if (code > clear) {
                error = "first code is no colour";
                return out;
            }
            entry = table[code];
        } else if (code < static_cast<int>(table.size())) {
            entry = table[code];
            if (table.size() < 4096) {
                table.push_back(table[prev]);
                table.back().push_back(entry[0]);
            }
        } else if (code == static_cast<int>(table.size())) {
            entry = table[prev];
            entry.push_back(entry[0]);
            table.push_back(entry);
        } else {
            error = "code beyond the table";
            return out;
        }
        if (static_cast<int>(table.size()) == (1 << width) && width < 12)
            ++width;
        out.insert(out.end(), entry.begin(), entry.end());
        prev = code;
    }
}

gif_image read_gif(const unsigned char *p, uint32_t size)
{
    gif_image g;
    uint32_t pos = 0;
    auto need = [&](uint32_t n) {
        if (size - pos < n) {
            g.error = "truncated at byte " + std::to_string(pos);
            return false;
        }
        return true;
    };
    auto u16 = [&](uint32_t at) { return p[at] | (p[at + 1] << 8); };
    if (!need(13))
        return g;
    g.version.assign(reinterpret_cast<const char *>(p), 6);
    g.width = u16(6);
    g.height = u16(8);
    const int packed = p[10];
    pos = 13;
    if (packed & 0x80) {
        g.colours = 2 << (packed & 7);
        if (!need(3 * g.colours))
            return g;
        pos += 3 * g.colours;
    }
    bool have_image = false;
    while (need(1)) {
        const int tag = p[pos++];
        if (tag == 0x3B) {
            if (pos != size)
                g.error = "bytes after the trailer";
            else if (!have_image)
                g.error = "no image";
            return g;
        }
        std::vector<unsigned char> data;
        int min_size = 0;
        if (tag == 0x21) {
            if (!need(1))
                return g;
            ++pos;  // extension label
        } else if (tag == 0x2C) {
            if (!need(10))
                return g;
            if (u16(pos) != 0 || u16(pos + 2) != 0 || u16(pos + 4) != g.width || u16(pos + 6) != g.height) {
                g.error = "image does not cover the screen";
                return g;
            }
            if (p[pos + 8] & 0x80) {
                g.error = "unexpected local colour table";
                return g;
            }
            min_size = p[pos + 9];
            pos += 10;
        } else {
            g.error = "unknown block";
            return g;
        }
        while (need(1)) {
            const uint32_t n = p[pos++];
            if (n == 0)
                break;
            if (!need(n))
                return g;
            data.insert(data.end(), p + pos, p + pos + n);
            pos += n;
        }
        if (!g.error.empty())
            return g;
        if (tag == 0x2C) {
            if (min_size < 2 || min_size > 8) {
                g.error = "bad LZW code size";
                return g;
            }
            g.pixels = lzw_decode(data, min_size, g.error);
            if (!g.error.empty())
                return g;
            have_image = true;
        }
    }
    return g;
}

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

TEST(Resources, EveryIconIsA24By24Gif89aThatDecodesCompletely)
{
    for (const builtin_resource *r = builtin_resources; r->name; ++r) {
        gif_image g = read_gif(r->data, r->size);
        EXPECT_EQ(g.error, "") << r->name;
        EXPECT_EQ(g.version, "GIF89a") << r->name;
        EXPECT_EQ(g.width, 24) << r->name;
        EXPECT_EQ(g.height, 24) << r->name;
        EXPECT_GT(g.colours, 0) << r->name;
        ASSERT_EQ(g.pixels.size(), 24u * 24u) << r->name;
        std::set<int> used(g.pixels.begin(), g.pixels.end());
        EXPECT_LT(*used.rbegin(), g.colours) << r->name;
        EXPECT_GE(used.size(), 2u) << r->name << " is blank";
    }
}

TEST(Resources, ArchiveInArchiveSharesTheArchiveIcon)
{
    const builtin_resource *zip = find_icon("?zip.gif"), *zipzip = find_icon("?zipzip.gif");
    ASSERT_TRUE(zip && zipzip);
    EXPECT_EQ(zip->data, zipzip->data);
    EXPECT_EQ(zip->size, zipzip->size);
}

TEST(Resources, AllOtherIconsAreDistinctPictures)
{
    std::set<std::vector<int>> pictures;
    for (const builtin_resource *r = builtin_resources; r->name; ++r) {
        if (strcmp(r->name, "?zipzip.gif") == 0)
            continue;
        EXPECT_TRUE(pictures.insert(read_gif(r->data, r->size).pixels).second) << r->name;
    }
    EXPECT_EQ(pictures.size(), 20u);
}

TEST(Resources, InArchiveIconsDrawTheirClassWithAMark)
{
    // Each in-archive icon keeps most of its class's picture and adds a mark.
    for (const char *cls : {"folder", "file", "html", "bin", "doc", "text", "image", "audio", "video"}) {
        const builtin_resource *plain = find_icon(("?" + std::string(cls) + ".gif").c_str());
        const builtin_resource *inner = find_icon(("?zip" + std::string(cls) + ".gif").c_str());
        ASSERT_TRUE(plain && inner) << cls;
        std::vector<int> a = read_gif(plain->data, plain->size).pixels;
        std::vector<int> b = read_gif(inner->data, inner->size).pixels;
        ASSERT_EQ(a.size(), b.size());
        int differing = 0;
        for (size_t i = 0; i < a.size(); ++i)
            differing += a[i] != b[i];
        EXPECT_GT(differing, 20) << cls;
        EXPECT_LT(differing, 24 * 24 / 4) << cls;
    }
}

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
    EXPECT_NE(page.find("<title>Pellorwick HTTP 1.1 Server version 0.1</title>"), std::string::npos);
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
