// Request targets through the steps the server takes before resolving one:
// splitting, the length check, decoding, cleaning, mapping onto the root, the
// allowed-path check and the index file candidate.
//
// Checked: a mapped path never leaves its root, whatever the target: it
// begins with the root and holds no "/../" segment and no final "/..", and
// with the server's own settings it is always allowed. The cleaned path has
// no dot segments or doubled slashes, and cleaning it again changes nothing.
#include "htconfig.h"
#include "htproc.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t MAX_PATH_AND_QUERY = 1020;  // what the server answers 414 from

void fail(const char *what, const std::string &detail)
{
    fprintf(stderr, "target_mapping: %s: \"%s\"\n", what, detail.c_str());
    abort();
}

bool has_dot_segment(const std::string &p, const char *segment)
{
    const std::string inner = std::string("/") + segment + "/";
    const std::string last = std::string("/") + segment;
    if (p.find(inner) != std::string::npos)
        return true;
    return p.size() >= last.size() && p.compare(p.size() - last.size(), last.size(), last) == 0;
}

// A mapping list and the roots its paths must stay below.
struct mapping {
    const char *const *uri_list;
    const char *const *allow_list;
    const char *roots[3];
    bool all_allowed;  // every mapped path passes the allowed-path check
};

const char *const ROOT_SLASH[] = {"/srv/www/", nullptr};
// A prefix that ends inside a segment: "/docs..x" continues its segment.
const char *const PAIRS[] = {"/docs", "/srv/manual", "/srv/www", nullptr};
const char *const PAIRS_ALLOWED[] = {"/srv/manual", "/srv/www", nullptr};

const mapping MAPPINGS[] = {
    {nullptr, nullptr, {nullptr}, true},  // the server's own settings, filled at start
    {ROOT_SLASH, ROOT_SLASH, {"/srv/www/"}, true},
    {PAIRS, PAIRS_ALLOWED, {"/srv/manual", "/srv/www"}, true},
};

bool starts_below(const std::string &mapped, const char *root)
{
    // The root itself, or the root followed by "/" (a root ending in "/" is
    // joined without doubling it).
    std::string r = root;
    if (!r.empty() && r.back() == '/')
        r.pop_back();
    return mapped.compare(0, r.size(), r) == 0 && (mapped.size() == r.size() || mapped[r.size()] == '/');
}

void check_mapping(const mapping &m, const std::string &cleaned)
{
    const char *const *uri_list = m.uri_list ? m.uri_list : g_config.uri_mapping;
    const char *const *allow_list = m.allow_list ? m.allow_list : g_config.allow_path;
    char mapped_out[MAPPED_PATH_MAX + 1];
    const char *mapped_c = map_uri(cleaned.c_str(), uri_list, mapped_out);
    if (!mapped_c)
        return;
    const std::string mapped = mapped_c;
    if (mapped.size() > MAPPED_PATH_MAX)
        fail("mapped path too long", mapped);
    bool below = false;
    for (const char *root : m.roots)
        if (root && starts_below(mapped, root))
            below = true;
    if (!m.uri_list)
        below = starts_below(mapped, g_config.uri_mapping[0]);
    if (!below)
        fail("mapped path outside its root", mapped);
    if (has_dot_segment(mapped, ".."))
        fail("mapped path climbs with \"..\"", mapped);
    const char *allowed = path_allowed(mapped.c_str(), allow_list);
    if (m.all_allowed && !allowed)
        fail("mapped path refused by its own allowed list", mapped);
    if (allowed && strncmp(mapped.c_str(), allowed, strlen(allowed)) != 0)
        fail("allowed prefix is not a prefix", mapped);

    char index_out[INDEX_PATH_MAX + 1];
    if (const char *candidate = with_index_file(mapped.c_str(), g_config.index_file, index_out)) {
        const std::string c = candidate;
        if (c.size() > INDEX_PATH_MAX || c.compare(0, mapped.size(), mapped) != 0)
            fail("index candidate malformed", c);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    cfg_create(&g_config);
    cfg_defaults(&g_config, "/srv/www");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The target as the request reader leaves it: terminated, without line ends.
    std::string target(reinterpret_cast<const char *>(data), size);
    target.resize(strlen(target.c_str()));

    char *host = nullptr, *query = nullptr;
    int32_t port = 0;
    char *path = split_target(target.data(), &host, &port, &query);
    if (!path)
        return 0;
    if (path < target.data() || path >= target.data() + target.size() + 1)
        fail("path outside the target", target);
    if (path[0] != '/')
        fail("split path does not begin with \"/\"", path);
    if (query && (query < target.data() || query > target.data() + target.size()))
        fail("query outside the target", target);
    if (!host && port != -1 && port != 0)
        fail("port without host", target);
    if (host)
        return 0;  // answered 501
    if (strlen(path) + (query ? strlen(query) : 0) >= MAX_PATH_AND_QUERY)
        return 0;  // answered 414

    const size_t before = strlen(path);
    uri_decode(path);
    if (strlen(path) > before)
        fail("decoding made the path longer", path);
    const std::string cleaned = path_clean(path);
    if (!cleaned.empty() && cleaned[0] != '/')
        fail("cleaned path does not begin with \"/\"", cleaned);
    if (cleaned.find("//") != std::string::npos || has_dot_segment(cleaned, ".") || has_dot_segment(cleaned, ".."))
        fail("cleaned path keeps a dot segment or a doubled slash", cleaned);
    std::string again = cleaned;
    if (path_clean(again.data()) != cleaned)
        fail("cleaning is not idempotent", cleaned);

    for (const mapping &m : MAPPINGS)
        check_mapping(m, cleaned);
    return 0;
}
