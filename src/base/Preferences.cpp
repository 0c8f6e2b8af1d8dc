#include "Preferences.h"

#include "ProductPaths.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QStandardPaths>

#include <sys/stat.h>

namespace {

// Byte data is written as {"data": "<base64>"} so that it reads back as bytes, not text.
const QString dataTag = QStringLiteral("data");

bool readJson(QIODevice &device, QSettings::SettingsMap &map)
{
    const QByteArray bytes = device.readAll();
    if (bytes.trimmed().isEmpty())
        return true;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (!doc.isObject())
        return false;
    const QJsonObject root = doc.object();
    for (auto it = root.begin(); it != root.end(); ++it) {
        const QJsonValue v = it.value();
        if (v.isObject() && v.toObject().size() == 1 && v.toObject().value(dataTag).isString()) {
            map.insert(it.key(), QByteArray::fromBase64(v.toObject().value(dataTag).toString().toLatin1()));
        } else if (v.isDouble()) {
            const double d = v.toDouble();
            if (d == static_cast<double>(v.toInteger()))
                map.insert(it.key(), v.toInteger());
            else
                map.insert(it.key(), d);
        } else {
            map.insert(it.key(), v.toVariant());
        }
    }
    return true;
}

bool writeJson(QIODevice &device, const QSettings::SettingsMap &map)
{
    QJsonObject root;
    for (auto it = map.begin(); it != map.end(); ++it) {
        const QVariant &v = it.value();
        if (v.typeId() == QMetaType::QByteArray)
            root.insert(it.key(), QJsonObject{{dataTag, QString::fromLatin1(v.toByteArray().toBase64())}});
        else
            root.insert(it.key(), QJsonValue::fromVariant(v));
    }
    return device.write(QJsonDocument(root).toJson(QJsonDocument::Indented)) >= 0;
}

QSettings::Format jsonFormat()
{
    static const QSettings::Format format = QSettings::registerFormat(QStringLiteral("json"), readJson, writeJson);
    return format;
}

// QSettings creates the file with 0666 less the umask, and keeps a file's mode when it rewrites it: once
// narrowed, the session token and device identities stay the owner's.
void keepOwnerOnly(const QString &file)
{
    const QByteArray path = QFile::encodeName(file);
    struct stat info{};
    if (::stat(path.constData(), &info) == 0 && (info.st_mode & 0077) != 0)
        ::chmod(path.constData(), 0600);
}

} // namespace

Preferences::Preferences()
{
#ifdef __APPLE__
    m_settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             QStringLiteral("com.tovren"), QStringLiteral("macos"));
#else
    ProductPaths::ensurePrivateDirectory(QFileInfo(defaultJsonFilePath()).absolutePath());
    m_settings = std::make_unique<QSettings>(defaultJsonFilePath(), jsonFormat());
    m_privateFile = true;
    keepOwnerOnly(defaultJsonFilePath());
#endif
}

Preferences::Preferences(const QString &jsonFilePath)
{
    // The store holds the session token: its folder is the owner's alone before the file exists.
    ProductPaths::ensurePrivateDirectory(QFileInfo(jsonFilePath).absolutePath());
    m_settings = std::make_unique<QSettings>(jsonFilePath, jsonFormat());
    m_privateFile = true;
    keepOwnerOnly(jsonFilePath);
}

Preferences::~Preferences() = default;

QString Preferences::defaultJsonFilePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/Tovren/settings.json");
}

std::optional<bool> Preferences::boolValue(const QString &key) const
{
    const QVariant v = m_settings->value(key);
    if (v.typeId() != QMetaType::Bool)
        return std::nullopt;
    return v.toBool();
}

std::optional<QString> Preferences::stringValue(const QString &key) const
{
    const QVariant v = m_settings->value(key);
    if (v.typeId() != QMetaType::QString)
        return std::nullopt;
    return v.toString();
}

std::optional<QByteArray> Preferences::dataValue(const QString &key) const
{
    const QVariant v = m_settings->value(key);
    if (v.typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return v.toByteArray();
}

bool Preferences::contains(const QString &key) const
{
    return m_settings->contains(key);
}

template<typename T> void Preferences::store(const QString &key, const T &value)
{
    const QVariant current = m_settings->value(key);
    if (current.typeId() == QMetaType::fromType<T>().id() && current.value<T>() == value)
        return;
    m_settings->setValue(key, QVariant::fromValue(value));
    persist();
}

void Preferences::setBool(const QString &key, bool value) { store(key, value); }
void Preferences::setString(const QString &key, const QString &value) { store(key, value); }
void Preferences::setData(const QString &key, const QByteArray &value) { store(key, value); }

void Preferences::remove(const QString &key)
{
    if (!m_settings->contains(key))
        return;
    m_settings->remove(key);
    persist();
}

void Preferences::sync()
{
    persist();
}

void Preferences::persist()
{
    m_settings->sync();
    if (!m_privateFile)
        return;
    keepOwnerOnly(m_settings->fileName());
}
