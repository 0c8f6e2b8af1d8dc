#include "Typography.h"

#include <QFontDatabase>
#include <QGuiApplication>

namespace Typography {

QFont font(int size, QFont::Weight weight)
{
    QFont result = QGuiApplication::font();
    result.setPixelSize(size);
    result.setWeight(weight);
    return result;
}

void installApplicationFont()
{
#if !defined(Q_OS_MACOS)
    // macOS resolves Chinese through its system font cascade; elsewhere choose a family that has the glyphs.
    const QStringList families = QFontDatabase::families();
    for (const QString &candidate : {QStringLiteral("Noto Sans CJK SC"), QStringLiteral("Noto Sans SC"),
                                     QStringLiteral("WenQuanYi Micro Hei"), QStringLiteral("Source Han Sans SC")}) {
        if (families.contains(candidate)) {
            QFont base(candidate);
            base.setPixelSize(13);
            QGuiApplication::setFont(base);
            return;
        }
    }
#endif
    QFont base = QGuiApplication::font();
    base.setPixelSize(13);
    QGuiApplication::setFont(base);
}

} // namespace Typography
