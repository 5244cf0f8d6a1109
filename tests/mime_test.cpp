// MIME types and icon classes by file-name extension.
#include "memory.h"
#include "mime.h"

#include <gtest/gtest.h>

#include <string>

namespace {

class MimeTable : public ::testing::Test {
protected:
    void SetUp() override { mime_table_build(); }
    void TearDown() override { mime_table_free(); }
};

struct name_case {
    const char *name;
    const char *type;
    const char *icon;  // class for a file of this name (kind 2)
};

TEST_F(MimeTable, TrickyNamesGetTheirTypeAndIconClass)
{
    const name_case cases[] = {
        {"README", "text/plain", "file"},
        {"/docs.old/README", "text/plain", "file"},
        {"a.JPG", "image/jpeg", "image"},
        {"a.jpeg2000", "application/octet-stream", "file"},
        {"script.pl", "text/plain", "text"},
        {"notes.css", "text/css", "file"},
        {"x.tar", "application/x-tar", "file"},
        {"a.", "application/octet-stream", "file"},
        {"/dir.d/", "text/html", "folder"},
        {"/docs/*NS", "text/html", "folder"},
        {"index.HTML", "text/html", "html"},
        {"a.b.gif", "image/gif", "image"},
        {".gif", "image/gif", "image"},
        {"?folder.gif", "image/gif", "image"},
        {"pics/a.gif", "image/gif", "image"},
        {"archive.Zip", "application/zip", "zip"},
        {"setup.exe", "application/octet-stream", "bin"},
        {"a.unknown", "application/octet-stream", "file"},
        {"x.h", "text/plain", "text"},
        {"movie.MoV", "video/quicktime", "video"},
        {"song.mp3", "audio/mpeg", "audio"},
        {"paper.pdf", "application/pdf", "doc"},
        // Extensions longer than eleven bytes are never looked up.
        {"manual.texinfo", "application/x-texinfo", "doc"},
        {"site.WebManifest", "application/manifest+json", "text"},
        {"site.webmanifests", "application/octet-stream", "file"},
        {"a.vrml", "model/vrml", "file"},
        {"app.js", "text/javascript", "text"},
        {"font.woff2", "font/woff2", "bin"},
        {"pack.7z", "application/x-7z-compressed", "zip"},
        {"clip.m4v", "video/mp4", "video"},
        {"mod.mjs", "text/javascript", "text"},
        {"data.json", "application/json", "text"},
        {"add.wasm", "application/wasm", "bin"},
        {"pic.svg", "image/svg+xml", "image"},
        {"pic.webp", "image/webp", "image"},
        {"pic.avif", "image/avif", "image"},
        {"icon.ico", "image/vnd.microsoft.icon", "image"},
        {"clip.mp4", "video/mp4", "video"},
        {"clip.webm", "video/webm", "video"},
        {"song.ogg", "audio/ogg", "audio"},
        {"notes.md", "text/markdown", "text"},
        {"table.csv", "text/csv", "text"},
    };
    for (const name_case &c : cases) {
        EXPECT_STREQ(mime_type_of(c.name), c.type) << c.name;
        EXPECT_STREQ(icon_class_of(c.name, KIND_FILE), c.icon) << c.name;
    }
}

TEST_F(MimeTable, DirectoriesAreFoldersWhateverTheirName)
{
    EXPECT_STREQ(icon_class_of("photos.gif", KIND_DIR), "folder");
    EXPECT_STREQ(icon_class_of("sub.txt", KIND_MEMBER_DIR), "folder");
    EXPECT_STREQ(icon_class_of("A.ZIP", KIND_ZIP), "zip");
    EXPECT_STREQ(icon_class_of("inner.zip", KIND_MEMBER), "zip");  // an archive inside an archive
    EXPECT_STREQ(icon_class_of("x.Zip", KIND_FILE), "zip");
    EXPECT_STREQ(icon_class_of("name/", KIND_FILE), "folder");
    EXPECT_STREQ(icon_class_of("a*b", KIND_FILE), "folder");
    EXPECT_STREQ(icon_class_of("dir.d/file", KIND_FILE), "file");
}

TEST(MimeIndex, BuildAndFreeBalanceTheBlockCounter)
{
    int32_t before = n_blocks;
    mime_table_build();
    const int32_t built = n_blocks;
    EXPECT_GT(built, before);
    mime_table_build();  // a rebuild replaces the index
    EXPECT_EQ(n_blocks, built);
    mime_table_free();
    EXPECT_EQ(n_blocks, before);
    mime_table_free();
    EXPECT_EQ(n_blocks, before);
}

}  // namespace
