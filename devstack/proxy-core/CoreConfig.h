#pragma once

#include "CoreLog.h"
#include "RouteRule.h"

#include <QHostAddress>
#include <QList>
#include <QString>

// The part of a sing-box configuration this core runs. Everything else (dns, experimental, ntp, the route's
// resolver settings) is decoded and ignored, apart from the names it gives; unknown sections and unknown keys of
// the served inbounds are refused as the real decoder refuses them, and so is what this core cannot honour.
struct InboundConfig
{
    QString type; // "mixed" (SOCKS5 and HTTP), "socks" or "http"
    QString tag;
    QHostAddress listen;
    quint16 port = 0;
    bool setSystemProxy = false;
};

struct OutboundConfig
{
    QString type; // "direct", "block", "dns", "socks", "http", "selector", "urltest"
    QString tag;
    QString server; // socks and http: the upstream proxy
    quint16 serverPort = 0;
    QString username;
    QString password;
    QString overrideAddress; // direct
    quint16 overridePort = 0;
    QHostAddress bindAddress; // direct: inet4_bind_address / inet6_bind_address
    QStringList members;      // selector and urltest
    QString defaultMember;    // selector
};

struct CoreConfig
{
    QList<InboundConfig> inbounds;
    QList<OutboundConfig> outbounds;
    QList<RouteRule> rules;
    QString finalTag; // empty: the first outbound
    // A name that points at nothing decodes fine but stops the core when it starts: `check` passes, `run` fails.
    QString startFailure;
    CoreLog::Level logLevel = CoreLog::Level::Info;
    bool logDisabled = false;
    bool logTimestamps = true;

    const OutboundConfig *outbound(const QString &tag) const;

    // Parses and checks a configuration; throws ConfigError with the reason.
    static CoreConfig parse(const QByteArray &json);
};
