#include "AppState.h"

#include "ControlPlaneMapping.h"
#include "Workspace.h"

AppState::AppState(AppStateDependencies dependencies, QObject *parent)
    : StateActions(parent), m_dependencies(AppStateDependencies::completed(std::move(dependencies))),
      m_model(*m_dependencies.model), m_ranking(m_dependencies), m_account(m_dependencies, m_ranking, m_connection),
      m_connection(m_dependencies, m_account, m_ranking), m_speedMonitor(m_dependencies)
{
    QObject::connect(&m_model, &StateModel::connectionChanged, this, &AppState::connectionChanged);
    QObject::connect(&m_model, &StateModel::accountChanged, this, &AppState::accountChanged);
    QObject::connect(&m_model, &StateModel::speedsChanged, this, &AppState::speedsChanged);
    QObject::connect(&m_model, &StateModel::viewChanged, this, &AppState::viewChanged);
    QObject::connect(&m_model, &StateModel::settingsChanged, this, &AppState::settingsChanged);
    QObject::connect(&m_model, &StateModel::logChanged, this, &AppState::logChanged);
    QObject::connect(&m_model, &StateModel::logAppended, this, &AppState::logAppended);
    readSettings();
    m_model.appendLog(QStringLiteral("客户端已就绪。"));
    m_speedMonitor.start();
    runStartupCleanup(); // in the background: construction does not wait for it
}

AppState::~AppState() = default;

QString AppState::applicationVersion()
{
    return QStringLiteral(TOVREN_APP_VERSION);
}

void AppState::readSettings()
{
    // A missing or wrong-typed value gives the default.
    m_model.setLaunchAtLogin(m_dependencies.preferences->boolValue(launchAtLoginKey).value_or(false));
    m_model.setMenuBarEnabled(m_dependencies.preferences->boolValue(menuBarEnabledKey).value_or(true));
    m_model.setShowMenuBarSpeed(m_dependencies.preferences->boolValue(showMenuBarSpeedKey).value_or(false));
    m_model.setAiEnhancedModeEnabled(m_dependencies.preferences->boolValue(aiEnhancedModeEnabledKey).value_or(false));
    m_model.setOutboundMode(
        outboundModeFromStored(m_dependencies.preferences->stringValue(outboundModeKey).value_or(QString())));
}

void AppState::setMenuBarEnabled(bool enabled)
{
    m_model.setMenuBarEnabled(enabled);
    m_dependencies.preferences->setBool(menuBarEnabledKey, enabled);
}

void AppState::setShowMenuBarSpeed(bool enabled)
{
    m_model.setShowMenuBarSpeed(enabled);
    m_dependencies.preferences->setBool(showMenuBarSpeedKey, enabled);
}

void AppState::setLaunchAtLogin(bool enabled)
{
    m_model.setLaunchAtLogin(enabled);
    m_dependencies.preferences->setBool(launchAtLoginKey, enabled);
    m_model.alert(enabled ? QStringLiteral("开机启动已保存，正式签名打包后会接入系统登录项。")
                          : QStringLiteral("已关闭开机启动。"));
}

QList<LogEntry> AppState::visibleLogs() const
{
    if (m_model.logsExpanded() || m_model.logs().size() < 3)
        return m_model.logs();
    return m_model.logs().mid(0, 2);
}

QList<Endpoint> AppState::visibleEndpoints() const
{
    if (m_model.nodesExpanded() || m_model.endpoints().size() < 3)
        return m_model.endpoints();
    return m_model.endpoints().mid(0, 2);
}

void AppState::dismissAlert()
{
    m_model.setAlertMessage(std::nullopt);
    m_model.setAlertAction(std::nullopt);
}

void AppState::selectEndpoint(const Endpoint &endpoint)
{
    m_model.setSelectedEndpointId(endpoint.id);
    m_model.appendLog(QStringLiteral("已选择") + endpoint.region + QStringLiteral("节点。"));
}

QString AppState::statusTitle() const
{
    switch (m_model.connectionState().kind()) {
    case ConnectionState::disconnected: return QStringLiteral("未连接");
    case ConnectionState::preparing: return QStringLiteral("正在连接");
    case ConnectionState::configReady: return QStringLiteral("需要安装组件");
    case ConnectionState::connected: return QStringLiteral("已连接");
    case ConnectionState::disconnecting: return QStringLiteral("正在断开");
    case ConnectionState::repairing: return QStringLiteral("正在修复连接");
    case ConnectionState::failed: return QStringLiteral("连接异常");
    }
    return QStringLiteral("未连接");
}

