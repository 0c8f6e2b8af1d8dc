#pragma once

#include <QLatin1String>
#include <QString>
#include <optional>

class Preferences;

// Keeps the control plane's session token across launches in the preferences store, so a user who signed
// in stays signed in after a restart. No cache: every read and write goes straight to the store.
class SessionStore final
{
public:
    static constexpr QLatin1String tokenKey{"tovren.sessionToken"};
    // Fixed identity texts of the stored secret; nothing reads them.
    static constexpr QLatin1String service{"com.tovren.macos.session"};
    static constexpr QLatin1String account{"authToken"};

    explicit SessionStore(Preferences &preferences) : m_preferences(preferences) {}

    // The stored token; none when the key is absent, not a string, or empty (an empty token is no session,
    // and sending it would only earn a 401 and an error alert instead of the sign-in sheet).
    std::optional<QString> read() const;
    void save(const QString &token);
    void clear();

private:
    Preferences &m_preferences;
};
