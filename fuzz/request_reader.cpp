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
    io_buf saved_in;
    uint64_t consumed_before;  // stream bytes dropped from the front by earlier resets
    std::vector<reading> out;

    reader_run()
    {
        t = task_create(-1);
        if (!t)
            fail("task_create failed");
        saved_in = t->in;
        char *buf = static_cast<char *>(malloc(TASK_IN_BUF_SIZE));
        t->in = io_buf{buf, buf, buf, buf + TASK_IN_BUF_SIZE};
        consumed_before = 0;
        poison();
    }

    ~reader_run()
    {
        ASAN_UNPOISON_MEMORY_REGION(t->in.start, TASK_IN_BUF_SIZE);
        free(t->in.start);
        t->in = saved_in;
        task_free(t);
    }

    void poison()
    {
        ASAN_UNPOISON_MEMORY_REGION(t->in.start, TASK_IN_BUF_SIZE);
        ASAN_POISON_MEMORY_REGION(t->in.last, buf_room(t->in));
    }

    // Appends what fits of `bytes`; returns how many were taken.
    size_t receive(const uint8_t *bytes, size_t n)
    {
        const size_t room = buf_room(t->in);
        if (n > room)
            n = room;
        ASAN_UNPOISON_MEMORY_REGION(t->in.last, n);
        memcpy(t->in.last, bytes, n);
        t->in.last += n;
        return n;
    }

    void check_fields(read_result r)
    {
        const request_head *h = &t->req;
        if (r != READ_BAD && r != READ_MORE && r != READ_DONE)
            fail("result out of range");
        if (t->in.pos > t->in.last || t->in.last > t->in.end || t->in.pos < t->in.start)
            fail("input window out of order");
        if (h->method < METHOD_NONE || h->method > METHOD_UNKNOWN)
            fail("method code out of range");
        if (h->nranges < 0 || h->nranges > MAX_RANGES)
            fail("range count out of range");
        if (h->keep_alive < 0 || h->keep_alive > 2)
            fail("keep_alive out of range");
        if (r == READ_DONE) {
            if (h->method == METHOD_NONE || h->method == METHOD_UNKNOWN)
                fail("complete request without a known method");
            if (!h->uri)
                fail("complete request without a target");
        }
        if (h->uri) {
            // The target lies in consumed bytes and ends inside them.
            if (h->uri < t->in.start || h->uri >= t->in.pos)
                fail("target outside the consumed bytes");
            const void *nul = memchr(h->uri, 0, static_cast<size_t>(t->in.pos - h->uri));
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
            const read_result r = read_request(&t->req, &t->in);
            check_fields(r);
            if (r == READ_MORE)
                return buf_room(t->in) > 0;  // a full buffer is answered 413
            const request_head *h = &t->req;
            reading rd{};
            rd.result = r;
            rd.consumed = consumed_before + static_cast<uint64_t>(t->in.pos - t->in.start);
            rd.method = h->method;
            if (h->uri)
                rd.uri = h->uri;
            rd.version = h->version;
            rd.keep_alive = h->keep_alive;
            rd.nranges = h->nranges;
            memcpy(rd.ranges, h->ranges, sizeof rd.ranges);
            out.push_back(rd);
            if (r == READ_BAD)
                return false;
            consumed_before += static_cast<uint64_t>(t->in.pos - t->in.start);
            ASAN_UNPOISON_MEMORY_REGION(t->in.start, TASK_IN_BUF_SIZE);
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
