#pragma once

#include <QList>
#include <QUrl>

// The service's addresses for this build of the client. Everything that names a host of the service lives here.
namespace Deployment {

// The control plane: the primary base URL, then the first and the second fallback, in that order.
const QList<QUrl> &productionBaseURLs();
QUrl productionBaseURL();

// The environment variable that points the client at another control plane (a development or staging one).
inline constexpr char controlPlaneVariable[] = "TOVREN_API_BASE_URL";

// The base URL the client is created with: the variable's value when it holds an absolute http or https URL,
// else the production base URL. A single other base URL means no failover.
QUrl controlPlaneBaseURL();

// The service's public web origin (pricing and login pages) and the web client, which is that origin followed by
// "/client/".
QUrl publicWebOrigin();
QUrl webClientURL();

} // namespace Deployment
