// Connect latency and event-loop stalls, measured on the client's own state and window in this process.
//
// Each run presses connect the way the button does (StateActions::toggleConnection) and times it to the moment
// the state turns connected; then one probe through the running core gives the round trip that the protocol's
// floor includes; then the same button disconnects. A 1 ms timer on the same event loop records the longest
// stall of each connect and disconnect. The window and the menu bar item are live, so their repaints count.
// The simulated Mac's record of tool runs gives each connect's tool counts and the networksetup runs of the
// enable sequence, the third part of the floor.
#include "BenchSupport.h"
#include "testkit/ConnectionWorld.h"

#include "state/StateActions.h"
#include "ui/MainWindow.h"
#include "ui/MenuBar.h"
#include "ui/RootView.h"

#include "base/LocalProxyPorts.h"
#include "runtime/CommandRunner.h"
#include "runtime/HostPaths.h"
#include "runtime/SingBoxRuntimeRules.h"
#include "tunnel/ProbeTargets.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMap>
#include <QTimer>

#include <cstdio>

namespace {

// The core is watched this long after its launch before the connect may go on; nothing can be faster.
constexpr double coreWatchMs = 1100;
constexpr double targetOverFloorMs = 300;
constexpr double stallTargetMs = 16;
// Longer than the clean-ups and the system proxy manager rely on what they saw.
constexpr int lookForgottenAfterMs = 6000;

struct Run
{
    double connectMs = 0;
    double probeMs = 0;
    double disconnectMs = 0;
    double connectStallMs = 0;
    double connectStallAtMs = 0;
    double disconnectStallMs = 0;
    double connectBusyMs = 0;
    double connectBusyAtMs = 0;
    double disconnectBusyMs = 0;
    QList<std::pair<double, QString>> milestones;   // activity-log lines, ms after the press
    QMap<QString, std::pair<int, double>> toolRuns; // simulated Mac tool: runs during the connect, ms they took
    int enableRuns = 0;                             // networksetup runs of the enable sequence itself
    double enableMs = 0;
};

// One tool run the way the runtime makes it, over the local ports where nothing listens: the unit cost of the
// clean-ups' port sweeps on this machine.
double toolRunMs(int samples)
{
    QList<double> times;
    const QString lsof = HostPaths::resolve(QString::fromLatin1(HostPaths::Tool::lsof));
    const QList<int> localPorts = LocalProxyPorts::systemProxyPortRange() << LocalProxyPorts::aiProxyPort;
    for (int i = 0; i < samples; ++i) {
        QElapsedTimer clock;
        clock.start();
        awaitTask(CommandRunner::runResult(lsof, SingBox::listeningArguments(localPorts)));
        times << clock.nsecsElapsed() / 1e6;
    }
    return Bench::median(times);
}

// The networksetup runs that pointing the system proxy at the new core needs whatever the client knew before:
// after the core's launch, per service one read of its bypass list and the changes.
bool isEnableStep(const QList<SimulatedMac::Invocation> &invocations, qsizetype at)
{
    const SimulatedMac::Invocation &run = invocations[at];
    if (run.tool != QLatin1String("networksetup") || run.arguments.isEmpty())
        return false;
    if (run.arguments.first().startsWith(QLatin1String("-set")))
        return true;
    if (run.arguments.first() != QLatin1String("-getproxybypassdomains"))
        return false;
    for (qsizetype i = at - 1; i >= 0; --i) {
        if (invocations[i].tool == QLatin1String("sing-box"))
            return true;
        if (invocations[i].arguments == run.arguments)
            return false; // this service's list was read already
    }
    return false;
}

QString toolCounts(const Run &run)
{
    int all = 0;
    for (const auto &[count, ms] : run.toolRuns)
        all += count;
    const auto runs = [&](const char *tool) { return run.toolRuns.value(QLatin1String(tool)).first; };
    return QStringLiteral("tool runs per connect: %1 (lsof %2, networksetup %3, ps %4, kill %5, curl %6)")
        .arg(all)
        .arg(runs("lsof"))
        .arg(runs("networksetup"))
        .arg(runs("ps"))
        .arg(runs("kill"))
        .arg(runs("curl"));
}

Run measureOnce(ConnectionWorld &world, StateActions &actions, Bench::StallProbe &stalls)
{
    AppState &state = world.state();
    Run run;
    QElapsedTimer clock;
    const QMetaObject::Connection logging = QObject::connect(&state, &AppState::logAppended, [&](const LogEntry &e) {
        run.milestones.append({clock.nsecsElapsed() / 1e6, e.message});
    });
    const QMetaObject::Connection watching = QObject::connect(&state, &AppState::connectionChanged, [&] {
        if (run.connectMs == 0 && state.connectionState().kind() == ConnectionState::connected)
            run.connectMs = clock.nsecsElapsed() / 1e6;
    });

    // A user presses connect long after the last clean-up: what an earlier look found is no longer relied on, so
    // each connect does all its own looking.
    QEventLoop pause;
    QTimer::singleShot(lookForgottenAfterMs, &pause, &QEventLoop::quit);
    pause.exec();

    world.mac().clearRecords();
    clock.start();
    stalls.reset();
    awaitTask(actions.toggleConnection(), std::chrono::seconds(120));
    run.connectStallMs = stalls.longestGapMs();
    run.connectStallAtMs = stalls.longestGapEndMs();
    run.connectBusyMs = stalls.longestBusyMs();
    run.connectBusyAtMs = stalls.longestBusyEndMs();
    QObject::disconnect(logging);
    QObject::disconnect(watching);
    if (state.connectionState().kind() != ConnectionState::connected)
        throw std::runtime_error("the connect failed: " + state.connectionState().failureMessage().toStdString());
    // Each run is charged the time until the next one began (the last one: until connected), which includes
    // the client's own work in between and, for the core's launch, the watch after it.
    const QList<SimulatedMac::Invocation> invocations = world.mac().invocations();
    const QDateTime connectedAt = state.connectedAt().value_or(QDateTime::currentDateTime());
    for (qsizetype i = 0; i < invocations.size(); ++i) {
        const QDateTime end = i + 1 < invocations.size() ? invocations[i + 1].time : connectedAt;
        const double charged = std::max<qint64>(0, invocations[i].time.msecsTo(end));
        auto &[count, ms] = run.toolRuns[invocations[i].tool];
        ++count;
        ms += charged;
        if (isEnableStep(invocations, i)) {
            ++run.enableRuns;
            run.enableMs += charged;
        }
    }

    // The probe the validation sends first, through the core that now runs.
    const QString url = ProbeTargets::current().web.first();
    QElapsedTimer probe;
    probe.start();
    const int status = awaitTask(state.tunnel().proxyHTTPStatus(state.localProxyPort(), url));
    run.probeMs = probe.nsecsElapsed() / 1e6;
    if (status < 200 || status > 399)
        throw std::runtime_error("the probe through the core answered " + std::to_string(status));

    clock.start();
    stalls.reset();
    awaitTask(actions.toggleConnection(), std::chrono::seconds(60));
    run.disconnectMs = clock.nsecsElapsed() / 1e6;
    run.disconnectStallMs = stalls.longestGapMs();
    run.disconnectBusyMs = stalls.longestBusyMs();
    if (state.connectionState().kind() != ConnectionState::disconnected)
        throw std::runtime_error("the disconnect failed");
    return run;
}

// Where a connect spends its time: each activity-log line with its median time after the press.
void printBreakdown(const QList<Run> &runs)
{
    Bench::say(QStringLiteral("  where a connect spends its time (median ms after the press, over the runs):"));
    for (const auto &[ms, message] : runs.first().milestones) {
        QList<double> offsets;
        for (const Run &run : runs) {
            for (const auto &[at, text] : run.milestones) {
                if (text == message) {
                    offsets << at;
                    break;
                }
            }
        }
        Bench::say(QStringLiteral("    %1  %2").arg(Bench::median(offsets), 7, 'f', 0).arg(message));
    }
    QStringList tools;
    for (auto it = runs.first().toolRuns.cbegin(); it != runs.first().toolRuns.cend(); ++it) {
        QList<double> times;
        for (const Run &run : runs)
            times << run.toolRuns.value(it.key()).second;
        tools << QStringLiteral("%1 %2 (%3)")
                     .arg(it.key())
                     .arg(it.value().first)
                     .arg(Bench::seconds(Bench::median(times)));
    }
    Bench::say(QStringLiteral("  host tool runs per connect, with the time until the next began (median): ") +
               tools.join(QStringLiteral(", ")));
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Bench::useBuildTree();
    QApplication app(argc, argv);
    const QStringList arguments = QApplication::arguments();
    const int runCount = Bench::option(arguments, QStringLiteral("--runs"), 5);

    // Provisioning finishes at once: the wait for the service is not the client's latency.
    ConnectionWorld world(std::nullopt, {QStringLiteral("--provisioning-ms"), QStringLiteral("0")});
    if (!world.isValid()) {
        std::fprintf(stderr, "bench_connect: %s\n", qPrintable(world.errorString()));
        return 1;
    }
    world.signIn();

    StateActions &actions = world.state();
    MainWindow window(actions);
    MenuBarItem menuBar(actions);
    bool started = false;
    QObject::connect(window.rootView(), &RootView::startupFinished, [&] { started = true; });
    window.show();
    if (!TunnelFixtures::eventually([&] { return started; })) {
        std::fprintf(stderr, "bench_connect: the window's start-up did not finish\n");
        return 1;
    }

    Bench::StallProbe stalls;
    QList<Run> runs;
    try {
        for (int i = 1; i <= runCount; ++i) {
            const Run run = measureOnce(world, actions, stalls);
            runs << run;
            Bench::say(
                QStringLiteral("  run %1: connect %2, probe round trip %3, disconnect %4; longest stall: "
                               "connect %5 at %6 after the press, disconnect %7; longest own work: connect %8 at %9, "
                               "disconnect %10")
                    .arg(i)
                    .arg(Bench::seconds(run.connectMs), Bench::milliseconds(run.probeMs),
                         Bench::seconds(run.disconnectMs), Bench::milliseconds(run.connectStallMs),
                         Bench::seconds(run.connectStallAtMs), Bench::milliseconds(run.disconnectStallMs),
                         Bench::milliseconds(run.connectBusyMs), Bench::seconds(run.connectBusyAtMs))
                    .arg(Bench::milliseconds(run.disconnectBusyMs))
                    .append(QStringLiteral("  (") + Bench::loadText() + u')'));
            Bench::say(QStringLiteral("    ") + toolCounts(run));
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "bench_connect: %s\n", e.what());
        return 1;
    }

    QList<double> connects, probes, enables, connectStalls, disconnectStalls, busy;
    for (const Run &run : runs) {
        connects << run.connectMs;
        probes << run.probeMs;
        enables << run.enableMs;
        connectStalls << run.connectStallMs;
        disconnectStalls << run.disconnectStallMs;
        busy << run.connectBusyMs << run.disconnectBusyMs;
    }
    printBreakdown(runs);
    Bench::say(QStringLiteral("  one host tool run (lsof over the free local range, as the clean-ups run it): %1")
                   .arg(Bench::milliseconds(toolRunMs(10))));

    const double floorMs = coreWatchMs + Bench::median(probes) + Bench::median(enables);
    const double connectMedian = Bench::median(connects);
    Bench::say(QStringLiteral("connect latency: median %1, max %2 over %3 runs (floor %4 = core watch %5 + probe "
                              "round trip %6 + enable sequence's networksetup runs %7 (%8 runs); target: floor + %9 "
                              "= %10) %11")
                   .arg(Bench::seconds(connectMedian), Bench::seconds(Bench::maximum(connects)))
                   .arg(runs.size())
                   .arg(Bench::seconds(floorMs), Bench::seconds(coreWatchMs), Bench::seconds(Bench::median(probes)),
                        Bench::seconds(Bench::median(enables)))
                   .arg(runs.first().enableRuns)
                   .arg(Bench::seconds(targetOverFloorMs), Bench::seconds(floorMs + targetOverFloorMs),
                        Bench::verdict(connectMedian <= floorMs + targetOverFloorMs)));
    const double connectStall = Bench::maximum(connectStalls);
    const double disconnectStall = Bench::maximum(disconnectStalls);
    Bench::say(QStringLiteral("longest event-loop stall: connect %1 (median of runs %2), disconnect %3 (median of "
                              "runs %4) (1 ms timer; target: under %5) %6; longest work of the loop's own within one "
                              "stall: %7")
                   .arg(Bench::milliseconds(connectStall), Bench::milliseconds(Bench::median(connectStalls)),
                        Bench::milliseconds(disconnectStall), Bench::milliseconds(Bench::median(disconnectStalls)),
                        Bench::milliseconds(stallTargetMs),
                        Bench::verdict(connectStall < stallTargetMs && disconnectStall < stallTargetMs),
                        Bench::milliseconds(Bench::maximum(busy))));
    return 0;
}
