// MIME types by file-name extension, and the icon classes of listings.
#pragma once

#include "dirscan.h"

#include <cstdint>

// Builds the extension index; ends the program when its bucket array
// cannot be allocated. Called at every server start.
void mime_table_build();
// Frees the extension index; a second call does nothing.
void mime_table_free();

// MIME type for a resource path or cache key; constant text.
const char *mime_type_of(const char *name);

// Icon class for a listing entry's name and kind: directories on disk and
// inside archives are folders; everything else, archives included, is
// classed by the name's extension. Constant text.
const char *icon_class_of(const char *name, entry_kind kind);
