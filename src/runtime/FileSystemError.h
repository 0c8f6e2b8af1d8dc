#pragma once

#include "base/Errors.h"

// A folder or file of the client that could not be created, opened or written.
class FileSystemError final : public TovrenError
{
public:
    // Reads "<action> <path>：<reason>", e.g. "无法创建目录 /…/sing-box：Permission denied".
    FileSystemError(const QString &action, const QString &path, const QString &reason);
};
