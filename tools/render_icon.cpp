// Writes the program icon as PNG files for the installed launcher:
// render_icon DIR SIZE... makes DIR/SIZExSIZE/apps/pellorwick.png for each size.
#include "shell/icon.h"

#include <QDir>
#include <QImage>
#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc < 3) {
        fputs("usage: render_icon DIR SIZE...\n", stderr);
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        const int size = atoi(argv[i]);
        const QString dir = QString("%1/%2x%2/apps").arg(argv[1]).arg(size);
        if (size <= 0 || !QDir().mkpath(dir) || !draw_icon(size).save(dir + "/pellorwick.png")) {
            fprintf(stderr, "render_icon: cannot write the %s pixel icon in %s\n", argv[i], argv[1]);
            return 1;
        }
    }
    return 0;
}
