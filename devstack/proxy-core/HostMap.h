#pragma once

#include <QList>
#include <QString>
#include <optional>

// The devstack's name service: host names that the core sends to local servers instead of the real ones, so
// that probe targets and "the internet" can be test servers on loopback. Read from TOVREN_DEVSTACK_HOSTS:
//
//   TOVREN_DEVSTACK_HOSTS="www.google.com=127.0.0.1:18080, *.openai.com=127.0.0.1:18081, api.x.com:443=127.0.0.1"
//
// Entries are separated by commas, semicolons or white space. The left side is a host name, optionally with
// ":port" (then only that port matches), "*.suffix" (every name below the suffix) or "*" (every name). The right
// side is an address or name, optionally with ":port" (else the requested port is kept); IPv6 goes in brackets.
// The most specific entry wins: exact name, then the longest wildcard suffix, then "*"; with a port before
// without. The map applies to every outbound: the core dials the mapped address directly, or asks its upstream
// proxy for the mapped address. Routing still sees the requested name.
class HostMap final
{
public:
    struct Target
    {
        QString host;
        quint16 port = 0;
    };

    static std::optional<HostMap> parse(const QString &text, QString *error);
    static std::optional<HostMap> fromEnvironment(QString *error);

    Target map(const QString &host, quint16 port) const;
    bool isEmpty() const { return m_entries.isEmpty(); }
    qsizetype size() const { return m_entries.size(); }

private:
    struct Entry
    {
        QString pattern; // lower-case name, "*.suffix" or "*"
        int port = -1;   // -1: any port
        QString host;
        int targetPort = -1; // -1: keep the requested port
    };

    QList<Entry> m_entries;
};
