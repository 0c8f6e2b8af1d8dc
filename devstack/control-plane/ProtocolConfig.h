#pragma once

#include "DataSet.h"

#include <QJsonObject>
#include <QString>

// The answers of the protocol-configuration path, built for one device and endpoint.
namespace ProtocolConfig {

struct Issued
{
    QString deviceId;
    QString credentialId;
    QString wireGuardPrivateKey;
    QString wireGuardAddress;
    qint64 issuedAtMs = 0;
};

// A sing-box configuration as a node would deliver it: a TUN inbound the client replaces, a proxy outbound
// (tag "proxy") that really leads to the devstack's local upstream, and what the endpoint's devstack settings
// add (a DNS section of its own, an untagged direct outbound).
QJsonObject singBoxTemplate(const Upstream &upstream, const QString &outboundMode, const EndpointRecord &endpoint);
QString wireGuardText(const EndpointRecord &endpoint, const Issued &issued);
QString newWireGuardKey();

QJsonObject ready(const EndpointRecord &endpoint, const Upstream &upstream, const QString &outboundMode,
                  const Issued &issued);
QJsonObject notReady(const EndpointRecord &endpoint, int retryAfterMs, int maxWaitMs);
QJsonObject failed(const EndpointRecord &endpoint);

} // namespace ProtocolConfig
