// The task registry: list joins and leaves, the task table, the sweep and
// the persistence rule.
#include "file.h"
#include "htconfig.h"
#include "httpd.h"
#include "memory.h"
#include "net.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

class TaskRegistry : public ::testing::Test {
protected:
    void SetUp() override
    {
        cfg_create(&g_config);
        cfg_defaults(&g_config, root);
        ctx.event_window = net_loop();
        ctx_init(&ctx, root);
        tasks0 = n_tasks;
    }
    void TearDown() override
    {
        for (task *t : open)
            if (t)
                task_close(&ctx, t);
        ctx_destroy(&ctx);
        cfg_free(&g_config);
        EXPECT_EQ(n_tasks, tasks0);
        EXPECT_EQ(n_caches, 0);
        EXPECT_EQ(n_blocks, 0);
        EXPECT_EQ(n_confs, 0);
    }
    // A registered task over one end of a socket pair.
    task *add(uint32_t key)
    {
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
        close(sv[1]);
        task *t = task_create(task_key(key));
        t->sock = sv[0];
        task_register(&ctx, t);
        open.push_back(t);
        return t;
    }
    void forget(task *t)
    {
        for (task *&o : open)
            if (o == t)
                o = nullptr;
    }
    char root[16] = "/nonexistent";
    server_ctx ctx = {};
    std::vector<task *> open;
    int32_t tasks0 = 0;
};

}  // namespace

TEST_F(TaskRegistry, NewTaskHasItsBuffersInOneBlock)
{
    task *t = task_create("000001A4");
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(n_tasks, tasks0 + 1);
    EXPECT_STREQ(t->name, "000001A4");
    EXPECT_EQ(t->state, TASK_NEW);
    EXPECT_EQ(t->in_buf, t->name + 9);
    EXPECT_EQ(t->out_buf, t->in_buf + 16384);
    EXPECT_EQ(t->in_buf_size, 16384u);
    EXPECT_EQ(t->out_buf_size, 8192u);
    EXPECT_EQ(t->port, 80);
    task_free(t);
}

TEST_F(TaskRegistry, InputListJoinsAfterTheAnchorAndLeavesToThePredecessor)
{
    task *a = add(1);
    EXPECT_EQ(ctx.in_ring, a);
    EXPECT_EQ(a->next, a);
    EXPECT_EQ(a->prev, a);
    EXPECT_EQ(a->select_flags, TF_RESELECT | TF_READ);
    task *b = add(2);
    task *c = add(3);
    // Each newcomer becomes the anchor's successor: a -> c -> b -> a.
    EXPECT_EQ(ctx.in_ring, a);
    EXPECT_EQ(a->next, c);
    EXPECT_EQ(c->next, b);
    EXPECT_EQ(b->next, a);
    EXPECT_EQ(a->prev, b);

    // The anchor leaves: its predecessor b becomes the anchor.
    task_to_output(&ctx, a, TASK_REPLY);
    EXPECT_EQ(ctx.in_ring, b);
    EXPECT_EQ(ctx.out_ring, a);
    EXPECT_EQ(a->select_flags, TF_RESELECT | TF_WRITE);
    EXPECT_EQ(b->next, c);
    EXPECT_EQ(c->prev, b);

    task_to_output(&ctx, b, TASK_OUTPUT);
    task_to_output(&ctx, c, TASK_OUTPUT);
    EXPECT_EQ(ctx.in_ring, nullptr);  // the last member left
    EXPECT_EQ(ctx.out_ring, a);
    EXPECT_EQ(a->next, c);
    EXPECT_EQ(c->next, b);

    task_next_request(&ctx, c);
    EXPECT_EQ(c->state, TASK_INPUT);
    EXPECT_EQ(ctx.in_ring, c);
    EXPECT_EQ(c->select_flags & (TF_READ | TF_WRITE), TF_READ);
}

TEST_F(TaskRegistry, KeysInOneBucketAreToldApart)
{
    // Find two socket numbers whose keys share a bucket.
    uint32_t k1 = 5, k2 = 6;
    const uint32_t b1 = string_hash(task_key(k1), 10);
    while (string_hash(task_key(k2), 10) != b1)
        ++k2;
    task *a = add(k1);
    task *b = add(k2);
    EXPECT_EQ(ctx.ntasks, 2);
    EXPECT_EQ(task_find(&ctx, task_key(k1)), a);
    EXPECT_EQ(task_find(&ctx, task_key(k2)), b);
    EXPECT_EQ(task_find(&ctx, task_key(k2 + 1000)), nullptr);
    task_close(&ctx, b);
    forget(b);
    EXPECT_EQ(ctx.ntasks, 1);
    EXPECT_EQ(task_find(&ctx, task_key(k1)), a);
    EXPECT_EQ(task_find(&ctx, task_key(k2)), nullptr);
}

