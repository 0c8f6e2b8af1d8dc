#include "SingBoxRuntimeCoordinator.h"
#include "base/LocalProxyPorts.h"

#include "CommandRunner.h"
#include "FileSystemError.h"
#include "PrivilegedCommand.h"
#include "ProcessWait.h"
#include "SingBoxRuntimeError.h"
#include "SingBoxRuntimeRules.h"

#include "base/ProductPaths.h"

#include <QCoreApplication>
#include <QCoroTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <cerrno>
#include <csignal>

using namespace std::chrono_literals;

namespace {

constexpr auto launchWatch = 1100ms;

const QString logFileName = QStringLiteral("sing-box.log");
const QString pidFileName = QStringLiteral("sing-box.pid");

// Lets a child we no longer hold end in its own time; the handle goes once Qt has seen the exit.
void release(QProcess *process)
{
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    QObject::connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            process->deleteLater();
    });
}

} // namespace

SingBoxRuntimeCoordinator::SingBoxRuntimeCoordinator(QObject *parent) : QObject(parent)
{
}

// A core still held when the client goes away is ended by QProcess's destructor together with its handle.
SingBoxRuntimeCoordinator::~SingBoxRuntimeCoordinator() = default;

std::optional<qint64> SingBoxRuntimeCoordinator::managedProcessId() const
{
    if (!m_process)
        return std::nullopt;
    return m_process->processId();
}

std::optional<QString> SingBoxRuntimeCoordinator::bundledSingBoxURL()
{
    for (const QString &candidate : SingBox::coreCandidates(QCoreApplication::applicationDirPath())) {
        const QFileInfo info(candidate);
        if (info.isFile() && info.isExecutable())
            return info.absoluteFilePath();
    }
    return std::nullopt;
}

QString SingBoxRuntimeCoordinator::runtimeDirectory()
{
    const QString directory = ProductPaths::singBoxDirectory();
    if (!ProductPaths::ensurePrivateDirectory(directory))
        throw FileSystemError(QStringLiteral("无法创建目录"), directory, QString());
    return directory;
}

QList<int> SingBoxRuntimeCoordinator::listenPorts(const QString &configURL)
{
    QFile file(configURL);
    if (!file.open(QIODevice::ReadOnly))
        return {LocalProxyPorts::preferredSystemProxyPort};
    return SingBox::listenPorts(file.readAll());
}

void SingBoxRuntimeCoordinator::resetRuntimeFiles(const QString &logURL, const QString &pidURL)
{
    const QString directory = QFileInfo(logURL).absolutePath();
    if (!ProductPaths::ensurePrivateDirectory(directory))
        throw FileSystemError(QStringLiteral("无法创建目录"), directory, QString());
    // The core's output names its servers: an empty log, owner-only from the start, replaces the old one.
    errno = 0;
    if (!ProductPaths::writePrivateFileAtomically(logURL, QByteArray()))
        throw FileSystemError(QStringLiteral("无法写入文件"), logURL, errno ? qt_error_string(errno) : QString());
    QFile::remove(pidURL);
}

QString SingBoxRuntimeCoordinator::failureText(const QString &logURL)
{
    QFile log(logURL);
    if (!log.open(QIODevice::ReadOnly))
        return SingBox::noLogMessage();
    const QString text = CommandRunner::decodeOutput(log.readAll());
    // Bytes that are not UTF-8 decode to nothing, which cleans to the same message.
    return SingBox::cleanMessage(text);
}

std::optional<int> SingBoxRuntimeCoordinator::readPID(const QString &pidURL)
{
    QFile file(pidURL);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return SingBox::parsePID(CommandRunner::decodeOutput(file.readAll()));
}

QCoro::Task<CommandResult> SingBoxRuntimeCoordinator::runProcessResult(QString executable, QStringList arguments)
{
    return CommandRunner::runResult(std::move(executable), std::move(arguments));
}

QCoro::Task<> SingBoxRuntimeCoordinator::runPrivileged(QString command)
{
    const CommandResult result = co_await PrivilegedCommand::runResult(std::move(command));
    if (result.status != 0)
        throw SingBoxRuntimeError::privilegedLaunchFailed(SingBox::cleanMessage(result.combinedOutput()));
}

QCoro::Task<> SingBoxRuntimeCoordinator::checkConfig(QString executableURL, QString configURL)
{
    const QStringList arguments{QStringLiteral("check"), QStringLiteral("-c"), configURL};
    const CommandResult result = co_await runProcessResult(executableURL, arguments);
    if (result.status != 0)
        throw SingBoxRuntimeError::invalidConfig(SingBox::cleanMessage(result.combinedOutput()));
}

