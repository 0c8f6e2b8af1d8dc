#include "HostInfo.h"

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

QString operatingSystemVersion()
{
    return QSysInfo::prettyProductName();
}

} // namespace HostInfo
