#pragma once

#include "base/Errors.h"

// The client's own account and connection rules, broken. Shared by the connection pipeline, the account flows
// and the protocol-configuration records.
class TovrenRuntimeError final : public TovrenError
{
public:
    enum class Kind { deviceLimit, connectionFailed, invalidEmail, missingProtocolConfig, noDeviceSlots };

    static TovrenRuntimeError deviceLimit(qint64 active, qint64 max);
    static TovrenRuntimeError connectionFailed(const QString &message);
    static TovrenRuntimeError invalidEmail();
    static TovrenRuntimeError missingProtocolConfig();
    static TovrenRuntimeError noDeviceSlots();

    Kind kind() const { return m_kind; }

private:
    TovrenRuntimeError(Kind kind, QString description) : TovrenError(std::move(description)), m_kind(kind) {}
    Kind m_kind;
};
