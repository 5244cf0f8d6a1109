// The connection task: its block and buffers, and the one sender of a reply.
#include "task.h"

#include "file.h"
#include "memory.h"
#include "os/evloop.h"

#include <algorithm>
#include <cstring>
#include <sys/uio.h>

// ---------------------------------------------------------------------------
// The task block

task *task_create(int sock)
{
    auto *t = static_cast<task *>(counted_alloc(&n_tasks, sizeof(task) + TASK_IN_BUF_SIZE + TASK_OUT_BUF_SIZE));
    if (!t)
        return nullptr;
    memset(t, 0, sizeof(task));  // the buffers are left untouched until used
    char *in = reinterpret_cast<char *>(t + 1);
    char *out = in + TASK_IN_BUF_SIZE;
    t->state = TASK_READING;
    t->sock = sock;
    t->in = io_buf{in, in, in, in + TASK_IN_BUF_SIZE};
    t->out = io_buf{out, out, out, out + TASK_OUT_BUF_SIZE};
    task_reset(t);
    return t;
}

void task_free(task *t)
{
    counted_free(&n_tasks, t);
}

void task_reset(task *t)
{
    request_reset(&t->req);
    t->fe = nullptr;
    t->offset = t->end = 0;
    t->sent = 0;
    t->status = 0;
    io_buf &in = t->in;
    const size_t unread = static_cast<size_t>(in.last - in.pos);
    if (unread > 0 && in.pos != in.start)
        memmove(in.start, in.pos, unread);
    in.pos = in.start;
    in.last = in.start + unread;
    t->out.pos = t->out.last = t->out.start;
}

void task_discard_body(task *t)
{
    const uint64_t n = std::min<uint64_t>(t->body_left, buf_size(t->in));
    t->in.pos += n;
    t->body_left -= n;
}

bool task_add_header_line(task *t, const char *line)
{
    io_buf &out = t->out;
    const size_t len = strlen(line);
    const char *end = static_cast<const char *>(memmem(out.pos, buf_size(out), "\r\n\r\n", 4));
    if (!end || len > buf_room(out))
        return false;
    char *at = const_cast<char *>(end) + 2;
    memmove(at + len, at, static_cast<size_t>(out.last - at));
    memcpy(at, line, len);
    out.last += len;
    return true;
}

bool task_keeps_alive(const task *t)
{
    const request_head &r = t->req;
    return (r.version >= HTTP_1_1 && r.keep_alive != KEEP_ALIVE_NONE) ||
           (r.version == HTTP_1_0 && r.keep_alive == KEEP_ALIVE_REQUESTED);
}

// ---------------------------------------------------------------------------
// The sender

namespace {

constexpr uint32_t WIDE_PIECE = 65536;

// The most one write event sends of a body that lies in a file: a reader
// that keeps pace with the loopback could otherwise hold one sendfile call,
// and the loop, for a whole body of any size. Other connections get their
// turn between pieces. Each piece ends where the reply reaches a multiple of
// the piece size, header included: on the loopback, pieces that start where
// the file's pages start but lie a header's length off in the stream halve
// the speed of a download (2.2 against 4.9 GB/s for 100 MB with curl).
constexpr uint64_t SENDFILE_PIECE = 256 * 1024;

// The last piece of a long body, on its way from the entry to the socket.
// One thread sends, so one buffer serves every connection.
char wide_buf[WIDE_PIECE];

// Copies body bytes into the free room of `out`.
fe_read_result fill_out(task *t)
{
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(buf_room(t->out), t->end - t->offset));
    if (count == 0)
        return FE_READ_DONE;
    const fe_read_result r = fe_read(t->fe, t->out.last, count, t->offset);
    if (r == FE_READ_DONE) {
        t->out.last += count;
        t->offset += count;
    }
    return r;
}

// What the sender says when the body could not be read.
send_result body_not_read(fe_read_result r)
{
    return r == FE_READ_AGAIN ? SEND_LATER : SEND_FAILED;
}

// Takes `n` sent bytes off the front of `out`.
void consume_out(io_buf &out, uint32_t n)
{
    out.pos += n;
    if (out.pos == out.last)
        out.pos = out.last = out.start;
}

// Counts `n` bytes the socket took.
void count_sent(task *t, ssize_t n)
{
    bytes_sent += static_cast<uint64_t>(n);
    t->sent += static_cast<uint64_t>(n);
}

