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

TEST_F(TemplateExpander, TemplatesExpandWithinTheirCapacity)
{
    const std::string text = "plain text, no directives";  // 25 bytes
    const std::string n62(62, 'n'), n63(63, 'n');
    const struct {
        std::string tmpl;
        uint32_t capacity;
        bool callback;       // with record_directive, else none
        std::string result;  // what is written
        std::string calls;   // the names the callback was given, joined by ","
    } cases[] = {
        // Literal text is cut at the capacity less one.
        {text, 1, false, "", ""},
        {text, 2, false, "p", ""},
        {text, 25, false, text.substr(0, 24), ""},
        {text, 26, false, text, ""},
        {text, 75, false, text, ""},
        // Doubled introducers give one byte, without the callback, when there is room.
        {"100%% of $$5", 64, true, "100% of $5", ""},
        {"ab%%", 3, false, "ab", ""},
        {"ab%%", 4, false, "ab%", ""},
        // "%" directives go to the callback, or vanish without one.
        {"a%xb%(name)c%%d", 64, false, "abc%d", ""},
        {"ab%(long)cd", 8, true, "abcd", "long"},  // "[long]" does not fit: left out
        {"%a$connectiontimeout%b$(serverport)%c", 64, true, "[a]10[b]80[c]", "a,b,c"},
        {"<%(" + n62 + ")>", 256, true, "<[" + n62 + "]>", n62},
        {"<%(" + n63 + ")>", 512, true, "<>", ""},
        {"<%(" + std::string(200, 'n') + ")>", 512, true, "<>", ""},
        // "$" names match lower-case keys only; a bare name ends at the first non-name byte.
        {"t=$connectiontimeout;", 128, false, "t=10;", ""},
        {"t=$ConnectionTimeOut;", 128, false, "t=;", ""},
        {"t=$CONNECTIONTIMEOUT;", 128, false, "t=;", ""},
        {"t=$(connectiontimeout);", 128, false, "t=10;", ""},
        {"t=$(ConnectionTimeOut);", 128, false, "t=;", ""},
        {"$indexfile/$readmefile", 128, false, "index.html/README", ""},
        {"$servername!", 128, false, "?The serverName!", ""},
        {"$nosuchsetting.", 128, false, ".", ""},
        {"$(no such setting).", 128, false, ".", ""},
        {"$urimapping", 128, false, "/srv/root", ""},
        {"$serverport-$serverport_x.$serverport9", 64, false, "80-.", ""},
        {"a$-b$ c$", 64, false, "a-b c", ""},  // "$" before a non-name byte: the empty name
        // A value or a literal run that does not fit ends the expansion ("10" needs n + 2 < capacity - 1).
        {"$connectiontimeout%x tail", 3, true, "", ""},
        {"$connectiontimeout tail", 4, false, "10 ", ""},
        {"ab$(connectiontimeout)cd", 5, false, "ab", ""},
        {"ab$(connectiontimeout)cd", 6, false, "ab10c", ""},
        {"abcdef%x", 4, true, "abc", ""},
        // An unfinished directive ends the template.
        {"abc%", 64, true, "abc", ""},
        {"abc%(never closed", 64, true, "abc", ""},
        {"abc$(never closed", 64, true, "abc", ""},
        {"abc$", 64, true, "abc", ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.tmpl.substr(0, 40) + " in " + std::to_string(c.capacity));
        recorder r;
        EXPECT_EQ(expand(c.tmpl.c_str(), c.capacity, c.callback ? record_directive : nullptr, &r), c.result);
        std::string calls;
        for (const std::string &name : r.names)
            calls += (calls.empty() ? "" : ",") + name;
        EXPECT_EQ(calls, c.calls);
    }
}

TEST_F(TemplateExpander, ZeroCapacityWritesNothing)
{
    char byte = '#';
    EXPECT_EQ(expand_template(&byte, 0, "abc", nullptr, nullptr), 0u);
    EXPECT_EQ(byte, '#');
}

TEST_F(TemplateExpander, PercentDirectivesGoToTheCallbackWithSpaceLeft)
{
    recorder r;
    EXPECT_EQ(expand("a%xb%(OdN)c", 40, record_directive, &r), "a[x]b[OdN]c");
    EXPECT_EQ(r.names, (std::vector<std::string>{"x", "OdN"}));
    // Space left counts the terminator's byte: 40 - 1 written, then 40 - 5.
    EXPECT_EQ(r.spaces, (std::vector<uint32_t>{39, 35}));
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
    // 140 bytes of template give 140 + 35 + 256 bytes of room: one copy of the
    // 376-byte index page template fits, the second ends the expansion.
    std::string ten;
    for (int i = 0; i < 10; ++i)
        ten += "$indextemplate";
    text_block *tb = page_from_template(ten.c_str());
    ASSERT_NE(tb, nullptr);
    EXPECT_EQ(std::string(tb->data, tb->size), g_config.index_template);
    text_block_free(tb);

    const std::string body(1000, 'x');
    tb = page_from_template((body + "$indextemplate").c_str());
    ASSERT_NE(tb, nullptr);
    EXPECT_EQ(std::string(tb->data, tb->size), body + g_config.index_template);
    text_block_free(tb);
}
