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

bool createPrivatePath(const QString &path)
{
    // QDir::mkpath would create the folders with 0777 less the umask: under a permissive umask, a product folder
    // that others may write to, where they could swap the owner-only folders inside for their own.
    const QString target = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    QStringList missing;
    for (QString folder = target; !QFileInfo::exists(folder);) {
        missing.prepend(folder);
        const QString parent = QFileInfo(folder).absolutePath();
        if (parent == folder)
            break;
        folder = parent;
    }
    for (const QString &folder : std::as_const(missing)) {
        if (::mkdir(QFile::encodeName(folder).constData(), 0700) != 0 && errno != EEXIST)
            return false;
    }
    return QFileInfo(target).isDir();
}

bool ensurePrivateDirectory(const QString &path)
{
    if (!createPrivatePath(path))
        return false;
    return ::chmod(QFile::encodeName(path).constData(), 0700) == 0;
}

bool writePrivateFileAtomically(const QString &path, const QByteArray &bytes)
{
    const QFileInfo info(path);
    if (!createPrivatePath(info.absolutePath()))
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
