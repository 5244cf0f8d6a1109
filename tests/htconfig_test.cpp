#include "htconfig.h"
#include "memory.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// A fresh store per test; every entry it made must be released by cfg_free.
class ConfigStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        confs_before = n_confs;
        memset(&store, 0, sizeof store);
        cfg_create(&store);
    }
    void TearDown() override
    {
        cfg_free(&store);
        EXPECT_EQ(n_confs, confs_before);
    }

    // The labels of a section's ring, starting at its anchor.
    std::vector<std::string> ring_labels(int32_t section)
    {
        std::vector<std::string> labels;
        cfg_entry *anchor = store.sections[section];
        if (!anchor)
            return labels;
        cfg_entry *e = anchor;
        do {
            labels.push_back(e->label ? e->label : e->key);
            EXPECT_EQ(e->ring_next->ring_prev, e);
            e = e->ring_next;
        } while (e != anchor && labels.size() < 100);
        return labels;
    }

    config_store store;
    int32_t confs_before = 0;
};

const char ROOT[] = "/srv/webhome";

}  // namespace

TEST_F(ConfigStore, FreeReleasesEveryEntryAndTheBuckets)
{
    cfg_defaults(&store, ROOT);
    cfg_add(&store, "Extra", CFG_HTTPD, "x", 1);
    EXPECT_EQ(n_confs, confs_before + 13);
    cfg_free(&store);
    EXPECT_EQ(n_confs, confs_before);
    EXPECT_EQ(store.count, 0);
    EXPECT_EQ(store.buckets, nullptr);
    cfg_free(&store);  // a second release finds nothing to do
    EXPECT_EQ(n_confs, confs_before);
}

TEST_F(ConfigStore, DefaultsFillTypedFields)
{
    cfg_defaults(&store, ROOT);
    EXPECT_EQ(store.server_port, 80);
    EXPECT_EQ(store.conn_timeout, 10);
    EXPECT_STREQ(store.server_name, "?The serverName");
    // The root is referred to, not copied.
    EXPECT_EQ(store.uri_mapping[0], ROOT);
    EXPECT_EQ(store.uri_mapping[1], nullptr);
    EXPECT_EQ(store.allow_path[0], ROOT);
    EXPECT_EQ(store.allow_path[1], nullptr);
    EXPECT_STREQ(store.index_file, "index.html");
    EXPECT_STREQ(store.readme_file, "README");
}

TEST_F(ConfigStore, KeysAreLowerCaseAndLabelsKeepTheSpelling)
{
    cfg_defaults(&store, ROOT);
    cfg_entry *e = cfg_find(&store, "ConnectionTimeOut", CFG_HTTPD);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->key, "connectiontimeout");
    EXPECT_STREQ(e->label, "ConnectionTimeOut");
    EXPECT_EQ(e->section, CFG_HTTPD);
    // An integer setting's value is its own text.
    EXPECT_EQ(e->value, e->text);
    EXPECT_STREQ(e->text, "10");
    // A string setting's value is the default itself.
    cfg_entry *name = cfg_find(&store, "servername", CFG_HTTPD);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->value, store.server_name);
}

TEST_F(ConfigStore, FindFoldsTheNameButKeepsToTheSection)
{
    cfg_defaults(&store, ROOT);
    EXPECT_NE(cfg_find(&store, "INDEXFILE", CFG_INDEX), nullptr);
    EXPECT_NE(cfg_find(&store, "indexfile", CFG_INDEX), nullptr);
    EXPECT_EQ(cfg_find(&store, "IndexFile", CFG_HTTPD), nullptr);
    EXPECT_EQ(cfg_find(&store, "IndexFiles", CFG_INDEX), nullptr);
}

TEST_F(ConfigStore, FindKeyMatchesExactBytesInAnySection)
{
    cfg_defaults(&store, ROOT);
    cfg_entry *e = cfg_find_key(&store, "indexfile");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->section, CFG_INDEX);
    EXPECT_EQ(cfg_find_key(&store, "IndexFile"), nullptr);
    EXPECT_EQ(cfg_find_key(&store, ""), nullptr);
}

TEST_F(ConfigStore, NewestEntryOfAKeyIsFoundFirst)
{
    cfg_add(&store, "Dup", CFG_HTTPD, "old", 3);
    cfg_entry *newer = cfg_add(&store, "DUP", CFG_HTTPD, "new", 3);
    EXPECT_EQ(cfg_find(&store, "dup", CFG_HTTPD), newer);
    EXPECT_EQ(cfg_find_key(&store, "dup"), newer);
    EXPECT_EQ(ring_labels(CFG_HTTPD), (std::vector<std::string>{"dup", "dup"}));
    EXPECT_EQ(store.count, 2);
}

TEST_F(ConfigStore, FindHandlesNamesLongerThanItsFoldingBuffer)
{
    std::string name(300, 'Q');
    cfg_entry *e = cfg_add(&store, name.c_str(), CFG_INDEX, "v", 1);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(cfg_find(&store, name.c_str(), CFG_INDEX), e);
    EXPECT_EQ(cfg_find(&store, std::string(300, 'q').c_str(), CFG_INDEX), e);
    EXPECT_EQ(cfg_find(&store, std::string(299, 'q').c_str(), CFG_INDEX), nullptr);
    EXPECT_EQ(cfg_find(&store, name.c_str(), CFG_HTTPD), nullptr);
}

