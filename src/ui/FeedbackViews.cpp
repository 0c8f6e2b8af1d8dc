#include "FeedbackViews.h"

#include "PageParts.h"
#include "Palette.h"
#include "Pill.h"
#include "StyledButton.h"
#include "Tasks.h"
#include "Typography.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>

const QString FeedbackForm::initialTitle = QStringLiteral("macOS 连接失败");
const QString FeedbackForm::initialBody = QStringLiteral("连接时卡在正在启动隧道。");

namespace {

QString fieldStyle()
{
    return QStringLiteral("border: 1px solid %1; border-radius: 8px; padding: 6px 10px; background: white; color: %2;")
        .arg(Palette::css(Palette::tvLine()), Palette::css(Palette::tvInk()));
}

QVBoxLayout *headingPair(const QString &small, const QString &large, QWidget *parent)
{
    auto *pair = new QVBoxLayout;
    pair->setSpacing(2);
    pair->addWidget(makeLabel(small, 12, QFont::ExtraBold, Palette::tvMuted(), parent));
    pair->addWidget(makeLabel(large, 17, QFont::ExtraBold, Palette::tvInk(), parent));
    return pair;
}

// The full-width plain button of the feedback row; it hosts the row's texts and draws only its pressed shade and
// focus ring.
class RowButton final : public FocusButton
{
public:
    explicit RowButton(QWidget *parent) : FocusButton(parent)
    {
        setCursor(Qt::PointingHandCursor);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }
    QSize sizeHint() const override { return layout() ? layout()->sizeHint() : QSize(200, 52); }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        if (isDown())
            painter.fillRect(rect(), Palette::tvSoft());
        paintFocusRing(painter, QRectF(rect()), 8);
    }
};

} // namespace

FeedbackForm::FeedbackForm(StateActions &actions, QWidget *parent) : QWidget(parent), m_actions(actions)
{
    m_email = new QLineEdit(this);
    m_email->setPlaceholderText(QStringLiteral("联系邮箱"));
    m_email->setAccessibleName(QStringLiteral("联系邮箱"));
    m_title = new QLineEdit(initialTitle, this);
    m_title->setPlaceholderText(QStringLiteral("标题"));
    m_title->setAccessibleName(QStringLiteral("标题"));
    m_body = new QPlainTextEdit(initialBody, this);
    m_body->setMinimumHeight(100);
    for (QWidget *field : std::initializer_list<QWidget *>{m_email, m_title, m_body}) {
        field->setFont(Typography::font(13));
        field->setStyleSheet(fieldStyle());
    }
    m_submit = new StyledButton(QStringLiteral("提交反馈"), ButtonStyle::primaryCapsule, this);
    connect(m_submit, &StyledButton::clicked, this, [this] {
        startTask(m_actions.submitFeedback(m_title->text(), m_email->text(), m_body->toPlainText()), "submitFeedback");
    });

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addLayout(headingPair(QStringLiteral("反馈内容"), QStringLiteral("客户端问题"), this));
    layout->addWidget(m_email);
    layout->addWidget(m_title);
    layout->addWidget(m_body);
    layout->addWidget(m_submit, 0, Qt::AlignLeft);

    refresh();
    m_actions.state().watch({&AppState::viewChanged}, this, &FeedbackForm::refresh);
}

void FeedbackForm::refresh()
{
    m_submit->setEnabled(!m_actions.state().isBusy());
}

TicketList::TicketList(StateActions &actions, QWidget *parent) : QWidget(parent), m_actions(actions)
{
    m_empty = makeLabel(QStringLiteral("暂无工单记录"), 14, QFont::Normal, Palette::tvMuted(), this);
    m_empty->setAlignment(Qt::AlignCenter);
    m_empty->setFixedHeight(82);
    m_empty->setStyleSheet(m_empty->styleSheet() +
                           QStringLiteral("background: %1; border: 1px solid %2; border-radius: 8px;")
                               .arg(Palette::css(Palette::tvSoft2()), Palette::css(Palette::tvLineSoft())));
    m_rows = new QVBoxLayout;
    m_rows->setSpacing(6);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addLayout(headingPair(QStringLiteral("最近工单"), QStringLiteral("处理记录"), this));
    layout->addWidget(m_empty);
    layout->addLayout(m_rows);

    refresh();
    m_actions.state().watch({&AppState::accountChanged}, this, &TicketList::refresh);
}

