// Path kinds, directory scans and directory snapshots, over statx and readdir.
#include "dirscan.h"

#include "memory.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Kind, times and size of `name` relative to the directory `dirfd`, symbolic
// links followed.  Creation time is the birth time where the file system
// records one, else the change time.  Anything but a regular file or a
// directory (a broken link, a device, a pipe) is reported as nothing: opening
// a pipe would block the server and a device may never end.
entry_kind examine(int dirfd, const char *name, dir_entry *e, file_id *id = nullptr, int flags = 0)
{
    uint32_t mode;
    uint64_t size;
    int64_t created, modified, accessed;
    struct statx sx;
    if (statx(dirfd, name, AT_STATX_SYNC_AS_STAT | flags, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
        mode = sx.stx_mode;
        size = sx.stx_size;
        if (id)
            *id = file_id{(uint64_t{sx.stx_dev_major} << 32) | sx.stx_dev_minor, sx.stx_ino, sx.stx_size,
                          sx.stx_mtime.tv_sec * 1000000000ll + sx.stx_mtime.tv_nsec,
                          sx.stx_ctime.tv_sec * 1000000000ll + sx.stx_ctime.tv_nsec};
        created = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_ctime.tv_sec;
        modified = sx.stx_mtime.tv_sec;
        accessed = sx.stx_atime.tv_sec;
    } else {
        struct stat st;
        if (errno != ENOSYS || fstatat(dirfd, name, &st, flags) != 0)
            return KIND_NONE;
        mode = st.st_mode;
        size = static_cast<uint64_t>(st.st_size);
        if (id)
            *id = file_id{(uint64_t{major(st.st_dev)} << 32) | minor(st.st_dev), st.st_ino, size,
                          st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec,
                          st.st_ctim.tv_sec * 1000000000ll + st.st_ctim.tv_nsec};
        created = st.st_ctim.tv_sec;
        modified = st.st_mtim.tv_sec;
        accessed = st.st_atim.tv_sec;
    }
    if (S_ISDIR(mode)) {
        e->kind = KIND_DIR;
        e->size = 0;
    } else if (S_ISREG(mode)) {
        e->kind = KIND_FILE;
        e->size = size;
    } else {
        return KIND_NONE;
    }
    e->created = created;
    e->modified = modified;
    e->accessed = accessed;
    return e->kind;
}

// Doubles the array at *block of *count items of `item` bytes; false, with
// the array kept, when memory is exhausted.
bool grow(void **block, size_t *count, size_t item)
{
    void *bigger = counted_realloc(&n_blocks, *block, *count * 2 * item);
    if (!bigger)
        return false;
    *block = bigger;
    *count *= 2;
    return true;
}

// One directory iteration.  While `search` is open it counts as one file.
struct dir_scan {
    int32_t state;  // -1 ended, 0 first entry pending, else entries examined
    DIR *search;
    char found[256];  // name of the current entry
    unsigned char found_type;    // its d_type
    char dir[SCAN_PATH_MAX + 1];  // the directory scanned
};

bool is_dot_or_dotdot(const char *name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

// Reads the next name of the open search into `found`; false at the end.
bool scan_read(dir_scan *scan)
{
    struct dirent *d = readdir(scan->search);
    if (!d)
        return false;
    size_t n = strnlen(d->d_name, sizeof scan->found - 1);
    memcpy(scan->found, d->d_name, n);
    scan->found[n] = 0;
    scan->found_type = d->d_type;
    return true;
}


// 0, or -1 when the path is too long (errno ENAMETOOLONG) or descriptors or
// memory ran out (errno tells).  An unreadable directory gives a scan that
// ends at once.
int scan_open(dir_scan *scan, const char *path)
{
    scan->state = -1;
    scan->search = nullptr;
    scan->found[0] = 0;

    size_t len = strlen(path);
    if (len > 0 && path[len - 1] == '/')
        --len;
    if (len > SCAN_PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    char dir[SCAN_PATH_MAX + 1];
    memcpy(dir, path, len);
    dir[len] = 0;

    memcpy(scan->dir, dir, len + 1);
    const int fd = tree_open_path(len ? dir : "/", O_RDONLY | O_DIRECTORY);
    scan->search = fd >= 0 ? fdopendir(fd) : nullptr;
    if (!scan->search) {  // a scan that ends at once, unless descriptors or memory ran out
        const int e = errno;
        if (fd >= 0)
            close(fd);
        return e == EMFILE || e == ENFILE || e == ENOMEM ? -1 : 0;
    }
    ++n_files;
    if (scan_read(scan))
        scan->state = 0;
    return 0;
}

// 0 with *entry filled (name valid until the next call), or -1 at the end.
// "." and ".." are never delivered.
int scan_next(dir_scan *scan, dir_entry *entry)
{
    while (scan->state != -1) {
        if (scan->state > 0 && !scan_read(scan)) {
            scan->state = -1;
            break;
        }
        ++scan->state;
        if (is_dot_or_dotdot(scan->found))
            continue;
        // What could not be served is not listed: hidden names, and links
        // that lead out of the tree.
        const tree_rules rules = tree_rules_in_force();
        if (!rules.show_hidden && scan->found[0] == '.')
            continue;
        if (!rules.follow_links && (scan->found_type == DT_LNK || scan->found_type == DT_UNKNOWN) &&
            !tree_reaches(scan->dir, scan->found))
            continue;
        // An entry removed since it was read, or one that is no regular file
        // or directory, is passed over.
        if (examine(dirfd(scan->search), scan->found, entry) == KIND_NONE)
            continue;
        entry->name = scan->found;
        return 0;
    }
    return -1;
}

void scan_close(dir_scan *scan)
{
    if (scan->search) {
        closedir(scan->search);
        --n_files;
        scan->search = nullptr;
    }
    scan->state = -1;
}

// True when a file of this name is listed as a ZIP archive: ".zip" first
// occurs at its very end, or, without any ".zip", ".ZIP" does.
bool is_archive_name(const char *name)
{
    const char *p = strstr(name, ".zip");
    if (!p)
        p = strstr(name, ".ZIP");
    return p && p[4] == 0;
}

}  // namespace

bool file_id_of(int fd, file_id *id)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return false;
    // The device as statx gives it, so that both readings compare.
    const uint64_t dev = (uint64_t{major(st.st_dev)} << 32) | minor(st.st_dev);
    *id = file_id{dev, st.st_ino, static_cast<uint64_t>(st.st_size),
                  st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec,
                  st.st_ctim.tv_sec * 1000000000ll + st.st_ctim.tv_nsec};
    return true;
}

entry_kind stat_path(const char *path, dir_entry *entry, file_id *id)
{
    entry_kind kind;
    errno = 0;
    if (tree_rules_in_force().follow_links) {
        kind = examine(AT_FDCWD, path, entry, id);
    } else {
        // Looked at where the path is opened, beneath the root.
        const int fd = tree_open_path(path, O_PATH);
        if (fd < 0)
            return KIND_NONE;
        kind = examine(fd, "", entry, id, AT_EMPTY_PATH);
        const int e = errno;
        close(fd);
        errno = e;
    }
    if (kind == KIND_NONE)
        return KIND_NONE;
    if (kind == KIND_DIR) {
        // A directory's own times are not reported.
        entry->created = entry->modified = entry->accessed = 0;
    }
    const char *slash = strrchr(path, '/');
    entry->name = slash ? slash + 1 : path;
    return kind;
}

entry_kind open_path(const char *path, dir_entry *entry, file_id *id, int *fd)
{
    if (fd)
        *fd = -1;
    errno = 0;
    // Non-blocking: a pipe put in the tree must not hold the server up.
    int d = fd ? tree_open_path(path, O_RDONLY | O_NONBLOCK) : -1;
    const bool readable = d >= 0;
    if (!readable && (!fd || errno == EACCES || errno == EPERM))
        d = tree_open_path(path, O_PATH);  // the kind of what cannot be read
    if (d < 0)
        return KIND_NONE;
    entry_kind kind = examine(d, "", entry, id, AT_EMPTY_PATH);
    const int e = errno;
    if (kind == KIND_FILE && readable) {
        *fd = d;
        ++n_files;
    } else {
        close(d);
    }
    if (kind == KIND_DIR)
        entry->created = entry->modified = entry->accessed = 0;
    if (kind != KIND_NONE) {
        const char *slash = strrchr(path, '/');
        entry->name = slash ? slash + 1 : path;
    }
    errno = kind == KIND_FILE && fd && *fd < 0 ? EACCES : e;
    return kind;
}

dir_entry *dir_snapshot(const char *path)
{
    dir_scan scan;
    if (scan_open(&scan, path) < 0)
        return nullptr;
    // Records and names grow apart while the scan runs, the names one after
    // another in record order; then they become one block.
    size_t slots = 64, n = 0, area_bytes = 4096, used = 0;
    auto *records = static_cast<dir_entry *>(counted_alloc(&n_blocks, slots * sizeof(dir_entry)));
    auto *area = static_cast<char *>(counted_alloc(&n_blocks, area_bytes));
    bool ok = records && area;
    dir_entry e;
    while (ok && scan_next(&scan, &e) == 0) {
        if (e.kind == KIND_FILE && is_archive_name(e.name))
            e.kind = KIND_ZIP;
        const size_t len = strlen(e.name) + 1;
        if (n == slots)
            ok = grow(reinterpret_cast<void **>(&records), &slots, sizeof(dir_entry));
        while (ok && used + len > area_bytes)
            ok = grow(reinterpret_cast<void **>(&area), &area_bytes, 1);
        if (!ok)
            break;
        memcpy(area + used, e.name, len);
        records[n++] = e;
        used += len;
    }
    scan_close(&scan);

    dir_entry *block = nullptr;
    if (ok)
        block = static_cast<dir_entry *>(counted_realloc(&n_blocks, records, (n + 1) * sizeof(dir_entry) + used));
    if (!block) {
        counted_free(&n_blocks, records);
        counted_free(&n_blocks, area);
        return nullptr;
    }
    block[n] = dir_entry{};
    char *names = reinterpret_cast<char *>(block + n + 1);
    memcpy(names, area, used);
    counted_free(&n_blocks, area);
    for (size_t i = 0; i < n; ++i) {
        block[i].name = names;
        names += strlen(names) + 1;
    }
    return block;
}

void dir_snapshot_free(dir_entry *snapshot)
{
    counted_free(&n_blocks, snapshot);
}
