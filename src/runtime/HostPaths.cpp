#include "HostPaths.h"

#include <QDir>
#include <QStringList>

namespace HostPaths {

QString root()
{
    QString value = qEnvironmentVariable("TOVREN_HOST_ROOT");
    while (value.size() > 1 && value.endsWith(u'/'))
        value.chop(1);
    return value;
}

QString resolve(const QString &absoluteMacPath)
{
    const QString base = root();
    if (base.isEmpty() || !absoluteMacPath.startsWith(u'/'))
        return absoluteMacPath;
    return base + absoluteMacPath;
}

QString searchPath()
{
    static const QStringList entries{"/opt/homebrew/bin", "/usr/local/bin", "/usr/bin", "/bin", "/usr/sbin", "/sbin"};
    QStringList resolved;
    for (const QString &entry : entries)
        resolved << resolve(entry);
    return resolved.join(u':');
}

} // namespace HostPaths
