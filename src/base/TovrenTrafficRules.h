#pragma once

#include <QStringList>

// Fixed traffic tables shared by the proxy core configuration and the system proxy settings.
namespace TovrenTrafficRules {

// Mainland-China services whose traffic leaves the computer directly: "cn" first, then 61 service
// domains (apps, video, shopping and payment, local services, search, portals, then the image, CDN and
// cloud-storage domains those apps load from).
const QStringList &domesticDirectDomainSuffixes();

// Private, shared, loopback, link-local and multicast space, then mainland-China IPv4 ranges.
const QStringList &directAddressRanges();

// AI services that are always sent through the tunnel, ahead of the domestic direct rules.
const QStringList &aiDomainSuffixes();

// The bypass list written into the system proxy settings: local names and addresses, the domestic
// suffixes, then the same suffixes as "*." wildcards. Built once on first use.
const QStringList &domesticProxyBypassDomains();

} // namespace TovrenTrafficRules
