#include "AwaitTask.h"

#include "RuntimeFixtures.h"

#include "core/ProductPaths.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace RuntimeFixtures {

void RuntimeTestCase::init()
{
    m_home = std::make_unique<TestHome>();
    m_work = std::make_unique<QTemporaryDir>();
}

void RuntimeTestCase::cleanup()
{
    m_work.reset();
    m_home.reset();
}

bool writeScript(const QString &file, const QByteArray &body)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    QFile::remove(file);
    QFile script(file);
    if (!script.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    script.write("#!/bin/sh\n" + body);
    script.close();
    return script.setPermissions(script.permissions() | QFile::ExeOwner);
}

SimulatedMac::Options withoutCore()
{
    SimulatedMac::Options options;
    options.proxyCore = false;
    return options;
}

bool installScriptedCore(const SimulatedMac &mac, const QByteArray &body)
{
    return writeScript(mac.path("/opt/homebrew/bin/sing-box"), "PATH=/usr/bin:/bin\n" + body);
}

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

QString writeConfig(const QString &directory, const QString &name, const QByteArray &listenPort)
{
    QDir().mkpath(directory);
    const QString file = directory + u'/' + name;
    QFile config(file);
    config.open(QIODevice::WriteOnly | QIODevice::Truncate);
    config.write(R"({"log":{"level":"info"},"inbounds":[{"type":"mixed","tag":"mixed-in","listen":"127.0.0.1",)"
                 R"("listen_port":)" +
                 listenPort + R"(}],"outbounds":[{"type":"direct","tag":"direct"}]})");
    return file;
}

QString runtimeFile(const QString &name)
{
    return ProductPaths::singBoxDirectory() + u'/' + name;
}

void writePidFile(qint64 pid)
{
    QDir().mkpath(ProductPaths::singBoxDirectory());
    QFile file(runtimeFile("sing-box.pid"));
    file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    file.write(QByteArray::number(pid) + "\n");
}

OwnedProcess::~OwnedProcess()
{
    if (state() != NotRunning) {
        kill();
        waitForFinished();
    }
}

std::unique_ptr<OwnedProcess> spawn(const QString &program, const QStringList &arguments)
{
    auto process = std::make_unique<OwnedProcess>();
    process->start(program, arguments);
    process->waitForStarted();
    return process;
}

UnreapedChild::UnreapedChild(const QString &program, const QStringList &arguments)
{
    // Everything the child needs is prepared before fork: it only calls execv.
    QList<QByteArray> words{QFile::encodeName(program)};
    for (const QString &argument : arguments)
        words << argument.toLocal8Bit();
    std::vector<char *> argv;
    for (QByteArray &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    m_pid = pid;
}

UnreapedChild::~UnreapedChild()
{
    if (m_pid <= 0)
        return;
    ::kill(static_cast<pid_t>(m_pid), SIGKILL);
    ::waitpid(static_cast<pid_t>(m_pid), nullptr, 0);
}

bool UnreapedChild::hasEnded() const
{
    siginfo_t info{};
    // WNOWAIT: look without reaping.
    return ::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0;
}

bool processAlive(qint64 pid)
{
    return ::kill(static_cast<pid_t>(pid), 0) == 0;
}

bool listening(int port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, static_cast<quint16>(port));
    return socket.waitForConnected(200);
}

bool eventually(const std::function<bool()> &condition)
{
    for (int i = 0; i < 200 && !condition(); ++i)
        QTest::qWait(50);
    return condition();
}

} // namespace RuntimeFixtures
