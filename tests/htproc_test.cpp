// Method and header lookups, string helpers, and request-target processing.
#include "htproc.h"
#include "memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// Where the mapping functions write their results.
char mapped_out[MAPPED_PATH_MAX + 1];
char index_out[INDEX_PATH_MAX + 1];

// ---------------------------------------------------------------------------
// String helpers

TEST(StringHelpers, FoldChangesCaseInPlaceAndReturnsTheString)
{
    char a[] = "MiXeD-Case 1.1";
    EXPECT_EQ(fold_lower(a), a);
    EXPECT_STREQ(a, "mixed-case 1.1");
    EXPECT_EQ(fold_upper(a), a);
    EXPECT_STREQ(a, "MIXED-CASE 1.1");
    char b[] = "\xC9t\xE9";  // bytes above 127 stay as they are
    fold_upper(b);
    EXPECT_STREQ(b, "\xC9T\xE9");
}

TEST(StringHelpers, TrimBlanksCutsWhiteSpaceOnBothSides)
{
    const struct {
        const char *in, *out;
    } cases[] = {
        {"  value \t\r\n", "value"},
        {"\v\fa b\t", "a b"},
        {"", ""},
        {" \t\r\n\v\f", ""},
        {"x", "x"},
        {"\xA0word\xA0", "\xA0word\xA0"},  // bytes of 128 and above are not blank
        {" \xA0 ", "\xA0"},
    };
    for (const auto &c : cases) {
        std::string buf = c.in;
        char *r = trim_blanks(buf.data());
        EXPECT_STREQ(r, c.out) << '"' << c.in << '"';
        EXPECT_GE(r, buf.data());
    }
}

// ---------------------------------------------------------------------------
// Methods and header names

TEST(MethodTable, TokensMatchExactlyApartFromCase)
{
    const struct {
        const char *token;
        int32_t code;
    } cases[] = {
        {"OPTIONS", 1},
        {"GET", 2},
        {"get", 2},
        {"HEAD", 3},
        {"HeAd", 3},
        {"POST", 4},
        {"PUT", 5},
        {"put", 5},
        {"DELETE", 6},
        {"TRACE", 7},
        {"CONNECT", 8},
        {"FOO", 9},
        {"GETS", 9},
        {"GE", 9},
        {"P", 9},
        {"POSTS", 9},
        {"", 9},
        {"\xC7"
         "ET",
         9},
    };
    for (const auto &c : cases) {
        std::string buf = c.token;
        EXPECT_EQ(lookup_method(buf.data()), c.code) << c.token;
    }
}

// The names the server acts on (Range, Connection, Content-Length,
// Transfer-Encoding) are checked in any case on the wire.
TEST(HeaderTable, UnknownNamesGetTheUnknownCode)
{
    for (const char *name :
         {"", "a", "accept-", "zzz", "x-forwarded-for", "host ", " host", "rangee", "content-type", "\xFF"}) {
        std::string buf = name;
        EXPECT_EQ(lookup_header(buf.data()), HDR_UNKNOWN) << '"' << name << '"';
    }
}

// ---------------------------------------------------------------------------
// split_target

struct split_case {
    const char *target;
    const char *path;  // null: not accepted
    const char *host;
    int32_t port;
    const char *query;
};

