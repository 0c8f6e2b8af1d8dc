#include "runtime/SingBoxRuntimeRules.h"

#include "TestHome.h"

#include <QTest>

using namespace SingBox;

class TestSingBoxRules : public QObject
{
    Q_OBJECT

private:
    TestHome m_home;

private Q_SLOTS:
    void listenPortsOfAConfiguration_data()
    {
        QTest::addColumn<QByteArray>("configuration");
        QTest::addColumn<QList<int>>("ports");
        const QList<int> fallback{19090};

        QTest::newRow("no inbounds") << QByteArray(R"({"outbounds":[]})") << fallback;
        QTest::newRow("not json") << QByteArray("inbounds: [") << fallback;
        QTest::newRow("not an object") << QByteArray(R"([{"listen_port":7890}])") << fallback;
        QTest::newRow("inbounds not a list") << QByteArray(R"({"inbounds":{"listen_port":7890}})") << fallback;
        QTest::newRow("number") << QByteArray(R"({"inbounds":[{"listen_port":7890}]})") << QList<int>{7890};
        QTest::newRow("decimal text") << QByteArray(R"({"inbounds":[{"listen_port":"7890"}]})") << QList<int>{7890};
        QTest::newRow("signed text") << QByteArray(R"({"inbounds":[{"listen_port":"+7890"}]})") << QList<int>{7890};
        QTest::newRow("unusable values skipped")
            << QByteArray(R"({"inbounds":[{"listen_port":"78x"},{"listen_port":" 7890"},{"listen_port":7890.5},)"
                          R"({"listen_port":true},{"listen_port":0},{"listen_port":70000},{"listen_port":"-1"},)"
                          R"({"tag":"x"},"text",{"listen_port":19110}]})")
            << QList<int>{19110};
        QTest::newRow("deduplicated and sorted")
            << QByteArray(R"({"inbounds":[{"listen_port":19110},{"listen_port":"19090"},{"listen_port":19090}]})")
            << QList<int>{19090, 19110};
    }

    void listenPortsOfAConfiguration()
    {
        QFETCH(QByteArray, configuration);
        QFETCH(QList<int>, ports);
        QCOMPARE(listenPorts(configuration), ports);
    }

    void ownCoresByCommandLine_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("owned");
        QTest::newRow("active configuration")
            << "/opt/homebrew/bin/sing-box run -c /Users/a/x/tovren-active.json" << true;
        QTest::newRow("bundled core") << "/Applications/Tovren.app/Contents/Resources/sing-box run -c /tmp/c.json"
                                      << true;
        QTest::newRow("runtime folder, any case")
            << "/usr/local/bin/SING-BOX run -c /Users/a/Library/Application Support/TOVREN/x.json" << true;
        QTest::newRow("earlier product name") << "/opt/homebrew/bin/sing-box run -c /tmp/meriq.json" << true;
        QTest::newRow("user's own sing-box") << "/opt/homebrew/bin/sing-box run -c /tmp/tmp.x1/config.json" << false;
        QTest::newRow("product without sing-box") << "/Applications/Tovren.app/Contents/MacOS/Tovren" << false;
        QTest::newRow("empty") << "" << false;
    }

    void ownCoresByCommandLine()
    {
        QFETCH(QString, command);
        QFETCH(bool, owned);
        QCOMPARE(isOwnedSingBoxCommand(command), owned);
    }

    void pidFileContents_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<std::optional<int>>("pid");
        QTest::newRow("with white space") << " 4242\n" << std::optional<int>(4242);
        QTest::newRow("empty") << "" << std::optional<int>();
        QTest::newRow("not a number") << "42a" << std::optional<int>();
        QTest::newRow("too large") << "99999999999" << std::optional<int>();
        // kill(0) signals the whole process group and kill(-1) every process the user may signal.
        QTest::newRow("zero") << "0" << std::optional<int>();
        QTest::newRow("minus one") << "-1" << std::optional<int>();
    }

    void pidFileContents()
    {
        QFETCH(QString, text);
        QFETCH(std::optional<int>, pid);
        QCOMPARE(parsePID(text), pid);
    }

    void listenersFromLsof()
    {
        QCOMPARE(parseListeningPIDs("812\n77\n\nlsof: WARNING x\n812\n"), (QList<int>{812, 77, 812}));
        QVERIFY(parseListeningPIDs("").isEmpty());
        // Field output over a range, as macOS prints it (with the descriptor field): per asked port, in output order.
        QCOMPARE(
            parseListeners("p812\nf3\nn127.0.0.1:19091\nf4\nn[::1]:19091\np77\nf5\nn*:19110\nn*:8080\np9\nn*:19091\n",
                           {19090, 19091, 19110}),
            (QList<QList<int>>{{}, {812, 9}, {77}}));
        QCOMPARE(listeningArguments(QList<int>{19110, 19090, 19091, 19092, 19095}),
                 (QStringList{"-nP", "-iTCP:19090-19092,19095,19110", "-sTCP:LISTEN", "-Fpn"}));
        QVERIFY(outputNamesProcess("  812\n", 812));
        QVERIFY(!outputNamesProcess("  8123\n", 812));
    }

    void cleanedFailureTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("cleaned");

        QStringList thirty;
        QStringList lastTen;
        for (int i = 1; i <= 30; ++i) {
            thirty << QStringLiteral("\x1B[31mERROR\x1B[0m line %1 \x1B[1;33m!\x1B[m").arg(i);
            if (i > 20)
                lastTen << QStringLiteral("ERROR line %1 !").arg(i);
        }
        QTest::newRow("30 coloured lines") << thirty.join(u'\n') << lastTen.join(u'\n');
        QTest::newRow("blank lines dropped") << "\n  a\n\n\r\nb  \n"
                                             << "a\nb";
        QTest::newRow("only colour codes") << "\x1B[0m \n\x1B[31m" << noLogMessage();
        QTest::newRow("empty") << "" << QStringLiteral("没有捕获到 sing-box 输出日志。");
    }

    void cleanedFailureTexts()
    {
        QFETCH(QString, text);
        QFETCH(QString, cleaned);
        QCOMPARE(cleanMessage(text), cleaned);
    }

    void administratorScriptEndsEveryPid()
    {
        QCOMPARE(privilegedTerminationScript({12, 34}),
                 QStringLiteral("kill 12 >/dev/null 2>&1 || true\nsleep 0.2\nkill -9 12 >/dev/null 2>&1 || true\n"
                                "kill 34 >/dev/null 2>&1 || true\nsleep 0.2\nkill -9 34 >/dev/null 2>&1 || true"));
    }
};

QTEST_GUILESS_MAIN(TestSingBoxRules)
#include "test_singbox_rules.moc"
