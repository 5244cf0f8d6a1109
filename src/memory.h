// Counted memory blocks and files, text blocks, the string hash, the small
// text and number helpers, time conversions and the fatal exits shared by
// every module.
#pragma once

#include <cstddef>
#include <cstdint>

// Resource counters shown on the statistics panel.
extern int32_t n_files;   // files open through counted_open
extern int32_t n_blocks;  // general memory blocks
extern int32_t n_confs;   // configuration settings in force
extern int32_t n_caches;  // file_entry records
extern int32_t n_tasks;   // connection task records

// Traffic counters shown beside them.
extern uint64_t bytes_sent;
extern uint64_t bytes_recv;
extern uint64_t conn_total;
extern uint64_t conn_refused;  // connections the address list closed at accept

// Every block is released against the counter it was obtained from.
void *counted_alloc(int32_t *counter, size_t size);
void *counted_calloc(int32_t *counter, size_t count, size_t size);
void *counted_realloc(int32_t *counter, void *block, size_t size);
void counted_free(int32_t *counter, void *block);

// Counted files, read only, addressed by explicit offsets.
int counted_open(const char *path);  // descriptor, or -1
void counted_close(int fd);
// Reads `count` bytes at `offset`: 1, or -1 on a short or failed read. Every
// positioned read goes through this pointer, so that a test can put a checking
// reader in front of pread_at.
using read_at_fn = int (*)(int fd, void *buf, uint32_t count, uint64_t offset);
extern read_at_fn file_read_at;
int pread_at(int fd, void *buf, uint32_t count, uint64_t offset);
int64_t file_length(int fd);  // -1 on failure

// A generated text: the header, then `size` bytes (not NUL-terminated).
struct text_block {
    char *data;
    uint32_t size;
};
text_block *text_block_new(uint32_t capacity);
text_block *text_block_fit(text_block *tb, uint32_t length);  // shrinks; returns the block's new address
void text_block_free(text_block *tb);

uint32_t string_hash(const char *s, uint32_t n);
// A 64-bit hash of `n` bytes, continuing from `seed` (FNV-1a over 8-byte
// words): validators of generated pages and of identities. Never 0.
constexpr uint64_t HASH64_SEED = 14695981039346656037ull;
uint64_t hash64(const void *bytes, size_t n, uint64_t seed = HASH64_SEED);

// ---- text helpers of the parsers ----
extern const char HEX_DIGITS[17];  // "0123456789ABCDEF"
char *fold_lower(char *s);         // ASCII letters, in place; returns s
char *fold_upper(char *s);         // ASCII letters, in place; returns s
char *trim_blanks(char *s);        // space, tab, LF, VT, FF and CR, in place; returns the first other byte

// The decimal number at `s`; with DECIMAL_SIGNED, leading blanks and one
// sign may come first. The magnitude saturates at `limit`. `*end` is the
// byte that stopped it, or `s` itself when there are no digits (value 0).
enum decimal_form : uint32_t {
    DECIMAL_DIGITS = 0,
    DECIMAL_SIGNED = 1,
};
int64_t parse_decimal(const char *s, const char **end, decimal_form form, int64_t limit);

int64_t dos_to_time(uint16_t date, uint16_t time);
int64_t time_now();

[[noreturn]] void panic(const char *message);
[[noreturn]] void assert_failed(const char *expr, const char *file, int line);

#define ASSERT(e) ((e) ? (void)0 : assert_failed(#e, __FILE_NAME__, __LINE__))