QString AppState::connectionNote() const
{
    switch (m_model.connectionState().kind()) {
    case ConnectionState::failed: return m_model.connectionState().failureMessage();
    case ConnectionState::disconnected:
    case ConnectionState::preparing:
    case ConnectionState::connected:
    case ConnectionState::disconnecting:
        return m_model.currentConfigPath().value_or(QStringLiteral("选择节点后一键生成配置并连接。"));
    case ConnectionState::repairing:
        return QStringLiteral("检测到旧连接或 DNS 状态异常，正在自动修复。");
    case ConnectionState::configReady:
        switch (m_model.componentInstallState().kind()) {
        case ComponentInstallState::idle: return QStringLiteral("需要安装 Tovren 连接组件；点击下方一键安装。");
        case ComponentInstallState::installing: return QStringLiteral("正在安装 Tovren 连接组件，请稍候。");
        case ComponentInstallState::installed: return QStringLiteral("连接组件已安装，重新点击一键连接即可。");
        case ComponentInstallState::needsHomebrew:
            return QStringLiteral("未检测到 Homebrew，需要先打开终端完成基础环境安装。");
        case ComponentInstallState::failed: return m_model.componentInstallState().failureMessage();
        }
    }
    return QString();
}

QString AppState::menuBarTitle() const
{
    if (!m_model.showMenuBarSpeed())
        return QStringLiteral("Tovren");
    return QStringLiteral("↓ ") + formattedSpeed(m_model.downloadSpeedBps()) + QStringLiteral("  ↑ ") +
           formattedSpeed(m_model.uploadSpeedBps());
}

QString AppState::formattedSpeed(double bytesPerSecond)
{
    if (bytesPerSecond >= 1048576)
        return QString::asprintf("%.1f MB/s", bytesPerSecond / 1048576);
    if (bytesPerSecond >= 1024)
        return QString::asprintf("%.0f KB/s", bytesPerSecond / 1024);
    return QString::number(static_cast<qint64>(bytesPerSecond)) + QStringLiteral(" B/s");
}

QString AppState::trafficText(std::optional<qint64> megabytes)
{
    if (!megabytes)
        return QStringLiteral("未知");
    if (*megabytes < 0)
        return QStringLiteral("不限量");
    if (*megabytes < 1024)
        return QString::number(*megabytes) + QStringLiteral("MB");
    return QString::asprintf("%.1fGB", static_cast<double>(*megabytes) / 1024);
}

QString AppState::planPillText() const
{
    if (!m_model.currentUser())
        return QStringLiteral("请先登录");
    return m_model.currentUser()->planName + QStringLiteral("有效");
}

QString AppState::accessSummary() const
{
    const std::optional<qint64> traffic =
        m_model.currentUser() ? m_model.currentUser()->remainingTrafficMb : std::nullopt;
    const std::optional<QString> expiry =
        m_model.currentUser() ? m_model.currentUser()->subscriptionExpiredAt : std::nullopt;
    return trafficText(traffic) + QStringLiteral(" / ") +
           (expiry && !expiry->isEmpty() ? shortDateText(expiry) : QStringLiteral("未开通"));
}

QString AppState::inviteCode() const
{
    if (m_model.currentUser() && m_model.currentUser()->referralCode)
        return *m_model.currentUser()->referralCode;
    return QStringLiteral("登录后显示");
}

QString AppState::invitesTotalText() const
{
    return QString::number(m_model.currentUser() ? m_model.currentUser()->invitesTotal.value_or(0) : 0);
}

QString AppState::rewardDaysText() const
{
    return QString::number(m_model.currentUser() ? m_model.currentUser()->rewardDays.value_or(0) : 0) +
           QStringLiteral(" 天");
}

QString AppState::pendingInvitesText() const
{
    if (!m_model.currentUser())
        return QStringLiteral("0");
    return QString::number(m_model.currentUser()->invitesTotal.value_or(0) -
                           m_model.currentUser()->invitesPaid.value_or(0));
}

QString AppState::shortDateText(const std::optional<QString> &text)
{
    return ::shortDateText(text);
}

QString AppState::deviceUsage() const
{
    return QString::number(m_model.activeDeviceCount()) + QStringLiteral(" / ") +
           QString::number(m_account.effectiveMaxDevices()) + QStringLiteral(" 设备");
}

QList<Device> AppState::visibleDevices() const
{
    return m_model.devicesExpanded() ? m_model.devices() : m_model.devices().mid(0, 2);
}
