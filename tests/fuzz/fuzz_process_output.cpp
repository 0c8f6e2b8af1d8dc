// Feeds arbitrary text as the output of `lsof -t` and `lsof -Fpn`, `ps -o pid=`, `ps -o command=`, a pid file, the
// core's log and its configuration file. Only positive process ids may come out (0 and negative ids address process
// groups or everything when handed to kill), and only TCP ports.
#include "FuzzSupport.h"

#include "runtime/SingBoxRuntimeRules.h"

#include <QRegularExpression>

using Fuzz::require;

namespace {

void checkPIDs(const QString &output)
{
    static const QRegularExpression whitespace(QStringLiteral("\\s+"));
    const QStringList tokens = output.split(whitespace, Qt::SkipEmptyParts);
    const QList<int> pids = SingBox::parseListeningPIDs(output);
    require(pids.size() <= tokens.size(), "at most one pid per word");
    for (const int pid : pids) {
        require(pid > 0, "a pid names one process");
        require(SingBox::parsePID(QString::number(pid)) == pid, "a pid reads back the same");
        require(SingBox::outputNamesProcess(QStringLiteral("  ") + QString::number(pid) + u'\n', pid),
                "ps output of the pid names it");
        const QString script = SingBox::privilegedTerminationScript({pid});
        require(script.contains(QStringLiteral("kill -9 %1 ").arg(pid)), "the termination script names the pid");
    }
    for (const QList<int> &listeners : SingBox::parseListeners(output, {19090, 19110})) {
        for (const int pid : listeners)
            require(pid > 0 && listeners.count(pid) == 1, "a listener is one process, named once per port");
    }
    if (const std::optional<int> pid = SingBox::parsePID(output))
        require(*pid > 0 && pids == QList<int>{*pid}, "a pid file holds one pid");
}

void checkCommandLine(const QString &output)
{
    if (SingBox::isOwnedSingBoxCommand(output))
        require(output.toLower().contains(QLatin1String("sing-box")), "only a sing-box process is our core");
    SingBox::isAddressInUse(output);
}

void checkLog(const QString &output)
{
    const QString message = SingBox::cleanMessage(output);
    // Lines keep their own indentation; only the text as a whole was trimmed before the last lines were taken.
    require(!message.trimmed().isEmpty(), "a failure text is never blank");
    require(message.count(u'\n') < 10, "at most ten lines are kept");
}

void checkConfigurationPorts(const QByteArray &bytes)
{
    const QList<int> ports = SingBox::listenPorts(bytes);
    require(!ports.isEmpty(), "some port is always swept");
    for (qsizetype i = 0; i < ports.size(); ++i) {
        require(ports.at(i) >= 1 && ports.at(i) <= 65535, "a listen port is a TCP port");
        require(i == 0 || ports.at(i - 1) < ports.at(i), "ports are ascending without repeats");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString output = Fuzz::text(data, size);
    checkPIDs(output);
    checkCommandLine(output);
    checkLog(output);
    checkConfigurationPorts(Fuzz::bytes(data, size));
    return 0;
}
