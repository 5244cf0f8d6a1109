// The request reader, the Range parser, body transfer and the response header.
#include "error.h"
#include "file.h"
#include "htproc.h"
#include "httpd.h"
#include "memory.h"
#include "mime.h"
#include "task.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

// Entries in these tests are synthetic: byte k of an entry is pattern(k),
// so entries of any size, up to 4 GiB, need no storage. The real reader of
// file entries lives with the entry cache; this one stands in for it here.
static bool g_fail_reads = false;
static int g_reads = 0;

static unsigned char pattern(uint32_t k)
{
    return static_cast<unsigned char>((k * 131u + (k >> 8)) & 0xFF);
}

int fe_read(file_entry *fe, void *buffer, uint32_t count, uint32_t offset)
{
    ++g_reads;
    if (g_fail_reads || offset > fe->size || count > fe->size - offset)
        return -1;
    auto *out = static_cast<unsigned char *>(buffer);
    for (uint32_t i = 0; i < count; ++i)
        out[i] = pattern(offset + i);
    return 1;
}

namespace {

// A task with its own buffers, set up as a fresh connection would be.
struct test_task {
    task t{};
    char in[TASK_IN_BUF_SIZE];
    char out[TASK_OUT_BUF_SIZE];

    test_task()
    {
        t.state = TASK_INPUT;
        t.in_buf_size = TASK_IN_BUF_SIZE;
        t.in_buf = in;
        t.out_buf_size = TASK_OUT_BUF_SIZE;
        t.out_buf = out;
        t.port = 80;
        t.out_low_water = TASK_LOW_WATER;
    }

    // Appends received bytes, as the receive step does.
    void receive(const std::string &bytes)
    {
        ASSERT_LE(t.in_head + bytes.size(), t.in_buf_size);
        std::memcpy(in + t.in_head, bytes.data(), bytes.size());
        t.in_head += static_cast<uint32_t>(bytes.size());
    }

    int feed(const std::string &bytes)
    {
        receive(bytes);
        return read_request(&t);
    }
};

// What the reader made of a request, for comparing two readings.
struct parsed {
    int result;
    uint32_t consumed;
    int32_t method;
    std::string uri;
    int32_t version;
    int32_t keep_alive;
    std::vector<std::pair<uint32_t, uint32_t>> ranges;

