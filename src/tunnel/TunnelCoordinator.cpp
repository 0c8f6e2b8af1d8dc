#include "TunnelCoordinator.h"

#include "SingBoxConfigBuilder.h"
#include "WireGuardCommands.h"
#include "base/LocalProxyPorts.h"
#include "base/TovrenTrafficRules.h"

#include "base/ProductPaths.h"
#include "runtime/CommandRunner.h"
#include "runtime/CrashGuard.h"
#include "runtime/FileSystemError.h"
#include "runtime/HostPaths.h"
#include "runtime/MacOSSystemProxyManager.h"
#include "runtime/PrivilegedCommand.h"
#include "runtime/SingBoxRuntimeCoordinator.h"
#include "runtime/SingBoxRuntimeError.h"
#include "runtime/SingBoxRuntimeRules.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>

#include <cerrno>

namespace {

const QString activeBaseName = QStringLiteral("tovren-active");
const QString legacyPrefix = QStringLiteral("tovren-ep_");

QString activeConfigPath(const QString &extension)
{
    return ProductPaths::protocolsDirectory() + u'/' + activeBaseName + u'.' + extension;
}

} // namespace

TunnelCoordinator::TunnelCoordinator(QObject *parent)
    : QObject(parent), m_macOSProxyPort(LocalProxyPorts::preferredSystemProxyPort),
      m_macOSProxyPortRange(LocalProxyPorts::systemProxyPortRange()), m_aiProxyPort(LocalProxyPorts::aiProxyPort),
      m_aiDomainSuffixes(TovrenTrafficRules::aiDomainSuffixes()), m_singBox(new SingBoxRuntimeCoordinator(this)),
      m_systemProxyManager(new MacOSSystemProxyManager(this)), m_crashGuard(new CrashGuard(this)),
      m_network(new QNetworkAccessManager(this))
{
    // Direct probes test the route the operating system takes, never a proxy of anyone's.
    m_network->setProxy(QNetworkProxy::NoProxy);
}

TunnelCoordinator::~TunnelCoordinator() = default;

bool TunnelCoordinator::usesWireGuardPath(const ProtocolConfiguration &configuration)
{
    if (configuration.protocolKind == ProtocolKind::wireguard)
        return true;
    return configuration.protocolKind == ProtocolKind::unknown && !configuration.singBoxConfigText &&
           !configuration.singBoxConfig && !configuration.rawConfig;
}

QCoro::Task<TunnelActivation> TunnelCoordinator::connect(ProtocolConfiguration configuration, Endpoint endpoint,
                                                         OutboundMode outboundMode, bool aiEnhancedModeEnabled,
                                                         bool quickStart)
{
    Q_UNUSED(endpoint)
    const auto turn = co_await m_queue.turn();
    if (usesWireGuardPath(configuration))
        co_return co_await connectThroughWireGuard(std::move(configuration), outboundMode);
    co_return co_await connectThroughSingBox(std::move(configuration), outboundMode, aiEnhancedModeEnabled, quickStart);
}

QCoro::Task<TunnelActivation> TunnelCoordinator::connectThroughSingBox(ProtocolConfiguration configuration,
                                                                       OutboundMode outboundMode,
                                                                       bool aiEnhancedModeEnabled, bool quickStart)
{
    co_await m_systemProxyManager->disableLocalProxy(true);
    const int port = co_await chooseLocalProxyPort(aiEnhancedModeEnabled);
    QString configURL = writeConfig(configuration, outboundMode, port, aiEnhancedModeEnabled, false);
    m_activeConfigURL = configURL;

    TunnelActivation activation;
    std::exception_ptr bindFailure;
    try {
        activation = co_await connectWithSingBox(configURL, port, aiEnhancedModeEnabled, quickStart);
    } catch (const SingBoxRuntimeError &error) {
        // The port looked free and the privileged clean-up found nothing to end, yet the core cannot bind it: a
        // listener of root or of another user, which lsof run as the user does not list. Moving the AI entry's
        // port is no help.
        const bool hiddenListener = error.kind() == SingBoxRuntimeError::Case::exitedEarly &&
                                    SingBox::isAddressInUse(error.message()) &&
                                    !error.message().contains(u':' + QString::number(m_aiProxyPort));
        if (!hiddenListener)
            throw;
        bindFailure = std::current_exception();
    }
    if (bindFailure) {
        // Once: the next port of the range that looks free.
        std::optional<int> next;
        for (const int candidate : m_macOSProxyPortRange) {
            if (candidate <= port)
                continue;
            const bool free = co_await isTCPPortAvailable(candidate);
            if (free) {
                next = candidate;
                break;
            }
        }
        if (!next)
            std::rethrow_exception(bindFailure);
        configURL = writeConfig(configuration, outboundMode, *next, aiEnhancedModeEnabled, false);
        m_activeConfigURL = configURL;
        activation = co_await connectWithSingBox(configURL, *next, aiEnhancedModeEnabled, quickStart);
    }
    activation.recoveryNotes += co_await thirdPartyNetworkWarnings(false);

    m_activeMode = activation.mode;
    m_activeProxyPort = activation.proxyPort;
    m_activeAIProxyPort = aiEnhancedModeEnabled ? std::optional<int>(m_aiProxyPort) : std::nullopt;
    co_return activation;
}

