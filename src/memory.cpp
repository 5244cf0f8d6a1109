// Counted memory and files, text blocks, the text and number helpers, and
// the fatal exits.
#include "memory.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int32_t n_files, n_blocks, n_confs, n_caches, n_tasks;
uint64_t bytes_sent, bytes_recv, conn_total;
uint64_t conn_refused;

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

void *counted_realloc(int32_t *counter, void *block, size_t size)
{
    if (!block)
        return counted_alloc(counter, size);  // a new block, counted as one
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

int pread_at(int fd, void *buf, uint32_t count, uint64_t offset)
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

read_at_fn file_read_at = pread_at;

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

uint64_t hash64(const void *bytes, size_t n, uint64_t seed)
{
    constexpr uint64_t prime = 1099511628211ull;
    const auto *p = static_cast<const unsigned char *>(bytes);
    uint64_t h = seed;
    for (; n >= 8; n -= 8, p += 8) {
        uint64_t word;
        memcpy(&word, p, 8);
        h = (h ^ word) * prime;
        h ^= h >> 29;  // spreads the high bits of each product into the next word's
    }
    for (; n > 0; --n, ++p)
        h = (h ^ *p) * prime;
    return h ? h : 1;
}

const char HEX_DIGITS[17] = "0123456789ABCDEF";

// Space, tab, LF, VT, FF, CR; bytes of 128 and above never count.
static bool is_blank(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

char *fold_lower(char *s)
{
    for (char *p = s; *p; ++p)
        if (*p >= 'A' && *p <= 'Z')
            *p = static_cast<char>(*p + ('a' - 'A'));
    return s;
}

char *fold_upper(char *s)
{
    for (char *p = s; *p; ++p)
        if (*p >= 'a' && *p <= 'z')
            *p = static_cast<char>(*p - ('a' - 'A'));
    return s;
}

char *trim_blanks(char *s)
{
    auto *p = reinterpret_cast<unsigned char *>(s);
    while (is_blank(*p))
        ++p;
    size_t n = strlen(reinterpret_cast<char *>(p));
    while (n > 0 && is_blank(p[n - 1]))
        --n;
    p[n] = 0;
    return reinterpret_cast<char *>(p);
}

int64_t parse_decimal(const char *s, const char **end, decimal_form form, int64_t limit)
{
    const char *p = s;
    bool negative = false;
    if (form == DECIMAL_SIGNED) {
        while (is_blank(static_cast<unsigned char>(*p)))
            ++p;
        if (*p == '+' || *p == '-')
            negative = *p++ == '-';
    }
    if (*p < '0' || *p > '9') {
        if (end)
            *end = s;
        return 0;
    }
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; ++p)
        v = v > (limit - (*p - '0')) / 10 ? limit : v * 10 + (*p - '0');
    if (end)
        *end = p;
    return negative ? -v : v;
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

int64_t time_now()
{
    return static_cast<int64_t>(time(nullptr));
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
