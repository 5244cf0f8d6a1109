// The configuration: a constexpr table of the settings, each with its
// default and the field of config_store it fills.
#include "htconfig.h"

#include "memory.h"

config_store g_config;

namespace {

// Default templates of the directory index pages.
constexpr char DEFAULT_INDEX_TEMPLATE[] =
    "<html><head><meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
    "<meta name=\"color-scheme\" content=\"light dark\"><title>Index of %p</title></head>\n"
    "<body><h2 align=justify><a href=/>HOME</a>&gt;%R</h2>\n"
    "<pre>     <a href=%(OdN)>NAME</a>                   <a href=%(OdT)>DATE</a>"
    "         <a href=%(OdS)>SIZE</a>  <a href=%(Odn)>NAME(R)</a>  <a href=?zip>ALL AS .ZIP</a>\n"
    "\n"
    "%*</pre>\n"
    "</body></html>\n";
constexpr char DEFAULT_TEMPLATE_FILE[] =
    "<img src=\"%m\" width=24 height=24> <a href=\"%u\">%(n20)</a>%(b20) %t %d %s %N (%S)\n";
constexpr char DEFAULT_TEMPLATE_DIR[] =
    "<img src=\"%m\" width=24 height=24> <a href=\"%U\">%(n20)</a>%(b20) %t %d       <a href=\"%U\">%N</a>\n";
constexpr char DEFAULT_TEMPLATE_ZIP[] =
    "<img src=\"%m\" width=24 height=24> <a href=\"%u\">%(n20)</a>%(b20) %t %d %s <a href=\"%U\">%N"
    "<img border=0 src=\"/?rc=viewzip.gif\" width=24 height=24></a> (%S)\n";

// One setting: a number, a text, or a list whose one entry is the root.
// Exactly one field pointer is set.
struct setting {
    const char *name;
    int32_t number;
    const char *text;
    int32_t config_store::*number_field;
    const char *config_store::*text_field;
    const char *(config_store::*list_field)[2];
};

constexpr setting number(const char *name, int32_t def, int32_t config_store::*field)
{
    return {name, def, nullptr, field, nullptr, nullptr};
}

constexpr setting text(const char *name, const char *def, const char *config_store::*field)
{
    return {name, 0, def, nullptr, field, nullptr};
}

constexpr setting root_list(const char *name, const char *(config_store::*field)[2])
{
    return {name, 0, nullptr, nullptr, nullptr, field};
}

constexpr setting SETTINGS[] = {
    number("ServerPort", 80, &config_store::server_port),
    number("ConnectionTimeOut", 10, &config_store::conn_timeout),
    text("ServerName", "?The serverName", &config_store::server_name),
    root_list("URIMapping", &config_store::uri_mapping),
    root_list("AllowPath", &config_store::allow_path),
    text("IndexFile", "index.html", &config_store::index_file),
    text("ReadMeFile", "README", &config_store::readme_file),
    text("IndexTemplate", DEFAULT_INDEX_TEMPLATE, &config_store::index_template),
    text("IndexTemplateFile", DEFAULT_TEMPLATE_FILE, &config_store::index_template_file),
    text("IndexTemplateDir", DEFAULT_TEMPLATE_DIR, &config_store::index_template_dir),
    text("IndexTemplateOther", DEFAULT_TEMPLATE_FILE, &config_store::index_template_other),
    text("IndexTemplateZip", DEFAULT_TEMPLATE_ZIP, &config_store::index_template_zip),
};

constexpr bool each_row_fills_one_field()
{
    for (const setting &s : SETTINGS)
        if (!s.name || (s.number_field != nullptr) + (s.text_field != nullptr) + (s.list_field != nullptr) != 1)
            return false;
    return true;
}
static_assert(each_row_fills_one_field());

constexpr int32_t SETTING_COUNT = static_cast<int32_t>(sizeof SETTINGS / sizeof SETTINGS[0]);

}  // namespace

void cfg_create(config_store *store)
{
    *store = config_store{};
}

void cfg_defaults(config_store *store, const char *root)
{
    for (const setting &s : SETTINGS) {
        if (s.number_field)
            store->*s.number_field = s.number;
        else if (s.text_field)
            store->*s.text_field = s.text;
        else {
            (store->*s.list_field)[0] = root;
            (store->*s.list_field)[1] = nullptr;
        }
    }
    n_confs += SETTING_COUNT - store->count;
    store->count = SETTING_COUNT;
}

void cfg_free(config_store *store)
{
    n_confs -= store->count;
    *store = config_store{};
}
