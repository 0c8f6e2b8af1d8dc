#include "JSONValue.h"

#include <QJsonArray>
#include <QJsonObject>

JSONValue::Kind JSONValue::kind() const
{
    switch (m_value.index()) {
    case 1: return Kind::string;
    case 2: return Kind::number;
    case 3: return Kind::boolean;
    case 4: return Kind::object;
    case 5: return Kind::array;
    default: return Kind::null;
    }
}

std::optional<QString> JSONValue::stringValue() const
{
    if (const auto *text = std::get_if<QString>(&m_value))
        return *text;
    return std::nullopt;
}

std::optional<double> JSONValue::numberValue() const
{
    if (const auto *number = std::get_if<double>(&m_value))
        return *number;
    return std::nullopt;
}

std::optional<bool> JSONValue::boolValue() const
{
    if (const auto *flag = std::get_if<bool>(&m_value))
        return *flag;
    return std::nullopt;
}

const JSONValue *JSONValue::member(const QString &key) const
{
    const Object *members = objectValue();
    if (!members)
        return nullptr;
    const auto it = members->constFind(key);
    return it == members->constEnd() ? nullptr : &*it;
}

bool JSONValue::isSingBoxConfig() const
{
    const Object *members = objectValue();
    if (!members)
        return false;
    for (const char *key : {"outbounds", "inbounds", "route", "dns"}) {
        if (members->contains(QLatin1String(key)))
            return true;
    }
    return false;
}

QJsonValue JSONValue::toJson() const
{
    switch (kind()) {
    case Kind::string: return std::get<QString>(m_value);
    case Kind::number: return std::get<double>(m_value);
    case Kind::boolean: return std::get<bool>(m_value);
    case Kind::object: {
        QJsonObject object;
        const Object &members = std::get<Object>(m_value);
        for (auto it = members.constBegin(); it != members.constEnd(); ++it)
            object.insert(it.key(), it.value().toJson());
        return object;
    }
    case Kind::array: {
        QJsonArray array;
        for (const JSONValue &element : std::get<Array>(m_value))
            array.append(element.toJson());
        return array;
    }
    case Kind::null: break;
    }
    return QJsonValue(QJsonValue::Null);
}

JSONValue JSONValue::decode(const QJsonValue &value, const QString &path)
{
    switch (value.type()) {
    case QJsonValue::Null: return JSONValue();
    case QJsonValue::Bool: return JSONValue(value.toBool());
    case QJsonValue::Double: return JSONValue(value.toDouble());
    case QJsonValue::String: return JSONValue(value.toString());
    case QJsonValue::Object: {
        const QJsonObject object = value.toObject();
        Object members;
        for (auto it = object.constBegin(); it != object.constEnd(); ++it)
            members.insert(it.key(), decode(it.value(), jsonChildPath(path, it.key())));
        return JSONValue(std::move(members));
    }
    case QJsonValue::Array: {
        const QJsonArray array = value.toArray();
        Array elements;
        elements.reserve(array.size());
        for (qsizetype i = 0; i < array.size(); ++i)
            elements.append(decode(array.at(i), jsonElementPath(path, i)));
        return JSONValue(std::move(elements));
    }
    case QJsonValue::Undefined: break;
    }
    throw DecodingError(DecodingError::Kind::dataCorrupted, path, QStringLiteral("Unsupported JSON value"));
}
