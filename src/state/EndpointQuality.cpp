#include "EndpointQuality.h"

#include <algorithm>
#include <limits>

QJsonObject EndpointQualityStats::toJson() const
{
    QJsonObject object{{QStringLiteral("successfulConnections"), successfulConnections},
                       {QStringLiteral("failedConnections"), failedConnections},
                       {QStringLiteral("consecutiveFailures"), consecutiveFailures}};
    insertIfPresent(object, QStringLiteral("lastSuccessAt"), lastSuccessAt);
    insertIfPresent(object, QStringLiteral("lastFailureAt"), lastFailureAt);
    insertIfPresent(object, QStringLiteral("averageLatencyMs"), averageLatencyMs);
    return object;
}

EndpointQualityStats EndpointQualityStats::decode(const JsonObjectReader &json)
{
    EndpointQualityStats s;
    s.successfulConnections = json.required<qint64>(u"successfulConnections");
    s.failedConnections = json.required<qint64>(u"failedConnections");
    s.consecutiveFailures = json.required<qint64>(u"consecutiveFailures");
    s.lastSuccessAt = json.optional<double>(u"lastSuccessAt");
    s.lastFailureAt = json.optional<double>(u"lastFailureAt");
    s.averageLatencyMs = json.optional<double>(u"averageLatencyMs");
    return s;
}

QByteArray encodeQualityStatsMap(const EndpointQualityStatsMap &stats)
{
    QJsonObject object;
    for (auto it = stats.constBegin(); it != stats.constEnd(); ++it)
        object.insert(it.key(), it.value().toJson());
    return jsonBytes(object);
}

EndpointQualityStatsMap decodeQualityStatsMap(const QByteArray &data)
{
    const JsonObjectReader json(parseJsonBody(data), QString());
    EndpointQualityStatsMap stats;
    for (const QString &id : json.object().keys())
        stats.insert(id, json.required<EndpointQualityStats>(id));
    return stats;
}

namespace EndpointQuality {

namespace {

double protocolWeight(ProtocolKind kind, bool forAI)
{
    switch (kind) {
    case ProtocolKind::hysteria2: return forAI ? 30 : 60;
    case ProtocolKind::vless: return forAI ? 160 : 140;
    case ProtocolKind::trojan: return forAI ? 180 : 160;
    case ProtocolKind::shadowsocks: return forAI ? 130 : 110;
    case ProtocolKind::naiveproxy: return forAI ? 120 : 90;
    case ProtocolKind::wireguard: return -160;
    case ProtocolKind::unknown: return forAI ? -60 : 0;
    }
    return 0;
}

double statusWeight(NodeStatus status)
{
    switch (status) {
    case NodeStatus::online: return 80;
    case NodeStatus::checking: return -120;
    case NodeStatus::offline: return -1000;
    }
    return -1000;
}

double historyWeight(const EndpointQualityStats &stats, bool forAI, double now)
{
    double weight = 12.0 * static_cast<double>(std::min<qint64>(stats.successfulConnections, 12)) -
                    28.0 * static_cast<double>(std::min<qint64>(stats.failedConnections, 12));
    weight -= (forAI ? 130.0 : 90.0) * static_cast<double>(stats.consecutiveFailures);
    if (stats.averageLatencyMs)
        weight -= (forAI ? 0.45 : 0.3) * *stats.averageLatencyMs;
    if (stats.lastFailureAt) {
        const double age = now - *stats.lastFailureAt;
        if (age < 300)
            weight -= forAI ? 360 : 240;
        else if (age < 1800)
            weight -= forAI ? 220 : 140;
        else if (age < 7200)
            weight -= forAI ? 100 : 60;
    }
    if (stats.lastSuccessAt && now - *stats.lastSuccessAt < 3600)
        weight += 60;
    return weight;
}

// Counters read back from storage may hold anything; they must not overflow.
qint64 incremented(qint64 counter)
{
    return counter < std::numeric_limits<qint64>::max() ? counter + 1 : counter;
}

bool isOffline(const Endpoint &endpoint)
{
    return endpoint.status == NodeStatus::offline;
}

} // namespace

double score(const Endpoint &endpoint, bool forAI, const EndpointQualityStats *stats, double now)
{
    const double latency = endpoint.latencyMs >= 1 ? endpoint.latencyMs : 180;
    const double load = std::clamp(endpoint.loadPercent, 0, 100);
    double total = 1000 - latency * (forAI ? 1.6 : 1.2) - load * (forAI ? 3.2 : 2.4);
    total += protocolWeight(endpoint.preferredProtocol, forAI);
    total += statusWeight(endpoint.status);
    if (forAI) {
        const QString text = (endpoint.region + QLatin1Char(' ') + endpoint.name).toLower();
        if (text.contains(u"ai") || text.contains(u"stable") || text.contains(u"premium"))
            total += 70;
        if (load < 36)
            total += 40;
    }
    if (stats)
        total += historyWeight(*stats, forAI, now);
    return total;
}

QList<Endpoint> sorted(const QList<Endpoint> &endpoints, bool forAI, const EndpointQualityStatsMap &stats, double now)
{
    struct Ranked
    {
        double score;
        const Endpoint *endpoint;
    };
    QList<Ranked> ranked;
    ranked.reserve(endpoints.size());
    for (const Endpoint &endpoint : endpoints) {
        const auto it = stats.constFind(endpoint.id);
        ranked.append({score(endpoint, forAI, it == stats.constEnd() ? nullptr : &*it, now), &endpoint});
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const Ranked &a, const Ranked &b) {
        if (a.score != b.score)
            return a.score > b.score;
        return a.endpoint->latencyMs < b.endpoint->latencyMs;
    });
    QList<Endpoint> result;
    result.reserve(ranked.size());
    for (const Ranked &entry : ranked)
        result.append(*entry.endpoint);
    return result;
}

