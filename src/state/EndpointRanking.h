#pragma once

#include "AppStateDependencies.h"
#include "EndpointQuality.h"
#include "QuickConnectCache.h"

// Which endpoint to connect to: the user's choice, the quality statistics of earlier connects, and the
// quick-connect cache of the last configuration that worked.
class EndpointRanking final
{
public:
    explicit EndpointRanking(AppStateDependencies &dependencies);
    Q_DISABLE_COPY_MOVE(EndpointRanking)

    static inline const QString endpointQualityStatsKey = QStringLiteral("tovren.endpointQualityStats.v1");
    static double secondsSince1970();

    // The selected endpoint, else the first of the catalogue, else the first placeholder.
    Endpoint selectedEndpoint() const;
    double endpointQualityScore(const Endpoint &endpoint, bool forAI) const;
    // The best endpoint that is not offline, ranked with the current AI-enhanced flag.
    std::optional<Endpoint> recommendedEndpoint(const QList<Endpoint> &endpoints) const;
    QList<Endpoint> connectionCandidates(const Endpoint &start, const QSet<QString> &excluding) const;
    void recordEndpointSuccess(const Endpoint &endpoint);
    void recordEndpointFailure(const Endpoint &endpoint, const QString &reason);
    const EndpointQualityStatsMap &endpointQualityStats() const { return m_endpointQualityStats; }

    void saveQuickConnectCache(const QuickConnectCacheRecord &record);
    void clearQuickConnectCache();
    const std::optional<QuickConnectCacheRecord> &quickConnectCache() const { return m_quickConnectCache; }

private:
    QList<Endpoint> sortedConnectionEndpoints(const QList<Endpoint> &endpoints, bool forAI) const;
    void loadEndpointQualityStats();
    void saveEndpointQualityStats();
    std::optional<QString> quickConnectCacheURL(bool createDirectory) const;
    void loadQuickConnectCache();
    StateModel &m_model;
    Preferences &m_preferences;
    EndpointQualityStatsMap m_endpointQualityStats;
    std::optional<QuickConnectCacheRecord> m_quickConnectCache;
};
