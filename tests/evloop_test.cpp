// The readiness loop's delivery rules, over real loopback connections.
#include "os/evloop.h"
#include "os/sock.h"
#include "support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

struct delivery {
    int sock;
    uint32_t event;
};

// What the handler does with the events it is given.
struct recorder {
    std::vector<delivery> events;
    size_t recv_size = 0;  // EV_READ: receive this many bytes (0: nothing)
    std::string received;
};

recorder *rec;

void record(ev_loop *loop, int sock, uint32_t event)
{
    rec->events.push_back({sock, event});
    if (event == EV_READ && rec->recv_size > 0) {
        char buf[4096];
        ssize_t n = ev_recv(loop, sock, buf, rec->recv_size < sizeof buf ? rec->recv_size : sizeof buf);
        if (n > 0)
            rec->received.append(buf, static_cast<size_t>(n));
    }
}

int local_port(int sock)
{
    sockaddr_in addr = {};
    socklen_t len = sizeof addr;
    getsockname(sock, reinterpret_cast<sockaddr *>(&addr), &len);
    return ntohs(addr.sin_port);
}

class EventLoop : public ::testing::Test {
protected:
    recorder r;
    ev_loop *loop = nullptr;
    int listener = -1;
    int client = -1;  // the peer, a plain blocking socket
    int server = -1;  // the accepted end, owned by the loop

    void SetUp() override
    {
        rec = &r;
        loop = ev_create(record);
        ASSERT_NE(loop, nullptr);
        char why[SOCK_ERROR_SIZE];
        listener = ev_watch(loop, sock_listen("127.0.0.1", 0, 16, why, sizeof why));
        ASSERT_GE(listener, 0);
        ev_select(loop, listener, EV_ACCEPT);
        client = connect_to(local_port(listener));
        ASSERT_GE(client, 0);
        ASSERT_GE(wait_for(EV_ACCEPT), 1);
        int err = 0;
        server = ev_accept(loop, listener, &err);
        ASSERT_GE(server, 0);
        // Nothing else is pending: the next accept finds none and the accept events stop.
        ASSERT_EQ(ev_accept(loop, listener, &err), -1);
        ev_poll(loop, 0);
        r.events.clear();
    }

    void TearDown() override
    {
        if (client >= 0)
            close(client);
        ev_destroy(loop);
    }

    // Polls until an event of this kind arrives (or two seconds pass); returns
    // how many came. One poll may hold several rounds of deliveries.
    int wait_for(uint32_t event)
    {
        for (int i = 0; i < 200; ++i) {
            ev_poll(loop, 10);
            int n = count(event);
            if (n > 0)
                return n;
        }
        return 0;
    }

    int count(uint32_t event) const
    {
        int n = 0;
        for (const delivery &d : r.events)
            n += d.event == event;
        return n;
    }

