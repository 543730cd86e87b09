#include "gui/appicon.h"

#include <QPainter>
#include <QPainterPath>

QPixmap AppIcon::pixmap(int size)
{
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    const QPen outline(QColor(40, 48, 64), 2.5);
    // Paper going in at the top.
    p.setPen(outline);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(18, 4, 28, 20));
    // The printer's body.
    p.setBrush(QColor(70, 110, 170));
    p.drawRoundedRect(QRectF(5, 20, 54, 26), 5, 5);
    // The page coming out, with lines of text.
    p.setBrush(Qt::white);
    p.drawRect(QRectF(16, 38, 32, 22));
    p.setPen(QPen(QColor(120, 130, 150), 2));
    for (int y = 45; y <= 55; y += 5)
        p.drawLine(QPointF(21, y), QPointF(43, y));
    // A ready light.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(90, 210, 110));
    p.drawEllipse(QPointF(50, 28), 3, 3);
    return pm;
}

QIcon AppIcon::icon()
{
    QIcon icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(pixmap(size));
    return icon;
}
