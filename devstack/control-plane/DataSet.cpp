#include "DataSet.h"

#include "HttpTypes.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QUrl>
#include <algorithm>
#include <limits>
#include <stdexcept>

namespace {

[[noreturn]] void fail(const QString &where, const QString &what)
{
    throw std::runtime_error(QStringLiteral("%1: %2").arg(where, what).toStdString());
}

// Reads one object of the data set, naming the entry in every complaint.
class Reader final
{
public:
    Reader(QJsonObject object, QString where) : m_object(std::move(object)), m_where(std::move(where)) {}

    const QJsonObject &object() const { return m_object; }
    const QString &where() const { return m_where; }
    bool has(const QString &key) const
    {
        const QJsonValue v = m_object.value(key);
        return !v.isUndefined() && !v.isNull();
    }

    QString string(const QString &key) const
    {
        const auto v = optionalString(key);
        if (!v)
            fail(m_where, QStringLiteral("\"%1\" must be a string").arg(key));
        return *v;
    }

    std::optional<QString> optionalString(const QString &key) const
    {
        if (!has(key))
            return std::nullopt;
        const QJsonValue v = m_object.value(key);
        if (!v.isString())
            fail(m_where, QStringLiteral("\"%1\" must be a string").arg(key));
        return v.toString();
    }

    std::optional<int> optionalInt(const QString &key, int min = 0) const
    {
        if (!has(key))
            return std::nullopt;
        const auto v = asInteger(m_object.value(key));
        if (!v || *v < min || *v > std::numeric_limits<int>::max())
            fail(m_where, QStringLiteral("\"%1\" must be a whole number of at least %2").arg(key).arg(min));
        return static_cast<int>(*v);
    }

    bool flag(const QString &key) const
    {
        if (has(key) && !m_object.value(key).isBool())
            fail(m_where, QStringLiteral("\"%1\" must be true or false").arg(key));
        return m_object.value(key).toBool();
    }

    QJsonObject object(const QString &key) const
    {
        if (!has(key))
            return {};
        if (!m_object.value(key).isObject())
            fail(m_where, QStringLiteral("\"%1\" must be an object").arg(key));
        return m_object.value(key).toObject();
    }

