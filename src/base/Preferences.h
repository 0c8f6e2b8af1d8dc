#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

class QSettings;

// The per-user preferences store, behind typed accessors. A value of the wrong type reads as absent,
// so a stored string "true" is never taken for a boolean. macOS uses the native store; elsewhere a
// JSON file keeps the value types.
class Preferences final
{
public:
    // Opens the store at its per-user location.
    Preferences();
    // Opens a JSON store at the given file (tests, tools).
    explicit Preferences(const QString &jsonFilePath);
    ~Preferences();
    Q_DISABLE_COPY_MOVE(Preferences)

    std::optional<bool> boolValue(const QString &key) const;
    std::optional<QString> stringValue(const QString &key) const;
    std::optional<QByteArray> dataValue(const QString &key) const;
    bool contains(const QString &key) const;

    // Setters do nothing when the stored value is already equal.
    void setBool(const QString &key, bool value);
    void setString(const QString &key, const QString &value);
    void setData(const QString &key, const QByteArray &value);
    void remove(const QString &key);
    void sync();

    static QString defaultJsonFilePath();

private:
    template<typename T> void store(const QString &key, const T &value);
    // Writes pending changes; a JSON store's file is kept owner-only.
    void persist();
    std::unique_ptr<QSettings> m_settings;
    bool m_privateFile = false;
};
