#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// The system proxy settings of macOS network services as networksetup shows and takes them: the records,
// the argument lists of its verbs and the reading of its output. Pure functions, no process is run here.
namespace SystemProxy {

enum class ProxyKind { web, secureWeb, socks };
const QList<ProxyKind> &allProxyKinds(); // web, secure web, SOCKS

struct ProxyState
{
    bool enabled = false;
    QString server;
    int port = 0;

    friend bool operator==(const ProxyState &, const ProxyState &) = default;
};

struct ServiceProxySnapshot
{
    QString service;
    ProxyState web;
    ProxyState secureWeb;
    ProxyState socks;
    QStringList bypassDomains;

    const ProxyState &state(ProxyKind kind) const;
    ProxyState &state(ProxyKind kind);
};

// "-getwebproxy", "-getsecurewebproxy", "-getsocksfirewallproxy"
QString readVerb(ProxyKind kind);

QStringList listServicesArguments();
QStringList readStateArguments(ProxyKind kind, const QString &service);
// The server and port, with proxy authentication off.
QStringList setServerArguments(ProxyKind kind, const QString &service, const QString &server, int port);
QStringList setStateArguments(ProxyKind kind, const QString &service, bool on);
QStringList readBypassArguments(const QString &service);
// An empty list is written as the single word "Empty", which networksetup takes as "no entries".
QStringList setBypassArguments(const QString &service, const QStringList &domains);

// The enabled services of "-listallnetworkservices", in order: the heading and disabled services (marked
// with a leading asterisk) are left out.
QStringList parseNetworkServices(const QString &output);
// "Enabled: Yes", "Server: ...", "Port: ..." of a read verb; missing or unreadable values keep the defaults
// (a port outside 1 to 65535 is unreadable).
ProxyState parseProxyState(const QString &output);
// The entries of "-getproxybypassdomains"; the tool's message for an empty list reads as no entries.
QStringList parseBypassDomains(const QString &output);

// The existing entries followed by the client's domestic bypass domains, trimmed, without empty entries
// and without repeats compared regardless of letter case (the first spelling is kept).
QStringList mergedBypassDomains(const QStringList &existing);

// A setting that points at the client's local proxy (127.0.0.1 on one of ports 19090 to 19109).
bool isOwnedByClient(const ProxyState &state);

} // namespace SystemProxy
