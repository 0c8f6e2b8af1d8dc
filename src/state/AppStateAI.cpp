// AI-enhanced mode, the outbound mode and the launchers that hand the local proxy to other programs. None of
// them touches the running connection: a change takes effect at the next connect or heartbeat start.
#include "AppState.h"
#include "TerminalLauncher.h"
#include "Workspace.h"
#include "runtime/CommandRunner.h"

namespace {

// The shell of the AI tool's terminal: proxy variables for the AI entry, a banner, then the tool when it exists.
QString aiToolScript(int port, const QString &command, const QString &displayName)
{
    const QString p = QString::number(port);
    const QString quoted = TerminalLauncher::shellQuoted(command);
    return QStringList{
        QStringLiteral("export HTTP_PROXY=http://127.0.0.1:") + p,
        QStringLiteral("export HTTPS_PROXY=http://127.0.0.1:") + p,
        QStringLiteral("export ALL_PROXY=socks5h://127.0.0.1:") + p,
        QStringLiteral("export NO_PROXY=localhost,127.0.0.1,::1"),
        QStringLiteral("clear"),
        QStringLiteral("echo 'Tovren AI增强功能已注入代理环境：127.0.0.1:") + p + QLatin1Char('\''),
        QStringLiteral("echo 'HTTP_PROXY / HTTPS_PROXY / ALL_PROXY 已设置。'"),
        QStringLiteral("echo ''"),
        QStringLiteral("if command -v ") + quoted + QStringLiteral(" >/dev/null 2>&1; then"),
        QStringLiteral("  ") + quoted,
        QStringLiteral("else"),
        // Inside single quotes: a quote in the name closes and reopens them, so the name stays text.
        QStringLiteral("  echo '未检测到 ") + QString(displayName).replace(QLatin1Char('\''), QStringLiteral("'\\''")) +
            QStringLiteral(" 命令，请先安装或检查 PATH。'"),
        QStringLiteral("fi"),
    }
        .join(QLatin1Char('\n'));
}

} // namespace

void AppState::toggleAIEnhancedMode()
{
    const bool enabled = !m_model.aiEnhancedModeEnabled();
    m_model.setAiEnhancedModeEnabled(enabled);
    m_dependencies.preferences->setBool(aiEnhancedModeEnabledKey, enabled);
    m_model.appendLog(enabled ? QStringLiteral("AI 增强模式已开启。") : QStringLiteral("AI 增强模式已关闭。"));
    if (!enabled)
        m_model.setAiProxyReady(false);
    if (m_model.connectionState().kind() == ConnectionState::connected)
        m_model.appendLog(QStringLiteral("AI 增强模式变更将在下次一键连接后完全生效。"));
}

void AppState::setOutboundMode(OutboundMode mode)
{
    if (mode == m_model.outboundMode())
        return;
    m_model.setOutboundMode(mode);
    m_dependencies.preferences->setString(outboundModeKey, rawValue(mode));
    m_model.appendLog(QStringLiteral("已切换出站模式：") +
                      (mode == OutboundMode::enhanced ? QStringLiteral("增强模式") : QStringLiteral("智能模式")) +
                      QStringLiteral("。"));
}

void AppState::openTelegramProxy()
{
    const QString link =
        QStringLiteral("tg://socks?server=127.0.0.1&port=") + QString::number(m_model.localProxyPort());
    // On the clipboard in every case, so the user can paste it into Telegram by hand.
    Workspace::copyText(link);
    const QUrl url(link, QUrl::StrictMode);
    // Without a handler for tg: links nothing opens; the log must not claim otherwise.
    const bool opened = url.isValid() && !url.scheme().isEmpty() && Workspace::openURL(url);
    m_model.appendLog(opened ? QStringLiteral("已打开 Telegram 本地 SOCKS 代理入口。")
                             : QStringLiteral("Telegram 本地 SOCKS 代理入口已复制。"));
}

void AppState::openAIToolLauncher(const QString &command, const QString &displayName)
{
    if (!m_model.aiEnhancedModeEnabled()) {
        m_model.alert(QStringLiteral("请先开启 AI增强功能，并重新一键连接后再启动 ") + displayName + QStringLiteral("。"));
        return;
    }
    if (m_model.connectionState().kind() != ConnectionState::connected) {
        m_model.alert(QStringLiteral("请先开启 AI增强功能并完成一键连接，再启动 ") + displayName +
               QStringLiteral(" AI 代理环境。"));
        return;
    }

    const TerminalLauncher::Launch launch =
        TerminalLauncher::openScript(aiToolScript(m_model.localAIProxyPort(), command, displayName));
    if (launch.started)
        m_model.appendLog(QStringLiteral("已打开 ") + displayName + QStringLiteral(" AI 代理启动器。"));
    else
        m_model.present(CommandLaunchError(launch.error), displayName + QStringLiteral(" 启动器打开失败"));
}
