// The published tree: which names are shown, and opening paths beneath the
// root's descriptor so that no symbolic link leads out of it.
#include "dirscan.h"

#include "memory.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

tree_rules rules = {true, true};
int root_fd = -1;                 // O_PATH descriptor of the root while confined
char root_path[SCAN_PATH_MAX + 1];  // the root as mapped paths begin, without a final "/"
size_t root_len;
bool have_openat2 = true;  // cleared when the kernel answers ENOSYS

constexpr int MAX_LINKS = 40;  // as the kernel's own limit on links in one resolution

int plain_openat2(int dirfd, const char *rel, int flags)
{
    open_how how{};
    how.flags = static_cast<uint64_t>(flags);
    how.resolve = RESOLVE_BENEATH;
    return static_cast<int>(syscall(SYS_openat2, dirfd, rel, &how, sizeof how));
}

// `rel` relative to the root, or null when `path` lies outside it.
const char *relative_to_root(const char *path)
{
    if (strncmp(path, root_path, root_len) != 0 || (path[root_len] != '/' && path[root_len] != 0))
        return nullptr;
    const char *rel = path + root_len;
    while (*rel == '/')
        ++rel;
    return *rel ? rel : ".";
}

}  // namespace

bool tree_open(const char *root, tree_rules r)
{
    tree_close();
    rules = r;
    if (r.follow_links)
        return true;
    size_t len = strlen(root);
    while (len > 1 && root[len - 1] == '/')
        --len;
    if (len == 1 && root[0] == '/')
        len = 0;  // every mapped path begins with the root's "/"
    if (len > SCAN_PATH_MAX) {
        errno = ENAMETOOLONG;
        return false;
    }
    memcpy(root_path, root, len);
    root_path[len] = 0;
    root_len = len;
    root_fd = open(len ? root_path : "/", O_PATH | O_DIRECTORY | O_CLOEXEC);
    return root_fd >= 0;
}

void tree_close()
{
    if (root_fd >= 0)
        close(root_fd);
    root_fd = -1;
    rules = tree_rules{true, true};
}

tree_rules tree_rules_in_force()
{
    return rules;
}

bool is_hidden_path(const char *path)
{
    for (const char *p = path; (p = strchr(p, '.')); ++p)
        if (p == path || p[-1] == '/')
            return true;
    return false;
}

namespace {

// The components still to walk, in `todo` from `at` on; a link's text goes
// in front of what followed it.
struct beneath_walk {
    char todo[2 * PATH_MAX];
    size_t at, end;
    int cur;    // the directory reached so far
    int depth;  // components below the starting directory
    int links;  // links followed
};

// Ends the walk: closes its directory and gives -1 with errno `e`.
int walk_fail(beneath_walk &w, int e)
{
    close(w.cur);
    errno = e;
    return -1;
}

// Takes the next component into `name` (`n` bytes); false when it is too
// long. `last` tells whether nothing follows it.
bool take_component(beneath_walk &w, char (&name)[NAME_MAX + 1], size_t &n, bool &last)
{
    while (w.todo[w.at] == '/')
        ++w.at;
    const char *slash = strchr(w.todo + w.at, '/');
    n = slash ? static_cast<size_t>(slash - (w.todo + w.at)) : strlen(w.todo + w.at);
    if (n > NAME_MAX)
        return false;
    memcpy(name, w.todo + w.at, n);
    name[n] = 0;
    w.at += n;
    while (w.todo[w.at] == '/')
        ++w.at;
    last = w.todo[w.at] == 0;
    return true;
}

// Puts the text of the link `name` in front of what followed it. 0, or the
// errno that refuses the link: EXDEV for an absolute one, ELOOP for one that
// cannot be read, is one too many or leaves too long a path.
int follow_link(beneath_walk &w, const char *name)
{
    char target[PATH_MAX];
    const ssize_t len = readlinkat(w.cur, name, target, sizeof target);
    const size_t rest = w.end - w.at;
    if (len <= 0 || target[0] == '/' || ++w.links > MAX_LINKS || static_cast<size_t>(len) + 1 + rest >= sizeof w.todo)
        return len > 0 && target[0] == '/' ? EXDEV : ELOOP;
    memmove(w.todo + len + 1, w.todo + w.at, rest + 1);
    memcpy(w.todo, target, static_cast<size_t>(len));
    w.todo[len] = rest ? '/' : 0;
    w.at = 0;
    w.end = static_cast<size_t>(len) + (rest ? 1 + rest : 0);
    return 0;
}

}  // namespace

int open_beneath_walk(int dirfd, const char *rel, int flags)
{
    beneath_walk w;
    w.at = 0;
    w.end = strlen(rel);
    if (w.end >= sizeof w.todo) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(w.todo, rel, w.end + 1);
    if (w.todo[0] == '/') {
        errno = EXDEV;
        return -1;
    }
    w.cur = fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    w.depth = w.links = 0;
    while (w.cur >= 0) {
        char name[NAME_MAX + 1];
        size_t n;
        bool last;
        if (!take_component(w, name, n, last))
            return walk_fail(w, ENAMETOOLONG);
        if (n == 0 || strcmp(name, ".") == 0) {
            if (!last)
                continue;
            strcpy(name, ".");
        }
        if (strcmp(name, "..") == 0 && w.depth == 0)
            return walk_fail(w, EXDEV);
        struct stat st;
        if (fstatat(w.cur, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
            return walk_fail(w, errno);
        if (S_ISLNK(st.st_mode)) {
            if (const int e = follow_link(w, name))
                return walk_fail(w, e);
            continue;
        }
        // O_NOFOLLOW: a link put here since the look above is refused, not followed.
        const int next = openat(w.cur, name, (last ? flags : O_PATH | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC);
        const int e = errno;
        close(w.cur);
        errno = e;
        if (last)
            return next;
        w.cur = next;
        w.depth += strcmp(name, "..") == 0 ? -1 : 1;
    }
    return -1;
}

int tree_open_path(const char *path, int flags)
{
    // openat2 takes with O_PATH only the flags that apply to it.
    flags |= O_CLOEXEC | ((flags & O_PATH) ? 0 : O_NOCTTY);
    if (root_fd < 0)
        return open(path, flags);
    const char *rel = relative_to_root(path);
    if (!rel) {
        errno = EXDEV;
        return -1;
    }
    if (have_openat2) {
        const int fd = plain_openat2(root_fd, rel, flags);
        if (fd >= 0 || errno != ENOSYS)
            return fd;
        have_openat2 = false;
    }
    return open_beneath_walk(root_fd, rel, flags);
}

int counted_open_in_tree(const char *path)
{
    const int fd = tree_open_path(path, O_RDONLY);
    if (fd >= 0)
        ++n_files;
    return fd;
}

bool tree_reaches(const char *dir_path, const char *name)
{
    if (root_fd < 0)
        return true;
    char path[2 * SCAN_PATH_MAX + 2];
    if (snprintf(path, sizeof path, "%s/%s", dir_path, name) >= static_cast<int>(sizeof path))
        return false;
    const int fd = tree_open_path(path, O_PATH);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}
