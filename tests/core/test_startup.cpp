#include "TestHome.h"

#include <QProcess>
#include <QTest>

// The real executable starts offscreen and its activity log says it is ready.
class TestStartup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void clientStartsAndLogsReady()
    {
        TestHome home;
        QProcess client;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        client.setProcessEnvironment(env);
        client.start(qEnvironmentVariable("TOVREN_BUILD_DIR") + "/src/app/tovren", {"--print-log"});
        QVERIFY(client.waitForStarted(5000));
        QByteArray output;
        QTRY_VERIFY_WITH_TIMEOUT((output += client.readAllStandardOutput()).contains("客户端已就绪。"), 10000);
        client.terminate();
        QVERIFY(client.waitForFinished(5000));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"
