#include "CrashGuard.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace GuardProtocol {

QByteArray coreLine(qint64 pid)
{
    return QByteArray(coreWord) + ' ' + QByteArray::number(pid) + '\n';
}

QByteArray cleanExitLine()
{
    return QByteArray(cleanExitWord) + '\n';
}

Message parseLine(const QByteArray &line)
{
    Message message;
    const QList<QByteArray> words = line.simplified().split(' ');
    if (words == QList<QByteArray>{cleanExitWord}) {
        message.cleanExit = true;
    } else if (words.size() == 2 && words.first() == coreWord) {
        bool ok = false;
        const qint64 pid = words.last().toLongLong(&ok);
        // 0 and negative ids would address process groups.
        if (ok && pid > 0)
            message.corePid = pid;
    }
    return message;
}

} // namespace GuardProtocol

namespace {

// Both ends above the standard descriptors (where the child's set-up could not overwrite them) and closed on exec,
// so that no other child of the client holds the pipe open after the client is gone.
bool openPipe(int ends[2])
{
    int raw[2];
    if (::pipe(raw) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        ends[i] = ::fcntl(raw[i], F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        ::close(raw[i]);
    }
    if (ends[0] >= 0 && ends[1] >= 0)
        return true;
    for (int i = 0; i < 2; ++i) {
        if (ends[i] >= 0)
            ::close(ends[i]);
    }
    return false;
}

} // namespace

CrashGuard::CrashGuard(QObject *parent) : QObject(parent)
{
}

CrashGuard::~CrashGuard()
{
    release();
}

QString CrashGuard::executablePath()
{
    return QCoreApplication::applicationDirPath() + u'/' + QLatin1String(GuardProtocol::executableName);
}

void CrashGuard::watch(qint64 corePid)
{
    if (m_pipe < 0 && !start())
        return;
    send(GuardProtocol::coreLine(corePid));
}

void CrashGuard::release()
{
    if (m_pipe < 0)
        return;
    send(GuardProtocol::cleanExitLine());
    ::close(m_pipe);
    m_pipe = -1;
    m_process = nullptr; // it ends by itself and then goes
}

bool CrashGuard::start()
{
    const QString program = executablePath();
    if (!QFileInfo(program).isExecutable()) {
        static bool warned = false;
        if (!std::exchange(warned, true))
            qWarning().noquote() << "no" << program << "; connections go unguarded";
        return false;
    }
    int ends[2];
    if (!openPipe(ends))
        return false;
    // A write to a guard that has gone must fail, not end the client.
    std::signal(SIGPIPE, SIG_IGN);

    auto *process = new QProcess(this);
    process->setProgram(program);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    const int readEnd = ends[0];
    process->setChildProcessModifier([readEnd] {
        // Between fork and exec, so only async-signal-safe calls. The pipe becomes the standard input (dup2 clears
        // close-on-exec), and a session of its own keeps the guard out of signals meant for the client's terminal
        // or process group.
        ::dup2(readEnd, STDIN_FILENO);
        ::setsid();
    });
    const auto ended = [this, process] {
        if (m_process == process) {
            // Gone on its own: the next watch starts a new one.
            ::close(std::exchange(m_pipe, -1));
            m_process = nullptr;
        }
        process->deleteLater();
    };
    QObject::connect(process, &QProcess::finished, this, ended);
    QObject::connect(process, &QProcess::errorOccurred, this, [ended](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            ended();
    });
    process->start();
    ::close(readEnd);
    m_process = process;
    m_pipe = ends[1];
    return true;
}

void CrashGuard::send(const QByteArray &line)
{
    // A few bytes into a pipe its reader drains: this does not wait.
    qsizetype written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(m_pipe, line.constData() + written, size_t(line.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return; // the guard has gone
        written += n;
    }
}
