#pragma once

#include <QHostAddress>
#include <QString>

// Host names compare without regard to case or a trailing dot.
inline QString normalisedHostName(QString name)
{
    name = name.toLower();
    while (name.endsWith(u'.'))
        name.chop(1);
    return name;
}

// Where a connection wants to go: a host name or an address literal, and a port.
struct Destination
{
    QString host;
    quint16 port = 0;

    bool isAddress() const { return !QHostAddress(host).isNull(); }
    // "host:port", with IPv6 literals in brackets.
    QString toString() const
    {
        const QHostAddress address(host);
        const bool v6 = !address.isNull() && address.protocol() == QAbstractSocket::IPv6Protocol;
        return (v6 ? u'[' + host + u']' : host) + u':' + QString::number(port);
    }
};
