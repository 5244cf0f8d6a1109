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

}  // namespace

TEST(TemplateExpander, TemplatesExpandWithinTheirCapacity)
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
        // A doubled "%" gives one byte, without the callback, when there is room; "$" is text.
        {"100%% of $$5", 64, true, "100% of $$5", ""},
        {"ab%%", 3, false, "ab", ""},
        {"ab%%", 4, false, "ab%", ""},
        // "%" directives go to the callback, or vanish without one.
        {"a%xb%(name)c%%d", 64, false, "abc%d", ""},
        {"ab%(long)cd", 8, true, "abcd", "long"},  // "[long]" does not fit: left out
        {"<%(" + n62 + ")>", 256, true, "<[" + n62 + "]>", n62},
        {"<%(" + n63 + ")>", 512, true, "<>", ""},
        {"<%(" + std::string(200, 'n') + ")>", 512, true, "<>", ""},
        // A literal run that does not fit ends the expansion.
        {"abcdef%x", 4, true, "abc", ""},
        // An unfinished directive ends the template.
        {"abc%", 64, true, "abc", ""},
        {"abc%(never closed", 64, true, "abc", ""},
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

TEST(TemplateExpander, ZeroCapacityWritesNothing)
{
    char byte = '#';
    EXPECT_EQ(expand_template(&byte, 0, "abc", nullptr, nullptr), 0u);
    EXPECT_EQ(byte, '#');
}

TEST(TemplateExpander, PercentDirectivesGoToTheCallbackWithSpaceLeft)
{
    recorder r;
    EXPECT_EQ(expand("a%xb%(OdN)c", 40, record_directive, &r), "a[x]b[OdN]c");
    EXPECT_EQ(r.names, (std::vector<std::string>{"x", "OdN"}));
    // Space left counts the terminator's byte: 40 - 1 written, then 40 - 5.
    EXPECT_EQ(r.spaces, (std::vector<uint32_t>{39, 35}));
}

TEST(TemplateExpander, AbsentTemplateReadsNotAvailableButCountsZero)
{
    std::vector<char> out(16, '#');
    EXPECT_EQ(expand_template(out.data(), 16, nullptr, nullptr, nullptr), 0u);
    EXPECT_STREQ(out.data(), "N/A");
    EXPECT_EQ(expand_template(out.data(), 5, nullptr, nullptr, nullptr), 0u);
    EXPECT_STREQ(out.data(), "N/A");
    EXPECT_EQ(expand_template(out.data(), 4, nullptr, nullptr, nullptr), 0u);
    EXPECT_STREQ(out.data(), "");
}

TEST(TemplateExpander, CallbackBreakingTheContractIsCaught)
{
    std::vector<char> out(16);
    EXPECT_DEATH(expand_template(out.data(), 16, "a%x", greedy_directive, nullptr), "Assertion failed");
}

TEST(TemplateExpander, PageFromTemplateFitsTheBlockToTheText)
{
    const int32_t blocks = n_blocks;
    text_block *tb = page_from_template("port $80, 100%%, %x gone");
    ASSERT_NE(tb, nullptr);
    EXPECT_EQ(std::string(tb->data, tb->size), "port $80, 100%,  gone");
    EXPECT_EQ(n_blocks, blocks + 1);
    text_block_free(tb);
    EXPECT_EQ(n_blocks, blocks);
}
