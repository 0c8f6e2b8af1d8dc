#pragma once

#include <QIcon>
#include <QImage>
#include <QMenu>
#include <QSystemTrayIcon>
#include <functional>
#include <optional>

class QActionGroup;
class StateActions;

// What the menu bar item shows: the product name with the bolt image, or the live speeds.
struct MenuBarStatusLabel
{
    bool showsImage = true;
    QString text;

    static MenuBarStatusLabel of(const class AppState &state);
    // The label drawn for the status area, 22 points high, black on clear (the system tints it to the menu bar).
    QImage image(qreal devicePixelRatio = 2.0) const;
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
// A tray icon carries an image but no text, so the label is drawn into the image; it also goes into the tooltip,
// and the speeds head the menu. Activating the icon brings the window to the front.
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
    // The label's picture now, and how often it was drawn: only when the label changes, not on every speed tick.
    QImage image() const { return m_image; }
    int imageDraws() const { return m_imageDraws; }

    void activated(QSystemTrayIcon::ActivationReason reason);

private:
    void refresh();

    StateActions &m_actions;
    std::unique_ptr<MenuBarMenu> m_menu;
    QSystemTrayIcon *m_tray = nullptr;
    QString m_toolTip;
    std::optional<MenuBarStatusLabel> m_shown;
    QImage m_image;
    int m_imageDraws = 0;
};
