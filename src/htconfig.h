// The configuration: twelve settings with their defaults, one table that
// names each and the field of the store it fills.
#pragma once

#include <cstdint>

struct config_store {
    int32_t count;  // settings in force: 0, or every row of the table
    int32_t server_port;
    const char *server_name;
    int32_t conn_timeout;
    const char *uri_mapping[2];  // the root, then the end of the list
    const char *allow_path[2];   // the root, then the end of the list
    const char *index_file;
    const char *readme_file;
    const char *index_template;
    const char *index_template_dir;
    const char *index_template_file;
    const char *index_template_other;
    const char *index_template_zip;
};

extern config_store g_config;

// An empty store: no setting in force.
void cfg_create(config_store *store);
// Puts every setting's default in force (counted in n_confs); the list
// settings hold `root`, which is referred to, not copied.
void cfg_defaults(config_store *store, const char *root);
// Takes the settings out of force; a second call does nothing.
void cfg_free(config_store *store);
