#include "StyledButton.h"

#include "Palette.h"
#include "Typography.h"

#include <QKeyEvent>
#include <QPainter>

namespace {

int horizontalPadding(ButtonStyle style)
{
    switch (style) {
    case ButtonStyle::secondary: return 12;
    case ButtonStyle::primaryCapsule: return 16;
    case ButtonStyle::plain: return 4;
    }
    return 12;
}

} // namespace

StyledButton::StyledButton(const QString &title, ButtonStyle style, QWidget *parent)
    : QPushButton(title, parent), m_style(style)
{
    setFont(Typography::heavy(12));
    setCursor(Qt::PointingHandCursor);
    setFlat(true);
}

void StyledButton::setButtonStyle(ButtonStyle style)
{
    if (style == m_style)
        return;
    m_style = style;
    updateGeometry();
    update();
}

qreal StyledButton::currentOpacity() const
{
    if (!isEnabled())
        return 0.45;
    if (isDown())
        return m_style == ButtonStyle::primaryCapsule ? 0.75 : 0.7;
    return 1.0;
}

QSize StyledButton::sizeHint() const
{
    const QFontMetrics metrics(font());
    const int textWidth = metrics.horizontalAdvance(text()) + 2 * horizontalPadding(m_style);
    switch (m_style) {
    case ButtonStyle::secondary: return {std::max(58, textWidth), std::max(36, metrics.height() + 12)};
    case ButtonStyle::primaryCapsule: return {textWidth, std::max(36, metrics.height() + 12)};
    case ButtonStyle::plain: return {textWidth, metrics.height() + 8};
    }
    return {textWidth, 36};
}

void StyledButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setOpacity(currentOpacity());
    const QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const qreal radius = shape.height() / 2;
    QColor textColor = Palette::tvInk();
    switch (m_style) {
    case ButtonStyle::secondary:
        painter.setPen(QPen(Palette::tvLine(), 1));
        painter.setBrush(Qt::white);
        painter.drawRoundedRect(shape, radius, radius);
        break;
    case ButtonStyle::primaryCapsule:
        painter.setPen(Qt::NoPen);
        painter.setBrush(Palette::tvBlack());
        painter.drawRoundedRect(shape, radius, radius);
        textColor = Qt::white;
        break;
    case ButtonStyle::plain: textColor = Palette::tvBlue(); break;
    }
    if (hasFocus() && m_style != ButtonStyle::plain) {
        painter.setPen(QPen(Palette::tvBlue(), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(shape.adjusted(1, 1, -1, -1), radius - 1, radius - 1);
    }
    painter.setPen(textColor);
    painter.setFont(font());
    painter.drawText(rect().adjusted(horizontalPadding(m_style), 0, -horizontalPadding(m_style), 0), Qt::AlignCenter,
                     text());
}

void StyledButton::keyPressEvent(QKeyEvent *event)
{
    // Outside a dialog a push button ignores Return; here every button answers it, as the drawn ones do.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !event->isAutoRepeat()) {
        click();
        return;
    }
    QPushButton::keyPressEvent(event);
}
