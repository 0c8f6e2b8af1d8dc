#pragma once

#include <QIcon>
#include <QMenu>
#include <functional>

class QActionGroup;
class QSystemTrayIcon;
class StateActions;

// What the menu bar item shows: the product name with the bolt image, or the live speeds.
struct MenuBarStatusLabel
{
    bool showsImage = true;
    QString text;

    static MenuBarStatusLabel of(const class AppState &state);
    friend bool operator==(const MenuBarStatusLabel &, const MenuBarStatusLabel &) = default;
};

// The menu bar item's pull-down menu.
class MenuBarMenu final : public QMenu
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MenuBarMenu)

public:
    // `quit` asks the application to terminate (QCoreApplication::quit unless a test gives another).
    explicit MenuBarMenu(StateActions &actions, std::function<void()> quit = {}, QWidget *parent = nullptr);

    // The speeds line at the top, visible only while the speed display is on (a tray icon shows no text).
    QAction *speedAction() const { return m_speed; }
    QAction *dashboardAction() const { return m_dashboard; }
    QAction *speedSwitch() const { return m_speedSwitch; }
    QMenu *outboundMenu() const { return m_outbound; }
    QAction *connectionAction() const { return m_connection; }
    QAction *quitAction() const { return m_quit; }

private:
    void refresh();

    StateActions &m_actions;
    QAction *m_speed;
    QAction *m_dashboard;
    QAction *m_speedSwitch;
    QMenu *m_outbound;
    QActionGroup *m_outboundGroup;
    QAction *m_connection;
    QAction *m_quit;
};

// The item in the system's status area. Where the platform has none, the application runs without it.
// A tray icon carries an image and a tooltip but no text, so the label's text goes into the tooltip and the
// speeds also head the menu.
class MenuBarItem final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MenuBarItem)

public:
    explicit MenuBarItem(StateActions &actions, std::function<void()> quit = {}, QObject *parent = nullptr);
    ~MenuBarItem() override;

    static bool available();
    MenuBarMenu *menu() const { return m_menu.get(); }
    QSystemTrayIcon *trayIcon() const { return m_tray; }
    QString toolTip() const { return m_toolTip; }

private:
    void refresh();

    StateActions &m_actions;
    std::unique_ptr<MenuBarMenu> m_menu;
    QSystemTrayIcon *m_tray = nullptr;
    QString m_toolTip;
};
