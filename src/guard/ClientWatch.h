#pragma once

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QObject>
#include <QSocketNotifier>

#include <optional>

// The guard's side of the pipe from the client (see runtime/CrashGuard.h). The clean-exit word ends the watch with
// nothing done. The end of the pipe without it means that the client died without its clean-up: the core it named is
// ended (when it still is one of the client's cores) and the user's proxy settings are put back, as user-level
// commands only, from the snapshot the client saved.
class ClientWatch final : public QObject
{
    Q_OBJECT

public:
    explicit ClientWatch(int descriptor, QObject *parent = nullptr);
    Q_DISABLE_COPY_MOVE(ClientWatch)

Q_SIGNALS:
    void finished();

private:
    void readAvailable();
    QCoro::Task<> restoreAfterCrash();
    QCoro::Task<> endCore(qint64 pid);

    const int m_descriptor;
    QSocketNotifier m_notifier;
    QByteArray m_buffer;
    std::optional<qint64> m_corePid;
};