QList<QPair<QString, QString>> TicketList::shownRows() const
{
    return m_shown;
}

bool TicketList::showsEmptyNote() const
{
    return !m_empty->isHidden();
}

void TicketList::refresh()
{
    QList<QPair<QString, QString>> rows;
    for (const Ticket &ticket : m_actions.state().tickets().mid(0, shownTickets))
        rows.append({ticket.status, ticket.title});
    m_empty->setHidden(!rows.isEmpty());
    if (rows == m_shown)
        return;
    m_shown = rows;
    qDeleteAll(m_rowWidgets);
    m_rowWidgets.clear();
    for (const auto &[status, title] : std::as_const(rows)) {
        auto *row = new QFrame(this);
        row->setObjectName(QStringLiteral("ticketRow"));
        row->setStyleSheet(QStringLiteral("#ticketRow { background: %1; border: 1px solid %2; border-radius: 8px; }")
                               .arg(Palette::css(Palette::tvSoft2()), Palette::css(Palette::tvLineSoft())));
        auto *line = new QHBoxLayout(row);
        line->setContentsMargins(12, 10, 12, 10);
        line->setSpacing(10);
        line->addWidget(makeLabel(status, 12, QFont::ExtraBold, Palette::tvBlue(), row));
        auto *titleLabel = makeLabel(title, 14, QFont::Normal, Palette::tvInk(), row);
        line->addWidget(titleLabel, 1);
        line->addWidget(new Pill(QStringLiteral("查看"), Palette::tvMuted(), Palette::tvSoft(), row));
        m_rows->addWidget(row);
        m_rowWidgets.append(row);
    }
}

FeedbackRow::FeedbackRow(StateActions &actions, QWidget *parent) : QWidget(parent), m_actions(actions)
{
    m_toggle = new RowButton(this);
    auto *texts = new QVBoxLayout;
    texts->setSpacing(3);
    texts->addWidget(makeLabel(QStringLiteral("日志反馈"), 14, QFont::ExtraBold, Palette::tvInk(), m_toggle));
    texts->addWidget(
        makeLabel(QStringLiteral("发送工单并附带最近连接日志"), 12, QFont::Normal, Palette::tvMuted(), m_toggle));
    m_capsule = new Pill(QString(), Palette::tvInk(), Palette::tvSoft(), m_toggle);
    auto *line = new QHBoxLayout(m_toggle);
    line->setContentsMargins(0, 8, 0, 8);
    line->addLayout(texts, 1);
    line->addWidget(m_capsule, 0, Qt::AlignVCenter);
    for (QWidget *child : m_toggle->findChildren<QWidget *>())
        child->setAttribute(Qt::WA_TransparentForMouseEvents);
    connect(m_toggle, &QAbstractButton::clicked, this,
            [this] { m_actions.state().setFeedbackExpanded(!m_actions.state().feedbackExpanded()); });

    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(14);
    m_layout->addWidget(m_toggle);

    refresh();
    m_actions.state().watch({&AppState::viewChanged}, this, &FeedbackRow::refresh);
}

void FeedbackRow::refresh()
{
    const bool expanded = m_actions.state().feedbackExpanded();
    m_capsule->setText(expanded ? QStringLiteral("收起") : QStringLiteral("展开"));
    if (expanded == (m_form != nullptr))
        return;
    if (expanded) {
        // A fresh form each time the row opens: collapsing and expanding again starts from the initial texts.
        m_form = new FeedbackForm(m_actions, this);
        m_tickets = new TicketList(m_actions, this);
        m_layout->addWidget(m_form);
        m_layout->addWidget(m_tickets);
    } else {
        delete m_form;
        delete m_tickets;
        m_form = nullptr;
        m_tickets = nullptr;
    }
}
