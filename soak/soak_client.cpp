// Soak and fault test of the real program.
//
// Starts the server in console mode over the tree soak/make_tree.py built,
// keeps several hundred connections busy from one epoll loop for a bounded
// time, and checks every reply of every client that finished byte for byte.
// The mix: whole files, archive members, listings, icons, ranges, HEAD,
// sequential and pipelined keep-alive requests (some deeper than the server's
// input buffer, some sent while the previous reply is still arriving, some
// cut into pieces of a few bytes), malformed requests, clients that abort
// mid-request or mid-reply, clients that send one byte every few seconds,
// clients that never send, and readers that stall. Clean Cache is pressed
// throughout, and a writer keeps changing /w/ of the tree (see `writer`):
// replies about its names must match what the name held while asked.
// Afterwards the connections and tasks must be gone, no file may stay open
// but the cached archives, a last Clean Cache must bring files, blocks and
// cached entries back to their starting values, the resident memory must be
// back near its level after a warm-up, and the sanitizer build's standard
// error must be empty once the program has quit.
//
//   soak_client --server BIN --work DIR [--seconds N] [--clients N] [--seed N]
//               [--idle-timeout S] [--rss-margin-kb N] [--slowloris N [--nofile N]] [--tls 1]
//
// With --tls 1 the server speaks HTTPS with the test CA's certificate, and
// every client speaks TLS.
// With --slowloris N it makes the slowloris run instead (see below).
#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <random>
#include <set>
#include <string>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <zlib.h>

#include "support.h"

namespace {

int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct options {
    std::string server;
    std::string work;
    int seconds = 60;
    int clients = 400;
    unsigned seed = 1;
    int idle_timeout = 10;  // the server's ConnectionTimeOut
    long rss_margin_kb = 24576;
    int slowloris = 0;  // trickling connections of the slowloris run instead of the soak
    int nofile = 1024;  // the descriptor limit of the program under slowloris
    std::string auth;   // USER:PASSWORD: the server asks for it and every request sends it
    bool tls = false;   // the soak over HTTPS, with the test CA's certificate
};

// The clients' TLS settings when the soak runs over HTTPS, else null.
SSL_CTX *g_tls;

// ---- what the server must send --------------------------------------------------

enum res_kind {
    RK_FILE,
    RK_MEMBER,
    RK_LISTING,
    RK_BIG
};

struct resource {
    res_kind kind;
    std::string target;
    std::string bytes;               // files and members
    std::vector<std::string> hrefs;  // listings: links the page must hold
};

std::vector<std::unique_ptr<resource>> g_resources;
std::vector<const resource *> g_bodies;  // files and members
std::string g_auth_line;  // "Authorization: Basic ...\r\n" with --auth, else empty

// Puts the credentials line after the request line, with its line end.
void authorize(std::string &request)
{
    if (g_auth_line.empty())
        return;
    const size_t start = request.find_first_not_of("\r\n");
    const size_t lf = start == std::string::npos ? start : request.find('\n', start);
    if (lf == std::string::npos)
        return;
    std::string line = g_auth_line;
    if (lf == 0 || request[lf - 1] != '\r')
        line.replace(line.size() - 2, 2, "\n");
    request.insert(lf + 1, line);
}
std::vector<const resource *> g_large;   // bodies of 100000 bytes or more
std::vector<const resource *> g_small;   // the others
std::vector<const resource *> g_listings;
const resource *g_big = nullptr;
std::vector<std::string> g_archives;  // archive targets named by members

bool read_whole(const std::string &path, std::string &out)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out.clear();
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return true;
}

std::vector<std::string> split_tabs(const std::string &line)
{
    std::vector<std::string> fields;
    size_t at = 0;
    while (true) {
        size_t tab = line.find('\t', at);
        fields.push_back(line.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos)
            return fields;
        at = tab + 1;
    }
}

bool load_manifest(const std::string &work)
{
    std::string text;
    if (!read_whole(work + "/manifest", text))
        return false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::vector<std::string> f = split_tabs(text.substr(at, end - at));
        at = end + 1;
        if (f.size() < 2)
            continue;
        auto r = std::make_unique<resource>();
        r->target = f[1];
        if (f[0] == "L") {
            r->kind = RK_LISTING;
            r->hrefs.assign(f.begin() + 2, f.end());
            g_listings.push_back(r.get());
        } else {
            r->kind = f[0] == "F" ? RK_FILE : f[0] == "M" ? RK_MEMBER : RK_BIG;
            if (f.size() < 3 || !read_whole(f[2], r->bytes))
                return false;
            if (r->kind == RK_MEMBER) {
                const std::string archive = r->target.substr(0, r->target.find(".zip/") + 4);
                if (std::find(g_archives.begin(), g_archives.end(), archive) == g_archives.end())
                    g_archives.push_back(archive);
            }
            if (r->kind == RK_BIG)
                g_big = r.get();
            else
                g_bodies.push_back(r.get());
            if (r->kind != RK_BIG)
                (r->bytes.size() >= 100000 ? g_large : g_small).push_back(r.get());
        }
        g_resources.push_back(std::move(r));
    }
    return g_big && !g_small.empty() && !g_large.empty() && !g_listings.empty();
}

// ---- the program under test -------------------------------------------------------

struct counters {
    std::string line;
    std::map<std::string, long> v;
    long operator[](const char *k) const
    {
        auto it = v.find(k);
        return it == v.end() ? -1 : it->second;
    }
};

counters stats(server_proc &s)
{
    counters c;
    c.line = server_command(s, "stats");
    size_t at = 0;
    while (at < c.line.size()) {
        size_t sp = c.line.find(' ', at);
        std::string field = c.line.substr(at, sp == std::string::npos ? std::string::npos : sp - at);
        size_t eq = field.find('=');
        if (eq != std::string::npos)
            c.v[field.substr(0, eq)] = atol(field.c_str() + eq + 1);
        if (sp == std::string::npos)
            break;
        at = sp + 1;
    }
    return c;
}

// A "VmRSS:"-style field of /proc/PID/status in kB, or -1.
long proc_kb(pid_t pid, const char *field)
{
    std::string text;
    if (!read_whole("/proc/" + std::to_string(pid) + "/status", text))
        return -1;
    size_t at = text.find(field);
    if (at == std::string::npos)
        return -1;
    return atol(text.c_str() + at + strlen(field));
}

// ---- the writer's part of the tree -------------------------------------------------------

// What a writer name held, and from which tick of the writer until before which.
constexpr uint64_t NEVER = UINT64_MAX;

struct wversion {
    uint64_t born, died;
    uint32_t inode;                            // the file it lay in (the writer's count)
    std::shared_ptr<const std::string> bytes;  // null for a directory, or once no request can want them
    bool deflated = false;                     // a deflated member
};

struct wmember {
    std::string name;
    std::shared_ptr<const std::string> bytes;
    bool deflated;
};

struct wobject {
    uint32_t inode;
    std::shared_ptr<const std::string> bytes;  // the file, or the whole archive
    std::vector<wmember> members;              // archives only
};

enum wkind : uint8_t {
    W_FILE,
    W_MEMBER,
    W_DIR_LIST,
    W_ZIP_LIST
};

// ---- clients ---------------------------------------------------------------------------

enum client_kind {
    CL_SEQUENTIAL,  // keep-alive requests one after the other
    CL_PIPELINED,   // several requests in one write
    CL_HALFCLOSE,   // requests, then the sending side closed
    CL_MALFORMED,   // one request the server must refuse, or must read leniently
    CL_ABORT,       // gives up during the request or the reply
    CL_DRIP,        // the last bytes of the request one every few seconds, within the head deadline
    CL_SILENT,      // connects and never sends
    CL_STALL,       // stops reading in the middle of a large reply
    CL_FRAGMENTED,  // keep-alive requests, each sent in pieces of a few bytes
    CL_KINDS
};

const char *const KIND_NAMES[CL_KINDS] = {"sequential", "pipelined", "half-closed", "malformed", "aborting",
                                          "slow",       "silent",    "stalled",     "fragmented"};

enum check_kind {
    CK_BODY,
    CK_LISTING,
    CK_ICON,
    CK_ERROR,
    CK_WRITER
};

struct expectation {
    std::string request;
    int status = 200;
    bool head = false;      // no body whatever the length says
    bool bodyless = false;  // an error reply without page: no Content-Length either
    check_kind check = CK_BODY;
    const resource *res = nullptr;
    uint32_t first = 0, length = 0;  // the body's window on res->bytes
    bool partial = false;
    bool closes = false;    // the server ends the connection after this reply
    bool reset_ok = false;  // ... and may reset it, having left request bytes unread
    std::string location;   // a 302's Location
    // A writer name (CK_WRITER): what is asked, and the writer's ticks from
    // `lo` (`q`, or 3 s earlier for a disk listing) to the reply that bound
    // the versions the reply may show.
    wkind wk = W_FILE;
    std::string wname;         // the target without its query
    int64_t ra = -1, rb = -1;  // "Range: bytes=ra-rb" (rb -1: to the end)
    uint64_t q = 0, lo = 0;
    bool held = false;     // counted among the outstanding requests
    bool sending = false;  // a whole member whose body is arriving
};

// A ZIP archive of `ms` as it lies on disk: local headers and data, then the
// central directory and its end record.
std::string zip_of(const std::vector<wmember> &ms)
{
    std::string out, dir;
    auto u16 = [](std::string &s, uint32_t v) { s += static_cast<char>(v & 255), s += static_cast<char>(v >> 8); };
    auto u32 = [&](std::string &s, uint32_t v) { u16(s, v & 0xFFFF), u16(s, v >> 16); };
    for (const wmember &m : ms) {
        const std::string &raw = *m.bytes;
        std::string data = raw;
        if (m.deflated) {
            z_stream z = {};
            deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
            data.assign(deflateBound(&z, raw.size()), '\0');
            z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(raw.data()));
            z.avail_in = static_cast<uInt>(raw.size());
            z.next_out = reinterpret_cast<Bytef *>(data.data());
            z.avail_out = static_cast<uInt>(data.size());
            deflate(&z, Z_FINISH);
            data.resize(z.total_out);
            deflateEnd(&z);
        }
        const auto crc =
            static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef *>(raw.data()), static_cast<uInt>(raw.size())));
        const auto offset = static_cast<uint32_t>(out.size());
        for (std::string *s : {&out, &dir}) {
            u32(*s, s == &out ? 0x04034B50 : 0x02014B50);
            if (s == &dir)
                u16(*s, 20);
            u16(*s, 20), u16(*s, 0), u16(*s, m.deflated ? 8 : 0);
            u16(*s, 0x4000), u16(*s, 0x58A6);  // 08:00:00, 6 May 2024
            u32(*s, crc), u32(*s, static_cast<uint32_t>(data.size())), u32(*s, static_cast<uint32_t>(raw.size()));
            u16(*s, static_cast<uint32_t>(m.name.size())), u16(*s, 0);
            if (s == &dir)
                u16(*s, 0), u16(*s, 0), u16(*s, 0), u32(*s, 0), u32(*s, offset);
            *s += m.name;
        }
        out += data;
    }
    const auto n = static_cast<uint32_t>(ms.size());
    const auto start = static_cast<uint32_t>(out.size());
    out += dir;
    u32(out, 0x06054B50), u16(out, 0), u16(out, 0), u16(out, n), u16(out, n);
    u32(out, static_cast<uint32_t>(dir.size())), u32(out, start), u16(out, 0);
    return out;
}

