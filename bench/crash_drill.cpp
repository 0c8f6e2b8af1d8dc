// The crash drill (scripts/crash-drill): the real `tovren` executable connects on the devstack with a user's own
// company proxy set on Wi-Fi and is killed with SIGKILL, N times. Each time it measures, from the signal, how long
// until no core of the client runs and Wi-Fi's proxy settings equal the user's again. Nothing but the client's guard
// is there to do it: the next start is not waited for.
#include "testkit/ConnectionWorld.h"
#include "testkit/EndToEnd.h"

#include "api/SessionStore.h"
#include "base/Preferences.h"
#include "runtime/ProxySnapshotFile.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <csignal>
#include <cstdio>
#include <sys/prctl.h>

namespace {

constexpr qint64 targetMs = 1000;
constexpr qint64 giveUpMs = 10'000;
const QString connectedLine = QStringLiteral("sing-box 内核已连接：");

QString load()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).section(u' ', 0, 0) : QString();
}

} // namespace

int main(int argc, char *argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? QByteArray(argv[1]).toInt() : 10;
    if (runs < 1) {
        std::fprintf(stderr, "usage: crash_drill [N]\n");
        return 2;
    }
    // The killed client's core and guard land here; reaped at once, as launchd does.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    EndToEnd::OrphanReaper reaper;

    ConnectionWorld world(std::nullopt, {QStringLiteral("--provisioning-ms"), QStringLiteral("0")},
                          ConnectionWorld::InProcessState::no);
    if (!world.isValid()) {
        std::fprintf(stderr, "crash drill: %s\n", qPrintable(world.errorString()));
        return 1;
    }
    Preferences preferences;
    SessionStore(preferences).save(world.plane().signIn(QStringLiteral("demo@tovren.dev")));
    preferences.sync();
    const SimulatedMac::NetworkService user = EndToEnd::setCompanyProxy(world.mac());
    const QString home = world.homePath();
    const QString probe =
        QStringLiteral("http://127.0.0.1:%1/generate_204").arg(world.probes().internet().serverPort());

    int restored = 0;
    qint64 slowest = 0;
    for (int run = 1; run <= runs; ++run) {
        EndToEnd::Client client({QStringLiteral("--print-log"), QStringLiteral("--tovren-autoconnect-smoke")}, probe);
        if (!client.waitForLog(connectedLine, 90'000)) {
            std::printf("run %d: no connection\n%s\n", run, qPrintable(client.log()));
            continue;
        }
        const QList<qint64> guards = EndToEnd::guardsOf(home);
        reaper.adopt(EndToEnd::coresBelow(home) + guards);
        QElapsedTimer clock;
        ::kill(pid_t(client.process().processId()), SIGKILL);
        clock.start();
        bool done = false;
        while (!done && clock.elapsed() < giveUpMs) {
            done = EndToEnd::coresBelow(home).isEmpty() &&
                   EndToEnd::sameProxySettings(world.mac().service(QStringLiteral("Wi-Fi")), user);
            if (!done)
                QTest::qWait(2);
        }
        const qint64 elapsed = clock.elapsed();
        client.waitForEnd(5000);
        // Done with its work, the guard goes and takes the saved settings with it.
        const bool tidy = QTest::qWaitFor([&] { return EndToEnd::guardsOf(home).isEmpty(); }, 5000) &&
                          !QFile::exists(ProxySnapshotFile::path());
        if (done) {
            restored += elapsed <= targetMs ? 1 : 0;
            slowest = std::max(slowest, elapsed);
            std::printf("run %d: restored in %lld ms (guards %lld, load %s)%s\n", run, elapsed, qint64(guards.size()),
                        qPrintable(load()), tidy ? "" : ", but the guard or its file stayed");
        } else {
            std::printf("run %d: not restored after %lld ms (load %s)\n", run, elapsed, qPrintable(load()));
        }
        std::fflush(stdout);
    }
    std::printf("crash drill: %d of %d restored within 1 s, max %lld ms\n", restored, runs, slowest);
    return restored == runs ? 0 : 1;
}
