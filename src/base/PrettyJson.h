#pragma once

#include <QByteArray>
#include <QJsonObject>

// Writes JSON for people and for stable comparison: two-space indentation, one member per line, object
// keys in ascending Unicode code-point order at every level, integers kept exact. QJsonDocument's own
// writer is not used because its key order depends on how each key was stored (keys parsed from escapes
// and from raw UTF-8 can sort differently), so "sorted" would not hold for every template.
namespace PrettyJson {

QByteArray write(const QJsonObject &object);

} // namespace PrettyJson
