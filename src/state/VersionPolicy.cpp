#include "VersionPolicy.h"

#include "Workspace.h"

namespace {

const QString &nonEmpty(const std::optional<QString> &first, const std::optional<QString> &second)
{
    static const QString none;
    if (first && !first->isEmpty())
        return *first;
    if (second && !second->isEmpty())
        return *second;
    return none;
}

} // namespace

QString versionWithLeadingV(const QString &version)
{
    return version.startsWith(QLatin1Char('v')) ? version : QStringLiteral("v") + version;
}

VersionPolicy VersionPolicy::of(const APIAppVersion &version, const QString &appVersion)
{
    const QString mode = version.updateMode.toLower();
    const qint64 rollout = version.rolloutPercent.value_or(100);
    const QString latest = versionWithLeadingV(version.latestVersion);
    const QString rollbackTarget =
        version.rollbackVersion && !version.rollbackVersion->isEmpty() ? *version.rollbackVersion : version.minVersion;

    VersionPolicy policy;
    QString download;
    if (mode == u"rollback") {
        policy.text = QStringLiteral("回滚到 ") + rollbackTarget;
        policy.requiresAction = true;
        download = nonEmpty(version.rollbackDownloadUrl, version.downloadUrl);
    } else if (mode == u"force") {
        policy.text = version.forceMessage && !version.forceMessage->isEmpty() ? *version.forceMessage
                                                                               : QStringLiteral("需要升级到 ") + latest;
        policy.requiresAction = true;
        download = version.downloadUrl.value_or(QString());
    } else if (rollout < 100 && latest != appVersion) {
        policy.text = QStringLiteral("灰度发布 ") + QString::number(rollout) + QStringLiteral("% · 最新 ") + latest;
        download = version.downloadUrl.value_or(QString());
    } else {
        policy.text = latest == appVersion ? QStringLiteral("已是最新") : QStringLiteral("发现新版 ") + latest;
        download = version.downloadUrl.value_or(QString());
    }
    const QUrl url(download, QUrl::StrictMode);
    if (Workspace::isWebAddress(url))
        policy.downloadAddress = url;
    return policy;
}
