// MIME types by file-name extension, and the icon classes of listings.
#pragma once

const char *mime_type_of(const char *name);