// Between client events the writer changes /w/ of the served tree: it adds,
// deletes and renames files and archives, and rewrites them in place or by
// renaming a new file over them. New files are made outside the tree and
// renamed in, so a name never shows a half-written file. A file is rewritten
// in place only while no request may be reading bytes the server sends
// unchecked: a plain download, a range of a member, a whole stored member
// (once checked, the server sends it straight from the archive). Whole
// deflated members are read meanwhile: the server checks each pass against
// the CRC-32 and must close rather than finish a member whose archive
// changed under it. Every step advances the tick, an in-place rewrite two
// (the file is neither version at the tick between); each name keeps the
// versions it had, with their ticks, as long as an outstanding request may
// still be answered with them.
struct writer {
    std::string root, tmp;
    std::mt19937 rng;
    bool ok = true;
    uint64_t tick = 1;
    std::vector<int64_t> tick_ms{0, now_ms()};
    std::map<std::string, std::vector<wversion>> hist;
    std::map<std::string, wobject> disk;                     // what /w/ holds now
    std::map<uint32_t, std::vector<uint64_t>> inplace;       // ticks a file was rewritten in place, by inode
    std::multiset<uint64_t> outstanding;                     // `lo` of every request not yet answered
    std::map<std::string, std::multiset<uint64_t>> asked;    // ... by name
    std::map<std::string, std::multiset<uint64_t>> reading;  // `q` of requests reading a name's bytes, by name
    std::map<std::string, std::multiset<uint64_t>> whole;    // ... of requests for whole members
    std::map<std::string, int> members_sent;                 // whole members on their way, by archive
    std::vector<std::string> files, zips;
    uint32_t inodes = 0;
    uint64_t ids = 0;
    long added = 0, deleted = 0, in_place = 0, same_size = 0, by_rename = 0, renamed = 0, deferred = 0;
    long bodies = 0, members = 0, ranges = 0, heads = 0, listings = 0, absent = 0, cut = 0;

    static constexpr const char *POOL[] = {"a.txt", "b.bin", "c.html", "d/e.txt", "d/f.bin", "g.txt"};

    writer(const std::string &work, unsigned seed) : root(work + "/root"), tmp(work + "/wtmp"), rng(seed ^ 0x5EEDu)
    {
        mkdir((root + "/w").c_str(), 0755);
        for (int i = 0; i < 10; ++i)
            files.push_back("/w/f" + std::to_string(i) + (i % 3 == 0 ? ".bin" : i % 3 == 1 ? ".txt" : ".html"));
        for (int i = 0; i < 5; ++i)
            zips.push_back("/w/z" + std::to_string(i) + ".zip");
        hist["/w/"].push_back({tick, NEVER, 0, nullptr});
        for (const std::string &name : files)
            if (chance(60))
                put(name, make_file());
        for (const std::string &name : zips)
            if (chance(60))
                put(name, make_archive(nullptr));
    }

    int rnd(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    bool chance(int percent) { return rnd(0, 99) < percent; }
    template <class T>
    const T &pick(const std::vector<T> &v)
    {
        return v[static_cast<size_t>(rnd(0, static_cast<int>(v.size()) - 1))];
    }

    void sys(bool good, const char *what, const std::string &name)
    {
        if (!good && ok)
            fprintf(stderr, "soak: error: writer: %s %s: %s\n", what, name.c_str(), strerror(errno));
        ok = ok && good;
    }

    // Bytes that name their version at the start: text for two versions in
    // three (deflate has something to do), noise for the third.
    std::shared_ptr<const std::string> content(size_t n)
    {
        const uint64_t id = ++ids;
        auto s = std::make_shared<std::string>(n, '\0');
        uint64_t x = id * 0x9E3779B97F4A7C15ull;
        for (char &ch : *s) {
            x ^= x << 13, x ^= x >> 7, x ^= x << 17;
            ch = id % 3 ? "abcdefgh ijklmnop\n"[x % 18] : static_cast<char>(x);
        }
        const std::string tag = "v" + std::to_string(id) + "\n";
        s->replace(0, std::min(n, tag.size()), tag, 0, std::min(n, tag.size()));
        return s;
    }

    wobject make_file()
    {
        static const std::vector<size_t> sizes = {0, 1, 100, 1436, 8192, 8193, 30000, 65536, 100000, 262144, 400000};
        return {++inodes, content(pick(sizes)), {}};
    }

    // A new archive, or one with the names, sizes and methods of `like`.
    wobject make_archive(const wobject *like)
    {
        static const std::vector<size_t> sizes = {0, 1, 700, 1436, 8192, 9000, 40000, 70000, 150000, 400000, 1000000};
        wobject o{++inodes, nullptr, {}};
        if (like) {
            for (const wmember &m : like->members)
                o.members.push_back({m.name, content(m.bytes->size()), m.deflated});
        } else {
            std::vector<std::string> names(std::begin(POOL), std::end(POOL));
            std::shuffle(names.begin(), names.end(), rng);
            names.resize(static_cast<size_t>(rnd(2, 6)));
            const bool all_deflated = chance(50);  // none whose reading holds off a rewrite in place
            for (const std::string &name : names)
                o.members.push_back({name, content(pick(sizes)), all_deflated || chance(50)});
        }
        o.bytes = std::make_shared<const std::string>(zip_of(o.members));
        return o;
    }

    void advance()
    {
        ++tick;
        tick_ms.push_back(now_ms());
    }

    // The tick that was current at `ms`.
    uint64_t tick_at(int64_t ms) const
    {
        const auto at = std::upper_bound(tick_ms.begin(), tick_ms.end(), ms) - tick_ms.begin();
        return std::max<uint64_t>(1, static_cast<uint64_t>(at) - 1);
    }

    // `name` holds `o` from now on: with an archive, its listing, its
    // directories and its members too.
    void appear(const std::string &name, const wobject &o)
    {
        hist[name].push_back({tick, NEVER, o.inode, o.bytes});
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".zip") != 0)
            return;
        hist[name + "/"].push_back({tick, NEVER, o.inode, nullptr});
        for (const wmember &m : o.members) {
            hist[name + "/" + m.name].push_back({tick, NEVER, o.inode, m.bytes, m.deflated});
            const size_t slash = m.name.find('/');
            if (slash == std::string::npos)
                continue;
            std::vector<wversion> &dir = hist[name + "/" + m.name.substr(0, slash + 1)];
            if (dir.empty() || dir.back().died != NEVER)
                dir.push_back({tick, NEVER, o.inode, nullptr});
        }
    }

    // `name`, and whatever lies inside it, is gone from now on.
    void vanish(const std::string &name)
    {
        for (auto it = hist.lower_bound(name); it != hist.end() && it->first.compare(0, name.size(), name) == 0; ++it)
            if ((it->first.size() == name.size() || it->first[name.size()] == '/') && it->second.back().died == NEVER)
                it->second.back().died = tick;
    }

    // Writes `o` beside the tree and renames it over `name`.
    void put(const std::string &name, const wobject &o)
    {
        const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        sys(fd >= 0 && write(fd, o.bytes->data(), o.bytes->size()) == static_cast<ssize_t>(o.bytes->size()),
            "cannot write", tmp);
        if (fd >= 0)
            close(fd);
        advance();
        sys(rename(tmp.c_str(), (root + name).c_str()) == 0, "cannot rename over", name);
        vanish(name);
        appear(name, o);
        disk[name] = o;
    }

    // True when a request outstanding may be reading unchecked bytes of
    // `inode`: it asked for a name that lay in the inode since it was sent
    // (as a stored member, for a whole member).
    bool reader_holds(uint32_t inode) const
    {
        for (const auto *readers : {&reading, &whole})
            for (const auto &[name, qs] : *readers) {
                const auto h = hist.find(name);
                if (qs.empty() || h == hist.end())
                    continue;
                for (const wversion &v : h->second)
                    if (v.inode == inode && v.died > *qs.begin() && !(readers == &whole && v.deflated))
                        return true;
            }
        return false;
    }

    void rewrite_in_place(const std::string &name, const wobject &old)
    {
        const bool archive = !old.members.empty();
        wobject o = archive ? make_archive(chance(50) ? &old : nullptr) : make_file();
        o.inode = old.inode;
        advance();
        vanish(name);
        inplace[o.inode].push_back(tick);
        const int fd = open((root + name).c_str(), O_WRONLY | O_CLOEXEC);
        sys(fd >= 0 && pwrite(fd, o.bytes->data(), o.bytes->size(), 0) == static_cast<ssize_t>(o.bytes->size()) &&
                ftruncate(fd, static_cast<off_t>(o.bytes->size())) == 0,
            "cannot rewrite", name);
        if (fd >= 0 && o.bytes->size() == old.bytes->size()) {
            // Where time stamps are coarse, a rewrite of the same size within
            // one clock tick would leave the file looking unchanged to anyone.
            timespec times[2] = {{0, UTIME_OMIT}, {}};
            clock_gettime(CLOCK_REALTIME, &times[1]);
            sys(futimens(fd, times) == 0, "cannot stamp", name);
            ++same_size;
        }
        if (fd >= 0)
            close(fd);
        advance();
        appear(name, o);
        disk[name] = o;
        ++in_place;
    }

    void step()
    {
        const bool archive = chance(40);
        const int op = rnd(0, 99);
        if (op < 30) {
            // In place: a file of the kind that no request may be reading
            // unchecked; mostly an archive with members on their way.
            std::vector<std::string> free, sending;
            for (const auto &[name, o] : disk)
                if (!o.members.empty() == archive && !reader_holds(o.inode))
                    (members_sent[name] > 0 ? sending : free).push_back(name);
            if (!sending.empty() && (free.empty() || chance(80)))
                free.swap(sending);
            if (free.empty()) {
                ++deferred;
            } else {
                const std::string &name = pick(free);
                rewrite_in_place(name, disk[name]);
            }
            prune();
            return;
        }
        const std::string name = pick(archive ? zips : files);
        const auto it = disk.find(name);
        if (it == disk.end()) {
            put(name, archive ? make_archive(nullptr) : make_file());
            ++added;
        } else if (op < 42) {
            advance();
            sys(unlink((root + name).c_str()) == 0, "cannot delete", name);
            vanish(name);
            disk.erase(it);
            ++deleted;
        } else if (op < 70) {
            put(name, archive ? make_archive(nullptr) : make_file());
            ++by_rename;
        } else {
            // Renamed, over another name now and then.
            const std::string to = pick(archive ? zips : files);
            if (to == name)
                return;
            const wobject o = it->second;
            advance();
            sys(rename((root + name).c_str(), (root + to).c_str()) == 0, "cannot rename", name);
            vanish(name);
            vanish(to);
            appear(to, o);
            disk.erase(name);
            disk[to] = o;
            ++renamed;
        }
        prune();
    }

    // Forgets versions no request can be answered with any more: gone before
    // the oldest outstanding request's first tick, and 4 s ago (a disk
    // listing request looks 3 s back); their bytes as soon as that holds
    // for the requests about their own name.
    void prune()
    {
        const uint64_t recent = tick_at(now_ms() - 4000);
        const uint64_t bound = outstanding.empty() ? recent : std::min(recent, *outstanding.begin());
        for (auto it = hist.begin(); it != hist.end();) {
            std::erase_if(it->second, [&](const wversion &v) { return v.died <= bound; });
            const auto a = asked.find(it->first);
            const uint64_t own = a == asked.end() || a->second.empty() ? tick : *a->second.begin();
            for (wversion &v : it->second)
                if (v.died <= own)
                    v.bytes.reset();
            it = it->second.empty() ? hist.erase(it) : std::next(it);
        }
        for (auto &[inode, ticks] : inplace)
            std::erase_if(ticks, [&](uint64_t t) { return t < bound; });
    }

    // ---- requests and replies

    // A request about a writer name: its target, and a Range field now and then.
    void request(expectation &e, std::string &target, std::string &fields)
    {
        e.check = CK_WRITER;
        const std::string &zip = pick(zips);
        const int k = rnd(0, 99);
        e.wk = k < 32 ? W_FILE : k < 72 ? W_MEMBER : k < 86 ? W_DIR_LIST : W_ZIP_LIST;
        e.wname = k < 25   ? pick(files)
                  : k < 32 ? zip
                  : k < 72 ? zip + "/" + POOL[rnd(0, 5)]
                  : k < 86 ? "/w/"
                           : zip + (chance(60) ? "/" : "/d/");
        target = e.wname;
        if (e.wk >= W_DIR_LIST) {
            static const char *const keys[] = {"dN", "dn", "dS", "dT", "N"};
            if (chance(40))
                target += std::string("?O=") + keys[rnd(0, 4)];
        } else if (chance(e.wk == W_FILE ? 25 : 10)) {
            e.ra = chance(50) ? rnd(0, 2000) : rnd(0, 200000);
            e.rb = chance(30) ? -1 : e.ra + rnd(0, 100000);
            fields += "Range: bytes=" + std::to_string(e.ra) + "-" + (e.rb < 0 ? "" : std::to_string(e.rb)) + "\r\n";
        }
    }

    std::map<std::string, std::multiset<uint64_t>> *readers(const expectation &e)
    {
        return e.head || e.wk > W_MEMBER ? nullptr : e.wk == W_MEMBER && e.ra < 0 ? &whole : &reading;
    }

    // The request has gone out (or is about to).
    void hold(expectation &e)
    {
        e.q = tick;
        e.lo = e.wk == W_DIR_LIST ? tick_at(now_ms() - 3000) : tick;
        e.held = true;
        outstanding.insert(e.lo);
        asked[e.wname].insert(e.lo);
        if (auto *r = readers(e))
            (*r)[e.wname].insert(e.q);
    }

    // The head of a reply about a whole member is in, its body follows.
    void sending(expectation &e)
    {
        if (e.wk == W_MEMBER && e.ra < 0 && !e.head && !e.sending)
            ++members_sent[e.wname.substr(0, e.wname.find(".zip/") + 4)], e.sending = true;
    }

    void release(expectation &e)
    {
        if (!e.held)
            return;
        e.held = false;
        outstanding.erase(outstanding.find(e.lo));
        asked[e.wname].erase(asked[e.wname].find(e.lo));
        if (auto *r = readers(e))
            (*r)[e.wname].erase((*r)[e.wname].find(e.q));
        if (e.sending)
            --members_sent[e.wname.substr(0, e.wname.find(".zip/") + 4)], e.sending = false;
    }

    const std::vector<wversion> &versions(const std::string &name) const
    {
        static const std::vector<wversion> none;
        const auto h = hist.find(name);
        return h == hist.end() ? none : h->second;
    }

    bool there(const std::string &name, uint64_t lo) const
    {
        for (const wversion &v : versions(name))
            if (v.born <= tick && v.died > lo)
                return true;
        return false;
    }

    // A connection closed before a reply about a member was complete: only
    // an archive rewritten in place while it was asked may cause that.
    bool cut_allowed(const expectation &e)
    {
        if (e.wk != W_MEMBER)
            return false;
        for (const wversion &v : versions(e.wname.substr(0, e.wname.find(".zip/") + 4))) {
            const auto in = inplace.find(v.inode);
            if (v.born <= tick && v.died > e.q && in != inplace.end())
                for (uint64_t t : in->second)
                    if (t >= e.q)
                        return ++cut, true;
        }
        return false;
    }

    std::string check_listing(const expectation &e, const std::string &body)
    {
        std::set<std::string> shown;
        for (size_t at = body.find("<pre>");
             at != std::string::npos && (at = body.find("<a href=\"", at)) != std::string::npos;) {
            at += 9;
            const std::string href = body.substr(at, body.find('"', at) - at);
            if (href.empty() || href[0] == '/')
                continue;
            if (!there(e.wname + href, e.lo))
                return "lists " + href + ", which was not there then";
            shown.insert(href);
        }
        for (auto it = hist.lower_bound(e.wname);
             it != hist.end() && it->first.compare(0, e.wname.size(), e.wname) == 0; ++it) {
            const std::string rest = it->first.substr(e.wname.size());
            if (rest.empty() || rest.find('/') < rest.size() - 1 || shown.count(rest))
                continue;
            for (const wversion &v : it->second)
                if (v.born <= e.lo && v.died > tick)
                    return "does not list " + rest + ", there all the while";
        }
        ++listings;
        return "";
    }

    // Empty when the reply shows what the name held at some tick from e.lo
    // to now; else what is wrong.
    std::string verify(const expectation &e, int status, uint64_t length, const std::string &range,
                       const std::string &body)
    {
        const std::vector<wversion> &vs = versions(e.wname);
        if (status == 404) {
            // Not there at some tick: before a version, between two, or after the last.
            uint64_t t = e.lo;
            for (const wversion &v : vs)
                if (v.born <= t && v.died > t)
                    t = v.died;
            ++absent;
            return t > tick ? "404, yet it was there all the while" : "";
        }
        if (status == 200 && e.wk >= W_DIR_LIST) {
            if (!there(e.wname, e.lo))
                return "a listing of a directory that was not there";
            return e.head ? "" : check_listing(e, body);
        }
        if ((status == 206 || status == 416) != (e.ra >= 0) || (status != 200 && status != 206 && status != 416))
            return "status " + std::to_string(status);
        for (const wversion &v : vs) {
            if (v.born > tick || v.died <= e.lo || !v.bytes)
                continue;
            const std::string &b = *v.bytes;
            if (status == 200 && length == b.size() && (e.head || body == b)) {
                ++(e.head ? heads : e.wk == W_MEMBER ? members : bodies);
                return "";
            }
            if (e.ra < 0 || (status == 416) != (static_cast<uint64_t>(e.ra) >= b.size()))
                continue;
            if (status == 416)
                return ++ranges, "";
            const uint64_t last = std::min<uint64_t>(e.rb < 0 ? UINT64_MAX : static_cast<uint64_t>(e.rb), b.size() - 1);
            const std::string want =
                "bytes " + std::to_string(e.ra) + "-" + std::to_string(last) + "/" + std::to_string(b.size());
            if (range == want && length == last + 1 - static_cast<uint64_t>(e.ra) &&
                (e.head || body.compare(0, std::string::npos, b, static_cast<size_t>(e.ra), length) == 0))
                return ++ranges, "";
        }
        // What it differs from: each version of its size from the first byte
        // that differs, and the rewrites in place meanwhile.
        std::string why =
            "matches no version it had; asked at tick " + std::to_string(e.q) + ", now " + std::to_string(tick);
        for (const wversion &v : vs) {
            if (v.born > tick || v.died <= e.lo || !v.bytes)
                continue;
            size_t at = 0;
            while (at < body.size() && at < v.bytes->size() && body[at] == (*v.bytes)[at])
                ++at;
            why += "; " + v.bytes->substr(0, v.bytes->find('\n')) + " (" + std::to_string(v.bytes->size()) + " bytes" +
                   (v.deflated ? ", deflated" : "") + ", ticks " + std::to_string(v.born) + " to " +
                   (v.died == NEVER ? "now" : std::to_string(v.died)) + ") differs at byte " + std::to_string(at);
            if (const auto in = inplace.find(v.inode); in != inplace.end())
                for (uint64_t t : in->second)
                    if (t >= e.q)
                        why += ", its file rewritten in place at tick " + std::to_string(t);
        }
        return why;
    }
};