    bool operator==(const parsed &) const = default;
};

parsed outcome(const test_task &tt, int result)
{
    parsed p{result, tt.t.in_tail, tt.t.method, tt.t.uri ? tt.t.uri : "(null)",
             tt.t.version, tt.t.keep_alive, {}};
    for (int i = 0; i < tt.t.nranges; ++i)
        p.ranges.emplace_back(tt.t.ranges[i].first, tt.t.ranges[i].end);
    return p;
}

void PrintTo(const parsed &p, std::ostream *os)
{
    *os << "{result " << p.result << ", consumed " << p.consumed << ", method " << p.method
        << ", uri \"" << p.uri << "\", version " << p.version << ", keep_alive " << p.keep_alive
        << ", " << p.ranges.size() << " ranges}";
}

// Reads `request` delivered in the given pieces, calling the reader after
// each piece until it reports a result.
parsed read_in_pieces(const std::string &request, const std::vector<size_t> &cuts)
{
    test_task tt;
    size_t from = 0;
    int r = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(request.size());
    for (size_t to : ends) {
        r = tt.feed(request.substr(from, to - from));
        from = to;
        if (r != 0)
            break;
    }
    return outcome(tt, r);
}

// ---------------------------------------------------------------------------
// Request reader

TEST(RequestReader, SimpleGetIsComplete)
{
    test_task tt;
    EXPECT_EQ(tt.feed("GET / HTTP/1.1\r\n\r\n"), 2);
    EXPECT_EQ(tt.t.method, METHOD_GET);
    EXPECT_STREQ(tt.t.uri, "/");
    EXPECT_EQ(tt.t.version, 257);
    EXPECT_EQ(tt.t.keep_alive, 1);
    EXPECT_EQ(tt.t.nranges, 0);
    EXPECT_EQ(tt.t.in_tail, tt.t.in_head);
}

TEST(RequestReader, EverySplitPositionGivesTheSameRequest)
{
    const std::string requests[] = {
        "GET /index.html HTTP/1.1\r\nHost: example\r\nRange: bytes=10-19\r\n"
        "Connection: Keep-Alive\r\nUser-Agent: t\r\n\r\n",
        "\r\n\r\nHEAD /a%20b?x=1 HTTP/1.0\r\nConnection: keep-alive\r\n\r\n",
        "get /lf HTTP/1.1\nRange: bytes=-5\nConnection: close\n\n",
        "GET /short\r\n",
        "GET / HTTP/0.9\r\nIgnored: yes\r\n\r\n",
        "POST /form HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc",
    };
    for (const std::string &request : requests) {
        parsed whole = read_in_pieces(request, {});
        ASSERT_EQ(whole.result, 2) << request;
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
    EXPECT_EQ(tt.feed("GET / HTTP/1.1\r"), 0);
    EXPECT_EQ(tt.t.method, METHOD_NONE);  // nothing consumed yet
    EXPECT_EQ(tt.t.in_tail, 0u);
    EXPECT_EQ(tt.feed("\nRange: bytes=0-9\r"), 0);
    EXPECT_EQ(tt.t.method, METHOD_GET);
    EXPECT_EQ(tt.feed("\n\r"), 0);
    EXPECT_EQ(tt.t.nranges, 1);
    EXPECT_EQ(tt.feed("\n"), 2);
    EXPECT_EQ(tt.t.in_tail, tt.t.in_head);
}

TEST(RequestReader, LoneCarriageReturnEndsALineOnceMoreBytesFollow)
{
    test_task tt;
    EXPECT_EQ(tt.feed("GET /cr HTTP/1.1\rConnection: close\r\r"), 0);
    EXPECT_EQ(tt.t.keep_alive, 0);
    EXPECT_EQ(tt.feed("X"), 2);  // the empty line is known once a byte follows it
    EXPECT_EQ(tt.t.in_head - tt.t.in_tail, 1u);
}

TEST(RequestReader, IncompleteLineConsumesNothing)
{
    test_task tt;
    EXPECT_EQ(tt.feed("GET / HTTP/1.1"), 0);
    EXPECT_EQ(tt.t.in_tail, 0u);
    EXPECT_EQ(tt.t.method, METHOD_NONE);
    EXPECT_EQ(tt.feed("\r\nHost: x\r\n"), 0);
    EXPECT_EQ(tt.t.in_tail, tt.t.in_head);
    EXPECT_EQ(tt.feed("\r\n"), 2);
}

TEST(RequestReader, EmptyLinesBeforeTheRequestLineAreSkipped)
{
    test_task tt;
    EXPECT_EQ(tt.feed("\r\n\r\n\r\n"), 0);
    EXPECT_EQ(tt.t.in_tail, tt.t.in_head);
    EXPECT_EQ(tt.feed("GET /x HTTP/1.1\r\n\r\n"), 2);
    EXPECT_STREQ(tt.t.uri, "/x");

    test_task lf;
    EXPECT_EQ(lf.feed("\n\n"), 0);
    EXPECT_EQ(lf.feed("GET /y HTTP/1.1\n\n"), 2);
    EXPECT_STREQ(lf.t.uri, "/y");
}

TEST(RequestReader, LeadingSpacesOfALineAreSkipped)
{
    test_task tt;
    EXPECT_EQ(tt.feed("   GET   /sp   HTTP/1.1\r\n  Range: bytes=1-2\r\n\r\n"), 2);
    EXPECT_EQ(tt.t.method, METHOD_GET);
    EXPECT_STREQ(tt.t.uri, "/sp");
    EXPECT_EQ(tt.t.version, 257);
    EXPECT_EQ(tt.t.nranges, 1);
}

TEST(RequestReader, BareLineFeedBeforeTheFirstCarriageReturnStaysInTheLine)
{
    test_task tt;
    EXPECT_EQ(tt.feed("GET /a\nb HTTP/1.1\r\n\r\n"), 2);
    EXPECT_STREQ(tt.t.uri, "/a\nb");
    EXPECT_EQ(tt.t.version, 257);
}

struct method_case {
    const char *line;
    int result;
    int32_t method;
};

TEST(RequestReader, MethodTokensFoldToTheirCodes)
{
    const method_case cases[] = {
        {"get / HTTP/1.1", 2, METHOD_GET},
        {"HeAd / HTTP/1.1", 2, METHOD_HEAD},
        {"OPTIONS * HTTP/1.1", 2, METHOD_OPTIONS},
        {"FOO / HTTP/1.1", -1, METHOD_UNKNOWN},
        {"GET", -1, METHOD_NONE},
        {"GET\t/ HTTP/1.1", -1, METHOD_UNKNOWN},
    };
    for (const method_case &c : cases) {
        test_task tt;
        EXPECT_EQ(tt.feed(std::string(c.line) + "\r\n\r\n"), c.result) << c.line;
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
        std::string request = std::string("GET /x") + c.rest + "\r\nRange: bytes=1-\r\n\r\n";
        int r = tt.feed(request);
        EXPECT_EQ(r, 2) << c.rest;
        EXPECT_STREQ(tt.t.uri, "/x") << c.rest;
        EXPECT_EQ(tt.t.version, c.version) << c.rest;
        EXPECT_EQ(tt.t.keep_alive, c.keep_alive) << c.rest;
        EXPECT_EQ(tt.t.nranges, c.headers_read ? 1 : 0) << c.rest;
        if (!c.headers_read) {  // complete right after the request line
            EXPECT_EQ(std::string(tt.in + tt.t.in_tail, tt.in + tt.t.in_head),
                      "Range: bytes=1-\r\n\r\n") << c.rest;
        }
    }
}

TEST(RequestReader, MethodAndTargetOnlyIsCompleteAtOnce)
{
    test_task tt;
    EXPECT_EQ(tt.feed("GET /a\r\nHost: x\r\n"), 2);
    EXPECT_STREQ(tt.t.uri, "/a");
    EXPECT_EQ(tt.t.version, 0);
    EXPECT_EQ(tt.t.in_tail, 8u);
}

TEST(RequestReader, MalformedHeaderLinesMakeTheRequestBad)
{
    const char *bad[] = {
        "Foo\r\n",              // no colon
        ": x\r\n",              // colon first
        "   : x\r\n",           // colon first after the spaces
        "X-A: b\r\n c\r\n",     // folded continuation without a colon
        "   \r\n",              // only spaces
    };
    for (const char *lines : bad) {
        test_task tt;
        EXPECT_EQ(tt.feed(std::string("GET / HTTP/1.1\r\n") + lines + "\r\n"), -1) << lines;
        EXPECT_EQ(tt.t.method, METHOD_GET);
    }
}

TEST(RequestReader, ContinuationWithAColonIsAHeaderOfItsOwn)
{
    test_task tt;
    EXPECT_EQ(tt.feed("GET / HTTP/1.1\r\nX-A: b\r\n Range: bytes=0-0\r\n\r\n"), 2);
    EXPECT_EQ(tt.t.nranges, 1);
}

TEST(RequestReader, SpaceBeforeTheColonMatchesNoHeader)
{
    test_task tt;
    EXPECT_EQ(tt.feed("GET / HTTP/1.1\r\nRange : bytes=0-9\r\nConnection : close\r\n\r\n"), 2);
    EXPECT_EQ(tt.t.nranges, 0);
    EXPECT_EQ(tt.t.keep_alive, 1);
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
        std::string request = std::string("GET / ") + c.version + "\r\n";
        for (const char *v : c.values)
            request += std::string("Connection: ") + v + "\r\n";
        EXPECT_EQ(tt.feed(request + "\r\n"), 2) << request;
        EXPECT_EQ(tt.t.keep_alive, c.keep_alive) << request;
    }
}

TEST(RequestReader, KeepAliveOfAnEarlierRequestSurvivesAnHttp10Request)
{
    test_task tt;
    tt.t.keep_alive = 2;  // asked by the previous request on the connection
    EXPECT_EQ(tt.feed("GET / HTTP/1.0\r\n\r\n"), 2);
    EXPECT_EQ(tt.t.keep_alive, 2);
}

TEST(RequestReader, RangeHeadersInOrderAndOnlyInBytes)
{
    test_task tt;
    EXPECT_EQ(tt.feed("GET / HTTP/1.0\r\nRange: bytes=0-1\r\nRANGE: bytes=5-\r\n"
                      "Range: BYTES=7-8\r\n\r\n"),
              2);
    ASSERT_EQ(tt.t.nranges, 1);
    EXPECT_EQ(tt.t.ranges[0].first, 5u);  // the last bytes= header counts
    EXPECT_EQ(tt.t.ranges[0].end, RANGE_OPEN);
}

TEST(RequestReader, PipelinedRequestStaysBehindTheFirst)
{
    test_task tt;
    const std::string first = "GET /1 HTTP/1.1\r\nHost: a\r\n\r\n";
    const std::string second = "GET /2 HTTP/1.1\r\n\r\n";
    EXPECT_EQ(tt.feed(first + second), 2);
    EXPECT_STREQ(tt.t.uri, "/1");
    EXPECT_EQ(tt.t.in_tail, first.size());
    EXPECT_EQ(std::string(tt.in + tt.t.in_tail, tt.in + tt.t.in_head), second);
}

TEST(RequestReader, TailBeyondHeadIsABrokenInvariant)
{
    test_task tt;
    tt.t.in_head = 3;
    tt.t.in_tail = 4;
    EXPECT_DEATH(read_request(&tt.t), "Assertion failed: tsk->in_head >= tsk->in_tail");
}

// ---------------------------------------------------------------------------
// Range parser

struct range_case {
    const char *value;
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
};

TEST(RangeParser, ValuesGiveTheirRanges)
{
    const uint32_t OPEN = RANGE_OPEN;
    const range_case cases[] = {
        {"bytes=0-499", {{0, 500}}},
        {"bytes=500-", {{500, OPEN}}},
        {"bytes=-500", {{OPEN, 500}}},
        {"bytes=7", {{7, OPEN}}},
        {"bytes=0-1,5-9", {{0, 2}, {5, 10}}},
        {"bytes=0-1,", {{0, 2}}},
        {"bytes=1-1,2-2,3-3,4-4,5-5,6-6,7-7,8-8,9-9",
         {{1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}, {7, 8}, {8, 9}}},
        {"  bytes= 1 - 2 , 3 -4 ,-5", {{1, 3}, {3, 5}, {OPEN, 5}}},
        {"bytes=-", {{OPEN, 0}}},
        {"bytes=-0", {{OPEN, 0}}},
        {"bytes=--5", {{OPEN, static_cast<uint32_t>(-5)}}},
        {"bytes=-99999999999", {{OPEN, INT32_MAX}}},
        {"bytes=99999999999-", {{UINT32_MAX, OPEN}}},
        {"bytes=0-4294967295", {{0, OPEN}}},  // the last byte position does not wrap
        {"bytes=0-4294967294", {{0, UINT32_MAX}}},
        {"bytes=5-3", {{5, 4}}},
        {"bytes=x", {}},
        {"bytes=", {}},
        {"bytes=,0-1", {}},
        {"bytes=0-1;x", {{0, 2}}},
    };
    for (const range_case &c : cases) {
        test_task tt;
        parse_range(&tt.t, c.value);
        ASSERT_EQ(static_cast<size_t>(tt.t.nranges), c.ranges.size()) << c.value;
        for (size_t i = 0; i < c.ranges.size(); ++i) {
            EXPECT_EQ(tt.t.ranges[i].first, c.ranges[i].first) << c.value << " #" << i;
            EXPECT_EQ(tt.t.ranges[i].end, c.ranges[i].second) << c.value << " #" << i;
        }
    }
}

TEST(RangeParser, OtherUnitsLeaveTheRangesAlone)
{
    for (const char *value : {"BYTES=0-1", "items=0-1", "bytes 0-1", "", "bytes"}) {
        test_task tt;
        tt.t.nranges = 1;
        tt.t.ranges[0] = {3, 4};
        parse_range(&tt.t, value);
        EXPECT_EQ(tt.t.nranges, 1) << value;
        EXPECT_EQ(tt.t.ranges[0].first, 3u) << value;
    }
}

// ---------------------------------------------------------------------------
// Body transfer

struct entry_task : test_task {
    file_entry fe{};

