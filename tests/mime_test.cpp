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
        // Extensions longer than six bytes are never looked up, even when
        // the table lists them.
        {"manual.texinfo", "application/octet-stream", "file"},
        {"manual.texi", "application/x-texinfo", "doc"},
        {"a.vrml", "model/vrml", "file"},
    };
    for (const name_case &c : cases) {
        EXPECT_STREQ(mime_type_of(c.name), c.type) << c.name;
        EXPECT_STREQ(icon_class_of(c.name, KIND_FILE), c.icon) << c.name;
    }
}

TEST_F(MimeTable, EveryTableExtensionMapsToItsRow)
{
    const struct {
        const char *type;
        const char *extensions;
    } rows[] = {
        {"application/msword", "doc"},
        {"application/pdf", "pdf"},
        {"application/octet-stream", "bin exe class dll dat"},
        {"application/postscript", "eps ps"},
        {"application/vnd.ms-excel", "xls"},
        {"application/vnd.ms-powerpoint", "ppt"},
        {"application/x-dvi", "dvi"},
        {"application/x-gzip", "gz tgz"},
        {"application/x-tex", "latex tex ltx"},
        {"application/x-tar", "tar"},
        {"application/x-tcl", "tcl"},
        {"application/x-sh", "sh"},
        {"application/x-csh", "csh"},
        {"application/x-texinfo", "texi"},
        {"application/zip", "zip"},
        {"audio/basic", "au snd"},
        {"audio/midi", "mid midi"},
        {"audio/mpeg", "mpga mp2 mp3"},
        {"audio/x-realaudio", "ram rm ra"},
        {"audio/x-wav", "wav"},
        {"image/bmp", "bmp"},
        {"image/gif", "gif"},
        {"image/jpeg", "jpg jpe jpeg"},
        {"image/png", "png"},
        {"image/tiff", "tiff tif"},
        {"image/x-cmu-raster", "ras"},
        {"image/x-portable-anymap", "pnm"},
        {"image/x-portable-bitmap", "pbm"},
        {"image/x-portable-graymap", "pgm"},
        {"image/x-portable-pixmap", "ppm"},
        {"image/x-rgb", "rgb"},
        {"image/x-xbitmap", "xbm"},
        {"image/x-xpixmap", "xpm"},
        {"model/vrml", "wrl vrml"},
        {"text/css", "css"},
        {"text/html", "html htm"},
        {"text/plain", "asc txt c h cpp cxx cc bas pas f asm pl js pro java bat mak"},
        {"text/richtext", "rtx"},
        {"text/rtf", "rtf"},
        {"text/sgml", "sgml sgm"},
        {"text/xml", "xml xsl"},
        {"video/mpeg", "mpeg mpg mpe"},
        {"video/quicktime", "qt mov"},
        {"video/x-msvideo", "avi"},
    };
    int checked = 0;
    for (const auto &row : rows) {
        std::string list = row.extensions;
        size_t pos = 0;
        while (pos < list.size()) {
            size_t end = list.find(' ', pos);
            if (end == std::string::npos)
                end = list.size();
            std::string name = "f." + list.substr(pos, end - pos);
            EXPECT_STREQ(mime_type_of(name.c_str()), row.type) << name;
            ++checked;
            pos = end + 1;
        }
    }
    EXPECT_EQ(checked, 84);  // all 86 but the shadowed "pl" and the unreachable "texinfo"
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
    // The bucket array and one node per extension of the table.
    EXPECT_EQ(n_blocks - before, 1 + 86);
    mime_table_build();  // a rebuild replaces the index
    EXPECT_EQ(n_blocks - before, 1 + 86);
    mime_table_free();
    EXPECT_EQ(n_blocks, before);
    mime_table_free();
    EXPECT_EQ(n_blocks, before);
}

TEST(MimeIndex, WithoutIndexEveryExtensionIsUnknown)
{
    EXPECT_STREQ(mime_type_of("a.gif"), "application/octet-stream");
    EXPECT_STREQ(icon_class_of("a.gif", KIND_FILE), "file");
    EXPECT_STREQ(mime_type_of("README"), "text/plain");
    EXPECT_STREQ(mime_type_of("/"), "text/html");
}

}  // namespace