TEST_F(TaskRegistry, SweepClosesOnlyTasksPastTheirDeadline)
{
    task *due = add(1);
    task *now = add(2);
    task *later = add(3);
    const int32_t t = time_now();
    due->deadline = t - 1;
    now->deadline = t + 1;  // still this second or the next: not expired
    later->deadline = t + 100;
    sweep(&ctx, 0);
    forget(due);
    EXPECT_EQ(ctx.ntasks, 2);
    EXPECT_EQ(task_find(&ctx, task_key(1)), nullptr);
    EXPECT_EQ(task_find(&ctx, task_key(2)), now);
    EXPECT_EQ(ctx.in_ring, now);  // the closed anchor handed over to its predecessor
}

TEST_F(TaskRegistry, DeadlineEqualToTheCurrentSecondDoesNotExpire)
{
    task *t = add(1);
    // Retry until the sweep runs within the same second the deadline names.
    for (int i = 0; i < 5; ++i) {
        const int32_t s = time_now();
        t->deadline = s;
        sweep(&ctx, 0);
        if (time_now() == s)
            break;
    }
    EXPECT_EQ(ctx.ntasks, 1);
}

TEST_F(TaskRegistry, PersistenceFollowsVersionAndConnection)
{
    struct {
        int32_t version, keep_alive;
        int result;
    } cases[] = {
        {257, 1, 1},  // HTTP/1.1
        {257, 0, 2},  // HTTP/1.1 with "close"
        {256, 0, 2},  // HTTP/1.0
        {256, 1, 2},
        {256, 2, 1},  // HTTP/1.0 with "keep-alive"
        {0, 2, 2},    // no version
    };
    uint32_t key = 100;
    for (auto &c : cases) {
        task *t = add(key++);
        task_to_output(&ctx, t, TASK_REPLY);
        t->version = c.version;
        t->keep_alive = c.keep_alive;
        const int32_t before = ctx.ntasks;
        EXPECT_EQ(task_finish(&ctx, t), c.result) << c.version << "/" << c.keep_alive;
        if (c.result == 2) {
            forget(t);
            EXPECT_EQ(ctx.ntasks, before - 1);
        } else {
            EXPECT_EQ(t->state, TASK_INPUT);
            EXPECT_EQ(t->keep_alive, c.keep_alive);  // survives the reset
            EXPECT_EQ(t->version, 0);
        }
    }
}

TEST_F(TaskRegistry, ResetMovesUnreadBytesToTheFront)
{
    task *t = add(1);
    memcpy(t->in_buf, "GET / HTTP/1.1\r\n\r\nGET /b", 24);
    t->in_head = 24;
    t->in_tail = 18;
    t->method = 2;
    task_reset(t);
    EXPECT_EQ(t->in_head, 6u);
    EXPECT_EQ(t->in_tail, 0u);
    EXPECT_EQ(std::string(t->in_buf, 6), "GET /b");
    EXPECT_EQ(t->method, 0);
    t->in_tail = 6;
    task_reset(t);
    EXPECT_EQ(t->in_head, 0u);
}

TEST_F(TaskRegistry, CleanCacheKeepsEntriesInUse)
{
    text_block *a = text_block_new(4);
    text_block *b = text_block_new(4);
    file_entry *used = fe_add_page(&ctx, "used.html", a);
    file_entry *idle = fe_add_page(&ctx, "idle.html", b);
    ASSERT_TRUE(used && idle);
    fe_ref(used);
    const int32_t entries = ctx.nentries;
    sweep(&ctx, 1);
    EXPECT_EQ(ctx.nentries, entries - 1);
    EXPECT_EQ(fe_lookup(&ctx, "used.html"), used);
    EXPECT_EQ(fe_lookup(&ctx, "idle.html"), nullptr);
    EXPECT_NE(fe_lookup(&ctx, "?folder.gif"), nullptr);  // built-in entries stay
    fe_unref(used);
}

TEST(TaskRegistryStopped, SweepOnAStoppedServerDoesNothing)
{
    server_ctx ctx = {};
    sweep(&ctx, 1);
    EXPECT_EQ(ctx.task_hash, nullptr);
}
