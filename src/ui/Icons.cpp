#include "Icons.h"

#include <QPainter>
#include <QPainterPath>

namespace Icons {

namespace {

// Every icon is drawn on a 24 × 24 grid and scaled into its box.
void drawHome(QPainter &p, const QColor &c)
{
    QPainterPath roof;
    roof.moveTo(3, 11.5);
    roof.lineTo(12, 3.5);
    roof.lineTo(21, 11.5);
    p.setPen(QPen(c, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(roof);
    QPainterPath body;
    body.moveTo(5.5, 10);
    body.lineTo(5.5, 20);
    body.lineTo(18.5, 20);
    body.lineTo(18.5, 10);
    p.drawPath(body);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawRoundedRect(QRectF(10, 13.5, 4, 6.5), 1, 1);
}

void drawCart(QPainter &p, const QColor &c)
{
    QPainterPath basket;
    basket.moveTo(2.5, 4);
    basket.lineTo(5.5, 4);
    basket.lineTo(8, 15.5);
    basket.lineTo(18.5, 15.5);
    basket.lineTo(20.8, 7.5);
    basket.lineTo(6.3, 7.5);
    p.setPen(QPen(c, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    p.drawPath(basket);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QPointF(9.5, 19.5), 1.8, 1.8);
    p.drawEllipse(QPointF(17, 19.5), 1.8, 1.8);
}

void drawGift(QPainter &p, const QColor &c)
{
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawRoundedRect(QRectF(3, 8, 18, 4.5), 1.2, 1.2);
    p.drawRoundedRect(QRectF(4.5, 13.5, 15, 7.5), 1.2, 1.2);
    // The ribbon is cut out of the box so it reads at small sizes.
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.drawRect(QRectF(11, 8, 2, 13));
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
    p.setPen(QPen(c, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    QPainterPath bow;
    bow.moveTo(12, 7.5);
    bow.cubicTo(9, 2, 5, 4.5, 8, 7.5);
    bow.moveTo(12, 7.5);
    bow.cubicTo(15, 2, 19, 4.5, 16, 7.5);
    p.drawPath(bow);
}

void drawPerson(QPainter &p, const QColor &c)
{
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QPointF(12, 7.5), 4.3, 4.3);
    QPainterPath shoulders;
    shoulders.moveTo(3.5, 21);
    shoulders.cubicTo(3.5, 15.5, 7.5, 13.5, 12, 13.5);
    shoulders.cubicTo(16.5, 13.5, 20.5, 15.5, 20.5, 21);
    shoulders.closeSubpath();
    p.drawPath(shoulders);
}

void drawBolt(QPainter &p, const QColor &c)
{
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QPointF(12, 12), 10, 10);
    QPainterPath bolt;
    bolt.moveTo(13.2, 4.8);
    bolt.lineTo(7, 13);
    bolt.lineTo(11.3, 13);
    bolt.lineTo(10.6, 19.2);
    bolt.lineTo(17, 10.8);
    bolt.lineTo(12.6, 10.8);
    bolt.closeSubpath();
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.drawPath(bolt);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void drawInfo(QPainter &p, const QColor &c)
{
    p.setPen(QPen(c, 1.8));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(12, 12), 9, 9);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QPointF(12, 7.8), 1.4, 1.4);
    p.drawRoundedRect(QRectF(10.9, 10.5, 2.2, 7.5), 1, 1);
}

void drawClose(QPainter &p, const QColor &c)
{
    p.setPen(QPen(c, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(6, 6), QPointF(18, 18));
    p.drawLine(QPointF(18, 6), QPointF(6, 18));
}

} // namespace

void paint(QPainter &painter, Icon icon, const QRectF &box, const QColor &color)
{
    // Cut-outs (gift ribbon, bolt) clear pixels, so draw on a layer of our own and copy it over.
    const qreal dpr = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    QImage layer((box.size() * dpr).toSize(), QImage::Format_ARGB32_Premultiplied);
    layer.setDevicePixelRatio(dpr);
    layer.fill(Qt::transparent);
    {
        QPainter p(&layer);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(box.width() / 24.0, box.height() / 24.0);
        switch (icon) {
        case Icon::home: drawHome(p, color); break;
        case Icon::cart: drawCart(p, color); break;
        case Icon::gift: drawGift(p, color); break;
        case Icon::person: drawPerson(p, color); break;
        case Icon::bolt: drawBolt(p, color); break;
        case Icon::info: drawInfo(p, color); break;
        case Icon::close: drawClose(p, color); break;
        }
    }
    painter.drawImage(box.topLeft(), layer);
}

QPixmap pixmap(Icon icon, int size, const QColor &color, qreal devicePixelRatio)
{
    QPixmap result(QSize(size, size) * devicePixelRatio);
    result.setDevicePixelRatio(devicePixelRatio);
    result.fill(Qt::transparent);
    QPainter painter(&result);
    paint(painter, icon, QRectF(0, 0, size, size), color);
    return result;
}

QIcon icon(Icon which, const QColor &color)
{
    QIcon result;
    for (int size : {16, 22, 24, 32, 48, 64})
        result.addPixmap(pixmap(which, size, color, 1.0));
    return result;
}

} // namespace Icons
