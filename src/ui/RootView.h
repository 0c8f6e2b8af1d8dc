#pragma once

#include <QCoro/QCoroTask>
#include <QWidget>

class AuthView;
class HomeView;
class InviteView;
class PlansView;
class QDialog;
class QMessageBox;
class QScrollArea;
class QStackedWidget;
class SettingsView;
class SidebarView;
class StateActions;

// The window's content: the sidebar and the page of the selected page, the window-wide alert and the
// sign-in sheet, all driven by the state. The first time it is shown it runs the start-up task.
class RootView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(RootView)

public:
    explicit RootView(StateActions &actions, QWidget *parent = nullptr);
    ~RootView() override;

    SidebarView *sidebar() const { return m_sidebar; }
    HomeView *homeView() const { return m_home; }
    PlansView *plansView() const { return m_plans; }
    InviteView *inviteView() const { return m_invite; }
    SettingsView *settingsView() const { return m_settings; }
    // The page shown now (the scroll area's content).
    QWidget *currentPage() const;
    QScrollArea *currentScrollArea() const;
    // The alert while it is presented, else null.
    QMessageBox *alert() const { return m_alert; }
    // The sign-in sheet's dialog and view while presented, else null.
    QDialog *authSheet() const { return m_sheet; }
    AuthView *authView() const { return m_authView; }
    bool startupTaskStarted() const { return m_startupStarted; }

Q_SIGNALS:
    // The start-up task's bootstrap and self-test step have returned.
    void startupFinished();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void refresh();
    void syncSheet();
    void syncAlert();
    void alertFinished(QMessageBox *box);
    QCoro::Task<void> runStartup();

    StateActions &m_actions;
    SidebarView *m_sidebar;
    QStackedWidget *m_pages;
    QList<QScrollArea *> m_scrolls;
    HomeView *m_home;
    PlansView *m_plans;
    InviteView *m_invite;
    SettingsView *m_settings;
    QMessageBox *m_alert = nullptr;
    QDialog *m_sheet = nullptr;
    AuthView *m_authView = nullptr;
    bool m_startupStarted = false;
};
