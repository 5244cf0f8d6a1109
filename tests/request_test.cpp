// The request reader and HTTP dates.
#include "request.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A head being read from bytes that arrive in pieces, as a connection's
// input buffer takes them: `tail` bytes read, `head` bytes arrived.
struct test_task {
    request_head t{};
    char in[16384];
    uint32_t tail = 0, head = 0;

    read_result feed(const std::string &bytes)
    {
        EXPECT_LE(head + bytes.size(), sizeof in);
        std::memcpy(in + head, bytes.data(), bytes.size());
        head += static_cast<uint32_t>(bytes.size());
        size_t used;
        const read_result r = read_request(&t, in + tail, head - tail, &used);
        tail += static_cast<uint32_t>(used);
        return r;
    }
};

// What the reader made of a request, for comparing two readings.
struct parsed {
    read_result result;
    uint32_t consumed;
    int32_t method;
    std::string uri;
    int32_t version;
    int32_t keep_alive;
    std::vector<std::pair<uint64_t, uint64_t>> ranges;

    bool operator==(const parsed &) const = default;
};

parsed outcome(const test_task &tt, read_result result)
{
    parsed p{result, tt.tail, tt.t.method, tt.t.uri ? tt.t.uri : "(null)", tt.t.version, tt.t.keep_alive, {}};
    for (int i = 0; i < tt.t.nranges; ++i)
        p.ranges.emplace_back(tt.t.ranges[i].first, tt.t.ranges[i].end);
    return p;
}

void PrintTo(const parsed &p, std::ostream *os)
{
    *os << "{result " << int(p.result) << ", consumed " << p.consumed << ", method " << p.method << ", uri \"" << p.uri
        << "\", version " << p.version << ", keep_alive " << p.keep_alive << ", " << p.ranges.size() << " ranges}";
}

// Reads `request` delivered in the given pieces, calling the reader after
// each piece until it reports a result.
parsed read_in_pieces(const std::string &request, const std::vector<size_t> &cuts)
{
    test_task tt;
    size_t from = 0;
    read_result r = READ_MORE;
    std::vector<size_t> ends = cuts;
    ends.push_back(request.size());
    for (size_t to : ends) {
        r = tt.feed(request.substr(from, to - from));
        from = to;
        if (r != READ_MORE)
            break;
    }
    return outcome(tt, r);
}

// ---------------------------------------------------------------------------
// Request reader

TEST(RequestReader, EverySplitPositionGivesTheSameRequest)
{
    const std::string requests[] = {
        "GET /index.html HTTP/1.1\r\nHost: example\r\nRange: bytes=10-19\r\n"
        "Connection: Keep-Alive\r\nUser-Agent: t\r\n\r\n",
        "\r\n\r\nHEAD /a%20b?x=1 HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
        "get /lf HTTP/1.1\nHost: t\nRange: bytes=-5\nConnection: close\n\n",
        "GET /short\r\n",
        "GET / HTTP/0.9\r\nIgnored: yes\r\n\r\n",
        "POST /form HTTP/1.1\r\nHost: t\r\nContent-Length: 3\r\n\r\nabc",
    };
    for (const std::string &request : requests) {
        parsed whole = read_in_pieces(request, {});
        ASSERT_EQ(whole.result, READ_DONE) << request;
        for (size_t cut = 1; cut < request.size(); ++cut)
            EXPECT_EQ(read_in_pieces(request, {cut}), whole) << "cut at " << cut << " of " << request;
        std::vector<size_t> bytewise;
        for (size_t cut = 1; cut < request.size(); ++cut)
            bytewise.push_back(cut);
        EXPECT_EQ(read_in_pieces(request, bytewise), whole) << "byte by byte: " << request;
    }
}

