#pragma once

#include "api/CatalogueRecords.h"

#include <QString>
#include <QUrl>
#include <optional>

// What the client shows and demands for a client-version record of the control plane. Versions are compared
// as exact texts: the control plane decides what is newer, the client only tells whether it runs that one.
struct VersionPolicy
{
    QString text;
    bool requiresAction = false;         // "rollback" and "force" stop the client from connecting
    std::optional<QUrl> downloadAddress; // only an http or https address, since it is opened with the default handler

    // The record's policy for a client running `appVersion` ("v9.7.3").
    static VersionPolicy of(const APIAppVersion &version, const QString &appVersion);
};

// The version as shown: with a leading "v" put in front when it has none.
QString versionWithLeadingV(const QString &version);
