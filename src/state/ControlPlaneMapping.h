#pragma once

#include "api/CatalogueRecords.h"
#include "api/DeviceRecords.h"
#include "base/Types.h"

// The client's own value types, made from the control plane's records.

// An endpoint of the bootstrap answer. Unknown protocols are dropped; with none left, WireGuard.
Endpoint endpointFromAPI(const APIEndpoint &record);
// A node of the public catalogue: WireGuard only, and no host.
Endpoint endpointFromNode(const APINode &node);
Plan planFromAPI(const APIPlan &record, bool featured);
// "macos" gives "macOS" and so on; any other type is shown as it came.
QString displayPlatformName(const QString &deviceType);
// `currentDeviceId` is this computer's server-side id: the device with it is marked current.
Device deviceFromAPI(const APIDevice &record, const QString &currentDeviceId);
Ticket ticketFromAPI(const APITicket &record);
Order orderFromAPI(const APIOrder &record);

// "MM-dd" in local time for an internet date-time (with or without fractional seconds); the first 10 characters
// of anything else; "-" for nothing.
QString shortDateText(const std::optional<QString> &text);
