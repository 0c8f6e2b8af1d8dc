#pragma once

#include <QMainWindow>

class RootView;
class StateActions;

// The client's one window, titled "Tovren": the root view, 980 × 680 at least, 1180 × 780 at first.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    static constexpr QSize minimumContentSize{980, 680};
    static constexpr QSize defaultContentSize{1180, 780};

    explicit MainWindow(StateActions &actions, QWidget *parent = nullptr);

    RootView *rootView() const { return m_root; }

    // Brings the window to the front, restoring it when it was minimised or closed to the menu bar.
    void bringToFront();

Q_SIGNALS:
    // Emitted once, the first time the window's content is shown.
    void firstShown();

protected:
    void showEvent(QShowEvent *event) override;

private:
    RootView *m_root;
    bool m_shown = false;
};
