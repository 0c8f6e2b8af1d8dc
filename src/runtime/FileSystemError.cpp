#include "FileSystemError.h"

FileSystemError::FileSystemError(const QString &action, const QString &path, const QString &reason)
    : TovrenError(action + u' ' + path + (reason.isEmpty() ? QString() : QStringLiteral("：") + reason))
{
}
