#include "CommandResult.h"

#include <QStringList>

QString CommandResult::combinedOutput() const
{
    QStringList parts;
    if (!standardOutput.isEmpty())
        parts << standardOutput;
    if (!standardError.isEmpty())
        parts << standardError;
    return parts.join(u'\n');
}