    QJsonArray array(const QString &key) const
    {
        if (!has(key))
            return {};
        if (!m_object.value(key).isArray())
            fail(m_where, QStringLiteral("\"%1\" must be an array").arg(key));
        return m_object.value(key).toArray();
    }

private:
    QJsonObject m_object;
    QString m_where;
};

QList<Reader> objects(const Reader &parent, const QString &key)
{
    QList<Reader> out;
    const QJsonArray items = parent.array(key);
    for (qsizetype i = 0; i < items.size(); ++i) {
        const QString where = QStringLiteral("%1%2[%3]").arg(parent.where(), key).arg(i);
        if (!items[i].isObject())
            fail(where, QStringLiteral("must be an object"));
        out.append(Reader(items[i].toObject(), where));
    }
    return out;
}

Upstream upstreamFrom(const Reader &reader, const QString &key)
{
    try {
        return Upstream::fromUrl(reader.string(key));
    } catch (const std::invalid_argument &e) {
        fail(reader.where(), QString::fromStdString(e.what()));
    }
}

Settings readSettings(const Reader &root)
{
    Settings s;
    const Reader r(root.object(QStringLiteral("settings")), QStringLiteral("settings."));
    if (r.has(QStringLiteral("upstream")))
        s.upstream = upstreamFrom(r, QStringLiteral("upstream"));
    s.provisioningDelayMs = r.optionalInt(QStringLiteral("provisioningDelayMs")).value_or(s.provisioningDelayMs);
    s.retryAfterMs = r.optionalInt(QStringLiteral("retryAfterMs")).value_or(s.retryAfterMs);
    s.maxWaitMs = r.optionalInt(QStringLiteral("maxWaitMs")).value_or(s.maxWaitMs);
    s.verificationCodeMinutes = r.optionalInt(QStringLiteral("verificationCodeMinutes"), 1).value_or(10);
    const Reader signup(r.object(QStringLiteral("signup")), QStringLiteral("settings.signup."));
    s.signupPlanName = signup.optionalString(QStringLiteral("planName")).value_or(s.signupPlanName);
    s.signupMaxDevices = signup.optionalInt(QStringLiteral("maxDevices")).value_or(s.signupMaxDevices);
    s.signupTrialDays = signup.optionalInt(QStringLiteral("trialDays")).value_or(s.signupTrialDays);
    s.signupTrafficMb = signup.optionalInt(QStringLiteral("remainingTrafficMb")).value_or(s.signupTrafficMb);
    return s;
}

PlanRecord readPlan(const Reader &r)
{
    PlanRecord plan;
    plan.id = r.string(QStringLiteral("id"));
    plan.name = r.string(QStringLiteral("name"));
    plan.maxDevices = r.optionalInt(QStringLiteral("maxDevices")).value_or(-1);
    plan.durationDays = r.optionalInt(QStringLiteral("durationDays")).value_or(-1);
    if (plan.maxDevices < 0 || plan.durationDays < 0 || !r.object().value(QStringLiteral("price")).isDouble())
        fail(r.where(), QStringLiteral("a plan needs \"price\", \"durationDays\" and \"maxDevices\""));
    plan.json = r.object();
    return plan;
}

EndpointRecord readEndpoint(const Reader &r)
{
    EndpointRecord e;
    e.id = r.string(QStringLiteral("id"));
    e.publicJson = r.object();
    e.publicJson.remove(QStringLiteral("devstack"));
    e.region = r.optionalString(QStringLiteral("region")).value_or(QStringLiteral("自动"));
    e.name = r.optionalString(QStringLiteral("name")).value_or(e.id);
    e.host = r.optionalString(QStringLiteral("host")).value_or(QString());
    e.status = r.optionalString(QStringLiteral("status")).value_or(QStringLiteral("online"));
    e.latencyMs = r.optionalInt(QStringLiteral("latency_ms")).value_or(0);
    e.loadPercent = r.optionalInt(QStringLiteral("load_percent")).value_or(0);
    const QJsonValue active = r.object().value(QStringLiteral("is_active"));
    e.active = active.isBool() ? active.toBool() : (active.isDouble() ? active.toDouble() != 0 : true);

    QStringList protocols;
    if (r.has(QStringLiteral("protocols"))) {
        for (const QJsonValue &p : r.array(QStringLiteral("protocols"))) {
            if (!p.isString())
                fail(r.where(), QStringLiteral("\"protocols\" must hold strings"));
            protocols << p.toString();
        }
    } else if (const auto one = r.optionalString(QStringLiteral("protocol"))) {
        protocols << *one;
    } else if (const auto type = r.optionalString(QStringLiteral("type"))) {
        protocols << *type;
    } else {
        protocols << QStringLiteral("wireguard");
    }
    e.protocol = r.optionalString(QStringLiteral("preferred_protocol"))
                     .value_or(protocols.isEmpty() ? QStringLiteral("wireguard") : protocols.first())
                     .toLower();

    const Reader d(r.object(QStringLiteral("devstack")), r.where() + QStringLiteral(".devstack."));
    if (d.has(QStringLiteral("upstream")))
        e.upstream = upstreamFrom(d, QStringLiteral("upstream"));
    e.provisioningMs = d.optionalInt(QStringLiteral("provisioningMs"));
    const QString provisioning = d.optionalString(QStringLiteral("provisioning")).value_or(QStringLiteral("ok"));
    if (provisioning != QLatin1String("ok") && provisioning != QLatin1String("fails"))
        fail(d.where(), QStringLiteral("\"provisioning\" is \"ok\" or \"fails\""));
    e.provisioningFails = provisioning == QLatin1String("fails");
    e.delivery = d.optionalString(QStringLiteral("delivery")).value_or(e.delivery);
    static const QStringList deliveries{QStringLiteral("runtime"), QStringLiteral("text"), QStringLiteral("config"),
                                        QStringLiteral("outbounds")};
    if (!deliveries.contains(e.delivery))
        fail(d.where(), QStringLiteral("\"delivery\" is one of %1").arg(deliveries.join(QStringLiteral(", "))));
    e.ownDns = d.flag(QStringLiteral("ownDns"));
    e.untaggedDirect = d.flag(QStringLiteral("untaggedDirect"));
    e.revision = d.optionalInt(QStringLiteral("revision"), 1).value_or(1);
    const Reader wg(d.object(QStringLiteral("wireguard")), d.where() + QStringLiteral("wireguard."));
    e.wireGuardPort = wg.optionalInt(QStringLiteral("port"), 1).value_or(51820);
    e.wireGuardPublicKey = wg.optionalString(QStringLiteral("publicKey"))
                               .value_or(QString::fromLatin1(QByteArray::fromHex(randomHex(32).toLatin1()).toBase64()));
    return e;
}

DeviceRecord readDevice(const Reader &r)
{
    DeviceRecord d;
    d.id = r.string(QStringLiteral("id"));
    d.clientDeviceId = r.optionalString(QStringLiteral("client_device_id")).value_or(QString());
    d.name = r.optionalString(QStringLiteral("device_name")).value_or(QStringLiteral("Tovren 设备"));
    d.type = r.optionalString(QStringLiteral("device_type")).value_or(QStringLiteral("unknown"));
    d.os = r.optionalString(QStringLiteral("os")).value_or(QString());
    d.appVersion = r.optionalString(QStringLiteral("app_version")).value_or(QString());
    d.status = r.optionalString(QStringLiteral("status")).value_or(d.status);
    d.lastLoginAt = r.optionalString(QStringLiteral("last_login_at")).value_or(QString());
    d.connectionStatus = r.optionalString(QStringLiteral("connection_status")).value_or(QString());
    d.latestConnectionAt = r.optionalString(QStringLiteral("latest_connection_at")).value_or(QString());
    d.isOnline = r.object().value(QStringLiteral("is_online")).toBool(false);
    return d;
}

AccountRecord readAccount(const Reader &r, const DataSet &set)
{
    AccountRecord a;
    a.id = r.string(QStringLiteral("id"));
    a.identity = r.string(QStringLiteral("identity")).trimmed().toLower();
    a.password = r.string(QStringLiteral("password"));

    // Everything but the stand-in's own keys is the user record.
    a.user = r.object();
    for (const char *own : {"password", "planId", "devices", "orders", "tickets"})
        a.user.remove(QLatin1String(own));
    a.user.insert(QStringLiteral("identity"), a.identity);
    if (!a.user.contains(QStringLiteral("role")))
        a.user.insert(QStringLiteral("role"), QStringLiteral("user"));
    if (!a.user.contains(QStringLiteral("status")))
        a.user.insert(QStringLiteral("status"), QStringLiteral("active"));
    if (const auto planId = r.optionalString(QStringLiteral("planId"))) {
        const PlanRecord *plan = set.plan(*planId);
        if (!plan)
            fail(r.where(), QStringLiteral("unknown plan \"%1\"").arg(*planId));
        if (!a.user.contains(QStringLiteral("planName")))
            a.user.insert(QStringLiteral("planName"), plan->name);
        if (!a.user.contains(QStringLiteral("maxDevices")))
            a.user.insert(QStringLiteral("maxDevices"), plan->maxDevices);
    }
    const Reader user(a.user, r.where());
    for (const char *text : {"email", "phone", "role", "status", "referralCode", "planName", "subscriptionExpiredAt"})
        user.optionalString(QLatin1String(text));
    for (const char *number : {"remainingTrafficMb", "maxDevices", "invitesTotal", "invitesPaid", "rewardDays"})
        user.optionalInt(QLatin1String(number));
    if (!a.user.value(QStringLiteral("planName")).isString() || !asInteger(a.user.value(QStringLiteral("maxDevices"))))
        fail(r.where(), QStringLiteral("an account needs \"planId\", or \"planName\" and \"maxDevices\""));

    for (const Reader &device : objects(r, QStringLiteral("devices")))
        a.devices.append(readDevice(device));
    a.orders = r.array(QStringLiteral("orders"));
    a.tickets = r.array(QStringLiteral("tickets"));
    for (const QJsonArray &list : {a.orders, a.tickets}) {
        for (const QJsonValue &item : list) {
            if (!item.isObject() || !item.toObject().value(QStringLiteral("id")).isString())
                fail(r.where(), QStringLiteral("orders and tickets are objects with a string \"id\""));
        }
    }
    return a;
}

} // namespace

