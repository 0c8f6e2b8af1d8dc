#include "MetricCard.h"

#include "PageParts.h"
#include "Palette.h"
#include "Typography.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

FittingLabel::FittingLabel(const QFont &font, const QColor &color, qreal minimumScale, QWidget *parent)
    : QWidget(parent), m_color(color), m_minimumScale(minimumScale)
{
    setFont(font);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void FittingLabel::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    updateGeometry();
    update();
}

qreal FittingLabel::fittedScale() const
{
    const qreal natural = QFontMetricsF(font()).horizontalAdvance(m_text);
    if (natural <= width() || natural <= 0)
        return 1.0;
    return std::max(m_minimumScale, width() / natural);
}

QString FittingLabel::displayedText() const
{
    const qreal scale = fittedScale();
    const QFontMetricsF metrics(font());
    // Measured in the unscaled font: the painter scales the whole line.
    return metrics.elidedText(m_text, Qt::ElideRight, width() / scale);
}

QSize FittingLabel::sizeHint() const
{
    const QFontMetrics metrics(font());
    return {metrics.horizontalAdvance(m_text), metrics.height()};
}

QSize FittingLabel::minimumSizeHint() const
{
    return {0, QFontMetrics(font()).height()};
}

void FittingLabel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const qreal scale = fittedScale();
    painter.setPen(m_color);
    painter.setFont(font());
    // Shrink around the vertical centre of the line so a smaller value stays centred in the row.
    painter.translate(0, height() / 2.0);
    painter.scale(scale, scale);
    const QFontMetricsF metrics(font());
    painter.drawText(QPointF(0, (metrics.ascent() - metrics.descent()) / 2), displayedText());
}

MetricCard::MetricCard(const QString &title, const QString &value, QWidget *parent) : QWidget(parent)
{
    m_title = makeLabel(title, 12, QFont::ExtraBold, Palette::tvMuted(), this);
    m_value = new FittingLabel(Typography::heavy(22), Palette::tvInk(), valueMinimumScale, this);
    m_value->setText(value);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 12);
    layout->setSpacing(6);
    layout->addWidget(m_title);
    layout->addWidget(m_value);
    layout->addStretch();
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

QString MetricCard::title() const
{
    return m_title->text();
}

QString MetricCard::value() const
{
    return m_value->text();
}

void MetricCard::setValue(const QString &value)
{
    m_value->setText(value);
}

void MetricCard::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Palette::tvLineSoft(), 1));
    painter.setBrush(Palette::tvSoft2());
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
}
