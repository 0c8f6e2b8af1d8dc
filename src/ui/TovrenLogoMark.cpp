#include "TovrenLogoMark.h"

#include "Palette.h"
#include "Typography.h"

#include <QFile>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>

const std::optional<QImage> &TovrenLogoImage::shared()
{
    static const std::optional<QImage> image =
        load({QStringLiteral(":/tovren-logo"), QStringLiteral(":/tovren-ui/tovren-logo")});
    return image;
}

std::optional<QImage> TovrenLogoImage::load(const QStringList &paths, int pixels)
{
    for (const QString &path : paths) {
        if (!QFile::exists(path))
            continue;
        QImage raster(path);
        if (!raster.isNull())
            return raster;
        QSvgRenderer vector(path);
        if (!vector.isValid())
            continue;
        QImage rendered(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
        rendered.fill(Qt::transparent);
        QPainter painter(&rendered);
        vector.render(&painter);
        return rendered;
    }
    return std::nullopt;
}

TovrenLogoMark::TovrenLogoMark(int size, QWidget *parent) : TovrenLogoMark(size, TovrenLogoImage::shared(), parent)
{
}

TovrenLogoMark::TovrenLogoMark(int size, std::optional<QImage> image, QWidget *parent)
    : QWidget(parent), m_size(size), m_image(std::move(image))
{
    setFixedSize(size, size);
}

qreal TovrenLogoMark::cornerRadius(qreal size)
{
    return std::max<qreal>(8, size * 0.16);
}

int TovrenLogoMark::fallbackFontSize() const
{
    return qRound(m_size * 0.42);
}

void TovrenLogoMark::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::SmoothPixmapTransform);
    const QRectF square(0, 0, m_size, m_size);
    QPainterPath clip;
    clip.addRoundedRect(square, cornerRadius(m_size), cornerRadius(m_size));
    painter.setClipPath(clip);
    if (m_image) {
        QSizeF fitted = m_image->size();
        fitted.scale(square.size(), Qt::KeepAspectRatio);
        const QRectF target(square.center() - QPointF(fitted.width() / 2, fitted.height() / 2), fitted);
        painter.drawImage(target, *m_image);
        return;
    }
    painter.fillRect(square, Qt::white);
    painter.setPen(Palette::tvBlack());
    painter.setFont(Typography::font(fallbackFontSize(), QFont::Black));
    painter.drawText(square, Qt::AlignCenter, QStringLiteral("TV"));
}
