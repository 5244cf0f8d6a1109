// The sweep of connection tasks at their deadline, and the cache clean that
// keeps what connections use.
#include "file.h"
#include "htconfig.h"
#include "httpd.h"
#include "memory.h"
#include "net.h"
#include "task.h"

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
        ctx.loop = net_loop();
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
    task *add()
    {
        int sv[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
        close(sv[1]);
        task *t = task_create(sv[0]);
        task_register(&ctx, t, peer_addr{});
        open.push_back(t);
        return t;
    }
    char root[16] = "/nonexistent";
    server_ctx ctx = {};
    std::vector<task *> open;
    int32_t tasks0 = 0;
};

}  // namespace

TEST_F(TaskRegistry, DeadlineEqualToTheCurrentSecondDoesNotExpire)
{
    task *t = add();
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

// A reply whose socket takes bytes is making progress: it outlives the
// deadline it had, however slowly its reader goes.
TEST_F(TaskRegistry, ReplyThatProgressesOutlivesItsOldDeadline)
{
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    const int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    task *t = task_create(sv[0]);
    ASSERT_TRUE(task_register(&ctx, t, peer_addr{}));
    t->out.last = t->out.end;  // a header longer than the socket takes at once
    t->state = TASK_WRITING;
    t->deadline = time_now() - 1;
    exec_task(&ctx, t);
    sweep(&ctx, 0);
    EXPECT_EQ(ctx.ntasks, 1);
    open.push_back(ctx.ntasks ? t : nullptr);
    close(sv[1]);
}

TEST_F(TaskRegistry, CleanCacheKeepsEntriesInUse)
{
    text_block *a = text_block_new(4);
    text_block *b = text_block_new(4);
    file_entry *used = fe_add_page(&ctx.entries, "used.html", a, 0);
    file_entry *idle = fe_add_page(&ctx.entries, "idle.html", b, 0);
    ASSERT_TRUE(used && idle);
    fe_ref(used);
    const int32_t entries = ctx.entries.nentries;
    fe_release_unused(&ctx.entries);
    EXPECT_EQ(ctx.entries.nentries, entries - 1);
    EXPECT_EQ(fe_lookup(&ctx.entries, "used.html"), used);
    EXPECT_EQ(fe_lookup(&ctx.entries, "idle.html"), nullptr);
    EXPECT_NE(fe_lookup(&ctx.entries, "?folder.gif"), nullptr);  // built-in entries stay
    fe_unref(used);
}