Upstream Upstream::fromUrl(const QString &text)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("socks") && scheme != QLatin1String("http")) ||
        url.host().isEmpty() || url.port() < 1)
        throw std::invalid_argument(
            QStringLiteral("upstream \"%1\" is not socks://host:port or http://host:port").arg(text).toStdString());
    Upstream u;
    u.type = scheme;
    u.server = url.host();
    u.port = url.port();
    u.username = url.userName();
    u.password = url.password();
    return u;
}

QString Upstream::toUrl() const
{
    QUrl url;
    url.setScheme(type);
    url.setHost(server);
    url.setPort(port);
    url.setUserName(username);
    url.setPassword(password);
    return url.toString();
}

bool EndpointRecord::isOffline() const
{
    return status == QLatin1String("offline") || !active;
}

QJsonObject DeviceRecord::toJson() const
{
    QJsonObject out{{QStringLiteral("id"), id},
                    {QStringLiteral("device_name"), name},
                    {QStringLiteral("device_type"), type},
                    {QStringLiteral("os"), os},
                    {QStringLiteral("app_version"), appVersion},
                    {QStringLiteral("status"), status},
                    {QStringLiteral("is_online"), isOnline}};
    if (!lastLoginAt.isEmpty())
        out.insert(QStringLiteral("last_login_at"), lastLoginAt);
    if (!connectionStatus.isEmpty())
        out.insert(QStringLiteral("connection_status"), connectionStatus);
    if (!latestConnectionAt.isEmpty())
        out.insert(QStringLiteral("latest_connection_at"), latestConnectionAt);
    return out;
}