QList<Endpoint> candidates(const QList<Endpoint> &catalogue, const Endpoint &start, const QSet<QString> &excluding,
                           bool aiEnhanced, const EndpointQualityStatsMap &stats, double now)
{
    QList<Endpoint> available;
    for (const Endpoint &endpoint : catalogue) {
        if (!isOffline(endpoint) && !excluding.contains(endpoint.id))
            available.append(endpoint);
    }

    QSet<QString> added;
    QList<Endpoint> result;
    const auto add = [&](const Endpoint &endpoint) {
        if (!added.contains(endpoint.id)) {
            added.insert(endpoint.id);
            result.append(endpoint);
        }
    };

    // The user's choice leads, except in AI mode (which ranks by its own weighting) and for a WireGuard or
    // Hysteria2 endpoint, which is tried where its score puts it.
    const bool startLeads = !aiEnhanced && start.preferredProtocol != ProtocolKind::wireguard &&
                            start.preferredProtocol != ProtocolKind::hysteria2;
    if (startLeads && !excluding.contains(start.id))
        add(start);
    for (const Endpoint &endpoint : sorted(available, aiEnhanced, stats, now))
        add(endpoint);

    if (result.size() > maxConnectionCandidates)
        result.resize(maxConnectionCandidates);
    return result;
}

EndpointQualityStats afterSuccess(EndpointQualityStats stats, int catalogueLatencyMs, double now)
{
    stats.successfulConnections = incremented(stats.successfulConnections);
    stats.consecutiveFailures = 0;
    stats.lastSuccessAt = now;
    if (catalogueLatencyMs >= 1) {
        const double latency = catalogueLatencyMs;
        stats.averageLatencyMs = stats.averageLatencyMs ? 0.7 * *stats.averageLatencyMs + 0.3 * latency : latency;
    }
    return stats;
}

EndpointQualityStats afterFailure(EndpointQualityStats stats, double now)
{
    stats.failedConnections = incremented(stats.failedConnections);
    stats.consecutiveFailures = incremented(stats.consecutiveFailures);
    stats.lastFailureAt = now;
    return stats;
}

} // namespace EndpointQuality
