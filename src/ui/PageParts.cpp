#include "PageParts.h"

#include "Palette.h"
#include "Pill.h"
#include "StyledButton.h"
#include "Typography.h"
#include "ViewTexts.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

QLabel *makeLabel(const QString &text, int size, QFont::Weight weight, const QColor &color, QWidget *parent)
{
    auto *label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setText(text);
    label->setFont(Typography::font(size, weight));
    label->setStyleSheet(QStringLiteral("color: %1;").arg(Palette::css(color)));
    return label;
}

ElidedLabel::ElidedLabel(QWidget *parent) : QLabel(parent)
{
    setTextFormat(Qt::PlainText);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void ElidedLabel::setFullText(const QString &text)
{
    if (text == m_fullText)
        return;
    m_fullText = text;
    elide();
}

QSize ElidedLabel::minimumSizeHint() const
{
    return {0, QLabel::minimumSizeHint().height()};
}

void ElidedLabel::resizeEvent(QResizeEvent *event)
{
    QLabel::resizeEvent(event);
    elide();
}

void ElidedLabel::elide()
{
    const QString shown = fontMetrics().elidedText(m_fullText, Qt::ElideRight, contentsRect().width());
    setText(shown);
    setToolTip(shown == m_fullText ? QString() : ViewTexts::plainToolTip(m_fullText));
}

QVBoxLayout *makePanelHeading(const QString &title, const QString &caption, QWidget *parent)
{
    auto *heading = new QVBoxLayout;
    heading->setSpacing(2);
    heading->addWidget(makeLabel(title, 16, QFont::ExtraBold, Palette::tvInk(), parent));
    heading->addWidget(makeLabel(caption, 12, QFont::Normal, Palette::tvMuted(), parent));
    return heading;
}

PageHeader::PageHeader(const QString &eyebrow, const QString &title, const QString &pill, QWidget *parent)
    : QWidget(parent)
{
    m_eyebrow = makeLabel(eyebrow, 12, QFont::ExtraBold, Palette::tvMuted(), this);
    m_title = makeLabel(title, 36, QFont::ExtraBold, Palette::tvInk(), this);
    m_title->setWordWrap(true);
    m_pill = new Pill(pill, Palette::tvBlue(), Palette::tvBlueSoft(), this);
    auto *titles = new QVBoxLayout;
    titles->setSpacing(4);
    titles->addWidget(m_eyebrow);
    titles->addWidget(m_title);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(titles, 1);
    layout->addWidget(m_pill, 0, Qt::AlignBottom);
}

QString PageHeader::eyebrow() const
{
    return m_eyebrow->text();
}

QString PageHeader::title() const
{
    return m_title->text();
}

ToggleSwitch::ToggleSwitch(QWidget *parent) : FocusButton(parent)
{
    setCheckable(true);
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void ToggleSwitch::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (!isEnabled())
        painter.setOpacity(0.45);
    const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
    painter.setPen(Qt::NoPen);
    painter.setBrush(isChecked() ? Palette::tvGreen() : Palette::tvLine());
    painter.drawRoundedRect(track, track.height() / 2, track.height() / 2);
    const qreal knob = track.height() - 4;
    const qreal x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
    painter.setBrush(Qt::white);
    painter.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
    paintFocusRing(painter, QRectF(rect()), height() / 2.0);
}

namespace {

QVBoxLayout *titleValue(QLabel *title, QLabel *value)
{
    auto *column = new QVBoxLayout;
    column->setSpacing(3);
    column->addWidget(title);
    column->addWidget(value);
    return column;
}

} // namespace

SettingsRow::SettingsRow(const QString &title, const QString &value, const QString &actionTitle,
                         std::function<void()> action, QWidget *parent)
    : QWidget(parent)
{
    m_title = makeLabel(title, 14, QFont::ExtraBold, Palette::tvInk(), this);
    m_value = makeLabel(value, 12, QFont::Normal, Palette::tvMuted(), this);
    m_value->setWordWrap(true);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 8, 0, 8);
    layout->addLayout(titleValue(m_title, m_value), 1);
    if (!actionTitle.isEmpty() && action) {
        m_button = new StyledButton(actionTitle, ButtonStyle::secondary, this);
        connect(m_button, &StyledButton::clicked, this, std::move(action));
        layout->addWidget(m_button, 0, Qt::AlignVCenter);
    }
}

QString SettingsRow::title() const
{
    return m_title->text();
}

QString SettingsRow::value() const
{
    return m_value->text();
}

void SettingsRow::setValue(const QString &value)
{
    m_value->setText(value);
}

SettingsToggleRow::SettingsToggleRow(const QString &title, const QString &value, std::function<void(bool)> changed,
                                     QWidget *parent)
    : QWidget(parent)
{
    m_title = makeLabel(title, 14, QFont::ExtraBold, Palette::tvInk(), this);
    auto *valueLabel = makeLabel(value, 12, QFont::Normal, Palette::tvMuted(), this);
    m_switch = new ToggleSwitch(this);
    m_switch->setAccessibleName(title);
    // clicked() comes from the user only; the state's own changes arrive through setOn().
    connect(m_switch, &ToggleSwitch::clicked, this, [changed = std::move(changed)](bool on) { changed(on); });
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 8, 0, 8);
    layout->addLayout(titleValue(m_title, valueLabel), 1);
    layout->addWidget(m_switch, 0, Qt::AlignVCenter);
}

QString SettingsToggleRow::title() const
{
    return m_title->text();
}

void SettingsToggleRow::setOn(bool on)
{
    m_switch->setChecked(on);
}

QWidget *makeRuleRow(const QString &number, const QString &text, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *badge = makeLabel(number, 13, QFont::ExtraBold, Qt::white, row);
    badge->setAlignment(Qt::AlignCenter);
    badge->setFixedSize(26, 26);
    badge->setStyleSheet(
        QStringLiteral("color: white; background: %1; border-radius: 13px;").arg(Palette::css(Palette::tvBlack())));
    auto *label = makeLabel(text, 14, QFont::Normal, Palette::tvInk(), row);
    label->setWordWrap(true);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 4, 0, 4);
    layout->setSpacing(12);
    layout->addWidget(badge, 0, Qt::AlignTop);
    layout->addWidget(label, 1);
    return row;
}
