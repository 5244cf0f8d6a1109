// Requests that try to climb out of the served root. The root's parent holds a
// secret file, a secret directory and a secret archive; every traversal form is
// sent over a raw socket and no reply may carry any of their bytes or names.
//
// Symbolic links are followed by design: a link placed inside the tree is the
// owner's decision to publish what it points at, so a link to the secret does
// serve it. Traversal is defeated before the file system is asked, by decoding
// and then cleaning dot segments out of the request path; a link is therefore
// never a way to climb, because "/link/../x" is cleaned to "/x" long before the
// kernel could resolve ".." from the link's target.
#include "support.h"

#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Every secret byte and name carries this mark; no request ever names it
// except the ones that go through deliberate links.
const std::string MARK = "Xq7";
const std::string SECRET_BYTES = "Xq7-secret-bytes: the parent's private file\n";
const std::string INNER_NAME = "Xq7-inner-name.txt";
const std::string INNER_BYTES = "Xq7-inner-bytes\n";
const std::string MEMBER_NAME = "Xq7-member.txt";
const std::string MEMBER_BYTES = "Xq7-zipped-bytes\n";
const std::string PUBLIC_BYTES = "public\n";

// parent/
//   secret.txt, secretdir/<INNER_NAME>, secret.zip (<MEMBER_NAME>), Xq7-parent-entry
//   www2/secret.txt          a sibling whose name shares the root's prefix
//   www/                     the served root
//     pub.txt, sub/x.txt, a.zip (top.txt, inner/doc.txt)
//     link-file -> ../secret.txt, link-dir -> ../secretdir, link.zip -> ../secret.zip
//     dangling -> ../nothing, loop-a <-> loop-b
//     links.zip: a member stored as a symbolic link to ../secret.txt
std::string g_parent;

bool build_tree()
{
    g_parent = make_temp_dir();
    const std::string p = g_parent;
    const std::string w = p + "/www";
    if (mkdir(w.c_str(), 0755) || mkdir((w + "/sub").c_str(), 0755) || mkdir((p + "/secretdir").c_str(), 0755) ||
        mkdir((p + "/www2").c_str(), 0755))
        return false;
    write_file(p + "/secret.txt", SECRET_BYTES);
    write_file(p + "/secretdir/" + INNER_NAME, INNER_BYTES);
    write_file(p + "/" + MARK + "-parent-entry", "listing of the parent\n");
    write_file(p + "/www2/secret.txt", SECRET_BYTES);
    write_file(w + "/pub.txt", PUBLIC_BYTES);
    write_file(w + "/sub/x.txt", "x\n");
    const std::string script = R"PY(
import os, zipfile
with zipfile.ZipFile('secret.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr(')PY" + MEMBER_NAME +
                               "', '" + "Xq7-zipped-bytes\\n" + R"PY(')
with zipfile.ZipFile('www/a.zip', 'w', zipfile.ZIP_DEFLATED) as z:
    z.writestr('top.txt', 'top of the archive\n')
    z.writestr('inner/doc.txt', 'inner document\n')
os.symlink('../secret.txt', 'www/link-file')
os.symlink('../secretdir', 'www/link-dir')
os.symlink('../secret.zip', 'www/link.zip')
os.symlink('../nothing', 'www/dangling')
os.symlink('loop-b', 'www/loop-a')
os.symlink('loop-a', 'www/loop-b')
os.makedirs('zipsrc')
os.symlink('../secret.txt', 'zipsrc/evil')
)PY";
    write_file(p + "/mk.py", script);
    // zip -y stores the link itself, as a member whose bytes are its target.
    return run_shell("cd '" + p + "' && python3 mk.py && rm mk.py && cd zipsrc && zip -q -y ../www/links.zip evil") ==
           0;
}

struct reply {
    int status = 0;
    std::string head;
    std::string body;
    std::string raw;  // every byte received
};

