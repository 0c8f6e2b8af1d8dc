#pragma once

#include <QColor>
#include <QString>

// The fixed colour palette of the window (sRGB, opaque). Pages use the colours by name.
namespace Palette {

QColor tvBlack();
QColor tvInk();
QColor tvMuted();
QColor tvSoft();
QColor tvSoft2();
QColor tvLine();
QColor tvLineSoft();
QColor tvBlue();
QColor tvBlueSoft();
QColor tvGreen();
QColor tvGreenSoft();
QColor tvOrange();
QColor tvOrangeSoft();

// The green dot of the service indicator in the sidebar.
QColor serviceDot();

// Looks a palette colour up by its name ("tvInk"); an invalid colour for an unknown name.
QColor byName(const QString &name);

// "#rrggbb", for style sheets.
QString css(const QColor &color);

} // namespace Palette