struct client {
    int fd = -1;
    SSL *ssl = nullptr;    // over HTTPS
    bool tls_in = false;   // a send waits for the session to receive first
    client_kind kind = CL_SEQUENTIAL;
    bool connected = false;
    bool sequential = false;  // send each request after the previous reply
    bool eager = false;       // ... or as soon as the previous reply's head is in
    bool half_close = false;
    bool shut = false;
    uint32_t interest = 0;  // current epoll mask
    bool registered = false;
    std::vector<expectation> exps;
    size_t queued = 0;   // requests appended to out
    size_t replied = 0;  // replies read in full
    std::string out;
    size_t out_pos = 0;
    size_t out_limit = 0;  // bytes of out that may be sent now
    // reply being read
    bool in_body = false;
    std::string head_buf;
    uint64_t body_len = 0, body_got = 0;
    std::string body;  // kept for pages, not for files
    std::string content_type;
    int status = 0;  // a reply about a writer name: its status, length and range
    uint64_t length = 0;
    std::string range;
    // faults
    uint64_t abort_at = 0;  // abort after this many body bytes of reply `abort_reply`
    size_t abort_reply = 0;
    bool abort_rst = false;
    bool abort_after_send = false;
    bool no_reply = false;  // the request is incomplete: only the server's close may come
    int drip_ms = 0;        // a piece of the request every drip_ms
    int drip_max = 1;       // of 1 to drip_max bytes
    int64_t next_drip = 0;
    uint64_t stall_at = 0;
    int64_t stall_until = 0;
    bool stalled = false;
    bool stall_resumed = false;
    // time
    int64_t started = 0;
    int64_t last_progress = 0;
    int64_t eof_wait_until = 0;
    bool done = false;
};

struct tally {
    long started[CL_KINDS] = {};
    long passed[CL_KINDS] = {};
    long failed[CL_KINDS] = {};
    long replies = 0, replies_body = 0, replies_member = 0, replies_listing = 0, replies_range = 0;
    long replies_head = 0, replies_error = 0, replies_icon = 0;
    long aborted = 0;
    long connections = 0;
    long connect_failures = 0;
    long errors = 0;
    long silent_closed = 0;
    int64_t silent_ms_min = INT64_MAX, silent_ms_max = 0;
    long stall_closed = 0;
    uint64_t body_bytes = 0;
};

struct runner {
    const options &opt;
    server_proc &srv;
    std::mt19937 rng;
    int ep = -1;
    std::vector<client *> live;
    int live_kind[CL_KINDS] = {};
    tally t;
    bool long_kinds = true;  // slow, silent and stalled clients allowed
    int64_t load_end = 0;
    sockaddr_in addr = {};
    writer *wtr = nullptr;  // changes /w/ between events, when set

