#include "Palette.h"

#include <QApplication>
#include <QHash>
#include <QStyleHints>
#include <QToolTip>

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

QPalette light()
{
    QPalette palette;
    const auto set = [&palette](QPalette::ColorRole role, const QColor &color) {
        palette.setColor(QPalette::All, role, color);
    };
    const QColor white(Qt::white);
    set(QPalette::Window, tvSoft());
    set(QPalette::WindowText, tvInk());
    set(QPalette::Base, white);
    set(QPalette::AlternateBase, tvSoft2());
    set(QPalette::Text, tvInk());
    set(QPalette::PlaceholderText, tvMuted());
    set(QPalette::Button, white);
    set(QPalette::ButtonText, tvInk());
    set(QPalette::BrightText, white);
    set(QPalette::ToolTipBase, white);
    set(QPalette::ToolTipText, tvInk());
    set(QPalette::Highlight, tvBlue());
    set(QPalette::HighlightedText, white);
    set(QPalette::Link, tvBlue());
    set(QPalette::LinkVisited, tvBlue());
    set(QPalette::Light, white);
    set(QPalette::Midlight, tvSoft());
    set(QPalette::Mid, tvLine());
    set(QPalette::Dark, tvMuted());
    set(QPalette::Shadow, tvLine());
#if QT_VERSION >= QT_VERSION_CHECK(6, 6, 0)
    set(QPalette::Accent, tvBlue());
#endif
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        palette.setColor(QPalette::Disabled, role, tvMuted());
    return palette;
}

void installLightTheme()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    // Native controls (check boxes, scroll bars, text fields) follow the application's scheme, not the system's.
    QGuiApplication::styleHints()->setColorScheme(Qt::ColorScheme::Light);
#endif
    const QPalette palette = light();
    QApplication::setPalette(palette);
    for (const char *type : {"QLabel", "QAbstractButton", "QCheckBox", "QToolButton", "QMenu", "QMessageBoxLabel",
                             "QTextEdit", "QTextLineEdit", "QLineEdit", "QPlainTextEdit", "QAbstractItemView"})
        QApplication::setPalette(palette, type);
    QToolTip::setPalette(palette);
}

} // namespace Palette
