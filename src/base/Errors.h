#pragma once

#include <QString>
#include <exception>

// Base of every typed error of the client. The description is the Chinese text shown to the user;
// errors travel through co_await like any exception.
class TovrenError : public std::exception
{
public:
    explicit TovrenError(QString description)
        : m_description(std::move(description)), m_utf8(m_description.toUtf8())
    {
    }

    const QString &description() const { return m_description; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_description;
    QByteArray m_utf8;
};

// The user-facing text of any exception: our own errors carry it, anything else gets its what().
QString describeError(const std::exception &error);
