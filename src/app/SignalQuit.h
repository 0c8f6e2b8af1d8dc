#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into an ordinary quit request on the event loop, so that a session end
// or a kill from a terminal cleans up like the menu's "退出". The handler only writes to a pipe.
class SignalQuit final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SignalQuit)

public:
    explicit SignalQuit(QObject *parent = nullptr);
    ~SignalQuit() override;

private:
    QSocketNotifier *m_notifier = nullptr;
};
