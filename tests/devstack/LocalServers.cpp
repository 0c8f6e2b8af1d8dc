#include "LocalServers.h"

#include <QEventLoop>
#include <QTcpSocket>
#include <QTimer>

LocalHttpServer::LocalHttpServer(QObject *parent) : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = nextPendingConnection())
            serve(socket);
    });
}

bool LocalHttpServer::start(const QHostAddress &address)
{
    return listen(address, 0);
}

void LocalHttpServer::serve(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
        if (socket->property("answered").toBool())
            return;
        QByteArray head = socket->property("head").toByteArray() + socket->readAll();
        socket->setProperty("head", head);
        const qsizetype end = head.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        socket->setProperty("answered", true);
        const QList<QByteArray> lines = head.left(end).split('\n');
        const QByteArray requestLine = lines.first().trimmed();
        m_requestLines << QString::fromLatin1(requestLine);
        QByteArray host;
        for (const QByteArray &line : lines) {
            if (line.toLower().startsWith("host:"))
                host = line.mid(5).trimmed();
        }
        const QByteArray path = requestLine.split(' ').value(1);
        QByteArray status = "200 OK";
        QByteArray body;
        if (path == "/generate_204") {
            status = "204 No Content";
        } else if (path == "/big") {
            body = QByteArray(bigSize, 'x');
        } else {
            body = "peer=" + socket->peerAddress().toString().toLatin1() + "\nrequest=" + requestLine +
                   "\nhost=" + host + "\n";
        }
        socket->write("HTTP/1.1 " + status + "\r\nContent-Length: " + QByteArray::number(body.size()) +
                      "\r\nConnection: close\r\n\r\n" + body);
        socket->disconnectFromHost();
    });
}

EchoServer::EchoServer(QObject *parent) : QTcpServer(parent)
{
    connect(this, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->write(socket->readAll()); });
        }
    });
}

quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

ProcessResult runProcess(const QString &program, const QStringList &arguments, int timeoutMs,
                         const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    process.start(program, arguments);
    loop.exec();
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(2000);
        return {-1, process.readAllStandardOutput(), "timed out"};
    }
    const int status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return {process.error() == QProcess::FailedToStart ? 127 : status, process.readAllStandardOutput(),
            process.readAllStandardError()};
}
