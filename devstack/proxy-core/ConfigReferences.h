#pragma once

#include <QJsonObject>
#include <QList>
#include <QString>

// The names a sing-box configuration gives by tag (DNS servers, outbounds, rule sets) and the ones that point at
// nothing. The real core decodes such a file without complaint and only stops when it starts, so `check` passes
// and `run` fails; the core reports the first of them.
namespace ConfigReferences {

struct Dangling
{
    QString kind; // "dns server", "outbound" or "rule-set"
    QString tag;
    QString message; // the core's wording when it stops at start
    // The section the name points into has the wrong type, which the decoder refuses before anything starts.
    bool sectionMistyped = false;
};

QList<Dangling> dangling(const QJsonObject &config);

} // namespace ConfigReferences
