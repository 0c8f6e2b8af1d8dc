#include "testkit/ConnectionWorld.h"

#include "api/Deployment.h"
#include "api/TovrenRuntimeError.h"
#include "state/ControlPlaneMapping.h"
#include "state/HostInfo.h"
#include "state/Workspace.h"

#include <QScopeGuard>
#include <QTcpServer>
#include <QTest>
#include <QUrlQuery>
#include <ctime>

using namespace Qt::StringLiterals;

namespace {

QStringList stagesOf(const QJsonObject &report)
{
    QStringList stages;
    for (const QJsonValue &record : report[u"stateLog"_s].toArray())
        stages << record[u"stage"_s].toString();
    return stages;
}

// Every record carries its values under both spellings, and all of them belong to one attempt.
bool consistentStateLog(const QJsonObject &report)
{
    for (const QJsonValue &record : report[u"stateLog"_s].toArray()) {
        // clang-format off
        for (const auto &[camel, snake] : {std::pair{"attemptId", "attempt_id"}, {"requestId", "request_id"},
                 {"elapsedMs", "elapsed_ms"}, {"errorCode", "error_code"}, {"buildId", "build_id"},
                 {"appVersion", "app_version"}, {"stage", "state"}})
            // clang-format on
            if (record[QLatin1String(camel)].isUndefined() ||
                record[QLatin1String(camel)] != record[QLatin1String(snake)])
                return false;
        if (record[u"attemptId"_s] != report[u"attemptId"_s])
            return false;
    }
    return true;
}

// The named fields of a report, as texts.
QStringList fields(const QJsonObject &report, const QStringList &names)
{
    QStringList values;
    for (const QString &name : names)
        values << report[name].toString();
    return values;
}

std::optional<QString> text(const char *value)
{
    return value ? std::optional<QString>(QString::fromUtf8(value)) : std::nullopt;
}

} // namespace

