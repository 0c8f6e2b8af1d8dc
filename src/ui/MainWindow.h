#pragma once

#include <QMainWindow>

class RootView;
class StateActions;

// The client's one window, titled "Tovren": the root view, 980 × 680 at least, 1180 × 780 at first. It keeps its
// own light look whatever the system theme.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    static constexpr QSize minimumContentSize{980, 680};
    static constexpr QSize defaultContentSize{1180, 780};
    static const QString keepsRunningMessage;

    explicit MainWindow(StateActions &actions, QWidget *parent = nullptr);

    RootView *rootView() const { return m_root; }

    // Brings the window to the front, restoring it when it was minimised or closed to the menu bar.
    void bringToFront();
    // The application became active (on a Mac also a click on its Dock icon): a window that was closed to the
    // menu bar or minimised comes back.
    void applicationActivated();

Q_SIGNALS:
    // Emitted once, the first time the window's content is shown.
    void firstShown();

protected:
    bool event(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    StateActions &m_actions;
    RootView *m_root;
    bool m_shown = false;
    bool m_toldKeepsRunning = false;
};
