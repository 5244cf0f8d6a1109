#include "dirscan.h"
#include "memory.h"
#include "support.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/openat2.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace {

// Resource counters that every test expects to find unchanged at its end.
struct counters {
    int32_t files = n_files, blocks = n_blocks;
    void expect_unchanged() const
    {
        EXPECT_EQ(n_files, files);
        EXPECT_EQ(n_blocks, blocks);
    }
};

// The rows of a snapshot of `path`, and their names beside them.
std::vector<dir_entry> scan_all(const std::string &path, std::vector<std::string> &names)
{
    std::vector<dir_entry> rows;
    dir_entry *snap = dir_snapshot(path.c_str());
    EXPECT_NE(snap, nullptr) << path;
    for (const dir_entry *e = snap; e && e->kind; ++e) {
        names.emplace_back(e->name);
        rows.push_back(*e);
        rows.back().name = nullptr;  // the names live in the snapshot
    }
    dir_snapshot_free(snap);
    return rows;
}

// Names in the order the operating system lists the directory.
std::vector<std::string> readdir_order(const std::string &path)
{
    std::vector<std::string> names;
    DIR *d = opendir(path.c_str());
    while (dirent *de = readdir(d)) {
        if (strcmp(de->d_name, ".") && strcmp(de->d_name, ".."))
            names.emplace_back(de->d_name);
    }
    closedir(d);
    return names;
}

// count empty files named by their number, zero-padded to name_length digits.
void make_files(const std::string &dir, int count, int name_length)
{
    std::string cmd = "cd '" + dir + "' && i=1; while [ $i -le " + std::to_string(count) + " ]; do : > \"$(printf '%0" +
                      std::to_string(name_length) + "d' $i)\"; i=$((i + 1)); done";
    ASSERT_EQ(run_shell(cmd), 0);
}

}  // namespace

// A regular file is an archive when ".zip" first occurs at the very end of
// its name, or, without any ".zip", ".ZIP" does; a directory never is.
TEST(DirScan, SnapshotsTellArchivesByTheirNames)
{
    std::string dir = make_temp_dir();
    const std::map<std::string, int32_t> expected = {
        {"b.zip", KIND_ZIP},      {"A.ZIP", KIND_ZIP},       {".zip", KIND_ZIP},        {"a.ZIP.zip", KIND_ZIP},
        {"a.zip.zip", KIND_FILE}, {"a.zip.ZIP", KIND_FILE},  {"a.ZIP.ZIP", KIND_FILE},  {"x.Zip", KIND_FILE},
        {"A.Zip", KIND_FILE},     {"zip", KIND_FILE},        {"a.zipx", KIND_FILE},     {"a.zip.txt", KIND_FILE},
        {"azip", KIND_FILE},      {"a.ZIPPED.ZIP", KIND_FILE}, {"x.zip", KIND_DIR},
    };
    for (const auto &[name, kind] : expected) {
        if (kind == KIND_DIR)
            ASSERT_EQ(mkdir((dir + "/" + name).c_str(), 0755), 0);
        else
            write_file(dir + "/" + name, "PK");
    }
    std::vector<std::string> names;
    std::map<std::string, int32_t> kinds;
    for (const dir_entry &e : scan_all(dir, names))
        kinds[names[kinds.size()]] = e.kind;
    EXPECT_EQ(kinds, expected);
}

TEST(DirScan, SnapshotHoldsEveryEntryOnceInDirectoryOrderWithoutDots)
{
    counters start;
    std::string dir = make_temp_dir();
    make_files(dir, 60, 3);
    for (const char *d : {"sub1", "sub2", ".hidden"})
        ASSERT_EQ(mkdir((dir + "/" + d).c_str(), 0755), 0);
    std::vector<std::string> names;
    scan_all(dir, names);
    EXPECT_EQ(names, readdir_order(dir));
    EXPECT_EQ(names.size(), 63u);
    for (const auto &n : names)
        EXPECT_TRUE(n != "." && n != "..");
    start.expect_unchanged();
}

TEST(DirScan, TrailingSlashAndRootAreScanned)
{
    std::string dir = make_temp_dir();
    write_file(dir + "/one", "1");
    std::vector<std::string> names;
    scan_all(dir + "/", names);
    EXPECT_EQ(names, std::vector<std::string>{"one"});

    // "/" is the file system's root, not an empty path.
    names.clear();
    scan_all("/", names);
    EXPECT_NE(std::find(names.begin(), names.end(), "usr"), names.end());
    EXPECT_NE(std::find(names.begin(), names.end(), "tmp"), names.end());
}

