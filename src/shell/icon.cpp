// The program icon, drawn at any size: for the window, the tray and the
// installed launcher.
#include "shell/icon.h"

#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>

// The program icon: a globe with a zipper running down its front, for a web
// server that opens ZIP archives. Drawn on a 64-unit grid at any size.
QImage draw_icon(int size)
{
    QImage pm(size, size, QImage::Format_ARGB32_Premultiplied);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);

    QRadialGradient sea(QPointF(24, 22), 34);
    sea.setColorAt(0, QColor(0x8c, 0xc8, 0xf5));
    sea.setColorAt(1, QColor(0x1c, 0x5a, 0xa6));
    p.setPen(QPen(QColor(0x12, 0x3c, 0x70), 2.5));
    p.setBrush(sea);
    p.drawEllipse(QPointF(30, 32), 28, 28);

    p.save();
    QPainterPath globe;
    globe.addEllipse(QPointF(30, 32), 27, 27);
    p.setClipPath(globe);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 150), 1.8));
    p.drawEllipse(QPointF(30, 32), 12, 28);
    p.drawLine(QPointF(2, 32), QPointF(58, 32));
    p.drawLine(QPointF(6, 18), QPointF(54, 18));
    p.drawLine(QPointF(6, 46), QPointF(54, 46));
    p.restore();

    // The zipper: a gold band with alternating teeth and a pull tab.
    p.setPen(QPen(QColor(0x7a, 0x55, 0x08), 1.5));
    p.setBrush(QColor(0xf2, 0xc2, 0x30));
    p.drawRoundedRect(QRectF(40, 22, 18, 40), 3, 3);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x5c, 0x40, 0x06));
    for (int i = 0; i < 8; i++) {
        qreal x = (i % 2) ? 49.5 : 45.0;
        p.drawRect(QRectF(x, 32 + i * 3.6, 4.5, 2.2));
    }
    p.setPen(QPen(QColor(0x5c, 0x40, 0x06), 1.5));
    p.setBrush(QColor(0xd8, 0xdc, 0xe0));
    p.drawRoundedRect(QRectF(44, 20, 10, 11), 2, 2);
    p.setBrush(QColor(0x5c, 0x40, 0x06));
    p.drawEllipse(QPointF(49, 26.5), 1.6, 1.6);
    return pm;
}

QIcon program_icon()
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128})
        icon.addPixmap(QPixmap::fromImage(draw_icon(size)));
    return icon;
}
