#include "file.h"

#include "httpd.h"
#include "memory.h"
#include "zip.h"

#include <cstring>

namespace {

// Releases what an entry of type `ft` owns through `handle`.
void release_handle(int32_t ft, fe_handle handle)
{
    switch (ft) {
    case FT_FILE:
        counted_close(handle.fd);
        break;
    case FT_ZIP:
        zip_close(handle.zip);
        break;
    case FT_DIR:
        counted_free(&n_blocks, handle.snapshot);
        break;
    case FT_PAGE:
        text_block_free(handle.page);
        break;
    case FT_MEMBER:
        zip_member_close(handle.stream);
        break;
    default:
        break;  // FT_STATIC bytes belong to the program
    }
}

// Body length by type, or -1 when it does not fit in 32 bits.
int64_t handle_size(int32_t ft, fe_handle handle)
{
    switch (ft) {
    case FT_FILE:
        return file_length(handle.fd);
    case FT_ZIP:
        return handle.zip ? static_cast<int64_t>(handle.zip->length) : -1;
    case FT_PAGE:
        return handle.page ? handle.page->size : 0;
    default:
        return 0;  // FT_DIR is not readable; FT_MEMBER is sized by its creator
    }
}

file_entry **bucket_of(server_ctx *ctx, const char *name)
{
    return &ctx->fe_hash[string_hash(name, static_cast<uint32_t>(ctx->fe_hash_size))];
}

int read_member(file_entry *fe, void *buffer, uint32_t count, uint32_t offset)
{
    ASSERT(fe->base);
    zip_stream *zs = fe->handle.stream;
    if (!fe->base->handle.zip || !zs)
        return -1;
    if (count == 0)
        return 1;
    if (offset != zs->out_pos && (zip_member_seek(zs, offset) < 0 || zs->out_pos != offset))
        return -1;
    char *p = static_cast<char *>(buffer);
    while (count > 0) {
        const int n = zip_member_read(zs, p, count);
        if (n <= 0)
            return -1;
        p += n;
        count -= static_cast<uint32_t>(n);
    }
    return 1;
}

}  // namespace

file_entry *fe_new(int32_t ft, const char *name, fe_handle handle, int32_t mtime)
{
    ASSERT(ft != FT_STATIC);
    const int64_t size = handle_size(ft, handle);
    const size_t name_length = strlen(name);
    auto *fe = size >= 0 && size <= static_cast<int64_t>(UINT32_MAX)
                   ? static_cast<file_entry *>(counted_calloc(&n_caches, 1, sizeof(file_entry) + name_length + 1))
                   : nullptr;
    if (!fe) {
        release_handle(ft, handle);
        return nullptr;
    }
    char *copy = reinterpret_cast<char *>(fe + 1);
    memcpy(copy, name, name_length + 1);
    fe->refcount = 0;
    fe->ft = ft;
    fe->name = copy;
    fe->handle = handle;
    fe->mtime = mtime;
    fe->size = static_cast<uint32_t>(size);
    fe->base = nullptr;
    return fe;
}

file_entry *fe_new_child(int32_t ft, const char *name, fe_handle handle, int32_t mtime, file_entry *base)
{
    file_entry *fe = fe_new(ft, name, handle, mtime);
    if (fe && base) {
        fe->base = base;
        fe_ref(base);
    }
    return fe;
}

file_entry *fe_new_member(file_entry *archive, zip_stream *stream, const char *name)
{
    const zip_node *node = stream->node;
    file_entry *fe = fe_new_child(FT_MEMBER, name, fe_handle{.stream = stream}, node->mtime, archive);
    if (fe)
        fe->size = node->usize;
    return fe;
}

file_entry *fe_add_static(server_ctx *ctx, const char *name, const unsigned char *bytes, uint32_t length)
{
    auto *fe = static_cast<file_entry *>(counted_calloc(&n_caches, 1, sizeof(file_entry)));
    if (!fe)
        return nullptr;
    fe->refcount = 1;
    fe->ft = FT_STATIC;
    fe->name = name;
    fe->handle.bytes = bytes;
    fe->mtime = 0;
    fe->size = length;
    fe_insert(ctx, fe);
    return fe;
}

file_entry *fe_add_page(server_ctx *ctx, const char *name, text_block *page)
{
    if (!page)
        return nullptr;
    file_entry *fe = fe_new(FT_PAGE, name, fe_handle{.page = page}, 0);
    if (fe)
        fe_insert(ctx, fe);
    return fe;
}

void fe_ref(file_entry *fe)
{
    fe->refcount++;
}

void fe_unref(file_entry *fe)
{
    fe->refcount--;
}

void fe_destroy(file_entry *fe)
{
    if (fe->base)
        fe_unref(fe->base);
    release_handle(fe->ft, fe->handle);
    counted_free(&n_caches, fe);
}

int fe_read(file_entry *fe, void *buffer, uint32_t count, uint32_t offset)
{
    const uint64_t size = count;
    ASSERT(size+offset <= fe->size);
    switch (fe->ft) {
    case FT_FILE:
        return file_read_at(fe->handle.fd, buffer, count, offset);
    case FT_ZIP:
        return fe->handle.zip ? file_read_at(fe->handle.zip->fd, buffer, count, offset) : -1;
    case FT_PAGE:
        memcpy(buffer, fe->handle.page->data + offset, count);
        return 1;
    case FT_STATIC:
        memcpy(buffer, fe->handle.bytes + offset, count);
        return 1;
    case FT_MEMBER:
        return read_member(fe, buffer, count, offset);
    default:
        return -1;
    }
}

file_entry *fe_lookup(server_ctx *ctx, const char *name)
{
    for (file_entry *fe = *bucket_of(ctx, name); fe; fe = fe->hash_next)
        if (strcmp(fe->name, name) == 0)
            return fe;
    return nullptr;
}

void fe_insert(server_ctx *ctx, file_entry *fe)
{
    file_entry **head = bucket_of(ctx, fe->name);
    fe->hash_next = *head;
    *head = fe;
    ctx->nentries++;
}

void fe_unlink(server_ctx *ctx, file_entry *fe)
{
    for (file_entry **link = bucket_of(ctx, fe->name); *link; link = &(*link)->hash_next) {
        if (*link == fe) {
            *link = fe->hash_next;
            fe->hash_next = nullptr;
            ctx->nentries--;
            return;
        }
    }
}

// ---- path resolution ---------------------------------------------------------

file_entry *resolve_path(server_ctx *, const char *, const char *, const char *, int *redirect)
{
    *redirect = 0;
    return nullptr;  // disk and archive resolution not joined yet: every path is 404
}

void make_room_for_page(server_ctx *ctx)
{
    int32_t pages = 0;
    for (int i = 0; i < ctx->fe_hash_size; ++i)
        for (file_entry *fe = ctx->fe_hash[i]; fe; fe = fe->hash_next)
            pages += fe->ft == FT_PAGE;
    if (pages < MAX_CACHED_PAGES)
        return;
    for (int i = 0; i < ctx->fe_hash_size; ++i) {
        file_entry **link = &ctx->fe_hash[i];
        while (*link) {
            file_entry *fe = *link;
            if (fe->ft == FT_PAGE && fe->refcount == 0) {
                *link = fe->hash_next;
                --ctx->nentries;
                fe_destroy(fe);
            } else {
                link = &fe->hash_next;
            }
        }
    }
}