// Splits the first reply off `bytes`; the rest stays in `bytes`.
reply split_reply(std::string &bytes)
{
    reply r;
    r.raw = bytes;
    const size_t end = bytes.find("\r\n\r\n");
    if (bytes.compare(0, 9, "HTTP/1.1 ") != 0 || end == std::string::npos)
        return r;
    r.status = std::stoi(bytes.substr(9, 3));
    r.head = bytes.substr(0, end + 2);
    size_t length = 0;
    const size_t at = r.head.find("\r\nContent-Length: ");
    if (at != std::string::npos)
        length = std::stoul(r.head.substr(at + 18));
    r.body = bytes.substr(end + 4, length);
    bytes.erase(0, std::min(bytes.size(), end + 4 + length));
    return r;
}

class PathEscape : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(build_tree());
        ASSERT_TRUE(start_server(srv, g_parent + "/www"));
    }

    static void TearDownTestSuite()
    {
        if (srv.pid > 0) {
            EXPECT_EQ(stop_server(srv), 0);
        }
    }

    // The whole exchange for one request line (raw bytes, no CR LF) on its own connection.
    static reply fetch(const std::string &method, const std::string &target)
    {
        std::string bytes = http_exchange(srv.port, method + " " + target +
                                                        " HTTP/1.1\r\nHost: localhost\r\n"
                                                        "Connection: close\r\n\r\n");
        return split_reply(bytes);
    }

    // The server still answers: a fresh connection gets the public file.
    static void expect_alive()
    {
        reply r = fetch("GET", "/pub.txt");
        EXPECT_EQ(r.status, 200);
        EXPECT_EQ(r.body, PUBLIC_BYTES);
    }

    static server_proc srv;
};

server_proc PathEscape::srv;

struct attempt {
    std::string target;
    int status;  // what the server answers: the cleaned path names nothing, the root, or is refused
};