int AccountRecord::activeDeviceCount() const
{
    return static_cast<int>(std::count_if(devices.begin(), devices.end(),
                                          [](const DeviceRecord &d) { return d.status == QLatin1String("active"); }));
}

bool AccountRecord::isDisabled() const
{
    return user.value(QStringLiteral("status")).toString() != QLatin1String("active");
}

bool AccountRecord::subscriptionExpired(qint64 now) const
{
    const QString text = user.value(QStringLiteral("subscriptionExpiredAt")).toString();
    if (text.isEmpty())
        return false;
    const QDateTime at = QDateTime::fromString(text, Qt::ISODateWithMs);
    return at.isValid() && at.toMSecsSinceEpoch() < now;
}

DeviceRecord *AccountRecord::device(const QString &deviceId)
{
    for (DeviceRecord &d : devices) {
        if (d.id == deviceId)
            return &d;
    }
    return nullptr;
}

DataSet DataSet::load(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(path, file.errorString());
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError)
        fail(path, QStringLiteral("not JSON (%1 at offset %2)").arg(error.errorString()).arg(error.offset));
    if (!doc.isObject())
        fail(path, QStringLiteral("the data set is a JSON object"));
    try {
        return fromJson(doc.object());
    } catch (const std::runtime_error &e) {
        fail(path, QString::fromStdString(e.what()));
    }
}

DataSet DataSet::fromJson(const QJsonObject &json)
{
    const Reader root(json, QString());
    DataSet set;
    set.settings = readSettings(root);
    for (const Reader &r : objects(root, QStringLiteral("plans")))
        set.plans.append(readPlan(r));
    for (const Reader &r : objects(root, QStringLiteral("endpoints"))) {
        const EndpointRecord e = readEndpoint(r);
        if (set.endpoint(e.id))
            fail(r.where(), QStringLiteral("duplicate endpoint id \"%1\"").arg(e.id));
        set.endpoints.append(e);
    }
    for (const Reader &r : objects(root, QStringLiteral("versions")))
        set.versions.append(r.object());
    for (const Reader &r : objects(root, QStringLiteral("accounts"))) {
        const AccountRecord a = readAccount(r, set);
        if (set.account(a.id) || set.accountByIdentity(a.identity))
            fail(r.where(), QStringLiteral("duplicate account \"%1\"").arg(a.identity));
        set.accounts.append(a);
    }
    return set;
}

AccountRecord *DataSet::account(const QString &id)
{
    for (AccountRecord &a : accounts) {
        if (a.id == id)
            return &a;
    }
    return nullptr;
}

AccountRecord *DataSet::accountByIdentity(const QString &identity)
{
    const QString wanted = identity.trimmed().toLower();
    for (AccountRecord &a : accounts) {
        if (a.identity == wanted)
            return &a;
    }
    return nullptr;
}

const EndpointRecord *DataSet::endpoint(const QString &id) const
{
    for (const EndpointRecord &e : endpoints) {
        if (e.id == id)
            return &e;
    }
    return nullptr;
}

const PlanRecord *DataSet::plan(const QString &id) const
{
    for (const PlanRecord &p : plans) {
        if (p.id == id)
            return &p;
    }
    return nullptr;
}
