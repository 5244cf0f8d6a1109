// Method and header-name tables, in-place string helpers, and the
// processing of request targets.
#include "htproc.h"

#include <cctype>
#include <cstring>

// ---------------------------------------------------------------------------
// In-place string helpers

char *fold_lower(char *s)
{
    for (unsigned char *p = (unsigned char *)s; *p; ++p)
        *p = (unsigned char)std::tolower(*p);
    return s;
}

char *fold_upper(char *s)
{
    for (unsigned char *p = (unsigned char *)s; *p; ++p)
        *p = (unsigned char)std::toupper(*p);
    return s;
}

// Space, tab, LF, VT, FF, CR; bytes of 128 and above never count.
static bool is_blank(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

char *trim_blanks(char *s)
{
    unsigned char *p = (unsigned char *)s;
    while (is_blank(*p))
        ++p;
    size_t n = std::strlen((char *)p);
    while (n > 0 && is_blank(p[n - 1]))
        --n;
    p[n] = 0;
    return (char *)p;
}
