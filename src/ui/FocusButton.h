#pragma once

#include <QAbstractButton>

class QPainter;

// A drawn button that works from the keyboard as a native one does: Tab reaches it, a ring shows while it has
// keyboard focus, and Space or Return presses it.
class FocusButton : public QAbstractButton
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FocusButton)

public:
    explicit FocusButton(QWidget *parent = nullptr);

    // Focus that came with a click shows no ring, like the platform's own buttons.
    bool showsFocusRing() const { return hasFocus() && m_keyboardFocus; }

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    // Outlines `shape` (a rounded rectangle of `radius`) while the ring shows.
    void paintFocusRing(QPainter &painter, const QRectF &shape, qreal radius) const;

private:
    bool m_keyboardFocus = false;
};
