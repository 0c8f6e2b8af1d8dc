#include "ProxySnapshotFile.h"

#include "base/ProductPaths.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

using namespace SystemProxy;

namespace ProxySnapshotFile {

namespace {

constexpr int formatVersion = 1;

QString kindKey(ProxyKind kind)
{
    switch (kind) {
    case ProxyKind::web: return QStringLiteral("web");
    case ProxyKind::secureWeb: return QStringLiteral("secureWeb");
    case ProxyKind::socks: break;
    }
    return QStringLiteral("socks");
}

std::optional<ProxyState> decodeState(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    const QJsonValue enabled = object.value(QStringLiteral("enabled"));
    const QJsonValue server = object.value(QStringLiteral("server"));
    const QJsonValue port = object.value(QStringLiteral("port"));
    if (!value.isObject() || !enabled.isBool() || !server.isString() || !port.isDouble())
        return std::nullopt;
    const double number = port.toDouble();
    if (number != double(int(number)) || number < 0 || number > 65535)
        return std::nullopt;
    return ProxyState{enabled.toBool(), server.toString(), int(number)};
}

std::optional<ServiceProxySnapshot> decodeService(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    ServiceProxySnapshot service;
    service.service = object.value(QStringLiteral("service")).toString();
    if (!value.isObject() || service.service.isEmpty())
        return std::nullopt;
    for (ProxyKind kind : allProxyKinds()) {
        const std::optional<ProxyState> state = decodeState(object.value(kindKey(kind)));
        if (!state)
            return std::nullopt;
        service.state(kind) = *state;
    }
    const QJsonValue domains = object.value(QStringLiteral("bypassDomains"));
    if (!domains.isArray())
        return std::nullopt;
    for (const QJsonValue &domain : domains.toArray()) {
        if (!domain.isString())
            return std::nullopt;
        service.bypassDomains.append(domain.toString());
    }
    return service;
}

} // namespace

QString path()
{
    return ProductPaths::productDirectory() + QStringLiteral("/system-proxy-snapshot.json");
}

QByteArray encode(const QList<ServiceProxySnapshot> &snapshot)
{
    QJsonArray services;
    for (const ServiceProxySnapshot &service : snapshot) {
        QJsonObject object{{QStringLiteral("service"), service.service},
                           {QStringLiteral("bypassDomains"), QJsonArray::fromStringList(service.bypassDomains)}};
        for (ProxyKind kind : allProxyKinds()) {
            const ProxyState &state = service.state(kind);
            object.insert(kindKey(kind), QJsonObject{{QStringLiteral("enabled"), state.enabled},
                                                     {QStringLiteral("server"), state.server},
                                                     {QStringLiteral("port"), state.port}});
        }
        services.append(object);
    }
    const QJsonObject root{{QStringLiteral("version"), formatVersion}, {QStringLiteral("services"), services}};
    return QJsonDocument(root).toJson();
}

std::optional<QList<ServiceProxySnapshot>> decode(const QByteArray &bytes)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    const QJsonObject root = document.object();
    const QJsonValue services = root.value(QStringLiteral("services"));
    if (error.error != QJsonParseError::NoError || root.value(QStringLiteral("version")) != formatVersion ||
        !services.isArray())
        return std::nullopt;
    QList<ServiceProxySnapshot> snapshot;
    for (const QJsonValue &value : services.toArray()) {
        const std::optional<ServiceProxySnapshot> service = decodeService(value);
        if (!service)
            return std::nullopt;
        snapshot.append(*service);
    }
    return snapshot;
}

bool save(const QList<ServiceProxySnapshot> &snapshot)
{
    return ProductPaths::writePrivateFileAtomically(path(), encode(snapshot));
}

std::optional<QList<ServiceProxySnapshot>> load()
{
    QFile file(path());
    if (!file.exists())
        return std::nullopt;
    std::optional<QList<ServiceProxySnapshot>> snapshot;
    if (file.open(QIODevice::ReadOnly))
        snapshot = decode(file.readAll());
    file.close();
    if (!snapshot) {
        // Kept for a look by hand; the sweep of the client's own settings still runs.
        const QString aside = path() + QStringLiteral(".unreadable");
        const bool moved =
            std::rename(QFile::encodeName(path()).constData(), QFile::encodeName(aside).constData()) == 0;
        qWarning().noquote() << "the saved system proxy settings in" << path() << "cannot be read;"
                             << (moved ? QStringLiteral("set aside as ") + aside : QStringLiteral("left in place"));
    }
    return snapshot;
}

void remove()
{
    QFile::remove(path());
}

} // namespace ProxySnapshotFile