TEST(SplitTarget, PathAndAbsoluteForms)
{
    const split_case cases[] = {
        {"/", "/", nullptr, -1, nullptr},
        {"/a?b", "/a", nullptr, -1, "b"},
        {"/docs?x", "/docs", nullptr, -1, "x"},
        {"/a?", "/a", nullptr, -1, ""},
        {"/a#frag", "/a", nullptr, -1, nullptr},
        {"/a#b#c", "/a#b", nullptr, -1, nullptr},
        {"/a?b#c", "/a", nullptr, -1, "b#c"},
        {"/a?b?c", "/a", nullptr, -1, "b?c"},
        {"http://h:81/a?b", "/a", "h", 81, "b"},
        {"http://example.org/x/y", "/x/y", "example.org", 80, nullptr},
        {"http:///a", "/a", nullptr, 0, nullptr},
        {"http:///a?q", "/a", nullptr, 0, "q"},
        {"http://h", "/", "h", 80, nullptr},
        {"http://h?q", "/", "h", 80, "q"},
        {"http://h:8080?q", "/", "h", 8080, "q"},
        {"http://?q", "/", nullptr, 0, "q"},
        {"http://", "/", nullptr, 0, nullptr},
        {"http://h:x/", "/", "h", 0, nullptr},
        {"http://h:/", "/", "h", 0, nullptr},
        {"http://h:99999999999/", "/", "h", INT32_MAX, nullptr},
        {"http://h?x/y", "/y", "h?x", 80, nullptr},
        {"*", nullptr, nullptr, 0, nullptr},
        {"a/b", nullptr, nullptr, 0, nullptr},
        {"", nullptr, nullptr, 0, nullptr},
        {"HTTP://h/", nullptr, nullptr, 0, nullptr},
        {"https://h/", nullptr, nullptr, 0, nullptr},
        {"http:/a", nullptr, nullptr, 0, nullptr},
    };
    for (const split_case &c : cases) {
        std::string buf = c.target;
        char *host = reinterpret_cast<char *>(1);
        char *query = reinterpret_cast<char *>(1);
        int32_t port = 12345;
        char *path = split_target(buf.data(), &host, &port, &query);
        if (!c.path) {
            EXPECT_EQ(path, nullptr) << c.target;
            continue;
        }
        ASSERT_NE(path, nullptr) << c.target;
        EXPECT_STREQ(path, c.path) << c.target;
        if (c.host)
            EXPECT_STREQ(host, c.host) << c.target;
        else
            EXPECT_EQ(host, nullptr) << c.target;
        EXPECT_EQ(port, c.port) << c.target;
        if (c.query)
            EXPECT_STREQ(query, c.query) << c.target;
        else
            EXPECT_EQ(query, nullptr) << c.target;
    }
}

// ---------------------------------------------------------------------------
// uri_decode and path_clean

std::string decoded(const char *s)
{
    std::string buf = s;
    return uri_decode(buf.data());  // stops at a decoded zero byte
}

std::string cleaned(const char *s)
{
    std::string buf = s;
    return path_clean(buf.data());
}

