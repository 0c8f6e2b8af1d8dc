#pragma once

#include <QHostAddress>
#include <QProcess>
#include <QStringList>
#include <QTcpServer>

// Small loopback servers that stand for "the internet" in the core's tests.

// Answers every HTTP request and closes: "/generate_204" with 204, "/big" with `bigSize` bytes, anything else
// with 200 and a body naming what arrived ("peer=", "request=", "host=" lines).
class LocalHttpServer final : public QTcpServer
{
    Q_OBJECT

public:
    explicit LocalHttpServer(QObject *parent = nullptr);
    bool start(const QHostAddress &address = QHostAddress::LocalHost);
    QStringList requestLines() const { return m_requestLines; }

    static constexpr qsizetype bigSize = 8 * 1024 * 1024;

private:
    void serve(QTcpSocket *socket);
    QStringList m_requestLines;
};

// Echoes every byte back.
class EchoServer final : public QTcpServer
{
    Q_OBJECT

public:
    explicit EchoServer(QObject *parent = nullptr);
};

// A free loopback TCP port at the time of the call.
quint16 freePort();

struct ProcessResult
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

// Runs a program to its end while this process's event loop keeps serving the local servers.
ProcessResult runProcess(const QString &program, const QStringList &arguments, int timeoutMs = 20'000,
                         const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());
