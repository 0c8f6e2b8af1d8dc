#include "AwaitTask.h"
#include "SimulatedMac.h"
#include "TestHome.h"

#include "core/AppState.h"

#include <QRegularExpression>
#include <QTest>

Q_DECLARE_METATYPE(std::optional<QString>)

// The connection's own rules: how outcomes are classified, when failover stops, how long provisioning is waited
// for, and the attempt's state log.
class TestFlowsConnectionRules : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void classifiesOutcomes_data()
    {
        QTest::addColumn<QString>("status");
        QTest::addColumn<std::optional<QString>>("message");
        QTest::addColumn<QString>("stage");
        QTest::addColumn<QString>("code");
        const auto row = [](const char *name, const char *status, std::optional<QString> message, const char *stage,
                            const char *code) {
            QTest::newRow(name) << QString::fromUtf8(status) << message << QString::fromUtf8(stage)
                                << QString::fromUtf8(code);
        };
        row("connected", "connected", std::nullopt, "connected", "OK");
        row("connected ignores the text", "connected", u"内核启动失败"_qs, "connected", "OK");
        row("disconnected without text", "disconnected", std::nullopt, "rollback", "UNKNOWN_FAILURE");
        row("disconnected with text", "disconnected", u"sing-box 退出"_qs, "rollback", "KERNEL_START_FAILED");
        row("node preparing", "failed", u"节点准备中"_qs, "node_ready_wait", "NODE_NOT_READY");
        row("not ready, any case", "failed", u"Config NOT_READY yet"_qs, "node_ready_wait", "NODE_NOT_READY");
        row("node unavailable keeps the config stage", "failed", u"节点不可用：协议配置同步失败。"_qs, "config_prepare",
            "NODE_UNAVAILABLE");
        row("protocol config, any case", "failed", u"Protocol_Config missing"_qs, "config_prepare", "CONFIG_FAILED");
        row("core", "failed", u"Sing-Box 启动失败"_qs, "kernel_start", "KERNEL_START_FAILED");
        row("wireguard", "failed", u"WireGuard 命令执行失败。"_qs, "kernel_start", "KERNEL_START_FAILED");
        row("verification", "failed", u"代理连通性验证失败"_qs, "quick_verify", "QUICK_VERIFY_FAILED");
        row("anything else", "failed", u"网络异常"_qs, "fallback", "UNKNOWN_FAILURE");
        row("no text", "failed", std::nullopt, "fallback", "UNKNOWN_FAILURE");
    }

    void classifiesOutcomes()
    {
        QFETCH(QString, status);
        QFETCH(std::optional<QString>, message);
        QFETCH(QString, stage);
        QFETCH(QString, code);
        QCOMPARE(AppState::connectionStateStage(status, message), stage);
        QCOMPARE(AppState::connectionReasonCode(status, message), code);
    }

    void stopsFailoverForProblemsOfThisComputer_data()
    {
        QTest::addColumn<QString>("description");
        QTest::addColumn<bool>("tryNext");
        QTest::addColumn<bool>("systemProxy");
        QTest::newRow("busy port") << "listen tcp 127.0.0.1:19090: bind: Address Already In Use" << false << false;
        QTest::newRow("local proxy port") << "本地代理端口 19090 不可用" << false << false;
        QTest::newRow("AI port") << "AI 专用代理端口 19110 已被占用" << false << false;
        QTest::newRow("authorization") << "需要管理员授权才能修改系统代理" << false << false;
        QTest::newRow("privileges") << "Command requires Administrator Privileges" << false << false;
        QTest::newRow("leftovers") << "检测到旧连接残留" << false << false;
        QTest::newRow("node timeout") << "节点凭证同步超时，请稍后重试或切换节点。" << true << false;
        QTest::newRow("proxy not applied") << "系统代理未生效，已回滚" << true << true;
        QTest::newRow("proxy settings not applied") << "系统代理设置未生效" << true << true;
        QTest::newRow("empty") << "" << true << false;
    }

    void stopsFailoverForProblemsOfThisComputer()
    {
        QFETCH(QString, description);
        QFETCH(bool, tryNext);
        QFETCH(bool, systemProxy);
        QCOMPARE(AppState::shouldTryNextEndpoint(description), tryNext);
        QCOMPARE(AppState::shouldTryNextEndpoint(TovrenError(description)), tryNext);
        QCOMPARE(AppState::isSystemProxyFailure(description), systemProxy);
    }

    void waitsForProvisioning_data()
    {
        QTest::addColumn<qint64>("retryAfterMs");
        QTest::addColumn<qint64>("leftMs");
        QTest::addColumn<qint64>("delayMs");
        QTest::newRow("short retry is raised") << qint64(800) << qint64(5000) << qint64(1500);
        QTest::newRow("retry within bounds") << qint64(2500) << qint64(5000) << qint64(2500);
        QTest::newRow("long retry is capped") << qint64(600000) << qint64(5000) << qint64(3000);
        QTest::newRow("capped by time left") << qint64(2800) << qint64(2600) << qint64(2600);
        QTest::newRow("no retry given") << qint64(0) << qint64(5000) << qint64(1500);
        QTest::newRow("negative retry") << qint64(-40) << qint64(5000) << qint64(1500);
        QTest::newRow("almost out of time") << qint64(2500) << qint64(299) << qint64(1500);
        QTest::newRow("deadline passed") << qint64(2500) << qint64(-100) << qint64(1500);
    }

    void waitsForProvisioning()
    {
        QFETCH(qint64, retryAfterMs);
        QFETCH(qint64, leftMs);
        QFETCH(qint64, delayMs);
        QCOMPARE(AppState::provisioningRetryDelayMs(retryAfterMs, leftMs), delayMs);
    }

    void boundsTheServersMaximumWait_data()
    {
        QTest::addColumn<qint64>("maxWaitMs");
        QTest::addColumn<qint64>("deadlineMs");
        QTest::newRow("zero") << qint64(0) << qint64(1000);
        QTest::newRow("negative") << qint64(-5000) << qint64(1000);
        QTest::newRow("as asked") << qint64(5000) << qint64(5000);
        QTest::newRow("absurd") << std::numeric_limits<qint64>::max() << AppState::maxProvisioningWaitMs;
    }

    void boundsTheServersMaximumWait()
    {
        QFETCH(qint64, maxWaitMs);
        QFETCH(qint64, deadlineMs);
        QCOMPARE(AppState::provisioningDeadlineMs(maxWaitMs), deadlineMs);
    }

    void keepsTheNewestStateRecordsOfOneAttempt()
    {
        TestHome home;
        SimulatedMac mac;
        QVERIFY2(mac.isValid(), qPrintable(mac.errorString()));
        AppState state;
        QTRY_VERIFY_WITH_TIMEOUT(state.startupCleanupFinished(), 30000);
        QVERIFY(state.logs().first().message == QStringLiteral("已检查并清理上次异常退出残留连接。"));

        const Endpoint endpoint = state.endpoints().first();
        state.beginConnectionAttempt(std::nullopt);
        const QString attempt = state.currentAttemptId();
        QVERIFY(QRegularExpression(QStringLiteral("^att_[0-9A-F]{18}$")).match(attempt).hasMatch());
        QVERIFY(QRegularExpression(QStringLiteral("^req_[0-9A-F]{18}$")).match(state.currentRequestId()).hasMatch());
        const StateRecord first = state.currentStateLog().first();
        QCOMPARE(first.value(QStringLiteral("stage")), QStringLiteral("auth_check"));
        QVERIFY(!first.contains(QStringLiteral("endpointId")) && !first.contains(QStringLiteral("protocol")));

        for (int i = 0; i < 70; ++i)
            state.recordConnectionState(QStringLiteral("node_ready_wait"), endpoint, QString(), QString::number(i));
        const QList<StateRecord> &log = state.currentStateLog();
        QCOMPARE(log.size(), AppState::maxStateLogRecords);
        QCOMPARE(log.first().value(QStringLiteral("message")), QStringLiteral("10"));
        QCOMPARE(log.last().value(QStringLiteral("message")), QStringLiteral("69"));
        const StateRecord &last = log.last();
        QCOMPARE(last.value(QStringLiteral("errorCode")), QStringLiteral("OK"));
        QCOMPARE(last.value(QStringLiteral("error_code")), QStringLiteral("OK"));
        QCOMPARE(last.value(QStringLiteral("endpoint_id")), endpoint.id);
        QCOMPARE(last.value(QStringLiteral("protocol")), rawValue(endpoint.preferredProtocol));
        QCOMPARE(last.value(QStringLiteral("build_id")), QStringLiteral("macos-") + AppState::applicationVersion());
        QCOMPARE(last.value(QStringLiteral("attempt_id")), attempt);
        QVERIFY(last.value(QStringLiteral("elapsed_ms")).toLongLong() >= 0);

        // A new attempt starts a new log under new ids.
        state.beginConnectionAttempt(endpoint);
        QCOMPARE(state.currentStateLog().size(), 1);
        QVERIFY(state.currentAttemptId() != attempt);
    }
};

QTEST_GUILESS_MAIN(TestFlowsConnectionRules)
#include "test_flows_connection_rules.moc"
