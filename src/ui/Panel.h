#pragma once

#include <QFrame>

class QHBoxLayout;
class QVBoxLayout;

// The look of every panel: a white rounded rectangle (radius 8) with a 1-point tvLine border and a faint
// shadow. Content is laid out inside with `padding` on every side, which keeps it clear of the corners.
class Panel : public QFrame
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Panel)

public:
    static constexpr int cornerRadius = 8;

    explicit Panel(QWidget *parent = nullptr, int padding = 18);

    int padding() const { return m_padding; }
    // The panel's layout, inset by its padding.
    QVBoxLayout *makeColumn();
    QHBoxLayout *makeRow();

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    int m_padding;
};