// The application state's flows against the stand-in control plane, the simulated Mac and the stand-in core, and
// the rules and texts they are made of.
class TestFlows : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("TZ", "Asia/Shanghai"); // dates are shown in local time
        tzset();
    }

    // The connection pipeline's golden sequence, then a restart that reuses this computer's binding.
    void connectsEndToEndAndReusesThisComputerAfterARestart()
    {
        OPEN_WORLD();
        world.signIn();
        const int boundBefore = state.devices().size();
        for (const Endpoint &endpoint : state.endpoints()) {
            if (endpoint.id == "ep_hk_01"_L1)
                state.selectEndpoint(endpoint);
        }
        // A second press and an account refresh while the connect runs: no second pipeline, and still busy.
        QCoro::Task<void> pressed = state.toggleConnection();
        awaitTask(state.refreshPrivateData());
        QVERIFY(state.isBusy());
        awaitTask(state.toggleConnection());
        awaitTask(std::move(pressed), std::chrono::seconds(120));
        QVERIFY2(state.connectionState().kind() == ConnectionState::connected,
                 qPrintable(state.connectionState().failureMessage() + state.alertMessage().value_or(QString())));
        QCOMPARE(state.currentDevice()->rawDeviceName, u"Devstack Mac"_s); // not the host name
        QCOMPARE(state.devices().size(), boundBefore + 1);
        QVERIFY(world.logged(u"sing-box 内核已连接：香港。"_s));
        QVERIFY(world.protocolConfigRequests().size() >= 2); // asked again until the node was ready
        QCOMPARE(world.wifiSocks().port, state.localProxyPort());

        QCOMPARE(world.reports().size(), 1);
        const QJsonObject connected = world.reports().first();
        QCOMPARE(fields(connected, {"status", "reasonCode", "deviceId"}),
                 QStringList({"connected", "OK", state.currentDevice()->id}));
        QCOMPARE(stagesOf(connected), QStringList({"auth_check", "device_bind", "config_prepare", "node_ready_wait",
                                                   "kernel_start", "quick_verify", "connected"}));
        QVERIFY(consistentStateLog(connected));

        // Regression: a row picked while connected used to be reported as the endpoint that was disconnected.
        state.selectEndpoint(state.endpoints().last());
        awaitTask(state.toggleConnection()); // connected: the button disconnects
        QCOMPARE(state.connectionState().kind(), ConnectionState::disconnected);
        const QJsonObject disconnected = world.reports().last();
        QCOMPARE(fields(disconnected, {"status", "endpointId", "stateStage", "reasonCode"}),
                 QStringList({"disconnected", "ep_hk_01", "rollback", "UNKNOWN_FAILURE"}));
        QCOMPARE(disconnected[u"stateLog"_s].toArray().last()[u"endpointId"_s].toString(), u"ep_hk_01"_s);
        QVERIFY(!world.wifiSocks().enabled);

        // After a restart the stored session and this computer's binding are used again: no second device.
        const QString deviceId = state.currentDevice()->id;
        world.restartState();
        AppState &restarted = world.state();
        awaitTask(restarted.bootstrap());
        // Both templates carry DNS servers, DNS rules and a rule set of their own; this one also an untagged
        // direct outbound. Enhanced mode replaces their route; the core still finds every name it is given.
        restarted.setOutboundMode(OutboundMode::enhanced);
        // The device list fails right after this connect: the connection stays.
        QObject::connect(
            &restarted, &AppState::connectionChanged, &restarted, [&world, &restarted, faulted = false]() mutable {
                if (!faulted && restarted.connectionState().is(ConnectionState::connected)) {
                    faulted = true;
                    world.plane().admin("POST", "/faults", {{"path", "/devices"}, {"method", "GET"}, {"status", 500}});
                }
            });
        world.connectTo(u"ep_jp_01"_s);
        QCOMPARE(restarted.connectionState().kind(), ConnectionState::connected);
        QVERIFY(world.logged(u"设备列表同步失败："_s));
        QCOMPARE(restarted.currentDevice()->id, deviceId);
        QCOMPARE(world.requestsTo(u"POST"_s, u"/api/devices"_s), 1);

        // Signing out while connected disconnects first.
        awaitTask(restarted.logout());
        QCOMPARE(world.reports().last()[u"status"_s].toString(), u"disconnected"_s);
        QVERIFY(!world.wifiSocks().enabled);
        QCOMPARE(world.mac().promptCount(), 0);
    }

    void failsOverWhenACandidateCarriesNoTraffic()
    {
        QJsonObject data = ConnectionWorld::demoDataSet({"ep_hk_01", "ep_jp_01"});
        ConnectionWorld::breakUpstream(data, u"ep_hk_01"_s);
        OPEN_WORLD(data, QStringList{"--provisioning-ms", "0"});
        world.signIn();
        world.connectTo(u"ep_hk_01"_s);
        QVERIFY2(state.connectionState().kind() == ConnectionState::connected,
                 qPrintable(state.connectionState().failureMessage()));
        QCOMPARE(*state.selectedEndpointId(), u"ep_jp_01"_s);
        QVERIFY(world.logged(u"正在自动切换到下一个可用节点。"_s));
        const QList<QJsonObject> reports = world.reports();
        QCOMPARE(reports.size(), 2);
        const QJsonObject &failed = reports[0];
        QCOMPARE(fields(failed, {"status", "endpointId", "reasonCode"}),
                 QStringList(
                     {"failed", "ep_hk_01",
                      ConnectionController::connectionReasonCode(u"failed"_s, failed[u"errorMessage"_s].toString())}));
        QCOMPARE(stagesOf(failed).last(), failed[u"stateStage"_s].toString());
        QCOMPARE(reports[1][u"endpointId"_s].toString(), u"ep_jp_01"_s);
        QCOMPARE(reports[1][u"attemptId"_s], failed[u"attemptId"_s]);
        QCOMPARE(state.ranking().endpointQualityStats().value(u"ep_hk_01"_s).consecutiveFailures, 1);
        QCOMPARE(state.ranking().endpointQualityStats().value(u"ep_jp_01"_s).successfulConnections, 1);
    }

    void aBusyLocalPortStopsAtTheFirstCandidate()
    {
        OPEN_WORLD(ConnectionWorld::demoDataSet({"ep_hk_01", "ep_jp_01", "ep_sg_01"}),
                   QStringList{"--provisioning-ms", "0"});
        world.signIn();
        QTcpServer squatter; // someone else holds the AI entry's port
        QVERIFY(squatter.listen(QHostAddress::LocalHost, 19110));
        world.model().setAiEnhancedModeEnabled(true);
        world.connectTo(u"ep_hk_01"_s);
        QCOMPARE(state.connectionState().kind(), ConnectionState::failed);
        const QString message = state.connectionState().failureMessage();
        QVERIFY2(message.startsWith(u"已尝试 "_s) && message.contains(u"19110"_s), qPrintable(message));
        QCOMPARE(message.count(u"、"_s), 0); // one candidate named
        QCOMPARE(world.connectionReports().size(), 1);
        QCOMPARE(world.crashReports().size(), 1);
        const QJsonObject crash = world.crashReports().first()[u"report"_s].toObject();
        QCOMPARE(fields(crash, {"crashType", "reason"}), QStringList({"macos-connection", message}));
        QVERIFY(crash[u"diagnostics"_s].toString().split(u'\n').size() <= 12);
    }

    void bindingRespectsThePlan_data()
    {
        QTest::addColumn<QString>("identity");
        QTest::addColumn<QString>("alert");
        QTest::newRow("all slots taken") << "full@tovren.dev"
                                         << "已绑定设备 3/3，请先在设置中解绑不用的设备。";
        QTest::newRow("plan without devices") << "free@tovren.dev"
                                              << "当前套餐未开放设备绑定，请先开通或续费套餐。";
    }

    void bindingRespectsThePlan()
    {
        QFETCH(QString, identity);
        QFETCH(QString, alert);
        OPEN_WORLD();
        world.signIn(identity);
        world.connectTo(u"ep_hk_01"_s);
        QCOMPARE(state.connectionState(), ConnectionState::makeFailed(alert));
        QVERIFY(world.logged(u"连接失败："_s + alert));
        QCOMPARE(world.requestsTo(u"POST"_s, u"/api/devices"_s), 0);
        QCOMPARE(world.protocolConfigRequests().size(), 0);
        QCOMPARE(world.crashReports().size(), 1);
        QVERIFY(!state.isBusy() && !state.currentDevice());
        // Without a device of this computer a disconnect has nothing to report.
        awaitTask(state.connection().disconnect());
        QCOMPARE(state.connectionState().kind(), ConnectionState::disconnected);
        QCOMPARE(world.connectionReports().size(), 0);
        QCOMPARE(state.connection().currentStateLog().last().value(u"message"_s), u"连接已断开。"_s);
        for (int i = 0; i < 70; ++i) // an attempt keeps its newest records
            state.connection().recordConnectionState(u"node_ready_wait"_s, std::nullopt, QString(), QString::number(i));
        QCOMPARE(state.connection().currentStateLog().size(), ConnectionController::maxStateLogRecords);
        QCOMPARE(state.connection().currentStateLog().first().value(u"message"_s), u"10"_s);
    }

    void connectionRules()
    {
        // How outcomes are classified: status, message, stage, reason code.
        // clang-format off
        for (const auto &[status, message, stage, code] : std::initializer_list<std::array<const char *, 4>>{
                 {"connected", nullptr, "connected", "OK"}, {"connected", "内核启动失败", "connected", "OK"},
                 {"disconnected", nullptr, "rollback", "UNKNOWN_FAILURE"},
                 {"disconnected", "sing-box 退出", "rollback", "KERNEL_START_FAILED"},
                 {"failed", "节点准备中", "node_ready_wait", "NODE_NOT_READY"},
                 {"failed", "Config NOT_READY yet", "node_ready_wait", "NODE_NOT_READY"},
                 {"failed", "节点不可用：协议配置同步失败。", "config_prepare", "NODE_UNAVAILABLE"},
                 {"failed", "Protocol_Config missing", "config_prepare", "CONFIG_FAILED"},
                 {"failed", "Sing-Box 启动失败", "kernel_start", "KERNEL_START_FAILED"},
                 {"failed", "WireGuard 命令执行失败。", "kernel_start", "KERNEL_START_FAILED"},
                 {"failed", "代理连通性验证失败", "quick_verify", "QUICK_VERIFY_FAILED"},
                 {"failed", "网络异常", "fallback", "UNKNOWN_FAILURE"}, {"failed", nullptr, "fallback", "UNKNOWN_FAILURE"}}) {
            // clang-format on
            QCOMPARE(ConnectionController::connectionStateStage(QString::fromUtf8(status), text(message)),
                     QString::fromUtf8(stage));
            QCOMPARE(ConnectionController::connectionReasonCode(QString::fromUtf8(status), text(message)),
                     QString::fromUtf8(code));
        }
        // Failover stops for problems of this computer: description, try the next endpoint, a system-proxy failure.
        // clang-format off
        for (const auto &[description, tryNext, systemProxy] : {
                 std::tuple{"listen tcp 127.0.0.1:19090: bind: Address Already In Use", false, false},
                 {"本地代理端口 19090 不可用", false, false}, {"AI 专用代理端口 19110 已被占用", false, false},
                 {"需要管理员授权才能修改系统代理", false, false}, {"Command requires Administrator Privileges", false, false},
                 {"检测到旧连接残留", false, false}, {"节点凭证同步超时，请稍后重试或切换节点。", true, false},
                 {"系统代理未生效，已回滚", true, true}, {"系统代理设置未生效", true, true}, {"", true, false}}) {
            // clang-format on
            const QString error = QString::fromUtf8(description);
            QCOMPARE(ConnectionController::shouldTryNextEndpoint(error), tryNext);
            QCOMPARE(ConnectionController::shouldTryNextEndpoint(TovrenError(error)), tryNext);
            QCOMPARE(ConnectionController::isSystemProxyFailure(error), systemProxy);
        }
        // Provisioning: retry-after asked, time left, delay (at least 1500, at most 3000 and the time left).
        // clang-format off
        for (const auto &[retryAfter, left, delay] : std::initializer_list<std::array<qint64, 3>>{{800, 5000, 1500},
                 {2500, 5000, 2500}, {600000, 5000, 3000}, {2800, 2600, 2600}, {0, 5000, 1500}, {-40, 5000, 1500},
                 {2500, 299, 1500}, {2500, -100, 1500}})
            QCOMPARE(ConnectionController::provisioningRetryDelayMs(retryAfter, left), delay);
        // The server's maximum wait: at least a second, at most the client's own bound.
        for (const auto &[maxWait, deadline] : std::initializer_list<std::array<qint64, 2>>{{0, 1000}, {-5000, 1000},
                 {5000, 5000}, {std::numeric_limits<qint64>::max(), ConnectionController::maxProvisioningWaitMs}})
            QCOMPARE(ConnectionController::provisioningDeadlineMs(maxWait), deadline);
        // clang-format on
    }

    void signsIn()
    {
        OPEN_WORLD();
        // A refused sign-in leaves the user signed out; a malformed address never reaches the server.
        awaitTask(state.login(u"demo@localhost"_s, u"tovren-demo"_s));
        QCOMPARE(state.alertMessage(), std::optional<QString>(u"请填写有效的邮箱地址。"_s));
        QCOMPARE(world.requestsTo(u"POST"_s, u"/api/auth/login"_s), 0);
        awaitTask(state.login(u"demo@tovren.dev"_s, u"wrong-password"_s));
        QVERIFY(!state.token() && !state.isBusy());
        QCOMPARE(state.logs().first().message, u"登录失败："_s + state.alertMessage().value_or(u"-"_s));

        world.signIn();
        QCOMPARE(state.account().sessionStore().read(), state.token());
        QCOMPARE(state.currentUser()->id, u"usr_demo"_s);
        QVERIFY(!state.showAuthSheet());
        // The catalogue came along: the control plane's plans, the second one highlighted.
        QVERIFY(!state.plans().at(0).featured && state.plans().at(1).featured && !state.plans().at(2).featured);
        QCOMPARE(state.versionDownloadURL().value_or(QUrl()).host(), u"download.tovren.dev"_s);
        // Offline endpoints dropped, a non-WireGuard one selected.
        for (const Endpoint &endpoint : state.endpoints())
            QVERIFY(endpoint.status != NodeStatus::offline);
        QVERIFY(state.selectedEndpoint().preferredProtocol != ProtocolKind::wireguard);
        // Signed in, the plan page is the pricing page with the account filled in.
        const QUrl page = *state.account().publicPlanURL(state.plans().first());
        QCOMPARE(page.path(), u"/pricing/"_s);
        QVERIFY(page.query(QUrl::FullyEncoded).endsWith("&account=demo%40tovren.dev"_L1));
    }

    void recognisesAndUnbindsDevices()
    {
        OPEN_WORLD();
        world.signIn();
        QVERIFY(!state.currentDevice());
        const Device phone = state.devices().first();
        awaitTask(state.unbindDevice(phone));
        QCOMPARE(state.logs().first().message, u"已解绑设备：iOS。"_s);
        QVERIFY(
            std::none_of(state.devices().cbegin(), state.devices().cend(), [&](auto &d) { return d.id == phone.id; }));
        awaitTask(state.unbindDevice(phone)); // again: the server's refusal
        QCOMPARE(state.logs().first().message, u"解绑设备失败："_s + state.alertMessage().value_or(u"-"_s));

        // Bound earlier with this computer's name (as the simulated Mac reports it) and system.
        const QString token = *state.token();
        const APIDevice bound =
            awaitTask(state.account().api().bindDevice(
                          {state.account().deviceIdentity().clientDeviceId(), u"Devstack Mac"_s, u"macos"_s,
                           HostInfo::operatingSystemVersion(), AppState::applicationVersion()},
                          token))
                .device;
        awaitTask(state.account().syncDevices(token));
        QCOMPARE(state.currentDevice().value_or(Device()).id, bound.id);
        // The current device may not be unbound from here; nothing is sent.
        awaitTask(state.unbindDevice(*state.currentDevice()));
        QCOMPARE(state.alertMessage(), std::optional<QString>(u"当前设备不能在本机直接解绑。"_s));
        QCOMPARE(world.requestsTo(u"DELETE"_s, "/api/devices/" + bound.id), 0);
    }

    void feedbackCarriesTheActivityLogAndSigningOutTellsTheServer()
    {
        OPEN_WORLD();
        world.signIn();
        QStringList expected;
        for (const LogEntry &entry : state.logs())
            expected.append(entry.time + u' ' + entry.message);
        awaitTask(state.submitFeedback(u" 无法连接 "_s, QString(), u"连不上日本节点"_s));
        const QJsonArray submissions = world.plane().state().value(u"ticketSubmissions"_s).toArray();
        QCOMPARE(submissions.size(), 1);
        const QJsonObject sent = submissions.first().toObject();
        QCOMPARE(fields(sent, {"title", "category"}), QStringList({" 无法连接 ", "客户端问题"})); // the title as typed
        QCOMPARE(sent[u"body"_s].toString(), u"连不上日本节点\n\n--- macOS 客户端日志 ---\n"_s + expected.join(u'\n'));
        QCOMPARE(state.tickets().first().id, sent[u"id"_s].toString());

        const QString token = *state.token();
        awaitTask(state.logout());
        QCOMPARE(world.requestsTo(u"POST"_s, u"/api/auth/logout"_s), 1);
        QVERIFY(!state.token() && !world.logged(u"退出登录请求失败，已清理本地会话。"_s));
        QCOMPARE(world.plane().get("/me", token).status, 401);
    }

    void aFailingStepKeepsItsOldValues()
    {
        OPEN_WORLD(std::nullopt, {"--fault", "/plans=status:503", "--fault", "/client/bootstrap=status:500"});
        world.signIn();
        QCOMPARE(state.plans(), placeholderPlans());
        QVERIFY(world.logged(u"新客户端启动信息暂不可用，使用兼容接口。"_s));
        // The other steps ran: endpoints from the node list, devices from the device list.
        QVERIFY(!state.endpoints().isEmpty());
        for (const Endpoint &endpoint : state.endpoints())
            QCOMPARE(endpoint.supportedProtocols, QList<ProtocolKind>{ProtocolKind::wireguard});
        QVERIFY(!state.devices().isEmpty() && !state.orders().isEmpty());
    }

    void sessionsThatEnd()
    {
        OPEN_WORLD();
        world.signIn();
        // An answer for a session that ended while it was on its way is dropped.
        const QJsonObject slowAccount{{"method", "GET"}, {"path", "/me"}, {"delayMs", 300}, {"times", 1}};
        QCOMPARE(world.plane().admin("POST", "/faults", slowAccount).status, 201);
        QCoro::Task<void> refresh = state.refreshPrivateData();
        state.account().logoutLocally(); // while "/me" is on its way
        awaitTask(std::move(refresh));
        QVERIFY(!state.token() && !state.currentUser() && state.devices().isEmpty());

        // An expired session signs out locally.
        world.signIn();
        QCOMPARE(world.plane().admin("POST", "/sessions/expire", {{"identity", "demo@tovren.dev"}}).status, 200);
        awaitTask(state.refreshPrivateData());
        QVERIFY(!state.token() && !state.account().sessionStore().read() && !state.currentUser() &&
                state.showAuthSheet());
        QVERIFY(state.devices().isEmpty() && state.orders().isEmpty());
        QCOMPARE(state.logs().first().message, u"已退出登录。"_s);
        QCOMPARE(state.logs().at(1).message, u"账号数据同步失败："_s + state.alertMessage().value_or(u"-"_s));
        // Without a session the private refresh asks for a sign-in instead of calling out.
        state.setShowAuthSheet(false);
        const int before = world.requestsTo(u"GET"_s, u"/api/me"_s);
        awaitTask(state.refreshPrivateData());
        QVERIFY(state.showAuthSheet());
        QCOMPARE(world.requestsTo(u"GET"_s, u"/api/me"_s), before);
    }

    void versionPolicy()
    {
        struct Row
        {
            const char *mode;
            int rollout; // -1: none
            const char *latest, *force, *rollback, *download, *shown;
            bool required, downloadKept;
        };
        TestHome home;
        const char *dmg = "https://dl.example/Tovren.dmg";
        for (const Row &row : std::initializer_list<Row>{
                 {"FORCE", -1, "9.8.0", "请立即升级", nullptr, dmg, "请立即升级", true, true},
                 {"force", -1, "9.8.0", "", nullptr, dmg, "需要升级到 v9.8.0", true, true},
                 {"rollback", -1, "9.8.0", nullptr, nullptr, dmg, "回滚到 v9.0.0", true, true},
                 {"Rollback", -1, "9.8.0", nullptr, "v9.6.1", nullptr, "回滚到 v9.6.1", true, false},
                 {"optional", 30, "9.8.0", nullptr, nullptr, dmg, "灰度发布 30% · 最新 v9.8.0", false, true},
                 {"optional", -1, "v9.8.0", nullptr, nullptr, nullptr, "发现新版 v9.8.0", false, false},
                 // Only web addresses are kept for downloading.
                 {"force", -1, "9.8.0", nullptr, nullptr, "file:///Applications/Tovren.app", "需要升级到 v9.8.0", true,
                  false},
                 {"optional", -1, "9.8.0", nullptr, nullptr, "javascript:alert(1)", "发现新版 v9.8.0", false, false}}) {
            const auto model = std::make_shared<StateModel>();
            AppState state({.model = model});
            model->setVersionDownloadURL(QUrl(u"https://stale.example/"_s));
            // platform, current, latest, minimum, mode, download, channel, rollout, rollback, its download, notes,
            // force
            state.account().applyVersionPolicy({u"macos"_s, u"v9.7.3"_s, QString::fromUtf8(row.latest), u"v9.0.0"_s,
                                                QString::fromUtf8(row.mode), text(row.download), std::nullopt,
                                                row.rollout < 0 ? std::nullopt : std::optional<qint64>(row.rollout),
                                                text(row.rollback), std::nullopt, std::nullopt, text(row.force)});
            QCOMPARE(state.versionPolicyText(), QString::fromUtf8(row.shown));
            QCOMPARE(state.requiresVersionAction(), row.required);
            QCOMPARE(state.versionDownloadURL(),
                     row.downloadKept ? std::optional<QUrl>(QUrl(QString::fromUtf8(row.download))) : std::nullopt);
        }
    }

    void recordsBecomeWhatThePagesShow()
    {
        // Plans: the action names the plan without "套餐"; known ids are compared exactly.
        // clang-format off
        for (const auto &[id, name, action] : {std::tuple{"monthly", "月度套餐", "开通月费"},
                 {"quarterly", "季度套餐", "开通季度"}, {"yearly", "年度套餐", "开通年费"},
                 {"family", "家庭套餐共享套餐", "开通家庭共享"}, {"x", "套餐", "开通"}, {"Monthly", "月度", "开通月度"}}) {
            // clang-format on
            const Plan plan = planFromAPI({id, QString::fromUtf8(name), 398.5, u"CNY"_s, 365, 12}, false);
            QCOMPARE(QStringList({plan.action, plan.price, plan.detail}),
                     QStringList({QString::fromUtf8(action), "398.50", "365 天有效期，支持 12 台设备。"}));
        }
        // Dates: the local day of a date-time with a zone, the first ten characters of anything else.
        // clang-format off
        for (const auto &[date, shown] : {std::pair<const char *, const char *>{nullptr, "-"}, {"", "-"},
                 {"2024-05-31T20:30:00.123Z", "06-01"}, {"2024-01-02T08:00:00+08:00", "01-02"},
                 {"yesterday at noon", "yesterday "}, {"2024-12-25T10:00:00", "2024-12-25"}, {"soon", "soon"}})
            QCOMPARE(AppState::shortDateText(text(date)), QString::fromUtf8(shown));
        // clang-format on
        // E-mail addresses are trimmed and lower-cased, or refused.
        QCOMPARE(AccountService::normalizedEmail(u"  Demo@Tovren.DEV \n"_s), u"demo@tovren.dev"_s);
        for (const QString &refused : {u"de mo@tovren.dev"_s, u"de\u3000mo@tovren.dev"_s, u"a@b@c.cn"_s, QString()})
            QVERIFY_THROWS_EXCEPTION(TovrenRuntimeError, AccountService::normalizedEmail(refused));
    }

    void accountTextsAndAddresses()
    {
        TestHome home;
        QList<QUrl> opened;
        QStringList copied;
        Workspace::install({[&](const QUrl &url) { return opened.append(url), true; },
                            [&](const QString &text) { return copied.append(text), true; },
                            {}});
        const auto uninstall = qScopeGuard([] { Workspace::install({}); });
        const auto model = std::make_shared<StateModel>();
        AppState state({.model = model});
        // id, identity, e-mail, phone, role, status, referral, plan, expiry, traffic, devices, invites, paid
        model->setCurrentUser(APIUser{u"usr_1"_s, u"a@b.cn"_s, std::nullopt, std::nullopt, u"user"_s, u"active"_s,
                                      u"TV DEMO"_s, u"季度套餐"_s, u"2024-05-31T20:30:00.000Z"_s, 1536, 5, 2, 3,
                                      std::nullopt});
        model->setActiveDeviceCount(2);
        QCOMPARE(
            QStringList({state.planPillText(), state.pendingInvitesText(), state.accessSummary(), state.deviceUsage()}),
            QStringList({"季度套餐有效", "-1", "1.5GB / 06-01", "2 / 5 设备"})); // the user's limit: the list gave none
        model->setMaxDevices(3);
        QCOMPARE(state.deviceUsage(), u"2 / 3 设备"_s);
        state.copyInviteLink(); // the code is escaped into the link
        QCOMPARE(copied, QStringList{Deployment::webClientURL().toString() + u"?invite=TV%20DEMO"_s});

        const Plan plan = placeholderPlans().first();
        const QUrl origin(u"https://web.example"_s);
        QCOMPARE(
            state.account().publicPricingURL(origin, plan, u"a+b@x.cn"_s).toString(QUrl::FullyEncoded),
            u"https://web.example/pricing/?plan=monthly&source=macos&client_version=v9.7.3&account=a%2Bb%40x.cn"_s);
        const QUrl next = state.account().publicPricingURL(QUrl(u"https://web.example/shop"_s), plan, std::nullopt);
        QVERIFY(next.toString().startsWith("https://web.example/shop/pricing/?plan=monthly&source=macos&"_L1));
        QCOMPARE(QUrlQuery(state.account().publicLoginURL(origin, next)).queryItemValue(u"next"_s, QUrl::FullyDecoded),
                 next.toString(QUrl::FullyEncoded));
        // Signed out, buying leads through the sign-in page; a browser that cannot be opened is not reported as opened.
        model->setCurrentUser(std::nullopt);
        state.purchase(plan);
        QCOMPARE(opened.size(), 1);
        QCOMPARE(opened.first().path(), u"/login/"_s);
        QCOMPARE(state.logs().first().message, u"已打开公网月费套餐页面。"_s);
        Workspace::install({});
        const qsizetype logged = state.logs().size();
        state.purchase(plan);
        QCOMPARE(state.logs().size(), logged);
        QCOMPARE(state.alertMessage(), std::optional<QString>(u"无法打开月费套餐页面，请稍后重试。"_s));
        // Telegram's link is copied either way; the log says "opened" only when it did open.
        Workspace::install(
            {[](const QUrl &) { return false; }, [&](const QString &text) { return copied.append(text), true; }, {}});
        state.openTelegramProxy();
        QCOMPARE(copied.last(), u"tg://socks?server=127.0.0.1&port=19090"_s);
        QCOMPARE(state.logs().first().message, u"Telegram 本地 SOCKS 代理入口已复制。"_s);
        Workspace::install({[](const QUrl &) { return true; }, {}, {}});
        state.openTelegramProxy();
        QCOMPARE(state.logs().first().message, u"已打开 Telegram 本地 SOCKS 代理入口。"_s);
    }
};

QTEST_GUILESS_MAIN(TestFlows)
#include "test_flows.moc"
