#include "TestHome.h"
#include "api/Deployment.h"
#include "core/AppState.h"
#include "core/HostInfo.h"
#include "core/Workspace.h"
#include "test_api_client_support.h"
#include "test_api_controlplane_support.h"

#include <QTest>

namespace {

const QString demo = QStringLiteral("demo@tovren.dev");
const QString demoPassword = QStringLiteral("tovren-demo");

bool logged(const AppState &state, const QString &message)
{
    return std::any_of(state.logs().cbegin(), state.logs().cend(),
                       [&](const LogEntry &entry) { return entry.message == message; });
}

int requestsTo(ControlPlaneProcess &plane, const QString &method, const QString &path)
{
    int count = 0;
    for (const QJsonValue &request : plane.state().value("requests").toArray())
        count += request["method"].toString() == method && request["path"].toString() == path;
    return count;
}

} // namespace

// The account, catalogue and device flows of the application state against the stand-in control plane.
class TestFlowsControlPlane : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<ControlPlaneProcess> m_plane;
    std::unique_ptr<AppState> m_state;

    ControlPlaneProcess &plane() { return *m_plane; }
    AppState &state() { return *m_state; }

    bool start(const QStringList &arguments = {})
    {
        m_plane = std::make_unique<ControlPlaneProcess>(arguments);
        if (!m_plane->isRunning())
            return false;
        qputenv(Deployment::controlPlaneVariable, m_plane->http().toString().toUtf8());
        m_state = std::make_unique<AppState>();
        // The start-up clean-up logs when it ends; the tests read the newest log lines.
        return QTest::qWaitFor([this] { return m_state->startupCleanupFinished(); }, 30000);
    }

    void signIn(const QString &identity = demo) { awaitTask(state().login(identity, demoPassword)); }

