#include "../flows/ConnectionWorld.h"

#include <QTest>

#include <vector>

// The start-up self-test: this executable runs as if started with the switch.
class TestLifecycleSmoke : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void connectsWithAStoredSession()
    {
        ConnectionWorld world(std::nullopt, {QStringLiteral("--provisioning-ms"), QStringLiteral("0")});
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        world.signIn();
        world.restartState(); // what the next launch finds: a stored session
        awaitTask(world.state().bootstrap());
        awaitTask(world.state().runAutoconnectSmokeTestIfRequested(), std::chrono::seconds(120));
        QVERIFY(world.logged(QStringLiteral("自动化连接测试：准备触发一键连接。")));
        QVERIFY2(world.state().connectionState().kind() == ConnectionState::connected,
                 qPrintable(world.state().connectionState().failureMessage()));
        QCOMPARE(world.connectionReports().size(), 1);
    }

    void withoutASessionOpensTheSignInSheet()
    {
        ConnectionWorld world;
        QVERIFY2(world.isValid(), qPrintable(world.errorString()));
        awaitTask(world.state().bootstrap());
        world.state().setShowAuthSheet(false); // the user closed it; the self-test must bring it back
        awaitTask(world.state().runAutoconnectSmokeTestIfRequested());
        QVERIFY(world.logged(QStringLiteral("自动化连接测试：准备触发一键连接。")));
        QVERIFY(world.state().showAuthSheet());
        QCOMPARE(world.state().connectionState().kind(), ConnectionState::disconnected);
        QCOMPARE(world.protocolConfigRequests().size(), 0);
    }
};

int main(int argc, char **argv)
{
    // The application sees the switch; Qt Test's own options stay as given.
    std::vector<char *> arguments(argv, argv + argc);
    static char smokeSwitch[] = "--tovren-autoconnect-smoke";
    arguments.push_back(smokeSwitch);
    int applicationArgc = static_cast<int>(arguments.size());
    arguments.push_back(nullptr);
    QCoreApplication application(applicationArgc, arguments.data());
    TestLifecycleSmoke test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_lifecycle_smoke.moc"