TEST(UriDecode, EscapesBecomeBytes)
{
    const struct {
        const char *in, *out;
    } cases[] = {
        {"/a%20b.html", "/a b.html"},
        {"/a%2Fb", "/a/b"},
        {"/%2e%2E/secret", "/../secret"},
        {"/docs%3Fx", "/docs?x"},
        {"%41%4a%6A%7e", "AJj~"},
        {"%E9", "\xE9"},
        {"%e9%FF", "\xE9\xFF"},
        {"a+b", "a+b"},
        {"%", "%"},
        {"%4", "%4"},
        {"ab%2", "ab%2"},
        {"%%41", "T1"},    // "%" = 37: ((37-48)*16 + 4) mod 256 = 84
        {"%zz", "S"},      // not rejected: (35*16 + 35) mod 256 = 83
        {"/a%00b", "/a"},  // a decoded zero byte ends the path
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(decoded(c.in), c.out) << c.in;
}

TEST(PathClean, DotSegmentsAndDoubledSlashesGo)
{
    const struct {
        const char *in, *out;
    } cases[] = {
        {"/a/./b", "/a/b"},
        {"/a//b", "/a/b"},
        {"/a/b/../c", "/a/c"},
        {"/a/b/..", "/a"},
        {"/a/.../b", "/b"},
        {"/..", ""},
        {"/.", ""},
        {"/", "/"},
        {"/a/", "/a/"},
        {"//a///b//", "/a/b/"},
        {"/../../secret", "/secret"},
        {"/a/b/../../..", ""},
        {"/a/./../b", "/b"},
        {"/a/b/../", "/a/"},
        {"/.profile", "/.profile"},
        {"/..x/y", "/..x/y"},
        {"/x../y", "/x../y"},
        {"/a/....txt", ""},          // three or more dots start a climbing segment
        {"/a\\..\\b", "/a\\..\\b"},  // only "/" separates segments
        {"/a/%2e", "/a/%2e"},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(cleaned(c.in), c.out) << c.in;
}

TEST(PathClean, EncodedDotSegmentsNeverClimbAboveTheTop)
{
    std::string buf = "/%2e%2e/secret";
    EXPECT_STREQ(path_clean(uri_decode(buf.data())), "/secret");
    buf = "/a/%2E%2E%2f%2e%2e%2F..%2fetc/passwd";
    EXPECT_STREQ(path_clean(uri_decode(buf.data())), "/etc/passwd");
}

// Splits a path at "/" into its segments.
std::vector<std::string> segments(const std::string &path)
{
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t end = path.find('/', pos);
        if (end == std::string::npos)
            end = path.size();
        out.push_back(path.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

TEST(PathClean, HostilePathsLeaveNoDotSegmentsAndStayBelowTheRoot)
{
    const char alphabet[] = {'/', '/', '.', '.', '.', 'a', '%', '2', 'e', 'E', 'f', 'F', '\\'};
    std::mt19937 rng(20240601);
    const char *const root_list[] = {"/srv/www", nullptr};
    for (int round = 0; round < 20000; ++round) {
        std::string path = "/";
        size_t length = rng() % 24;
        for (size_t i = 0; i < length; ++i)
            path += alphabet[rng() % sizeof alphabet];
        std::string buf = path;
        std::string clean = path_clean(uri_decode(buf.data()));
        ASSERT_LE(clean.size(), path.size());
        auto parts = segments(clean);
        for (const std::string &s : parts) {
            ASSERT_NE(s, ".") << path << " -> " << clean;
            ASSERT_NE(s, "..") << path << " -> " << clean;
        }
        ASSERT_TRUE(clean.empty() || clean[0] == '/') << path << " -> " << clean;
        const char *mapped = map_uri(clean.c_str(), root_list, mapped_out);
        ASSERT_NE(mapped, nullptr);
        ASSERT_EQ(std::strncmp(mapped, "/srv/www/", 9), 0) << mapped;
    }
}

// ---------------------------------------------------------------------------
// map_uri, path_allowed, with_index_file

TEST(MapUri, RootAloneMapsEveryPathBelowIt)
{
    const char *const list[] = {"c:/webhome", nullptr};
    EXPECT_STREQ(map_uri("/docs/a.html", list, mapped_out), "c:/webhome/docs/a.html");
    EXPECT_STREQ(map_uri("", list, mapped_out), "c:/webhome/");
    EXPECT_STREQ(map_uri("/", list, mapped_out), "c:/webhome/");
    const char *const slashed[] = {"c:/webhome/", nullptr};
    EXPECT_STREQ(map_uri("/x", slashed, mapped_out), "c:/webhome/x");
    EXPECT_STREQ(map_uri("", slashed, mapped_out), "c:/webhome/");
}

TEST(MapUri, PairsThenDefault)
{
    const char *const list[] = {"/pub", "/srv/pub/", "/doc", "/usr/doc", "/srv/www", nullptr};
    EXPECT_STREQ(map_uri("/pub/a", list, mapped_out), "/srv/pub/a");
    EXPECT_STREQ(map_uri("/pubx", list, mapped_out), "/srv/pub/x");  // a byte prefix
    EXPECT_STREQ(map_uri("/doc", list, mapped_out), "/usr/doc/");
    EXPECT_STREQ(map_uri("/other", list, mapped_out), "/srv/www/other");

    const char *const no_default[] = {"/pub", "/srv/pub", nullptr};
    EXPECT_EQ(map_uri("/other", no_default, mapped_out), nullptr);
    EXPECT_STREQ(map_uri("/pub/x", no_default, mapped_out), "/srv/pub/x");

    // A pair with an empty prefix never wins; the walk then ends at the
    // string without a partner, which is the default.
    const char *const empty_prefix[] = {"", "/x", "/d", nullptr};
    EXPECT_STREQ(map_uri("/a", empty_prefix, mapped_out), "/d/a");

    const char *const nothing[] = {nullptr};
    EXPECT_EQ(map_uri("/a", nothing, mapped_out), nullptr);
    const char *const empty_default[] = {"", nullptr};
    EXPECT_EQ(map_uri("/a", empty_default, mapped_out), nullptr);
}

TEST(MapUri, PrefixEndingInsideASegmentCannotClimbOut)
{
    const char *const list[] = {"/x", "/srv/x", "/srv/www", nullptr};
    EXPECT_EQ(map_uri("/x..", list, mapped_out), nullptr);
    EXPECT_EQ(map_uri("/x../etc/passwd", list, mapped_out), nullptr);
    EXPECT_STREQ(map_uri("/x...", list, mapped_out), "/srv/x/...");
    EXPECT_STREQ(map_uri("/x..y", list, mapped_out), "/srv/x/..y");
    EXPECT_STREQ(map_uri("/x/..y", list, mapped_out), "/srv/x/..y");
}

TEST(MapUri, ResultIsBoundedAt514Bytes)
{
    // Target and rest together below 514 bytes are mapped; the result,
    // with the slash put between them, is at most 514 bytes long.
    std::string target = "/t" + std::string(400, 't');
    const char *const list[] = {"/p", target.c_str(), nullptr};
    std::string rest(513 - target.size(), 'r');
    std::string path = "/p" + rest;
    const char *mapped = map_uri(path.c_str(), list, mapped_out);
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(std::strlen(mapped), 514u);
    EXPECT_EQ(std::string(mapped), target + "/" + rest);
    path += "r";
    EXPECT_EQ(map_uri(path.c_str(), list, mapped_out), nullptr);

    std::string root = "/root";
    const char *const root_list[] = {root.c_str(), nullptr};
    std::string long_path = "/" + std::string(512 - root.size(), 'a');  // 513 together
    mapped = map_uri(long_path.c_str(), root_list, mapped_out);
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(std::strlen(mapped), 513u);
    long_path += "a";
    EXPECT_EQ(map_uri(long_path.c_str(), root_list, mapped_out), nullptr);
}

TEST(PathAllowed, FirstPrefixAllows)
{
    const char *const list[] = {"/srv/www", "/srv", nullptr};
    EXPECT_EQ(path_allowed("/srv/www/a", list), list[0]);
    EXPECT_EQ(path_allowed("/srv/other", list), list[1]);
    EXPECT_EQ(path_allowed("/etc/passwd", list), nullptr);
    EXPECT_EQ(path_allowed("/sr", list), nullptr);
    const char *const everything[] = {"", nullptr};
    EXPECT_EQ(path_allowed("/anything", everything), everything[0]);
    const char *const none[] = {nullptr, "/srv"};
    EXPECT_EQ(path_allowed("/srv/x", none), nullptr);
}

TEST(IndexFile, AppendedToDirectoryPaths)
{
    EXPECT_STREQ(with_index_file("/srv/www/", "index.html", index_out), "/srv/www/index.html");
    EXPECT_STREQ(with_index_file("", "index.html", index_out), "index.html");
    EXPECT_EQ(with_index_file("/srv/www/a", "index.html", index_out), nullptr);
    EXPECT_EQ(with_index_file("/srv/www/", nullptr, index_out), nullptr);
}

TEST(IndexFile, CandidateIsBoundedAt258Bytes)
{
    std::string dir = std::string(247, 'd') + "/";  // 248 + 10 = 258
    const char *candidate = with_index_file(dir.c_str(), "index.html", index_out);
    ASSERT_NE(candidate, nullptr);
    EXPECT_EQ(std::strlen(candidate), 258u);
    EXPECT_EQ(std::string(candidate), dir + "index.html");
    dir = std::string(248, 'd') + "/";  // 259
    EXPECT_EQ(with_index_file(dir.c_str(), "index.html", index_out), nullptr);
}

// ---------------------------------------------------------------------------
// uri_encode

TEST(UriEncode, ReservedAndHighBytesAreEscaped)
{
    EXPECT_STREQ(uri_encode("a b&c.txt"), "a%20b%26c.txt");
    EXPECT_STREQ(uri_encode("\xE9"), "%E9");
    EXPECT_STREQ(uri_encode(" !@#$%^&*+~`<>?\"':;"), "%20%21%40%23%24%25%5E%26%2A%2B%7E%60%3C%3E%3F%22%27%3A%3B");
    EXPECT_STREQ(uri_encode("\x01\x1F\x7F"), "%01%1F%7F");
    // What a browser would rewrite in a path is escaped; the rest stays.
    EXPECT_STREQ(uri_encode("/docs/a-b_c.(1),[2]{3}=x|y\\z"), "/docs/a-b_c.(1),[2]%7B3%7D=x%7Cy%5Cz");
    EXPECT_STREQ(uri_encode(""), "");
}

TEST(UriEncode, ResultIsCutAt1023Bytes)
{
    std::string plain(1100, 'a');
    EXPECT_EQ(std::string(uri_encode(plain.c_str())), std::string(1023, 'a'));

    // An escape still fits when the result holds 1020 bytes.
    std::string s = std::string(1020, 'a') + " b";
    EXPECT_EQ(std::string(uri_encode(s.c_str())), std::string(1020, 'a') + "%20");

    // With 1021 bytes an escape is dropped, but later plain bytes still go in.
    s = std::string(1021, 'a') + " bcd";
    EXPECT_EQ(std::string(uri_encode(s.c_str())), std::string(1021, 'a') + "bc");

    std::string high(600, '\xE9');
    std::string r = uri_encode(high.c_str());
    EXPECT_EQ(r.size(), 1023u);
    EXPECT_EQ(r.substr(0, 6), "%E9%E9");
}

}  // namespace
