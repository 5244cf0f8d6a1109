#include "memory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int32_t n_files, n_blocks, n_confs, n_caches, n_tasks;

void *counted_alloc(int32_t *counter, size_t size)
{
    void *p = malloc(size ? size : 1);
    if (p)
        ++*counter;
    return p;
}

void *counted_calloc(int32_t *counter, size_t count, size_t size)
{
    void *p = calloc(count ? count : 1, size ? size : 1);
    if (p)
        ++*counter;
    return p;
}

void *counted_realloc(int32_t *, void *block, size_t size)
{
    return realloc(block, size ? size : 1);
}

void counted_free(int32_t *counter, void *block)
{
    if (!block)
        return;
    --*counter;
    free(block);
}

int counted_open(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0)
        ++n_files;
    return fd;
}

void counted_close(int fd)
{
    if (fd < 0)
        return;
    --n_files;
    close(fd);
}

int file_read_at(int fd, void *buf, uint32_t count, uint64_t offset)
{
    char *p = static_cast<char *>(buf);
    while (count > 0) {
        ssize_t n = pread(fd, p, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        p += n;
        count -= static_cast<uint32_t>(n);
        offset += static_cast<uint64_t>(n);
    }
    return 1;
}

int64_t file_length(int fd)
{
    struct stat st;
    if (fstat(fd, &st) != 0)
        return -1;
    return st.st_size;
}

text_block *text_block_new(uint32_t capacity)
{
    auto *tb = static_cast<text_block *>(counted_alloc(&n_blocks, sizeof(text_block) + capacity));
    if (!tb)
        return nullptr;
    tb->data = reinterpret_cast<char *>(tb + 1);
    tb->size = capacity;
    return tb;
}

text_block *text_block_fit(text_block *tb, uint32_t length)
{
    auto *p = static_cast<text_block *>(counted_realloc(&n_blocks, tb, sizeof(text_block) + length));
    if (!p)
        p = tb;  // shrinking in place always keeps the bytes
    p->data = reinterpret_cast<char *>(p + 1);
    p->size = length;
    return p;
}

void text_block_free(text_block *tb)
{
    counted_free(&n_blocks, tb);
}

uint32_t string_hash(const char *s, uint32_t n)
{
    uint32_t h = 0;
    for (; *s; ++s) {
        h = (h << 4) + static_cast<uint32_t>(static_cast<int32_t>(static_cast<signed char>(*s)));
        uint32_t g = h & 0xF0000000u;
        if (g) {
            h ^= g >> 24;
            h ^= g;
        }
    }
    return h % n;
}

const char *task_key(uint32_t v)
{
    static char key[9];
    static constexpr char digits[] = "0123456789ABCDEF";
    for (int i = 7; i >= 0; --i) {
        key[i] = digits[v & 15];
        v >>= 4;
    }
    key[8] = 0;
    return key;
}

int32_t filetime_to_time(uint32_t low, uint32_t high)
{
    const uint64_t f = (static_cast<uint64_t>(high) << 32) | low;
    const uint64_t k = 116444736004712784ull;
    if (f < k || f - k >= 10000000ull * (1ull << 32))
        return -1;
    const uint64_t q = (f - k) / 312500;
    return static_cast<int32_t>(static_cast<uint32_t>((q + 16) / 32));
}

int64_t dos_to_time(uint16_t date, uint16_t time)
{
    struct tm tm = {};
    tm.tm_year = 80 + ((date >> 9) & 0x7F);
    tm.tm_mon = ((date >> 5) & 0x0F) - 1;
    tm.tm_mday = date & 0x1F;
    tm.tm_hour = (time >> 11) & 0x1F;
    tm.tm_min = (time >> 5) & 0x3F;
    tm.tm_sec = (time & 0x1F) * 2;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&tm));
}

int32_t time_now()
{
    return static_cast<int32_t>(time(nullptr));
}

void panic(const char *message)
{
    fprintf(stderr, "Panic: %s\n", message);
    fflush(stderr);
    abort();
}

void assert_failed(const char *expr, const char *file, int line)
{
    fprintf(stderr, "Assertion failed: %s, file %s, line %d\n", expr, file, line);
    fflush(stderr);
    abort();
}
