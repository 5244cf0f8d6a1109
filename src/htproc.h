// Method and header-name tables, in-place string helpers, and the
// processing of request targets: splitting, decoding, cleaning, mapping.
#pragma once

#include <cstdint>

char *fold_lower(char *s);   // in place; returns s
char *fold_upper(char *s);   // in place; returns s
char *trim_blanks(char *s);  // in place; returns the first non-blank byte
