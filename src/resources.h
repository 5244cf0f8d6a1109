// The server's own resources: the icons of the index pages and the help page.
#pragma once

#include <cstdint>

// One built-in icon, named as the entry table knows it ("?folder.gif").
struct builtin_resource {
    const char *name;
    const unsigned char *data;
    uint32_t size;
};

constexpr int BUILTIN_ICON_COUNT = 21;

// The icons in registration order, ended by a row with a null name.
extern const builtin_resource builtin_resources[BUILTIN_ICON_COUNT + 1];

// The help page: HTML free of template directives ("%" and "$").
extern const char help_page_html[];