TEST(RequestReader, CarriageReturnAtEndOfReadWaitsForItsLineFeed)
{
    test_task tt;
    EXPECT_EQ(tt.feed("GET / HTTP/1.1\r"), READ_MORE);
    EXPECT_EQ(tt.t.method, METHOD_NONE);  // nothing consumed yet
    EXPECT_EQ(tt.tail, 0u);
    EXPECT_EQ(tt.feed("\nHost: t\r\nRange: bytes=0-9\r"), READ_MORE);
    EXPECT_EQ(tt.t.method, METHOD_GET);
    EXPECT_EQ(tt.feed("\n\r"), READ_MORE);
    EXPECT_EQ(tt.t.nranges, 1);
    EXPECT_EQ(tt.feed("\n"), READ_DONE);
    EXPECT_EQ(tt.tail, tt.head);
}

TEST(RequestReader, IncompleteLineConsumesNothing)
{
    test_task tt;
    EXPECT_EQ(tt.feed("GET / HTTP/1.1"), READ_MORE);
    EXPECT_EQ(tt.tail, 0u);
    EXPECT_EQ(tt.t.method, METHOD_NONE);
    EXPECT_EQ(tt.feed("\r\nHost: x\r\n"), READ_MORE);
    EXPECT_EQ(tt.tail, tt.head);
    EXPECT_EQ(tt.feed("\r\n"), READ_DONE);
}

TEST(RequestReader, EmptyLinesBeforeTheRequestLineAreSkipped)
{
    test_task tt;
    EXPECT_EQ(tt.feed("\r\n\r\n\r\n"), READ_MORE);
    EXPECT_EQ(tt.tail, tt.head);
    EXPECT_EQ(tt.feed("GET /x HTTP/1.1\r\nHost: t\r\n\r\n"), READ_DONE);
    EXPECT_STREQ(tt.t.uri, "/x");

    test_task lf;
    EXPECT_EQ(lf.feed("\n\n"), READ_MORE);
    EXPECT_EQ(lf.feed("GET /y HTTP/1.1\nHost: t\n\n"), READ_DONE);
    EXPECT_STREQ(lf.t.uri, "/y");
}

TEST(RequestReader, LeadingSpacesOfTheRequestLineAreSkipped)
{
    test_task tt;
    EXPECT_EQ(tt.feed("   GET   /sp   HTTP/1.1\r\nHost: t\r\nRange: bytes=1-2\r\n\r\n"), READ_DONE);
    EXPECT_EQ(tt.t.method, METHOD_GET);
    EXPECT_STREQ(tt.t.uri, "/sp");
    EXPECT_EQ(tt.t.version, 257);
    EXPECT_EQ(tt.t.nranges, 1);
}

TEST(RequestReader, BareLineFeedEndsTheLine)
{
    test_task tt;
    EXPECT_EQ(tt.feed("GET /a\nb HTTP/1.1\r\nHost: t\r\n\r\n"), READ_DONE);
    EXPECT_STREQ(tt.t.uri, "/a");
    EXPECT_EQ(tt.t.version, 0);
}

struct method_case {
    const char *line;
    read_result result;
    int32_t method;
};

TEST(RequestReader, MethodTokensFoldToTheirCodes)
{
    const method_case cases[] = {
        {"get / HTTP/1.1", READ_DONE, METHOD_GET},
        {"HeAd / HTTP/1.1", READ_DONE, METHOD_HEAD},
        {"OPTIONS * HTTP/1.1", READ_DONE, METHOD_OPTIONS},
        {"FOO / HTTP/1.1", READ_BAD, METHOD_UNKNOWN},
        {"GET", READ_BAD, METHOD_NONE},
        {"GET\t/ HTTP/1.1", READ_BAD, METHOD_UNKNOWN},
    };
    for (const method_case &c : cases) {
        test_task tt;
        EXPECT_EQ(tt.feed(std::string(c.line) + "\r\nHost: t\r\n\r\n"), c.result) << c.line;
        EXPECT_EQ(tt.t.method, c.method) << c.line;
    }
}

struct version_case {
    const char *rest;  // what follows "GET /x"
    int32_t version;
    int32_t keep_alive;
    bool headers_read;
};

