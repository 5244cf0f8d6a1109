// Counted memory blocks and files, text blocks, the string hash, task keys,
// time conversions and the fatal exits shared by every module.
#pragma once

#include <cstddef>
#include <cstdint>

// Resource counters shown on the statistics panel.
extern int32_t n_files;   // files open through counted_open
extern int32_t n_blocks;  // general memory blocks
extern int32_t n_confs;   // configuration entries
extern int32_t n_caches;  // file_entry records
extern int32_t n_tasks;   // connection task records

// Every block is released against the counter it was obtained from.
void *counted_alloc(int32_t *counter, size_t size);
void *counted_calloc(int32_t *counter, size_t count, size_t size);
void *counted_realloc(int32_t *counter, void *block, size_t size);
void counted_free(int32_t *counter, void *block);

// Counted files, read only, addressed by explicit offsets.
int counted_open(const char *path);          // descriptor, or -1
void counted_close(int fd);
int file_read_at(int fd, void *buf, uint32_t count, uint64_t offset);  // 1, or -1 on a short or failed read
int64_t file_length(int fd);                 // -1 on failure

// A generated text: the header, then `size` bytes (not NUL-terminated).
struct text_block {
    char *data;
    uint32_t size;
};
text_block *text_block_new(uint32_t capacity);
text_block *text_block_fit(text_block *tb, uint32_t length);  // shrinks; returns the block's new address
void text_block_free(text_block *tb);

uint32_t string_hash(const char *s, uint32_t n);
const char *task_key(uint32_t v);            // 8 upper-case hex digits, static buffer

int32_t filetime_to_time(uint32_t low, uint32_t high);
int64_t dos_to_time(uint16_t date, uint16_t time);
int32_t time_now();

[[noreturn]] void panic(const char *message);
[[noreturn]] void assert_failed(const char *expr, const char *file, int line);

#define ASSERT(e) ((e) ? (void)0 : assert_failed(#e, __FILE_NAME__, __LINE__))
