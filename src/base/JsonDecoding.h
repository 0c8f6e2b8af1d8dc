#pragma once

#include "Errors.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <initializer_list>
#include <optional>

// The rules every control-plane record is read with:
// - text, integer (a whole number that fits 64 bits), number, boolean (never read from a number);
// - a required key must be present with the right type; an optional key that is missing or null is absent;
// - a present value of the wrong type fails the whole answer, it never falls back to a default or to another
//   spelling of the key.

// Raised when a body does not decode into the record asked for. The description is the generic text shown to
// the user; detail() says where and why, for logs and tests.
class DecodingError final : public TovrenError
{
public:
    enum class Kind { keyNotFound, valueNotFound, typeMismatch, dataCorrupted };

    DecodingError(Kind kind, QString codingPath, QString reason);

    Kind kind() const { return m_kind; }
    const QString &codingPath() const { return m_codingPath; } // "user.planName", "nodes[2].latency_ms"
    const QString &reason() const { return m_reason; }
    QString detail() const;
    const char *what() const noexcept override { return m_whatText.constData(); }

private:
    Kind m_kind;
    QString m_codingPath;
    QString m_reason;
    QByteArray m_whatText;
};

// Parses a whole body as one JSON value of any kind. Throws DecodingError (dataCorrupted) when the bytes are
// not JSON.
QJsonValue parseJsonBody(const QByteArray &body);

// Serialises an object compactly (request bodies) or pretty-printed (files people may read).
QByteArray jsonBytes(const QJsonObject &object, bool pretty = false);

QString jsonTypeName(const QJsonValue &value);
QString jsonChildPath(const QString &path, QStringView key);
QString jsonElementPath(const QString &path, qsizetype index);

// Decoding of one value of type T found at `path`. Records provide `static T decode(const JsonObjectReader &)`;
// the primitive types and lists are handled by the specialisations below.
template<typename T> struct JsonDecoder;

template<typename T> T decodeJsonValue(const QJsonValue &value, const QString &path)
{
    return JsonDecoder<T>::decode(value, path);
}

// Reads the members of one JSON object under the rules above.
class JsonObjectReader final
{
public:
    // Throws typeMismatch when the value is not an object.
    JsonObjectReader(const QJsonValue &value, QString path);

    const QJsonObject &object() const { return m_object; }
    const QString &path() const { return m_path; }

    // Present with a value other than null.
    bool hasValue(QStringView key) const;

    template<typename T> T required(QStringView key) const
    {
        const auto it = m_object.constFind(key);
        if (it == m_object.constEnd())
            throw DecodingError(DecodingError::Kind::keyNotFound, jsonChildPath(m_path, key),
                                QStringLiteral("required key is missing"));
        if (it->isNull())
            throw DecodingError(DecodingError::Kind::valueNotFound, jsonChildPath(m_path, key),
                                QStringLiteral("required value is null"));
        return decodeJsonValue<T>(*it, jsonChildPath(m_path, key));
    }

    template<typename T> std::optional<T> optional(QStringView key) const
    {
        const auto it = m_object.constFind(key);
        if (it == m_object.constEnd() || it->isNull())
            return std::nullopt;
        return decodeJsonValue<T>(*it, jsonChildPath(m_path, key));
    }

    // "A, then B": the first key that holds a value wins; a wrong type under an earlier key fails at once.
    template<typename T> std::optional<T> firstOf(std::initializer_list<QStringView> keys) const
    {
        for (QStringView key : keys) {
            if (auto value = optional<T>(key))
                return value;
        }
        return std::nullopt;
    }

private:
    QJsonObject m_object;
    QString m_path;
};

template<typename T> struct JsonDecoder
{
    static T decode(const QJsonValue &value, const QString &path) { return T::decode(JsonObjectReader(value, path)); }
};

template<> struct JsonDecoder<QString>
{
    static QString decode(const QJsonValue &value, const QString &path);
};

template<> struct JsonDecoder<qint64>
{
    static qint64 decode(const QJsonValue &value, const QString &path);
};

template<> struct JsonDecoder<double>
{
    static double decode(const QJsonValue &value, const QString &path);
};

template<> struct JsonDecoder<bool>
{
    static bool decode(const QJsonValue &value, const QString &path);
};

template<typename T> struct JsonDecoder<QList<T>>
{
    static QList<T> decode(const QJsonValue &value, const QString &path)
    {
        if (!value.isArray())
            throw DecodingError(DecodingError::Kind::typeMismatch, path,
                                QStringLiteral("expected an array, found ") + jsonTypeName(value));
        const QJsonArray array = value.toArray();
        QList<T> result;
        result.reserve(array.size());
        for (qsizetype i = 0; i < array.size(); ++i) {
            const QJsonValue element = array.at(i);
            if (element.isNull())
                throw DecodingError(DecodingError::Kind::valueNotFound, jsonElementPath(path, i),
                                    QStringLiteral("array element is null"));
            result.append(decodeJsonValue<T>(element, jsonElementPath(path, i)));
        }
        return result;
    }
};

// Decodes a whole answer body as the record T.
template<typename T> T decodeAnswer(const QByteArray &body)
{
    return decodeJsonValue<T>(parseJsonBody(body), QString());
}

// Request encoding: absent fields are left out, never written as null.
template<typename T> void insertIfPresent(QJsonObject &object, const QString &key, const std::optional<T> &value)
{
    if (value)
        object.insert(key, *value);
}