    runner(const options &o, server_proc &s) : opt(o), srv(s), rng(o.seed)
    {
        ep = epoll_create1(EPOLL_CLOEXEC);
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(s.port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }

    int rnd(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
    bool chance(int percent) { return rnd(0, 99) < percent; }

    // ---- reporting

    [[gnu::format(printf, 3, 4)]] void fail(client &c, const char *format, ...)
    {
        if (c.done)
            return;
        ++t.errors;
        ++t.failed[c.kind];
        if (t.errors <= 25) {
            char text[512];
            va_list args;
            va_start(args, format);
            vsnprintf(text, sizeof text, format, args);
            va_end(args);
            std::string req;
            if (!c.exps.empty())
                req = c.exps[std::min(c.replied, c.exps.size() - 1)].request;
            for (size_t at = 0; (at = req.find("\r\n", at)) != std::string::npos;)
                req.replace(at, 2, " | ");
            if (req.size() > 160)
                req = req.substr(0, 160) + "...";
            for (char &ch : req)
                if (static_cast<unsigned char>(ch) < 32 || static_cast<unsigned char>(ch) > 126)
                    ch = '?';
            fprintf(stderr, "soak: error: %s client, reply %zu of %zu (%s): %s\n", KIND_NAMES[c.kind], c.replied + 1,
                    c.exps.size(), req.c_str(), text);
        }
        finish(c, false, true);
    }

    void finish(client &c, bool passed, bool rst)
    {
        if (c.done)
            return;
        c.done = true;
        if (wtr)
            for (expectation &e : c.exps)
                wtr->release(e);
        if (passed)
            ++t.passed[c.kind];
        if (c.fd >= 0) {
            if (rst) {
                linger l = {1, 0};
                setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            }
            SSL_free(c.ssl);
            c.ssl = nullptr;
            ERR_clear_error();
            close(c.fd);  // also leaves the epoll set
            c.fd = -1;
        }
    }

    // ---- requests

    void hold(expectation &e)
    {
        if (wtr && e.check == CK_WRITER)
            wtr->hold(e);
    }

    // The server closed while a reply about a member was under way, as it
    // must when the member's archive changed beneath it.
    bool writer_cut(client &c)
    {
        if (!wtr || c.replied >= c.exps.size() || c.exps[c.replied].check != CK_WRITER ||
            !wtr->cut_allowed(c.exps[c.replied]))
            return false;
        finish(c, true, false);
        return true;
    }

    static std::string request(const std::string &method, const std::string &target, const std::string &version,
                               const std::string &fields)
    {
        return method + " " + target + " " + version + "\r\nHost: soak\r\nUser-Agent: soak\r\n" + g_auth_line + fields +
               "\r\n";
    }

    // The reply to a range of `size` bytes: 206 with its window, or 416.
    void expect_range(expectation &e, uint32_t size, std::string &field)
    {
        int64_t first = 0, end = 0;
        bool ok = true;
        switch (rnd(0, 2)) {
        case 0: {
            int64_t a =
                chance(90) ? rnd(0, size ? static_cast<int>(size) - 1 : 0) : rnd(0, static_cast<int>(size) + 10);
            int64_t b = chance(10) ? a - rnd(1, 3) : a + rnd(0, static_cast<int>(size));
            if (b < 0)
                b = 0;
            field = "Range: bytes=" + std::to_string(a) + "-" + std::to_string(b) + "\r\n";
            first = a;
            end = std::min<int64_t>(b + 1, size);
            ok = a < size && first < end;
            break;
        }
        case 1: {
            int64_t a = chance(92) ? rnd(0, size ? static_cast<int>(size) - 1 : 0) : rnd(0, static_cast<int>(size) + 5);
            field = "Range: bytes=" + std::to_string(a) + "-\r\n";
            first = a;
            end = size;
            ok = a < size;
            break;
        }
        default: {
            // A suffix longer than the entry, or of nothing, is not satisfiable.
            int64_t n = chance(92) ? rnd(1, size ? static_cast<int>(size) : 1) : rnd(0, static_cast<int>(size) + 5);
            field = "Range: bytes=-" + std::to_string(n) + "\r\n";
            first = static_cast<int64_t>(size) - n;
            end = size;
            ok = n > 0 && n <= size;
            break;
        }
        }
        if (ok) {
            e.status = 206;
            e.partial = true;
            e.first = static_cast<uint32_t>(first);
            e.length = static_cast<uint32_t>(end - first);
        } else {
            e.status = 416;
            e.check = CK_ERROR;
        }
    }

    // One well-formed request. `ka` is the connection's persistence as the
    // server keeps it: 1 after an HTTP/1.1 request line, 2 after "keep-alive",
    // 0 after "close"; an HTTP/1.0 request leaves it as it was and keeps the
    // connection only at 2. The request may end the connection only when it is
    // the last one and `allow_close` is set.
    expectation random_request(int &ka, bool last, bool allow_close = true, bool small_only = false)
    {
        expectation e;
        std::string method = chance(12) ? "HEAD" : "GET";
        e.head = method == "HEAD";
        std::string version, fields, target;
        while (true) {
            const int v = rnd(0, 99);
            int next = ka;
            if (v < 45) {
                version = "HTTP/1.1", fields = "", next = 1;
            } else if (v < 55) {
                version = "HTTP/1.1", fields = "Connection: Keep-Alive\r\n", next = 2;
            } else if (v < 67) {
                version = "HTTP/1.0", fields = "Connection: keep-alive\r\n", next = 2;
            } else if (v < 80) {
                version = "HTTP/1.0", fields = "";
            } else if (v < 92) {
                version = "HTTP/1.1", fields = "Connection: close\r\n", next = 0;
            } else {
                version = "HTTP/1.0", fields = "Connection: close\r\n", next = 0;
            }
            const bool closes = version == "HTTP/1.1" ? next == 0 : next < 2;
            if (closes && !(last && allow_close))
                continue;
            ka = next;
            e.closes = closes;
            break;
        }
        const int r = rnd(0, 99);
        if (wtr && !small_only && r < 20) {
            wtr->request(e, target, fields);
        } else if (r < 55) {
            const resource *res = !small_only && chance(35) ? g_large[rnd(0, static_cast<int>(g_large.size()) - 1)]
                                                            : g_bodies[rnd(0, static_cast<int>(g_bodies.size()) - 1)];
            if (small_only && res->bytes.size() >= 100000)
                res = g_small[rnd(0, static_cast<int>(g_small.size()) - 1)];
            e.res = res;
            target = res->target;
            e.first = 0;
            e.length = static_cast<uint32_t>(res->bytes.size());
            if (chance(35)) {
                std::string range;
                expect_range(e, static_cast<uint32_t>(res->bytes.size()), range);
                fields += range;
            }
        } else if (r < 85) {
            const resource *res = g_listings[rnd(0, static_cast<int>(g_listings.size()) - 1)];
            e.res = res;
            e.check = CK_LISTING;
            target = res->target;
            if (chance(40)) {
                static const char *const keys[] = {"dN", "dn", "dS", "ds", "dT", "dt", "N", "dSN"};
                target += std::string("?O=") + keys[rnd(0, 7)];
            }
        } else if (r < 92) {
            static const char *const icons[] = {"folder.gif", "text.gif", "zipfolder.gif", "bin.gif", "html.gif"};
            e.check = CK_ICON;
            target = std::string("/?rc=") + icons[rnd(0, 4)];
        } else {
            e.status = 404;
            e.check = CK_ERROR;
            target = chance(50) ? "/files/missing" + std::to_string(rnd(0, 999)) + ".bin"
                                : "/arch/deflated.zip/docs/none" + std::to_string(rnd(0, 99)) + ".txt";
        }
        e.request = request(method, target, version, fields);
        return e;
    }

    // Requests the server refuses or reads leniently, with what it answers.
    expectation malformed_request()
    {
        expectation e;
        e.check = CK_ERROR;
        const resource *small = g_bodies[0];
        for (const resource *r : g_bodies)
            if (r->kind == RK_FILE && r->bytes.size() == 100)
                small = r;
        auto body_of = [&](expectation &x) {
            x.check = CK_BODY;
            x.res = small;
            x.first = 0;
            x.length = static_cast<uint32_t>(small->bytes.size());
        };
        switch (rnd(0, 22)) {
        case 0:
            e.request = "GARBAGE\r\n\r\n";
            e.status = 400;
            e.bodyless = e.closes = true;
            break;
        case 1:
            e.request = "BREW /pot HTTP/1.1\r\nHost: t\r\n\r\n";
            e.status = 400;
            e.bodyless = e.closes = true;
            break;
        case 2: {
            // Bytes of no request at all (no CR, LF or zero among them).
            std::string junk = "\x01";
            for (int i = rnd(1, 300); i > 0; --i) {
                char ch = static_cast<char>(rnd(1, 255));
                junk += ch == '\r' || ch == '\n' ? 'x' : ch;
            }
            e.request = junk + "\r\n\r\n";
            e.status = 400;
            e.bodyless = e.closes = true;
            break;
        }
        case 3:
            e.request = "GET " + small->target + " HTTP/1.1\r\nHost: t\r\nNoColonHere\r\n\r\n";
            e.status = 400;
            break;
        case 4:
            e.request = "GET " + small->target + " HTTP/1.1\r\nHost: t\r\n: no name\r\n\r\n";
            e.status = 400;
            break;
        case 5:
            e.request = "POST /files/ HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
            e.status = 501;
            e.bodyless = e.closes = true;
            break;
        case 6:
            e.request = "DELETE " + small->target + " HTTP/1.0\r\n\r\n";
            e.status = 501;
            e.bodyless = e.closes = true;
            break;
        case 7:
            e.request = "GET " + small->target + " HTTP/2.0\r\nHost: t\r\n\r\n";
            e.status = 505;
            break;
        case 8:
            e.request = "GET * HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
            e.status = 400;
            e.closes = true;
            break;
        case 9:
            e.request = "GET http://example.com/ HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
            e.status = 501;
            e.closes = true;
            break;
        case 10:
            e.request = "GET /no/such/file HTTP/1.0\r\n\r\n";
            e.status = 404;
            e.closes = true;
            break;
        case 11:
            e.request = "GET /dirs/d1 HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
            e.status = 302;
            e.closes = true;
            e.location = "/dirs/d1/";
            break;
        case 12:
            e.request = "GET " + small->target + " HTTP/1.1\r\nHost: t\r\nRange: bytes=0-1,5-9\r\nConnection: close\r\n\r\n";
            e.status = 416;
            e.closes = true;
            break;
        case 13:
            e.request = "GET /" + std::string(1100, 'a') + " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
            e.status = 414;
            e.closes = true;
            break;
        case 14:
            // A head that never ends within the input buffer.
            e.request = "GET /" + std::string(17000, 'a');
            e.status = 413;
            e.bodyless = e.closes = e.reset_ok = true;
            break;
        case 15:
            e.request = "GET " + small->target + " HTTP/1.1\r\nHost: t\r\nRange: bytes=100-\r\nConnection: close\r\n\r\n";
            e.status = 416;
            e.closes = true;
            break;
        case 16:
            e.request = "\r\n\r\nGET " + small->target + " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
            body_of(e);
            e.closes = true;
            break;
        case 17:
            e.request = "GET " + small->target + " HTTP/1.1\nHost: t\nConnection: close\n\n";
            body_of(e);
            e.closes = true;
            break;
        case 18:
            e.request = "get " + small->target + " http/1.1\r\nhost: t\r\nCONNECTION: CLOSE\r\nrange: bytes=10-19\r\n\r\n";
            body_of(e);
            e.status = 206;
            e.partial = true;
            e.first = 10;
            e.length = 10;
            e.closes = true;
            break;
        case 19:
            e.request = "GET " + small->target + " HTTP/1.1\r\nHost: t\r\nRange: items=0-9\r\nX-Long: " + std::string(8000, 'z') +
                        "\r\nConnection: close\r\n\r\n";
            body_of(e);
            e.closes = true;
            break;
        case 20:
            // Heads that a proxy in front could read otherwise end the connection.
            e.request = "GET " + small->target + " HTTP/1.1\r\nConnection: close\r\n\r\n";
            e.status = 400;
            e.closes = true;
            break;
        case 21:
            e.request = "GET " + small->target + " HTTP/1.1\r\nHost: t\r\nX-A: b\rc\r\n\r\n";
            e.status = 400;
            e.closes = true;
            break;
        default:
            e.request = "HEAD /no/such/file HTTP/1.1\r\nHost: t\r\nConnection: close\r\n\r\n";
            e.status = 404;
            e.head = e.bodyless = e.closes = true;
            break;
        }
        authorize(e.request);
        return e;
    }

    // ---- starting clients

    // How long a stalled reader stops reading. The server's socket keeps
    // taking data for a while after the reader stops, as the kernel grows its
    // send buffer on each window probe; the probes back off exponentially,
    // so the growth stops well within two idle timeouts.
    int64_t stall_ms() const { return (3 * opt.idle_timeout + 2) * 1000LL; }

    client_kind pick_kind()
    {
        static const int weights[CL_KINDS] = {26, 15, 6, 12, 16, 8, 5, 2, 8};
        int total = 0;
        for (int w : weights)
            total += w;
        int r = rnd(0, total - 1);
        int k = 0;
        while (r >= weights[k])
            r -= weights[k++];
        const int64_t left = load_end - now_ms();
        const int64_t long_need = (opt.idle_timeout + 6) * 1000LL;
        switch (k) {
        case CL_DRIP:
            if (!long_kinds || live_kind[CL_DRIP] >= opt.clients / 8 || left < 8000)
                return CL_SEQUENTIAL;
            break;
        case CL_SILENT:
            if (!long_kinds || live_kind[CL_SILENT] >= opt.clients / 8 || left < long_need)
                return CL_SEQUENTIAL;
            break;
        case CL_STALL:
            if (!long_kinds || live_kind[CL_STALL] >= 6 || left < stall_ms() + 6000)
                return CL_SEQUENTIAL;
            break;
        default:
            break;
        }
        return static_cast<client_kind>(k);
    }

    void build(client &c)
    {
        const int64_t left = load_end - now_ms();
        int ka = 0;
        switch (c.kind) {
        case CL_SEQUENTIAL: {
            const int n = rnd(1, 6);
            for (int i = 0; i < n; ++i)
                c.exps.push_back(random_request(ka, i == n - 1));
            c.sequential = true;
            c.eager = chance(25);
            break;
        }
        case CL_PIPELINED: {
            // Now and then more requests than the input buffer holds at once.
            const bool deep = chance(15);
            const int n = deep ? rnd(20, 160) : rnd(2, 8);
            for (int i = 0; i < n; ++i)
                c.exps.push_back(random_request(ka, i == n - 1, true, deep));
            break;
        }
        case CL_FRAGMENTED: {
            const int n = rnd(1, 4);
            for (int i = 0; i < n; ++i)
                c.exps.push_back(random_request(ka, i == n - 1));
            c.sequential = true;
            c.drip_ms = rnd(1, 10);
            c.drip_max = rnd(1, 12);
            break;
        }
        case CL_HALFCLOSE: {
            const int n = rnd(1, 4);
            for (int i = 0; i < n; ++i)
                c.exps.push_back(random_request(ka, i == n - 1, false));
            // Having read the last request, the server sees the end of input and closes.
            c.exps.back().closes = true;
            c.half_close = true;
            break;
        }
        case CL_MALFORMED:
            c.exps.push_back(malformed_request());
            break;
        case CL_ABORT:
            switch (rnd(0, 4)) {
            case 0: {
                // Gone in the middle of a large body.
                expectation e;
                e.res = g_large[rnd(0, static_cast<int>(g_large.size()) - 1)];
                e.length = static_cast<uint32_t>(e.res->bytes.size());
                e.request = request("GET", e.res->target, "HTTP/1.1", "");
                c.abort_at = static_cast<uint64_t>(rnd(1, static_cast<int>(e.length) - 1));
                c.exps.push_back(e);
                c.sequential = true;
                break;
            }
            case 1: {
                // Gone before the request was complete.
                expectation e = random_request(ka, false);
                e.request = e.request.substr(0, static_cast<size_t>(rnd(1, static_cast<int>(e.request.size()) - 2)));
                c.exps.push_back(e);
                c.abort_after_send = true;
                break;
            }
            case 4: {
                // Half a request, then the end of input: the server closes at
                // once, with no reply.
                expectation e = random_request(ka, false);
                e.request = e.request.substr(0, static_cast<size_t>(rnd(1, static_cast<int>(e.request.size()) - 3)));
                c.exps.push_back(e);
                c.half_close = true;
                c.no_reply = true;
                break;
            }
            case 2:
                // Gone right after asking, without reading a byte.
                c.exps.push_back(random_request(ka, false));
                c.abort_after_send = true;
                break;
            default: {
                // Pipelined, gone during the second reply's body.
                for (int i = 0; i < 3; ++i)
                    c.exps.push_back(random_request(ka, false));
                const resource *res = g_large[rnd(0, static_cast<int>(g_large.size()) - 1)];
                expectation &e = c.exps[1];
                e = expectation();
                e.res = res;
                e.length = static_cast<uint32_t>(res->bytes.size());
                e.request = request("GET", res->target, "HTTP/1.1", "");
                c.abort_reply = 1;
                c.abort_at = static_cast<uint64_t>(rnd(1, static_cast<int>(e.length) - 1));
                break;
            }
            }
            c.abort_rst = chance(50);
            break;
        case CL_DRIP: {
            expectation e = random_request(ka, true);
            c.exps.push_back(e);
            c.drip_ms = rnd(1500, 3500);
            c.drip_max = 1;
            // The whole head arrives within the server's head deadline, with a margin.
            int held = rnd(2, 6);
            while (held > 1 &&
                   ((held + 1) * c.drip_ms > left - 2000 || held * c.drip_ms > (opt.idle_timeout - 2) * 1000))
                --held;
            c.out_limit = e.request.size() - static_cast<size_t>(held);
            break;
        }
        case CL_SILENT:
            break;
        case CL_STALL: {
            expectation e;
            e.res = g_big;
            e.length = static_cast<uint32_t>(g_big->bytes.size());
            e.request = request("GET", g_big->target, "HTTP/1.1", "");
            c.exps.push_back(e);
            c.stall_at = static_cast<uint64_t>(rnd(1, 2 << 20));
            break;
        }
        default:
            break;
        }
        if (c.sequential) {
            c.out = c.exps[0].request;
            c.queued = 1;
        } else {
            for (const expectation &e : c.exps)
                c.out += e.request;
            c.queued = c.exps.size();
        }
        for (size_t i = 0; i < c.queued; ++i)
            hold(c.exps[i]);
        if (c.kind != CL_DRIP && c.kind != CL_FRAGMENTED)
            c.out_limit = c.out.size();
    }

    void set_interest(client &c)
    {
        uint32_t want = 0;
        if (!c.connected) {
            want = EPOLLOUT;
        } else {
            if (!c.stalled)
                want |= EPOLLIN;
            if (c.out_pos < c.out_limit && !c.tls_in)
                want |= EPOLLOUT;
            if (c.tls_in)
                want |= EPOLLIN;
        }
        if (c.registered && want == c.interest)
            return;
        epoll_event ev = {};
        ev.events = want;
        ev.data.ptr = &c;
        epoll_ctl(ep, c.registered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.fd, &ev);
        c.registered = true;
        c.interest = want;
    }

    bool start_client()
    {
        auto *c = new client;
        c->kind = pick_kind();
        c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (c->fd < 0) {
            delete c;
            return false;
        }
        int one = 1;
        setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (c->kind == CL_STALL) {
            // A fixed small window: autotuning could otherwise take the whole body in.
            int window = 65536;
            setsockopt(c->fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
        }
        int r = connect(c->fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        if (r != 0 && errno != EINPROGRESS) {
            ++t.connect_failures;
            close(c->fd);
            delete c;
            return false;
        }
        build(*c);
        c->started = c->last_progress = now_ms();
        c->next_drip = c->started + c->drip_ms;
        ++t.started[c->kind];
        ++live_kind[c->kind];
        live.push_back(c);
        if (r == 0)
            on_connected(*c);
        else
            set_interest(*c);
        return true;
    }

    void on_connected(client &c)
    {
        if (g_tls) {
            c.ssl = SSL_new(g_tls);
            SSL_set_fd(c.ssl, c.fd);
            SSL_set_connect_state(c.ssl);
        }
        c.connected = true;
        ++t.connections;
        set_interest(c);
    }

    // ---- replies

    static std::string field(const std::string &head, const char *name)
    {
        const std::string key = std::string("\r\n") + name + ": ";
        size_t at = head.find(key);
        if (at == std::string::npos)
            return "";
        at += key.size();
        size_t end = head.find("\r\n", at);
        return head.substr(at, end == std::string::npos ? std::string::npos : end - at);
    }

    bool on_head(client &c, const std::string &head)
    {
        const expectation &e = c.exps[c.replied];
        if (head.compare(0, 9, "HTTP/1.1 ") != 0 || head.size() < 12) {
            fail(c, "no status line: \"%.60s\"", head.c_str());
            return false;
        }
        const int status = atoi(head.c_str() + 9);
        if (e.check == CK_WRITER)
            return writer_head(c, head, status);
        if (status == 401 && !g_auth_line.empty()) {
            fail(c, "401 for the right credentials: \"%.80s\"", head.c_str());
            return false;
        }
        if (status != e.status) {
            fail(c, "status %d, expected %d: \"%.80s\"", status, e.status, head.c_str());
            return false;
        }
        const std::string length = field(head, "Content-Length");
        const bool has_length = !length.empty();
        const uint64_t n = has_length ? strtoull(length.c_str(), nullptr, 10) : 0;
        c.content_type = field(head, "Content-Type");
        if (status == 200 || status == 206) {
            if (!has_length || c.content_type.empty()) {
                fail(c, "no Content-Length or Content-Type in \"%.200s\"", head.c_str());
                return false;
            }
            if (e.check == CK_BODY && n != e.length) {
                fail(c, "Content-Length %llu, expected %u", static_cast<unsigned long long>(n), e.length);
                return false;
            }
            const std::string range = field(head, "Content-Range");
            if (e.partial) {
                const std::string want = "bytes " + std::to_string(e.first) + "-" +
                                         std::to_string(e.first + e.length - 1) + "/" +
                                         std::to_string(e.res->bytes.size());
                if (range != want) {
                    fail(c, "Content-Range \"%s\", expected \"%s\"", range.c_str(), want.c_str());
                    return false;
                }
            } else if (!range.empty()) {
                fail(c, "Content-Range on a whole reply");
                return false;
            }
            if (e.check == CK_LISTING && c.content_type != "text/html; charset=utf-8") {
                fail(c, "listing of type %s", c.content_type.c_str());
                return false;
            }
        } else if (e.bodyless ? has_length : (!e.head && !has_length)) {
            fail(c, "error reply %s a page: \"%.120s\"", e.bodyless ? "with" : "without", head.c_str());
            return false;
        }
        if (!e.location.empty() && field(head, "Location") != e.location) {
            fail(c, "Location \"%s\"", field(head, "Location").c_str());
            return false;
        }
        begin_body(c, e.head ? 0 : n);
        return true;
    }

    // A reply about a writer name: the body is kept and checked when complete.
    bool writer_head(client &c, const std::string &head, int status)
    {
        const expectation &e = c.exps[c.replied];
        const std::string length = field(head, "Content-Length");
        c.content_type = field(head, "Content-Type");
        if (status == 500 && writer_cut(c))
            return false;
        if (status < 300 ? length.empty() || c.content_type.empty() : length.empty() && !e.head) {
            fail(c, "no Content-Length or Content-Type in \"%.200s\"", head.c_str());
            return false;
        }
        c.status = status;
        c.length = strtoull(length.c_str(), nullptr, 10);
        c.range = field(head, "Content-Range");
        if (status == 200)
            wtr->sending(c.exps[c.replied]);
        begin_body(c, e.head ? 0 : c.length);
        return true;
    }

    void begin_body(client &c, uint64_t n)
    {
        if (c.eager && c.queued == c.replied + 1 && c.queued < c.exps.size()) {
            // The next request arrives while this reply is still being sent.
            hold(c.exps[c.queued]);
            c.out += c.exps[c.queued++].request;
            c.out_limit = c.out.size();
            set_interest(c);
        }
        c.in_body = true;
        c.body_len = n;
        c.body_got = 0;
        c.body.clear();
    }

    bool on_reply_done(client &c)
    {
        const expectation &e = c.exps[c.replied];
        if (e.check == CK_WRITER) {
            const std::string wrong = wtr->verify(e, c.status, c.length, c.range, c.body);
            if (!wrong.empty()) {
                fail(c, "%s: %s", e.wname.c_str(), wrong.c_str());
                return false;
            }
            wtr->release(c.exps[c.replied]);
        } else if (!e.head) {
            switch (e.check) {
            case CK_LISTING: {
                static const std::string start = "<html><head><title>Index of ";
                static const std::string end = "</pre>\n</body></html>\n";
                if (c.body.compare(0, start.size(), start) != 0 || c.body.size() < end.size() ||
                    c.body.compare(c.body.size() - end.size(), end.size(), end) != 0) {
                    fail(c, "listing not well formed: \"%.80s\"", c.body.c_str());
                    return false;
                }
                for (const std::string &href : e.res->hrefs)
                    if (c.body.find("<a href=\"" + href + "\">") == std::string::npos) {
                        fail(c, "listing without a link to %s", href.c_str());
                        return false;
                    }
                ++t.replies_listing;
                break;
            }
            case CK_ICON:
                if (c.body.compare(0, 6, "GIF89a") != 0 || c.content_type != "image/gif") {
                    fail(c, "icon is no GIF picture");
                    return false;
                }
                ++t.replies_icon;
                break;
            case CK_ERROR:
                if (!e.bodyless && (c.body.compare(0, 6, "<html>") != 0 ||
                                    c.body.find(std::to_string(e.status)) == std::string::npos)) {
                    fail(c, "error page \"%.80s\"", c.body.c_str());
                    return false;
                }
                break;
            default:
                if (e.partial)
                    ++t.replies_range;
                else if (e.res->kind == RK_MEMBER)
                    ++t.replies_member;
                else
                    ++t.replies_body;
                break;
            }
        }
        if (e.head)
            ++t.replies_head;
        if (e.status >= 300)
            ++t.replies_error;
        ++t.replies;
        c.in_body = false;
        ++c.replied;
        if (c.sequential && c.queued < c.exps.size() && c.queued == c.replied) {
            hold(c.exps[c.queued]);
            c.out += c.exps[c.queued++].request;
            if (c.kind != CL_FRAGMENTED)
                c.out_limit = c.out.size();
        }
        if (c.replied == c.exps.size()) {
            if (e.closes) {
                c.eof_wait_until = now_ms() + 5000;  // the server must close now
            } else {
                finish(c, true, false);
                return false;
            }
        }
        return true;
    }

    // Bytes of replies; false when the client is done.
    bool feed(client &c, const char *p, size_t n)
    {
        while (n > 0) {
            if (c.replied >= c.exps.size()) {
                fail(c, "%zu bytes after the last reply", n);
                return false;
            }
            const expectation &e = c.exps[c.replied];
            if (!c.in_body) {
                const size_t old = c.head_buf.size();
                c.head_buf.append(p, n);
                size_t end = c.head_buf.find("\r\n\r\n", old >= 3 ? old - 3 : 0);
                if (end == std::string::npos) {
                    if (c.head_buf.size() > 16384) {
                        fail(c, "reply head without end");
                        return false;
                    }
                    return true;
                }
                const size_t used = end + 4 - old;
                p += used;
                n -= used;
                std::string head = c.head_buf.substr(0, end + 2);
                c.head_buf.clear();
                if (!on_head(c, head))
                    return false;
                if (c.body_len == 0 && !on_reply_done(c))
                    return false;
                continue;
            }
            size_t m = static_cast<size_t>(std::min<uint64_t>(n, c.body_len - c.body_got));
            if (c.abort_at && c.replied == c.abort_reply)
                m = static_cast<size_t>(std::min<uint64_t>(m, c.abort_at - c.body_got));
            if (e.check == CK_BODY && e.status < 300) {
                if (memcmp(p, e.res->bytes.data() + e.first + c.body_got, m) != 0) {
                    size_t i = 0;
                    while (p[i] == e.res->bytes[e.first + c.body_got + i])
                        ++i;
                    fail(c, "body differs at byte %llu of %llu", static_cast<unsigned long long>(c.body_got + i),
                         static_cast<unsigned long long>(c.body_len));
                    return false;
                }
            } else {
                c.body.append(p, m);
            }
            c.body_got += m;
            t.body_bytes += m;
            p += m;
            n -= m;
            if (c.abort_at && c.replied == c.abort_reply && c.body_got >= c.abort_at) {
                ++t.aborted;
                finish(c, true, c.abort_rst);
                return false;
            }
            if (c.kind == CL_STALL && !c.stalled && !c.stall_resumed && c.body_got >= c.stall_at) {
                // Stop reading: the server must give up on this reader once its
                // idle timeout has passed without the socket taking data.
                c.stalled = true;
                c.stall_until = now_ms() + stall_ms();
            }
            if (c.body_got == c.body_len && !on_reply_done(c))
                return false;
        }
        return true;
    }

    void on_eof(client &c, bool reset)
    {
        if (writer_cut(c))
            return;
        const int64_t now = now_ms();
        if (c.kind == CL_SILENT) {
            const int64_t waited = now - c.started;
            if (waited < (opt.idle_timeout - 1) * 1000LL || waited > (opt.idle_timeout + 4) * 1000LL) {
                fail(c, "silent connection closed after %lld ms", static_cast<long long>(waited));
                return;
            }
            ++t.silent_closed;
            t.silent_ms_min = std::min(t.silent_ms_min, waited);
            t.silent_ms_max = std::max(t.silent_ms_max, waited);
            finish(c, true, false);
            return;
        }
        if (c.kind == CL_STALL && c.stall_resumed && c.replied == 0) {
            if (c.body_got >= c.body_len) {
                fail(c, "the whole body reached a reader that had stalled");
                return;
            }
            ++t.stall_closed;
            finish(c, true, false);
            return;
        }
        if (c.no_reply && c.replied == 0 && !c.in_body && c.head_buf.empty() && !reset) {
            ++t.aborted;
            finish(c, true, false);
            return;
        }
        if (c.replied == c.exps.size() && c.exps.back().closes && (!reset || c.exps.back().reset_ok)) {
            finish(c, true, false);
            return;
        }
        fail(c, "connection %s after %llu of %llu body bytes", reset ? "reset" : "closed",
             static_cast<unsigned long long>(c.body_got), static_cast<unsigned long long>(c.body_len));
    }

    // Over HTTPS: what the session decrypts, until it waits for the socket.
    void on_readable_tls(client &c)
    {
        char buf[16384];
        c.tls_in = false;
        while (!c.done && !c.stalled) {
            const int n = SSL_read(c.ssl, buf, sizeof buf);
            if (n > 0) {
                c.last_progress = now_ms();
                if (!feed(c, buf, static_cast<size_t>(n)))
                    return;
                continue;
            }
            const int err = SSL_get_error(c.ssl, n);
            ERR_clear_error();
            if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
                break;
            on_eof(c, err != SSL_ERROR_ZERO_RETURN && !(err == SSL_ERROR_SYSCALL && errno == 0));
            return;
        }
        if (!c.done)
            set_interest(c);
    }

    void on_readable(client &c)
    {
        if (c.ssl)
            return on_readable_tls(c);
        char buf[65536];
        ssize_t n = recv(c.fd, buf, sizeof buf, 0);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                return;
            on_eof(c, true);
            return;
        }
        if (n == 0) {
            on_eof(c, false);
            return;
        }
        c.last_progress = now_ms();
        if (feed(c, buf, static_cast<size_t>(n)))
            set_interest(c);
    }

    void on_writable(client &c)
    {
        if (!c.connected) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                ++t.connect_failures;
                finish(c, false, false);
                return;
            }
            on_connected(c);
            return;
        }
        while (c.out_pos < c.out_limit) {
            ssize_t n;
            if (c.ssl) {
                n = SSL_write(c.ssl, c.out.data() + c.out_pos, static_cast<int>(c.out_limit - c.out_pos));
                if (n <= 0) {
                    const int err = SSL_get_error(c.ssl, static_cast<int>(n));
                    ERR_clear_error();
                    c.tls_in = err == SSL_ERROR_WANT_READ;
                    errno = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE ? EAGAIN : EPIPE;
                    n = -1;
                }
            } else {
                n = send(c.fd, c.out.data() + c.out_pos, c.out_limit - c.out_pos, MSG_NOSIGNAL);
            }
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    break;
                // Only a refused request may find the connection gone while sending.
                if (c.replied == c.exps.size() || (c.replied < c.exps.size() && c.exps[c.replied].reset_ok) ||
                    writer_cut(c))
                    return;
                fail(c, "send failed: %s", strerror(errno));
                return;
            }
            c.out_pos += static_cast<size_t>(n);
            c.last_progress = now_ms();
        }
        if (c.out_pos == c.out.size()) {
            if (c.abort_after_send) {
                ++t.aborted;
                finish(c, true, c.abort_rst);
                return;
            }
            if (c.half_close && !c.shut) {
                if (c.ssl)
                    SSL_shutdown(c.ssl);  // close_notify, the end of what this side sends
                shutdown(c.fd, SHUT_WR);
                c.shut = true;
                if (c.no_reply)
                    c.eof_wait_until = now_ms() + 5000;
            }
        }
        set_interest(c);
    }

