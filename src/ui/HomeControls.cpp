#include "HomeControls.h"

#include "Palette.h"
#include "Typography.h"

#include <QHBoxLayout>
#include <QPainter>
#include <QPushButton>

ConnectButton::ConnectButton(QWidget *parent) : FocusButton(parent)
{
    setFixedSize(diameter, diameter);
    setFont(Typography::font(24, QFont::Black));
    setCursor(Qt::PointingHandCursor);
}

void ConnectButton::setConnected(bool connected)
{
    if (connected == m_connected)
        return;
    m_connected = connected;
    update();
}

QColor ConnectButton::fillColor() const
{
    return m_connected ? Palette::tvGreen() : Palette::tvBlack();
}

bool ConnectButton::hitButton(const QPoint &pos) const
{
    const QPointF centre = QRectF(rect()).center();
    const QPointF offset = QPointF(pos) - centre;
    return offset.x() * offset.x() + offset.y() * offset.y() <= (diameter / 2.0) * (diameter / 2.0);
}

void ConnectButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled())
        painter.setOpacity(0.5);
    else if (isDown())
        painter.setOpacity(0.85);
    const QRectF circle = QRectF(rect()).adjusted(1, 1, -1, -1);
    // A soft ring of the fill colour around the disc.
    QColor ring = fillColor();
    ring.setAlphaF(0.12f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(ring);
    painter.drawEllipse(circle);
    painter.setBrush(fillColor());
    painter.drawEllipse(circle.adjusted(10, 10, -10, -10));
    painter.setPen(Qt::white);
    painter.setFont(font());
    painter.drawText(circle, Qt::AlignCenter, text());
    paintFocusRing(painter, circle, circle.width() / 2);
}

SegmentedMode::SegmentedMode(QWidget *parent) : QWidget(parent)
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(4);
    for (OutboundMode mode : allOutboundModes()) {
        auto *segment = new QPushButton(title(mode), this);
        segment->setFont(Typography::heavy(12));
        segment->setCursor(Qt::PointingHandCursor);
        segment->setCheckable(true);
        segment->setMinimumHeight(32);
        segment->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        connect(segment, &QPushButton::clicked, this, [this, segment, mode] {
            segment->setChecked(mode == m_current); // the state decides; the segment follows it
            Q_EMIT chosen(mode);
        });
        layout->addWidget(segment);
        m_segments.append(segment);
    }
    setCurrent(OutboundMode::smart);
}

void SegmentedMode::setCurrent(OutboundMode mode)
{
    m_current = mode;
    const QList<OutboundMode> &modes = allOutboundModes();
    for (int i = 0; i < modes.size(); ++i) {
        const bool on = modes[i] == mode;
        m_segments[i]->setChecked(on);
        m_segments[i]->setStyleSheet(
            QStringLiteral(
                "QPushButton { border: %1; border-radius: 8px; background: %2; color: %3; padding: 0 12px; }")
                .arg(on ? QStringLiteral("1px solid ") + Palette::css(Palette::tvLine()) : QStringLiteral("none"),
                     on ? QStringLiteral("white") : QStringLiteral("transparent"),
                     Palette::css(on ? Palette::tvInk() : Palette::tvMuted())));
    }
}

QPushButton *SegmentedMode::segment(OutboundMode mode) const
{
    return m_segments.value(allOutboundModes().indexOf(mode));
}

void SegmentedMode::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Palette::tvSoft());
    painter.drawRoundedRect(QRectF(rect()), 10, 10);
}
