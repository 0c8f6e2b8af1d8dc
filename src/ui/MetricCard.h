#pragma once

#include <QWidget>

class QLabel;

// A one-line text that shrinks to fit its width, down to `minimumScale` of its font, and is cut with an
// ellipsis only when it still does not fit at that scale.
class FittingLabel final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FittingLabel)

public:
    FittingLabel(const QFont &font, const QColor &color, qreal minimumScale, QWidget *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);

    // What the label draws at its current width: the scale of the font and the (possibly cut) text.
    qreal fittedScale() const;
    QString displayedText() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QString m_text;
    QColor m_color;
    qreal m_minimumScale;
};

// A metric tile: a 12-point heavy muted title over a 22-point heavy value that shrinks to 72 % before it is
// cut, on a soft rounded card that fills the space it is given.
class MetricCard final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MetricCard)

public:
    static constexpr qreal valueMinimumScale = 0.72;

    MetricCard(const QString &title, const QString &value, QWidget *parent = nullptr);

    QString title() const;
    QString value() const;
    void setValue(const QString &value);
    FittingLabel *valueLabel() const { return m_value; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    QLabel *m_title;
    FittingLabel *m_value;
};
