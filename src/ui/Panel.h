#pragma once

#include <QFrame>

// The look of every panel: a white rounded rectangle (radius 8) with a 1-point tvLine border and a faint
// shadow. Content is laid out inside with `padding` on every side, which keeps it clear of the corners.
class Panel : public QFrame
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Panel)

public:
    static constexpr int cornerRadius = 8;

    explicit Panel(QWidget *parent = nullptr, int padding = 18);

protected:
    void paintEvent(QPaintEvent *event) override;
};
