#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QUrlQuery>
#include <exception>
#include <optional>
#include <utility>

using HeaderPair = std::pair<QByteArray, QByteArray>;

// One request as the handlers see it. `path` is relative to the API base path and still percent-encoded;
// `segments` are its decoded pieces, so an id holding "/" (sent as %2F) stays one segment.
struct Request
{
    QString method;
    QString path;
    QStringList segments;
    QUrlQuery query;
    QList<HeaderPair> headers;
    QByteArray body;
    QHostAddress peer;

    // Case-insensitive; empty when absent.
    QByteArray header(const QByteArray &name) const;
    bool hasHeader(const QByteArray &name) const;
    QJsonObject headersJson() const;
};

struct Reply
{
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json";
    QList<HeaderPair> headers;

    static Reply json(const QJsonObject &object, int status = 200);
    static Reply error(int status, const QString &message, const QString &code);
    static Reply ok() { return json(QJsonObject{{QStringLiteral("ok"), true}}); }
};

// A refusal with a 4xx (or 5xx) status, thrown by handlers and answered as {"error", "errorCode"}.
class HttpError final : public std::exception
{
public:
    HttpError(int status, QString message, QString code)
        : m_status(status), m_message(std::move(message)), m_code(std::move(code))
    {
    }

    int status() const { return m_status; }
    const QString &message() const { return m_message; }
    const QString &code() const { return m_code; }
    const char *what() const noexcept override { return "http error"; }
    Reply reply() const { return Reply::error(m_status, m_message, m_code); }

private:
    int m_status;
    QString m_message;
    QString m_code;
};

// A JSON request body read with the control plane's rules: a missing required key, or a present value of the
// wrong type, is a 400 naming the key; JSON null reads as absent; an integer is a number without a fraction.
class JsonBody final
{
public:
    // Refuses (415) a body that is not declared as JSON, unless told not to, and (400) one that is not a
    // JSON object.
    explicit JsonBody(const Request &request, bool requireJsonType = true);

    const QJsonObject &object() const { return m_object; }

    QString requiredString(const QString &key) const;
    std::optional<QString> optionalString(const QString &key) const;
    qint64 requiredInteger(const QString &key) const;
    std::optional<bool> optionalBool(const QString &key) const;
    QJsonArray requiredArray(const QString &key) const;

    static HttpError badField(const QString &key, const QString &expected);

private:
    std::optional<QJsonValue> present(const QString &key) const;
    QJsonObject m_object;
};

// A JSON number that is a whole number fitting a signed 64-bit integer.
std::optional<qint64> asInteger(const QJsonValue &value);

// Milliseconds since the epoch and the ISO 8601 text (UTC, milliseconds) the control plane writes.
qint64 nowMs();
QString isoTime(qint64 msSinceEpoch);

// Lower-case hexadecimal of `bytes` random bytes, for ids and tokens.
QString randomHex(int bytes);
