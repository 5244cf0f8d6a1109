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

int open_beneath_walk(int dirfd, const char *rel, int flags)
{
    // The components still to walk, in `todo` from `at` on; a link's text
    // goes in front of what followed it.
    char todo[2 * PATH_MAX];
    size_t at = 0, end = strlen(rel);
    if (end >= sizeof todo) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(todo, rel, end + 1);
    if (todo[0] == '/') {
        errno = EXDEV;
        return -1;
    }
    int cur = fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
    int depth = 0, links = 0;
    while (cur >= 0) {
        while (todo[at] == '/')
            ++at;
        char name[NAME_MAX + 1];
        const char *slash = strchr(todo + at, '/');
        const size_t n = slash ? static_cast<size_t>(slash - (todo + at)) : strlen(todo + at);
        if (n > NAME_MAX) {
            close(cur);
            errno = ENAMETOOLONG;
            return -1;
        }
        memcpy(name, todo + at, n);
        name[n] = 0;
        at += n;
        while (todo[at] == '/')
            ++at;
        const bool last = todo[at] == 0;
        if (n == 0 || strcmp(name, ".") == 0) {
            if (!last)
                continue;
            strcpy(name, ".");
        }
        if (strcmp(name, "..") == 0 && depth == 0) {
            close(cur);
            errno = EXDEV;
            return -1;
        }
        struct stat st;
        if (fstatat(cur, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            const int e = errno;
            close(cur);
            errno = e;
            return -1;
        }
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            const ssize_t len = readlinkat(cur, name, target, sizeof target);
            const size_t rest = end - at;
            if (len <= 0 || target[0] == '/' || ++links > MAX_LINKS ||
                static_cast<size_t>(len) + 1 + rest >= sizeof todo) {
                close(cur);
                errno = len > 0 && target[0] == '/' ? EXDEV : ELOOP;
                return -1;
            }
            // The link's text, then what followed the link.
            memmove(todo + len + 1, todo + at, rest + 1);
            memcpy(todo, target, static_cast<size_t>(len));
            todo[len] = rest ? '/' : 0;
            at = 0;
            end = static_cast<size_t>(len) + (rest ? 1 + rest : 0);
            continue;
        }
        // O_NOFOLLOW: a link put here since the look above is refused, not followed.
        const int next = openat(cur, name, (last ? flags : O_PATH | O_DIRECTORY) | O_NOFOLLOW | O_CLOEXEC);
        const int e = errno;
        close(cur);
        errno = e;
        if (last)
            return next;
        cur = next;
        depth += strcmp(name, "..") == 0 ? -1 : 1;
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