    bool loop_fd_readable() const
    {
        pollfd p = {ev_fd(loop), POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }
};

TEST_F(EventLoop, ReadEventRepeatsWhileAReceiveLeavesDataWaiting)
{
    ev_select(loop, server, EV_READ | EV_CLOSE);
    r.recv_size = 2;
    ASSERT_EQ(write(client, "hello", 5), 5);
    ASSERT_GE(wait_for(EV_READ), 1);
    for (int i = 0; i < 10 && r.received.size() < 5; ++i)
        ev_poll(loop, 10);
    EXPECT_EQ(r.received, "hello");
    // Two bytes, two bytes, one byte: three events and no more.
    const int reads = count(EV_READ);
    EXPECT_EQ(reads, 3);
    ev_poll(loop, 50);
    EXPECT_EQ(count(EV_READ), reads);
    EXPECT_FALSE(loop_fd_readable());
}

TEST_F(EventLoop, ReadEventStandsWhileDataIsLeftUnread)
{
    ev_select(loop, server, EV_READ | EV_CLOSE);
    ASSERT_EQ(write(client, "x", 1), 1);
    ASSERT_GE(wait_for(EV_READ), 1);
    const int first = count(EV_READ);
    ev_poll(loop, 0);
    EXPECT_GT(count(EV_READ), first);
    EXPECT_EQ(count(EV_CLOSE), 0);
}

TEST_F(EventLoop, DataWaitingBeforeTheReadSubscriptionIsDeliveredWhenItIsIssued)
{
    ev_select(loop, server, EV_CLOSE);
    ASSERT_EQ(write(client, "abc", 3), 3);
    usleep(20000);
    ev_poll(loop, 20);
    EXPECT_EQ(count(EV_READ), 0);
    r.recv_size = 100;
    ev_select(loop, server, EV_READ | EV_CLOSE);
    ASSERT_GE(wait_for(EV_READ), 1);
    EXPECT_EQ(r.received, "abc");
}

TEST_F(EventLoop, WriteEventFollowsAWriteSubscriptionOnAWritableSocket)
{
    ev_select(loop, server, EV_READ | EV_CLOSE);
    ev_poll(loop, 20);
    EXPECT_EQ(count(EV_WRITE), 0);
    ev_select(loop, server, EV_WRITE | EV_CLOSE);
    ASSERT_GE(wait_for(EV_WRITE), 1);
    const int first = count(EV_WRITE);
    ev_select(loop, server, EV_WRITE | EV_CLOSE);  // unchanged: the events go on
    ev_poll(loop, 0);
    EXPECT_GT(count(EV_WRITE), first);
}

TEST_F(EventLoop, WriteEventWaitsForRoomAfterASendFoundTheSocketFull)
{
    static char block[65536];
    size_t sent = 0;
    for (;;) {
        ssize_t n = ev_send(loop, server, block, sizeof block, false);
        if (n < 0) {
            ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK);
            break;
        }
        sent += static_cast<size_t>(n);
    }
    ev_select(loop, server, EV_WRITE | EV_CLOSE);
    ev_poll(loop, 50);
    EXPECT_EQ(count(EV_WRITE), 0);
    EXPECT_FALSE(loop_fd_readable());
    // The peer drains everything: room again, and the write event comes.
    size_t got = 0;
    while (got < sent) {
        ssize_t n = read(client, block, sizeof block);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    EXPECT_GE(wait_for(EV_WRITE), 1);
}

TEST_F(EventLoop, CloseComesOnceAfterTheDataThePeerSent)
{
    ev_select(loop, server, EV_READ | EV_CLOSE);
    r.recv_size = 100;
    ASSERT_EQ(write(client, "bye", 3), 3);
    close(client);
    client = -1;
    ASSERT_EQ(wait_for(EV_CLOSE), 1);
    EXPECT_EQ(r.received, "bye");
    ASSERT_GE(r.events.size(), 2u);
    EXPECT_EQ(r.events.front().event, EV_READ);
    EXPECT_EQ(r.events.back().event, EV_CLOSE);
    ev_poll(loop, 50);
    ev_poll(loop, 0);
    EXPECT_EQ(count(EV_CLOSE), 1);
    EXPECT_FALSE(loop_fd_readable());
}

TEST_F(EventLoop, HalfClosedPeerStillGetsWriteEventsUntilInputIsWanted)
{
    shutdown(client, SHUT_WR);
    ev_select(loop, server, EV_WRITE | EV_CLOSE);
    ASSERT_GE(wait_for(EV_WRITE), 1);
    EXPECT_EQ(count(EV_CLOSE), 0);
    r.events.clear();
    ev_select(loop, server, EV_READ | EV_CLOSE);
    ASSERT_EQ(wait_for(EV_CLOSE), 1);
    EXPECT_EQ(count(EV_READ), 0);
}

TEST_F(EventLoop, IdleSubscriptionsLeaveTheLoopQuiet)
{
    ev_select(loop, server, EV_READ | EV_CLOSE);
    EXPECT_EQ(ev_poll(loop, 50), 0);
    EXPECT_TRUE(r.events.empty());
    EXPECT_FALSE(loop_fd_readable());
}

TEST_F(EventLoop, EventsLeftForLaterKeepTheLoopDescriptorReadable)
{
    // An unanswered write subscription wants an event in every round.
    ev_select(loop, server, EV_WRITE | EV_CLOSE);
    ev_poll(loop, 0);
    EXPECT_GT(count(EV_WRITE), 0);
    EXPECT_TRUE(loop_fd_readable());
    ev_select(loop, server, EV_READ | EV_CLOSE);
    ev_poll(loop, 0);
    EXPECT_FALSE(loop_fd_readable());
}

TEST_F(EventLoop, EmptySubscriptionStopsDeliveries)
{
    ev_select(loop, server, EV_READ | EV_CLOSE);
    ev_select(loop, server, 0);
    ASSERT_EQ(write(client, "x", 1), 1);
    close(client);
    client = -1;
    ev_poll(loop, 50);
    ev_poll(loop, 0);
    EXPECT_TRUE(r.events.empty());
}

TEST_F(EventLoop, SubscriberRecordStaysWithTheSocketUntilItCloses)
{
    int record_of_server = 0;
    EXPECT_EQ(ev_data(loop, server), nullptr);
    ev_set_data(loop, server, &record_of_server);
    EXPECT_EQ(ev_data(loop, server), &record_of_server);
    EXPECT_EQ(ev_data(loop, listener), nullptr);
    ev_close(loop, server);
    EXPECT_EQ(ev_data(loop, server), nullptr);
    // The next connection may get the same descriptor: it starts without a record.
    const int again = connect_to(local_port(listener));
    ASSERT_GE(again, 0);
    ASSERT_GE(wait_for(EV_ACCEPT), 1);
    int err = 0;
    int next = ev_accept(loop, listener, &err);
    ASSERT_GE(next, 0);
    EXPECT_EQ(ev_data(loop, next), nullptr);
    close(again);
}

}  // namespace
