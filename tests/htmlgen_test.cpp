#include "htconfig.h"
#include "htmlgen.h"
#include "memory.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Records every call and writes "[name]" when it fits, as the contract asks.
struct recorder {
    std::vector<std::string> names;
    std::vector<uint32_t> spaces;
};

uint32_t record_directive(char *out, uint32_t space, const char *name, void *user)
{
    auto *r = static_cast<recorder *>(user);
    r->names.push_back(name);
    r->spaces.push_back(space);
    const std::string text = "[" + std::string(name) + "]";
    if (text.size() > space - 1)
        return 0;
    memcpy(out, text.data(), text.size());
    return static_cast<uint32_t>(text.size());
}

uint32_t greedy_directive(char *out, uint32_t space, const char *, void *)
{
    memset(out, 'G', space);  // breaks the contract: leaves no room for the terminator
    return space;
}

// Expands into a buffer of exactly `capacity` bytes; checks the terminator
// and that the count agrees with the text.
std::string expand(const char *tmpl, uint32_t capacity, directive_fn fn = nullptr, void *user = nullptr)
{
    std::vector<char> out(capacity + 1, '#');
    const uint32_t n = expand_template(out.data(), capacity, tmpl, fn, user);
    EXPECT_LT(n, capacity);
    EXPECT_EQ(out[capacity], '#') << "wrote past the capacity";
    EXPECT_EQ(out[n], 0);
    EXPECT_EQ(strlen(out.data()), n);
    return std::string(out.data(), n);
}

// The configuration store with its defaults, for the "$" directives.
class TemplateExpander : public ::testing::Test {
protected:
    void SetUp() override
    {
        cfg_create(&g_config);
        cfg_defaults(&g_config, "/srv/root");
    }
    void TearDown() override { cfg_free(&g_config); }
};

}  // namespace

TEST_F(TemplateExpander, LiteralTextIsCopiedAndCutAtCapacityLessOne)
{
    const char *text = "plain text, no directives";
    const size_t len = strlen(text);
    struct Case {
        uint32_t capacity;
        size_t kept;
    };
    const Case cases[] = {{1, 0},
                          {2, 1},
                          {5, 4},
                          {static_cast<uint32_t>(len), len - 1},
                          {static_cast<uint32_t>(len + 1), len},
                          {static_cast<uint32_t>(len + 50), len}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.capacity);
        EXPECT_EQ(expand(text, c.capacity), std::string(text, c.kept));
    }
}

TEST_F(TemplateExpander, ZeroCapacityWritesNothing)
{
    char byte = '#';
    EXPECT_EQ(expand_template(&byte, 0, "abc", nullptr, nullptr), 0u);
    EXPECT_EQ(byte, '#');
}

TEST_F(TemplateExpander, DoubledIntroducersYieldOneByteWithoutCallback)
{
    recorder r;
    EXPECT_EQ(expand("100%% of $$5", 64, record_directive, &r), "100% of $5");
    EXPECT_TRUE(r.names.empty());
}

TEST_F(TemplateExpander, DoubledIntroducerNeedsRoom)
{
    EXPECT_EQ(expand("ab%%", 3, nullptr), "ab");
    EXPECT_EQ(expand("ab%%", 4, nullptr), "ab%");
}

TEST_F(TemplateExpander, PercentDirectivesGoToTheCallbackWithSpaceLeft)
{
    recorder r;
    EXPECT_EQ(expand("a%xb%(OdN)c", 40, record_directive, &r), "a[x]b[OdN]c");
    EXPECT_EQ(r.names, (std::vector<std::string>{"x", "OdN"}));
    // Space left counts the terminator's byte: 40 - 1 written, then 40 - 5.
    EXPECT_EQ(r.spaces, (std::vector<uint32_t>{39, 35}));
}

TEST_F(TemplateExpander, CallbackTextThatDoesNotFitIsLeftOut)
{
    recorder r;
    // "[long]" needs 6 bytes; after "ab" only 5 remain of the 8 - 1.
    EXPECT_EQ(expand("ab%(long)cd", 8, record_directive, &r), "abcd");
    EXPECT_EQ(r.names.size(), 1u);
}

