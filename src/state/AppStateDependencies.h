#pragma once

#include "StateModel.h"
#include "api/TovrenAPIClient.h"
#include "base/Preferences.h"
#include "runtime/NetworkSpeedSampler.h"
#include "tunnel/TunnelCoordinator.h"

#include <functional>
#include <memory>

// What the parts of the state work with. A member left empty gets the production one when the state is made;
// tests fill in what they replace.
struct AppStateDependencies
{
    using HealthProbe = std::function<QCoro::Task<TunnelHealthCheck>(int systemProxyPort, bool aiEntry)>;

    // What the state publishes; a test may seed it before the state starts.
    std::shared_ptr<StateModel> model;
    std::shared_ptr<Preferences> preferences;
    std::shared_ptr<TovrenAPIClient> api;
    // Shared with the start-up clean-up, which may still run when the state goes.
    std::shared_ptr<TunnelCoordinator> tunnel;
    // The heartbeat's probe of a live connection; none: the tunnel's own health check.
    HealthProbe healthProbe;
    // Multiplies every heartbeat wait, read as each heartbeat starts; none: real time.
    std::function<double()> timeScale;
    NetworkSpeedSampler speedSampler;

    // `given` with its empty model, preferences, client and tunnel replaced by the production ones.
    static AppStateDependencies completed(AppStateDependencies given);
};