    // Drips, stalls and deadlines.
    void timers()
    {
        const int64_t now = now_ms();
        for (client *cp : live) {
            client &c = *cp;
            if (c.done)
                continue;
            if (c.drip_ms && c.connected && c.out_pos == c.out_limit && c.out_limit < c.out.size() &&
                now >= c.next_drip) {
                c.out_limit = std::min(c.out.size(), c.out_limit + static_cast<size_t>(rnd(1, c.drip_max)));
                c.next_drip = now + c.drip_ms;
                set_interest(c);
            }
            if (c.stalled && now >= c.stall_until) {
                c.stalled = false;
                c.stall_resumed = true;
                c.last_progress = now;
                set_interest(c);
            }
            if (c.eof_wait_until && now > c.eof_wait_until) {
                fail(c, "the server kept the connection open after a closing reply");
                continue;
            }
            const int64_t quiet = now - c.last_progress;
            const int64_t allowed = c.kind == CL_SILENT ? (opt.idle_timeout + 5) * 1000LL
                                    : c.kind == CL_DRIP ? c.drip_ms + 20000LL
                                                        : 20000;
            if (!c.stalled && quiet > allowed)
                fail(c, "no progress for %lld ms", static_cast<long long>(quiet));
        }
    }

    void reap()
    {
        size_t w = 0;
        for (client *c : live) {
            if (c->done) {
                --live_kind[c->kind];
                delete c;
            } else {
                live[w++] = c;
            }
        }
        live.resize(w);
    }

