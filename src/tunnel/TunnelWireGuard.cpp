// The WireGuard compatibility path: wg-quick with administrator rights, repair of a stale tunnel, and the
// error classification.
#include "TunnelCoordinator.h"

#include "WireGuardCommands.h"
#include "WireGuardConfigRouter.h"

#include "runtime/HostPaths.h"

QString TunnelCoordinator::preparedWireGuardConfig(const QString &text, OutboundMode outboundMode)
{
    return WireGuardConfigRouter::prepared(text, outboundMode);
}

QCoro::Task<> TunnelCoordinator::runWGQuick(QString action, QString configURL)
{
    const std::optional<QString> wgQuick = WireGuardCommands::findWGQuickPath();
    if (!wgQuick)
        co_return;
    co_await runPrivileged(
        WireGuardCommands::wgQuickCommand(*wgQuick, WireGuardCommands::findBashPath(), action, configURL));
}

QCoro::Task<> TunnelCoordinator::repairWGQuickState(QString configURL)
{
    co_await runPrivileged(WireGuardCommands::repairScript(configURL));
}

bool TunnelCoordinator::isRecoverableWGQuickError(const std::exception &error)
{
    return WireGuardCommands::isRecoverableWGQuickError(describeError(error));
}

void TunnelCoordinator::raiseFriendlyWGQuickError(std::exception_ptr error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception &raised) {
        if (WireGuardCommands::isVersionMismatch(describeError(raised)))
            throw TunnelCoordinatorError::commandFailed(QString::fromUtf8(WireGuardCommands::versionMismatchMessage));
        throw;
    }
}

QCoro::Task<TunnelActivation> TunnelCoordinator::connectWithWGQuick(QString configURL)
{
    const QString up = QStringLiteral("up");
    // Clears an earlier run of the same interface; nothing to take down is the usual case.
    try {
        co_await runWGQuick(QStringLiteral("down"), configURL);
    } catch (const std::exception &) {
    }

    std::exception_ptr failure;
    bool recoverable = false;
    try {
        co_await runWGQuick(up, configURL);
    } catch (const std::exception &error) {
        failure = std::current_exception();
        recoverable = isRecoverableWGQuickError(error);
    }
    if (!failure)
        co_return TunnelActivation{TunnelActivation::Mode::wgQuick, configURL, std::nullopt, {}};
    if (!recoverable)
        raiseFriendlyWGQuickError(failure);

    QStringList notes{QStringLiteral("检测到旧连接残留，正在自动清理。")};
    try {
        co_await repairWGQuickState(configURL);
    } catch (const std::exception &) {
    }
    co_await runWGQuick(up, configURL);
    notes << QStringLiteral("旧连接状态已修复。");
    co_return TunnelActivation{TunnelActivation::Mode::wgQuick, configURL, std::nullopt, notes};
}

QCoro::Task<bool> TunnelCoordinator::hasStaleInterface(QString endpointId)
{
    Q_UNUSED(endpointId)
    const auto turn = co_await m_queue.turn();
    if (!WireGuardCommands::findWGQuickPath())
        co_return false;
    QString output;
    try {
        const QStringList arguments{QStringLiteral("-lc"), WireGuardCommands::showInterfacesCommand()};
        output = co_await runProcess(QString::fromLatin1(HostPaths::Tool::sh), arguments);
    } catch (const TovrenError &) {
        output.clear();
    }
    co_return WireGuardCommands::listsClientInterface(output);
}
