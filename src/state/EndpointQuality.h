#pragma once

#include "base/JsonDecoding.h"
#include "base/Types.h"

#include <QMap>
#include <QSet>

// What the client has learnt about one endpoint from its own connections. Times are seconds since 1970.
struct EndpointQualityStats
{
    qint64 successfulConnections = 0;
    qint64 failedConnections = 0;
    qint64 consecutiveFailures = 0;
    std::optional<double> lastSuccessAt;
    std::optional<double> lastFailureAt;
    std::optional<double> averageLatencyMs; // smoothed control-plane latency

    QJsonObject toJson() const;
    static EndpointQualityStats decode(const JsonObjectReader &json);
    friend bool operator==(const EndpointQualityStats &, const EndpointQualityStats &) = default;
};

using EndpointQualityStatsMap = QMap<QString, EndpointQualityStats>; // by endpoint id

QByteArray encodeQualityStatsMap(const EndpointQualityStatsMap &stats);
// Throws DecodingError.
EndpointQualityStatsMap decodeQualityStatsMap(const QByteArray &data);

// Ranking of endpoints. Every function is pure: the statistics and the current time are passed in.
namespace EndpointQuality {

constexpr int maxConnectionCandidates = 4;

// Higher is better. The AI weighting is harsher on latency, load and recent failures, because AI tools keep
// long-lived streams open.
double score(const Endpoint &endpoint, bool forAI, const EndpointQualityStats *stats, double now);

// Highest score first; equal scores put the lower latency first; otherwise catalogue order is kept.
QList<Endpoint> sorted(const QList<Endpoint> &endpoints, bool forAI, const EndpointQualityStatsMap &stats, double now);

// The endpoints one connect tries, in order, at most maxConnectionCandidates.
QList<Endpoint> candidates(const QList<Endpoint> &catalogue, const Endpoint &start, const QSet<QString> &excluding,
                           bool aiEnhanced, const EndpointQualityStatsMap &stats, double now);

EndpointQualityStats afterSuccess(EndpointQualityStats stats, int catalogueLatencyMs, double now);
EndpointQualityStats afterFailure(EndpointQualityStats stats, double now);

} // namespace EndpointQuality
