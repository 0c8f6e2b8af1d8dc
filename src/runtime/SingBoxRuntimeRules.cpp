#include "SingBoxRuntimeRules.h"
#include "base/LocalProxyPorts.h"

#include "HostPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>

namespace SingBox {

namespace {

std::optional<int> usablePort(const QJsonValue &value)
{
    qint64 port = 0;
    if (value.isDouble()) {
        const double number = value.toDouble();
        if (number != std::floor(number) || std::abs(number) > 1e9)
            return std::nullopt;
        port = static_cast<qint64>(number);
    } else if (value.isString()) {
        static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]{1,9}$"));
        const QString text = value.toString();
        if (!decimal.match(text).hasMatch())
            return std::nullopt;
        port = text.toLongLong();
    } else {
        return std::nullopt;
    }
    // Anything outside the TCP port range cannot be listened on.
    if (port < 1 || port > 65535)
        return std::nullopt;
    return static_cast<int>(port);
}

} // namespace

QStringList coreCandidates(const QString &applicationDirectory)
{
    const QDir appDir(applicationDirectory);
    return {
        QDir::cleanPath(appDir.filePath(QStringLiteral("../Resources/sing-box"))),
        QDir::cleanPath(appDir.filePath(QStringLiteral("sing-box"))),
        HostPaths::resolve(QStringLiteral("/opt/homebrew/bin/sing-box")),
        HostPaths::resolve(QStringLiteral("/usr/local/bin/sing-box")),
    };
}

