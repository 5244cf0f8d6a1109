// The program icon: a globe with a zipper running down its front, for a web
// server that opens ZIP archives. data/pellorwick.svg is the same picture.
#pragma once

class QIcon;
class QImage;

QImage draw_icon(int size);  // on a 64-unit grid, scaled to size x size pixels
QIcon program_icon();        // 16 to 128 pixels; needs a QGuiApplication