TEST(RequestReader, VersionsAreFoundAfterUpperCaseFolding)
{
    const version_case cases[] = {
        {" HTTP/1.1", 257, 1, true},
        {" http/1.1", 257, 1, true},
        {" Http/1.0", 256, 0, true},
        {" HTTP/2.0", 512, 1, true},
        {" HTTP/1.2", 258, 1, true},
        {" HTTP/0.9", 9, 0, false},
        {"", 0, 0, false},
        {" junk", 0, 0, false},
        {" xHTTP/1.1y", 257, 1, true},
        {" HTTP/1", 256, 0, true},  // no separator: the minor number is 0
        {" HTTP/1-1", 257, 1, true},
        {" HTTP/ 1. 1", 257, 1, true},
        {" HTTP/+1.+1", 257, 1, true},
        {" HTTP/-1.0", -256, 0, false},
        {" HTTP/99999999999.0", INT32_MAX, 1, true},
        {" HTTP/1.99999999999", INT32_MAX, 1, true},
        {" HTTP/-99999999999.0", INT32_MIN, 0, false},
    };
    for (const version_case &c : cases) {
        test_task tt;
        std::string request = std::string("GET /x") + c.rest + "\r\nHost: t\r\nRange: bytes=1-\r\n\r\n";
        EXPECT_EQ(tt.feed(request), READ_DONE) << c.rest;
        EXPECT_STREQ(tt.t.uri, "/x") << c.rest;
        EXPECT_EQ(tt.t.version, c.version) << c.rest;
        EXPECT_EQ(tt.t.keep_alive, c.keep_alive) << c.rest;
        EXPECT_EQ(tt.t.nranges, c.headers_read ? 1 : 0) << c.rest;
        if (!c.headers_read) {  // complete right after the request line
            EXPECT_EQ(std::string(tt.in + tt.tail, tt.in + tt.head), "Host: t\r\nRange: bytes=1-\r\n\r\n") << c.rest;
        }
    }
}

TEST(RequestReader, MethodAndTargetOnlyIsCompleteAtOnce)
{
    test_task tt;
    EXPECT_EQ(tt.feed("GET /a\r\nHost: x\r\n"), READ_DONE);
    EXPECT_STREQ(tt.t.uri, "/a");
    EXPECT_EQ(tt.t.version, 0);
    EXPECT_EQ(tt.tail, 8u);
}

TEST(RequestReader, HeadsThatTwoReadersCouldReadApartAreBad)
{
    const char *bad[] = {
        "GET / HTTP/1.1\r\nHost: t\r\nFoo\r\n\r\n",                   // no colon
        "GET / HTTP/1.1\r\nHost: t\r\n: x\r\n\r\n",                    // colon first
        "GET / HTTP/1.1\r\nHost: t\r\n   : x\r\n\r\n",                 // colon first after spaces
        "GET / HTTP/1.1\r\nHost: t\r\nX-A: b\r\n c\r\n\r\n",           // folded continuation
        "GET / HTTP/1.1\r\nHost: t\r\nX-A: b\r\n Range: bytes=0-0\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: t\r\n\tX-A: b\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: t\r\n   \r\n\r\n",                    // only spaces
        "GET / HTTP/1.1\r\nHost: t\r\nRange : bytes=0-9\r\n\r\n",      // space before the colon
        "GET / HTTP/1.1\r\nHost: t\r\nX-Invalid[]: y\r\n\r\n",        // a name that is no token
        "GET / HTTP/1.1\r\nHost: t\r\nX-A: b\x01c\r\n\r\n",           // a control byte in a value
        "GET / HTTP/1.1\r\nHost: t\r\nX-A: b\x7f\r\n\r\n",
        "GET / HTTP/1.1\r\nHost: t\r\nX-A: b\rc: d\r\n\r\n",          // a CR that ends no line
        "GET /cr HTTP/1.1\rHost: t\r\r",
        "GET / HTTP/1.1\r\n\r\n",                                  // HTTP/1.1 without Host
        "GET / HTTP/1.1\r\nHost: a\r\nhost: b\r\n\r\n",                // two Host lines
        "GET / HTTP/1.0\r\nHost: a\r\nHost: a\r\n\r\n",
    };
    for (const char *head : bad) {
        test_task tt;
        EXPECT_EQ(tt.feed(head), READ_BAD) << head;
    }
    // Tabs are allowed in values, and HTTP/1.0 needs no Host.
    test_task tab;
    EXPECT_EQ(tab.feed("GET / HTTP/1.1\r\nHost: t\r\nX-A: b\tc\r\n\r\n"), READ_DONE);
    test_task old;
    EXPECT_EQ(old.feed("GET / HTTP/1.0\r\n\r\n"), READ_DONE);
}

