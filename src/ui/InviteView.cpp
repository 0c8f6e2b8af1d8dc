#include "AccountPages.h"
#include "MetricCard.h"
#include "PageParts.h"
#include "Palette.h"
#include "StyledButton.h"
#include "Tasks.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QGridLayout>
#include <QLabel>

InviteView::InviteView(StateActions &actions, QWidget *parent) : QWidget(parent), m_actions(actions)
{
    m_header = new PageHeader(QStringLiteral("邀请奖励"), QStringLiteral("把稳定连接分享给朋友"),
                              QStringLiteral("奖励自动到账"), this);

    auto *codePanel = new Panel(this, 20);
    auto *caption = makeLabel(QStringLiteral("我的邀请码"), 13, QFont::ExtraBold, Palette::tvMuted(), codePanel);
    m_code = makeLabel(QString(), 34, QFont::ExtraBold, Palette::tvInk(), codePanel);
    m_code->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_copy = new StyledButton(QStringLiteral("复制链接"), ButtonStyle::secondary, codePanel);
    connect(m_copy, &StyledButton::clicked, this, [this] {
        startBusyTask(
            m_copy, QStringLiteral("复制中..."),
            [this]() -> QCoro::Task<> {
                m_actions.copyInviteLink();
                co_return;
            },
            "copyInviteLink");
    });
    m_refresh = new StyledButton(QStringLiteral("刷新"), ButtonStyle::secondary, codePanel);
    connect(m_refresh, &StyledButton::clicked, this, [this] {
        startBusyTask(
            m_refresh, QStringLiteral("刷新中..."), [this] { return m_actions.refreshPrivateData(); },
            "refreshPrivateData");
    });
    auto *codeTexts = new QVBoxLayout;
    codeTexts->setSpacing(4);
    codeTexts->addWidget(caption);
    codeTexts->addWidget(m_code);
    auto *codeLayout = codePanel->makeRow();
    codeLayout->setSpacing(10);
    codeLayout->addLayout(codeTexts, 1);
    codeLayout->addWidget(m_copy, 0, Qt::AlignVCenter);
    codeLayout->addWidget(m_refresh, 0, Qt::AlignVCenter);

    auto *grid = new QGridLayout;
    grid->setSpacing(10);
    const QStringList titles{QStringLiteral("已邀请"), QStringLiteral("已奖励"), QStringLiteral("待确认"),
                             QStringLiteral("试用奖励")};
    for (int i = 0; i < titles.size(); ++i) {
        auto *tile = new MetricCard(titles[i], QString(), this);
        tile->setFixedHeight(86);
        grid->addWidget(tile, 0, i);
        grid->setColumnStretch(i, 1);
        m_tiles.append(tile);
    }
    m_tiles[3]->setValue(QStringLiteral("1GB"));

    auto *rules = new Panel(this, 20);
    auto *rulesLayout = rules->makeColumn();
    rulesLayout->setSpacing(8);
    rulesLayout->addWidget(makeLabel(QStringLiteral("奖励规则"), 16, QFont::ExtraBold, Palette::tvInk(), rules));
    rulesLayout->addWidget(
        makeRuleRow(QStringLiteral("1"), QStringLiteral("朋友注册后，你和朋友分别获得 1GB 流量。"), rules));
    rulesLayout->addWidget(
        makeRuleRow(QStringLiteral("2"),
                    QStringLiteral("朋友开通月费、季度、年费套餐，分别奖励你 7、10、20 天套餐使用时长。"), rules));
    rulesLayout->addWidget(
        makeRuleRow(QStringLiteral("3"), QStringLiteral("邀请奖励自动到账，记录可在通知中心追踪。"), rules));

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(18);
    layout->addWidget(m_header);
    layout->addWidget(codePanel);
    layout->addLayout(grid);
    layout->addWidget(rules);
    layout->addStretch();

    refresh();
    m_actions.state().watch({&AppState::accountChanged}, this, &InviteView::refresh);
}

void InviteView::refresh()
{
    m_code->setText(m_actions.state().inviteCode());
    m_tiles[0]->setValue(m_actions.state().invitesTotalText());
    m_tiles[1]->setValue(m_actions.state().rewardDaysText());
    m_tiles[2]->setValue(m_actions.state().pendingInvitesText());
}
