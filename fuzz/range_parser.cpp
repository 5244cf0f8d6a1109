// Range header values through the request reader, then through the range
// checks and the header of the reply, against an entry of arbitrary size.
//
// Checked: the reader agrees with a plain restatement of the Range rules
// written here (one slot per "first-last", "first-" or "-suffix", at most
// eight, a value of another unit changes nothing); a header is written only
// for at most one range that lies inside the entry, its Content-Length and
// Content-Range agree with that range, and a refused range writes nothing.
#include "error.h"
#include "file.h"
#include "htproc.h"
#include "mime.h"
#include "reply.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void fail(const char *what, const std::string &value)
{
    fprintf(stderr, "range_parser: %s: \"%s\"\n", what, value.c_str());
    abort();
}

// Decimal number with optional leading white space and sign, its magnitude
// saturating at 2^63 - 1; `*end` stays at `p` when there are no digits.
int64_t ref_signed(const char *p, const char **end)
{
    const char *s = p;
    while (*s == ' ' || (*s >= '\t' && *s <= '\r'))
        ++s;
    bool negative = false;
    if (*s == '+' || *s == '-')
        negative = *s++ == '-';
    if (*s < '0' || *s > '9') {
        *end = p;
        return 0;
    }
    unsigned __int128 v = 0;
    while (*s >= '0' && *s <= '9') {
        v = v * 10 + static_cast<unsigned>(*s++ - '0');
        if (v > INT64_MAX)
            v = INT64_MAX;
    }
    *end = s;
    return negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
}

uint64_t ref_position(const char **p)
{
    const char *end;
    const int64_t v = ref_signed(*p, &end);
    *p = end;
    return static_cast<uint64_t>(v);
}

// The Range rules, restated slot by slot.
int32_t ref_parse(const char *p, int32_t old_count, byte_range *out)
{
    while (*p == ' ')
        ++p;
    if (strncmp(p, "bytes=", 6) != 0)
        return old_count;
    p += 6;
    int32_t count = 0;
    for (;;) {
        while (*p == ' ')
            ++p;
        byte_range r;
        if (*p == '-') {
            const char *end;
            r.first = RANGE_OPEN;
            r.end = static_cast<uint64_t>(ref_signed(p + 1, &end));
            p = end == p + 1 ? p + 1 : end;
        } else if (*p >= '0' && *p <= '9') {
            r.first = ref_position(&p);
            while (*p == ' ')
                ++p;
            r.end = RANGE_OPEN;
            if (*p == '-') {
                ++p;
                while (*p == ' ')
                    ++p;
                if (*p >= '0' && *p <= '9') {
                    r.end = ref_position(&p) + 1;
                }
            }
        } else {
            break;
        }
        out[count++] = r;
        while (*p == ' ')
            ++p;
        if (*p != ',' || count == MAX_RANGES)
            break;
        ++p;
    }
    return count;
}

// Finds `line` in the header and reads the number after it.
bool header_number(const std::string &header, const char *line, uint64_t *value)
{
    const size_t at = header.find(line);
    if (at == std::string::npos)
        return false;
    *value = strtoull(header.c_str() + at + strlen(line), nullptr, 10);
    return true;
}