TEST(DirScan, StatPathReportsKindTimesSizeAndName)
{
    std::string dir = make_temp_dir();
    write_file(dir + "/page.html", "hello");
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(run_shell("touch -m -d @1300000000 '" + dir + "/page.html' '" + dir + "/sub'"), 0);

    const std::string file = dir + "/page.html", sub = dir + "/sub", sub_slash = dir + "/sub/";
    dir_entry e = {};
    EXPECT_EQ(stat_path(file.c_str(), &e), 2);
    EXPECT_EQ(e.kind, 2);
    EXPECT_EQ(e.size, 5u);
    EXPECT_EQ(e.modified, 1300000000);
    EXPECT_GT(e.created, 0);
    EXPECT_STREQ(e.name, "page.html");

    e = {};
    EXPECT_EQ(stat_path(sub.c_str(), &e), 4);
    EXPECT_EQ(e.kind, 4);
    EXPECT_EQ(e.size, 0u);
    EXPECT_EQ(e.created, 0);  // a directory's own times are not reported
    EXPECT_EQ(e.modified, 0);
    EXPECT_EQ(e.accessed, 0);
    EXPECT_STREQ(e.name, "sub");

    EXPECT_EQ(stat_path(sub_slash.c_str(), &e), 4);
    EXPECT_STREQ(e.name, "");
    EXPECT_EQ(stat_path((dir + "/missing").c_str(), &e), 0);
    EXPECT_EQ(stat_path((dir + "/page.html/").c_str(), &e), 0);
    EXPECT_EQ(stat_path("", &e), 0);
}

TEST(DirScan, LinksAreFollowedAndSpecialFilesAreNothing)
{
    counters start;
    std::string dir = make_temp_dir();
    write_file(dir + "/target", "0123456789");
    ASSERT_EQ(mkdir((dir + "/realdir").c_str(), 0755), 0);
    ASSERT_EQ(run_shell("cd '" + dir +
                        "' && ln -s target link && ln -s realdir dirlink && "
                        "ln -s nowhere broken && mkfifo pipe"),
              0);

    dir_entry e;
    EXPECT_EQ(stat_path((dir + "/link").c_str(), &e), 2);
    EXPECT_EQ(e.size, 10u);
    EXPECT_EQ(stat_path((dir + "/dirlink").c_str(), &e), 4);
    EXPECT_EQ(stat_path((dir + "/broken").c_str(), &e), 0);
    // A pipe would block the server on open: it is not served.
    EXPECT_EQ(stat_path((dir + "/pipe").c_str(), &e), 0);

    std::vector<std::string> names;
    std::map<std::string, int32_t> kinds;
    std::vector<dir_entry> rows = scan_all(dir, names);
    for (size_t i = 0; i < rows.size(); ++i)
        kinds[names[i]] = rows[i].kind;
    EXPECT_EQ(kinds, (std::map<std::string, int32_t>{{"target", 2}, {"link", 2}, {"realdir", 4}, {"dirlink", 4}}));
    start.expect_unchanged();
}

TEST(DirScan, SizesAreReportedIn64Bits)
{
    std::string dir = make_temp_dir();
    struct {
        const char *name;
        uint64_t length;
        uint64_t size;
    } cases[] = {
        {"below", 0xFFFFFFFEull, 0xFFFFFFFEull},
        {"exact", 0x100000000ull, 0x100000000ull},
        {"above", 0x100000001ull, 0x100000001ull},
        {"huge", 0x500000007ull, 0x500000007ull},
    };
    for (const auto &c : cases)
        ASSERT_EQ(run_shell("truncate -s " + std::to_string(c.length) + " '" + dir + "/" + c.name + "'"), 0);

    std::vector<std::string> names;
    std::vector<dir_entry> rows = scan_all(dir, names);
    ASSERT_EQ(rows.size(), 4u);
    for (const auto &c : cases) {
        dir_entry e;
        ASSERT_EQ(stat_path((dir + "/" + c.name).c_str(), &e), 2);
        EXPECT_EQ(e.size, c.size) << c.name;
        for (size_t i = 0; i < rows.size(); ++i) {
            if (names[i] == c.name) {
                EXPECT_EQ(rows[i].size, c.size) << c.name;
            }
        }
    }
}

