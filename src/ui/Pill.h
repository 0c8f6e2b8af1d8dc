#pragma once

#include <QColor>
#include <QWidget>

// A capsule label: 12-point heavy text in `tint` on a `background` capsule, at least 30 points high.
class Pill final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Pill)

public:
    Pill(const QString &text, const QColor &tint, const QColor &background, QWidget *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);
    void setColors(const QColor &tint, const QColor &background);
    QColor tint() const { return m_tint; }
    QColor background() const { return m_background; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_text;
    QColor m_tint;
    QColor m_background;
};
