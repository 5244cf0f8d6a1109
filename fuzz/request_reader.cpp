// The request reader fed arbitrary bytes in arbitrary pieces, as receives
// deliver them, with pipelined requests moved to the front between requests
// and request bodies discarded as the server discards them.
//
// Checked: the reader never looks at a byte of the input buffer that has not
// arrived (the rest of the buffer is poisoned), its results and the fields it
// sets stay in range, a body length is only ever taken from a Content-Length
// line of plain digits in the request's own head, and wherever line ends
// cannot be read two ways (no carriage return at all, or one before every line
// feed) the pieces do not change what is read: the same requests, framed the
// same way, come out as from one single piece. Credentials are taken from
// the request's own Authorization line, and the user "bob:pa:ss" is accepted
// only for its own base64 text.
#include "htproc.h"
#include "httpd.h"
#include "memory.h"
#include "task.h"

#include <sanitizer/asan_interface.h>

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
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
    int32_t body;
    uint64_t content_length;
    int32_t nranges;
    byte_range ranges[MAX_RANGES];
    std::string authorization;  // "(none)" when the request had none

    bool operator==(const reading &o) const
    {
        if (result != o.result || consumed != o.consumed || method != o.method || uri != o.uri ||
            authorization != o.authorization ||
            version != o.version || keep_alive != o.keep_alive || body != o.body ||
            (body == BODY_LENGTH && content_length != o.content_length) || nranges != o.nranges)
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

bool unambiguous_line_ends(const uint8_t *data, size_t size);

// Whether the head holds a line "Content-Length: <digits>" (any letter case,
// blanks around the value) whose number is `n`, saturated as the reader does.
// The reader reads a line as text: it ends at a zero byte.
bool has_plain_length(const uint8_t *head, size_t size, uint64_t n)
{
    static const char name[] = "content-length";
    for (size_t at = 0, line_end; at < size; at = line_end + 1) {
        line_end = at;
        while (line_end < size && head[line_end] != '\r' && head[line_end] != '\n')
            ++line_end;
        size_t end = at;
        while (end < line_end && head[end])
            ++end;
        size_t p = at;
        while (p < end && head[p] == ' ')
            ++p;
        bool match = end - p > sizeof name - 1;
        for (size_t i = 0; match && i < sizeof name - 1; ++i)
            match = tolower(head[p + i]) == name[i];
        p += sizeof name - 1;
        if (match && head[p++] == ':') {
            size_t last = end;
            while (p < last && isspace(head[p]))
                ++p;
            while (last > p && isspace(head[last - 1]))
                --last;
            uint64_t v = 0;
            bool digits = p < last;
            for (size_t i = p; digits && i < last; ++i) {
                const int d = head[i] - '0';
                digits = d >= 0 && d <= 9;
                v = !digits ? v : v > (uint64_t{INT64_MAX} - d) / 10 ? uint64_t{INT64_MAX} : v * 10 + d;
            }
            if (digits && v == n)
                return true;
        }
    }
    return false;
}

// A task as the server makes it, but with an input buffer of its own so that
// every byte past what has arrived can be poisoned.
struct reader_run {
    task *t;
    io_buf saved_in;
    uint64_t consumed_before;  // stream bytes dropped from the front by earlier resets
    uint64_t head_start = 0;   // where the head being read begins in the stream
    const uint8_t *stream;     // the whole input, for checks against the raw head
    std::vector<reading> out;

    explicit reader_run(const uint8_t *data) : stream(data)
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
        if (h->body > BODY_BAD_CODING)
            fail("body framing out of range");
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
        if (h->authorization && *h->authorization &&
            (h->authorization < t->in.start || h->authorization >= t->in.pos ||
             !memchr(h->authorization, 0, static_cast<size_t>(t->in.pos - h->authorization))))
            fail("credentials outside the consumed bytes");
    }

    // What the credentials check made of the request's Authorization value.
    static void check_credentials(const char *value)
    {
        const char *user;
        uint32_t user_len;
        const auth_result r = auth_check(value, &user, &user_len);
        if ((r == AUTH_MISSING) != (value == nullptr))
            fail("credentials missing, or not, against the head");
        if (r != AUTH_OK)
            return;
        // "Basic", blanks, "Ym9iOnBhOnNz" ("bob:pa:ss"), at most one more digit
        // of no whole byte, padding.
        const char *p = value + 5;
        while (*p == ' ' || *p == '\t')
            ++p;
        if (strncasecmp(value, "basic", 5) != 0 || strncmp(p, "Ym9iOnBhOnNz", 12) != 0)
            fail("credentials accepted for another text");
        p += 12;
        if (*p && *p != '=')
            ++p;
        while (*p == '=')
            ++p;
        if (*p || user_len != 3 || strncmp(user, "bob", 3) != 0)
            fail("credentials accepted for another text");
    }

    // Runs the reader over what has arrived; after a complete request the
    // unread bytes are moved to the front and the reader runs again, as for
    // a kept connection. Returns false once the connection would end.
    bool step()
    {
        for (;;) {
            if (t->body_left > 0) {
                task_discard_body(t);
                if (t->body_left > 0) {  // all that came was body
                    consumed_before += static_cast<uint64_t>(t->in.last - t->in.start);
                    t->in.pos = t->in.last = t->in.start;
                    return true;
                }
                head_start = consumed_before + static_cast<uint64_t>(t->in.pos - t->in.start);
            }
            poison();
            size_t used;
            const read_result r = read_request(&t->req, t->in.pos, buf_size(t->in), &used);
            t->in.pos += used;
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
            rd.body = h->body;
            rd.content_length = h->content_length;
            rd.nranges = h->nranges;
            memcpy(rd.ranges, h->ranges, sizeof rd.ranges);
            rd.authorization = h->authorization ? h->authorization : "(none)";
            if (r == READ_DONE)
                check_credentials(h->authorization);
            out.push_back(rd);
            if (r == READ_BAD)
                return false;
            const uint8_t *head = stream + head_start;
            const size_t head_size = static_cast<size_t>(rd.consumed - head_start);
            if (h->body == BODY_LENGTH && unambiguous_line_ends(head, head_size) &&
                !has_plain_length(head, head_size, h->content_length))
                fail("a body length without a plain Content-Length line of that number");
            std::string lower(head, head + head_size);
            for (char &c : lower)
                c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
            if ((h->body == BODY_TRANSFER_CODING || h->body == BODY_BAD_CODING) &&
                lower.find("transfer-encoding") == std::string::npos)
                fail("a transfer coding without a Transfer-Encoding line");
            if (h->body == BODY_BAD_LENGTH && lower.find("content-length") == std::string::npos)
                fail("a bad length without a Content-Length line");
            // As the server: a body it cannot frame, or a longer one, ends the connection.
            if (h->body != BODY_NONE && (h->body != BODY_LENGTH || h->content_length > MAX_REQUEST_BODY))
                return false;
            consumed_before += static_cast<uint64_t>(t->in.pos - t->in.start);
            head_start = consumed_before;
            t->body_left = h->body == BODY_LENGTH ? h->content_length : 0;
            ASAN_UNPOISON_MEMORY_REGION(t->in.start, TASK_IN_BUF_SIZE);
            task_reset(t);
            if (t->req.body != BODY_NONE)
                fail("framing carried over to the next request");
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
    static const bool users_loaded = [] {
        static const char *const users[] = {"bob:pa:ss"};
        char err[256];
        return access_load(access_settings{users, 1, nullptr, nullptr}, err, sizeof err);
    }();
    if (!users_loaded)
        fail("the user could not be loaded");
    const int32_t tasks = n_tasks;

    std::vector<reading> whole, split;
    {
        reader_run run(data);
        run.receive(data, size);
        run.step();
        whole = run.out;
    }
    {
        reader_run run(data);
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

    // What the reader saw: the stream without the bodies it discarded, each
    // cut marked by a zero byte (a carriage return at the end of a head does
    // not pair with a line feed after the body).
    std::string seen;
    uint64_t at = 0;
    for (const reading &rd : whole)
        if (rd.result == READ_DONE && rd.body == BODY_LENGTH && at < size) {
            seen.append(reinterpret_cast<const char *>(data) + at, rd.consumed - at);
            seen += '\0';
            at = std::min<uint64_t>(size, rd.consumed + rd.content_length);
        }
    seen.append(reinterpret_cast<const char *>(data) + at, size - at);
    if (unambiguous_line_ends(reinterpret_cast<const uint8_t *>(seen.data()), seen.size()) && whole != split)
        fail("the same bytes in pieces were read differently");
    return 0;
}
