#include "AppStateDependencies.h"

#include "api/Deployment.h"

AppStateDependencies AppStateDependencies::completed(AppStateDependencies given)
{
    if (!given.model)
        given.model = std::make_shared<StateModel>();
    if (!given.preferences)
        given.preferences = std::make_shared<Preferences>();
    if (!given.api)
        given.api = std::make_shared<TovrenAPIClient>(Deployment::controlPlaneBaseURL());
    // The last holder lets the coordinator go from the event loop, never from inside one of its own callbacks.
    if (!given.tunnel)
        given.tunnel.reset(new TunnelCoordinator, [](TunnelCoordinator *t) { t->deleteLater(); });
    return given;
}