QCoro::Task<std::optional<SingBoxStart>> SingBoxRuntimeCoordinator::startUnprivileged(QString executableURL,
                                                                                      QString configURL,
                                                                                      QString logURL,
                                                                                      std::optional<int> proxyPort)
{
    auto process = std::make_unique<QProcess>();
    process->setProgram(executableURL);
    process->setArguments({QStringLiteral("run"), QStringLiteral("-c"), configURL});
    process->setProcessEnvironment(CommandRunner::environmentWithPath(SingBox::corePath(executableURL)));
    // Relative paths of a template (a cache file, a local rule set) land in the client's own folder, not in the
    // working directory the client happened to be started in ("/" from Finder).
    process->setWorkingDirectory(QFileInfo(logURL).absolutePath());

    // The log must already exist (the reset created it); the core appends to it through its own
    // descriptors, so nothing in the client reads a pipe while it runs.
    QFile log(logURL);
    if (!log.exists() || !log.open(QIODevice::WriteOnly | QIODevice::Append))
        throw FileSystemError(QStringLiteral("无法写入文件"), logURL, log.errorString());
    log.close();
    process->setStandardOutputFile(logURL, QIODevice::Append);
    process->setStandardErrorFile(logURL, QIODevice::Append);
    process->setStandardInputFile(QProcess::nullDevice());

    // Whatever was seen quiet before may be held by this core from now on.
    m_quietPorts.clear();
    process->start();
    co_await ProcessWait::untilStarted(*process);
    if (process->error() == QProcess::FailedToStart)
        throw CommandLaunchError(process->errorString());

    co_await QCoro::sleepFor(launchWatch);

    if (process->state() != QProcess::Running) {
        release(process.release());
        co_return std::nullopt;
    }
    if (m_process)
        release(std::exchange(m_process, nullptr));
    m_process = process.release();
    m_process->setParent(this);
    co_return SingBoxStart{configURL, proxyPort, {}};
}

void SingBoxRuntimeCoordinator::stopManagedProcess()
{
    QProcess *process = std::exchange(m_process, nullptr);
    if (!process)
        return;
    if (process->state() == QProcess::Running) {
        const qint64 pid = process->processId();
        ::kill(static_cast<pid_t>(pid), SIGTERM);
        // Qt learns of the exit only from the event loop, so the core counts as running right after.
        if (process->state() == QProcess::Running)
            ::kill(static_cast<pid_t>(pid), SIGINT);
    }
    release(process);
}

QCoro::Task<SingBoxStart> SingBoxRuntimeCoordinator::start(QString configURL)
{
    const std::optional<QString> core = bundledSingBoxURL();
    if (!core)
        throw SingBoxRuntimeError::missingBinary();

    const QString directory = runtimeDirectory();
    const QString logURL = directory + u'/' + logFileName;
    const QString pidURL = directory + u'/' + pidFileName;
    const QList<int> ports = listenPorts(configURL);
    const std::optional<int> proxyPort = ports.isEmpty() ? std::nullopt : std::optional<int>(ports.first());

    stopManagedProcess();
    const QStringList notes = co_await cleanupStaleRuntime(pidURL, ports, false);

    resetRuntimeFiles(logURL, pidURL);
    m_lastLogURL = logURL;
    co_await checkConfig(*core, configURL);

    std::optional<SingBoxStart> activation = co_await startUnprivileged(*core, configURL, logURL, proxyPort);
    if (activation) {
        activation->recoveryNotes = notes + activation->recoveryNotes;
        co_return *activation;
    }

    const QString failure = failureText(logURL);
    if (!SingBox::isAddressInUse(failure))
        throw SingBoxRuntimeError::exitedEarly(failure);

    // A port conflict that the first cleanup could not see: one more cleanup, which may now ask for
    // administrator rights, and one more start.
    const QStringList privilegedNotes = co_await cleanupStaleRuntime(pidURL, ports, true);
    resetRuntimeFiles(logURL, pidURL);
    activation = co_await startUnprivileged(*core, configURL, logURL, proxyPort);
    if (!activation)
        throw SingBoxRuntimeError::exitedEarly(failureText(logURL));
    activation->recoveryNotes = notes + privilegedNotes + activation->recoveryNotes;
    co_return *activation;
}

QCoro::Task<> SingBoxRuntimeCoordinator::stop(bool allowPrivilege)
{
    stopManagedProcess();

    QString directory;
    try {
        directory = runtimeDirectory();
    } catch (const FileSystemError &) {
        co_return;
    }
    const std::optional<int> pid = readPID(directory + u'/' + pidFileName);
    if (!pid)
        co_return;
    // The pid file may be years old and its pid reused by an unrelated program: only a process that is
    // still one of our cores is ended, never whatever now carries that number.
    // (The command line is awaited on its own line: GCC 12 miscompiles an `if` whose condition awaits and
    // whose branch leaves the coroutine.)
    const QString command = co_await commandLine(*pid);
    if (!SingBox::isOwnedSingBoxCommand(command))
        co_return;
    co_await terminate(*pid, allowPrivilege);
}

QCoro::Task<QStringList> SingBoxRuntimeCoordinator::cleanupOwnedRuntime(QList<int> proxyPorts, bool allowPrivilege)
{
    const QString pidURL = runtimeDirectory() + u'/' + pidFileName;
    co_return co_await cleanupStaleRuntime(pidURL, std::move(proxyPorts), allowPrivilege);
}

bool SingBoxRuntimeCoordinator::portsKnownQuiet(const QList<int> &ports) const
{
    // The pid file is read afresh: an older client version may have written it since.
    if (readPID(ProductPaths::singBoxDirectory() + u'/' + pidFileName))
        return false;
    return std::all_of(ports.begin(), ports.end(), [this](int port) {
        const auto known = m_quietPorts.constFind(port);
        return known != m_quietPorts.cend() && !known->hasExpired();
    });
}