// Each target must be answered with its status, carry no secret byte or name,
// and leave the server answering: on a fresh connection, and on the same
// connection when the request is followed by another one.
void try_all(const std::vector<attempt> &attempts, int port)
{
    for (const attempt &a : attempts) {
        SCOPED_TRACE(a.target);
        for (const char *method : {"GET", "HEAD"}) {
            SCOPED_TRACE(method);
            std::string bytes = http_exchange(port, std::string(method) + " " + a.target +
                                                        " HTTP/1.1\r\nHost: localhost\r\n\r\n"
                                                        "GET /pub.txt HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
            EXPECT_EQ(bytes.find(MARK), std::string::npos) << bytes;
            std::string rest = bytes;
            reply first = split_reply(rest);
            EXPECT_EQ(first.status, a.status) << bytes.substr(0, 200);
            if (std::string(method) == "HEAD") {
                // A HEAD reply has no body, whatever its Content-Length says.
                const size_t end = bytes.find("\r\n\r\n");
                rest = end == std::string::npos ? "" : bytes.substr(end + 4);
            }
            reply second = split_reply(rest);
            EXPECT_EQ(second.status, 200) << "no answer to the request that followed";
            EXPECT_EQ(second.body, PUBLIC_BYTES);
        }
    }
}

// Every traversal form: encoded, doubled, with backslashes, overlong UTF-8,
// absolute, through links, and links that lead nowhere.
TEST_F(PathEscape, TraversalFormsStayBelowTheRoot)
{
    try_all(
        {
            // Dot segments, plain and percent-encoded.
            {"/../secret.txt", 404},
            {"/%2e%2e/secret.txt", 404},
            {"/%2E%2e%2fsecret.txt", 404},
            {"/..%2fsecret.txt", 404},
            {"/%2e./secret.txt", 404},
            {"/.%2e/secret.txt", 404},
            {"/sub/..%2f..%2fsecret.txt", 404},
            {"/sub/%2e%2e%2f%2e%2e%2fsecret.txt", 404},
            {"/.../secret.txt", 404},
            {"/....//secret.txt", 404},
            {"//../secret.txt", 404},
            {"/./../secret.txt", 404},
            {"/sub/../../secret.txt", 404},
            {"/../secretdir/", 404},
            {"/%2e%2e/secretdir/", 404},
            {"/../secret.zip/", 404},
            {"/../www2/secret.txt", 404},
            {"/..%2fwww2%2fsecret.txt", 404},
            // Climbing above the root stops at the root: its own listing.
            {"/..", 200},
            {"/../", 200},
            {"/%2e%2e", 200},
            {"/%2e%2e/", 200},
            {"/%2e%2e/%2e%2e/", 200},
            // "%25" decodes to "%": what remains is a literal name, not a dot segment.
            {"/%252e%252e/secret.txt", 404},
            {"/%252e%252e%252fsecret.txt", 404},
            {"/%25%32%65%25%32%65/secret.txt", 404},
            {"/%%32%65%%32%65/secret.txt", 404},
            {"/%uff0e%uff0e/secret.txt", 404},
            // Backslashes are ordinary name bytes.
            {"/..\\secret.txt", 404},
            {"/..%5csecret.txt", 404},
            {"/%5c..%5csecret.txt", 404},
            {"/sub\\..\\..\\secret.txt", 404},
            {"/%2e%2e%5c%2e%2e%5csecret.txt", 404},
            // Overlong UTF-8 encodings are not dots.
            {"/%c0%ae%c0%ae/secret.txt", 404},
            {"/%e0%80%ae%e0%80%ae/secret.txt", 404},
            {"/%f0%80%80%ae%f0%80%80%ae/secret.txt", 404},
            {"/..%c0%afsecret.txt", 404},
            {"/..%e0%80%afsecret.txt", 404},
            {"/%c0%ae%c0%ae%c0%afsecret.txt", 404},
            {"/%c1%9c..%c1%9csecret.txt", 404},
            // Absolute targets are served by their path, or refused.
            {"http:///../secret.txt", 404},
            {"http:///%2e%2e/secret.txt", 404},
            {"http:///..%2f..%2fsecret.txt", 404},
            {"http:///..", 200},
            {"http:///..?x", 200},
            {"http://host/../secret.txt", 501},
            {"http://../secret.txt", 501},
            {"http://:80/../secret.txt", 501},
            {"http://localhost:1/%2e%2e/secret.txt", 501},
            {"http:/../secret.txt", 400},
            {"HTTP:///../secret.txt", 400},
            {"file:///etc/passwd", 400},
            {"../secret.txt", 400},
            {"..", 400},
            {"\\..\\secret.txt", 400},
            {"*", 400},
            // On disk, www/link-dir/../secret.txt is the parent's secret; the request path is
            // cleaned to /secret.txt below the root before anything is looked up.
            {"/link-dir/../secret.txt", 404},
            {"/link-dir/%2e%2e/secret.txt", 404},
            {"/link-dir/..%2fsecret.txt", 404},
            {"/link-dir/../../secret.txt", 404},
            {"/link-file/../secret.txt", 404},
            {"/link-dir/../", 200},
            // Broken and looping links name nothing.
            {"/dangling", 404},
            {"/dangling/", 404},
            {"/loop-a", 404},
            {"/loop-a/", 404},
            {"/loop-b/x", 404},
        },
        srv.port);
}

TEST_F(PathEscape, DotSegmentsInsideArchivePathsAreCleanedBeforeTheArchiveIsOpened)
{
    try_all(
        {
            {"/a.zip/../../secret.txt", 404},
            {"/a.zip/%2e%2e/%2e%2e/secret.txt", 404},
            {"/a.zip/..%2f..%2fsecret.txt", 404},
            {"/a.zip/%2e%2e%2f%2e%2e%2fsecret.txt", 404},
            {"/a.zip/inner/../../../secret.txt", 404},
            {"/a.zip/..\\..\\secret.txt", 404},
            {"/a.zip/../../secret.zip/", 404},
            {"/link.zip/../../secret.txt", 404},
            {"/link.zip/..%2f..%2fsecret.txt", 404},
            {"/a.zip/%2e%2e/", 200},
            {"/a.zip/inner/..", 200},
        },
        srv.port);
    // Dot segments that stay inside the archive still reach its members.
    reply r = fetch("GET", "/a.zip/inner/../top.txt");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "top of the archive\n");
    r = fetch("GET", "/a.zip/inner/%2e/doc.txt");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "inner document\n");
}

