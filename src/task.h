// Task buffers and transfer, the request reader, and the response header.
#pragma once

#include <cstddef>
#include <cstdint>

struct task;
struct server_ctx;

// Reads the lines that have arrived in the input buffer, in place.
// Returns 0 when the request is incomplete, 2 when it is complete, -1 when
// it is bad.
int read_request(task *tsk);

// Parses a Range header value ("bytes=...") into `nranges` and `ranges`;
// a value of another unit leaves them unchanged.
void parse_range(task *tsk, const char *value);

// Copies body bytes of `fe` below offset `limit` into the output buffer.
// Returns -1 on failure, 0 when the buffer filled first, 2 at the limit.
int task_fill(task *tsk, uint32_t limit);
// Copies the next piece of the current range (or the whole entry).
// Returns -1 on failure, 0 when more is to come, 2 when the body is complete.
int task_fill_range(task *tsk);
// Moves `offset` up to the start of the range being sent and returns the
// offset where the body to copy ends (never below `offset`).
uint32_t task_body_limit(task *tsk);

// Resolves the range against the entry's size and writes the 200 or 206
// header into the empty output buffer. Returns 1, or -1 with `*status`
// set to the 416 status index (nothing written).
int reply_header(task *tsk, server_ctx *ctx, int32_t *status);
// Writes the header lines; returns the header length (also in `out_len`).
uint32_t compose_header(task *tsk, server_ctx *ctx);
// Writes "Content-Range: bytes F-L/S" (no line end) at `out`, which has room
// for `capacity` bytes; returns the byte count of the range.
uint32_t content_range(const task *tsk, char *out, size_t capacity);

// RFC 1123 date text of a time in seconds since 1970, in a static buffer.
const char *http_date(uint32_t t);
