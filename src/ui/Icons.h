#pragma once

#include <QColor>
#include <QIcon>
#include <QRectF>

class QPainter;

// The window's and the menu bar's icons, drawn in code so they tint with the palette and stay sharp at any
// scale.
namespace Icons {

enum class Icon {
    home,   // the sidebar's home mark: a house with a door
    cart,   // plans
    gift,   // invitations
    person, // settings
    bolt,   // the menu bar item: a bolt on a filled circle
    info,   // the AI card's information button
    close,  // the sheet's close button
};

void paint(QPainter &painter, Icon icon, const QRectF &box, const QColor &color);
QPixmap pixmap(Icon icon, int size, const QColor &color, qreal devicePixelRatio = 2.0);
QIcon icon(Icon icon, const QColor &color);

} // namespace Icons