private Q_SLOTS:
    void init()
    {
        m_home = std::make_unique<TestHome>();
        Workspace::install(
            {[](const QUrl &) { return true; }, [](const QString &) { return true; }, [] { return true; }});
    }

    void cleanup()
    {
        m_state.reset();
        m_plane.reset();
        qunsetenv(Deployment::controlPlaneVariable);
        Workspace::install({});
        m_home.reset();
    }

    void registersWithTheMailedCode()
    {
        QVERIFY(start());
        QVERIFY(awaitTask(state().sendVerificationCode(QStringLiteral("  New.User@Tovren.DEV "))));
        const QJsonObject mailed = plane().state().value("verificationCodes").toArray().last().toObject();
        QCOMPARE(mailed["identity"].toString(), QStringLiteral("new.user@tovren.dev"));
        QVERIFY(state().alertMessage() && !state().alertMessage()->isEmpty());
        QVERIFY(logged(state(), QStringLiteral("验证码已发送。")));

        awaitTask(state().registerAccount(QStringLiteral("new.user@tovren.dev"), QStringLiteral("secret-pass"),
                                          mailed["code"].toString(), QString()));
        QVERIFY(state().token());
        QCOMPARE(state().sessionStore().read(), state().token());
        QCOMPARE(state().currentUser()->identity, QStringLiteral("new.user@tovren.dev"));
        QVERIFY(!state().showAuthSheet());
        QVERIFY(logged(state(), QStringLiteral("注册并登录成功。")));
        QVERIFY(!state().isBusy());

        // The catalogue came along: the control plane's plans, the second one highlighted.
        const QList<Plan> plans = state().plans();
        QCOMPARE(plans.size(), 4);
        QCOMPARE(plans.at(0).action, QStringLiteral("开通月费"));
        QCOMPARE(plans.at(3).action, QStringLiteral("开通家庭共享"));
        QCOMPARE(plans.at(3).price, QStringLiteral("398.50"));
        QVERIFY(!plans.at(0).featured && plans.at(1).featured && !plans.at(2).featured);
        QCOMPARE(state().latestVersion(), QStringLiteral("v9.7.3"));
        QCOMPARE(state().versionPolicyText(), QStringLiteral("已是最新"));
        QCOMPARE(state().versionDownloadURL()->host(), QStringLiteral("download.tovren.dev"));
    }

    void signsInAndSyncsTheAccount()
    {
        QVERIFY(start());
        signIn();
        QCOMPARE(state().currentUser()->id, QStringLiteral("usr_demo"));
        QVERIFY(logged(state(), QStringLiteral("登录成功。")));
        QVERIFY(logged(state(), QStringLiteral("账号权益同步完成。")));
        QVERIFY(logged(state(), QStringLiteral("多协议节点启动信息同步完成。")));
        QCOMPARE(state().maxDevices(), 5);

        // Endpoints from the bootstrap answer, offline ones dropped, a non-WireGuard one selected.
        QVERIFY(state().endpoints().size() >= 5);
        for (const Endpoint &endpoint : state().endpoints())
            QVERIFY(endpoint.status != NodeStatus::offline);
        QVERIFY(state().selectedEndpointId());
        QVERIFY(state().selectedEndpoint().preferredProtocol != ProtocolKind::wireguard);

        const QList<Device> devices = state().devices();
        const auto phone =
            std::find_if(devices.cbegin(), devices.cend(), [](const Device &d) { return d.id == "dev_demo_iphone"; });
        QVERIFY(phone != devices.cend());
        QCOMPARE(phone->platform, QStringLiteral("iOS"));
        QCOMPARE(phone->action, QStringLiteral("解绑"));
        QCOMPARE(state().orders().size(), 2);
        QCOMPARE(state().orders().first().amount, QStringLiteral("78.00 CNY"));
        QVERIFY(!state().tickets().isEmpty());
        QCOMPARE(state().inviteCode(), QStringLiteral("TVDEMO"));

        // Signed in, the plan page is the pricing page with the account filled in.
        const QUrl page = *state().publicPlanURL(state().plans().first());
        QCOMPARE(page.path(), QStringLiteral("/pricing/"));
        QVERIFY(page.query(QUrl::FullyEncoded).endsWith(QLatin1String("&account=demo%40tovren.dev")));
    }

    void refusedSignInsLeaveTheUserSignedOut()
    {
        QVERIFY(start());
        awaitTask(state().login(QStringLiteral("demo@localhost"), demoPassword));
        QCOMPARE(state().alertMessage(), std::optional<QString>(QStringLiteral("请填写有效的邮箱地址。")));
        QCOMPARE(requestsTo(plane(), "POST", "/api/auth/login"), 0);

        awaitTask(state().login(demo, QStringLiteral("wrong-password")));
        QVERIFY(!state().token());
        QVERIFY(state().alertMessage() && !state().alertMessage()->isEmpty());
        QCOMPARE(state().logs().first().message, QStringLiteral("登录失败：") + *state().alertMessage());
        QVERIFY(!state().isBusy());
    }

    void recognisesThisComputerAmongTheDevices()
    {
        QVERIFY(start());
        signIn();
        QVERIFY(!state().currentDevice());
        // Bound earlier with this computer's name and system, as the connection pipeline binds it.
        const QString token = *state().token();
        const APIDevice bound =
            awaitTask(state().api().bindDevice({state().deviceIdentity().clientDeviceId(), HostInfo::computerName(),
                                                QStringLiteral("macos"), HostInfo::operatingSystemVersion(),
                                                AppState::applicationVersion()},
                                               token))
                .device;

        awaitTask(state().syncDevices(token));
        QCOMPARE(state().currentDevice()->id, bound.id);
        QVERIFY(state().currentDevice()->isCurrent);
        QCOMPARE(state().deviceIdentity().serverDeviceId(QStringLiteral("usr_demo")), std::optional<QString>(bound.id));
        const QList<Device> devices = state().devices();
        QCOMPARE(std::count_if(devices.cbegin(), devices.cend(), [](const Device &d) { return d.isCurrent; }), 1);

        // The current device may not be unbound from here; nothing is sent.
        awaitTask(state().unbindDevice(*state().currentDevice()));
        QCOMPARE(state().alertMessage(), std::optional<QString>(QStringLiteral("当前设备不能在本机直接解绑。")));
        QCOMPARE(requestsTo(plane(), "DELETE", "/api/devices/" + bound.id), 0);

        // Unbound elsewhere: the list no longer holds it, so it is no longer this computer's device.
        awaitTask(state().api().deleteDevice(bound.id, token));
        awaitTask(state().syncDevices(token));
        QVERIFY(!state().currentDevice());
    }

    void unbindsAnotherDevice()
    {
        QVERIFY(start());
        signIn();
        awaitTask(state().syncDevices(*state().token()));
        const int active = state().activeDeviceCount();
        QVERIFY(active >= 1);
        const Device phone = state().devices().first();
        QCOMPARE(phone.id, QStringLiteral("dev_demo_iphone"));
        awaitTask(state().unbindDevice(phone));
        QCOMPARE(state().logs().first().message, QStringLiteral("已解绑设备：iOS。"));
        QVERIFY(std::none_of(state().devices().cbegin(), state().devices().cend(),
                             [](const Device &d) { return d.id == "dev_demo_iphone"; }));
        QCOMPARE(state().activeDeviceCount(), active - 1);

        // Unbinding it again is the server's refusal.
        awaitTask(state().unbindDevice(phone));
        QCOMPARE(state().logs().first().message, QStringLiteral("解绑设备失败：") + *state().alertMessage());
    }

    void feedbackCarriesTheActivityLog()
    {
        QVERIFY(start());
        signIn();
        awaitTask(state().submitFeedback(QStringLiteral(" \n "), QString(), QStringLiteral("正文")));
        QCOMPARE(state().alertMessage(), std::optional<QString>(QStringLiteral("请填写反馈标题和内容。")));
        QVERIFY(plane().state().value("ticketSubmissions").toArray().isEmpty());

        QStringList expected;
        for (const LogEntry &entry : state().logs())
            expected.append(entry.time + QLatin1Char(' ') + entry.message);
        awaitTask(state().submitFeedback(QStringLiteral(" 无法连接 "), QString(), QStringLiteral("连不上日本节点")));

        const QJsonObject sent = plane().state().value("ticketSubmissions").toArray().last().toObject();
        QCOMPARE(sent["title"].toString(), QStringLiteral(" 无法连接 ")); // as typed
        QCOMPARE(sent["category"].toString(), QStringLiteral("客户端问题"));
        QVERIFY(!sent.contains("contactEmail"));
        QCOMPARE(sent["body"].toString(),
                 QStringLiteral("连不上日本节点\n\n--- macOS 客户端日志 ---\n") + expected.join(QLatin1Char('\n')));
        QCOMPARE(state().alertMessage(), std::optional<QString>(QStringLiteral("反馈已提交。")));
        QVERIFY(logged(state(), QStringLiteral("日志反馈已提交。")));
        QCOMPARE(state().tickets().first().id, sent["id"].toString());
    }

    void anExpiredSessionSignsOutLocally()
    {
        QVERIFY(start());
        signIn();
        awaitTask(state().syncDevices(*state().token()));
        state().deviceIdentity().saveServerDeviceId(QStringLiteral("dev_kept"), QStringLiteral("usr_demo"));
        const QList<Plan> catalogue = state().plans();
        QCOMPARE(plane().admin("POST", "/sessions/expire", {{"identity", demo}}).status, 200);

        awaitTask(state().refreshPrivateData());
        QVERIFY(!state().token());
        QVERIFY(!state().sessionStore().read());
        QVERIFY(!state().currentUser());
        QVERIFY(state().devices().isEmpty() && state().orders().isEmpty() && state().tickets().isEmpty());
        QCOMPARE(state().maxDevices(), 0);
        QVERIFY(state().showAuthSheet());
        QCOMPARE(state().logs().first().message, QStringLiteral("已退出登录。"));
        QCOMPARE(state().logs().at(1).message, QStringLiteral("账号数据同步失败：") + *state().alertMessage());
        // What outlives a session: the catalogue and this computer's identities.
        QCOMPARE(state().plans(), catalogue);
        QCOMPARE(state().deviceIdentity().serverDeviceId(QStringLiteral("usr_demo")),
                 std::optional<QString>(QStringLiteral("dev_kept")));

        // Without a session the private refresh asks for a sign-in instead of calling out.
        state().setShowAuthSheet(false);
        const int before = requestsTo(plane(), "GET", "/api/me");
        awaitTask(state().refreshPrivateData());
        QVERIFY(state().showAuthSheet());
        QCOMPARE(requestsTo(plane(), "GET", "/api/me"), before);
    }

    void signingOutTellsTheServer()
    {
        QVERIFY(start());
        signIn();
        const QString token = *state().token();
        const std::optional<QString> alert = state().alertMessage();
        awaitTask(state().logout());
        QCOMPARE(requestsTo(plane(), "POST", "/api/auth/logout"), 1);
        QVERIFY(!state().token());
        QVERIFY(logged(state(), QStringLiteral("已退出登录。")));
        QVERIFY(!logged(state(), QStringLiteral("退出登录请求失败，已清理本地会话。")));
        QCOMPARE(state().alertMessage(), alert); // no alert either way
        // The session really ended on the server.
        QCOMPARE(plane().get("/me", token).status, 401);
    }

    void aFailingStepKeepsItsOldValues()
    {
        QVERIFY(start({"--fault", "/plans=status:503", "--fault", "/client/bootstrap=status:500"}));
        signIn();
        QCOMPARE(state().plans(), placeholderPlans());
        QVERIFY(logged(state(), QStringLiteral("新客户端启动信息暂不可用，使用兼容接口。")));
        QVERIFY(std::any_of(state().logs().cbegin(), state().logs().cend(),
                            [](const LogEntry &e) { return e.message.startsWith(u"套餐列表同步失败："); }));
        // The other steps ran: endpoints from the node list, devices from the device list.
        QVERIFY(logged(state(), QStringLiteral("节点列表同步完成。")));
        QVERIFY(!state().endpoints().isEmpty());
        for (const Endpoint &endpoint : state().endpoints())
            QCOMPARE(endpoint.supportedProtocols, QList<ProtocolKind>{ProtocolKind::wireguard});
        QVERIFY(!state().devices().isEmpty());
        QVERIFY(!state().orders().isEmpty());
    }

    void anAnswerForAnEndedSessionIsDropped()
    {
        QVERIFY(start());
        signIn();
        QCOMPARE(plane()
                     .admin("POST", "/faults", {{"method", "GET"}, {"path", "/me"}, {"delayMs", 300}, {"times", 1}})
                     .status,
                 201);
        QCoro::Task<void> refresh = state().refreshPrivateData();
        state().logoutLocally(); // while "/me" is on its way
        awaitTask(std::move(refresh));
        QVERIFY(!state().token());
        QVERIFY(!state().currentUser());
        QVERIFY(state().devices().isEmpty());
        QCOMPARE(state().logs().first().message, QStringLiteral("已退出登录。"));
    }
};

QTEST_GUILESS_MAIN(TestFlowsControlPlane)
#include "test_flows_controlplane.moc"
