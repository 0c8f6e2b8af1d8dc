#include "ControlPlaneServer.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QTcpSocket>
#include <QTimer>
#include <cstdio>

namespace {

QString methodName(QHttpServerRequest::Method method)
{
    using M = QHttpServerRequest::Method;
    switch (method) {
    case M::Get: return QStringLiteral("GET");
    case M::Put: return QStringLiteral("PUT");
    case M::Delete: return QStringLiteral("DELETE");
    case M::Post: return QStringLiteral("POST");
    case M::Head: return QStringLiteral("HEAD");
    case M::Options: return QStringLiteral("OPTIONS");
    case M::Patch: return QStringLiteral("PATCH");
    case M::Connect: return QStringLiteral("CONNECT");
    case M::Trace: return QStringLiteral("TRACE");
    default: return QStringLiteral("UNKNOWN");
    }
}

QStringList decodedSegments(const QString &relativePath)
{
    QStringList segments;
    for (const QString &raw : relativePath.mid(1).split(QLatin1Char('/')))
        segments << QUrl::fromPercentEncoding(raw.toLatin1());
    return segments;
}

// A client that hung up during a delay leaves a socket that is closed or already deleted.
bool isGone(const QPointer<QTcpSocket> &socket)
{
    return !socket || socket->state() != QAbstractSocket::ConnectedState;
}

// What a broken server sends: a JSON object cut short.
const QByteArray malformedBody = "{\"ok\": tru";

} // namespace

ControlPlaneServer::ControlPlaneServer(ControlPlane &plane, Config config, QObject *parent)
    : QAbstractHttpServer(parent), m_plane(plane), m_config(std::move(config))
{
}

void ControlPlaneServer::missingHandler(const QHttpServerRequest &, QTcpSocket *)
{
    // Every request is handled in handleRequest.
}

bool ControlPlaneServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    Pending pending;
    pending.clock.start();
    pending.fullPath = request.url().path(QUrl::FullyEncoded);
    if (pending.fullPath.isEmpty())
        pending.fullPath = QStringLiteral("/");
    Request &r = pending.request;
    r.method = methodName(request.method());
    r.query = request.query();
    r.headers = request.headers();
    r.body = request.body();
    r.peer = request.remoteAddress();
    pending.responder = std::make_shared<QHttpServerResponder>(makeResponder(request, socket));
    pending.socket = socket;

    const QString &full = pending.fullPath;
    if (full == adminPath || full.startsWith(adminPath + QLatin1Char('/'))) {
        // The devstack's switches answer only on this machine, whatever address the API listens on.
        r.path = full.mid(adminPath.size());
        const bool local = r.peer.isLoopback();
        finish(pending,
               local ? m_plane.handleAdmin(r)
                     : Reply::error(403, QStringLiteral("devstack paths answer loopback clients only"),
                                    QStringLiteral("DEVSTACK")),
               QString(), false);
        return true;
    }
    const QString &base = m_config.basePath;
    if (full != base && !full.startsWith(base + QLatin1Char('/'))) {
        finish(pending, Reply::error(404, QStringLiteral("接口不存在：") + full, QStringLiteral("NOT_FOUND")), {});
        return true;
    }
    r.path = full.mid(base.size());
    if (r.path.isEmpty())
        r.path = QStringLiteral("/");
    r.segments = decodedSegments(r.path);
    if (r.body.size() > m_config.maxBodyBytes) {
        finish(pending,
               Reply::error(413, QStringLiteral("请求体过大（上限 %1 字节）").arg(m_config.maxBodyBytes),
                            QStringLiteral("PAYLOAD_TOO_LARGE")),
               {});
        return true;
    }

    const std::optional<FaultRule> fault = m_plane.takeFault(r.method, r.path);
    if (fault && fault->delayMs > 0)
        QTimer::singleShot(fault->delayMs, this, [this, pending, fault] { serve(pending, fault); });
    else
        serve(pending, fault);
    return true;
}

void ControlPlaneServer::serve(const Pending &pending, const std::optional<FaultRule> &fault)
{
    const QString note = fault ? QStringLiteral("fault %1").arg(fault->id) : QString();
    if (isGone(pending.socket)) {
        m_plane.recordRequest(pending.request, pending.fullPath, 0, note + QStringLiteral(" client gone"));
        log(pending, 0, QStringLiteral("client gone"));
        return;
    }
    if (fault && fault->drop) {
        pending.socket->abort();
        m_plane.recordRequest(pending.request, pending.fullPath, 0, note + QStringLiteral(" dropped"));
        log(pending, 0, note + QStringLiteral(" dropped"));
        return;
    }
    if (!fault || fault->servesNormally()) {
        finish(pending, m_plane.handle(pending.request), note);
        return;
    }
    Reply reply;
    reply.status = fault->status.value_or(200);
    if (fault->body)
        reply.body = *fault->body;
    else if (fault->malformed)
        reply.body = malformedBody;
    else
        reply = Reply::error(reply.status, QStringLiteral("devstack 注入的故障"), QStringLiteral("DEVSTACK_FAULT"));
    finish(pending, reply, note);
}

void ControlPlaneServer::finish(const Pending &pending, const Reply &reply, const QString &note, bool record)
{
    if (record)
        m_plane.recordRequest(pending.request, pending.fullPath, reply.status, note);
    if (isGone(pending.socket))
        return;
    QHttpServerResponder &out = *pending.responder;
    out.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(reply.status));
    out.writeHeader("Content-Type", reply.contentType);
    out.writeHeader("Content-Length", QByteArray::number(reply.body.size()));
    out.writeHeader("Cache-Control", "no-store");
    if (const QByteArray id = pending.request.header("X-Request-Id"); !id.isEmpty())
        out.writeHeader("X-Request-Id", id);
    for (const auto &[name, value] : reply.headers)
        out.writeHeader(name, value);
    // A HEAD answer announces the length but carries no body.
    out.writeBody(pending.request.method == QLatin1String("HEAD") ? QByteArray() : reply.body);
    if (record)
        log(pending, reply.status, note);
}

void ControlPlaneServer::log(const Pending &pending, int status, const QString &note) const
{
    if (!m_config.logRequests)
        return;
    const QString line =
        QStringLiteral("%1 %2 -> %3 (%4 ms)%5\n")
            .arg(pending.request.method, pending.fullPath)
            .arg(status)
            .arg(pending.clock.elapsed())
            .arg(note.isEmpty() ? QString() : QStringLiteral(" [") + note.trimmed() + QLatin1Char(']'));
    std::fputs(line.toLocal8Bit().constData(), stderr);
}
