#pragma once

#include "base/Errors.h"

// Why the sing-box core could not be started or its leftovers not removed.
class SingBoxRuntimeError final : public TovrenError
{
public:
    enum class Case {
        invalidConfig,
        exitedEarly,
        privilegedLaunchFailed,
        portInUse,
        missingBinary,
        staleRuntimeNeedsCleanup
    };

    static SingBoxRuntimeError invalidConfig(const QString &message);
    static SingBoxRuntimeError exitedEarly(const QString &message);
    static SingBoxRuntimeError privilegedLaunchFailed(const QString &message);
    static SingBoxRuntimeError portInUse(int port, const QString &owner);
    static SingBoxRuntimeError missingBinary();
    static SingBoxRuntimeError staleRuntimeNeedsCleanup();

    Case kind() const { return m_case; }
    const QString &message() const { return m_message; } // the payload text (the owner for portInUse)
    int port() const { return m_port; }                  // portInUse only

private:
    SingBoxRuntimeError(Case kind, const QString &description, QString message = {}, int port = 0);

    Case m_case;
    QString m_message;
    int m_port;
};
