#include "HostInfo.h"

#include "runtime/CommandRunner.h"
#include "runtime/HostPaths.h"

#include <QSysInfo>

namespace HostInfo {

QString computerName()
{
    QString name = QSysInfo::machineHostName().trimmed();
    // macOS answers the Bonjour host name; its ".local" suffix is no part of the name the user gave the computer.
    if (name.endsWith(QLatin1String(".local"), Qt::CaseInsensitive))
        name.chop(6);
    if (name.isEmpty() || name.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0)
        return QStringLiteral("Mac");
    return name;
}

QCoro::Task<QString> readComputerName()
{
    // Unset, scutil answers "ComputerName: not set" with status 1.
    const QStringList arguments{QStringLiteral("--get"), QStringLiteral("ComputerName")};
    const CommandResult result =
        co_await CommandRunner::runResult(HostPaths::resolve(QString::fromLatin1(HostPaths::Tool::scutil)), arguments);
    const QString name = result.status == 0 ? result.standardOutput.trimmed() : QString();
    co_return name.isEmpty() ? computerName() : name;
}

QString operatingSystemVersion()
{
    return QSysInfo::prettyProductName();
}

} // namespace HostInfo
