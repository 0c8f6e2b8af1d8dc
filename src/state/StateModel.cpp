#include "StateModel.h"

#include "base/Errors.h"

#include <QTime>
#include <QUuid>

void StateModel::setConnectionState(const ConnectionState &value)
{
    if (publish(m_connectionState, value))
        Q_EMIT connectionChanged();
    if (!value.is(ConnectionState::connected))
        setConnectedAt(std::nullopt);
}

void StateModel::appendLog(const QString &message)
{
    const LogEntry entry{QUuid::createUuid(), QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), message};
    m_logs.prepend(entry);
    if (m_logs.size() > maxLogEntries)
        m_logs.resize(maxLogEntries);
    Q_EMIT logChanged();
    Q_EMIT logAppended(entry);
}

void StateModel::present(const std::exception &error, const QString &fallback)
{
    QString message = describeError(error);
    if (message.isEmpty())
        message = fallback;
    alert(message);
    appendLog(fallback + QStringLiteral("：") + message);
}

void StateModel::alert(const QString &message)
{
    setAlertAction(std::nullopt);
    setAlertMessage(message);
}