// A body that lies in a file as it is sent goes without a copy, behind the
// header bytes in the same train of segments; no piece crosses `run`.
send_result send_from_file(task *t, ev_loop *loop, int fd, uint64_t at, uint64_t run)
{
    io_buf &out = t->out;
    if (buf_size(out) > 0) {
        const ssize_t n = ev_send(loop, t->sock, out.pos, buf_size(out), true);
        if (n < 0)
            return SEND_AGAIN;  // full or failing; a write or close event follows
        count_sent(t, n);
        consume_out(out, static_cast<uint32_t>(n));
        if (buf_size(out) > 0)
            return SEND_AGAIN;
    }
    const uint64_t left = t->end - t->offset;
    const ssize_t n = ev_sendfile(
        loop, t->sock, fd, at, static_cast<size_t>(std::min<uint64_t>({left, SENDFILE_PIECE - t->sent % SENDFILE_PIECE, run})));
    if (n < 0)
        return SEND_AGAIN;
    if (n == 0)
        return SEND_FAILED;  // the file ended before the body did
    count_sent(t, n);
    t->offset += static_cast<uint64_t>(n);
    return t->offset >= t->end ? SEND_DONE : SEND_AGAIN;
}

// A piece of the body leaves with what waits before it in one send, read
// straight from the entry: a reply of up to 72 KB goes after one read, and a
// long one in pieces of 64 KB (32 KB from a deflated member), where the
// output buffer alone would take a read and a send per 8 KB. Long pieces
// matter most to deflated members, whose streams inflate in long steps only
// while they do not interleave. What the socket did not take stays in `out`
// as far as it fits; the remainder is read again next time, which is cheap
// as the piece is no longer than the entry reads again cheaply (32 KB for a
// deflated member, which keeps only zlib's window).
send_result send_wide_piece(task *t, ev_loop *loop, uint64_t run)
{
    io_buf &out = t->out;
    const uint64_t left = t->end - t->offset;
    const auto rest = static_cast<uint32_t>(std::min<uint64_t>({left, WIDE_PIECE, fe_reread_span(t->fe), run}));
    if (const fe_read_result r = fe_read(t->fe, wide_buf, rest, t->offset); r != FE_READ_DONE)
        return body_not_read(r);
    const uint32_t waiting = buf_size(out);
    iovec pieces[2] = {{out.pos, waiting}, {wide_buf, rest}};
    const ssize_t n =
        ev_sendv(loop, t->sock, waiting > 0 ? pieces : pieces + 1, waiting > 0 ? 2 : 1, t->offset + rest < t->end);
    if (n < 0)
        return SEND_AGAIN;  // full or failing; a write or close event follows
    count_sent(t, n);
    const auto sent = static_cast<uint32_t>(n);
    if (sent < waiting) {
        out.pos += sent;
        return SEND_AGAIN;
    }
    out.pos = out.last = out.start;
    const uint32_t body_sent = sent - waiting;
    const uint32_t keep = std::min(rest - body_sent, buf_room(out));
    memcpy(out.last, wide_buf + body_sent, keep);
    out.last += keep;
    t->offset += body_sent + keep;
    return SEND_AGAIN;
}

// The rest of the body fits in `out` behind what waits there: one send.
send_result send_through_out(task *t, ev_loop *loop)
{
    io_buf &out = t->out;
    if (const fe_read_result r = fill_out(t); r != FE_READ_DONE)
        return body_not_read(r);
    if (buf_size(out) > 0) {
        const ssize_t n = ev_send(loop, t->sock, out.pos, buf_size(out), false);
        if (n < 0)
            return SEND_AGAIN;  // full or failing; a write or close event follows
        count_sent(t, n);
        consume_out(out, static_cast<uint32_t>(n));
    }
    return SEND_AGAIN;
}

}  // namespace

send_result task_send(task *t, ev_loop *loop)
{
    io_buf &out = t->out;
    if (out.pos != out.start && t->offset < t->end) {
        // Unsent bytes move to the front so that the body can follow them.
        const uint32_t waiting = buf_size(out);
        memmove(out.start, out.pos, waiting);
        out.pos = out.start;
        out.last = out.start + waiting;
    }
    const uint64_t left = t->end - t->offset;
    int fd;
    uint64_t at;
    uint64_t run = UINT64_MAX;  // bytes from t->offset that lie as `where` says: no piece crosses its end
    // Up to WIDE_PIECE, a read and one gathered send beat a send and a
    // sendfile (65,000 against 59,000 replies of 64 KB a second).
    const file_range where = left > WIDE_PIECE ? fe_file_range(t->fe, t->offset, &fd, &at, &run) : RANGE_READ;
    if (where == RANGE_CHANGED)
        return SEND_FAILED;
    if (where == RANGE_IN_FILE)
        return send_from_file(t, loop, fd, at, run);
    const send_result r = left > buf_room(out) ? send_wide_piece(t, loop, run) : send_through_out(t, loop);
    if (r != SEND_AGAIN)
        return r;
    return buf_size(out) == 0 && t->offset >= t->end ? SEND_DONE : SEND_AGAIN;
}
