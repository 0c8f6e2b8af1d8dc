#include "Panel.h"

#include "Palette.h"

#include <QBoxLayout>
#include <QGraphicsBlurEffect>
#include <QGraphicsEffect>
#include <QGraphicsPixmapItem>
#include <QGraphicsScene>
#include <QPaintDevice>
#include <QPainter>
#include <QtMath>

namespace {

constexpr qreal shadowBlur = 10;
constexpr QPointF shadowOffset{0, 2};

// The panel's faint drop shadow. Its shape depends only on the panel's size, so the blurred image is made once
// per size and the panel with its children is painted as usual, only where it changed. (A drop-shadow effect
// renders and blurs the whole panel again whenever any child changes, such as the connection time every second.)
class PanelShadow final : public QGraphicsEffect
{
public:
    explicit PanelShadow(QObject *parent) : QGraphicsEffect(parent) {}

    QRectF boundingRectFor(const QRectF &rect) const override
    {
        return rect.united(rect.translated(shadowOffset).adjusted(-shadowBlur, -shadowBlur, shadowBlur, shadowBlur));
    }

protected:
    void draw(QPainter *painter) override
    {
        const QRectF source = sourceBoundingRect(Qt::LogicalCoordinates);
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        if (m_image.isNull() || m_size != source.size() || m_ratio != ratio) {
            m_size = source.size();
            m_ratio = ratio;
            m_image = blurredShape(m_size, m_ratio);
        }
        painter->drawImage(source.topLeft() + shadowOffset - QPointF(margin(), margin()), m_image);
        drawSource(painter);
    }

private:
    static int margin() { return qCeil(shadowBlur); }

    // The panel's rounded shape in the shadow colour, blurred, with room for the blur around it.
    static QImage blurredShape(const QSizeF &size, qreal ratio)
    {
        const QSizeF canvas = size + QSizeF(2 * margin(), 2 * margin());
        QPixmap shape((canvas * ratio).toSize());
        shape.setDevicePixelRatio(ratio);
        shape.fill(Qt::transparent);
        {
            QPainter painter(&shape);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(Qt::NoPen);
            painter.setBrush(QColor(0, 0, 0, qRound(255 * 0.06)));
            painter.drawRoundedRect(QRectF(QPointF(margin(), margin()), size), Panel::cornerRadius,
                                    Panel::cornerRadius);
        }
        QGraphicsScene scene;
        QGraphicsPixmapItem *item = scene.addPixmap(shape);
        auto *blur = new QGraphicsBlurEffect; // owned by the item
        blur->setBlurRadius(shadowBlur);
        item->setGraphicsEffect(blur);

        QImage image((canvas * ratio).toSize(), QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(ratio);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        const QRectF area(QPointF(0, 0), canvas);
        scene.render(&painter, area, area);
        return image;
    }

    QImage m_image;
    QSizeF m_size;
    qreal m_ratio = 0;
};

} // namespace

Panel::Panel(QWidget *parent, int padding) : QFrame(parent), m_padding(padding)
{
    setAttribute(Qt::WA_StyledBackground, false);
    setGraphicsEffect(new PanelShadow(this));
}

void Panel::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF shape = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(Palette::tvLine(), 1));
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(shape, cornerRadius, cornerRadius);
}

QVBoxLayout *Panel::makeColumn()
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(m_padding, m_padding, m_padding, m_padding);
    return layout;
}

QHBoxLayout *Panel::makeRow()
{
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(m_padding, m_padding, m_padding, m_padding);
    return layout;
}
