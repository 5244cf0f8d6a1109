// MIME types by file-name extension, and the icon classes of listings.
#include "mime.h"

#include "memory.h"

#include <cstring>

namespace {

struct mime_row {
    const char *type;
    const char *extensions;  // lower case, separated by spaces
    const char *icon;        // icon class, or null
};

// Later rows shadow earlier ones for the same extension.
constexpr mime_row MIME_TABLE[] = {
    {"application/msword", "doc", "doc"},
    {"application/pdf", "pdf", "doc"},
    {"application/octet-stream", "bin exe class dll dat", "bin"},
    {"application/postscript", "eps ps", "doc"},
    {"application/vnd.ms-excel", "xls", "doc"},
    {"application/vnd.ms-powerpoint", "ppt", "doc"},
    {"application/x-dvi", "dvi", "doc"},
    {"application/x-gzip", "gz tgz", "bin"},
    {"application/x-tex", "latex tex ltx", "doc"},
    {"application/x-tar", "tar", nullptr},
    {"application/x-tcl", "tcl", "text"},
    {"application/x-sh", "sh", "text"},
    {"application/x-csh", "csh", "text"},
    {"application/x-perl", "pl", "text"},
    {"application/x-texinfo", "texinfo texi", "doc"},
    {"application/zip", "zip", "zip"},
    {"audio/basic", "au snd", "audio"},
    {"audio/midi", "mid midi", "audio"},
    {"audio/mpeg", "mpga mp2 mp3", "audio"},
    {"audio/x-realaudio", "ram rm ra", "audio"},
    {"audio/x-wav", "wav", "audio"},
    {"image/bmp", "bmp", "image"},
    {"image/gif", "gif", "image"},
    {"image/jpeg", "jpg jpe jpeg", "image"},
    {"image/png", "png", "image"},
    {"image/tiff", "tiff tif", "image"},
    {"image/x-cmu-raster", "ras", "image"},
    {"image/x-portable-anymap", "pnm", "image"},
    {"image/x-portable-bitmap", "pbm", "image"},
    {"image/x-portable-graymap", "pgm", "image"},
    {"image/x-portable-pixmap", "ppm", "image"},
    {"image/x-rgb", "rgb", "image"},
    {"image/x-xbitmap", "xbm", "image"},
    {"image/x-xpixmap", "xpm", "image"},
    {"model/vrml", "wrl vrml", nullptr},
    {"text/css", "css", nullptr},
    {"text/html", "html htm", "html"},
    {"text/plain", "asc txt", "text"},
    {"text/plain", "c h cpp cxx cc bas pas f asm pl pro java bat mak", "text"},
    {"text/richtext", "rtx", "doc"},
    {"text/rtf", "rtf", "doc"},
    {"text/sgml", "sgml sgm", nullptr},
    {"text/xml", "xml xsl", nullptr},
    {"video/mpeg", "mpeg mpg mpe", "video"},
    {"video/quicktime", "qt mov", "video"},
    {"video/x-msvideo", "avi", "video"},
    // What pages of today load: scripts and modules, data, images, media,
    // fonts, and the common text, document and compressed formats.
    {"text/javascript", "js mjs", "text"},
    {"application/json", "json map", "text"},
    {"application/manifest+json", "webmanifest", "text"},
    {"application/wasm", "wasm", "bin"},
    {"image/svg+xml", "svg svgz", "image"},
    {"image/webp", "webp", "image"},
    {"image/avif", "avif", "image"},
    {"image/apng", "apng", "image"},
    {"image/vnd.microsoft.icon", "ico", "image"},
    {"video/mp4", "mp4 m4v", "video"},
    {"video/webm", "webm", "video"},
    {"video/ogg", "ogv", "video"},
    {"audio/ogg", "ogg oga opus", "audio"},
    {"audio/flac", "flac", "audio"},
    {"audio/mp4", "m4a", "audio"},
    {"audio/aac", "aac", "audio"},
    {"font/woff", "woff", "bin"},
    {"font/woff2", "woff2", "bin"},
    {"font/ttf", "ttf", "bin"},
    {"font/otf", "otf", "bin"},
    {"text/markdown", "md", "text"},
    {"text/csv", "csv", "text"},
    {"text/tab-separated-values", "tsv", "text"},
    {"application/xhtml+xml", "xhtml", "html"},
    {"application/epub+zip", "epub", "doc"},
    {"application/x-7z-compressed", "7z", "zip"},
    {"application/x-xz", "xz", "bin"},
    {"application/x-bzip2", "bz2", "bin"},
    {"application/zstd", "zst", "bin"},
    {"application/x-iso9660-image", "iso", "bin"},
};

constexpr uint32_t MIME_BUCKETS = 100;
constexpr size_t EXT_MAX = 11;  // longer extensions are never looked up: "webmanifest" is the longest known

struct mime_node {
    mime_node *next;
    const char *type;
    const char *icon;
    char ext[1];  // the extension and its terminator, allocated with the node
};

mime_node **mime_index;

const char *const DEFAULT_TYPE = "application/octet-stream";

// The index node for the extension of `name` (the text after a dot in its
// last segment, case-folded), or null.
const mime_node *find_extension(const char *name)
{
    const char *dot = std::strrchr(name, '.');
    if (!dot)
        return nullptr;
    const char *slash = std::strrchr(name, '/');
    if (slash && slash > dot)
        return nullptr;
    size_t n = std::strlen(dot + 1);
    if (n > EXT_MAX)
        return nullptr;
    if (n == 0 || !mime_index)
        return nullptr;
    char ext[EXT_MAX + 2];
    for (size_t i = 0; i <= n; ++i) {
        char c = dot[1 + i];
        ext[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    for (const mime_node *p = mime_index[string_hash(ext, MIME_BUCKETS)]; p; p = p->next) {
        if (std::strcmp(p->ext, ext) == 0)
            return p;
    }
    return nullptr;
}

bool names_a_page(const char *name)
{
    size_t n = std::strlen(name);
    return (n > 0 && name[n - 1] == '/') || std::strchr(name, '*');
}

}  // namespace

void mime_table_build()
{
    mime_table_free();
    mime_index = static_cast<mime_node **>(counted_calloc(&n_blocks, MIME_BUCKETS, sizeof(mime_node *)));
    if (!mime_index)
        panic("no memory for the MIME index");
    for (const mime_row &row : MIME_TABLE) {
        const char *p = row.extensions;
        while (*p) {
            while (*p == ' ')
                ++p;
            size_t n = std::strcspn(p, " ");
            if (n == 0)
                break;
            auto *node = static_cast<mime_node *>(counted_alloc(&n_blocks, sizeof(mime_node) + n));
            if (!node)
                return;  // the rest stays unknown
            std::memcpy(node->ext, p, n);
            node->ext[n] = 0;
            node->type = row.type;
            node->icon = row.icon;
            uint32_t b = string_hash(node->ext, MIME_BUCKETS);
            node->next = mime_index[b];
            mime_index[b] = node;
            p += n;
        }
    }
}

void mime_table_free()
{
    if (!mime_index)
        return;
    for (uint32_t b = 0; b < MIME_BUCKETS; ++b) {
        mime_node *p = mime_index[b];
        while (p) {
            mime_node *next = p->next;
            counted_free(&n_blocks, p);
            p = next;
        }
    }
    counted_free(&n_blocks, mime_index);
    mime_index = nullptr;
}

const char *mime_type_of(const char *name)
{
    if (names_a_page(name))
        return "text/html";
    const char *dot = std::strrchr(name, '.');
    const char *slash = std::strrchr(name, '/');
    if (!dot || (slash && slash > dot))
        return "text/plain";
    const mime_node *node = find_extension(name);
    return node ? node->type : DEFAULT_TYPE;
}

const char *icon_class_of(const char *name, entry_kind kind)
{
    if (kind == KIND_DIR || kind == KIND_MEMBER_DIR || names_a_page(name))
        return "folder";
    const mime_node *node = find_extension(name);
    return node && node->icon ? node->icon : "file";
}