QList<int> listenPorts(const QByteArray &configuration)
{
    const QJsonDocument document = QJsonDocument::fromJson(configuration);
    QList<int> ports;
    const QJsonValue inbounds = document.object().value(QStringLiteral("inbounds"));
    for (const QJsonValue &inbound : inbounds.toArray()) {
        if (const auto port = usablePort(inbound.toObject().value(QStringLiteral("listen_port"))))
            ports << *port;
    }
    if (ports.isEmpty())
        return {LocalProxyPorts::preferredSystemProxyPort};
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

QString corePath(const QString &coreExecutable)
{
    return QFileInfo(coreExecutable).absolutePath() + u':' + HostPaths::searchPath();
}

std::optional<int> parsePID(const QString &text)
{
    bool ok = false;
    const QString trimmed = text.trimmed();
    static const QRegularExpression decimal(QStringLiteral("^[+-]?[0-9]+$"));
    if (!decimal.match(trimmed).hasMatch())
        return std::nullopt;
    const int pid = trimmed.toInt(&ok);
    if (!ok || pid <= 0)
        return std::nullopt;
    return pid;
}

QList<int> parseListeningPIDs(const QString &lsofOutput)
{
    QList<int> pids;
    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    for (const QString &piece : lsofOutput.split(whitespace, Qt::SkipEmptyParts)) {
        if (const auto pid = parsePID(piece))
            pids << *pid;
    }
    return pids;
}

QStringList listeningArguments(const QList<int> &ports)
{
    // Runs of consecutive ports become ranges: "19090-19110", or "19090-19092,19095".
    QList<int> sorted = ports;
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    QStringList entries;
    for (qsizetype first = 0; first < sorted.size();) {
        qsizetype last = first;
        while (last + 1 < sorted.size() && sorted[last + 1] == sorted[last] + 1)
            ++last;
        entries << (last == first ? QString::number(sorted[first])
                                  : QStringLiteral("%1-%2").arg(sorted[first]).arg(sorted[last]));
        first = last + 1;
    }
    return {QStringLiteral("-nP"), QStringLiteral("-iTCP:") + entries.join(u','), QStringLiteral("-sTCP:LISTEN"),
            QStringLiteral("-Fpn")};
}

QList<QList<int>> parseListeners(const QString &lsofFieldOutput, const QList<int> &ports)
{
    QList<QList<int>> listeners(ports.size());
    std::optional<int> pid;
    for (const QString &line : lsofFieldOutput.split(u'\n', Qt::SkipEmptyParts)) {
        if (line.startsWith(u'p')) {
            pid = parsePID(line.mid(1));
            continue;
        }
        if (!pid || !line.startsWith(u'n'))
            continue;
        // "127.0.0.1:19090", "*:19090" or "[::1]:19090"; a connected socket would add "->" and the peer.
        const QString local = line.mid(1).section(QStringLiteral("->"), 0, 0);
        const QString portText = local.section(u':', -1);
        bool isNumber = false;
        const int port = portText.toInt(&isNumber);
        if (!local.contains(u':') || !isNumber || !portText.front().isDigit())
            continue;
        for (qsizetype i = 0; i < ports.size(); ++i) {
            if (ports[i] == port && !listeners[i].contains(*pid))
                listeners[i] << *pid;
        }
    }
    return listeners;
}

bool isOwnedSingBoxCommand(const QString &command)
{
    const QString lower = command.toLower();
    if (!lower.contains(QStringLiteral("sing-box")))
        return false;
    static const QStringList markers{QStringLiteral("tovren"), QStringLiteral("meriq"),
                                     QStringLiteral("tovren-active.json"),
                                     QStringLiteral("/application support/tovren/")};
    return std::any_of(markers.begin(), markers.end(), [&](const QString &marker) { return lower.contains(marker); });
}

QString ownerEntry(int pid, const QString &command)
{
    return QString::number(pid) + u' ' + command;
}

QString noLogMessage()
{
    return QStringLiteral("没有捕获到 sing-box 输出日志。");
}

QString cleanMessage(const QString &text)
{
    static const QRegularExpression colour(QStringLiteral("\x1B\\[[0-9;]*m"));
    static const QRegularExpression lineBreak(QStringLiteral("\r?\n"));
    QString cleaned = text;
    cleaned.remove(colour);
    cleaned = cleaned.trimmed();
    if (cleaned.isEmpty())
        return noLogMessage();
    const QStringList lines = cleaned.split(lineBreak, Qt::SkipEmptyParts);
    return lines.mid(std::max<qsizetype>(0, lines.size() - 10)).join(u'\n');
}

bool isAddressInUse(const QString &text)
{
    const QString lower = text.toLower();
    return lower.contains(QStringLiteral("address already in use")) || lower.contains(QStringLiteral("bind:"));
}

QString privilegedTerminationScript(const QList<int> &pids)
{
    QStringList lines;
    for (int pid : pids) {
        lines << QStringLiteral("kill %1 >/dev/null 2>&1 || true").arg(pid) << QStringLiteral("sleep 0.2")
              << QStringLiteral("kill -9 %1 >/dev/null 2>&1 || true").arg(pid);
    }
    return lines.join(u'\n');
}

QStringList cleanupNotes(bool removedOwnCores, bool sawOtherPrograms)
{
    if (removedOwnCores)
        return {QStringLiteral("已清理上次异常退出留下的 Tovren 连接进程。")};
    if (sawOtherPrograms)
        return {QStringLiteral("已检查本地代理端口，未发现 Tovren 残留占用。")};
    return {};
}

QStringList listeningArguments(int port)
{
    return {QStringLiteral("-nP"), QStringLiteral("-iTCP:%1").arg(port), QStringLiteral("-sTCP:LISTEN"),
            QStringLiteral("-t")};
}

QStringList processExistsArguments(int pid)
{
    return {QStringLiteral("-p"), QString::number(pid), QStringLiteral("-o"), QStringLiteral("pid=")};
}

QStringList commandLineArguments(int pid)
{
    return {QStringLiteral("-p"), QString::number(pid), QStringLiteral("-o"), QStringLiteral("command=")};
}

QStringList killArguments(int pid, bool force)
{
    if (force)
        return {QStringLiteral("-9"), QString::number(pid)};
    return {QString::number(pid)};
}

bool outputNamesProcess(const QString &psOutput, int pid)
{
    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    return psOutput.split(whitespace, Qt::SkipEmptyParts).contains(QString::number(pid));
}

} // namespace SingBox
