#include "ConnectionPanel.h"

#include "HomeControls.h"
#include "MetricCard.h"
#include "PageParts.h"
#include "Palette.h"
#include "Pill.h"
#include "StyledButton.h"
#include "Tasks.h"
#include "Typography.h"
#include "ViewTexts.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QGridLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

ConnectionPanel::ConnectionPanel(StateActions &actions, QWidget *parent) : Panel(parent, 22), m_actions(actions)
{
    auto *caption = makeLabel(QStringLiteral("连接状态"), 12, QFont::ExtraBold, Palette::tvMuted(), this);
    m_statusTitle = makeLabel(QString(), 28, QFont::ExtraBold, Palette::tvInk(), this);
    m_planPill = new Pill(QString(), Palette::tvBlue(), Palette::tvBlueSoft(), this);

    auto *titles = new QVBoxLayout;
    titles->setSpacing(4);
    titles->addWidget(caption);
    titles->addWidget(m_statusTitle);
    auto *header = new QHBoxLayout;
    header->addLayout(titles, 1);
    header->addWidget(m_planPill, 0, Qt::AlignTop);

    m_mode = new SegmentedMode(this);
    connect(m_mode, &SegmentedMode::chosen, this, [this](OutboundMode mode) { m_actions.setOutboundMode(mode); });

    m_connect = new ConnectButton(this);
    connect(m_connect, &ConnectButton::clicked, this,
            [this] { startTask(m_actions.toggleConnection(), "toggleConnection"); });

    m_note = makeLabel(QString(), 13, QFont::Normal, Palette::tvMuted(), this);
    m_note->setWordWrap(true);
    m_note->setAlignment(Qt::AlignCenter);

    m_component = new StyledButton(QString(), ButtonStyle::secondary, this);
    connect(m_component, &StyledButton::clicked, this,
            [this] { startTask(m_actions.installWireGuardTools(), "installWireGuardTools"); });

    const QString dash = QStringLiteral("--");
    m_endpointCard = new MetricCard(QStringLiteral("当前节点"), dash, this);
    m_latencyCard = new MetricCard(QStringLiteral("延迟"), dash, this);
    m_accessCard = new MetricCard(QStringLiteral("剩余流量 / 到期时间"), dash, this);
    m_durationCard = new MetricCard(QStringLiteral("连接时长"), dash, this);
    auto *grid = new QGridLayout;
    grid->setSpacing(10);
    grid->addWidget(m_endpointCard, 0, 0);
    grid->addWidget(m_latencyCard, 0, 1);
    grid->addWidget(m_accessCard, 1, 0);
    grid->addWidget(m_durationCard, 1, 1);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 1);

    auto *layout = makeColumn();
    layout->setSpacing(16);
    layout->addLayout(header);
    layout->addWidget(m_mode);
    layout->addStretch(1);
    layout->addWidget(m_connect, 0, Qt::AlignHCenter);
    layout->addWidget(m_note);
    layout->addWidget(m_component, 0, Qt::AlignHCenter);
    layout->addStretch(1);
    layout->addLayout(grid);

    m_durationTimer = new QTimer(this);
    m_durationTimer->setInterval(1000);
    connect(m_durationTimer, &QTimer::timeout, this, &ConnectionPanel::refreshDuration);

    refresh();
    m_actions.state().watch(
        {&AppState::connectionChanged, &AppState::accountChanged, &AppState::viewChanged, &AppState::settingsChanged},
        this, &ConnectionPanel::refresh);
}

void ConnectionPanel::refresh()
{
    const AppState &state = m_actions.state();
    m_statusTitle->setText(state.statusTitle());
    m_planPill->setText(m_actions.state().planPillText());
    m_mode->setCurrent(state.outboundMode());

    m_connect->setText(ViewTexts::connectButtonTitle(state.connectionState()));
    m_connect->setConnected(state.connectionState().is(ConnectionState::connected));
    m_connect->setEnabled(!state.isBusy());

    m_note->setText(state.connectionNote());

    const bool componentsMissing = state.connectionState().is(ConnectionState::configReady);
    m_component->setVisible(componentsMissing);
    m_component->setText(ViewTexts::componentButtonTitle(state.componentInstallState()));
    m_component->setEnabled(!state.componentInstallState().is(ComponentInstallState::installing));

    const Endpoint endpoint = state.selectedEndpoint();
    m_endpointCard->setValue(endpoint.region);
    m_latencyCard->setValue(QString::number(endpoint.latencyMs) + QStringLiteral(" ms"));
    m_accessCard->setValue(m_actions.state().accessSummary());
    refreshDuration();
}

void ConnectionPanel::refreshDuration()
{
    m_durationCard->setValue(ViewTexts::durationText(m_actions.state().connectedAt(), QDateTime::currentDateTime()));
}

void ConnectionPanel::showEvent(QShowEvent *event)
{
    Panel::showEvent(event);
    refreshDuration();
    m_durationTimer->start();
}

void ConnectionPanel::hideEvent(QHideEvent *event)
{
    Panel::hideEvent(event);
    m_durationTimer->stop();
}
