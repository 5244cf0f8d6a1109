// The sender: header bytes and the body behind them, from memory and files.
#include "file.h"
#include "os/evloop.h"
#include "task.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A task with its own buffers, set up as a fresh connection would be.
struct test_task {
    task tk{};
    char in[TASK_IN_BUF_SIZE];
    char out[TASK_OUT_BUF_SIZE];

    test_task()
    {
        tk.in = io_buf{in, in, in, in + sizeof in};
        tk.out = io_buf{out, out, out, out + sizeof out};
    }
};

std::string pattern_bytes(uint32_t from, uint32_t to)
{
    std::string s;
    for (uint32_t k = from; k < to; ++k)
        s += static_cast<char>((k * 131u + (k >> 8)) & 0xFF);
    return s;
}

// A task whose socket is one end of a socket pair, sending a reply whose
// body is an entry over `bytes` (built into memory, as the icons are).
class Sender : public ::testing::Test {
protected:
    void SetUp() override
    {
        loop = ev_create([](ev_loop *, int, uint32_t) {});
        ASSERT_NE(loop, nullptr);
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
        tt.tk.sock = sv[0];
        peer = sv[1];
        tt.tk.state = TASK_WRITING;
    }
    void TearDown() override
    {
        close(tt.tk.sock);
        close(peer);
        ev_destroy(loop);
    }

    void body(const std::string &bytes, uint32_t from, uint32_t to)
    {
        data = bytes;
        fe.kind = KIND_STATIC;
        fe.name = "?body.bin";
        fe.handle.bytes = reinterpret_cast<const unsigned char *>(data.data());
        fe.size = static_cast<uint32_t>(data.size());
        tt.tk.fe = &fe;
        tt.tk.offset = from;
        tt.tk.end = to;
    }

    // Sends until the reply is done or fails, taking what arrives whenever
    // the socket is full; returns the bytes the peer received.
    std::string transfer(send_result *last, int *sends)
    {
        std::string got;
        char buf[65536];
        *sends = 0;
        for (;;) {
            *last = task_send(&tt.tk, loop);
            ++*sends;
            ssize_t n;
            while ((n = recv(peer, buf, sizeof buf, 0)) > 0)
                got.append(buf, static_cast<size_t>(n));
            if (*last != SEND_AGAIN || *sends > 100000)
                return got;
        }
    }

    ev_loop *loop = nullptr;
    int peer = -1;
    test_task tt;
    file_entry fe{};
    std::string data;
};

TEST_F(Sender, ShortBodyLeavesWithItsHeaderInOneSend)
{
    const std::string header(200, 'H');
    memcpy(tt.tk.out.last, header.data(), header.size());
    tt.tk.out.last += header.size();
    body(pattern_bytes(0, 1000), 0, 1000);
    send_result r;
    int sends;
    EXPECT_EQ(transfer(&r, &sends), header + pattern_bytes(0, 1000));
    EXPECT_EQ(r, SEND_DONE);
    EXPECT_EQ(sends, 1);
}

TEST_F(Sender, BodiesAndRangesArriveWholeAndInOrder)
{
    // Sizes around the output buffer, the one-piece limit and the pieces of
    // a file sent as it lies, whole and in part, behind a header, from
    // memory and from a file.
    const struct {
        uint32_t size, from, to;
    } cases[] = {
        {0, 0, 0},           {8192, 0, 8192},          {20000, 0, 20000},   {65536, 0, 65536},
        {65537, 0, 65537},   {300000, 0, 300000},      {1000, 100, 200},    {1000, 900, 1000},
        {300000, 1, 299999}, {300000, 200000, 270000}, {800000, 0, 800000}, {800000, 262000, 799999},
    };
    char path[] = "/tmp/pw-bodyXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    const std::string header(192, 'H');
    for (const bool in_file : {false, true}) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::to_string(in_file) + " " + std::to_string(c.size) + " " + std::to_string(c.from) + "-" +
                         std::to_string(c.to));
            tt.tk.out.pos = tt.tk.out.last = tt.out;
            memcpy(tt.tk.out.last, header.data(), header.size());
            tt.tk.out.last += header.size();
            tt.tk.sent = 0;
            body(pattern_bytes(0, c.size), c.from, c.to);
            if (in_file) {
                ASSERT_EQ(ftruncate(fd, 0), 0);
                ASSERT_EQ(pwrite(fd, data.data(), data.size(), 0), static_cast<ssize_t>(data.size()));
                fe.kind = KIND_FILE;
                fe.handle.fd = fd;
            }
            send_result r;
            int sends;
            EXPECT_EQ(transfer(&r, &sends), header + pattern_bytes(c.from, c.to));
            EXPECT_EQ(r, SEND_DONE);
        }
    }
    close(fd);
}

TEST_F(Sender, FileThatShrankFailsTheReply)
{
    // The entry still claims its old size; the file now ends 10 bytes in.
    char path[] = "/tmp/pw-shrunkXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    ASSERT_EQ(write(fd, "0123456789", 10), 10);
    for (uint32_t size : {5000u, 100000u}) {
        fe.kind = KIND_FILE;
        fe.handle.fd = fd;
        fe.size = size;
        tt.tk.fe = &fe;
        tt.tk.offset = 0;
        tt.tk.end = size;
        tt.tk.out.pos = tt.tk.out.last = tt.out;
        send_result r;
        int sends;
        transfer(&r, &sends);
        EXPECT_EQ(r, SEND_FAILED) << size;
    }
    close(fd);
}

}  // namespace
