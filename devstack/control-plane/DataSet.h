#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

// Where an endpoint's proxy outbound really leads: a local proxy of the devstack.
struct Upstream
{
    QString type = QStringLiteral("socks"); // "socks" or "http"
    QString server = QStringLiteral("127.0.0.1");
    int port = 1080;
    QString username;
    QString password;

    // "socks://[user:pass@]host:port" or "http://[user:pass@]host:port"; throws std::invalid_argument.
    static Upstream fromUrl(const QString &url);
    QString toUrl() const;
};

struct PlanRecord
{
    QString id;
    QString name;
    int maxDevices = 0;
    int durationDays = 0;
    QJsonObject json; // served as is
};

struct EndpointRecord
{
    QString id;
    QJsonObject publicJson; // the endpoint as the bootstrap answer carries it
    QString region;
    QString name;
    QString host;
    QString status;
    int latencyMs = 0;
    int loadPercent = 0;
    bool active = true;
    QString protocol; // the one this stand-in delivers: preferred, else the first listed, else "wireguard"
    std::optional<Upstream> upstream;
    std::optional<int> provisioningMs;
    bool provisioningFails = false;
    QString delivery = QStringLiteral("runtime"); // runtime | text | config | outbounds
    bool ownDns = false;         // the template carries DNS servers, DNS rules and a rule set of its own
    bool untaggedDirect = false; // the template's direct outbound has no tag
    int wireGuardPort = 51820;
    QString wireGuardPublicKey;
    int revision = 1;

    bool isWireGuard() const { return protocol == QLatin1String("wireguard") || protocol == QLatin1String("wg"); }
    bool isOffline() const;
};

struct DeviceRecord
{
    QString id;
    QString clientDeviceId;
    QString name;
    QString type;
    QString os;
    QString appVersion;
    QString status = QStringLiteral("active");
    QString lastLoginAt;
    bool isOnline = false;
    QString connectionStatus;
    QString latestConnectionAt;

    QJsonObject toJson() const;
};

struct AccountRecord
{
    QString id;
    QString identity;
    QString password;
    QJsonObject user; // the account as "/me" answers it
    QList<DeviceRecord> devices;
    QJsonArray orders;
    QJsonArray tickets;

    int maxDevices() const { return user.value(QStringLiteral("maxDevices")).toInt(); }
    int activeDeviceCount() const;
    bool isDisabled() const;
    bool subscriptionExpired(qint64 nowMs) const;
    DeviceRecord *device(const QString &id);
};

struct Settings
{
    Upstream upstream;
    int provisioningDelayMs = 1500;
    int retryAfterMs = 800;
    int maxWaitMs = 5000;
    int verificationCodeMinutes = 10;
    bool revealDebugCode = true;
    QString signupPlanName = QStringLiteral("新用户体验");
    int signupMaxDevices = 1;
    int signupTrialDays = 3;
    int signupTrafficMb = 10240;
};

// The catalogue and the accounts: loaded from a JSON file, changed by requests, restored by a reset.
struct DataSet
{
    Settings settings;
    QList<PlanRecord> plans;
    QList<EndpointRecord> endpoints;
    QJsonArray versions;
    QList<AccountRecord> accounts;

    // Throws std::runtime_error naming the file and the offending entry.
    static DataSet load(const QString &path);
    static DataSet fromJson(const QJsonObject &root);

    AccountRecord *account(const QString &id);
    AccountRecord *accountByIdentity(const QString &identity);
    const EndpointRecord *endpoint(const QString &id) const;
    const PlanRecord *plan(const QString &id) const;
};
