#include "memory.h"
#include "support.h"

#include <cstring>
#include <gtest/gtest.h>

TEST(Memory, DosToTimeIsLocalTime)
{
    struct tm tm = {};
    tm.tm_year = 100;
    tm.tm_mday = 1;
    tm.tm_isdst = -1;
    EXPECT_EQ(dos_to_time(0x2821, 0), static_cast<int32_t>(mktime(&tm)));
    tm.tm_hour = 13;
    tm.tm_min = 45;
    tm.tm_sec = 58;
    tm.tm_isdst = -1;
    EXPECT_EQ(dos_to_time(0x2821, (13 << 11) | (45 << 5) | 29), static_cast<int32_t>(mktime(&tm)));
}

TEST(Memory, CountersFollowBlocksAndFiles)
{
    const int32_t blocks = n_blocks, files = n_files;
    void *p = counted_alloc(&n_blocks, 10);
    void *q = counted_calloc(&n_blocks, 4, 8);
    EXPECT_EQ(n_blocks, blocks + 2);
    EXPECT_EQ(static_cast<char *>(q)[31], 0);
    p = counted_realloc(&n_blocks, p, 1000);
    EXPECT_EQ(n_blocks, blocks + 2);
    counted_free(&n_blocks, p);
    counted_free(&n_blocks, q);
    EXPECT_EQ(n_blocks, blocks);

    EXPECT_EQ(counted_open("/nonexistent/file"), -1);
    EXPECT_EQ(n_files, files);
    std::string dir = make_temp_dir();
    write_file(dir + "/f", "0123456789");
    int fd = counted_open((dir + "/f").c_str());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(n_files, files + 1);
    EXPECT_EQ(file_length(fd), 10);
    char buf[4];
    EXPECT_EQ(file_read_at(fd, buf, 4, 6), 1);
    EXPECT_EQ(std::string(buf, 4), "6789");
    EXPECT_EQ(file_read_at(fd, buf, 4, 7), -1);  // short read fails
    counted_close(fd);
    EXPECT_EQ(n_files, files);
}

TEST(Memory, TextBlockShrinksAndKeepsItsText)
{
    const int32_t blocks = n_blocks;
    text_block *tb = text_block_new(4096);
    ASSERT_NE(tb, nullptr);
    EXPECT_EQ(tb->size, 4096u);
    memcpy(tb->data, "hello", 5);
    tb = text_block_fit(tb, 5);
    EXPECT_EQ(tb->size, 5u);
    EXPECT_EQ(std::string(tb->data, 5), "hello");
    EXPECT_EQ(n_blocks, blocks + 1);
    text_block_free(tb);
    EXPECT_EQ(n_blocks, blocks);
}

TEST(MemoryDeathTest, PanicAndAssertionMessages)
{
    EXPECT_DEATH(panic("name index"), "Panic: name index\n");
    EXPECT_DEATH(ASSERT(1 + 1 == 3), "Assertion failed: 1 \\+ 1 == 3, file memory_test.cpp, line [0-9]+");
}