    void poll_once(int timeout_ms)
    {
        epoll_event evs[512];
        int n = epoll_wait(ep, evs, 512, timeout_ms);
        for (int i = 0; i < n; ++i) {
            client &c = *static_cast<client *>(evs[i].data.ptr);
            if (c.done)
                continue;
            if (!c.connected) {
                on_writable(c);  // the outcome of the connect
                continue;
            }
            if (evs[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP))
                on_readable(c);
            if (!c.done && (evs[i].events & EPOLLOUT))
                on_writable(c);
        }
    }

    // ---- phases

    struct samples {
        long peak_online = 0, peak_tasks = 0, peak_rss = 0, cleans = 0;
    };

    // Runs the mix for `seconds`, then waits up to `grace_s` for clients still busy.
    void run(int seconds, int grace_s, bool presses_clean, samples &s)
    {
        const int64_t begin = now_ms();
        load_end = begin + seconds * 1000LL;
        int64_t next_timers = 0, next_sample = begin + 1000, next_clean = begin + rnd(1000, 3000), next_write = begin;
        while (true) {
            const int64_t now = now_ms();
            if (now < load_end) {
                int starts = 0;
                while (static_cast<int>(live.size()) < opt.clients && starts++ < 64)
                    if (!start_client())
                        break;
            } else if (live.empty()) {
                break;
            } else if (now > load_end + grace_s * 1000LL) {
                for (client *c : live)
                    fail(*c, "still busy %d s after the end of the load", grace_s);
                reap();
                break;
            }
            poll_once(2);
            if (wtr && now_ms() >= next_write && now_ms() < load_end) {
                wtr->step();
                next_write = now_ms() + rnd(15, 45);
            }
            if (now_ms() >= next_timers) {
                timers();
                next_timers = now_ms() + 5;
            }
            reap();
            if (now_ms() >= next_sample) {
                counters c = stats(srv);
                s.peak_online = std::max(s.peak_online, c["online"]);
                s.peak_tasks = std::max(s.peak_tasks, c["tasks"]);
                s.peak_rss = std::max(s.peak_rss, proc_kb(srv.pid, "VmRSS:"));
                next_sample = now_ms() + 1000;
            }
            if (presses_clean && now_ms() >= next_clean && now_ms() < load_end) {
                if (server_command(srv, "clean") != "Cache cleaned.")
                    fprintf(stderr, "soak: error: no answer to clean\n"), ++t.errors;
                ++s.cleans;
                next_clean = now_ms() + rnd(1000, 3000);
            }
        }
    }
};

