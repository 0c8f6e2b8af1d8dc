#pragma once

#include "JsonDecoding.h"

#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QString>
#include <variant>

// A free-form JSON value as the control plane sends it (sing-box configurations and the like). Numbers are
// doubles; two values are equal when they have the same case and equal payloads.
class JSONValue final
{
public:
    enum class Kind { string, number, boolean, object, array, null };
    using Object = QMap<QString, JSONValue>;
    using Array = QList<JSONValue>;

    JSONValue() = default; // null
    JSONValue(std::nullptr_t) {}
    JSONValue(const QString &text) : m_value(text) {}
    JSONValue(const char *text) : m_value(QString::fromUtf8(text)) {}
    JSONValue(double number) : m_value(number) {}
    JSONValue(int number) : m_value(static_cast<double>(number)) {}
    JSONValue(bool flag) : m_value(flag) {}
    JSONValue(Object members) : m_value(std::move(members)) {}
    JSONValue(Array elements) : m_value(std::move(elements)) {}

    Kind kind() const;
    bool isNull() const { return kind() == Kind::null; }
    bool isObject() const { return kind() == Kind::object; }
    bool isArray() const { return kind() == Kind::array; }

    // The payload, or nothing when the value is of another case.
    std::optional<QString> stringValue() const;
    std::optional<double> numberValue() const;
    std::optional<bool> boolValue() const;
    const Object *objectValue() const { return std::get_if<Object>(&m_value); }
    const Array *arrayValue() const { return std::get_if<Array>(&m_value); }

    // The member of an object, or nothing (also when this is not an object).
    const JSONValue *member(const QString &key) const;

    // An object that looks like a sing-box configuration: it has "outbounds", "inbounds", "route" or "dns".
    bool isSingBoxConfig() const;

    // Conversion to and from Qt's JSON values. Decoding accepts any JSON value; it throws DecodingError only for
    // a value no JSON text can hold.
    QJsonValue toJson() const;
    static JSONValue decode(const QJsonValue &value, const QString &path = QString());

    friend bool operator==(const JSONValue &, const JSONValue &) = default;

private:
    std::variant<std::nullptr_t, QString, double, bool, Object, Array> m_value;
};

template<> struct JsonDecoder<JSONValue>
{
    static JSONValue decode(const QJsonValue &value, const QString &path) { return JSONValue::decode(value, path); }
};