TEST(DirScan, TimesAreReportedIn64Bits)
{
    std::string dir = make_temp_dir();
    struct {
        const char *name;
        long long seconds;
        int64_t expected;
    } cases[] = {
        {"epoch", 0, 0},
        {"last", INT32_MAX, INT32_MAX},
        {"after", 1LL + INT32_MAX, 1LL + INT32_MAX},
        {"later", 5000000000LL, 5000000000LL},
        {"before", -100, -100},
    };
    for (const auto &c : cases) {
        std::string path = dir + "/" + c.name;
        write_file(path, "t");
        struct timespec ts[2] = {{static_cast<time_t>(c.seconds), 0}, {static_cast<time_t>(c.seconds), 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), ts, 0), 0);
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        if (st.st_mtime != c.seconds)
            GTEST_SKIP() << "the file system cannot hold the time " << c.seconds;
    }
    std::vector<std::string> names;
    std::vector<dir_entry> rows = scan_all(dir, names);
    for (const auto &c : cases) {
        dir_entry e;
        ASSERT_EQ(stat_path((dir + "/" + c.name).c_str(), &e), 2);
        EXPECT_EQ(e.modified, c.expected) << c.name;
        EXPECT_EQ(e.accessed, c.expected) << c.name;
        for (size_t i = 0; i < rows.size(); ++i) {
            if (names[i] == c.name) {
                EXPECT_EQ(rows[i].modified, c.expected) << c.name;
            }
        }
    }
}

TEST(DirScan, SnapshotRefusesPathsLongerThan256)
{
    counters start;
    const std::string p256 = "/" + std::string(255, 'a');
    for (const std::string &path : {p256, p256 + "/"}) {  // accepted, names nothing; the final "/" does not count
        dir_entry *snap = dir_snapshot(path.c_str());
        ASSERT_NE(snap, nullptr);
        EXPECT_EQ(snap[0].kind, KIND_NONE);
        dir_snapshot_free(snap);
    }
    EXPECT_EQ(dir_snapshot((p256 + "a").c_str()), nullptr);
    start.expect_unchanged();
}

// An empty, missing or unsearchable directory gives the terminator alone, in
// one block, with the directory closed again.
TEST(DirScan, EmptyOrMissingDirectorySnapshotIsTerminatorOnly)
{
    counters start;
    std::string dir = make_temp_dir();
    write_file(dir + "/file", "x");
    ASSERT_EQ(mkdir((dir + "/empty").c_str(), 0755), 0);
    for (const std::string &path : {dir + "/empty", dir + "/missing", dir + "/file"}) {
        dir_entry *snap = dir_snapshot(path.c_str());
        ASSERT_NE(snap, nullptr) << path;
        EXPECT_EQ(snap[0].kind, KIND_NONE) << path;
        EXPECT_EQ(n_blocks, start.blocks + 1);
        EXPECT_EQ(n_files, start.files);
        dir_snapshot_free(snap);
    }
    start.expect_unchanged();
}

namespace {

// The walk used where the kernel lacks openat2 refuses what openat2 with
// RESOLVE_BENEATH refuses, and opens the rest: both are run on every row.
TEST(DirScan, WalkBeneathTheRootAgreesWithTheKernel)
{
    const std::string dir = make_temp_dir();
    ASSERT_EQ(run_shell("cd '" + dir + "' && mkdir -p root/d/e out && echo in > root/d/f && echo out > out/s && "
                        "ln -s d/f root/in && ln -s ../f root/d/e/up && ln -s ../out/s root/esc && "
                        "ln -s '" + dir + "/root/d/f' root/abs && ln -s in root/chain && ln -s esc root/chain-out && "
                        "ln -s ../root/d/f root/around && ln -s loop root/loop && ln -s d root/dl"),
              0);
    const int root = open((dir + "/root").c_str(), O_PATH | O_DIRECTORY);
    ASSERT_GE(root, 0);
    struct row {
        const char *rel;
        bool opens;
    } rows[] = {
        {"d/f", true},     {"in", true},     {"d/e/up", true}, {"chain", true},     {"dl/f", true},
        {"dl/e/up", true}, {"d/e/../f", true}, {".", true},    {"esc", false},      {"abs", false},
        {"chain-out", false}, {"around", false}, {"loop", false}, {"../out/s", false}, {"d/../../out/s", false},
        {"missing", false},
    };
    for (const row &r : rows) {
        open_how how{};
        how.flags = O_RDONLY | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH;
        const int kernel = static_cast<int>(syscall(SYS_openat2, root, r.rel, &how, sizeof how));
        const bool kernel_has_it = kernel >= 0 || errno != ENOSYS;
        const int walked = open_beneath_walk(root, r.rel, O_RDONLY);
        EXPECT_EQ(walked >= 0, r.opens) << r.rel;
        if (kernel_has_it) {
            EXPECT_EQ(kernel >= 0, r.opens) << r.rel;
        }
        struct stat a, b;
        if (kernel >= 0 && walked >= 0 && fstat(kernel, &a) == 0 && fstat(walked, &b) == 0) {
            EXPECT_EQ(a.st_ino, b.st_ino) << r.rel;
        }
        for (int fd : {kernel, walked})
            if (fd >= 0)
                close(fd);
    }
    close(root);
}

}  // namespace
