// Path kinds, directory scans and directory snapshots: the server's view of
// the file system.
#pragma once

#include <cstdint>

// What a path, a listing row or a cached entry is. Disk scans give the first
// three; the others name what the server makes or finds inside archives.
enum entry_kind : int32_t {
    KIND_NONE = 0,
    KIND_FILE = 2,
    KIND_ZIP = 3,
    KIND_DIR = 4,
    KIND_PAGE = 5,        // a generated page
    KIND_STATIC = 6,      // bytes built into the program
    KIND_MEMBER = 7,      // a member of an archive
    KIND_MEMBER_DIR = 8,  // a directory inside an archive
    KIND_INFLATED = 9,    // a small deflated member's bytes, inflated once and kept
    KIND_FOLDER_ZIP = 10, // a folder laid out as a ZIP download
    KIND_GZIPPED = 11,    // a deflated member framed as gzip
};

constexpr uint32_t SCAN_PATH_MAX = 256;  // longest directory path a scan accepts

// One row of a directory listing: times in seconds since 1970, the size in bytes.
struct dir_entry {
    entry_kind kind;
    int64_t created;
    int64_t modified;
    int64_t accessed;
    uint64_t size;
    const char *name;
};

// What identifies one version of a file or directory: a replaced one has
// another inode, one changed in place another size or time.
struct file_id {
    uint64_t dev;
    uint64_t ino;
    uint64_t size;
    int64_t mtime_ns;
    int64_t ctime_ns;
    bool operator==(const file_id &) const = default;
};

// The kind of what `path` names (0 nothing); fills *entry for kinds 2 and 4.
// Only regular files and directories count; entry->name points into path.
entry_kind stat_path(const char *path, dir_entry *entry, file_id *id = nullptr);
// As stat_path, looked at through a descriptor opened as the published
// tree's rules allow (see tree_open). With `fd`, a regular file that can be
// read is left open there (counted as counted_open), else *fd is -1.
entry_kind open_path(const char *path, dir_entry *entry, file_id *id, int *fd = nullptr);
// The identity of an open file; false when it cannot be told.
bool file_id_of(int fd, file_id *id);

// One block (against n_blocks) holding every entry of the directory in scan
// order, ended by a record of kind 0, followed by their names; null when the
// path is longer than SCAN_PATH_MAX (a final "/" aside) or descriptors or
// memory ran out. A missing or unreadable directory gives no entries; "."
// and "..", and what the tree rules hide, are never listed. Regular files
// named as ZIP archives (".zip" first occurs at the very end, or, without any
// ".zip", ".ZIP" does) are of kind KIND_ZIP.
dir_entry *dir_snapshot(const char *path);
void dir_snapshot_free(dir_entry *snapshot);

// ---- the published tree (dirscan_tree.cpp) ----

// What of the tree is published. By default names beginning with "." are
// neither listed nor served, and paths are opened beneath the root's
// descriptor, so the kernel refuses every symbolic link that leads out of it
// (absolute links and ".." included). Until tree_open, everything is shown
// and every link followed.
struct tree_rules {
    bool show_hidden;
    bool follow_links;
};
// Takes the rules; unless links are followed, opens the root (an O_PATH
// descriptor kept until tree_close). False, errno set, when it cannot be opened.
bool tree_open(const char *root, tree_rules rules);
void tree_close();
tree_rules tree_rules_in_force();
// True when a component of `path` begins with ".".
bool is_hidden_path(const char *path);
// Opens `path` (a path under the root) with `flags` as the rules allow:
// beneath the root when confined, with openat2 and RESOLVE_BENEATH, or the
// walk below where the kernel lacks it. -1 with errno (EXDEV, ELOOP for an
// escape) when it cannot be opened.
int tree_open_path(const char *path, int flags);
int counted_open_in_tree(const char *path);  // read only, counted as counted_open
// The per-component walk: `rel` opened beneath `dirfd`, each component looked
// at with fstatat and links read with readlinkat; an absolute link or a ".."
// above `dirfd` is refused (EXDEV).
int open_beneath_walk(int dirfd, const char *rel, int flags);
// Whether `dir_path`/`name` resolves inside the tree (always, while links are followed).
bool tree_reaches(const char *dir_path, const char *name);
