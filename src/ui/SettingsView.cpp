#include "AccountPages.h"
#include "DevicePanels.h"
#include "FeedbackViews.h"
#include "PageParts.h"
#include "Palette.h"
#include "Pill.h"
#include "StyledButton.h"
#include "Tasks.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QHBoxLayout>
#include <QLabel>

namespace {

QFrame *separator(QWidget *parent)
{
    auto *line = new QFrame(parent);
    line->setFixedHeight(1);
    line->setStyleSheet(QStringLiteral("background: %1;").arg(Palette::css(Palette::tvLineSoft())));
    return line;
}

} // namespace

SettingsView::SettingsView(StateActions &actions, QWidget *parent) : QWidget(parent), m_actions(actions)
{
    m_header = new PageHeader(QStringLiteral("设置"), QStringLiteral("设备与偏好"), QString(), this);

    m_current = new CurrentDevicePanel(actions, this);
    m_bound = new BoundDevicesPanel(actions, this);
    auto *devices = new QHBoxLayout;
    devices->setSpacing(14);
    devices->addWidget(m_current, 1);
    devices->addWidget(m_bound, 1);

    auto *panel = new Panel(this, 20);
    auto *rows = panel->makeColumn();
    rows->setSpacing(4);
    const auto add = [rows, panel](QWidget *row) {
        if (rows->count() > 0)
            rows->addWidget(separator(panel));
        rows->addWidget(row);
    };
    auto *version = new SettingsRow(
        QStringLiteral("客户端版本"), QString(), QStringLiteral("检查"),
        [this] {
            startBusyTask(
                m_rows[0]->button(), QStringLiteral("检查中..."), [this] { return m_actions.refreshPublicData(); },
                "refreshPublicData");
        },
        panel);
    add(version);
    m_launchAtLogin = new SettingsToggleRow(
        QStringLiteral("开机启动"), QStringLiteral("登录 macOS 后自动启动 Tovren"),
        [this](bool on) { m_actions.state().setLaunchAtLogin(on); }, panel);
    add(m_launchAtLogin);
    m_menuBar = new SettingsToggleRow(
        QStringLiteral("菜单栏模式"), QStringLiteral("保留菜单栏入口和状态提示"),
        [this](bool on) { m_actions.state().setMenuBarEnabled(on); }, panel);
    add(m_menuBar);
    auto *agreements = new SettingsRow(
        QStringLiteral("客服与协议"), QStringLiteral("用户协议、服务协议、隐私政策"), QStringLiteral("打开"),
        [this] { m_actions.openClientHome(); }, panel);
    add(agreements);
    auto *telegram = new SettingsRow(
        QStringLiteral("Telegram 连接"), QString(), QStringLiteral("启动"), [this] { m_actions.openTelegramProxy(); },
        panel);
    add(telegram);
    auto *codex = new SettingsRow(
        QStringLiteral("Codex AI 启动器"), QString(), QStringLiteral("启动"),
        [this] { m_actions.openAIToolLauncher(QStringLiteral("codex"), QStringLiteral("Codex")); }, panel);
    add(codex);
    auto *claude = new SettingsRow(
        QStringLiteral("Claude AI 启动器"), QString(), QStringLiteral("启动"),
        [this] { m_actions.openAIToolLauncher(QStringLiteral("claude"), QStringLiteral("Claude")); }, panel);
    add(claude);
    m_feedback = new FeedbackRow(actions, panel);
    add(m_feedback);
    m_rows = {version, agreements, telegram, codex, claude};

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(18);
    layout->addWidget(m_header);
    layout->addLayout(devices);
    layout->addWidget(panel);
    layout->addStretch();

    refresh();
    m_actions.state().watch({&AppState::accountChanged, &AppState::settingsChanged, &AppState::connectionChanged}, this,
                            &SettingsView::refresh);
}

void SettingsView::refresh()
{
    const AppState &state = m_actions.state();
    m_header->pill()->setText(state.versionPolicyText());
    m_rows[0]->setValue(QStringLiteral("当前 ") + AppState::applicationVersion() + QStringLiteral(" · 最新 ") +
                        state.latestVersion() + QStringLiteral(" · ") + state.versionPolicyText());
    m_launchAtLogin->setOn(state.launchAtLogin());
    m_menuBar->setOn(state.menuBarEnabled());
    m_rows[2]->setValue(QStringLiteral("SOCKS 127.0.0.1:") + QString::number(state.localProxyPort()));
    const QString aiEntry =
        QStringLiteral("注入 HTTP_PROXY / ALL_PROXY 到 127.0.0.1:") + QString::number(state.localAIProxyPort());
    m_rows[3]->setValue(aiEntry);
    m_rows[4]->setValue(aiEntry);
}
