#pragma once

#include "ControlPlane.h"

#include <QAbstractHttpServer>
#include <QElapsedTimer>
#include <QPointer>
#include <memory>

class QHttpServerResponder;

// The HTTP side of the stand-in: turns each request into a Request for ControlPlane, applies the fault
// switches (delay, dropped connection, status, malformed body), enforces the body limit, writes the answer
// and logs it. One instance may serve several listeners (plain and TLS).
class ControlPlaneServer final : public QAbstractHttpServer
{
    Q_OBJECT

public:
    static constexpr QLatin1String adminPath{"/__devstack"};

    struct Config
    {
        QString basePath = QStringLiteral("/api");
        qint64 maxBodyBytes = 1 << 20;
        bool logRequests = true;
    };

    ControlPlaneServer(ControlPlane &plane, Config config, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(ControlPlaneServer)

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    struct Pending
    {
        Request request;
        QString fullPath;
        std::shared_ptr<QHttpServerResponder> responder;
        QPointer<QTcpSocket> socket;
        QElapsedTimer clock;
    };

    void serve(const Pending &pending, const std::optional<FaultRule> &fault);
    void finish(const Pending &pending, const Reply &reply, const QString &note, bool record = true);
    void log(const Pending &pending, int status, const QString &note) const;

    ControlPlane &m_plane;
    Config m_config;
};