TEST_F(ConfigStore, AddCopiesTheValueWithRoomForSixtyFourBytes)
{
    cfg_entry *small = cfg_add(&store, "Small", CFG_HTTPD, "ab", 2);
    ASSERT_NE(small, nullptr);
    EXPECT_STREQ(small->text, "ab");
    EXPECT_EQ(small->value, nullptr);
    EXPECT_EQ(small->label, nullptr);
    // 64 bytes and a terminator fit in the entry (the sanitizer watches).
    memset(small->text, 'z', 64);
    small->text[64] = 0;
    EXPECT_EQ(strlen(small->text), 64u);

    std::string long_value(200, 'v');
    cfg_entry *big = cfg_add(&store, "Big", CFG_HTTPD, long_value.c_str(), 200);
    ASSERT_NE(big, nullptr);
    EXPECT_EQ(std::string(big->text), long_value);
    // Only the given length is copied.
    cfg_entry *part = cfg_add(&store, "Part", CFG_HTTPD, "abcdef", 3);
    EXPECT_STREQ(part->text, "abc");
}

TEST_F(ConfigStore, IntegerOutsideBoundsIsReplacedByDefault)
{
    struct Case {
        const char *stored;
        int32_t result;
        const char *text_after;
    };
    const Case cases[] = {
        {"0", 80, "80"},
        {"40000", 80, "80"},
        {"81", 81, "81"},
        {"1", 1, "1"},
        {"32760", 32760, "32760"},
        {"32761", 80, "80"},
        {"  +8080", 8080, "  +8080"},
        {"\t443xyz", 443, "\t443xyz"},
        {"-1", 80, "80"},
        {"abc", 80, "80"},
        {"99999999999999999999", 80, "80"},
        {"-99999999999999999999", 80, "80"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stored);
        cfg_add(&store, "ServerPort", CFG_HTTPD, c.stored, static_cast<uint32_t>(strlen(c.stored)));
        EXPECT_EQ(cfg_int(&store, "ServerPort", CFG_HTTPD, 80, 1, 32760), c.result);
        cfg_entry *e = cfg_find(&store, "ServerPort", CFG_HTTPD);
        EXPECT_STREQ(e->text, c.text_after);
        EXPECT_STREQ(e->label, "ServerPort");
    }
}

TEST_F(ConfigStore, MissingIntegerIsAddedWithItsDefault)
{
    EXPECT_EQ(cfg_int(&store, "ConnectionTimeOut", CFG_HTTPD, 10, 4, 900), 10);
    cfg_entry *e = cfg_find(&store, "connectiontimeout", CFG_HTTPD);
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->text, "10");
    EXPECT_EQ(e->value, e->text);
    EXPECT_STREQ(e->label, "ConnectionTimeOut");
    EXPECT_EQ(store.count, 1);
}

TEST_F(ConfigStore, StringGetterReturnsStoredTextOrDefault)
{
    cfg_add(&store, "ServerName", CFG_HTTPD, "pellorwick.test", 15);
    EXPECT_STREQ(cfg_str(&store, "servername", CFG_HTTPD, "unused"), "pellorwick.test");
    EXPECT_STREQ(cfg_find(&store, "ServerName", CFG_HTTPD)->label, "servername");

    const char *def = "README";
    EXPECT_EQ(cfg_str(&store, "ReadMeFile", CFG_INDEX, def), def);
    cfg_entry *e = cfg_find(&store, "ReadMeFile", CFG_INDEX);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->value, def);

    // Without a default nothing is added.
    EXPECT_EQ(cfg_str(&store, "Absent", CFG_INDEX, nullptr), nullptr);
    EXPECT_EQ(cfg_find(&store, "Absent", CFG_INDEX), nullptr);
    EXPECT_EQ(store.count, 2);
}

// A list is the stored text's trimmed, non-empty lines, in at most one less
// than its slots and a terminator; a missing list holds the default alone
// (added to the store) or, without one, leaves the slots as they were.
TEST_F(ConfigStore, ListsFillTheirSlots)
{
    struct Case {
        const char *stored;  // nullptr: no entry
        int32_t slots;
        const char *def;
        int32_t count;
        std::vector<const char *> after;  // the slots after the call
        int32_t entries;
    };
    const Case cases[] = {
        {"  /srv/a  \n\n\t/srv/b\r\n", 4, "/root", 2, {"/srv/a", "/srv/b", nullptr, "keep"}, 1},
        {"a\nb\nc\nd\ne", 3, nullptr, 2, {"a", "b", nullptr, "keep"}, 1},
        {nullptr, 4, nullptr, 0, {"keep", "keep", "keep", "keep"}, 0},
        {nullptr, 4, ROOT, 0, {ROOT, nullptr, "keep", "keep"}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : c.def ? c.def : "(none)");
        cfg_free(&store);
        cfg_create(&store);
        if (c.stored)
            cfg_add(&store, "URIMapping", CFG_DIRECTORY, c.stored, static_cast<uint32_t>(strlen(c.stored)));
        const char *slots[4] = {"keep", "keep", "keep", "keep"};
        EXPECT_EQ(cfg_list(&store, "URIMapping", CFG_DIRECTORY, slots, c.slots, c.def), c.count);
        for (size_t i = 0; i < 4; ++i)
            EXPECT_STREQ(slots[i], c.after[i]) << i;
        EXPECT_EQ(store.count, c.entries);
        if (c.def && !c.stored) {
            EXPECT_EQ(slots[0], c.def);  // the default itself, not a copy
            cfg_entry *e = cfg_find(&store, "urimapping", CFG_DIRECTORY);
            ASSERT_NE(e, nullptr);
            EXPECT_EQ(e->value, c.def);
        }
    }
}

TEST_F(ConfigStore, ListDefaultNeedsTwoSlots)
{
    const char *slots[1];
    EXPECT_DEATH(cfg_list(&store, "URIMapping", CFG_DIRECTORY, slots, 1, ROOT), "Assertion failed");
}