struct connection_case {
    const char *version;
    std::vector<const char *> values;
    int32_t keep_alive;
};

TEST(RequestReader, ConnectionValuesSetPersistence)
{
    const connection_case cases[] = {
        {"HTTP/1.1", {}, 1},
        {"HTTP/1.1", {"close"}, 0},
        {"HTTP/1.1", {"CLOSE"}, 0},
        {"HTTP/1.1", {"  Close \t"}, 0},
        {"HTTP/1.0", {}, 0},
        {"HTTP/1.0", {"keep-alive"}, 2},
        {"HTTP/1.0", {"Keep-Alive"}, 2},
        {"HTTP/1.0", {"KEEP-ALIVE"}, 2},
        {"HTTP/1.0", {"keep-alive, Upgrade"}, 0},
        {"HTTP/1.1", {"keep-alive, close"}, 1},
        {"HTTP/1.1", {"upgrade"}, 1},
        {"HTTP/1.1", {"close", "keep-alive"}, 2},
        {"HTTP/1.1", {"keep-alive", "close"}, 0},
    };
    for (const connection_case &c : cases) {
        test_task tt;
        std::string request = std::string("GET / ") + c.version + "\r\nHost: t\r\n";
        for (const char *v : c.values)
            request += std::string("Connection: ") + v + "\r\n";
        EXPECT_EQ(tt.feed(request + "\r\n"), READ_DONE) << request;
        EXPECT_EQ(tt.t.keep_alive, c.keep_alive) << request;
    }
}

// Ranges are resolved on the wire (serve_test); here only the bound of the
// array, which no reply shows.
TEST(RequestReader, KeepsAtMostMaxRanges)
{
    test_task tt;
    EXPECT_EQ(tt.feed("GET / HTTP/1.1\r\nHost: t\r\nRange: bytes=1-1,2-2,3-3,4-4,5-5,6-6,7-7,8-8,9-9,10-10\r\n\r\n"),
              READ_DONE);
    ASSERT_EQ(tt.t.nranges, MAX_RANGES);
    EXPECT_EQ(tt.t.ranges[MAX_RANGES - 1].first, static_cast<uint64_t>(MAX_RANGES));
}

TEST(RequestReader, ConditionalDatesAreReadInEachOfTheThreeForms)
{
    const std::pair<const char *, int64_t> cases[] = {
        {"Sun, 06 Nov 1994 08:49:37 GMT", 784111777},  {"Sunday, 06-Nov-94 08:49:37 GMT", 784111777},
        {"Sun Nov  6 08:49:37 1994", 784111777},       {"Thu Feb 29 00:00:00 2000", 951782400},
        {"Tue, 19 Jan 2038 03:14:08 GMT", 0x80000000}, {"Sun, 06 Nov 1994 08:49:37 UTC", -1},
        {"Sun, 6 Nov 1994 08:49:37 GMT", -1},          {"Sun, 06 Nov 1994 08:49:37 GMT x", -1},
        {"Sun, 06 Nox 1994 08:49:37 GMT", -1},         {"Sun, 06 Nov 1994 24:49:37 GMT", -1},
        {"\"0123456789abcdef\"", -1},                  {"", -1},
    };
    for (const auto &[text, t] : cases)
        EXPECT_EQ(parse_http_date(text), t) << text;
}

}  // namespace
