// The in-memory configuration store: named text values in three sections,
// hashed by lower-case key, each section kept as a ring in insertion order.
#include "htconfig.h"

#include "memory.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

config_store g_config;

// Default templates of the directory index pages.
static const char DEFAULT_INDEX_TEMPLATE[] =
    "<html><head><meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
    "<meta name=\"color-scheme\" content=\"light dark\"><title>Index of %p</title></head>\n"
    "<body><h2 align=justify><a href=/>HOME</a>&gt;%R</h2>\n"
    "<pre>     <a href=%(OdN)>NAME</a>                   <a href=%(OdT)>DATE</a>"
    "         <a href=%(OdS)>SIZE</a>  <a href=%(Odn)>NAME(R)</a>  <a href=?zip>ALL AS .ZIP</a>\n"
    "\n"
    "%*</pre>\n"
    "</body></html>\n";
static const char DEFAULT_TEMPLATE_FILE[] =
    "<img src=\"%m\" width=24 height=24> <a href=\"%u\">%(n20)</a>%(b20) %t %d %s %N (%S)\n";
static const char DEFAULT_TEMPLATE_DIR[] =
    "<img src=\"%m\" width=24 height=24> <a href=\"%U\">%(n20)</a>%(b20) %t %d       <a href=\"%U\">%N</a>\n";
static const char DEFAULT_TEMPLATE_ZIP[] =
    "<img src=\"%m\" width=24 height=24> <a href=\"%u\">%(n20)</a>%(b20) %t %d %s <a href=\"%U\">%N"
    "<img border=0 src=\"/?rc=viewzip.gif\" width=24 height=24></a> (%S)\n";

// Room every entry keeps for its value, so a later value of that size fits.
static constexpr uint32_t CFG_MIN_VALUE = 64;
// Names up to this length are folded in a local buffer for hashing.
static constexpr size_t CFG_NAME_BUF = 256;

void cfg_create(config_store *store)
{
    store->count = 0;
    store->nbuckets = CFG_BUCKETS;
    store->buckets = static_cast<cfg_entry **>(calloc(CFG_BUCKETS, sizeof(cfg_entry *)));
    if (!store->buckets)
        panic("cfg_create(): out of memory");
    // The anchors of a previous store point at freed entries.
    for (auto &anchor : store->sections)
        anchor = nullptr;
}

void cfg_free(config_store *store)
{
    if (!store->buckets)
        return;
    for (int i = store->nbuckets - 1; i >= 0; --i) {
        while (cfg_entry *e = store->buckets[i]) {
            store->buckets[i] = e->chain_next;
            counted_free(&n_confs, e);
        }
    }
    store->count = 0;
    free(store->buckets);
    store->buckets = nullptr;
    for (auto &anchor : store->sections)
        anchor = nullptr;
}

cfg_entry *cfg_add(config_store *store, const char *name, int32_t section, const char *value, uint32_t length)
{
    ASSERT(section >= 0 && section < 3);
    const size_t key_len = strlen(name);
    const size_t room = length > CFG_MIN_VALUE ? length : CFG_MIN_VALUE;
    auto *e = static_cast<cfg_entry *>(counted_alloc(&n_confs, sizeof(cfg_entry) + key_len + 1 + room + 1));
    if (!e)
        return nullptr;
    e->key = reinterpret_cast<char *>(e + 1);
    memcpy(e->key, name, key_len + 1);
    fold_lower(e->key);
    e->label = nullptr;
    e->value = nullptr;
    e->text = e->key + key_len + 1;
    if (length)
        memcpy(e->text, value, length);
    e->text[length] = 0;
    e->section = section;

    cfg_entry **bucket = &store->buckets[string_hash(e->key, static_cast<uint32_t>(store->nbuckets))];
    e->chain_next = *bucket;
    *bucket = e;
    ++store->count;

    cfg_entry *anchor = store->sections[section];
    if (anchor) {
        e->ring_next = anchor;
        e->ring_prev = anchor->ring_prev;
        anchor->ring_prev->ring_next = e;
        anchor->ring_prev = e;
    } else {
        e->ring_next = e->ring_prev = e;
        store->sections[section] = e;
    }
    return e;
}

cfg_entry *cfg_add_default(config_store *store, const char *name, int32_t section, const char *def)
{
    cfg_entry *e = cfg_add(store, name, section, "", 0);
    if (!e)
        return nullptr;
    e->value = def ? def : e->text;
    e->label = name;
    return e;
}

// True when key equals name folded to lower case.
static bool key_matches(const char *key, const char *name)
{
    for (; *name; ++key, ++name)
        if (*key != static_cast<char>(tolower(static_cast<unsigned char>(*name))))
            return false;
    return *key == 0;
}