QCoro::Task<TunnelActivation> TunnelCoordinator::connectThroughWireGuard(ProtocolConfiguration configuration,
                                                                         OutboundMode outboundMode)
{
    // A WireGuard text has no local port; the file is written like the sing-box one.
    const QString configURL = writeConfig(configuration, outboundMode, m_macOSProxyPort, false, true);
    m_activeConfigURL = configURL;
    // No local proxy runs on this path.
    m_activeProxyPort.reset();
    m_activeAIProxyPort.reset();

    if (WireGuardCommands::findWGQuickPath()) {
        TunnelActivation activation = co_await connectWithWGQuick(configURL);
        co_await validateConnection(activeBaseName);
        m_activeMode = activation.mode;
        co_return activation;
    }

    // Without the tools the file is only saved and shown in Finder; the caller offers the installer.
    try {
        const QStringList reveal{QStringLiteral("-R"), configURL};
        co_await runProcess(QString::fromLatin1(HostPaths::Tool::open), reveal);
    } catch (const TovrenError &) {
    }
    m_activeMode = TunnelActivation::Mode::exported;
    co_return TunnelActivation{TunnelActivation::Mode::exported, configURL, std::nullopt, {}};
}

void TunnelCoordinator::cleanupLegacyEndpointConfigFiles(const QString &directory)
{
    // Earlier versions wrote one file per endpoint; they hold credentials and are never read again.
    const QDir dir(directory);
    const QStringList entries =
        dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString &entry : entries) {
        if (entry.startsWith(legacyPrefix)) {
            const QString path = dir.filePath(entry);
            if (!QFile::remove(path))
                QDir(path).removeRecursively();
        }
    }
}

QString TunnelCoordinator::writeConfig(const ProtocolConfiguration &configuration, OutboundMode outboundMode, int port,
                                       bool aiEnhancedModeEnabled, bool wireGuard)
{
    const QString directory = ProductPaths::protocolsDirectory();
    if (!ProductPaths::ensurePrivateDirectory(directory))
        throw FileSystemError(QStringLiteral("无法创建目录"), directory, qt_error_string(errno));
    cleanupLegacyEndpointConfigFiles(directory);

    QByteArray bytes;
    if (wireGuard) {
        if (!configuration.wireGuardConfigText)
            throw TunnelCoordinatorError::missingProtocolConfig();
        bytes = preparedWireGuardConfig(*configuration.wireGuardConfigText, outboundMode).toUtf8();
    } else {
        const std::optional<QByteArray> templateData = SingBoxConfigBuilder::templateData(configuration);
        if (!templateData)
            throw TunnelCoordinatorError::missingProtocolConfig();
        bytes =
            SingBoxConfigBuilder::macOSSystemProxyConfigData(*templateData, outboundMode, port, aiEnhancedModeEnabled);
    }

    // Owner-only from the first byte: the file holds the endpoint's credentials.
    const QString path = activeConfigPath(wireGuard ? QStringLiteral("conf") : QStringLiteral("json"));
    if (!ProductPaths::writePrivateFileAtomically(path, bytes))
        throw FileSystemError(QStringLiteral("无法写入文件"), path, qt_error_string(errno));
    return path;
}

