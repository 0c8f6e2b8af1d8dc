#pragma once

#include <QColor>
#include <QPalette>
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

// The window's own light palette, every role set: the look is light whatever the system theme is.
QPalette light();

// Makes the light palette the application's, for the window, its dialogs, menus and tool tips, replacing the
// per-class palettes a platform theme hands out (macOS gives labels and check boxes white text in dark mode).
// Run at start-up and again on every theme change.
void installLightTheme();

} // namespace Palette
