#include "SessionStore.h"

#include "base/Preferences.h"

std::optional<QString> SessionStore::read() const
{
    std::optional<QString> token = m_preferences.stringValue(QString(tokenKey));
    if (token && token->isEmpty())
        return std::nullopt;
    return token;
}

void SessionStore::save(const QString &token)
{
    m_preferences.setString(QString(tokenKey), token);
}

void SessionStore::clear()
{
    m_preferences.remove(QString(tokenKey));
}