file_entry entry;
char in_buf[TASK_IN_BUF_SIZE];
char out_buf[TASK_OUT_BUF_SIZE];

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    mime_table_build();
    entry.refcount = 1;
    entry.kind = KIND_STATIC;
    entry.name = "/srv/www/movie.mp4";
    entry.mtime = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzedDataProvider in(data, size);
    const uint64_t entry_size = in.ConsumeBool()
                                    ? in.ConsumeIntegral<uint64_t>() >> in.ConsumeIntegralInRange<int>(0, 63)
                                    : in.ConsumeIntegral<uint16_t>();
    const int32_t old_count = in.ConsumeIntegralInRange<int32_t>(0, MAX_RANGES);
    const std::string value_text = in.ConsumeRemainingBytesAsString();

    // A value the reader takes as a field value, without the blanks around it.
    for (const char c : value_text)
        if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F)
            return 0;
    const size_t lead = value_text.find_first_not_of(" \t");
    const std::string trimmed =
        lead == std::string::npos ? "" : value_text.substr(lead, value_text.find_last_not_of(" \t") + 1 - lead);

    // A first Range line sets `old_count` ranges, which the value replaces
    // only when it is of the bytes unit.
    std::string head = "GET / HTTP/1.1\r\nHost: t\r\n";
    byte_range want[MAX_RANGES];
    for (int32_t i = 0; i < old_count; ++i) {
        head += i == 0 ? "Range: bytes=" : ",";
        head += std::to_string(i) + "-" + std::to_string(i);
        want[i] = {static_cast<uint64_t>(i), static_cast<uint64_t>(i + 1)};
    }
    head += (old_count ? "\r\nRange: " : "Range: ") + value_text + "\r\n\r\n";
    if (head.size() > sizeof in_buf)
        return 0;
    memcpy(in_buf, head.data(), head.size());
    task tk{};
    tk.out = io_buf{out_buf, out_buf, out_buf, out_buf + sizeof out_buf};
    request_head &t = tk.req;
    size_t used;
    if (read_request(&t, in_buf, head.size(), &used) != READ_DONE || used != head.size())
        fail("a head with a Range line not read whole", value_text);

    const int32_t want_count = ref_parse(trimmed.c_str(), old_count, want);
    if (t.nranges != want_count)
        fail("range count differs from the rules", value_text);
    for (int32_t i = 0; i < want_count; ++i)
        if (t.ranges[i].first != want[i].first || t.ranges[i].end != want[i].end)
            fail("range differs from the rules", value_text);

    entry.size = entry_size;
    tk.fe = &entry;
    const byte_range asked = t.ranges[0];
    const int32_t asked_count = t.nranges;
    const int32_t status = reply_header(&tk, cache_policy{-1});
    if (status == STATUS_416) {
        if (buf_size(tk.out) != 0)
            fail("refused range wrote a header", value_text);
        return 0;
    }
    if (status != (asked_count == 1 ? STATUS_206 : STATUS_200) || asked_count > 1 || t.nranges != asked_count)
        fail("several ranges answered, or another status", value_text);
    const std::string header(out_buf, buf_size(tk.out));
    if (header.size() < 4 || header.compare(header.size() - 4, 4, "\r\n\r\n") != 0)
        fail("header does not end with an empty line", value_text);
    uint64_t length = 0;
    if (!header_number(header, "\r\nContent-Length: ", &length))
        fail("header without Content-Length", value_text);
    if (t.nranges == 0) {
        if (header.compare(0, 15, "HTTP/1.1 200 OK") != 0 || length != entry_size ||
            header.find("Content-Range") != std::string::npos)
            fail("whole entry not answered 200 with its size", value_text);
        return 0;
    }
    const byte_range got{tk.offset, tk.end};
    if (!(got.first < got.end && got.end <= entry_size))
        fail("range answered outside the entry", value_text);
    // The resolved range, by the rules: a suffix counts from the end, an end
    // past the entry is cut to it.
    uint64_t first = asked.first, end = asked.end;
    if (asked.first == RANGE_OPEN) {
        first = asked.end <= entry_size ? entry_size - asked.end : UINT64_MAX;
        end = entry_size;
    }
    if (end > entry_size)
        end = entry_size;
    if (got.first != first || got.end != end)
        fail("range resolved differently from the rules", value_text);
    char expect[96];
    snprintf(expect, sizeof expect, "\r\nContent-Range: bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64 "\r\n", first, end - 1,
             entry_size);
    if (header.compare(0, 28, "HTTP/1.1 206 Partial Content") != 0 || header.find(expect) == std::string::npos ||
        length != end - first)
        fail("partial reply header does not match its range", value_text);
    return 0;
}
