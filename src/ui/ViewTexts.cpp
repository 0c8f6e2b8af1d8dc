#include "ViewTexts.h"

#include <QTextDocument>

namespace ViewTexts {

QString connectButtonTitle(const ConnectionState &state)
{
    switch (state.kind()) {
    case ConnectionState::preparing: return QStringLiteral("正在连接");
    case ConnectionState::connected: return QStringLiteral("断开连接");
    case ConnectionState::disconnecting: return QStringLiteral("正在断开");
    case ConnectionState::repairing: return QStringLiteral("正在修复");
    case ConnectionState::disconnected:
    case ConnectionState::configReady:
    case ConnectionState::failed: return QStringLiteral("一键连接");
    }
    return QStringLiteral("一键连接");
}

QString componentButtonTitle(const ComponentInstallState &state)
{
    switch (state.kind()) {
    case ComponentInstallState::idle: return QStringLiteral("一键安装连接组件");
    case ComponentInstallState::installing: return QStringLiteral("正在安装组件");
    case ComponentInstallState::installed: return QStringLiteral("组件已安装");
    case ComponentInstallState::needsHomebrew:
    case ComponentInstallState::failed: return QStringLiteral("重新安装组件");
    }
    return QStringLiteral("一键安装连接组件");
}

QString durationText(const std::optional<QDateTime> &connectedAt, const QDateTime &now)
{
    if (!connectedAt)
        return QStringLiteral("--:--");
    // A clock set back after connecting must not show a negative time.
    const qint64 seconds = std::max<qint64>(0, connectedAt->secsTo(now));
    return QString::asprintf("%02lld:%02lld", seconds / 60, seconds % 60);
}

QString sidebarTitle(AppPage page)
{
    switch (page) {
    case AppPage::home: return QStringLiteral("首页");
    case AppPage::plans: return QStringLiteral("套餐");
    case AppPage::invite: return QStringLiteral("邀请");
    case AppPage::settings: return QStringLiteral("设置");
    }
    return QString();
}

QString plainToolTip(const QString &text)
{
    return Qt::mightBeRichText(text) ? Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal) : text;
}

} // namespace ViewTexts