cfg_entry *cfg_find(config_store *store, const char *name, int32_t section)
{
    if (!store->buckets)
        return nullptr;
    const size_t len = strlen(name);
    if (len < CFG_NAME_BUF) {
        char folded[CFG_NAME_BUF];
        memcpy(folded, name, len + 1);
        fold_lower(folded);
        for (cfg_entry *e = store->buckets[string_hash(folded, static_cast<uint32_t>(store->nbuckets))]; e;
             e = e->chain_next)
            if (e->section == section && strcmp(e->key, folded) == 0)
                return e;
        return nullptr;
    }
    // Too long to fold locally: look through every bucket.
    for (int i = 0; i < store->nbuckets; ++i)
        for (cfg_entry *e = store->buckets[i]; e; e = e->chain_next)
            if (e->section == section && key_matches(e->key, name))
                return e;
    return nullptr;
}

cfg_entry *cfg_find_key(const config_store *store, const char *key)
{
    if (!store->buckets)
        return nullptr;
    for (cfg_entry *e = store->buckets[string_hash(key, static_cast<uint32_t>(store->nbuckets))]; e; e = e->chain_next)
        if (strcmp(e->key, key) == 0)
            return e;
    return nullptr;
}

int32_t cfg_int(config_store *store, const char *name, int32_t section, int32_t def, int32_t minimum, int32_t maximum)
{
    cfg_entry *e = cfg_find(store, name, section);
    if (e) {
        if (!e->label)
            e->label = name;
        // Values beyond 32 bits saturate, so they fall outside any bounds.
        const int64_t v = parse_decimal(e->text, nullptr, DECIMAL_SIGNED, INT64_MAX);
        if (v >= minimum && v <= maximum)
            return static_cast<int32_t>(v);
    } else {
        e = cfg_add_default(store, name, section, nullptr);
        if (!e)
            return def;
    }
    snprintf(e->text, CFG_MIN_VALUE + 1, "%d", def);
    return def;
}

const char *cfg_str(config_store *store, const char *name, int32_t section, const char *def)
{
    if (cfg_entry *e = cfg_find(store, name, section)) {
        if (!e->label)
            e->label = name;
        return e->text;
    }
    if (def)
        cfg_add_default(store, name, section, def);
    return def;
}

int32_t cfg_list(config_store *store, const char *name, int32_t section, const char **slots, int32_t num,
                 const char *def)
{
    cfg_entry *e = cfg_find(store, name, section);
    if (!e) {
        if (!def)
            return 0;
        ASSERT(num >= 2);
        cfg_add_default(store, name, section, def);
        slots[0] = def;
        slots[1] = nullptr;
        return 0;
    }
    if (!e->label)
        e->label = name;
    int32_t n = 0;
    char *line = e->text;
    while (line && n < num - 1) {
        char *end = strchr(line, '\n');
        if (end)
            *end++ = 0;
        char *trimmed = trim_blanks(line);
        if (*trimmed)
            slots[n++] = trimmed;
        line = end;
    }
    if (num > 0)
        slots[n] = nullptr;
    return n;
}

void cfg_defaults(config_store *store, const char *root)
{
    store->server_port = cfg_int(store, "ServerPort", CFG_HTTPD, 80, 1, 32760);
    store->conn_timeout = cfg_int(store, "ConnectionTimeOut", CFG_HTTPD, 10, 4, 900);
    store->server_name = cfg_str(store, "ServerName", CFG_HTTPD, "?The serverName");

    cfg_list(store, "URIMapping", CFG_DIRECTORY, store->uri_mapping, CFG_URI_SLOTS, root);
    cfg_list(store, "AllowPath", CFG_DIRECTORY, store->allow_path, CFG_ALLOW_SLOTS, root);

    store->index_file = cfg_str(store, "IndexFile", CFG_INDEX, "index.html");
    store->readme_file = cfg_str(store, "ReadMeFile", CFG_INDEX, "README");
    store->index_template = cfg_str(store, "IndexTemplate", CFG_INDEX, DEFAULT_INDEX_TEMPLATE);
    store->index_template_file = cfg_str(store, "IndexTemplateFile", CFG_INDEX, DEFAULT_TEMPLATE_FILE);
    store->index_template_dir = cfg_str(store, "IndexTemplateDir", CFG_INDEX, DEFAULT_TEMPLATE_DIR);
    store->index_template_other = cfg_str(store, "IndexTemplateOther", CFG_INDEX, DEFAULT_TEMPLATE_FILE);
    store->index_template_zip = cfg_str(store, "IndexTemplateZip", CFG_INDEX, DEFAULT_TEMPLATE_ZIP);
}
