// The real program in console mode: start, bind failure, connection
// accounting, idle timeout, counters across stop and start, idle CPU.
#include "support.h"

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <regex>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

class Server : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = make_temp_dir();
        write_file(root + "/index.html", "<html>hello</html>");
        ASSERT_TRUE(start_server(srv, root));
    }
    void TearDown() override
    {
        if (srv.pid > 0) {
            EXPECT_EQ(stop_server(srv), 0);
        }
    }
    std::string root;
    server_proc srv;
};

}  // namespace

TEST_F(Server, SecondProgramOnTheSamePortFailsToBind)
{
    std::string out = make_temp_dir() + "/err";
    int rc = run_shell(program_under_test() + " --console --root '" + root + "' --port " + std::to_string(srv.port) +
                       " </dev/null >/dev/null 2>'" + out + "'");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(read_file(out), "bind() Failed.\nport " + std::to_string(srv.port) +
                                  ": Address already in use; another program listens on this port, "
                                  "choose another one\n");
}

TEST_F(Server, CountsTwoHundredConnections)
{
    auto before = server_stats(srv);
    std::vector<int> socks;
    for (int i = 0; i < 200; ++i) {
        int fd = connect_to(srv.port);
        ASSERT_GE(fd, 0);
        socks.push_back(fd);
    }
    auto m = wait_stats(srv, [](auto &s) { return s["online"] == 200; });
    EXPECT_EQ(m["online"], 200);
    EXPECT_EQ(m["tasks"], 200);
    EXPECT_EQ(m["total"], before["total"] + 200);
    for (int fd : socks)
        close(fd);
    m = wait_stats(srv, [](auto &s) { return s["online"] == 0; });
    EXPECT_EQ(m["online"], 0);
    EXPECT_EQ(m["tasks"], 0);
}

TEST_F(Server, SilentClientIsClosedAfterTheIdleTimeout)
{
    int fd = connect_to(srv.port);
    ASSERT_GE(fd, 0);
    auto m = wait_stats(srv, [](auto &s) { return s["online"] == 1; });
    ASSERT_EQ(m["online"], 1);
    sleep(9);
    EXPECT_EQ(server_stats(srv)["online"], 1);  // not before ten seconds
    m = wait_stats(
        srv, [](auto &s) { return s["online"] == 0; }, 4000);
    EXPECT_EQ(m["online"], 0);
    EXPECT_EQ(recv_all(fd, 1000), "");  // the server closed it
    close(fd);
}

TEST_F(Server, TrafficCountersSurviveStopAndStart)
{
    std::string reply = http_exchange(srv.port, "GET / HTTP/1.0\r\n\r\n");
    ASSERT_FALSE(reply.empty());
    auto before = wait_stats(srv, [](auto &s) { return s["online"] == 0; });
    EXPECT_GT(before["sent"], 0);
    EXPECT_GT(before["recv"], 0);
    EXPECT_GE(before["total"], 1);
    EXPECT_EQ(server_command(srv, "stop"), "Pellorwick HTTP Server 0.1.6");
    EXPECT_LT(connect_to(srv.port), 0);  // nothing listens while stopped
    auto stopped = server_stats(srv);
    EXPECT_EQ(stopped["sent"], before["sent"]);
    EXPECT_EQ(stopped["confs"], 0);
    EXPECT_EQ(stopped["caches"], 0);
    EXPECT_EQ(server_command(srv, "start"), srv.status_line);
    auto after = server_stats(srv);
    EXPECT_EQ(after["sent"], before["sent"]);
    EXPECT_EQ(after["recv"], before["recv"]);
    EXPECT_EQ(after["total"], before["total"]);
    EXPECT_EQ(after["confs"], 12);
}

TEST_F(Server, IdleConnectionsCostNoCpu)
{
    std::vector<int> socks;
    for (int i = 0; i < 100; ++i)
        socks.push_back(connect_to(srv.port));
    // One connection half-closed by its peer, one that sent half a request.
    shutdown(socks[0], SHUT_WR);
    send_all(socks[1], "GET / HTT");
    wait_stats(srv, [](auto &s) { return s["online"] == 99; });
    long ticks = cpu_ticks(srv.pid);
    sleep(2);
    long used = cpu_ticks(srv.pid) - ticks;
    long hz = sysconf(_SC_CLK_TCK);
    EXPECT_LT(used, hz * 2 * 5 / 100) << "used " << used << " ticks in 2 s";
    for (int fd : socks)
        close(fd);
}

