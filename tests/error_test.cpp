// Error replies at the edges of their buffer and field widths; the bytes on
// the wire are checked in http_test.
#include "error.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

class ErrorResponse : public ::testing::Test {
protected:
    void SetUp() override
    {
        t = error_vars{};
        t.version = 257;
    }

    // The reply written into a buffer of `capacity` bytes, with a guard
    // byte behind it.
    std::string reply(int32_t status, bool with_body, uint32_t capacity = 8192)
    {
        std::vector<char> out(capacity + 1, '#');
        const uint32_t n = error_response(out.data(), capacity, status, with_body, &t);
        EXPECT_LE(n, capacity);
        EXPECT_EQ(out[capacity], '#') << "wrote past the capacity";
        return std::string(out.data(), n);
    }

    void set_uri(const std::string &s)
    {
        uri = s;
        t.uri = uri.data();
    }

    error_vars t;
    std::string uri;
};

}  // namespace

TEST_F(ErrorResponse, FifteenStatusesHaveReplies)
{
    int count = 0;
    for (int32_t code = 0; code < 1000; ++code) {
        const std::string r = reply(code, true);
        if (r.empty())
            continue;
        ++count;
        // Every page is framed by its own status text.
        const std::string text = r.substr(9, r.find("\r\n") - 9);
        EXPECT_EQ(text.substr(0, 3), std::to_string(code));
        const std::string head = "<html><head><title>" + text + "</title></head>\n<body>";
        EXPECT_NE(r.find(head), std::string::npos) << text;
    }
    EXPECT_EQ(count, 15);
}

TEST_F(ErrorResponse, ForbiddenPageNamesThePath)
{
    set_uri("/secret/file");
    const std::string r = reply(STATUS_403, true);
    EXPECT_NE(r.find("<body>403 File /secret/file is forbidden.</body>"), std::string::npos) << r;
}

TEST_F(ErrorResponse, LargeBufferKeepsPagesWithinFourDigits)
{
    // A page of 10000 bytes or more could not be stated in the 4-wide field.
    set_uri("/" + std::string(12000, 'z'));
    const std::string r = reply(STATUS_404, true, 40000);
    EXPECT_EQ(r.find("zzz"), std::string::npos);
    const size_t split = r.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos);
    EXPECT_EQ(std::stoul(r.substr(r.find("Content-Length: ") + 16, 4)), r.size() - split - 4);

    set_uri("/" + std::string(9000, 'z'));  // 89 bytes of page around 9001
    const std::string fits = reply(STATUS_404, true, 40000);
    EXPECT_NE(fits.find(std::string(9000, 'z')), std::string::npos);
    EXPECT_NE(fits.find("Content-Length: 9090\r\n"), std::string::npos);
}

TEST_F(ErrorResponse, PathTooLongForTheBufferIsLeftOut)
{
    set_uri("/" + std::string(8100, 'y'));
    const std::string r = reply(STATUS_414, true);
    EXPECT_EQ(r, "HTTP/1.1 414 Request-URI too long\r\nContent-Type: text/html\r\nContent-Length:  106\r\n\r\n"
                 "<html><head><title>414 Request-URI too long</title></head>\n<body>414 Request-URI  too "
                 "long.</body></html>\n");
}

TEST_F(ErrorResponse, EscapedPathThatNoLongerFitsIsLeftOut)
{
    // Header of the 404 reply: 73 bytes; "<html>...<body>404 File " 63 bytes.
    // The directive then has 20 bytes of space: room for the raw path, not
    // for its escaped form.
    set_uri("/&&&&");  // 5 bytes raw, 21 escaped
    const uint32_t capacity = 73 + 63 + 20;
    const std::string r = reply(STATUS_404, true, capacity);
    EXPECT_EQ(r.find("&amp;"), std::string::npos);
    EXPECT_NE(r.find("404 File  not found."), std::string::npos) << r;
}

TEST_F(ErrorResponse, SmallBufferCutsThePageAndKeepsLengthsTrue)
{
    set_uri("/a");
    const uint32_t capacity = 120;
    const std::string r = reply(STATUS_404, true, capacity);
    const size_t split = r.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos);
    const std::string page = r.substr(split + 4);
    // The page keeps one byte of the capacity for its terminator.
    EXPECT_EQ(r.size(), capacity - 1u);
    EXPECT_EQ(std::stoul(r.substr(r.find("Content-Length: ") + 16, 4)), page.size());
}

TEST_F(ErrorResponse, HeaderThatDoesNotFitWritesNothing)
{
    EXPECT_EQ(reply(STATUS_404, true, 20), "");
    EXPECT_EQ(reply(STATUS_404, false, 10), "");
    // Room for the status line and the empty line only.
    EXPECT_EQ(reply(STATUS_404, false, 26), "HTTP/1.1 404 Not found\r\n\r\n");
}
