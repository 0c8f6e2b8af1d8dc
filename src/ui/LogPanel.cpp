#include "LogPanel.h"

#include "PageParts.h"
#include "Palette.h"
#include "StyledButton.h"
#include "Typography.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>

namespace {

QWidget *makeLogRow(const LogEntry &entry, QWidget *parent)
{
    auto *row = new QWidget(parent);
    auto *time = makeLabel(entry.time, 11, QFont::ExtraBold, Palette::tvMuted(), row);
    time->setObjectName(QStringLiteral("time"));
    auto *message = makeLabel(entry.message, 12, QFont::Normal, Palette::tvInk(), row);
    message->setObjectName(QStringLiteral("message"));
    message->setWordWrap(true);
    message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(10);
    layout->addWidget(time, 0, Qt::AlignTop);
    layout->addWidget(message, 1);
    return row;
}

} // namespace

LogPanel::LogPanel(StateActions &actions, QWidget *parent) : Panel(parent, 16), m_actions(actions)
{
    QVBoxLayout *titles = makePanelHeading(QStringLiteral("连接日志"), QStringLiteral("最近事件"), this);
    m_toggle = new StyledButton(QString(), ButtonStyle::secondary, this);
    connect(m_toggle, &StyledButton::clicked, this,
            [this] { m_actions.state().setLogsExpanded(!m_actions.state().logsExpanded()); });
    auto *header = new QHBoxLayout;
    header->addLayout(titles, 1);
    header->addWidget(m_toggle, 0, Qt::AlignVCenter);

    auto *list = new QWidget;
    m_rows = new QVBoxLayout(list);
    m_rows->setContentsMargins(0, 0, 4, 0);
    m_rows->setSpacing(8);
    m_rows->addStretch();
    m_scroll = new QScrollArea(this);
    m_scroll->setWidget(list);
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setMinimumHeight(leastListHeight);
    m_scroll->setMaximumHeight(listHeight);
    m_scroll->setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget > QWidget { background: white; }"));

    auto *layout = makeColumn();
    layout->setSpacing(12);
    layout->addLayout(header);
    layout->addWidget(m_scroll);

    refresh();
    m_actions.state().watch({&AppState::logChanged, &AppState::viewChanged}, this, &LogPanel::refresh);
}

QStringList LogPanel::shownMessages() const
{
    QStringList messages;
    for (const LogEntry &entry : m_shown)
        messages.append(entry.message);
    return messages;
}

void LogPanel::refresh()
{
    const AppState &state = m_actions.state();
    m_toggle->setText(state.logsExpanded() ? QStringLiteral("收起") : QStringLiteral("日志"));
    const QList<LogEntry> visible = state.visibleLogs();
    if (visible == m_shown)
        return;
    m_shown = visible;
    while (m_rows->count() > 1) {
        QLayoutItem *item = m_rows->takeAt(0);
        delete item->widget();
        delete item;
    }
    for (int i = 0; i < visible.size(); ++i)
        m_rows->insertWidget(i, makeLogRow(visible[i], m_scroll->widget()));
}
