#pragma once

#include "base/Types.h"

#include <QStringList>

// Rewrites a delivered WireGuard configuration for the outbound mode: in smart mode only the listed networks
// go through the tunnel (and a DNS server is ensured), in enhanced mode everything does.
namespace WireGuardConfigRouter {

const QStringList &smartModeAddresses();    // 27 IPv4 ranges: public resolvers, Google, Telegram, Cloudflare
const QStringList &enhancedModeAddresses(); // "0.0.0.0/0", "::/0"

// Every AllowedIPs line (any letter case, any indentation) becomes "AllowedIPs = " and the addresses joined
// by ", "; without any such line the new line is appended at the end.
QString replaceAllowedIPs(const QString &text, const QStringList &addresses);

// Unchanged when a DNS line exists; otherwise "DNS = 1.1.1.1, 8.8.8.8" right after the first [Interface]
// header (nothing without one).
QString ensureDNS(const QString &text);

// The text written to disk: trimmed, routed for the mode, and headed by "# Tovren outbound mode: <mode>".
QString prepared(const QString &text, OutboundMode outboundMode);

} // namespace WireGuardConfigRouter