    explicit entry_task(uint32_t size)
    {
        fe.kind = KIND_STATIC;
        fe.name = "?synthetic.bin";
        fe.size = size;
        fe.refcount = 1;
        t.fe = &fe;
        t.state = TASK_OUTPUT;
        g_fail_reads = false;
        g_reads = 0;
    }

    // Takes everything waiting in the output buffer, as a send would.
    std::string drain()
    {
        std::string s(out, t.out_len);
        t.out_len = 0;
        return s;
    }
};

std::string expected_bytes(uint32_t from, uint32_t to)
{
    std::string s;
    for (uint32_t k = from; k < to; ++k)
        s += static_cast<char>(pattern(k));
    return s;
}

TEST(TaskTransfer, BodyThatFitsCompletesInOneCall)
{
    entry_task et(1000);
    et.t.out_len = 200;  // a header is waiting
    std::memset(et.out, 'H', 200);
    EXPECT_EQ(task_fill_range(&et.t), 2);
    EXPECT_EQ(et.t.out_len, 1200u);
    EXPECT_EQ(et.t.offset, 1000u);
    std::string sent = et.drain();
    EXPECT_EQ(sent.substr(0, 200), std::string(200, 'H'));
    EXPECT_EQ(sent.substr(200), expected_bytes(0, 1000));
    EXPECT_EQ(task_fill_range(&et.t), 2);
    EXPECT_EQ(et.t.out_len, 0u);
}

TEST(TaskTransfer, LargeBodyIsCopiedPieceByPiece)
{
    entry_task et(20000);
    std::string body;
    int r, calls = 0;
    while ((r = task_fill_range(&et.t)) == 0) {
        EXPECT_EQ(et.t.out_len, et.t.out_buf_size);
        body += et.drain();
        ++calls;
    }
    EXPECT_EQ(r, 2);
    body += et.drain();
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(body, expected_bytes(0, 20000));
}

TEST(TaskTransfer, PartialDrainIsToppedUpBehindTheWaitingBytes)
{
    entry_task et(10000);
    EXPECT_EQ(task_fill_range(&et.t), 0);
    // A send took all but 1000 bytes; they move to the front.
    std::memmove(et.out, et.out + 7192, 1000);
    et.t.out_len = 1000;
    EXPECT_EQ(task_fill_range(&et.t), 2);
    EXPECT_EQ(et.t.out_len, 1000u + 10000u - 8192u);
    EXPECT_EQ(et.drain(), expected_bytes(7192, 10000));
}

TEST(TaskTransfer, RangeSkipsToItsFirstByteAndStopsAtItsEnd)
{
    entry_task et(1000);
    et.t.nranges = 1;
    et.t.ranges[0] = {100, 200};
    EXPECT_EQ(task_fill_range(&et.t), 2);
    EXPECT_EQ(et.t.offset, 200u);
    EXPECT_EQ(et.drain(), expected_bytes(100, 200));
    int reads = g_reads;
    EXPECT_EQ(task_fill_range(&et.t), 2);
    EXPECT_EQ(et.t.out_len, 0u);
    EXPECT_EQ(g_reads, reads);
}

TEST(TaskTransfer, RangeEndingAtTheSizeEndsAtTheLastByte)
{
    entry_task et(1000);
    et.t.nranges = 1;
    et.t.ranges[0] = {900, 1000};
    EXPECT_EQ(task_fill_range(&et.t), 2);
    EXPECT_EQ(et.drain(), expected_bytes(900, 1000));
}

TEST(TaskTransfer, OffsetsNearTheTopOfThe32BitRange)
{
    entry_task et(0xFFFFFFF0u);
    et.t.nranges = 1;
    et.t.ranges[0] = {0xFFFFFF00u, 0xFFFFFFF0u};
    EXPECT_EQ(task_fill_range(&et.t), 2);
    EXPECT_EQ(et.t.offset, 0xFFFFFFF0u);
    EXPECT_EQ(et.drain(), expected_bytes(0xFFFFFF00u, 0xFFFFFFF0u));
    EXPECT_EQ(task_fill_range(&et.t), 2);
}

TEST(TaskTransfer, EmptyEntryCompletesAtOnce)
{
    entry_task et(0);
    EXPECT_EQ(task_fill_range(&et.t), 2);
    EXPECT_EQ(et.t.out_len, 0u);
    EXPECT_EQ(g_reads, 0);
}

TEST(TaskTransfer, FullBufferCopiesNothing)
{
    entry_task et(1000);
    et.t.out_len = et.t.out_buf_size;
    EXPECT_EQ(task_fill(&et.t, 1000), 0);
    EXPECT_EQ(et.t.offset, 0u);
    EXPECT_EQ(g_reads, 0);
}

TEST(TaskTransfer, LimitNotAboveOffsetIsDone)
{
    entry_task et(1000);
    et.t.offset = 500;
    EXPECT_EQ(task_fill(&et.t, 500), 2);
    EXPECT_EQ(task_fill(&et.t, 10), 2);
    EXPECT_EQ(et.t.out_len, 0u);
}

TEST(TaskTransfer, FailuresReportMinusOne)
{
    entry_task et(1000);
    g_fail_reads = true;
    EXPECT_EQ(task_fill_range(&et.t), -1);
    EXPECT_EQ(et.t.out_len, 0u);
    EXPECT_EQ(et.t.offset, 0u);
    g_fail_reads = false;
    et.t.fe = nullptr;
    EXPECT_EQ(task_fill(&et.t, 10), -1);
    EXPECT_EQ(task_fill_range(&et.t), -1);
}

TEST(TaskTransfer, OverfullOutputBufferIsABrokenInvariant)
{
    entry_task et(1000);
    et.t.out_len = et.t.out_buf_size + 1;
    EXPECT_DEATH(task_fill(&et.t, 1000), "Assertion failed: tsk->out_buf_size >= tsk->out_len");
}

// ---------------------------------------------------------------------------
// Response header

TEST(HttpDate, Rfc1123Form)
{
    EXPECT_STREQ(http_date(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_STREQ(http_date(784111777), "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_STREQ(http_date(951782400), "Tue, 29 Feb 2000 00:00:00 GMT");
    EXPECT_STREQ(http_date(0x7FFFFFFF), "Tue, 19 Jan 2038 03:14:07 GMT");
    EXPECT_STREQ(http_date(0x80000000u), "Tue, 19 Jan 2038 03:14:08 GMT");
    EXPECT_STREQ(http_date(0xFFFFFFFFu), "Sun, 07 Feb 2106 06:28:15 GMT");
}

TEST(HttpDate, TextsStayRightWhileTimesAlternate)
{
    // Recent texts are kept; each call must still answer for its own time.
    const uint32_t times[] = {784111777, 0, 784111777, 951782400, 0, 0, 784111777, 951782400, 951782401};
    const char *const texts[] = {"Sun, 06 Nov 1994 08:49:37 GMT", "Thu, 01 Jan 1970 00:00:00 GMT",
                                 "Sun, 06 Nov 1994 08:49:37 GMT", "Tue, 29 Feb 2000 00:00:00 GMT",
                                 "Thu, 01 Jan 1970 00:00:00 GMT", "Thu, 01 Jan 1970 00:00:00 GMT",
                                 "Sun, 06 Nov 1994 08:49:37 GMT", "Tue, 29 Feb 2000 00:00:00 GMT",
                                 "Tue, 29 Feb 2000 00:00:01 GMT"};
    for (size_t i = 0; i < std::size(times); ++i)
        EXPECT_STREQ(http_date(times[i]), texts[i]) << "call " << i;
    // Two texts asked for in turn are both valid together, as a header needs them.
    const char *a = http_date(1000000000);
    const char *b = http_date(1000000001);
    EXPECT_STREQ(a, "Sun, 09 Sep 2001 01:46:40 GMT");
    EXPECT_STREQ(b, "Sun, 09 Sep 2001 01:46:41 GMT");
}

class ResponseHeader : public ::testing::Test {
protected:
    void SetUp() override
    {
        mime_table_build();
        ctx_.start_time = 1000000000;  // Sun, 09 Sep 2001 01:46:40 GMT
    }
    void TearDown() override { mime_table_free(); }

    // The header for an entry of this name, size and time with the given
    // Range value (or none); the Date line is taken out and checked apart.
    int run(const char *name, uint32_t size, int32_t mtime, const char *range, std::string *header,
            int32_t *status)
    {
        et_ = std::make_unique<entry_task>(size);
        et_->fe.name = name;
        et_->fe.mtime = mtime;
        if (range)
            parse_range(&et_->t, range);
        int32_t before = time_now();
        int r = reply_header(&et_->t, &ctx_, status);
        int32_t after = time_now();
        *header = std::string(et_->out, et_->t.out_len);
        if (r == 1) {
            size_t at = header->find("Date: ");
            EXPECT_NE(at, std::string::npos);
            size_t end = header->find("\r\n", at);
            std::string date = header->substr(at + 6, end - at - 6);
            std::string lo = http_date(static_cast<uint32_t>(before));
            std::string hi = http_date(static_cast<uint32_t>(after));
            EXPECT_TRUE(date == lo || date == hi) << date;
            header->replace(at + 6, end - at - 6, "<now>");
        }
        return r;
    }

    server_ctx ctx_{};
    std::unique_ptr<entry_task> et_;
};

TEST_F(ResponseHeader, WholeEntryIs200WithExactLines)
{
    std::string h;
    int32_t status = 0;
    ASSERT_EQ(run("/docs/a.html", 1000, 1100000000, nullptr, &h, &status), 1);
    EXPECT_EQ(h,
              "HTTP/1.1 200 OK\r\n"
              "Server: Pellorwick/0.1.6\r\n"
              "Date: <now>\r\n"
              "Last-Modified: Tue, 09 Nov 2004 11:33:20 GMT\r\n"
              "Age: 1800\r\n"
              "Content-Type: text/html\r\n"
              "Content-Length: 1000\r\n"
              "\r\n");
    EXPECT_EQ(et_->t.offset, 0u);
    EXPECT_EQ(et_->t.nranges, 0);
}

TEST_F(ResponseHeader, RangeIs206WithContentRange)
{
    std::string h;
    int32_t status = 0;
    ASSERT_EQ(run("/pics/a.JPG", 1000, 1100000000, "bytes=0-99", &h, &status), 1);
    EXPECT_EQ(h,
              "HTTP/1.1 206 Partial Content\r\n"
              "Server: Pellorwick/0.1.6\r\n"
              "Date: <now>\r\n"
              "Last-Modified: Tue, 09 Nov 2004 11:33:20 GMT\r\n"
              "Age: 1800\r\n"
              "Content-Type: image/jpeg\r\n"
              "Content-Range: bytes 0-99/1000\r\n"
              "Content-Length: 100\r\n"
              "\r\n");
}

struct range_reply {
    uint32_t size;
    const char *range;  // null: no Range header
    const char *content_range;  // null: 200; "416": refused
    uint32_t length;
    uint32_t first, end;
};

TEST_F(ResponseHeader, RangesResolveAgainstTheSize)
{
    const range_reply cases[] = {
        {1000, nullptr, nullptr, 1000, 0, 0},
        {1000, "bytes=0-99", "bytes 0-99/1000", 100, 0, 100},
        {1000, "bytes=900-", "bytes 900-999/1000", 100, 900, 1000},
        {1000, "bytes=-100", "bytes 900-999/1000", 100, 900, 1000},
        {1000, "bytes=0-", "bytes 0-999/1000", 1000, 0, 1000},
        {1000, "bytes=500-5000", "bytes 500-999/1000", 500, 500, 1000},
        {1000, "bytes=999-999", "bytes 999-999/1000", 1, 999, 1000},
        {1000, "bytes=-1000", "bytes 0-999/1000", 1000, 0, 1000},
        {1000, "bytes=0-4294967295", "bytes 0-999/1000", 1000, 0, 1000},
        {1000, "bytes=1000-", "416", 0, 0, 0},
        {1000, "bytes=5-3", "416", 0, 0, 0},
        {1000, "bytes=-0", "416", 0, 0, 0},
        {1000, "bytes=-2000", "416", 0, 0, 0},
        {1000, "bytes=-1001", "416", 0, 0, 0},
        {1000, "bytes=0-1,5-9", "416", 0, 0, 0},
        {1000, "bytes=4294967295-", "416", 0, 0, 0},
        {0, nullptr, nullptr, 0, 0, 0},
        {0, "bytes=0-", "416", 0, 0, 0},
        {0, "bytes=-1", "416", 0, 0, 0},
        {0, "bytes=0-0", "416", 0, 0, 0},
        {1000, "BYTES=0-1", nullptr, 1000, 0, 0},
        {1000, "bytes=x", nullptr, 1000, 0, 0},
    };
    for (const range_reply &c : cases) {
        std::string h;
        int32_t status = 0;
        const char *what = c.range ? c.range : "(none)";
        int r = run("f.txt", c.size, 0, c.range, &h, &status);
        if (c.content_range && std::string(c.content_range) == "416") {
            EXPECT_EQ(r, -1) << what;
            EXPECT_EQ(status, STATUS_416) << what;
            EXPECT_EQ(et_->t.out_len, 0u) << what;
            continue;
        }
        ASSERT_EQ(r, 1) << what;
        EXPECT_EQ(h.find("Content-Length: " + std::to_string(c.length) + "\r\n\r\n"),
                  h.size() - 20 - std::to_string(c.length).size())
            << what;
        if (!c.content_range) {
            EXPECT_EQ(h.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << what;
            EXPECT_EQ(h.find("Content-Range"), std::string::npos) << what;
            EXPECT_EQ(et_->t.nranges, 0) << what;
            continue;
        }
        EXPECT_EQ(h.rfind("HTTP/1.1 206 Partial Content\r\n", 0), 0u) << what;
        EXPECT_NE(h.find(std::string("\r\nContent-Range: ") + c.content_range + "\r\nContent-Length: "),
                  std::string::npos)
            << what << "\n" << h;
        ASSERT_EQ(et_->t.nranges, 1) << what;
        EXPECT_EQ(et_->t.ranges[0].first, c.first) << what;
        EXPECT_EQ(et_->t.ranges[0].end, c.end) << what;
    }
}

TEST_F(ResponseHeader, LastModifiedIsNeverBeforeTheStart)
{
    const struct {
        int32_t mtime;
        const char *text;
    } cases[] = {
        {0, "Sun, 09 Sep 2001 01:46:40 GMT"},           // built-in resource
        {-1, "Sun, 09 Sep 2001 01:46:40 GMT"},          // unknown time
        {999999999, "Sun, 09 Sep 2001 01:46:40 GMT"},   // before the start
        {1000000001, "Sun, 09 Sep 2001 01:46:41 GMT"},  // after it
    };
    for (const auto &c : cases) {
        std::string h;
        int32_t status;
        ASSERT_EQ(run("x.gif", 10, c.mtime, nullptr, &h, &status), 1);
        EXPECT_NE(h.find(std::string("\r\nLast-Modified: ") + c.text + "\r\nAge: 1800\r\n"),
                  std::string::npos)
            << c.mtime << "\n" << h;
    }
}

TEST_F(ResponseHeader, ContentTypeFollowsTheName)
{
    const struct {
        const char *name, *type;
    } cases[] = {
        {"?folder.gif", "image/gif"},
        {"/docs/*ND", "text/html"},
        {"/docs.old/README", "text/plain"},
    };
    for (const auto &c : cases) {
        std::string h;
        int32_t status;
        ASSERT_EQ(run(c.name, 10, 0, nullptr, &h, &status), 1);
        EXPECT_NE(h.find(std::string("\r\nContent-Type: ") + c.type + "\r\nContent-Length: 10\r\n\r\n"),
                  std::string::npos)
            << c.name;
    }
}

TEST_F(ResponseHeader, HeaderCarriesNoOtherLines)
{
    std::string h;
    int32_t status;
    ASSERT_EQ(run("a.txt", 5000, 0, "bytes=1-2", &h, &status), 1);
    int lines = 0;
    for (size_t at = 0; (at = h.find("\r\n", at)) != std::string::npos; at += 2)
        ++lines;
    EXPECT_EQ(lines, 9);  // status, 7 header lines, the empty line
    for (const char *absent : {"Connection", "Keep-Alive", "Accept-Ranges", "ETag", "Transfer-Encoding"})
        EXPECT_EQ(h.find(absent), std::string::npos) << absent;
}

TEST_F(ResponseHeader, ContentRangeWritesItsLineAndReturnsTheLength)
{
    entry_task et(1000);
    et.t.nranges = 1;
    et.t.ranges[0] = {10, 30};
    char line[64];
    EXPECT_EQ(content_range(&et.t, line, sizeof line), 20u);
    EXPECT_STREQ(line, "Content-Range: bytes 10-29/1000");
}

TEST_F(ResponseHeader, WaitingOutputIsABrokenInvariant)
{
    entry_task et(10);
    et.t.out_len = 1;
    EXPECT_DEATH(compose_header(&et.t, &ctx_), "Assertion failed: 0 == tsk->out_len");
}

}  // namespace
