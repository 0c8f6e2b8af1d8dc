#include "TestHome.h"

#include <QDir>
#include <QStandardPaths>

namespace {
const char *const variables[] = {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"};
}

TestHome::TestHome()
{
    for (int i = 0; i < 4; ++i)
        m_saved[i] = qgetenv(variables[i]);
    const QString root = m_dir.path();
    qputenv("HOME", root.toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (root + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", (root + QStringLiteral("/data")).toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (root + QStringLiteral("/cache")).toLocal8Bit());
}

TestHome::~TestHome()
{
    for (int i = 0; i < 4; ++i)
        qputenv(variables[i], m_saved[i]);
}

QString TestHome::settingsFile() const
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/Tovren/settings.json");
}
