#include "ProductPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ProductPaths {

QString productDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Tovren");
}

QString protocolsDirectory() { return productDirectory() + QStringLiteral("/Protocols"); }
QString singBoxDirectory() { return productDirectory() + QStringLiteral("/sing-box"); }
QString installersDirectory() { return productDirectory() + QStringLiteral("/Installers"); }

QString cacheDirectory()
{
#ifdef __APPLE__
    return productDirectory() + QStringLiteral("/Cache");
#else
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/Tovren");
#endif
}

bool ensurePrivateDirectory(const QString &path)
{
    if (!QDir().mkpath(path))
        return false;
    return ::chmod(QFile::encodeName(path).constData(), 0700) == 0;
}

bool writePrivateFileAtomically(const QString &path, const QByteArray &bytes)
{
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath()))
        return false;
    QByteArray tmpl = QFile::encodeName(info.absolutePath() + QStringLiteral("/.") + info.fileName()
                                        + QStringLiteral(".XXXXXX"));
    // mkstemp creates the file with mode 0600 before anything is written.
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0)
        return false;
    bool ok = ::fchmod(fd, 0600) == 0;
    qsizetype written = 0;
    while (ok && written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + written, static_cast<size_t>(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            written += n;
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    if (ok)
        ok = ::rename(tmpl.constData(), QFile::encodeName(path).constData()) == 0;
    if (!ok)
        ::unlink(tmpl.constData());
    return ok;
}

} // namespace ProductPaths
