// After real connects and disconnects (sing-box and WireGuard), a failed connect, feedback and the Terminal
// installer: every file and folder the client left in its product folders is the owner's alone, nothing readable
// by others holds a secret, and the session token appears nowhere but in the settings store and the
// Authorization header. The process runs with umask 000, so the modes checked are the ones the client sets.
#include "testkit/ConnectionWorld.h"

#include "api/SessionStore.h"
#include "base/Preferences.h"
#include "base/ProductPaths.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>

#include <sys/stat.h>

namespace {

// The client's folders: data (configurations, core files, installers), cache, settings.
QStringList productFolders()
{
    return {ProductPaths::productDirectory(), ProductPaths::cacheDirectory(),
            QFileInfo(Preferences::defaultJsonFilePath()).absolutePath()};
}

struct Entry
{
    QString path;
    bool folder = false;
    mode_t mode = 0;
};

QList<Entry> walk(const QString &root)
{
    QList<Entry> entries;
    QStringList paths{root};
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        paths << it.next();
    for (const QString &path : paths) {
        struct stat info
        {
        };
        if (::lstat(QFile::encodeName(path).constData(), &info) == 0)
            entries.append({path, S_ISDIR(info.st_mode), info.st_mode & 07777});
    }
    return entries;
}

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Credentials the configurations carry: keys, passwords and uuids of the delivered configuration. (Plain
// literals: moc cannot read raw strings with escaped quotes.)
QStringList credentialsIn(const QByteArray &text)
{
    static const QRegularExpression jsonValue(
        QStringLiteral("(?:uuid|password|private_?key)\\\\?\"\\s*:\\s*\\\\?\"([^\"\\\\]{4,})"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression wireGuardKey(QStringLiteral("PrivateKey\\s*=\\s*([A-Za-z0-9+/=]+)"));
    QStringList found;
    for (const QRegularExpression *pattern : {&jsonValue, &wireGuardKey}) {
        for (auto match = pattern->globalMatch(QString::fromUtf8(text)); match.hasNext();)
            found << match.next().captured(1);
    }
    return found;
}

QString modeText(mode_t mode)
{
    return QStringLiteral("%1").arg(mode, 4, 8, QLatin1Char('0'));
}

} // namespace

class TestHardeningPermissions : public QObject
{
    Q_OBJECT

private:
    mode_t m_savedMask = 0;
    QStringList m_secrets; // gathered from every walk of a test

    QString token() const
    {
        Preferences preferences(Preferences::defaultJsonFilePath());
        return SessionStore(preferences).read().value_or(QString());
    }

    // Every folder 0700; every file 0600, the Terminal script 0700 (Terminal runs it as its owner); nothing that
    // others may read holds a secret, and no log holds the token.
    void checkProductFolders()
    {
        QList<Entry> entries;
        for (const QString &folder : productFolders()) {
            if (QFileInfo::exists(folder))
                entries += walk(folder);
        }
        QVERIFY(!entries.isEmpty());
        for (const Entry &entry : entries) {
            if (!entry.folder)
                m_secrets += credentialsIn(contents(entry.path));
        }
        m_secrets.removeDuplicates();

        QStringList wrong;
        for (const Entry &entry : entries) {
            const bool script = entry.path.endsWith(QLatin1String(".command"));
            const mode_t wanted = entry.folder || script ? 0700 : 0600;
            if (entry.mode != wanted)
                wrong << modeText(entry.mode) + u' ' + entry.path;
            if (entry.folder)
                continue;
            const QByteArray text = contents(entry.path);
            QStringList forbidden = entry.path.endsWith(QLatin1String(".log")) ? QStringList{token()} : QStringList();
            if (entry.mode & 0044)
                forbidden += m_secrets + QStringList{token(), "PrivateKey", "private_key"};
            for (const QString &secret : std::as_const(forbidden)) {
                if (!secret.isEmpty() && text.contains(secret.toUtf8()))
                    wrong << QStringLiteral("holds a secret: ") + entry.path;
            }
        }
        QVERIFY2(wrong.isEmpty(), qPrintable(wrong.join(u'\n')));
    }

    // The token reached the control plane only as a credential: not in a report body, a ticket, a URL.
    void checkTokenStaysInTheHeader(ConnectionWorld &world, const QString &sessionToken)
    {
        QVERIFY(!sessionToken.isEmpty());
        for (const LogEntry &entry : world.state().logs())
            QVERIFY2(!entry.message.contains(sessionToken), qPrintable(entry.message));
        const QJsonObject state = world.plane().state();
        for (const char *kind : {"connectionReports", "crashReports", "ticketSubmissions"}) {
            const QByteArray sent = QJsonDocument(state.value(QLatin1String(kind)).toArray()).toJson();
            QVERIFY2(!sent.contains(sessionToken.toUtf8()), kind);
        }
        const QJsonArray requests = state.value(QStringLiteral("requests")).toArray();
        QVERIFY(!requests.isEmpty());
        for (const QJsonValue &request : requests) {
            const QString url =
                request[QStringLiteral("path")].toString() + request[QStringLiteral("query")].toString();
            QVERIFY2(!url.contains(sessionToken), qPrintable(url));
        }
    }

private Q_SLOTS:
    void initTestCase() { m_savedMask = ::umask(0); }
    void cleanupTestCase() { ::umask(m_savedMask); }
    void init() { m_secrets.clear(); }

    void singBoxConnectionFailureFeedbackAndInstaller()
    {
        ConnectionWorld world(ConnectionWorld::demoDataSet({QStringLiteral("ep_hk_01")}));
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        world.signIn();
        const QString sessionToken = token();
        AppState &state = world.state();

        world.connectTo(QStringLiteral("ep_hk_01"));
        QVERIFY2(state.connectionState().kind() == ConnectionState::connected,
                 qPrintable(state.connectionState().failureMessage()));
        // (The core's configuration is gone once the core has read it; the cache keeps the credentials.)
        QVERIFY(QFileInfo::exists(ProductPaths::cacheDirectory() + QStringLiteral("/quick-connect-cache.json")));
        QVERIFY(QFileInfo::exists(ProductPaths::singBoxDirectory() + QStringLiteral("/sing-box.log")));
        checkProductFolders();
        awaitTask(state.toggleConnection());
        QCOMPARE(state.connectionState().kind(), ConnectionState::disconnected);

        // A connect that fails sends a diagnostic report with the recent log.
        const HttpResult fault =
            world.plane().admin("POST", QStringLiteral("/faults"),
                                {{"method", "POST"}, {"path", "/client/devices/*/protocol-config"}, {"status", 500}});
        QVERIFY2(fault.status / 100 == 2, fault.body.constData());
        world.connectTo(QStringLiteral("ep_hk_01"));
        QCOMPARE(state.connectionState().kind(), ConnectionState::failed);
        QCOMPARE(world.crashReports().size(), 1);

        awaitTask(state.submitFeedback(QStringLiteral("连接问题"), QString(), QStringLiteral("附上日志。")));
        QCOMPARE(world.plane().state().value(QStringLiteral("ticketSubmissions")).toArray().size(), 1);
        awaitTask(state.installWireGuardToolsInTerminal());

        checkProductFolders();
        checkTokenStaysInTheHeader(world, sessionToken);
    }

    void wireGuardConnection()
    {
        ConnectionWorld world(ConnectionWorld::demoDataSet({QStringLiteral("ep_de_wg")}));
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        world.mac().setInstalled(SimulatedMac::Package::WireGuardTools, true);
        world.mac().setInstalled(SimulatedMac::Package::HomebrewBash, true);
        qputenv("TOVREN_PROBE_TARGETS", QStringLiteral("direct=http://127.0.0.1:%1/generate_204")
                                            .arg(world.probes().internet().serverPort())
                                            .toUtf8());
        world.signIn();
        const QString sessionToken = token();
        AppState &state = world.state();

        world.connectTo(QStringLiteral("ep_de_wg"));
        QVERIFY2(state.connectionState().kind() == ConnectionState::connected,
                 qPrintable(state.connectionState().failureMessage()));
        const QString conf = ProductPaths::protocolsDirectory() + QStringLiteral("/tovren-active.conf");
        QVERIFY(contents(conf).contains("PrivateKey"));
        checkProductFolders();
        QVERIFY(!m_secrets.isEmpty()); // the walk saw the private key
        awaitTask(state.toggleConnection());
        QCOMPARE(state.connectionState().kind(), ConnectionState::disconnected);
        qunsetenv("TOVREN_PROBE_TARGETS");

        checkProductFolders();
        checkTokenStaysInTheHeader(world, sessionToken);
    }
};

QTEST_GUILESS_MAIN(TestHardeningPermissions)
#include "test_hardening_permissions.moc"
