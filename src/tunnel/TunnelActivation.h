#pragma once

#include <QStringList>

#include <optional>

// What a successful tunnel start hands back to the application state.
struct TunnelActivation
{
    enum class Mode {
        singBox,
        wgQuick,
        exported, // the configuration was only saved and shown, the WireGuard tools are missing
    };

    Mode mode = Mode::singBox;
    QString configURL;            // absolute path of the configuration file that was used
    std::optional<int> proxyPort; // local proxy port on the sing-box path
    QStringList recoveryNotes;    // user-facing notes collected during the start, in order

    friend bool operator==(const TunnelActivation &, const TunnelActivation &) = default;
};
