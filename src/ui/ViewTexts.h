#pragma once

#include "base/Types.h"

#include <QDateTime>
#include <optional>

// Texts of the window and the menu that depend on the state only.
namespace ViewTexts {

// The connect button's and the menu's connection entry's title.
QString connectButtonTitle(const ConnectionState &state);
// The component button's title (shown only while the state is configReady).
QString componentButtonTitle(const ComponentInstallState &state);
// "MM:SS" since `connectedAt`, minutes not wrapped at 60, never negative; "--:--" without a connection.
QString durationText(const std::optional<QDateTime> &connectedAt, const QDateTime &now);
QString sidebarTitle(AppPage page);
// A tool tip reads text that looks like markup as rich text; this one shows `text` as it is.
QString plainToolTip(const QString &text);

} // namespace ViewTexts
