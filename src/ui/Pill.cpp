#include "Pill.h"

#include "Typography.h"

#include <QFontMetrics>
#include <QPainter>

namespace {
constexpr int pillPadding = 12;
constexpr int pillMinimumHeight = 30;
} // namespace

Pill::Pill(const QString &text, const QColor &tint, const QColor &background, QWidget *parent)
    : QWidget(parent), m_text(text), m_tint(tint), m_background(background)
{
    setFont(Typography::heavy(12));
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Pill::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    updateGeometry();
    update();
}

void Pill::setColors(const QColor &tint, const QColor &background)
{
    m_tint = tint;
    m_background = background;
    update();
}

QSize Pill::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(m_text) + 2 * pillPadding, std::max(pillMinimumHeight, metrics.height() + 8)};
}

void Pill::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF shape = rect();
    const qreal radius = shape.height() / 2;
    painter.setPen(Qt::NoPen);
    painter.setBrush(m_background);
    painter.drawRoundedRect(shape, radius, radius);
    painter.setPen(m_tint);
    painter.setFont(font());
    painter.drawText(shape, Qt::AlignCenter, m_text);
}
