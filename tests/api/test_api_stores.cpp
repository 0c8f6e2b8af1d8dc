#include "TestHome.h"
#include "api/DeviceIdentityStore.h"
#include "api/SessionStore.h"
#include "core/Preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>

namespace {

// What another program (or an older version) left in the settings file, written as raw JSON.
void writeSettingsFile(const TestHome &home, const QByteArray &json)
{
    QDir().mkpath(QFileInfo(home.settingsFile()).absolutePath());
    QFile f(home.settingsFile());
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(json);
}

QJsonObject readSettingsFile(const TestHome &home)
{
    QFile f(home.settingsFile());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(f.readAll()).object();
}

} // namespace

class TestStores : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void sessionTokenSurvivesARestartUnderItsKey()
    {
        TestHome home;
        {
            Preferences prefs;
            SessionStore store(prefs);
            QCOMPARE(store.read(), std::nullopt);
            store.save("tok-1");
            store.save("tok 2/é");
        }
        Preferences prefs;
        SessionStore store(prefs);
        QCOMPARE(store.read(), std::optional<QString>("tok 2/é"));
        QCOMPARE(readSettingsFile(home).value("tovren.sessionToken").toString(), QString("tok 2/é"));
        QCOMPARE(QString(SessionStore::service), QString("com.tovren.macos.session"));
        QCOMPARE(QString(SessionStore::account), QString("authToken"));
    }

    void signingOutKeepsTheDeviceIdentities()
    {
        TestHome home;
        Preferences prefs;
        SessionStore session(prefs);
        DeviceIdentityStore devices(prefs);
        session.save("tok");
        const QString clientId = devices.clientDeviceId();
        devices.saveServerDeviceId("dev_1", QString("usr_a"));
        session.clear();
        QCOMPARE(session.read(), std::nullopt);
        QVERIFY(!readSettingsFile(home).contains("tovren.sessionToken"));
        QCOMPARE(devices.clientDeviceId(), clientId);
        QCOMPARE(devices.serverDeviceId(QString("usr_a")), std::optional<QString>("dev_1"));
    }

    void wrongTypedOrEmptyValuesReadAsAbsent_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("number") << QByteArray("42");
        QTest::newRow("boolean") << QByteArray("true");
        QTest::newRow("object") << QByteArray("{\"token\": \"x\"}");
        QTest::newRow("array") << QByteArray("[\"x\"]");
        QTest::newRow("null") << QByteArray("null");
        QTest::newRow("empty string") << QByteArray("\"\"");
    }

    void wrongTypedOrEmptyValuesReadAsAbsent()
    {
        QFETCH(QByteArray, value);
        TestHome home;
        writeSettingsFile(home, "{\"tovren.sessionToken\": " + value + ", \"tovren.clientDeviceId\": " + value +
                                    ", \"tovren.serverDeviceId.usr_a\": " + value + "}");
        Preferences prefs;
        QCOMPARE(SessionStore(prefs).read(), std::nullopt);
        DeviceIdentityStore devices(prefs);
        QCOMPARE(devices.serverDeviceId(QString("usr_a")), std::nullopt);
        // A client id that is not a usable string is replaced by a fresh one, which then stays.
        const QString made = devices.clientDeviceId();
        QVERIFY(made.startsWith("macos-"));
        QCOMPARE(devices.clientDeviceId(), made);
        QCOMPARE(readSettingsFile(home).value("tovren.clientDeviceId").toString(), made);
    }

    void aFreshClientDeviceIdIsStableAndWellFormed()
    {
        TestHome home;
        QString first;
        {
            Preferences prefs;
            first = DeviceIdentityStore(prefs).clientDeviceId();
        }
        static const QRegularExpression form("^macos-[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$");
        QVERIFY2(form.match(first).hasMatch(), qPrintable(first));
        Preferences prefs;
        QCOMPARE(DeviceIdentityStore(prefs).clientDeviceId(), first);
        QCOMPARE(readSettingsFile(home).value("tovren.clientDeviceId").toString(), first);

        TestHome other;
        Preferences otherPrefs;
        QVERIFY(DeviceIdentityStore(otherPrefs).clientDeviceId() != first);
    }

    void theLegacyDeviceIdIsTakenOverAndLeftInPlace_data()
    {
        QTest::addColumn<QByteArray>("settings");
        QTest::addColumn<QString>("expected");
        QTest::newRow("legacy only") << QByteArray("{\"tovren.deviceId\": \"OLD-Device 7\"}") << "OLD-Device 7";
        QTest::newRow("current wins") << QByteArray(
                                             "{\"tovren.deviceId\": \"old\", \"tovren.clientDeviceId\": \"new\"}")
                                      << "new";
        QTest::newRow("legacy not a string") << QByteArray("{\"tovren.deviceId\": 7}") << QString();
    }

    void theLegacyDeviceIdIsTakenOverAndLeftInPlace()
    {
        QFETCH(QByteArray, settings);
        QFETCH(QString, expected);
        TestHome home;
        writeSettingsFile(home, settings);
        const QJsonValue legacyBefore = readSettingsFile(home).value("tovren.deviceId");
        Preferences prefs;
        DeviceIdentityStore devices(prefs);
        const QString id = devices.clientDeviceId();
        if (expected.isEmpty())
            QVERIFY(id.startsWith("macos-"));
        else
            QCOMPARE(id, expected);
        const QJsonObject after = readSettingsFile(home);
        QCOMPARE(after.value("tovren.clientDeviceId").toString(), id);
        QCOMPARE(after.value("tovren.deviceId"), legacyBefore);
    }

    void serverDeviceIdsAreKeptPerAccount()
    {
        TestHome home;
        Preferences prefs;
        DeviceIdentityStore devices(prefs);
        devices.saveServerDeviceId("dev_a", QString("usr_a"));
        devices.saveServerDeviceId("dev_b", QString("usr/b.2"));
        devices.saveServerDeviceId("dev_a2", QString("usr_a"));
        QCOMPARE(devices.serverDeviceId(QString("usr_a")), std::optional<QString>("dev_a2"));
        QCOMPARE(devices.serverDeviceId(QString("usr/b.2")), std::optional<QString>("dev_b"));
        QCOMPARE(devices.serverDeviceId(QString("usr_c")), std::nullopt);

        const QJsonObject file = readSettingsFile(home);
        QCOMPARE(file.value("tovren.serverDeviceId.usr_a").toString(), QString("dev_a2"));
        QCOMPARE(file.value("tovren.serverDeviceId.usr/b.2").toString(), QString("dev_b"));
    }

    void withoutAnAccountNothingIsReadOrWritten_data()
    {
        QTest::addColumn<std::optional<QString>>("userId");
        QTest::newRow("absent") << std::optional<QString>();
        QTest::newRow("empty") << std::optional<QString>(QString());
    }

    void withoutAnAccountNothingIsReadOrWritten()
    {
        QFETCH(std::optional<QString>, userId);
        TestHome home;
        writeSettingsFile(home, "{\"tovren.serverDeviceId.\": \"shared\", \"tovren.serverDeviceId.usr_a\": \"dev_a\"}");
        const QJsonObject before = readSettingsFile(home);
        Preferences prefs;
        DeviceIdentityStore devices(prefs);
        QCOMPARE(devices.serverDeviceId(userId), std::nullopt);
        devices.saveServerDeviceId("dev_x", userId);
        QCOMPARE(readSettingsFile(home), before);
    }
};

QTEST_GUILESS_MAIN(TestStores)
#include "test_api_stores.moc"
