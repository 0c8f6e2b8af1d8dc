#pragma once

#include "CommandResult.h"
#include "SystemProxySettings.h"

#include <QCoro/QCoroTask>
#include <QDeadlineTimer>
#include <QObject>
#include <QStringList>
#include <optional>

// Points the HTTP, HTTPS and SOCKS proxy settings of every enabled network service at the local proxy
// core, and puts them back afterwards. Works only through networksetup: first as the user, and when that
// fails for every service, through one administrator prompt for the whole batch.
//
// The settings found before the first change are kept in memory and on disk (ProxySnapshotFile), and
// restored on disable, also by a later process when this one ended without its clean-up. Whatever still
// points at one of the client's own ports is switched off on every disable, which also repairs what a
// crashed run left behind. Nothing here fails outward: failures end up in the returned notes.
//
// Callers run enable and disable one at a time and await each (the commands of two overlapping calls
// would interleave).
class MacOSSystemProxyManager final : public QObject
{
    Q_OBJECT

public:
    explicit MacOSSystemProxyManager(QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(MacOSSystemProxyManager)

    // Returns notes for the activity log.
    QCoro::Task<QStringList> enableLocalProxy(int port);
    QCoro::Task<> disableLocalProxy(bool allowAuthorization);

    // Whether settings from before the first change are held (between an enable and the next disable).
    bool hasSnapshot() const { return m_snapshot.has_value(); }

private:
    struct EnableOutcome
    {
        QStringList enabled;
        QStringList failed;
    };

    QCoro::Task<QStringList> networkServices();
    // Settings in `known` (a sweep's reads, per service in order) are taken as they are, not read again.
    QCoro::Task<QList<SystemProxy::ServiceProxySnapshot>>
    captureSnapshot(QStringList services, QList<SystemProxy::ServiceProxySnapshot> known);
    QCoro::Task<SystemProxy::ProxyState> readProxyState(QString service, SystemProxy::ProxyKind kind);
    QCoro::Task<QStringList> readProxyBypassDomains(QString service);
    QCoro::Task<EnableOutcome> enableLocalProxyWithAuthorization(QStringList services, QList<QStringList> bypassLists,
                                                                 int port);
    // Both return whether the commands succeeded as the user.
    QCoro::Task<bool> restore(SystemProxy::ProxyState saved, QString service, SystemProxy::ProxyKind kind,
                              bool allowAuthorization);
    QCoro::Task<bool> restoreProxyBypassDomains(QString service, QStringList domains, bool allowAuthorization);
    QCoro::Task<> disableOwnedProxyFallback(bool allowAuthorization);

    // The seven commands that point one service at the port: servers, bypass list, states.
    QList<QStringList> enableCommands(const QString &service, int port, const QStringList &bypassDomains) const;
    // Runs each as the user; true when every one returned status 0.
    QCoro::Task<bool> runAllAsUser(QList<QStringList> commands);

    QCoro::Task<CommandResult> runNetworkSetup(QStringList arguments);
    QCoro::Task<CommandResult> runNetworkSetupWithAuthorization(QList<QStringList> commands);

    const QString m_host;
    const QString m_networkSetupPath;
    std::optional<QList<SystemProxy::ServiceProxySnapshot>> m_snapshot;
    // What the last sweep read when none of it was the client's own (bypass lists not read), until that is too
    // old to rely on or something is set: a disable then has nothing to do, and an enable need not read it again.
    struct QuietSweep
    {
        QList<SystemProxy::ServiceProxySnapshot> services;
        QDeadlineTimer fresh;
    };
    std::optional<QuietSweep> m_quietSweep;
};