TEST_F(PathEscape, NulBytesEndThePath)
{
    try_all(
        {
            {"/..%00/secret.txt", 200},  // the path "/..", cleaned to the root
            {"/%00../secret.txt", 200},
            {"/%2e%2e%00/secret.txt", 200},
            {"/secret.txt%00.html", 404},
            {"/pub.txt%00/../../secret.txt", 200},  // the path "/pub.txt"
            {"/sub%00/../../secret.txt", 302},      // the path "/sub", a directory without its "/"
        },
        srv.port);
    // A raw zero byte in the request line ends it for the reader as well.
    static const char line[] = "GET /pub.txt\0/../../secret.txt HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
    std::string raw(line, sizeof line - 1);
    std::string bytes = http_exchange(srv.port, raw);
    EXPECT_EQ(bytes.find(MARK), std::string::npos);
    reply r = split_reply(bytes);
    EXPECT_NE(r.status, 0);
    expect_alive();
}

TEST_F(PathEscape, VeryLongPathsAreRefusedOrCleaned)
{
    std::string climb = "/";
    while (climb.size() + 3 + 10 < 1020)
        climb += "../";
    std::string encoded = "/";
    while (encoded.size() + 7 + 10 < 1020)
        encoded += "%2e%2e/";
    std::string zigzag = "/";
    while (zigzag.size() + 5 + 14 < 1020)
        zigzag += "sub/..";
    try_all(
        {
            {climb + "secret.txt", 404},   // 1019 bytes: passes the length check, cleaned
            {climb + "/secret.txt", 414},  // 1020 bytes
            {encoded + "secret.txt", 404},
            {zigzag + "/../secret.txt", 404},
            {"/" + std::string(600, 'a') + "/../../secret.txt", 404},  // cleaned, then too long to map
            {"/../" + std::string(600, 'b'), 404},
        },
        srv.port);
    // A request head that never ends within the input buffer.
    std::string huge = "GET /" + std::string(20000, '.') + "/secret.txt HTTP/1.1\r\nHost: t\r\n\r\n";
    std::string bytes = http_exchange(srv.port, huge);
    EXPECT_EQ(bytes.find(MARK), std::string::npos);
    reply r = split_reply(bytes);
    EXPECT_EQ(r.status, 413);
    expect_alive();
}

TEST_F(PathEscape, LinksOutOfTheTreeAreNotServed)
{
    // The kernel refuses them where the path is opened; what they point at stays unpublished.
    const std::string paths[] = {"/link-file", "/link-dir/", "/link-dir", "/link-dir/" + INNER_NAME,
                                 "/link.zip/" + MEMBER_NAME, "/link.zip/"};
    for (const std::string &path : paths) {
        reply r = fetch("GET", path);
        EXPECT_EQ(r.status, 404) << path;
        EXPECT_EQ(r.body, "<html><head><title>404 Not found</title></head>\n<body>404 File " + path +
                              " not found.</body></html>\n");
    }
}

TEST_F(PathEscape, LinkMembersOfAnArchiveAreServedAsTheirOwnBytes)
{
    // A member stored as a symbolic link is data like any other: the link's
    // text, never the file it names on the machine that made the archive.
    reply r = fetch("GET", "/links.zip/evil");
    EXPECT_EQ(r.status, 200);
    EXPECT_EQ(r.body, "../secret.txt");
    EXPECT_EQ(r.raw.find(MARK), std::string::npos);
}

TEST_F(PathEscape, ListingsNeverShowTheParent)
{
    for (const char *target : {"/", "/?O=dN", "/..?O=dS", "/sub/../..", "/%2e%2e/?O=dn", "/a.zip/../"}) {
        SCOPED_TRACE(target);
        reply r = fetch("GET", target);
        EXPECT_EQ(r.status, 200);
        EXPECT_NE(r.body.find("pub.txt"), std::string::npos);  // the root's own listing
        EXPECT_EQ(r.raw.find(MARK), std::string::npos);
        EXPECT_EQ(r.body.find("www2"), std::string::npos);
        EXPECT_EQ(r.body.find("secretdir"), std::string::npos);
    }
    expect_alive();
}

}  // namespace
