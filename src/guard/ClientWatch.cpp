#include "ClientWatch.h"

#include "runtime/CommandRunner.h"
#include "runtime/CrashGuard.h"
#include "runtime/HostPaths.h"
#include "runtime/MacOSSystemProxyManager.h"
#include "runtime/SingBoxRuntimeRules.h"

#include <QCoroTimer>
#include <QElapsedTimer>

#include <cerrno>
#include <csignal>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// How long the core has to end on SIGTERM before it gets SIGKILL.
constexpr qint64 termGraceMs = 500;

bool exists(qint64 pid)
{
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

// Whether the pid still names a core of the client: the pid may have been reused, and an ended core that nobody
// reaped yet has lost its command line.
QCoro::Task<bool> isOwnCore(qint64 pid)
{
    const CommandResult result = co_await CommandRunner::runResult(
        HostPaths::resolve(QString::fromLatin1(HostPaths::Tool::ps)), SingBox::commandLineArguments(int(pid)));
    co_return result.status == 0 && SingBox::isOwnedSingBoxCommand(result.standardOutput.trimmed());
}

} // namespace

ClientWatch::ClientWatch(int descriptor, QObject *parent)
    : QObject(parent), m_descriptor(descriptor), m_notifier(descriptor, QSocketNotifier::Read)
{
    QObject::connect(&m_notifier, &QSocketNotifier::activated, this, &ClientWatch::readAvailable);
}

void ClientWatch::readAvailable()
{
    char chunk[512];
    const ssize_t n = ::read(m_descriptor, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n > 0) {
        m_buffer.append(chunk, n);
        for (qsizetype end = m_buffer.indexOf('\n'); end >= 0; end = m_buffer.indexOf('\n')) {
            const GuardProtocol::Message message = GuardProtocol::parseLine(m_buffer.left(end));
            m_buffer.remove(0, end + 1);
            if (message.cleanExit) {
                m_notifier.setEnabled(false);
                Q_EMIT finished();
                return;
            }
            if (message.corePid)
                m_corePid = message.corePid;
        }
        return;
    }
    // The pipe ended (or broke) without the clean-exit word: the client is gone.
    m_notifier.setEnabled(false);
    restoreAfterCrash();
}

QCoro::Task<> ClientWatch::restoreAfterCrash()
{
    qInfo().noquote() << "tovren-guard: the client ended without its clean-up; ending its core"
                      << (m_corePid ? QString::number(*m_corePid) : QStringLiteral("(none)"))
                      << "and restoring the system proxy settings";
    // The core goes down while the settings come back; neither waits for the other.
    QCoro::Task<> ending = m_corePid ? endCore(*m_corePid) : QCoro::Task<>();
    try {
        MacOSSystemProxyManager manager;
        co_await manager.disableLocalProxy(false); // a prompt without a window behind it would only confuse
    } catch (const std::exception &error) {
        qWarning().noquote() << "tovren-guard: restoring the system proxy settings failed:" << error.what();
    }
    if (m_corePid)
        co_await ending;
    Q_EMIT finished();
}

QCoro::Task<> ClientWatch::endCore(qint64 pid)
{
    const bool own = co_await isOwnCore(pid);
    if (!own)
        co_return;
    ::kill(pid_t(pid), SIGTERM);
    QElapsedTimer waited;
    waited.start();
    while (exists(pid) && waited.elapsed() < termGraceMs)
        co_await QCoro::sleepFor(20ms);
    if (!exists(pid))
        co_return;
    const bool stillOwn = co_await isOwnCore(pid);
    if (stillOwn)
        ::kill(pid_t(pid), SIGKILL);
}
