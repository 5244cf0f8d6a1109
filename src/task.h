// The connection task: its record and buffers, and the one sender that
// moves a reply to the socket.
#pragma once

#include "request.h"

#include <cstddef>
#include <cstdint>

struct ev_loop;
struct file_entry;

constexpr uint32_t TASK_IN_BUF_SIZE = 16384;
constexpr uint32_t TASK_OUT_BUF_SIZE = 8192;

// A buffer as four positions: bytes [pos, last) wait to be read or sent,
// [last, end) is free; start is where the buffer begins.
struct io_buf {
    char *start;
    char *pos;
    char *last;
    char *end;
};

inline uint32_t buf_size(const io_buf &b)
{
    return static_cast<uint32_t>(b.last - b.pos);
}
inline uint32_t buf_room(const io_buf &b)
{
    return static_cast<uint32_t>(b.end - b.last);
}

// The life of a connection.
enum task_state : uint8_t {
    TASK_READING,    // waiting for a whole request head, or the rest of a body to discard
    TASK_WAITING,    // a request was read; its entry is being made a slice per turn (a folder's walk)
    TASK_WRITING,    // a reply is on its way: header bytes in `out`, then the body
    TASK_LINGERING,  // the last reply has gone; unread input is drained before the close
    TASK_CLOSING,    // done with; freed where the socket event is handled
};

struct peer_count;
struct reply_note;

// One connection: the record, then its input and output buffers, all in
// one counted block. The body of the reply being sent is the bytes
// [offset, end) of `fe`, after the bytes waiting in `out`.
struct task {
    task_state state;
    bool head_started;  // bytes of the next request have arrived
    int sock;
    int64_t deadline;
    int32_t status;  // of the reply being sent
    io_buf in;
    io_buf out;
    request_head req;
    uint64_t body_left;  // bytes of a request body still to discard
    file_entry *fe;
    uint64_t offset;
    uint64_t end;
    uint64_t sent;         // bytes of the current reply that the socket took
    uint32_t unsent_seen;  // bytes the socket held at the sweep's last look
    uint32_t linger_left;  // input bytes still drained before a close
    peer_count *peer;      // the connections of this peer address, or null
    reply_note *note;      // what the access log needs of the current reply, or null
    uint8_t addr_len;      // the peer's address (4 or 16 bytes), for the limits per address
    uint8_t addr[16];
    task *next, *prev;     // the server's list of connections, newest first
};

task *task_create(int sock);  // null when memory is exhausted
void task_free(task *t);
// Forgets the request just answered and moves the bytes that followed it to
// the front of the input buffer.
void task_reset(task *t);
// Takes bytes of a request body off the front of the input.
void task_discard_body(task *t);
// Inserts a header line ("Name: value\r\n") after the other header lines of
// the reply waiting in `out`; false when it does not fit.
bool task_add_header_line(task *t, const char *line);
// True when the connection stays open after the reply to this request.
bool task_keeps_alive(const task *t);

enum send_result : uint8_t {
    SEND_DONE,    // the whole reply has gone
    SEND_AGAIN,   // more to send once the socket takes it
    SEND_LATER,   // nothing sent: the body is not ready yet (a far skip inside a deflated
                  // member goes on a slice per call); call again on the loop's next turn
    SEND_FAILED,  // the body could not be read: the reply cannot be completed
};

// Sends what waits in `out` and the body behind it, one step per call.
// Short bodies leave with the header in one send; long ones stream through
// `out`, with their last 64 KB read and sent in one piece.
send_result task_send(task *t, ev_loop *loop);
