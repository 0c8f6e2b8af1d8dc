#pragma once

#include <QObject>
#include <QTcpSocket>

// Copies bytes both ways between two connected sockets until both are closed. Reading from one side pauses
// while the other side has too much unwritten data, so a fast sender cannot fill the memory. When one side
// ends, what it sent is delivered and the other side is closed after its pending bytes are written.
class Relay final : public QObject
{
    Q_OBJECT

public:
    // Takes both sockets over (they become children of the relay).
    Relay(QTcpSocket *client, QTcpSocket *upstream, QObject *parent);
    Q_DISABLE_COPY_MOVE(Relay)

    quint64 bytesUp() const { return m_up; }
    quint64 bytesDown() const { return m_down; }

Q_SIGNALS:
    void finished();

private:
    void pump(QTcpSocket *from, QTcpSocket *to, quint64 *counter, bool drain);
    void sideEnded(QTcpSocket *from, QTcpSocket *to, quint64 *counter);
    void checkFinished();

    QTcpSocket *m_client;
    QTcpSocket *m_upstream;
    quint64 m_up = 0;
    quint64 m_down = 0;
    bool m_finished = false;
};
