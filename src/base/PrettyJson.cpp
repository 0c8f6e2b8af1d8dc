#include "PrettyJson.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QStringList>
#include <QVariant>
#include <algorithm>
#include <cmath>

namespace PrettyJson {

namespace {

void indent(QByteArray &out, int depth)
{
    out.append(QByteArray(qsizetype(depth) * 2, ' '));
}

void appendHex4(QByteArray &out, char16_t unit)
{
    static const char digits[] = "0123456789abcdef";
    out.append("\\u");
    for (int shift = 12; shift >= 0; shift -= 4)
        out.append(digits[(unit >> shift) & 0xf]);
}

void writeString(QByteArray &out, const QString &text)
{
    out.append('"');
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const char16_t unit = text.at(i).unicode();
        switch (unit) {
        case u'"': out.append("\\\""); continue;
        case u'\\': out.append("\\\\"); continue;
        case u'\b': out.append("\\b"); continue;
        case u'\f': out.append("\\f"); continue;
        case u'\n': out.append("\\n"); continue;
        case u'\r': out.append("\\r"); continue;
        case u'\t': out.append("\\t"); continue;
        default: break;
        }
        if (QChar::isHighSurrogate(unit) && i + 1 < size && QChar::isLowSurrogate(text.at(i + 1).unicode())) {
            out.append(QStringView(text).mid(i, 2).toUtf8());
            ++i;
        } else if (unit < 0x20 || QChar::isSurrogate(unit)) {
            // A lone surrogate has no UTF-8 form; the escape keeps it as the template had it.
            appendHex4(out, unit);
        } else {
            out.append(QStringView(text).mid(i, 1).toUtf8());
        }
    }
    out.append('"');
}

void writeNumber(QByteArray &out, const QJsonValue &value)
{
    const QVariant variant = value.toVariant();
    if (variant.typeId() == QMetaType::LongLong) {
        out.append(QByteArray::number(variant.toLongLong()));
        return;
    }
    const double number = value.toDouble();
    // Whole numbers within the exactly representable range are written without exponent or fraction.
    if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 9007199254740992.0)
        out.append(QByteArray::number(qint64(number)));
    else if (std::isfinite(number))
        out.append(QByteArray::number(number, 'g', QLocale::FloatingPointShortest));
    else
        out.append("null"); // cannot come from parsed JSON; never write invalid JSON
}

bool codePointLess(const QString &a, const QString &b)
{
    const QList<uint> left = a.toUcs4();
    const QList<uint> right = b.toUcs4();
    if (left != right)
        return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end());
    return a < b; // only distinct lone surrogates map alike; keep the order total
}

void writeValue(QByteArray &out, const QJsonValue &value, int depth);

void writeObject(QByteArray &out, const QJsonObject &object, int depth)
{
    if (object.isEmpty()) {
        out.append("{}");
        return;
    }
    QStringList keys = object.keys();
    std::sort(keys.begin(), keys.end(), codePointLess);
    out.append("{\n");
    for (qsizetype i = 0; i < keys.size(); ++i) {
        indent(out, depth + 1);
        writeString(out, keys.at(i));
        out.append(": ");
        writeValue(out, object.value(keys.at(i)), depth + 1);
        out.append(i + 1 < keys.size() ? ",\n" : "\n");
    }
    indent(out, depth);
    out.append('}');
}

void writeArray(QByteArray &out, const QJsonArray &array, int depth)
{
    if (array.isEmpty()) {
        out.append("[]");
        return;
    }
    out.append("[\n");
    for (qsizetype i = 0; i < array.size(); ++i) {
        indent(out, depth + 1);
        writeValue(out, array.at(i), depth + 1);
        out.append(i + 1 < array.size() ? ",\n" : "\n");
    }
    indent(out, depth);
    out.append(']');
}

void writeValue(QByteArray &out, const QJsonValue &value, int depth)
{
    switch (value.type()) {
    case QJsonValue::Object: writeObject(out, value.toObject(), depth); break;
    case QJsonValue::Array: writeArray(out, value.toArray(), depth); break;
    case QJsonValue::String: writeString(out, value.toString()); break;
    case QJsonValue::Double: writeNumber(out, value); break;
    case QJsonValue::Bool: out.append(value.toBool() ? "true" : "false"); break;
    case QJsonValue::Null:
    case QJsonValue::Undefined: out.append("null"); break;
    }
}

} // namespace

QByteArray write(const QJsonObject &object)
{
    QByteArray out;
    writeObject(out, object, 0);
    out.append('\n');
    return out;
}

} // namespace PrettyJson
