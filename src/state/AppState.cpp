#include "AppState.h"

#include <QTime>

AppState::AppState(QObject *parent)
    : QObject(parent), m_preferences(std::make_unique<Preferences>()),
      m_api(std::make_unique<TovrenAPIClient>(Deployment::controlPlaneBaseURL())), m_sessionStore(*m_preferences),
      m_deviceIdentity(*m_preferences)
{
    readSettings();
    loadEndpointQualityStats();
    loadQuickConnectCache();
    appendLog(QStringLiteral("客户端已就绪。"));
    startSpeedMonitor();
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
    setLaunchAtLoginValue(m_preferences->boolValue(launchAtLoginKey).value_or(false));
    setMenuBarEnabledValue(m_preferences->boolValue(menuBarEnabledKey).value_or(true));
    setShowMenuBarSpeedValue(m_preferences->boolValue(showMenuBarSpeedKey).value_or(false));
    setAiEnhancedModeEnabledValue(m_preferences->boolValue(aiEnhancedModeEnabledKey).value_or(false));
    setOutboundModeValue(outboundModeFromStored(m_preferences->stringValue(outboundModeKey).value_or(QString())));
}

void AppState::setConnectionState(const ConnectionState &value)
{
    publish(m_connectionState, value);
    if (!value.is(ConnectionState::connected))
        publish(m_connectedAt, std::optional<QDateTime>());
}

void AppState::setMenuBarEnabled(bool enabled)
{
    setMenuBarEnabledValue(enabled);
    m_preferences->setBool(menuBarEnabledKey, enabled);
}

void AppState::setShowMenuBarSpeed(bool enabled)
{
    setShowMenuBarSpeedValue(enabled);
    m_preferences->setBool(showMenuBarSpeedKey, enabled);
}

void AppState::setLaunchAtLogin(bool enabled)
{
    setLaunchAtLoginValue(enabled);
    m_preferences->setBool(launchAtLoginKey, enabled);
    setAlertAction(std::nullopt);
    setAlertMessage(enabled ? QStringLiteral("开机启动已保存，正式签名打包后会接入系统登录项。")
                            : QStringLiteral("已关闭开机启动。"));
}

void AppState::appendLog(const QString &message)
{
    const LogEntry entry{QUuid::createUuid(), QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), message};
    m_logs.prepend(entry);
    if (m_logs.size() > maxLogEntries)
        m_logs.resize(maxLogEntries);
    Q_EMIT changed();
    Q_EMIT logAppended(entry);
}

QList<LogEntry> AppState::visibleLogs() const
{
    if (m_logsExpanded || m_logs.size() < 3)
        return m_logs;
    return m_logs.mid(0, 2);
}

QList<Endpoint> AppState::visibleEndpoints() const
{
    if (m_nodesExpanded || m_endpoints.size() < 3)
        return m_endpoints;
    return m_endpoints.mid(0, 2);
}

void AppState::selectEndpoint(const Endpoint &endpoint)
{
    setSelectedEndpointId(endpoint.id);
    appendLog(QStringLiteral("已选择") + endpoint.region + QStringLiteral("节点。"));
}

QString AppState::statusTitle() const
{
    switch (m_connectionState.kind()) {
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
    switch (m_connectionState.kind()) {
    case ConnectionState::failed:
        return m_connectionState.failureMessage();
    case ConnectionState::disconnected:
    case ConnectionState::preparing:
    case ConnectionState::connected:
    case ConnectionState::disconnecting:
        return m_currentConfigPath.value_or(QStringLiteral("选择节点后一键生成配置并连接。"));
    case ConnectionState::repairing:
        return QStringLiteral("检测到旧连接或 DNS 状态异常，正在自动修复。");
    case ConnectionState::configReady:
        switch (m_componentInstallState.kind()) {
        case ComponentInstallState::idle: return QStringLiteral("需要安装 Tovren 连接组件；点击下方一键安装。");
        case ComponentInstallState::installing: return QStringLiteral("正在安装 Tovren 连接组件，请稍候。");
        case ComponentInstallState::installed: return QStringLiteral("连接组件已安装，重新点击一键连接即可。");
        case ComponentInstallState::needsHomebrew:
            return QStringLiteral("未检测到 Homebrew，需要先打开终端完成基础环境安装。");
        case ComponentInstallState::failed: return m_componentInstallState.failureMessage();
        }
    }
    return QString();
}

QString AppState::menuBarTitle() const
{
    if (!m_showMenuBarSpeed)
        return QStringLiteral("Tovren");
    return QStringLiteral("↓ ") + formattedSpeed(m_downloadSpeedBps) + QStringLiteral("  ↑ ")
        + formattedSpeed(m_uploadSpeedBps);
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

void AppState::startSpeedMonitor()
{
    m_lastTrafficSample = m_speedSampler.sample();
    auto *timer = new QTimer(this); // owned by the state: it stops when the state goes
    timer->setInterval(1000);
    connect(timer, &QTimer::timeout, this, &AppState::updateNetworkSpeed);
    timer->start();
    m_speedTimer = timer;
}

void AppState::stopSpeedMonitor()
{
    if (m_speedTimer) {
        m_speedTimer->stop();
        m_speedTimer->deleteLater();
    }
    m_speedTimer = nullptr;
}

void AppState::updateNetworkSpeed()
{
    const NetworkTrafficSample next = m_speedSampler.sample();
    if (m_lastTrafficSample) {
        const double seconds = std::max(0.5, m_lastTrafficSample->date.msecsTo(next.date) / 1000.0);
        const auto rise = [](quint64 now, quint64 before) {
            return now >= before ? static_cast<double>(now - before) : 0.0;
        };
        setDownloadSpeedBps(rise(next.receivedBytes, m_lastTrafficSample->receivedBytes) / seconds);
        setUploadSpeedBps(rise(next.sentBytes, m_lastTrafficSample->sentBytes) / seconds);
    }
    m_lastTrafficSample = next;
}
