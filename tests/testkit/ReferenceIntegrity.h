#pragma once

#include "ConfigReferences.h"

// The names the rewrite left pointing at nothing that the template had not already left so; names into a
// section of the wrong type are the core's decoder's to refuse and are not counted.
inline QStringList introducedDanglingNames(const QJsonObject &templateObject, const QJsonObject &output)
{
    QStringList before;
    for (const ConfigReferences::Dangling &name : ConfigReferences::dangling(templateObject))
        before << name.kind + u':' + name.tag;
    QStringList introduced;
    for (const ConfigReferences::Dangling &name : ConfigReferences::dangling(output)) {
        if (!name.sectionMistyped && !before.contains(name.kind + u':' + name.tag))
            introduced << name.message;
    }
    return introduced;
}
