// The real program in console mode: start, bind failure, connection
// accounting, idle timeout, counters across stop and start, idle CPU.
#include "support.h"

#include <chrono>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {


std::map<std::string, long> stats(server_proc &s)
{
    return parse_stats(server_command(s, "stats"));
}

// Polls `stats` until the predicate holds or the time runs out.
template <class Pred>
std::map<std::string, long> wait_stats(server_proc &s, Pred pred, int timeout_ms = 5000)
{
    auto m = stats(s);
    for (int waited = 0; !pred(m) && waited < timeout_ms; waited += 50) {
        usleep(50 * 1000);
        m = stats(s);
    }
    return m;
}


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

TEST_F(Server, StatusLineNamesThePort)
{
    EXPECT_EQ(srv.status_line, "For help: http://127.0.0.1:" + std::to_string(srv.port) + "/?help");
}

TEST_F(Server, SecondProgramOnTheSamePortFailsToBind)
{
    std::string out = make_temp_dir() + "/err";
    int rc = run_shell(program_under_test() + " --console --root '" + root + "' --port " +
                       std::to_string(srv.port) + " </dev/null >/dev/null 2>'" + out + "'");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(read_file(out), "bind() Failed.\n");
}

TEST_F(Server, CountsTwoHundredConnections)
{
    auto before = stats(srv);
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
    EXPECT_EQ(stats(srv)["online"], 1);  // not before ten seconds
    m = wait_stats(srv, [](auto &s) { return s["online"] == 0; }, 4000);
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
    auto stopped = stats(srv);
    EXPECT_EQ(stopped["sent"], before["sent"]);
    EXPECT_EQ(stopped["confs"], 0);
    EXPECT_EQ(stopped["caches"], 0);
    EXPECT_EQ(server_command(srv, "start"), srv.status_line);
    auto after = stats(srv);
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

TEST(ServerCli, VersionHelpAndNoDisplay)
{
    std::string dir = make_temp_dir();
    EXPECT_EQ(run_shell(program_under_test() + " --version > " + dir + "/v"), 0);
    EXPECT_EQ(read_file(dir + "/v"), "Pellorwick HTTP Server 0.1.6\n");
    EXPECT_EQ(run_shell(program_under_test() + " --bogus 2>/dev/null"), 2);
    EXPECT_EQ(run_shell(program_under_test() + " --console --port 70000 2>/dev/null </dev/null"), 2);
    EXPECT_EQ(run_shell("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + program_under_test() +
                        " 2> " + dir + "/e"),
              2);
    EXPECT_NE(read_file(dir + "/e").find("--console"), std::string::npos);
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
