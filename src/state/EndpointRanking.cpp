// Endpoint choice, quality statistics and the quick-connect cache.
#include "EndpointRanking.h"
#include "base/ProductPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

EndpointRanking::EndpointRanking(AppStateDependencies &dependencies)
    : m_model(*dependencies.model), m_preferences(*dependencies.preferences)
{
    loadEndpointQualityStats();
    loadQuickConnectCache();
}

double EndpointRanking::secondsSince1970()
{
    return static_cast<double>(QDateTime::currentMSecsSinceEpoch()) / 1000.0;
}

Endpoint EndpointRanking::selectedEndpoint() const
{
    if (m_model.selectedEndpointId()) {
        for (const Endpoint &endpoint : m_model.endpoints()) {
            if (endpoint.id == *m_model.selectedEndpointId())
                return endpoint;
        }
    }
    return m_model.endpoints().isEmpty() ? placeholderEndpoints().first() : m_model.endpoints().first();
}

double EndpointRanking::endpointQualityScore(const Endpoint &endpoint, bool forAI) const
{
    const auto it = m_endpointQualityStats.constFind(endpoint.id);
    return EndpointQuality::score(endpoint, forAI, it == m_endpointQualityStats.constEnd() ? nullptr : &*it,
                                  secondsSince1970());
}

QList<Endpoint> EndpointRanking::sortedConnectionEndpoints(const QList<Endpoint> &endpoints, bool forAI) const
{
    return EndpointQuality::sorted(endpoints, forAI, m_endpointQualityStats, secondsSince1970());
}

std::optional<Endpoint> EndpointRanking::recommendedEndpoint(const QList<Endpoint> &endpoints) const
{
    QList<Endpoint> reachable;
    for (const Endpoint &endpoint : endpoints) {
        if (endpoint.status != NodeStatus::offline)
            reachable.append(endpoint);
    }
    if (reachable.isEmpty())
        return std::nullopt;
    return sortedConnectionEndpoints(reachable, m_model.aiEnhancedModeEnabled()).first();
}

QList<Endpoint> EndpointRanking::connectionCandidates(const Endpoint &start, const QSet<QString> &excluding) const
{
    return EndpointQuality::candidates(m_model.endpoints(), start, excluding, m_model.aiEnhancedModeEnabled(),
                                       m_endpointQualityStats, secondsSince1970());
}

void EndpointRanking::recordEndpointSuccess(const Endpoint &endpoint)
{
    m_endpointQualityStats[endpoint.id] = EndpointQuality::afterSuccess(m_endpointQualityStats.value(endpoint.id),
                                                                        endpoint.latencyMs, secondsSince1970());
    saveEndpointQualityStats();
}

void EndpointRanking::recordEndpointFailure(const Endpoint &endpoint, const QString &reason)
{
    Q_UNUSED(reason) // the pipeline logs and reports it; the statistics only count
    m_endpointQualityStats[endpoint.id] =
        EndpointQuality::afterFailure(m_endpointQualityStats.value(endpoint.id), secondsSince1970());
    saveEndpointQualityStats();
}

void EndpointRanking::loadEndpointQualityStats()
{
    m_endpointQualityStats.clear();
    const std::optional<QByteArray> data = m_preferences.dataValue(endpointQualityStatsKey);
    if (!data)
        return;
    try {
        m_endpointQualityStats = decodeQualityStatsMap(*data);
    } catch (const DecodingError &) {
        // Unreadable statistics start afresh; they only tune the ranking.
    }
}

void EndpointRanking::saveEndpointQualityStats()
{
    m_preferences.setData(endpointQualityStatsKey, encodeQualityStatsMap(m_endpointQualityStats));
}

std::optional<QString> EndpointRanking::quickConnectCacheURL(bool createDirectory) const
{
    const QString directory = ProductPaths::cacheDirectory();
    if (createDirectory) {
        if (!ProductPaths::createPrivatePath(QFileInfo(directory).absolutePath()))
            return std::nullopt;
        ProductPaths::ensurePrivateDirectory(directory); // a failure shows when the file is written
    }
    return directory + QStringLiteral("/quick-connect-cache.json");
}

void EndpointRanking::saveQuickConnectCache(const QuickConnectCacheRecord &record)
{
    const std::optional<QString> path = quickConnectCacheURL(true);
    if (!path)
        return;
    // The record holds credentials: the file is created owner-only before its first byte and replaces the old
    // one in a single rename, so no reader ever sees it half-written or with wider permissions.
    errno = 0;
    if (!ProductPaths::writePrivateFileAtomically(*path, jsonBytes(record.toJson(), true))) {
        const int error = errno;
        QString description = QStringLiteral("无法写入文件“%1”").arg(QFileInfo(*path).fileName());
        if (error != 0)
            description += QStringLiteral("（%1）").arg(qt_error_string(error));
        description += QStringLiteral("。");
        m_model.appendLog(QStringLiteral("快速连接缓存写入失败：") + description);
        return;
    }
    m_quickConnectCache = record;
}

void EndpointRanking::loadQuickConnectCache()
{
    m_quickConnectCache.reset();
    const std::optional<QString> path = quickConnectCacheURL(false);
    if (!path)
        return;
    QFile file(*path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    try {
        m_quickConnectCache = decodeAnswer<QuickConnectCacheRecord>(file.readAll());
    } catch (const DecodingError &) {
        // A damaged cache is as good as none.
    }
}

void EndpointRanking::clearQuickConnectCache()
{
    m_quickConnectCache.reset();
    if (const std::optional<QString> path = quickConnectCacheURL(false))
        QFile::remove(*path);
}