// Polls until the server holds no connection and no task and at most `files`
// open files; returns the last reading.
counters settle(server_proc &srv, long files, int timeout_s)
{
    const int64_t until = now_ms() + timeout_s * 1000LL;
    counters c = stats(srv);
    while (now_ms() < until && !(c["online"] == 0 && c["tasks"] == 0 && c["files"] <= files)) {
        usleep(100 * 1000);
        c = stats(srv);
    }
    return c;
}

// CPU seconds the process has used, from /proc/PID/stat.
double cpu_seconds(pid_t pid)
{
    std::string text;
    if (!read_whole("/proc/" + std::to_string(pid) + "/stat", text))
        return -1;
    size_t at = text.rfind(')');
    if (at == std::string::npos)
        return -1;
    // Fields after the command: state is the 3rd field; utime and stime the 14th and 15th.
    unsigned long long utime = 0, stime = 0;
    if (sscanf(text.c_str() + at + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

double mb(long kb)
{
    return kb / 1024.0;
}

// ---- slowloris ------------------------------------------------------------------------

// Thousands of connections from 127.0.1.x send a request head a byte at a
// time and connect again whenever the server drops them, against a copy of
// the program whose descriptor limit they would fill; meanwhile a client on
// 127.0.0.1 asks for a file four times a second. Each of its replies must be
// whole within a second; no trickling connection may get a reply, or live
// longer than the head deadline and the sweep's second.
struct trickler {
    int fd = -1;
    bool connected = false;
    int64_t opened = 0;
    int64_t next = 0;  // the next byte, or the next connect
};

struct slowloris_run {
    const options &opt;
    server_proc &srv;
    std::mt19937 rng;
    int ep = epoll_create1(EPOLL_CLOEXEC);
    std::vector<trickler> tricklers;
    const resource *file = nullptr;
    int probe_fd = -1;
    int64_t probe_started = 0, next_probe = 0;
    std::string probe_got;
    long probes = 0, slow_probes = 0, bad_probes = 0, opened = 0, dropped = 0, replied = 0, overlived = 0;
    int64_t slowest = 0, longest = 0;

    slowloris_run(const options &o, server_proc &s) : opt(o), srv(s), rng(o.seed) {}

    int connect_from(uint32_t source, int64_t now, void *tag)
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(source);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
            if (fd >= 0)
                close(fd);
            return -1;
        }
        a.sin_port = htons(static_cast<uint16_t>(srv.port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
            close(fd);
            return -1;
        }
        epoll_event ev = {};
        ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
        ev.data.ptr = tag;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        (void)now;
        return fd;
    }

    void open_trickler(size_t i, int64_t now)
    {
        trickler &t = tricklers[i];
        // 127.0.1.1 to 127.0.1.254: a dozen connections an address, far below the cap.
        t.fd = connect_from(0x7F000100u + 1 + static_cast<uint32_t>(i % 254), now, &t);
        t.connected = false;
        t.opened = now;
        t.next = now + 1000;
        if (t.fd >= 0)
            ++opened;
    }

    void trickler_event(trickler &t, uint32_t events, int64_t now)
    {
        if (!t.connected && (events & EPOLLOUT) && !(events & (EPOLLERR | EPOLLHUP))) {
            static const char head[] = "GET /files/s100.bin HTTP/1.1\r\nHost: soak\r\nX-Drip: ";
            t.connected = send(t.fd, head, sizeof head - 1, MSG_NOSIGNAL) > 0;
            epoll_event ev = {};
            ev.events = EPOLLIN | EPOLLRDHUP;
            ev.data.ptr = &t;
            epoll_ctl(ep, EPOLL_CTL_MOD, t.fd, &ev);
        }
        if (!(events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)))
            return;
        char buf[256];
        const ssize_t n = recv(t.fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EAGAIN)
            return;
        // The server dropped it: never with a reply, and within the head deadline.
        replied += n > 0;
        const int64_t lived = now - t.opened;
        longest = std::max(longest, lived);
        overlived += lived > (opt.idle_timeout + 2) * 1000LL;
        ++dropped;
        close(t.fd);
        t.fd = -1;
        t.next = now + std::uniform_int_distribution<int>(0, 500)(rng);
    }

    void probe_event(uint32_t events, int64_t now)
    {
        if (events & (EPOLLIN | EPOLLRDHUP | EPOLLERR | EPOLLHUP)) {
            char buf[65536];
            ssize_t n;
            while ((n = recv(probe_fd, buf, sizeof buf, 0)) > 0)
                probe_got.append(buf, static_cast<size_t>(n));
            if (n < 0 && errno == EAGAIN)
                return;
            const size_t end = probe_got.find("\r\n\r\n");
            if (probe_got.compare(0, 13, "HTTP/1.1 200 ") != 0 || end == std::string::npos ||
                probe_got.compare(end + 4, std::string::npos, file->bytes) != 0) {
                if (++bad_probes <= 5)
                    fprintf(stderr, "slowloris: error: reply of %zu bytes: \"%.300s\"\n", probe_got.size(),
                            probe_got.c_str());
            }
            finish_probe(now);
        } else if (events & EPOLLOUT) {
            const std::string request = "GET " + file->target + " HTTP/1.1\r\nHost: soak\r\nConnection: close\r\n\r\n";
            send(probe_fd, request.data(), request.size(), MSG_NOSIGNAL);
            epoll_event ev = {};
            ev.events = EPOLLIN | EPOLLRDHUP;
            ev.data.ptr = nullptr;
            epoll_ctl(ep, EPOLL_CTL_MOD, probe_fd, &ev);
        }
    }

    void finish_probe(int64_t now)
    {
        const int64_t took = now - probe_started;
        slowest = std::max(slowest, took);
        if (took > 1000 && ++slow_probes <= 5)
            fprintf(stderr, "slowloris: error: a reply took %lld ms\n", static_cast<long long>(took));
        ++probes;
        close(probe_fd);
        probe_fd = -1;
    }

    void run(int n, int seconds)
    {
        const int64_t begin = now_ms(), end = begin + seconds * 1000LL;
        tricklers.resize(static_cast<size_t>(n));
        for (size_t i = 0; i < tricklers.size(); ++i)
            tricklers[i].next = begin + static_cast<int64_t>(i) * 2000 / n;  // all open within 2 s
        long peak_online = 0;
        int64_t next_stats = begin + 1000;
        next_probe = begin + 500;
        for (int64_t now = begin; now < end; now = now_ms()) {
            epoll_event evs[512];
            const int k = epoll_wait(ep, evs, 512, 5);
            now = now_ms();
            for (int i = 0; i < k; ++i) {
                if (evs[i].data.ptr)
                    trickler_event(*static_cast<trickler *>(evs[i].data.ptr), evs[i].events, now);
                else if (probe_fd >= 0)
                    probe_event(evs[i].events, now);
            }
            for (size_t i = 0; i < tricklers.size(); ++i) {
                trickler &t = tricklers[i];
                if (now < t.next)
                    continue;
                if (t.fd < 0) {
                    open_trickler(i, now);
                } else if (t.connected) {
                    send(t.fd, "x", 1, MSG_NOSIGNAL);
                    t.next = now + 1000;
                }
            }
            if (probe_fd >= 0 && now - probe_started > 10000)
                finish_probe(now);  // counted as slow; the next one starts
            if (probe_fd < 0 && now >= next_probe) {
                probe_got.clear();
                probe_started = now;
                next_probe = now + 250;
                probe_fd = connect_from(INADDR_LOOPBACK, now, nullptr);
            }
            if (now >= next_stats) {
                peak_online = std::max(peak_online, stats(srv)["online"]);
                next_stats = now_ms() + 1000;
            }
        }
        for (trickler &t : tricklers)
            if (t.fd >= 0)
                close(t.fd);
        if (probe_fd >= 0)
            finish_probe(now_ms());
        printf("slowloris           %d trickling connections (%ld opened in all, %ld dropped by the server, the "
               "longest after %.1f s), %ld online at most; %ld requests beside them, the slowest answered in %lld ms\n",
               n, opened, dropped, longest / 1000.0, peak_online, probes, static_cast<long long>(slowest));
    }
};

// The slowloris run against its own copy of the program, limited to
// `nofile` descriptors; false on any failure.
bool slowloris(const options &o, int n, int nofile)
{
    const resource *file = nullptr;
    for (const resource *r : g_bodies)
        if (r->target == "/files/s8192.bin")
            file = r;
    server_proc srv;
    srv.program = "prlimit --nofile=" + std::to_string(nofile) + ":" + std::to_string(nofile) + " " + o.server;
    srv.stderr_path = o.work + "/slowloris.stderr";
    if (!file || !start_server(srv, o.work + "/root")) {
        fprintf(stderr, "slowloris: the server did not start\n");
        return false;
    }
    slowloris_run r(o, srv);
    r.file = file;
    r.run(n, o.seconds);
    const counters after = settle(srv, 1 << 20, o.idle_timeout + 2);
    server_command(srv, "quit");
    int status = 0;
    waitpid(srv.pid, &status, 0);
    std::string err;
    read_whole(srv.stderr_path, err);
    bool ok = true;
    auto check = [&](bool good, const char *what) {
        if (!good)
            fprintf(stderr, "slowloris: FAILED: %s\n", what), ok = false;
    };
    check(r.probes > 0 && r.slow_probes == 0, "replies beside the trickling connections took longer than a second");
    check(r.bad_probes == 0, "replies beside the trickling connections were wrong");
    check(r.replied == 0, "trickling connections got a reply");
    check(r.overlived == 0, "trickling connections lived past the head deadline (counted from their connect)");
    check(after["online"] == 0 && after["tasks"] == 0, "connections left online");
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the server did not exit with status 0");
    check(err.empty(), "the server wrote to its standard error (sanitizer report?)");
    if (!err.empty())
        fprintf(stderr, "%s", err.substr(0, 20000).c_str());
    return ok;
}

int usage()
{
    fprintf(stderr, "usage: soak_client --server BIN --work DIR [--seconds N] [--clients N] [--seed N] "
                    "[--idle-timeout S] [--rss-margin-kb N] [--slowloris N [--nofile N]]\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv)
{
    options o;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc)
            return usage();
        std::string v = argv[++i];
        if (a == "--server")
            o.server = v;
        else if (a == "--work")
            o.work = v;
        else if (a == "--seconds")
            o.seconds = atoi(v.c_str());
        else if (a == "--clients")
            o.clients = atoi(v.c_str());
        else if (a == "--seed")
            o.seed = static_cast<unsigned>(strtoul(v.c_str(), nullptr, 10));
        else if (a == "--idle-timeout")
            o.idle_timeout = atoi(v.c_str());
        else if (a == "--rss-margin-kb")
            o.rss_margin_kb = atol(v.c_str());
        else if (a == "--slowloris")
            o.slowloris = atoi(v.c_str());
        else if (a == "--nofile")
            o.nofile = atoi(v.c_str());
        else if (a == "--auth")
            o.auth = v;
        else if (a == "--tls")
            o.tls = v == "1";
        else
            return usage();
    }
    if (o.server.empty() || o.work.empty() || o.seconds < 1 || o.clients < 1)
        return usage();
    signal(SIGPIPE, SIG_IGN);
    rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
    if (!load_manifest(o.work)) {
        fprintf(stderr, "soak: cannot read %s/manifest and the files it names\n", o.work.c_str());
        return 2;
    }
    if (o.slowloris > 0) {
        const bool ok = slowloris(o, o.slowloris, o.nofile);
        printf("slowloris: %s\n", ok ? "passed" : "FAILED");
        return ok ? 0 : 1;
    }

    std::string tls_args;
    if (o.tls) {
        const std::string pki = test_pki();
        g_tls = pki.empty() ? nullptr : SSL_CTX_new(TLS_client_method());
        if (!g_tls || SSL_CTX_load_verify_locations(g_tls, (pki + "/ca.pem").c_str(), nullptr) != 1) {
            fprintf(stderr, "soak: no test certificates for HTTPS (openssl)\n");
            return 2;
        }
        SSL_CTX_set_verify(g_tls, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_mode(g_tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        tls_args = "--tls-cert " + pki + "/server.pem --tls-key " + pki + "/server.key";
    }
    writer w(o.work, o.seed);
    server_proc srv;
    srv.program = o.server;
    srv.stderr_path = o.work + "/server.stderr";
    if (!o.auth.empty()) {
        std::string b64;
        static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (size_t i = 0; i < o.auth.size(); i += 3) {
            const size_t n = std::min<size_t>(3, o.auth.size() - i);
            uint32_t v = 0;
            for (size_t k = 0; k < 3; ++k)
                v = v << 8 | (k < n ? static_cast<unsigned char>(o.auth[i + k]) : 0u);
            for (size_t k = 0; k < 4; ++k)
                b64 += k <= n ? digits[(v >> (18 - 6 * k)) & 63] : '=';
        }
        g_auth_line = "Authorization: Basic " + b64 + "\r\n";
    }
    if (!start_server(srv, o.work + "/root", tls_args + (o.auth.empty() ? "" : " --auth '" + o.auth + "'"))) {
        fprintf(stderr, "soak: the server did not start (\"%s\")\n", srv.status_line.c_str());
        return 1;
    }
    int failures = 0;
    auto check = [&](bool ok, const char *what) {
        if (!ok) {
            fprintf(stderr, "soak: FAILED: %s\n", what);
            ++failures;
        }
    };

    const counters before = stats(srv);
    check(before["online"] == 0 && before["files"] >= 0, "first stats line");
    printf("soak: %d s with %d concurrent clients against %s (pid %d, port %d), seed %u\n", o.seconds, o.clients,
           o.server.c_str(), static_cast<int>(srv.pid), srv.port, o.seed);
    printf("counters at start   %s\n", before.line.c_str());
    fflush(stdout);

    runner r(o, srv);
    r.wtr = &w;
    runner::samples s;

    // Warm-up: the same mix without the long-lived clients, then settle and
    // clean, so that the memory level below already includes what the
    // allocator keeps after a busy period.
    const int warm_s = std::max(3, o.seconds / 6);
    r.long_kinds = false;
    r.run(warm_s, 30, false, s);
    const long archives = static_cast<long>(g_archives.size() + w.zips.size());
    counters warm = settle(srv, before["files"] + archives, o.idle_timeout + 2);
    server_command(srv, "clean");
    warm = stats(srv);
    const long rss_warm = proc_kb(srv.pid, "VmRSS:");
    printf("counters after warm-up (%d s)   %s\n", warm_s, warm.line.c_str());
    fflush(stdout);

    r.long_kinds = true;
    const int64_t load_begin = now_ms();
    r.run(o.seconds, 30, true, s);
    const double load_s = (now_ms() - load_begin) / 1000.0;

    // Archives stay open in the cache until Clean Cache; no other file may.
    counters after = settle(srv, before["files"] + archives, o.idle_timeout + 2);
    check(after["online"] == 0, "connections left online");
    check(after["tasks"] == 0, "tasks left allocated");
    check(after["files"] <= before["files"] + archives, "files left open besides the cached archives");
    printf("counters after load %s\n", after.line.c_str());
    check(server_command(srv, "clean") == "Cache cleaned.", "clean answered");
    const counters cleaned = stats(srv);
    printf("counters after clean %s\n", cleaned.line.c_str());
    check(cleaned["files"] == before["files"], "open files not back at their starting value after Clean Cache");
    check(cleaned["caches"] == before["caches"], "cached entries not back after Clean Cache");
    check(cleaned["blocks"] == before["blocks"], "memory blocks not back after Clean Cache");
    check(cleaned["confs"] == before["confs"], "configuration entries changed");
    check(cleaned["total"] - before["total"] == r.t.connections,
          "the server's connection count differs from the connections made");
    const long rss_final = proc_kb(srv.pid, "VmRSS:");
    const long rss_peak = proc_kb(srv.pid, "VmHWM:");
    check(rss_final >= 0 && rss_final <= rss_warm + o.rss_margin_kb, "resident memory not back near its warm-up level");

    const double server_cpu = cpu_seconds(srv.pid);
    const std::string quit_reply = server_command(srv, "quit");
    int status = 0;
    waitpid(srv.pid, &status, 0);
    check(WIFEXITED(status) && WEXITSTATUS(status) == 0, "the server did not exit with status 0");
    std::string err;
    read_whole(srv.stderr_path, err);
    // Asking for passwords over plain HTTP, the server warns once at its start.
    if (!o.auth.empty() && err.starts_with("Warning: without HTTPS"))
        err.erase(0, err.find('\n') + 1);
    check(err.empty(), "the server wrote to its standard error (sanitizer report?)");

    const tally &t = r.t;
    long started = 0, passed = 0, failed = 0;
    for (int k = 0; k < CL_KINDS; ++k) {
        started += t.started[k];
        passed += t.passed[k];
        failed += t.failed[k];
    }
    check(t.errors == 0, "clients got wrong replies");
    check(w.ok, "the writer could not change the tree");
    printf("load                %.1f s, %ld connections (%.0f a second), %ld connect failures\n", load_s, t.connections,
           t.connections / (load_s + warm_s), t.connect_failures);
    printf("cpu                 server %.1f s, this client %.1f s\n", server_cpu, [] {
        rusage ru;
        getrusage(RUSAGE_SELF, &ru);
        return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    }());
    printf("requests served     %ld verified replies: %ld files, %ld members, %ld ranges, %ld listings, %ld icons, "
           "%ld HEAD, %ld error statuses; %.1f MB of bodies\n",
           t.replies, t.replies_body, t.replies_member, t.replies_range, t.replies_listing, t.replies_icon,
           t.replies_head, t.replies_error, t.body_bytes / 1048576.0);
    printf("clients             %ld started, %ld passed, %ld failed; %ld aborted on purpose\n", started, passed, failed,
           t.aborted);
    printf("  by kind          ");
    for (int k = 0; k < CL_KINDS; ++k)
        printf(" %s %ld/%ld", KIND_NAMES[k], t.passed[k], t.started[k]);
    printf("\n");
    if (t.silent_closed)
        printf("silent clients      %ld closed by the server after %.1f to %.1f s\n", t.silent_closed,
               t.silent_ms_min / 1000.0, t.silent_ms_max / 1000.0);
    printf("stalled readers     %ld cut off by the server\n", t.stall_closed);
    printf("clean cache         pressed %ld times during the load\n", s.cleans);
    printf("writer              %ld writes: %ld added, %ld deleted, %ld renamed, %ld rewritten by rename, %ld in place "
           "(%ld of the same size; %ld more put off while clients read every file)\n",
           w.added + w.deleted + w.renamed + w.by_rename + w.in_place, w.added, w.deleted, w.renamed, w.by_rename,
           w.in_place, w.same_size, w.deferred);
    printf("  replies checked   %ld against the versions: %ld files, %ld members, %ld ranges, %ld HEAD, %ld listings, "
           "%ld not found; %ld cut short by an archive rewritten in place\n",
           w.bodies + w.members + w.ranges + w.heads + w.listings + w.absent + w.cut, w.bodies, w.members, w.ranges,
           w.heads, w.listings, w.absent, w.cut);
    printf("peaks               online=%ld tasks=%ld\n", s.peak_online, s.peak_tasks);
    printf("memory (RSS)        after warm-up %.1f MB, peak %.1f MB, final %.1f MB (allowed %.1f MB above warm-up)\n",
           mb(rss_warm), mb(rss_peak), mb(rss_final), mb(o.rss_margin_kb));
    printf("sanitizer           %s\n", err.empty() ? "nothing reported" : "REPORTED (see below)");
    printf("errors              %ld\n", t.errors);
    if (!err.empty())
        fprintf(stderr, "%s", err.substr(0, 20000).c_str());
    (void)quit_reply;
    printf("soak: %s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}
