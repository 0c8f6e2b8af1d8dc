#include "core/Types.h"

#include <QTest>

class TestTypes : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void protocolKindFromControlPlane_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<bool>("absent");
        QTest::addColumn<ProtocolKind>("expected");
        QTest::newRow("hy2 upper") << "HY2" << false << ProtocolKind::hysteria2;
        QTest::newRow("hysteria") << "hysteria" << false << ProtocolKind::hysteria2;
        QTest::newRow("mixed WireGuard") << "WireGuard" << false << ProtocolKind::wireguard;
        QTest::newRow("wg") << "wg" << false << ProtocolKind::wireguard;
        QTest::newRow("ss") << "SS" << false << ProtocolKind::shadowsocks;
        QTest::newRow("naive-proxy") << "naive-proxy" << false << ProtocolKind::naiveproxy;
        QTest::newRow("vless") << "VLESS" << false << ProtocolKind::vless;
        QTest::newRow("trojan") << "trojan" << false << ProtocolKind::trojan;
        QTest::newRow("unknown word") << "tuic" << false << ProtocolKind::unknown;
        QTest::newRow("empty") << "" << false << ProtocolKind::unknown;
        QTest::newRow("absent") << "" << true << ProtocolKind::unknown;
        QTest::newRow("spaces are not trimmed") << " vless" << false << ProtocolKind::unknown;
    }
    void protocolKindFromControlPlane()
    {
        QFETCH(QString, input);
        QFETCH(bool, absent);
        QFETCH(ProtocolKind, expected);
        QCOMPARE(protocolKindFromApiValue(absent ? std::nullopt : std::optional<QString>(input)), expected);
    }

    void protocolTextsAndRawValuesRoundTrip()
    {
        QCOMPARE(displayName(ProtocolKind::shadowsocks), QStringLiteral("SS"));
        QCOMPARE(displayName(ProtocolKind::unknown), QStringLiteral("自动"));
        QCOMPARE(allProtocolKinds().size(), 7);
        QCOMPARE(allProtocolKinds().first(), ProtocolKind::hysteria2);
        for (ProtocolKind kind : allProtocolKinds())
            QCOMPARE(protocolKindFromRawValue(rawValue(kind)), std::optional<ProtocolKind>(kind));
        QCOMPARE(protocolKindFromRawValue(QStringLiteral("HY2")), std::nullopt);
    }

    void nodeStatusIsCaseSensitive_data()
    {
        QTest::addColumn<QString>("input");
        QTest::addColumn<NodeStatus>("expected");
        QTest::newRow("online") << "online" << NodeStatus::online;
        QTest::newRow("active") << "active" << NodeStatus::online;
        QTest::newRow("healthy") << "healthy" << NodeStatus::online;
        QTest::newRow("available") << "available" << NodeStatus::online;
        QTest::newRow("Online capital") << "Online" << NodeStatus::offline;
        QTest::newRow("maintenance") << "maintenance" << NodeStatus::checking;
        QTest::newRow("retrying") << "retrying" << NodeStatus::checking;
        QTest::newRow("down") << "down" << NodeStatus::offline;
        QTest::newRow("empty") << "" << NodeStatus::offline;
    }
    void nodeStatusIsCaseSensitive()
    {
        QFETCH(QString, input);
        QFETCH(NodeStatus, expected);
        QCOMPARE(nodeStatusFromApiValue(input), expected);
    }

    void statusDisplayTexts()
    {
        QCOMPARE(rawValue(NodeStatus::online), QStringLiteral("在线"));
        QCOMPARE(rawValue(NodeStatus::checking), QStringLiteral("检查中"));
        QCOMPARE(rawValue(NodeStatus::offline), QStringLiteral("离线"));
        QCOMPARE(title(OutboundMode::smart), QStringLiteral("智能模式"));
        QCOMPARE(title(OutboundMode::enhanced), QStringLiteral("增强模式"));
        QCOMPARE(outboundModeFromStored(QStringLiteral("enhanced")), OutboundMode::enhanced);
        QCOMPARE(outboundModeFromStored(QStringLiteral("Enhanced")), OutboundMode::smart);
        QCOMPARE(outboundModeFromStored(QString()), OutboundMode::smart);
    }

    void stateEqualityComparesFailureMessages()
    {
        QVERIFY(ConnectionState::makeFailed("a") == ConnectionState::makeFailed("a"));
        QVERIFY(!(ConnectionState::makeFailed("a") == ConnectionState::makeFailed("b")));
        QVERIFY(!(ConnectionState::makeFailed("") == ConnectionState(ConnectionState::disconnected)));
        QVERIFY(ConnectionState(ConnectionState::connected) == ConnectionState(ConnectionState::connected));
        QVERIFY(ComponentInstallState::makeFailed("x") == ComponentInstallState::makeFailed("x"));
        QVERIFY(!(ComponentInstallState::makeFailed("x") == ComponentInstallState()));
        QCOMPARE(ComponentInstallState().kind(), ComponentInstallState::idle);
    }

    void placeholdersAndEndpointDetail()
    {
        const auto &endpoints = placeholderEndpoints();
        QCOMPARE(endpoints.size(), 2);
        QCOMPARE(endpoints[0].detail(), QStringLiteral("HK Premium 01 · WireGuard · 38 ms · 42%"));
        QCOMPARE(endpoints[1].id, QStringLiteral("sg-01"));
        QCOMPARE(endpoints[1].host, std::nullopt);
        const auto &plans = placeholderPlans();
        QCOMPARE(plans.size(), 3);
        QCOMPARE(plans[1].featured, true);
        QCOMPARE(plans[2].detail, QStringLiteral("365 天有效期，支持 5 台设备。"));
        Endpoint changed = endpoints[0];
        changed.host = QStringLiteral("hk.example");
        QVERIFY(!(changed == endpoints[0]));
    }
};

QTEST_GUILESS_MAIN(TestTypes)
#include "test_types.moc"