TEST_F(TemplateExpander, WithoutCallbackPercentDirectivesVanish)
{
    EXPECT_EQ(expand("a%xb%(name)c%%d", 64, nullptr), "abc%d");
}

TEST_F(TemplateExpander, BothKindsExpandInOrderOfPosition)
{
    recorder r;
    EXPECT_EQ(expand("%a$connectiontimeout%b$(serverport)%c", 64, record_directive, &r), "[a]10[b]80[c]");
    EXPECT_EQ(r.names, (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(TemplateExpander, ParenthesisedNameOfSixtyTwoBytesIsPassed)
{
    const std::string name(62, 'n');
    const std::string tmpl = "<%(" + name + ")>";
    recorder r;
    std::vector<char> out(256);
    expand_template(out.data(), 256, tmpl.c_str(), record_directive, &r);
    ASSERT_EQ(r.names.size(), 1u);
    EXPECT_EQ(r.names[0], name);
    EXPECT_EQ(std::string(out.data()), "<[" + name + "]>");
}

TEST_F(TemplateExpander, ParenthesisedNameOfSixtyThreeBytesVanishes)
{
    for (size_t len : {63u, 64u, 200u}) {
        SCOPED_TRACE(len);
        const std::string tmpl = "<%(" + std::string(len, 'n') + ")>";
        recorder r;
        EXPECT_EQ(expand(tmpl.c_str(), 512, record_directive, &r), "<>");
        EXPECT_TRUE(r.names.empty());
    }
}

TEST_F(TemplateExpander, VariablesMatchLowerCaseKeysOnly)
{
    struct Case {
        const char *tmpl;
        const char *result;
    };
    const Case cases[] = {
        {"t=$connectiontimeout;", "t=10;"},   {"t=$ConnectionTimeOut;", "t=;"},
        {"t=$CONNECTIONTIMEOUT;", "t=;"},     {"t=$(connectiontimeout);", "t=10;"},
        {"t=$(ConnectionTimeOut);", "t=;"},   {"$indexfile/$readmefile", "index.html/README"},
        {"$servername!", "?The serverName!"}, {"$nosuchsetting.", "."},
        {"$(no such setting).", "."},         {"$urimapping", "/srv/root"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.tmpl);
        EXPECT_EQ(expand(c.tmpl, 128), c.result);
    }
}

TEST_F(TemplateExpander, BareNameEndsAtFirstNonNameByte)
{
    EXPECT_EQ(expand("$serverport-$serverport_x.$serverport9", 64), "80-.");
    // A "$" before a byte that is no name byte looks up the empty name.
    EXPECT_EQ(expand("a$-b$ c$", 64), "a-b c");
}

TEST_F(TemplateExpander, BareNameIsCutAtSixtyThreeBytes)
{
    const std::string key(63, 'k');
    ASSERT_NE(cfg_add_default(&g_config, key.c_str(), CFG_INDEX, "V"), nullptr);
    // The 64th and 65th name bytes are literal text.
    const std::string tmpl = "$" + std::string(65, 'k') + "|";
    EXPECT_EQ(expand(tmpl.c_str(), 256), "Vkk|");
}

TEST_F(TemplateExpander, ParenthesisedVariableNameLimits)
{
    ASSERT_NE(cfg_add_default(&g_config, std::string(62, 'v').c_str(), CFG_INDEX, "62"), nullptr);
    ASSERT_NE(cfg_add_default(&g_config, std::string(63, 'v').c_str(), CFG_INDEX, "63"), nullptr);
    EXPECT_EQ(expand(("<$(" + std::string(62, 'v') + ")>").c_str(), 256), "<62>");
    EXPECT_EQ(expand(("<$(" + std::string(63, 'v') + ")>").c_str(), 256), "<>");
}

TEST_F(TemplateExpander, EntryWithoutValueShowsItsKey)
{
    ASSERT_NE(cfg_add(&g_config, "Plain", CFG_HTTPD, "text", 4), nullptr);
    EXPECT_EQ(expand("<$plain>", 64), "<plain>");
}

TEST_F(TemplateExpander, VariableThatDoesNotFitEndsTheExpansion)
{
    recorder r;
    // "10" needs n + 2 < capacity - 1.
    EXPECT_EQ(expand("$connectiontimeout%x tail", 3, record_directive, &r), "");
    EXPECT_TRUE(r.names.empty());
    EXPECT_EQ(expand("$connectiontimeout tail", 4), "10 ");
    EXPECT_EQ(expand("ab$(connectiontimeout)cd", 5), "ab");
    EXPECT_EQ(expand("ab$(connectiontimeout)cd", 6), "ab10c");
}

TEST_F(TemplateExpander, LiteralRunThatDoesNotFitStopsLaterDirectives)
{
    recorder r;
    EXPECT_EQ(expand("abcdef%x", 4, record_directive, &r), "abc");
    EXPECT_TRUE(r.names.empty());
}

TEST_F(TemplateExpander, AbsentTemplateReadsNotAvailableButCountsZero)
{
    std::vector<char> out(16, '#');
    EXPECT_EQ(expand_template(out.data(), 16, nullptr, nullptr, nullptr), 0u);
    EXPECT_STREQ(out.data(), "N/A");
    EXPECT_EQ(expand_template(out.data(), 5, nullptr, nullptr, nullptr), 0u);
    EXPECT_STREQ(out.data(), "N/A");
    EXPECT_EQ(expand_template(out.data(), 4, nullptr, nullptr, nullptr), 0u);
    EXPECT_STREQ(out.data(), "");
}

TEST_F(TemplateExpander, UnfinishedDirectiveEndsTheTemplate)
{
    recorder r;
    EXPECT_EQ(expand("abc%", 64, record_directive, &r), "abc");
    EXPECT_EQ(expand("abc%(never closed", 64, record_directive, &r), "abc");
    EXPECT_EQ(expand("abc$(never closed", 64, record_directive, &r), "abc");
    EXPECT_EQ(expand("abc$", 64, record_directive, &r), "abc");
    EXPECT_TRUE(r.names.empty());
}

TEST_F(TemplateExpander, UserDataReachesEveryCall)
{
    recorder r;
    expand("%a%b%(c)", 64, record_directive, &r);
    EXPECT_EQ(r.names.size(), 3u);
}

TEST_F(TemplateExpander, CallbackBreakingTheContractIsCaught)
{
    std::vector<char> out(16);
    EXPECT_DEATH(expand_template(out.data(), 16, "a%x", greedy_directive, nullptr), "Assertion failed");
}

TEST_F(TemplateExpander, VariablesNeedAStore)
{
    cfg_free(&g_config);
    EXPECT_EQ(expand("[$connectiontimeout]", 64), "[]");
    cfg_create(&g_config);
}

TEST_F(TemplateExpander, PageFromTemplateFitsTheBlockToTheText)
{
    const int32_t blocks = n_blocks;
    text_block *tb = page_from_template("port $serverport, 100%%, %x gone");
    ASSERT_NE(tb, nullptr);
    EXPECT_EQ(std::string(tb->data, tb->size), "port 80, 100%,  gone");
    EXPECT_EQ(n_blocks, blocks + 1);
    text_block_free(tb);
    EXPECT_EQ(n_blocks, blocks);
}

TEST_F(TemplateExpander, PageFromTemplateCapacityBoundsTheExpansion)
{
    // 28 bytes of template give 28 + 7 + 256 bytes of room: one copy of the
    // 261-byte index page template fits, the second ends the expansion.
    text_block *tb = page_from_template("$indextemplate$indextemplate");
    ASSERT_NE(tb, nullptr);
    EXPECT_EQ(std::string(tb->data, tb->size), g_config.index_template);
    text_block_free(tb);

    const std::string body(1000, 'x');
    tb = page_from_template((body + "$indextemplate").c_str());
    ASSERT_NE(tb, nullptr);
    EXPECT_EQ(std::string(tb->data, tb->size), body + g_config.index_template);
    text_block_free(tb);
}
