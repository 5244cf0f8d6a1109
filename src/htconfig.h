// The in-memory configuration store: twelve settings in three sections,
// read through typed fields and, by key, by the "$" template directives.
#pragma once

#include <cstdint>

enum : int32_t {
    CFG_HTTPD = 0,
    CFG_DIRECTORY = 1,
    CFG_INDEX = 2,
};

struct cfg_entry {
    char *key;          // lower case, inside the entry
    const char *label;  // the name as the program spells it, or null
    char *text;         // the entry's own value storage
    const char *value;  // value in force for an entry made from a default
    int32_t section;
    cfg_entry *chain_next;
    cfg_entry *ring_prev, *ring_next;
};

constexpr int CFG_BUCKETS = 100;
constexpr int CFG_URI_SLOTS = 36;
constexpr int CFG_ALLOW_SLOTS = 18;

struct config_store {
    int32_t count;
    int32_t nbuckets;
    cfg_entry **buckets;
    cfg_entry *sections[3];
    int32_t server_port;
    const char *server_name;
    int32_t conn_timeout;
    const char *uri_mapping[CFG_URI_SLOTS];
    const char *allow_path[CFG_ALLOW_SLOTS];
    const char *index_file;
    const char *readme_file;
    const char *index_template;
    const char *index_template_dir;
    const char *index_template_file;
    const char *index_template_other;
    const char *index_template_zip;
};

extern config_store g_config;

void cfg_create(config_store *store);
void cfg_free(config_store *store);
cfg_entry *cfg_add(config_store *store, const char *name, int32_t section, const char *value, uint32_t length);
cfg_entry *cfg_add_default(config_store *store, const char *name, int32_t section, const char *def);
cfg_entry *cfg_find(config_store *store, const char *name, int32_t section);
// The newest entry of any section whose key is exactly `key` (no folding).
cfg_entry *cfg_find_key(const config_store *store, const char *key);
int32_t cfg_int(config_store *store, const char *name, int32_t section, int32_t def, int32_t minimum, int32_t maximum);
const char *cfg_str(config_store *store, const char *name, int32_t section, const char *def);
int32_t cfg_list(config_store *store, const char *name, int32_t section, const char **slots, int32_t num,
                 const char *def);
void cfg_defaults(config_store *store, const char *root);