TEST_F(Server, ConsoleCommands)
{
    EXPECT_EQ(server_command(srv, "help"), "Commands: stats, clean, stop, start, about, quit, help");
    EXPECT_EQ(server_command(srv, "about"), "Pellorwick HTTP Server 0.1.6");
    EXPECT_FALSE(server_line(srv).empty());
    EXPECT_FALSE(server_line(srv).empty());
    EXPECT_EQ(server_command(srv, "clean"), "Cache cleaned.");
    EXPECT_EQ(server_command(srv, "start"), "The server is already running.");
    EXPECT_EQ(server_command(srv, "frobnicate"), "Unknown command \"frobnicate\"; type help for the list.");
}

TEST(ServerCli, CommandLinesEndWithTheirStatusAndMessage)
{
    const std::string dir = make_temp_dir();
    write_file(dir + "/file", "");
    write_file(dir + "/plain", "# users\nbob:secret\n");
    const std::string bin = program_under_test();
    const std::string pki = test_pki();
    // As a user, port 80 is refused by the system (root runs the row as nobody).
    const std::string as_user = geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "";
    struct row {
        std::string args;
        int status;
        std::string err;  // the start of standard error
    } rows[] = {
        {"--version", 0, ""},
        {"--bogus", 2, "pellorwick: unknown option \"--bogus\"\nusage: pellorwick"},
        {"--console --port abc", 2, "pellorwick: the port must be a number from 0 to 65535, not \"abc\"\nusage:"},
        {"--console --port=70000", 2, "pellorwick: the port must be a number"},
        {"--console --port", 2, "pellorwick: this option needs a value: \"--port\""},
        {"--console --bind example.org", 2, "pellorwick: --bind takes one IPv4 or IPv6 address"},
        {"--console " + dir + " /tmp", 2, "pellorwick: only one folder can be published"},
        {"--log", 2, "pellorwick: --log needs --console"},
        {"--console --auth bob", 2, "pellorwick: --auth takes USER:PASSWORD, not \"bob\"\nusage:"},
        {"--console --allow 127.0.0.1,10.0.0.0/33", 2, "pellorwick: --allow takes addresses, prefixes"},
        {"--console --port 0 --auth-file " + dir + "/plain " + dir, 1,
         dir + "/plain line 2: the password of \"bob\" is not a yescrypt, SHA-512-crypt or bcrypt hash"},
        {"--console --port 0 --auth-file " + dir + "/none " + dir, 1,
         "the password file " + dir + "/none cannot be read: No such file or directory\n"},
        {"--qr", 2, "pellorwick: --qr needs --console"},
        {"--console --port 0 --root /nonexistent", 1, "The root directory /nonexistent does not exist.\n"},
        {"--console --port 0 " + dir + "/file", 1, "The root directory " + dir + "/file is not a directory.\n"},
        {"--console --port 0 --bind 127.0.0.1 --bind=198.51.100.1 /tmp", 1,
         "bind() Failed.\naddress 198.51.100.1 port 0: Cannot assign requested address; the address is not one of"},
        {"--console --tls-cert x.pem /tmp", 2, "pellorwick: --tls-cert and --tls-key go together"},
        {"--console --port 0 --tls-cert /nonexistent.pem --tls-key " + pki + "/server.key /tmp", 1,
         "TLS Failed.\nThe certificate file /nonexistent.pem cannot be read: No such file or directory.\n"},
        {"--console --port 0 --tls-cert " + pki + "/ca.pem --tls-key " + pki + "/server.key /tmp", 1,
         "TLS Failed.\nThe key in " + pki + "/server.key does not belong to the certificate in " + pki + "/ca.pem.\n"},
        {"--console --port 0 --tls-cert " + pki + "/server.key --tls-key " + pki + "/server.key /tmp", 1,
         "TLS Failed.\n" + pki + "/server.key holds no PEM certificate"},
        {"--console --port 80 /tmp", 1,
         "bind() Failed.\nport 80: Permission denied; ports below 1024 need privileges, try port 8080\n"},
    };
    for (const row &r : rows) {
        const std::string prefix = r.args.find("--port 80 ") != std::string::npos ? as_user : "";
        const int rc = run_shell(prefix + bin + " " + r.args + " </dev/null >" + dir + "/out 2>" + dir + "/err");
        EXPECT_EQ(rc, r.status) << r.args;
        EXPECT_EQ(read_file(dir + "/err").substr(0, r.err.size()), r.err) << r.args;
    }
    EXPECT_EQ(run_shell(bin + " --version > " + dir + "/v"), 0);
    EXPECT_EQ(read_file(dir + "/v"), "Pellorwick HTTP Server 0.1.6\n");
    EXPECT_EQ(run_shell("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + bin + " 2> " + dir + "/e"), 2);
    EXPECT_NE(read_file(dir + "/e").find("--console"), std::string::npos);
}

// An expired certificate is served with a warning; a self-signed one is made
// at start, and the fingerprint the console shows is that of the one served.
TEST(ServerCli, TlsStartsWithAnExpiredCertificateOrAMadeOne)
{
    const std::string pki = test_pki();
    ASSERT_FALSE(pki.empty());
    for (const std::string &args : {"--tls-cert " + pki + "/expired.pem --tls-key " + pki + "/server.key",
                                   std::string("--tls-self-signed")}) {
        SCOPED_TRACE(args);
        server_proc s;
        s.stderr_path = pki + "/stderr";
        ASSERT_TRUE(start_server(s, "/tmp", args));
        EXPECT_EQ(s.status_line, "For help: https://127.0.0.1:" + std::to_string(s.port) + "/?help");
        const std::string served = pki + "/served";
        ASSERT_EQ(run_shell("openssl s_client -connect 127.0.0.1:" + std::to_string(s.port) +
                            " </dev/null 2>/dev/null | openssl x509 -noout -fingerprint -sha256 > " + served),
                  0);
        const std::string fingerprint = read_file(served).substr(read_file(served).find('=') + 1, 95);
        EXPECT_NE(s.banner.find(fingerprint), std::string::npos) << s.banner;
        EXPECT_EQ(stop_server(s), 0);
        const std::string warned = read_file(s.stderr_path);
        EXPECT_EQ(warned.find("Warning: the certificate in " + pki + "/expired.pem expired on "),
                  args.find("expired") != std::string::npos ? 0 : std::string::npos)
            << warned;
    }
}

// Which addresses answer, by --bind; tests reach loopback addresses only.
TEST(ServerCli, BindChoosesTheAddressesThatAnswer)
{
    const std::string root = make_temp_dir();
    struct row {
        std::string args;    // after the root; "--root=" forms ride along
        std::string status;  // the host in the status line
        std::vector<std::pair<const char *, bool>> reach;
    } rows[] = {
        {"", "127.0.0.1", {{"127.0.0.1", true}, {"127.0.0.2", true}, {"::1", true}}},
        {"--bind 127.0.0.1", "127.0.0.1", {{"127.0.0.1", true}, {"127.0.0.2", false}, {"::1", false}}},
        {"--bind=localhost", "127.0.0.1", {{"127.0.0.1", true}, {"127.0.0.2", false}}},
        {"--bind ::1", "[::1]", {{"::1", true}, {"127.0.0.1", false}}},
        {"--bind 0.0.0.0", "127.0.0.1", {{"127.0.0.2", true}, {"::1", false}}},
    };
    for (const row &r : rows) {
        server_proc s;
        ASSERT_TRUE(start_server(s, "", "--root=" + root + " " + r.args)) << r.args;
        const std::string port = std::to_string(s.port);
        EXPECT_EQ(s.status_line, "For help: http://" + r.status + ":" + port + "/?help") << r.args;
        for (auto [host, answers] : r.reach) {
            int fd = connect_to(s.port, 0, host);
            EXPECT_EQ(fd >= 0, answers) << r.args << " " << host;
            if (fd >= 0)
                close(fd);
            // The start lists the URLs that reach it.
            const std::string url = std::string(strchr(host, ':') ? "[" : "") + host + (strchr(host, ':') ? "]" : "");
            if (answers && strcmp(host, "127.0.0.2") != 0) {
                EXPECT_NE(s.banner.find("  http://" + url + ":" + port + "/\n"), std::string::npos) << s.banner;
            }
        }
        EXPECT_EQ(stop_server(s), 0);
    }
    // Port 0: the system chooses, and the status line and the URLs name its choice.
    server_proc z;
    ASSERT_TRUE(start_server(z, root, "--port 0"));
    const int chosen = atoi(z.status_line.c_str() + z.status_line.rfind(':') + 1);
    ASSERT_GT(chosen, 0) << z.status_line;
    const int fd = connect_to(chosen);
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_NE(z.banner.find("  http://127.0.0.1:" + std::to_string(chosen) + "/\n"), std::string::npos) << z.banner;
    EXPECT_EQ(stop_server(z), 0);
}

// --allow: other addresses are closed at accept, before a byte is read, and counted.
TEST(ServerCli, AllowServesItsAddressesAndClosesTheOthers)
{
    const std::string root = make_temp_dir();
    write_file(root + "/f", "served\n");
    for (const char *list : {"127.0.0.1", "::ffff:127.0.0.1/128,192.0.2.0/24", "10.0.0.0/8,127.0.0.0/31"}) {
        server_proc s;
        ASSERT_TRUE(start_server(s, root, std::string("--allow ") + list));
        // From 127.0.0.1, from 127.0.0.2, and from ::1.
        for (auto [host, served] : {std::pair{"127.0.0.1", true}, {"127.0.0.2", false}, {"::1", false}}) {
            const bool v4 = strchr(host, ':') == nullptr;
            const int fd = connect_to(s.port, 0, v4 ? "127.0.0.1" : host, v4 ? host : nullptr);
            ASSERT_GE(fd, 0) << host;
            send_all(fd, "GET /f HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
            const std::string got = recv_all(fd);
            close(fd);
            EXPECT_EQ(got.find("served\n") != std::string::npos, served) << list << " " << host << got;
            if (!served) {
                EXPECT_EQ(got, "") << list << " " << host;
            }
        }
        EXPECT_EQ(server_stats(s)["refused"], 2) << list;
        EXPECT_EQ(stop_server(s), 0);
    }
}

// The lines after the URLs: the address for other devices and its code in half blocks.
TEST(ServerCli, QrPrintsTheAddressForOtherDevicesInHalfBlocks)
{
    const std::string root = make_temp_dir();
    server_proc loopback, s;
    ASSERT_TRUE(start_server(loopback, root, "--qr --bind 127.0.0.1"));
    EXPECT_EQ(server_line(loopback), "No QR code: the server listens on this machine's loopback address only.");
    EXPECT_EQ(stop_server(loopback), 0);
    ASSERT_TRUE(start_server(s, root, "--qr"));
    const std::string heading = server_line(s), url = heading.substr(8, heading.find(' ', 8) - 8);
    std::string code;
    for (std::string line; !(line = server_line(s)).empty();)
        code += line + "\n";
    EXPECT_EQ(stop_server(s), 0);
    if (heading.rfind("No QR code", 0) == 0)
        GTEST_SKIP() << "this machine has no address but loopback: " << heading;
    EXPECT_EQ(heading, "To open " + url + " on another device, scan:");
    EXPECT_NE(s.banner.find("  " + url + "\n"), std::string::npos) << s.banner;
    // Each character is two modules, one above the other; zbarimg reads them drawn 8 pixels a module.
    write_file(root + "/code.txt", code);
    write_file(root + "/draw.py",
               "import sys\nrows = []\nfor line in open('code.txt', encoding='utf-8').read().splitlines():\n"
               "    rows += [[c in '\u2580\u2588' for c in line], [c in '\u2584\u2588' for c in line]]\n"
               "w = max(map(len, rows))\npx = b''.join(bytes(0 if x < len(r) and r[x] else 255 for x in "
               "range(w) for _ in range(8)) * 8 for r in rows)\nsys.stdout.buffer.write(b'P5 %d %d 255\\n' "
               "% (8 * w, 8 * len(rows)) + px)\n");
    ASSERT_EQ(run_shell("cd '" + root + "' && python3 draw.py > code.pgm && zbarimg --raw -q code.pgm > read"), 0);
    EXPECT_EQ(read_file(root + "/read"), url + "\n");
}

TEST(ServerCli, LogWritesOneCommonLogFormatLinePerReply)
{
    const std::string root = make_temp_dir();
    write_file(root + "/index.html", "<p>hi</p>");
    write_file(root + "/big", std::string(8 << 20, 'b'));
    server_proc s;
    ASSERT_TRUE(start_server(s, "", "--log " + root));  // the folder as the one argument
    ASSERT_FALSE(http_exchange(s.port, "GET / HTTP/1.0\r\n\r\n").empty());
    http_exchange(s.port, "HEAD /index.html HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
    http_exchange(s.port, "GET /no\"where HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n");
    http_exchange(s.port, "BREW / HTTP/1.1\r\nHost: t\r\n\r\n");
    int fd = connect_to(s.port, 4096, "::1");  // leaves in the middle of a long reply
    ASSERT_GE(fd, 0);
    send_all(fd, "GET /big HTTP/1.1\r\nHost: t\r\n\r\n");
    char some[1000];
    EXPECT_GT(recv(fd, some, sizeof some, 0), 0);
    close(fd);

    const std::regex clf(R"re(^(\S+) - - \[\d\d/\w{3}/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] "(.*)" (\d{3}) (\d+|-)$)re");
    struct {
        const char *peer, *request, *status, *bytes;
    } want[] = {
        {"127.0.0.1", "GET / HTTP/1.0", "200", "9"},
        {"127.0.0.1", "HEAD /index.html HTTP/1.1", "200", "-"},
        {"127.0.0.1", R"(GET /no\"where HTTP/1.1)", "404", "103"},
        {"127.0.0.1", "-", "400", "-"},  // no page but for GET
    };
    for (const auto &w : want) {
        const std::string line = server_line(s);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, clf)) << line;
        EXPECT_EQ(m[1], w.peer);
        EXPECT_EQ(m[2], w.request);
        EXPECT_EQ(m[3], w.status);
        EXPECT_EQ(m[4], w.bytes) << line;
    }
    // The reply cut short is logged once its connection closes, with what was sent.
    std::smatch m;
    const std::string cut = server_line(s);
    ASSERT_TRUE(std::regex_match(cut, m, clf)) << cut;
    EXPECT_EQ(m[1], "::1");
    EXPECT_EQ(m[2], "GET /big HTTP/1.1");
    EXPECT_LT(std::stoll(m[4]), 8 << 20);
    EXPECT_EQ(stop_server(s), 0);
}

TEST(ServerCli, QuitEndsWithStatusZeroAndEndOfInputIsIgnored)
{
    std::string root = make_temp_dir();
    server_proc s;
    ASSERT_TRUE(start_server(s, root));
    EXPECT_TRUE(server_command(s, "quit").empty());
    int status = 0;
    waitpid(s.pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    s.pid = -1;

    server_proc t;
    ASSERT_TRUE(start_server(t, root));
    close(t.in_fd);  // end of input: the server goes on
    t.in_fd = -1;
    usleep(200 * 1000);
    int fd = connect_to(t.port);
    EXPECT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(stop_server(t), 0);
}

// With its descriptors taken by idle connections, the server still answers a
// new client at once: the oldest idle connections make room.
TEST(ServerLimits, IdleConnectionsMakeRoomWhenDescriptorsRunOut)
{
    const std::string root = make_temp_dir();
    write_file(root + "/index.html", "<html>hello</html>");
    server_proc srv;
    srv.program = "prlimit --nofile=64:64 " + program_under_test();
    ASSERT_TRUE(start_server(srv, root));
    std::vector<int> idle;
    for (int i = 0; i < 80; ++i)  // more than it has room for
        idle.push_back(connect_to(srv.port));
    usleep(2000000);  // the server takes them in, the oldest making room
    for (int i = 0; i < 3; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const std::string reply = http_exchange(srv.port, "GET / HTTP/1.0\r\n\r\n", 3000);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
        EXPECT_NE(reply.find("<html>hello</html>"), std::string::npos);
        idle.push_back(connect_to(srv.port));
    }
    for (int fd : idle)
        close(fd);
    EXPECT_EQ(stop_server(srv), 0);
}
