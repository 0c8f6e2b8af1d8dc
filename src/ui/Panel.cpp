#include "Panel.h"

#include "Palette.h"

#include <QBoxLayout>
#include <QGraphicsDropShadowEffect>
#include <QPainter>

Panel::Panel(QWidget *parent, int padding) : QFrame(parent), m_padding(padding)
{
    setAttribute(Qt::WA_StyledBackground, false);
    auto *shadow = new QGraphicsDropShadowEffect(this);
    shadow->setColor(QColor(0, 0, 0, qRound(255 * 0.06)));
    shadow->setBlurRadius(10);
    shadow->setOffset(0, 2);
    setGraphicsEffect(shadow);
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
