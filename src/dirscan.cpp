#include "dirscan.h"

#include "memory.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// Seconds since 1970 as a 32-bit time; -1 when they do not fit.
int32_t time32(int64_t seconds)
{
    return seconds < 0 || seconds > INT32_MAX ? -1 : static_cast<int32_t>(seconds);
}

uint32_t size32(uint64_t size)
{
    return size > 0xFFFFFFFFull ? SIZE_UNKNOWN : static_cast<uint32_t>(size);
}

// Kind, times and size of `name` relative to the directory `dirfd`, symbolic
// links followed.  Creation time is the birth time where the file system
// records one, else the change time.  Anything but a regular file or a
// directory (a broken link, a device, a pipe) is reported as nothing: opening
// a pipe would block the server and a device may never end.
entry_kind examine(int dirfd, const char *name, dir_entry *e)
{
    uint32_t mode;
    uint64_t size;
    int64_t created, modified, accessed;
    struct statx sx;
    if (statx(dirfd, name, AT_STATX_SYNC_AS_STAT, STATX_BASIC_STATS | STATX_BTIME, &sx) == 0) {
        mode = sx.stx_mode;
        size = sx.stx_size;
        created = (sx.stx_mask & STATX_BTIME) ? sx.stx_btime.tv_sec : sx.stx_ctime.tv_sec;
        modified = sx.stx_mtime.tv_sec;
        accessed = sx.stx_atime.tv_sec;
    } else {
        struct stat st;
        if (errno != ENOSYS || fstatat(dirfd, name, &st, 0) != 0)
            return KIND_NONE;
        mode = st.st_mode;
        size = static_cast<uint64_t>(st.st_size);
        created = st.st_ctim.tv_sec;
        modified = st.st_mtim.tv_sec;
        accessed = st.st_atim.tv_sec;
    }
    if (S_ISDIR(mode)) {
        e->kind = KIND_DIR;
        e->size = 0;
    } else if (S_ISREG(mode)) {
        e->kind = KIND_FILE;
        e->size = size32(size);
    } else {
        return KIND_NONE;
    }
    e->created = time32(created);
    e->modified = time32(modified);
    e->accessed = time32(accessed);
    return e->kind;
}

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
    return true;
}

}  // namespace

entry_kind stat_path(const char *path, dir_entry *entry)
{
    entry_kind kind = examine(AT_FDCWD, path, entry);
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

int scan_open(dir_scan *scan, const char *path)
{
    scan->state = -1;
    scan->search = nullptr;
    scan->found[0] = 0;

    size_t len = strlen(path);
    if (len > 0 && path[len - 1] == '/')
        --len;
    if (len > SCAN_PATH_MAX)
        return -1;
    char dir[SCAN_PATH_MAX + 1];
    memcpy(dir, path, len);
    dir[len] = 0;

    scan->search = opendir(len ? dir : "/");
    if (!scan->search)
        return 0;  // nothing to search: a scan that ends at once
    ++n_files;
    if (scan_read(scan))
        scan->state = 0;
    return 0;
}

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

bool is_archive_name(const char *name)
{
    const char *p = strstr(name, ".zip");
    if (!p)
        p = strstr(name, ".ZIP");
    return p && p[4] == 0;
}

dir_entry *dir_snapshot(const char *path)
{
    constexpr int max_entries = MAX_DIR_ENTRYNUM - 1;
    constexpr size_t records_bytes = MAX_DIR_ENTRYNUM * sizeof(dir_entry);
    constexpr size_t area_bytes = 32768;

    dir_scan scan;
    if (scan_open(&scan, path) < 0)
        return nullptr;
    auto *records = static_cast<dir_entry *>(counted_alloc(&n_blocks, records_bytes + area_bytes));
    if (!records) {
        scan_close(&scan);
        return nullptr;
    }
    char *area = reinterpret_cast<char *>(records + MAX_DIR_ENTRYNUM);
    uint32_t used = 0;
    int n = 0;
    dir_entry e;
    while (n < max_entries && scan_next(&scan, &e) == 0) {
        if (e.kind == KIND_FILE && is_archive_name(e.name))
            e.kind = KIND_ZIP;
        uint32_t len = static_cast<uint32_t>(strlen(e.name)) + 1;
        if (used + len > SNAPSHOT_NAME_BYTES)
            break;
        memcpy(area + used, e.name, len);
        records[n] = e;
        records[n].name = area + used;
        used += len;
        ++n;
    }
    scan_close(&scan);

    records[n] = dir_entry{};
    // Pack the names right behind the terminator and give back the rest.
    char *names = reinterpret_cast<char *>(records + n + 1);
    if (names != area)
        memmove(names, area, used);
    size_t total = (static_cast<size_t>(n) + 1) * sizeof(dir_entry) + used;
    auto *shrunk = static_cast<dir_entry *>(counted_realloc(&n_blocks, records, total));
    if (shrunk)
        records = shrunk;
    // The block may have moved: point the records at their names again.
    const char *p = reinterpret_cast<const char *>(records + n + 1);
    for (int i = 0; i < n; ++i) {
        records[i].name = p;
        p += strlen(p) + 1;
    }
    return records;
}

void dir_snapshot_free(dir_entry *snapshot)
{
    counted_free(&n_blocks, snapshot);
}
