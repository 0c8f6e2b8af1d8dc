#pragma once

#include "api/AccountRecords.h"
#include "base/LocalProxyPorts.h"
#include "base/Types.h"

#include <QDateTime>
#include <QObject>
#include <QUrl>

#include <exception>

// A published value: a getter, and a setter that emits the signal of its concern only when the value differs.
#define TOVREN_PUBLISHED(Concern, Type, name, Setter)                                                                  \
public:                                                                                                                \
    const Type &name() const                                                                                           \
    {                                                                                                                  \
        return m_##name;                                                                                               \
    }                                                                                                                  \
    void Setter(const Type &value)                                                                                     \
    {                                                                                                                  \
        if (publish(m_##name, value))                                                                                  \
            Q_EMIT Concern();                                                                                          \
    }                                                                                                                  \
                                                                                                                       \
private:                                                                                                               \
    Type m_##name

// Everything the interface shows, grouped by concern so that a view repaints only for what it shows. The parts of
// the state write here; views read it through AppState, which re-emits the signals.
class StateModel final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(StateModel)

public:
    explicit StateModel(QObject *parent = nullptr) : QObject(parent) {}

    // The connection.
public:
    const ConnectionState &connectionState() const { return m_connectionState; }
    // Leaving the connected state also ends the duration the window counts (connectedAt is cleared).
    void setConnectionState(const ConnectionState &value);

private:
    ConnectionState m_connectionState;
    TOVREN_PUBLISHED(connectionChanged, std::optional<QDateTime>, connectedAt, setConnectedAt);
    TOVREN_PUBLISHED(connectionChanged, std::optional<QString>, selectedEndpointId, setSelectedEndpointId);
    TOVREN_PUBLISHED(connectionChanged, std::optional<QString>, currentConfigPath, setCurrentConfigPath);
    TOVREN_PUBLISHED(connectionChanged, ComponentInstallState, componentInstallState, setComponentInstallState);
    TOVREN_PUBLISHED(connectionChanged, int, localProxyPort,
                     setLocalProxyPort) = LocalProxyPorts::preferredSystemProxyPort;
    TOVREN_PUBLISHED(connectionChanged, int, localAIProxyPort, setLocalAIProxyPort) = LocalProxyPorts::aiProxyPort;
    TOVREN_PUBLISHED(connectionChanged, bool, aiProxyReady, setAiProxyReady) = false;

    // The account and the catalogue.
    TOVREN_PUBLISHED(accountChanged, std::optional<QString>, token, setToken); // the session in use
    TOVREN_PUBLISHED(accountChanged, std::optional<APIUser>, currentUser, setCurrentUser);
    TOVREN_PUBLISHED(accountChanged, QList<Endpoint>, endpoints, setEndpoints) = placeholderEndpoints();
    TOVREN_PUBLISHED(accountChanged, QList<Plan>, plans, setPlans) = placeholderPlans();
    TOVREN_PUBLISHED(accountChanged, QList<Device>, devices, setDevices);
    TOVREN_PUBLISHED(accountChanged, QList<Ticket>, tickets, setTickets);
    TOVREN_PUBLISHED(accountChanged, QList<Order>, orders, setOrders);
    TOVREN_PUBLISHED(accountChanged, QString, latestVersion, setLatestVersion) = QStringLiteral(TOVREN_APP_VERSION);
    TOVREN_PUBLISHED(accountChanged, QString, versionPolicyText, setVersionPolicyText) = QStringLiteral("已是最新");
    TOVREN_PUBLISHED(accountChanged, std::optional<QUrl>, versionDownloadURL, setVersionDownloadURL);
    TOVREN_PUBLISHED(accountChanged, bool, requiresVersionAction, setRequiresVersionAction) = false;
    TOVREN_PUBLISHED(accountChanged, std::optional<Device>, currentDevice, setCurrentDevice);
    TOVREN_PUBLISHED(accountChanged, int, maxDevices, setMaxDevices) = 0;
    TOVREN_PUBLISHED(accountChanged, int, activeDeviceCount, setActiveDeviceCount) = 0;

    // The speeds, once a second while traffic flows.
    TOVREN_PUBLISHED(speedsChanged, double, downloadSpeedBps, setDownloadSpeedBps) = 0;
    TOVREN_PUBLISHED(speedsChanged, double, uploadSpeedBps, setUploadSpeedBps) = 0;

    // The window: page, expanded sections, sheet, alert, busy.
    TOVREN_PUBLISHED(viewChanged, AppPage, selectedPage, setSelectedPage) = AppPage::home;
    TOVREN_PUBLISHED(viewChanged, bool, nodesExpanded, setNodesExpanded) = false;
    TOVREN_PUBLISHED(viewChanged, bool, logsExpanded, setLogsExpanded) = false;
    TOVREN_PUBLISHED(viewChanged, bool, devicesExpanded, setDevicesExpanded) = false;
    TOVREN_PUBLISHED(viewChanged, bool, feedbackExpanded, setFeedbackExpanded) = false;
    TOVREN_PUBLISHED(viewChanged, bool, showAuthSheet, setShowAuthSheet) = false;
    TOVREN_PUBLISHED(viewChanged, bool, isBusy, setIsBusy) = false;
    TOVREN_PUBLISHED(viewChanged, std::optional<QString>, alertMessage, setAlertMessage);
    TOVREN_PUBLISHED(viewChanged, std::optional<AppAlertAction>, alertAction, setAlertAction);

    // The settings.
    TOVREN_PUBLISHED(settingsChanged, bool, launchAtLogin, setLaunchAtLogin) = false;
    TOVREN_PUBLISHED(settingsChanged, bool, menuBarEnabled, setMenuBarEnabled) = true;
    TOVREN_PUBLISHED(settingsChanged, bool, showMenuBarSpeed, setShowMenuBarSpeed) = false;
    TOVREN_PUBLISHED(settingsChanged, bool, aiEnhancedModeEnabled, setAiEnhancedModeEnabled) = false;
    TOVREN_PUBLISHED(settingsChanged, OutboundMode, outboundMode, setOutboundMode) = OutboundMode::smart;

    // The activity log: newest first, the newest 30 kept.
    TOVREN_PUBLISHED(logChanged, QList<LogEntry>, logs, setLogs);

public:
    static constexpr int maxLogEntries = 30;
    void appendLog(const QString &message);
    // Shows an error in the alert and logs it under `fallback`, which also stands in for an empty description.
    void present(const std::exception &error, const QString &fallback);
    // An alert with no action to offer.
    void alert(const QString &message);

    // Marks the state busy for the life of one operation, whatever its outcome. Operations overlap (a refresh
    // during a connect), so the state stays busy until the last of them ends.
    class BusyMark final
    {
    public:
        explicit BusyMark(StateModel &model) : m_model(model)
        {
            ++m_model.m_busyOperations;
            m_model.setIsBusy(true);
        }
        ~BusyMark() { m_model.setIsBusy(--m_model.m_busyOperations > 0); }
        Q_DISABLE_COPY_MOVE(BusyMark)

    private:
        StateModel &m_model;
    };

Q_SIGNALS:
    void connectionChanged();
    void accountChanged();
    void speedsChanged();
    void viewChanged();
    void settingsChanged();
    void logChanged();
    // Every new activity-log entry (the command line's log echo listens to it).
    void logAppended(const LogEntry &entry);

private:
    template<typename T> static bool publish(T &field, const T &value)
    {
        if (field == value)
            return false;
        field = value;
        return true;
    }

    int m_busyOperations = 0;
};

#undef TOVREN_PUBLISHED
