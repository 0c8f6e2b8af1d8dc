#include "HostMap.h"

#include "Destination.h"

#include <QHostAddress>
#include <QRegularExpression>

namespace {

// Splits "host", "host:port", "[v6]" or "[v6]:port"; false when the port is not a number from 1 to 65535.
bool splitHostPort(const QString &text, QString *host, int *port)
{
    *port = -1;
    QString rest;
    bool hasPort = false;
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0)
            return false;
        *host = text.mid(1, close - 1);
        rest = text.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(u':'))
            return false;
        hasPort = !rest.isEmpty();
        rest = rest.mid(1);
    } else if (text.count(u':') > 1) {
        return false; // a bare IPv6 address must be bracketed
    } else {
        hasPort = text.contains(u':');
        *host = text.section(u':', 0, 0);
        rest = text.section(u':', 1);
    }
    if (host->isEmpty())
        return false;
    if (!hasPort)
        return true;
    bool ok = false;
    const int value = rest.toInt(&ok);
    if (!ok || value < 1 || value > 65535)
        return false;
    *port = value;
    return true;
}

} // namespace

std::optional<HostMap> HostMap::parse(const QString &text, QString *error)
{
    HostMap map;
    static const QRegularExpression separators(QStringLiteral("[,;\\s]+"));
    for (const QString &item : text.split(separators, Qt::SkipEmptyParts)) {
        const qsizetype equals = item.indexOf(u'=');
        Entry entry;
        QString pattern;
        if (equals <= 0 || !splitHostPort(item.left(equals), &pattern, &entry.port) ||
            !splitHostPort(item.mid(equals + 1), &entry.host, &entry.targetPort)) {
            *error = QStringLiteral("TOVREN_DEVSTACK_HOSTS: cannot read \"%1\" (expected name[:port]=address[:port])")
                         .arg(item);
            return std::nullopt;
        }
        entry.pattern = normalisedHostName(pattern);
        if (entry.pattern.contains(u'*') && entry.pattern != QLatin1String("*") &&
            (!entry.pattern.startsWith(QLatin1String("*.")) || entry.pattern.mid(2).contains(u'*'))) {
            *error =
                QStringLiteral("TOVREN_DEVSTACK_HOSTS: \"%1\": a wildcard must be \"*\" or \"*.suffix\"").arg(item);
            return std::nullopt;
        }
        map.m_entries << entry;
    }
    return map;
}

std::optional<HostMap> HostMap::fromEnvironment(QString *error)
{
    return parse(qEnvironmentVariable("TOVREN_DEVSTACK_HOSTS"), error);
}

HostMap::Target HostMap::map(const QString &host, quint16 port) const
{
    const QString name = normalisedHostName(host);
    const Entry *best = nullptr;
    int bestScore = -1;
    for (const Entry &entry : m_entries) {
        if (entry.port >= 0 && entry.port != port)
            continue;
        int score = -1;
        if (entry.pattern == name) {
            score = 3'000'000;
        } else if (entry.pattern.startsWith(QLatin1String("*."))) {
            const QString suffix = entry.pattern.mid(1); // ".example.com"
            if (name.endsWith(suffix))
                score = 2'000'000 + int(suffix.size()) * 2;
        } else if (entry.pattern == QLatin1String("*")) {
            score = 1'000'000;
        }
        if (score < 0)
            continue;
        if (entry.port >= 0)
            score += 1;
        if (score > bestScore) {
            bestScore = score;
            best = &entry;
        }
    }
    if (!best)
        return {host, port};
    return {best->host, best->targetPort >= 0 ? quint16(best->targetPort) : port};
}
