#include "JsonDecoding.h"

#include <QJsonDocument>
#include <QJsonParseError>

#include <algorithm>

namespace {

QString userText(DecodingError::Kind kind)
{
    switch (kind) {
    case DecodingError::Kind::keyNotFound:
    case DecodingError::Kind::valueNotFound: return QStringLiteral("未能读取数据，因为数据缺失。");
    case DecodingError::Kind::typeMismatch:
    case DecodingError::Kind::dataCorrupted: break;
    }
    return QStringLiteral("未能读取数据，因为它的格式不正确。");
}

[[noreturn]] void mismatch(const QString &path, const char *expected, const QJsonValue &found)
{
    throw DecodingError(DecodingError::Kind::typeMismatch, path,
                        QStringLiteral("expected %1, found %2").arg(QLatin1String(expected), jsonTypeName(found)));
}

} // namespace

DecodingError::DecodingError(Kind kind, QString codingPath, QString reason)
    : TovrenError(userText(kind)), m_kind(kind), m_codingPath(std::move(codingPath)), m_reason(std::move(reason))
{
    m_whatText = (description() + QLatin1Char(' ') + detail()).toUtf8();
}

QString DecodingError::detail() const
{
    const QString where = m_codingPath.isEmpty() ? QStringLiteral("(top level)") : m_codingPath;
    return where + QStringLiteral(": ") + m_reason;
}

QJsonValue parseJsonBody(const QByteArray &body)
{
    // The parser accepts only an object or an array at the top; wrapping the body in an array lets any JSON
    // value through, and a body that is one value always yields exactly one element.
    QByteArrayView text(body);
    if (text.startsWith("\xEF\xBB\xBF"))
        text = text.sliced(3);
    QByteArray wrapped;
    wrapped.reserve(text.size() + 2);
    wrapped.append('[').append(text).append(']');
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(wrapped, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray() || document.array().size() != 1) {
        QString reason = QStringLiteral("the data is not valid JSON");
        if (error.error != QJsonParseError::NoError)
            reason += QStringLiteral(" (%1 at offset %2)")
                          .arg(error.errorString())
                          .arg(std::clamp(error.offset - 1 + int(body.size() - text.size()), 0, int(body.size())));
        throw DecodingError(DecodingError::Kind::dataCorrupted, QString(), reason);
    }
    return document.array().at(0);
}

QByteArray jsonBytes(const QJsonObject &object, bool pretty)
{
    return QJsonDocument(object).toJson(pretty ? QJsonDocument::Indented : QJsonDocument::Compact);
}

QString jsonTypeName(const QJsonValue &value)
{
    switch (value.type()) {
    case QJsonValue::Null: return QStringLiteral("null");
    case QJsonValue::Bool: return QStringLiteral("a boolean");
    case QJsonValue::Double: return QStringLiteral("a number");
    case QJsonValue::String: return QStringLiteral("a string");
    case QJsonValue::Array: return QStringLiteral("an array");
    case QJsonValue::Object: return QStringLiteral("an object");
    case QJsonValue::Undefined: break;
    }
    return QStringLiteral("nothing");
}

QString jsonChildPath(const QString &path, QStringView key)
{
    return path.isEmpty() ? key.toString() : path + QLatin1Char('.') + key.toString();
}

QString jsonElementPath(const QString &path, qsizetype index)
{
    return path + QLatin1Char('[') + QString::number(index) + QLatin1Char(']');
}

JsonObjectReader::JsonObjectReader(const QJsonValue &value, QString path) : m_path(std::move(path))
{
    if (!value.isObject())
        mismatch(m_path, "an object", value);
    m_object = value.toObject();
}

bool JsonObjectReader::hasValue(QStringView key) const
{
    const auto it = m_object.constFind(key);
    return it != m_object.constEnd() && !it->isNull();
}

QString JsonDecoder<QString>::decode(const QJsonValue &value, const QString &path)
{
    if (!value.isString())
        mismatch(path, "a string", value);
    return value.toString();
}

qint64 JsonDecoder<qint64>::decode(const QJsonValue &value, const QString &path)
{
    if (!value.isDouble())
        mismatch(path, "an integer", value);
    // toInteger() falls back to its argument when the number is not whole or does not fit 64 bits; two different
    // fallbacks agree only for a real integer.
    const qint64 first = value.toInteger(0);
    if (first != value.toInteger(1))
        throw DecodingError(
            DecodingError::Kind::dataCorrupted, path,
            QStringLiteral("number %1 is not a whole 64-bit integer").arg(value.toDouble(), 0, 'g', 17));
    return first;
}

double JsonDecoder<double>::decode(const QJsonValue &value, const QString &path)
{
    if (!value.isDouble())
        mismatch(path, "a number", value);
    return value.toDouble();
}

bool JsonDecoder<bool>::decode(const QJsonValue &value, const QString &path)
{
    if (!value.isBool())
        mismatch(path, "a boolean", value);
    return value.toBool();
}
