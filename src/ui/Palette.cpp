#include "Palette.h"

#include <QHash>

namespace {

QColor rgb(double r, double g, double b)
{
    return QColor::fromRgbF(static_cast<float>(r), static_cast<float>(g), static_cast<float>(b));
}

} // namespace

namespace Palette {

QColor tvBlack()
{
    return rgb(0.02, 0.02, 0.02);
}
QColor tvInk()
{
    return rgb(0.114, 0.114, 0.122);
}
QColor tvMuted()
{
    return rgb(0.431, 0.431, 0.451);
}
QColor tvSoft()
{
    return rgb(0.961, 0.961, 0.969);
}
QColor tvSoft2()
{
    return rgb(0.984, 0.984, 0.992);
}
QColor tvLine()
{
    return rgb(0.824, 0.824, 0.843);
}
QColor tvLineSoft()
{
    return rgb(0.925, 0.925, 0.941);
}
QColor tvBlue()
{
    return rgb(0.0, 0.443, 0.89);
}
QColor tvBlueSoft()
{
    return rgb(0.918, 0.957, 1.0);
}
QColor tvGreen()
{
    return rgb(0.086, 0.506, 0.239);
}
QColor tvGreenSoft()
{
    return rgb(0.918, 0.984, 0.945);
}
QColor tvOrange()
{
    return rgb(0.627, 0.353, 0.0);
}
QColor tvOrangeSoft()
{
    return rgb(1.0, 0.969, 0.929);
}
QColor serviceDot()
{
    return rgb(0.188, 0.82, 0.345);
}

QColor byName(const QString &name)
{
    static const QHash<QString, QColor (*)()> table{
        {"tvBlack", tvBlack},           {"tvInk", tvInk},     {"tvMuted", tvMuted},         {"tvSoft", tvSoft},
        {"tvSoft2", tvSoft2},           {"tvLine", tvLine},   {"tvLineSoft", tvLineSoft},   {"tvBlue", tvBlue},
        {"tvBlueSoft", tvBlueSoft},     {"tvGreen", tvGreen}, {"tvGreenSoft", tvGreenSoft}, {"tvOrange", tvOrange},
        {"tvOrangeSoft", tvOrangeSoft},
    };
    const auto it = table.constFind(name);
    return it == table.constEnd() ? QColor() : (*it)();
}

QString css(const QColor &color)
{
    return color.name(QColor::HexRgb);
}

} // namespace Palette
