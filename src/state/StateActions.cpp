#include "StateActions.h"

#include "AppState.h"
#include "Workspace.h"

void StateActions::showDashboard()
{
    state().setSelectedPage(AppPage::home);
    Workspace::showMainWindow();
    Q_EMIT dashboardRequested();
}
