#include "HostStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace SimHost {

namespace {

// flock() on the root's lock file for the life of the object.
class RootLock final
{
public:
    RootLock(const QString &directory, bool exclusive)
    {
        QDir().mkpath(directory);
        m_fd = ::open(QFile::encodeName(directory + QStringLiteral("/lock")).constData(), O_RDWR | O_CREAT | O_CLOEXEC,
                      0600);
        if (m_fd >= 0) {
            while (::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
            }
        }
    }
    ~RootLock()
    {
        if (m_fd >= 0)
            ::close(m_fd); // closing releases the lock
    }
    Q_DISABLE_COPY_MOVE(RootLock)

private:
    int m_fd = -1;
};

QJsonObject readObject(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write(bytes);
    return file.commit();
}

QStringList stringList(const QJsonValue &value)
{
    QStringList list;
    for (const QJsonValue &item : value.toArray())
        list << item.toString();
    return list;
}

} // namespace

HostStore::HostStore(QString root) : m_root(std::move(root))
{
    while (m_root.size() > 1 && m_root.endsWith(u'/'))
        m_root.chop(1);
}

QString HostStore::file(const char *name) const
{
    return dataDirectory() + u'/' + QLatin1String(name);
}

bool HostStore::isInitialised() const
{
    return QFile::exists(file("state.json"));
}

HostState HostStore::read() const
{
    RootLock lock(dataDirectory(), false);
    return HostState::fromJson(readObject(file("state.json")));
}

void HostStore::write(const HostState &state) const
{
    RootLock lock(dataDirectory(), true);
    writeBytes(file("state.json"), QJsonDocument(state.toJson()).toJson());
}

void HostStore::update(const std::function<void(HostState &)> &change) const
{
    RootLock lock(dataDirectory(), true);
    HostState state = HostState::fromJson(readObject(file("state.json")));
    change(state);
    writeBytes(file("state.json"), QJsonDocument(state.toJson()).toJson());
}

QJsonObject HostStore::layout() const
{
    return readObject(file("layout.json"));
}

void HostStore::writeLayout(const QJsonObject &layout) const
{
    RootLock lock(dataDirectory(), true);
    writeBytes(file("layout.json"), QJsonDocument(layout).toJson());
}

void HostStore::append(const char *name, const QJsonObject &line) const
{
    RootLock lock(dataDirectory(), true);
    QFile log(file(name));
    if (log.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        log.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
}

QList<QJsonObject> HostStore::lines(const char *name) const
{
    RootLock lock(dataDirectory(), false);
    QList<QJsonObject> result;
    QFile log(file(name));
    if (!log.open(QIODevice::ReadOnly))
        return result;
    for (const QByteArray &line : log.readAll().split('\n')) {
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (document.isObject())
            result << document.object();
    }
    return result;
}

void HostStore::recordInvocation(const QString &tool, const QStringList &arguments, bool privileged) const
{
    append("invocations.jsonl", {{"tool", tool},
                                 {"arguments", QJsonArray::fromStringList(arguments)},
                                 {"privileged", privileged},
                                 {"pid", QCoreApplication::applicationPid()},
                                 {"time", QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs)}});
}

QList<Invocation> HostStore::invocations() const
{
    QList<Invocation> result;
    for (const QJsonObject &line : lines("invocations.jsonl")) {
        result << Invocation{line.value("tool").toString(), stringList(line.value("arguments")),
                             line.value("privileged").toBool(), line.value("pid").toInteger(),
                             QDateTime::fromString(line.value("time").toString(), Qt::ISODateWithMs)};
    }
    return result;
}

void HostStore::recordPrompt(const QString &command, bool granted) const
{
    append("prompts.jsonl", {{"command", command}, {"granted", granted}});
}

QList<PromptRecord> HostStore::prompts() const
{
    QList<PromptRecord> result;
    for (const QJsonObject &line : lines("prompts.jsonl"))
        result << PromptRecord{line.value("command").toString(), line.value("granted").toBool()};
    return result;
}

void HostStore::recordTerminalScript(const QString &script) const
{
    append("terminal.jsonl", {{"script", script}});
}

QStringList HostStore::terminalScripts() const
{
    QStringList result;
    for (const QJsonObject &line : lines("terminal.jsonl"))
        result << line.value("script").toString();
    return result;
}

void HostStore::clearLogs() const
{
    RootLock lock(dataDirectory(), true);
    for (const char *name : {"invocations.jsonl", "prompts.jsonl", "terminal.jsonl"})
        QFile::remove(file(name));
}

QString HostStore::routingTable() const
{
    RootLock lock(dataDirectory(), false);
    QFile table(file("routes.txt"));
    return table.open(QIODevice::ReadOnly) ? QString::fromUtf8(table.readAll()) : QString();
}

void HostStore::setRoutingTable(const QString &text) const
{
    RootLock lock(dataDirectory(), true);
    writeBytes(file("routes.txt"), text.toUtf8());
}

} // namespace SimHost
