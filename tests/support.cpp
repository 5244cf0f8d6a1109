#include "support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {
std::vector<std::string> temp_dirs;

void remove_temp_dirs()
{
    for (auto &d : temp_dirs)
        run_shell("rm -rf '" + d + "'");
}

std::string read_line(int fd, int timeout_ms)
{
    std::string line;
    char c;
    while (true) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        if (read(fd, &c, 1) != 1)
            break;
        if (c == '\n')
            break;
        line += c;
    }
    return line;
}
}  // namespace

// Free on every address, as the program binds every address unless told otherwise.
int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

std::string program_under_test()
{
    const char *other = getenv("PW_TEST_PROGRAM");
    return other && *other ? other : PELLORWICK_BIN;
}

std::string make_temp_dir()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/pwtest.XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data()))
        abort();
    if (temp_dirs.empty())
        atexit(remove_temp_dirs);
    temp_dirs.emplace_back(buf.data());
    return buf.data();
}

void write_file(const std::string &path, const std::string &content)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        abort();
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
}

std::string read_file(const std::string &path)
{
    std::string s;
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return s;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    fclose(f);
    return s;
}

int run_shell(const std::string &command)
{
    int rc = system(command.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

bool start_server(server_proc &s, const std::string &root, const std::string &extra_args)
{
    for (int attempt = 0; attempt < 5; ++attempt) {
        s.port = free_port();
        int in[2], out[2];
        if (pipe(in) || pipe(out))
            return false;
        const int err =
            s.stderr_path.empty() ? -1 : open(s.stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::string cmd = (s.program.empty() ? program_under_test() : s.program) + " --console " +
                          (root.empty() ? "" : "--root '" + root + "' ") + "--port=" + std::to_string(s.port) + " " +
                          extra_args;
        pid_t pid = fork();
        if (pid == 0) {
            dup2(in[0], 0);
            dup2(out[1], 1);
            if (err >= 0)
                dup2(err, 2);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            execl("/bin/sh", "sh", "-c", ("exec " + cmd).c_str(), (char *)nullptr);
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        if (err >= 0)
            close(err);
        s.pid = pid;
        s.in_fd = in[1];
        s.out_fd = out[0];
        s.status_line = read_line(s.out_fd, 20000);
        if (s.status_line.find("For help:") != std::string::npos) {
            s.banner.clear();
            for (std::string line; !(line = read_line(s.out_fd, 5000)).empty();)
                s.banner += line + "\n";
            return true;
        }
        stop_server(s);
    }
    return false;
}

std::string server_command(server_proc &s, const std::string &command)
{
    std::string line = command + "\n";
    if (write(s.in_fd, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return "";
    return read_line(s.out_fd, 10000);
}

std::string server_line(server_proc &s)
{
    return read_line(s.out_fd, 5000);
}

int stop_server(server_proc &s)
{
    if (s.pid <= 0)
        return -1;
    kill(s.pid, SIGTERM);
    int status = 0;
    waitpid(s.pid, &status, 0);
    s.pid = -1;
    close(s.in_fd);
    close(s.out_fd);
    s.in_fd = s.out_fd = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

int connect_to(int port, int receive_buffer, const char *host, const char *source)
{
    sockaddr_in6 a6 = {};
    sockaddr_in a = {};
    const bool v6 = inet_pton(AF_INET6, host, &a6.sin6_addr) == 1;
    if (!v6 && inet_pton(AF_INET, host, &a.sin_addr) != 1)
        return -1;
    int fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    // Set before connecting, so that the window offered to the server is small from the start.
    if (receive_buffer > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    if (source && (v6 || inet_pton(AF_INET, source, &from.sin_addr) != 1 ||
                   bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0)) {
        close(fd);
        return -1;
    }
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    const sockaddr *to = v6 ? reinterpret_cast<sockaddr *>(&a6) : reinterpret_cast<sockaddr *>(&a);
    if (connect(fd, to, v6 ? sizeof a6 : sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool send_all(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string recv_all(int fd, int timeout_ms)
{
    std::string s;
    char buf[65536];
    while (true) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        s.append(buf, static_cast<size_t>(n));
    }
    return s;
}

std::string http_exchange(int port, const std::string &request, int timeout_ms)
{
    int fd = connect_to(port);
    if (fd < 0)
        return "";
    send_all(fd, request);
    std::string reply = recv_all(fd, timeout_ms);
    close(fd);
    return reply;
}

std::map<std::string, long> parse_stats(const std::string &line)
{
    std::map<std::string, long> m;
    std::istringstream in(line);
    std::string field;
    while (in >> field) {
        auto eq = field.find('=');
        if (eq != std::string::npos)
            m[field.substr(0, eq)] = std::stol(field.substr(eq + 1));
    }
    return m;
}

std::map<std::string, long> server_stats(server_proc &s)
{
    return parse_stats(server_command(s, "stats"));
}

std::map<std::string, long> wait_stats(server_proc &s, const std::function<bool(std::map<std::string, long> &)> &done,
                                       int timeout_ms)
{
    auto m = server_stats(s);
    for (int waited = 0; !done(m) && waited < timeout_ms; waited += 20) {
        usleep(20 * 1000);
        m = server_stats(s);
    }
    return m;
}

long cpu_ticks(pid_t pid)
{
    // Fields 14 and 15 of /proc/PID/stat; the command name (field 2) has no spaces here.
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    long total = 0;
    for (int i = 1; i <= 15 && in >> field; ++i)
        if (i >= 14)
            total += std::stol(field);
    return total;
}

std::string test_pki()
{
    static std::string dir;
    if (!dir.empty())
        return dir;
    const std::string d = make_temp_dir();
    const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes";
    const std::string sign = "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
                             "-extfile ext";
    const int rc = run_shell("(cd '" + d + "' && openssl req -x509 " + key +
                             " -keyout ca.key -out ca.pem -days 2 -subj /CN=Test-CA && openssl req " + key +
                             " -keyout server.key -out server.csr -subj /CN=localhost && "
                             "echo subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1 > ext && " +
                             sign + " -days 2 -out server.pem && " + sign + " -days -1 -out expired.pem) >/dev/null 2>&1");
    if (rc == 0)
        dir = d;
    return dir;
}
