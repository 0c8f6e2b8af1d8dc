#include "TestHome.h"
#include "api/Deployment.h"
#include "api/TovrenRuntimeError.h"
#include "core/AppState.h"
#include "core/ControlPlaneMapping.h"
#include "core/Workspace.h"

#include <QTest>
#include <QUrlQuery>
#include <ctime>

namespace {

APIUser userWith(std::function<void(APIUser &)> change = {})
{
    APIUser user;
    user.id = QStringLiteral("usr_1");
    user.identity = QStringLiteral("a@b.cn");
    user.role = QStringLiteral("user");
    user.status = QStringLiteral("active");
    user.planName = QStringLiteral("季度套餐");
    user.maxDevices = 5;
    if (change)
        change(user);
    return user;
}

Device deviceNamed(const QString &id)
{
    Device device;
    device.id = id;
    return device;
}

} // namespace

// The texts and mappings the account pages show, made from control-plane records.
class TestFlowTexts : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_home;
    QList<QUrl> m_opened;
    QStringList m_copied;
    int m_windowRaised = 0;

private Q_SLOTS:
    void initTestCase()
    {
        // Dates are shown in local time; pin the zone so the expectations hold anywhere.
        qputenv("TZ", "Asia/Shanghai");
        tzset();
    }

    void init()
    {
        m_home = std::make_unique<TestHome>();
        m_opened.clear();
        m_copied.clear();
        m_windowRaised = 0;
        Workspace::install({[this](const QUrl &url) { return m_opened.append(url), true; },
                            [this](const QString &text) { return m_copied.append(text), true; },
                            [this] { return ++m_windowRaised, true; }});
    }

    void cleanup()
    {
        Workspace::install({});
        m_home.reset();
    }

    void versionPolicy_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<std::optional<qint64>>("rollout");
        QTest::addColumn<QString>("latest");
        QTest::addColumn<std::optional<QString>>("forceMessage");
        QTest::addColumn<std::optional<QString>>("rollbackVersion");
        QTest::addColumn<std::optional<QString>>("download");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("required");
        QTest::addColumn<std::optional<QUrl>>("url");

        const std::optional<QString> none;
        const std::optional<QString> dmg(QStringLiteral("https://dl.example/Tovren.dmg"));
        const std::optional<QUrl> dmgURL{QUrl(*dmg)};
        QTest::newRow("force in capitals, with its message")
            << "FORCE" << std::optional<qint64>() << "9.8.0" << std::optional<QString>("请立即升级") << none << dmg
            << "请立即升级" << true << dmgURL;
        QTest::newRow("force, empty message")
            << "force" << std::optional<qint64>() << "9.8.0" << std::optional<QString>("") << none << dmg
            << "需要升级到 v9.8.0" << true << dmgURL;
        QTest::newRow("rollback to the minimum version") << "rollback" << std::optional<qint64>() << "9.8.0" << none
                                                         << none << dmg << "回滚到 v9.0.0" << true << dmgURL;
        QTest::newRow("rollback to its own version")
            << "Rollback" << std::optional<qint64>() << "9.8.0" << none << std::optional<QString>("v9.6.1") << none
            << "回滚到 v9.6.1" << true << std::optional<QUrl>();
        QTest::newRow("rollout 30, newer") << "optional" << std::optional<qint64>(30) << "9.8.0" << none << none << dmg
                                           << "灰度发布 30% · 最新 v9.8.0" << false << dmgURL;
        QTest::newRow("rollout 30, this version") << "optional" << std::optional<qint64>(30) << "9.7.3" << none << none
                                                  << dmg << "已是最新" << false << dmgURL;
        QTest::newRow("newer, no rollout") << "optional" << std::optional<qint64>() << "v9.8.0" << none << none << none
                                           << "发现新版 v9.8.0" << false << std::optional<QUrl>();
        QTest::newRow("a local file is never kept") << "force" << std::optional<qint64>() << "9.8.0" << none << none
                                                    << std::optional<QString>("file:///Applications/Tovren.app")
                                                    << "需要升级到 v9.8.0" << true << std::optional<QUrl>();
        QTest::newRow("a script address is never kept")
            << "optional" << std::optional<qint64>() << "9.8.0" << none << none
            << std::optional<QString>("javascript:alert(1)") << "发现新版 v9.8.0" << false << std::optional<QUrl>();
    }

    void versionPolicy()
    {
        QFETCH(QString, mode);
        QFETCH(std::optional<qint64>, rollout);
        QFETCH(QString, latest);
        QFETCH(std::optional<QString>, forceMessage);
        QFETCH(std::optional<QString>, rollbackVersion);
        QFETCH(std::optional<QString>, download);
        QFETCH(QString, text);
        QFETCH(bool, required);
        QFETCH(std::optional<QUrl>, url);

        APIAppVersion version;
        version.platform = QStringLiteral("macos");
        version.currentVersion = QStringLiteral("v9.7.3");
        version.latestVersion = latest;
        version.minVersion = QStringLiteral("v9.0.0");
        version.updateMode = mode;
        version.rolloutPercent = rollout;
        version.forceMessage = forceMessage;
        version.rollbackVersion = rollbackVersion;
        version.downloadUrl = download;
        AppState state;
        state.setVersionDownloadURL(QUrl(QStringLiteral("https://stale.example/")));
        state.applyVersionPolicy(version);
        QCOMPARE(state.versionPolicyText(), text);
        QCOMPARE(state.requiresVersionAction(), required);
        QCOMPARE(state.versionDownloadURL(), url);
    }

    void planTexts_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("action");

        QTest::newRow("monthly") << "monthly"
                                 << "月度套餐"
                                 << "开通月费";
        QTest::newRow("quarterly") << "quarterly"
                                   << "季度套餐"
                                   << "开通季度";
        QTest::newRow("yearly") << "yearly"
                                << "年度套餐"
                                << "开通年费";
        QTest::newRow("other id, 套餐 removed everywhere") << "family"
                                                           << "家庭套餐共享套餐"
                                                           << "开通家庭共享";
        QTest::newRow("named only 套餐") << "x"
                                         << "套餐"
                                         << "开通";
        QTest::newRow("known id compared exactly") << "Monthly"
                                                   << "月度"
                                                   << "开通月度";
    }

    void planTexts()
    {
        QFETCH(QString, id);
        QFETCH(QString, name);
        QFETCH(QString, action);
        const Plan plan = planFromAPI({id, name, 398.5, QStringLiteral("CNY"), 365, 12}, false);
        QCOMPARE(plan.action, action);
        QCOMPARE(plan.price, QStringLiteral("398.50"));
        QCOMPARE(plan.detail, QStringLiteral("365 天有效期，支持 12 台设备。"));
    }

    void devicePlatformNames_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("platform");
        QTest::newRow("macos") << "macos"
                               << "macOS";
        QTest::newRow("android") << "android"
                                 << "Android";
        QTest::newRow("windows") << "windows"
                                 << "Windows";
        QTest::newRow("ios") << "ios"
                             << "iOS";
        QTest::newRow("web") << "web"
                             << "Web";
        QTest::newRow("unknown type as sent") << "linux-arm"
                                              << "linux-arm";
        QTest::newRow("exact comparison") << "MacOS"
                                          << "MacOS";
    }

    void devicePlatformNames()
    {
        QFETCH(QString, type);
        QFETCH(QString, platform);
        APIDevice record;
        record.id = QStringLiteral("d1");
        record.deviceType = type;
        record.deviceName = QStringLiteral("书房");
        record.appVersion = QStringLiteral("v9.7.3");
        record.lastLoginAt = QStringLiteral("2024-05-31T20:30:00Z");
        const Device device = deviceFromAPI(record, QStringLiteral("d2"));
        QCOMPARE(device.platform, platform);
        QCOMPARE(device.rawDeviceType, type);
        QCOMPARE(device.name, QStringLiteral("书房 · v9.7.3"));
        QCOMPARE(device.action, QStringLiteral("解绑"));
        QCOMPARE(device.lastLogin, QStringLiteral("06-01"));
        QVERIFY(deviceFromAPI(record, QStringLiteral("d1")).isCurrent);
        QCOMPARE(deviceFromAPI(record, QStringLiteral("d1")).action, QStringLiteral("当前"));
    }

    void shortDates_data()
    {
        QTest::addColumn<std::optional<QString>>("text");
        QTest::addColumn<QString>("shown");

        QTest::newRow("absent") << std::optional<QString>() << "-";
        QTest::newRow("empty") << std::optional<QString>("") << "-";
        QTest::newRow("fractional seconds, next day locally")
            << std::optional<QString>("2024-05-31T20:30:00.123Z") << "06-01";
        QTest::newRow("without fraction, offset") << std::optional<QString>("2024-01-02T08:00:00+08:00") << "01-02";
        QTest::newRow("not a date") << std::optional<QString>("yesterday at noon") << "yesterday ";
        QTest::newRow("date only is not a date-time") << std::optional<QString>("2024-12-25") << "2024-12-25";
        QTest::newRow("no zone") << std::optional<QString>("2024-12-25T10:00:00") << "2024-12-25";
        QTest::newRow("short text") << std::optional<QString>("soon") << "soon";
    }

    void shortDates()
    {
        QFETCH(std::optional<QString>, text);
        QFETCH(QString, shown);
        QCOMPARE(AppState::shortDateText(text), shown);
    }

    void emailAddresses_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("normalized"); // empty: refused

        QTest::newRow("trimmed and lower-cased") << "  Demo@Tovren.DEV \n"
                                                 << "demo@tovren.dev";
        QTest::newRow("plus address") << "a+b@x.cn"
                                      << "a+b@x.cn";
        QTest::newRow("no dot after the at sign") << "demo@localhost"
                                                  << "";
        QTest::newRow("space inside") << "de mo@tovren.dev"
                                      << "";
        QTest::newRow("ideographic space inside") << "de\u3000mo@tovren.dev"
                                                  << "";
        QTest::newRow("two at signs") << "a@b@c.cn"
                                      << "";
        QTest::newRow("empty") << ""
                               << "";
    }

    void emailAddresses()
    {
        QFETCH(QString, typed);
        QFETCH(QString, normalized);
        if (!normalized.isEmpty()) {
            QCOMPARE(AppState::normalizedEmail(typed), normalized);
            return;
        }
        try {
            AppState::normalizedEmail(typed);
            QFAIL("accepted");
        } catch (const TovrenRuntimeError &error) {
            QCOMPARE(error.kind(), TovrenRuntimeError::Kind::invalidEmail);
            QCOMPARE(error.description(), QStringLiteral("请填写有效的邮箱地址。"));
        }
    }

    void endpointsFromRecords()
    {
        APIEndpoint unknown;
        unknown.id = QStringLiteral("e1");
        unknown.protocols = {QStringLiteral("vmess"), QStringLiteral("tuic")};
        const Endpoint fallback = endpointFromAPI(unknown);
        QCOMPARE(fallback.supportedProtocols, QList<ProtocolKind>{ProtocolKind::wireguard});
        QCOMPARE(fallback.preferredProtocol, ProtocolKind::wireguard);

        APIEndpoint mixed = unknown;
        mixed.protocols = {QStringLiteral("vmess"), QStringLiteral("HY2"), QStringLiteral("trojan"),
                           QStringLiteral("hy2")};
        mixed.preferredProtocol = QStringLiteral("vmess");
        mixed.status = QStringLiteral("Online");
        const Endpoint endpoint = endpointFromAPI(mixed);
        QCOMPARE(endpoint.supportedProtocols,
                 (QList<ProtocolKind>{ProtocolKind::hysteria2, ProtocolKind::trojan, ProtocolKind::hysteria2}));
        QCOMPARE(endpoint.preferredProtocol, ProtocolKind::hysteria2); // an unknown preference takes the first
        QCOMPARE(endpoint.status, NodeStatus::offline);                // statuses are compared exactly

        const Endpoint node =
            endpointFromNode({QStringLiteral("n1"), QStringLiteral("香港"), QStringLiteral("HK"),
                              QStringLiteral("hk.example"), QStringLiteral("maintenance"), 40, 50, 1});
        QCOMPARE(node.host, std::optional<QString>());
        QCOMPARE(node.status, NodeStatus::checking);
        QCOMPARE(node.preferredProtocol, ProtocolKind::wireguard);
    }

    void accountTexts()
    {
        AppState state;
        QCOMPARE(state.planPillText(), QStringLiteral("请先登录"));
        QCOMPARE(state.inviteCode(), QStringLiteral("登录后显示"));
        QCOMPARE(state.invitesTotalText(), QStringLiteral("0"));
        QCOMPARE(state.pendingInvitesText(), QStringLiteral("0"));
        QCOMPARE(state.effectiveMaxDevices(), 0);
        QCOMPARE(state.accessSummary(), QStringLiteral("未知 / 未开通"));

        state.setCurrentUser(userWith([](APIUser &u) {
            u.referralCode = QString();
            u.invitesTotal = 2;
            u.invitesPaid = 3;
            u.remainingTrafficMb = 1536;
            u.subscriptionExpiredAt = QStringLiteral("2024-05-31T20:30:00.000Z");
        }));
        QCOMPARE(state.planPillText(), QStringLiteral("季度套餐有效"));
        QCOMPARE(state.inviteCode(), QString()); // present, even when empty
        QCOMPARE(state.pendingInvitesText(), QStringLiteral("-1"));
        QCOMPARE(state.rewardDaysText(), QStringLiteral("0 天"));
        QCOMPARE(state.accessSummary(), QStringLiteral("1.5GB / 06-01"));
        QCOMPARE(state.effectiveMaxDevices(), 5); // the user's limit while the list gave none
        state.setMaxDevices(3);
        state.setActiveDeviceCount(2);
        QCOMPARE(state.deviceUsage(), QStringLiteral("2 / 3 设备"));

        state.setDevices({deviceNamed("1"), deviceNamed("2"), deviceNamed("3"), deviceNamed("4"), deviceNamed("5")});
        QCOMPARE(state.visibleDevices().size(), 2);
        QCOMPARE(state.visibleDevices().last().id, QStringLiteral("2"));
        state.setDevicesExpanded(true);
        QCOMPARE(state.visibleDevices().size(), 5);
    }

    void planAddressesKeepTheirItemsApart()
    {
        AppState state;
        const Plan plan = placeholderPlans().first();
        const QUrl origin(QStringLiteral("https://web.example"));
        QCOMPARE(
            state.publicPricingURL(origin, plan, QStringLiteral("a+b@x.cn")).toString(QUrl::FullyEncoded),
            QStringLiteral(
                "https://web.example/pricing/?plan=monthly&source=macos&client_version=v9.7.3&account=a%2Bb%40x.cn"));
        QCOMPARE(state.publicPricingURL(QUrl(QStringLiteral("https://web.example/shop")), plan, QString())
                     .toString(QUrl::FullyEncoded),
                 QStringLiteral("https://web.example/shop/pricing/?plan=monthly&source=macos&client_version=v9.7.3"));

        const QUrl next = state.publicPricingURL(origin, plan, std::nullopt);
        const QUrl login = state.publicLoginURL(origin, next);
        QCOMPARE(login.path(), QStringLiteral("/login/"));
        const QUrlQuery items(login);
        QCOMPARE(items.queryItems(QUrl::FullyDecoded).size(), 2);
        QCOMPARE(items.queryItemValue(QStringLiteral("next"), QUrl::FullyDecoded), next.toString(QUrl::FullyEncoded));
        QCOMPARE(items.queryItemValue(QStringLiteral("source")), QStringLiteral("macos"));

        // Signed out, buying leads through the sign-in page.
        state.purchase(plan);
        QCOMPARE(m_opened.size(), 1);
        QCOMPARE(m_opened.first().path(), QStringLiteral("/login/"));
        QCOMPARE(state.logs().first().message, QStringLiteral("已打开公网月费套餐页面。"));

        // A browser that cannot be opened is not reported as opened.
        Workspace::install({});
        const qsizetype logged = state.logs().size();
        state.purchase(plan);
        QCOMPARE(state.logs().size(), logged);
        QCOMPARE(state.alertMessage(), std::optional<QString>(QStringLiteral("无法打开月费套餐页面，请稍后重试。")));
    }

    void inviteLinkAndPages()
    {
        AppState state;
        state.copyInviteLink();
        QCOMPARE(state.alertMessage(), std::optional<QString>(QStringLiteral("登录后才能复制邀请链接。")));
        QVERIFY(m_copied.isEmpty());

        state.setCurrentUser(userWith([](APIUser &u) { u.referralCode = QStringLiteral("TV DEMO"); }));
        state.copyInviteLink();
        QCOMPARE(m_copied, QStringList{Deployment::webClientURL().toString() + QStringLiteral("?invite=TV%20DEMO")});
        QCOMPARE(state.alertMessage(), std::optional<QString>(QStringLiteral("邀请链接已复制。")));

        state.openClientHome();
        QCOMPARE(m_opened, QList<QUrl>{Deployment::webClientURL()});
        QVERIFY(Deployment::webClientURL().toString().endsWith(QLatin1String("/client/")));

        state.setSelectedPage(AppPage::settings);
        state.showDashboard();
        QCOMPARE(state.selectedPage(), AppPage::home);
        QCOMPARE(m_windowRaised, 1);
    }

    void presentLogsUnderTheFallbackTitle()
    {
        AppState state;
        state.setAlertAction(AppAlertAction::installWireGuardTools);
        state.present(TovrenAPIError::server(502, std::nullopt), QStringLiteral("账号数据同步失败"));
        QCOMPARE(state.alertMessage(), std::optional<QString>(QStringLiteral("服务端返回错误：502")));
        QCOMPARE(state.alertAction(), std::optional<AppAlertAction>());
        QCOMPARE(state.logs().first().message, QStringLiteral("账号数据同步失败：服务端返回错误：502"));

        state.present(TovrenRuntimeError::connectionFailed(QString()), QStringLiteral("登录失败"));
        QCOMPARE(state.alertMessage(), std::optional<QString>(QStringLiteral("登录失败")));
    }
};

QTEST_GUILESS_MAIN(TestFlowTexts)
#include "test_flows_texts.moc"
