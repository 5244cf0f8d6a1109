// The request reader fed arbitrary bytes in arbitrary pieces, as receives
// deliver them, with pipelined requests moved to the front between requests.
//
// Checked: the reader never looks at a byte of the input buffer that has not
// arrived (the rest of the buffer is poisoned), its results and the fields it
// sets stay in range, and wherever line ends cannot be read two ways (no
// carriage return at all, or one before every line feed) the pieces do not
// change what is read: the same requests come out as from one single piece.
#include "htproc.h"
#include "httpd.h"
#include "memory.h"
#include "task.h"

#include <sanitizer/asan_interface.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// What one completed request looked like.
struct reading {
    int result;
    uint64_t consumed;  // stream bytes consumed when the reader answered
    int32_t method;
    std::string uri;
    int32_t version;
    int32_t keep_alive;
    int32_t nranges;
    byte_range ranges[MAX_RANGES];

    bool operator==(const reading &o) const
    {
        if (result != o.result || consumed != o.consumed || method != o.method || uri != o.uri ||
            version != o.version || keep_alive != o.keep_alive || nranges != o.nranges)
            return false;
        for (int32_t i = 0; i < nranges; ++i)
            if (ranges[i].first != o.ranges[i].first || ranges[i].end != o.ranges[i].end)
                return false;
        return true;
    }
};

void fail(const char *what)
{
    fprintf(stderr, "request_reader: %s\n", what);
    abort();
}

// A task as the server makes it, but with an input buffer of its own so that
// every byte past what has arrived can be poisoned.
struct reader_run {
    task *t;
    char *saved_in_buf;
    uint64_t consumed_before;  // stream bytes dropped from the front by earlier resets
    std::vector<reading> out;

    reader_run()
    {
        t = task_create("0000FADE");
        if (!t)
            fail("task_create failed");
        saved_in_buf = t->in_buf;
        t->in_buf = static_cast<char *>(malloc(t->in_buf_size));
        t->state = TASK_INPUT;
        consumed_before = 0;
        poison();
    }

    ~reader_run()
    {
        ASAN_UNPOISON_MEMORY_REGION(t->in_buf, t->in_buf_size);
        free(t->in_buf);
        t->in_buf = saved_in_buf;
        task_free(t);
    }

    void poison()
    {
        ASAN_UNPOISON_MEMORY_REGION(t->in_buf, t->in_buf_size);
        ASAN_POISON_MEMORY_REGION(t->in_buf + t->in_head, t->in_buf_size - t->in_head);
    }

    // Appends what fits of `bytes`; returns how many were taken.
    size_t receive(const uint8_t *bytes, size_t n)
    {
        const size_t room = t->in_buf_size - t->in_head;
        if (n > room)
            n = room;
        ASAN_UNPOISON_MEMORY_REGION(t->in_buf + t->in_head, n);
        memcpy(t->in_buf + t->in_head, bytes, n);
        t->in_head += static_cast<uint32_t>(n);
        return n;
    }

    void check_fields(int r)
    {
        if (r != -1 && r != 0 && r != 2)
            fail("result out of range");
        if (t->in_tail > t->in_head || t->in_head > t->in_buf_size)
            fail("input window out of order");
        if (t->method < METHOD_NONE || t->method > METHOD_UNKNOWN)
            fail("method code out of range");
        if (t->nranges < 0 || t->nranges > MAX_RANGES)
            fail("range count out of range");
        if (t->keep_alive < 0 || t->keep_alive > 2)
            fail("keep_alive out of range");
        if (r == 2) {
            if (t->method == METHOD_NONE || t->method == METHOD_UNKNOWN)
                fail("complete request without a known method");
            if (!t->uri)
                fail("complete request without a target");
        }
        if (t->uri) {
            // The target lies in consumed bytes and ends inside them.
            if (t->uri < t->in_buf || t->uri >= t->in_buf + t->in_tail)
                fail("target outside the consumed bytes");
            const void *nul = memchr(t->uri, 0, static_cast<size_t>(t->in_buf + t->in_tail - t->uri));
            if (!nul)
                fail("target not terminated inside the consumed bytes");
        }
    }

    // Runs the reader over what has arrived; after a complete request the
    // unread bytes are moved to the front and the reader runs again, as for
    // a kept connection. Returns false once the connection would end.
    bool step()
    {
        for (;;) {
            poison();
            const int r = read_request(t);
            check_fields(r);
            if (r == 0)
                return t->in_head < t->in_buf_size;  // a full buffer is answered 413
            reading rd{};
            rd.result = r;
            rd.consumed = consumed_before + t->in_tail;
            rd.method = t->method;
            if (t->uri)
                rd.uri = t->uri;
            rd.version = t->version;
            rd.keep_alive = t->keep_alive;
            rd.nranges = t->nranges;
            memcpy(rd.ranges, t->ranges, sizeof rd.ranges);
            out.push_back(rd);
            if (r < 0)
                return false;
            consumed_before += t->in_tail;
            ASAN_UNPOISON_MEMORY_REGION(t->in_buf, t->in_buf_size);
            task_reset(t);
        }
    }
};

// Line ends can be read two ways only when the data mixes carriage returns
// with line feeds that do not follow one.
bool unambiguous_line_ends(const uint8_t *data, size_t size)
{
    if (!memchr(data, '\r', size))
        return true;
    for (size_t i = 0; i < size; ++i)
        if (data[i] == '\n' && (i == 0 || data[i - 1] != '\r'))
            return false;
    return true;
}

// Piece lengths from a small generator seeded by the input, 1 to 64 bytes,
// with many single bytes so that line ends fall between pieces.
struct pieces {
    uint32_t state;
    size_t next()
    {
        state = state * 1103515245u + 12345u;
        const uint32_t v = state >> 16;
        return (v & 3) == 0 ? 1 : 1 + (v >> 2) % 64;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > TASK_IN_BUF_SIZE)
        return -1;
    const int32_t tasks = n_tasks;

    std::vector<reading> whole, split;
    {
        reader_run run;
        run.receive(data, size);
        run.step();
        whole = run.out;
    }
    {
        reader_run run;
        pieces gen{static_cast<uint32_t>(size) ^ (size ? data[0] * 2654435761u : 0)};
        size_t pos = 0;
        bool open = true;
        while (open && pos < size) {
            size_t n = gen.next();
            if (n > size - pos)
                n = size - pos;
            pos += run.receive(data + pos, n);
            open = run.step();
        }
        split = run.out;
    }
    if (n_tasks != tasks)
        fail("task count not back at its start value");

    if (unambiguous_line_ends(data, size) && whole != split)
        fail("the same bytes in pieces were read differently");
    return 0;
}