QCoro::Task<TunnelActivation> TunnelCoordinator::connectWithSingBox(QString configURL, int port,
                                                                    bool aiEnhancedModeEnabled, bool quickStart)
{
    const SingBoxStart started = co_await m_singBox->start(configURL);
    TunnelActivation activation{TunnelActivation::Mode::singBox, started.configURL, started.proxyPort,
                                started.recoveryNotes};
    if (const std::optional<qint64> core = m_singBox->managedProcessId())
        m_crashGuard->watch(*core);
    // A failed validation leaves the core running; the caller's clean-up completes the rollback.
    const QStringList proxyNotes = co_await validateProxyConnection(port);
    QStringList aiNotes;
    if (aiEnhancedModeEnabled)
        aiNotes = co_await validateAIProxyConnection(m_aiProxyPort);
    const QStringList managerNotes = co_await m_systemProxyManager->enableLocalProxy(port);

    std::exception_ptr confirmation;
    try {
        if (quickStart)
            co_await confirmSystemProxyApplied(port);
        else
            co_await confirmSystemProxy(port);
    } catch (...) {
        confirmation = std::current_exception();
    }
    if (confirmation) {
        // Undo what this start set up, then report why.
        co_await m_singBox->stop(true);
        try {
            const QList<int> ports{port, m_aiProxyPort};
            co_await m_singBox->cleanupOwnedRuntime(ports, false);
        } catch (const std::exception &) {
        }
        co_await m_systemProxyManager->disableLocalProxy(true);
        std::rethrow_exception(confirmation);
    }

    // The core has read its configuration; the credentials need not stay on disk.
    QFile::remove(configURL);

    activation.recoveryNotes << QStringLiteral("本地临时协议配置已清理。");
    activation.recoveryNotes += proxyNotes;
    activation.recoveryNotes += aiNotes;
    activation.recoveryNotes << QStringLiteral("macOS 系统代理模式已启用。")
                             << QStringLiteral("国内 App 图片与 CDN 已启用直连保护。");
    activation.recoveryNotes += managerNotes;
    if (quickStart)
        activation.recoveryNotes << QStringLiteral("快速连接已通过本地代理出网检测。");
    if (port != LocalProxyPorts::preferredSystemProxyPort)
        activation.recoveryNotes << QStringLiteral("默认端口被占用，已自动切换本地代理端口为 ") +
                                        QString::number(port) + QStringLiteral("。");
    if (aiEnhancedModeEnabled)
        activation.recoveryNotes << QStringLiteral("AI 专用代理入口已启用：127.0.0.1:") +
                                        QString::number(m_aiProxyPort) + QStringLiteral("。");
    co_return activation;
}

QCoro::Task<> TunnelCoordinator::disconnect()
{
    const auto turn = co_await m_queue.turn();
    if (!m_activeConfigURL)
        co_return;
    if (m_activeMode == TunnelActivation::Mode::singBox) {
        co_await m_singBox->stop(true);
        co_await m_systemProxyManager->disableLocalProxy(true);
    } else if (m_activeMode == TunnelActivation::Mode::wgQuick) {
        // A failure keeps the active state for a retry.
        co_await runWGQuick(QStringLiteral("down"), *m_activeConfigURL);
    }
    m_crashGuard->release();
    clearActiveState();
}

QCoro::Task<> TunnelCoordinator::cleanupRuntimeArtifacts(bool allowProxyAuthorization)
{
    const auto turn = co_await m_queue.turn();

    // The client's own WireGuard tunnel would otherwise stay up, forgotten, and keep routing traffic after a
    // switch to another endpoint. Taking it down needs a password, so only when a prompt is allowed.
    if (m_activeMode == TunnelActivation::Mode::wgQuick && m_activeConfigURL && allowProxyAuthorization) {
        try {
            co_await runWGQuick(QStringLiteral("down"), *m_activeConfigURL);
        } catch (const std::exception &) {
        }
    }

    co_await m_singBox->stop(allowProxyAuthorization);
    try {
        co_await m_singBox->cleanupOwnedRuntime(allLocalPorts(), false);
    } catch (const std::exception &) {
    }
    co_await m_systemProxyManager->disableLocalProxy(allowProxyAuthorization);
    m_crashGuard->release();

    // A sing-box configuration left by a failed or interrupted start holds credentials that no core needs
    // any more. A WireGuard file stays: it may be the saved configuration shown to the user.
    QFile::remove(activeConfigPath(QStringLiteral("json")));
    clearActiveState();
}

QList<int> TunnelCoordinator::allLocalPorts() const
{
    QList<int> ports = m_macOSProxyPortRange;
    ports << m_aiProxyPort;
    return ports;
}

void TunnelCoordinator::clearActiveState()
{
    m_activeConfigURL.reset();
    m_activeMode.reset();
    m_activeProxyPort.reset();
    m_activeAIProxyPort.reset();
}

QCoro::Task<QString> TunnelCoordinator::runProcess(QString macExecutable, QStringList arguments)
{
    return CommandRunner::runForOutput(
        HostPaths::resolve(macExecutable), std::move(arguments),
        [](const QString &message) { return TunnelCoordinatorError::commandFailed(message); });
}

QCoro::Task<> TunnelCoordinator::runPrivileged(QString command)
{
    return PrivilegedCommand::run(
        std::move(command), [](const QString &message) { return TunnelCoordinatorError::commandFailed(message); });
}
