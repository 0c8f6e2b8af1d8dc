#pragma once

#include "AwaitTask.h"
#include "SimulatedMac.h"
#include "TestHome.h"

#include <QObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>
#include <stdexcept>

// Shared pieces of the sing-box runtime suites.
namespace RuntimeFixtures {

// Base of the suites: a fresh home and a work folder for every test function.
class RuntimeTestCase : public QObject
{
    Q_OBJECT

protected:
    QString workPath(const QString &relative) const { return m_work->filePath(relative); }

private Q_SLOTS:
    void init();
    void cleanup();

private:
    std::unique_ptr<TestHome> m_home;
    std::unique_ptr<QTemporaryDir> m_work;
};

// Writes an executable shell script.
bool writeScript(const QString &file, const QByteArray &body);

inline const QString noteCleaned = QStringLiteral("已清理上次异常退出留下的 Tovren 连接进程。");
inline const QString noteChecked = QStringLiteral("已检查本地代理端口，未发现 Tovren 残留占用。");

SimulatedMac::Options withoutCore();

// Puts a core written as a shell script where the simulated Mac keeps its proxy core; $1 is check or run,
// $3 the configuration. The script uses this machine's utilities, whatever PATH the runtime gives the core.
bool installScriptedCore(const SimulatedMac &mac, const QByteArray &body);

// A loopback port that nothing listens on right now.
int freePort();

// A configuration the stand-in core runs: one mixed inbound on the port (a number, or a quoted text).
QString writeConfig(const QString &directory, const QString &name, const QByteArray &listenPort);

QString runtimeFile(const QString &name); // in the runtime folder
void writePidFile(qint64 pid);

// A process the test owns, ended when the test lets go of it.
class OwnedProcess final : public QProcess
{
public:
    ~OwnedProcess() override;
};
std::unique_ptr<OwnedProcess> spawn(const QString &program, const QStringList &arguments);

// A child started without Qt, which nobody reaps: once it ends it stays a zombie, which `ps` still lists, so
// it survives every kill the way a process of another user would. Reaped when the object goes.
class UnreapedChild final
{
public:
    UnreapedChild(const QString &program, const QStringList &arguments);
    ~UnreapedChild();
    Q_DISABLE_COPY_MOVE(UnreapedChild)
    qint64 pid() const { return m_pid; }
    bool hasEnded() const; // true once it is a zombie

private:
    qint64 m_pid = -1;
};

bool processAlive(qint64 pid);
bool listening(int port);

// Runs the event loop until the condition holds, for up to ten seconds.
bool eventually(const std::function<bool()> &condition);

// The error a task ended with; fails when it ended otherwise.
template<typename Error, typename Task> Error failureOf(Task task)
{
    try {
        awaitTask(std::move(task));
    } catch (const Error &error) {
        return error;
    }
    throw std::runtime_error("the operation did not fail with the expected error");
}

} // namespace RuntimeFixtures
