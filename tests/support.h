// Helpers shared by the tests: temporary trees, shell commands, and the real
// program started in console mode on a free port.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <sys/types.h>

std::string make_temp_dir();  // a fresh directory under $TMPDIR, removed at exit
void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
int run_shell(const std::string &command);  // exit status of /bin/sh -c

struct server_proc {
    pid_t pid = -1;
    int port = 0;
    int in_fd = -1;   // the program's standard input (console commands)
    int out_fd = -1;  // the program's standard output
    std::string status_line;
    std::string program;      // the program to start; program_under_test() when empty
    std::string stderr_path;  // where its standard error goes; inherited when empty
    std::string banner;       // the lines after the status line: where it serves, the URLs that reach it
};

// A test CA and certificates it signed, made with openssl in a fresh
// directory, which is returned ("" when openssl fails): ca.pem; server.pem
// and server.key for localhost, 127.0.0.1 and ::1; expired.pem (the same
// key, expired yesterday). Made once per process.
std::string test_pki();

// PELLORWICK_BIN, or the program named by $PW_TEST_PROGRAM (to run the tests against another build).
std::string program_under_test();
int free_port();  // a port no socket is bound to at the moment

// Starts the program with --console on a free port (--port=N) and --root
// unless `root` is empty; waits for its status line and the URLs after it.
bool start_server(server_proc &s, const std::string &root, const std::string &extra_args = "");
std::string server_command(server_proc &s, const std::string &command);  // one line back, e.g. for "stats"
std::string server_line(server_proc &s);                                 // the next line the program printed
int stop_server(server_proc &s);                                         // SIGTERM; returns the exit status

// A blocking connection to a loopback address ("127.0.0.1", "127.0.0.2", "::1"), from the
// IPv4 address `source` (e.g. "127.0.0.2") when given, or -1.
int connect_to(int port, int receive_buffer = 0, const char *host = "127.0.0.1", const char *source = nullptr);
bool send_all(int fd, const std::string &bytes);
std::string recv_all(int fd, int timeout_ms = 5000);  // until the peer closes or the timeout
// One connection: send the request, read until close.
std::string http_exchange(int port, const std::string &request, int timeout_ms = 5000);

// "files=F blocks=B ..." as a map from name to value.
std::map<std::string, long> parse_stats(const std::string &line);
std::map<std::string, long> server_stats(server_proc &s);  // the program's counters ("stats")
// Polls the counters until `done` holds or `timeout_ms` pass; returns the last reading.
std::map<std::string, long> wait_stats(server_proc &s, const std::function<bool(std::map<std::string, long> &)> &done,
                                       int timeout_ms = 5000);
long cpu_ticks(pid_t pid);  // user + system clock ticks the process has used
