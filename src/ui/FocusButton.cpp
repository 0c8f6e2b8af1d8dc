#include "FocusButton.h"

#include "Palette.h"

#include <QKeyEvent>
#include <QPainter>

FocusButton::FocusButton(QWidget *parent) : QAbstractButton(parent)
{
    // Strong focus: where the system lets Tab reach only text fields and lists unless told otherwise (macOS),
    // a control with tab focus alone would be skipped.
    setFocusPolicy(Qt::StrongFocus);
}

void FocusButton::keyPressEvent(QKeyEvent *event)
{
    // Space is the base class's; Return presses too, as it does for the window's other buttons.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && !event->isAutoRepeat()) {
        click();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void FocusButton::focusInEvent(QFocusEvent *event)
{
    // A window coming back to the front returns focus for whatever reason it had before.
    if (event->reason() == Qt::MouseFocusReason)
        m_keyboardFocus = false;
    else if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason)
        m_keyboardFocus = true;
    QAbstractButton::focusInEvent(event);
}

void FocusButton::paintFocusRing(QPainter &painter, const QRectF &shape, qreal radius) const
{
    if (!showsFocusRing())
        return;
    painter.save();
    painter.setOpacity(1.0);
    painter.setPen(QPen(Palette::tvBlue(), 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(shape.adjusted(1, 1, -1, -1), std::max<qreal>(0, radius - 1),
                            std::max<qreal>(0, radius - 1));
    painter.restore();
}
