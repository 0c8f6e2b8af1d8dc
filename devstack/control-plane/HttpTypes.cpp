#include "HttpTypes.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <cmath>

QByteArray Request::header(const QByteArray &name) const
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool Request::hasHeader(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QJsonObject Request::headersJson() const
{
    QJsonObject out;
    for (const auto &[key, value] : headers)
        out.insert(QString::fromLatin1(key), QString::fromUtf8(value));
    return out;
}

Reply Reply::json(const QJsonObject &object, int status)
{
    Reply reply;
    reply.status = status;
    reply.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return reply;
}

Reply Reply::error(int status, const QString &message, const QString &code)
{
    return json(QJsonObject{{QStringLiteral("error"), message}, {QStringLiteral("errorCode"), code}}, status);
}

JsonBody::JsonBody(const Request &request, bool requireJsonType)
{
    const QByteArray type = request.header("Content-Type").split(';').first().trimmed().toLower();
    if (requireJsonType && type != "application/json")
        throw HttpError(415, QStringLiteral("请求体必须是 JSON（Content-Type: application/json）"),
                        QStringLiteral("UNSUPPORTED_MEDIA_TYPE"));
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(request.body, &error);
    if (error.error != QJsonParseError::NoError)
        throw HttpError(400, QStringLiteral("请求体不是有效的 JSON：") + error.errorString(),
                        QStringLiteral("INVALID_JSON"));
    if (!doc.isObject())
        throw HttpError(400, QStringLiteral("请求体必须是 JSON 对象"), QStringLiteral("INVALID_JSON"));
    m_object = doc.object();
}

HttpError JsonBody::badField(const QString &key, const QString &expected)
{
    return HttpError(400, QStringLiteral("字段 %1 缺失或类型错误（应为%2）").arg(key, expected),
                     QStringLiteral("INVALID_FIELD"));
}

std::optional<QJsonValue> JsonBody::present(const QString &key) const
{
    const QJsonValue value = m_object.value(key);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    return value;
}

QString JsonBody::requiredString(const QString &key) const
{
    const auto value = present(key);
    if (!value || !value->isString())
        throw badField(key, QStringLiteral("字符串"));
    return value->toString();
}

std::optional<QString> JsonBody::optionalString(const QString &key) const
{
    const auto value = present(key);
    if (!value)
        return std::nullopt;
    if (!value->isString())
        throw badField(key, QStringLiteral("字符串"));
    return value->toString();
}

qint64 JsonBody::requiredInteger(const QString &key) const
{
    const auto value = present(key);
    const auto integer = value ? asInteger(*value) : std::nullopt;
    if (!integer)
        throw badField(key, QStringLiteral("整数"));
    return *integer;
}

std::optional<bool> JsonBody::optionalBool(const QString &key) const
{
    const auto value = present(key);
    if (!value)
        return std::nullopt;
    if (!value->isBool())
        throw badField(key, QStringLiteral("布尔值"));
    return value->toBool();
}

QJsonArray JsonBody::requiredArray(const QString &key) const
{
    const auto value = present(key);
    if (!value || !value->isArray())
        throw badField(key, QStringLiteral("数组"));
    return value->toArray();
}

std::optional<qint64> asInteger(const QJsonValue &value)
{
    if (!value.isDouble())
        return std::nullopt;
    const double d = value.toDouble();
    // 2^63 itself is out of range; every double below it with no fraction fits.
    if (!std::isfinite(d) || std::trunc(d) != d || d < -9223372036854775808.0 || d >= 9223372036854775808.0)
        return std::nullopt;
    return value.toInteger();
}

qint64 nowMs()
{
    return QDateTime::currentMSecsSinceEpoch();
}

QString isoTime(qint64 msSinceEpoch)
{
    return QDateTime::fromMSecsSinceEpoch(msSinceEpoch, Qt::UTC).toString(Qt::ISODateWithMs);
}

QString randomHex(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    for (char &c : raw)
        c = static_cast<char>(QRandomGenerator::system()->bounded(256));
    return QString::fromLatin1(raw.toHex());
}
