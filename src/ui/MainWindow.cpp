#include "MainWindow.h"

#include "Palette.h"
#include "RootView.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QCloseEvent>
#include <QGuiApplication>

const QString MainWindow::keepsRunningMessage = QStringLiteral("窗口已关闭，Tovren 仍在菜单栏中运行。");

MainWindow::MainWindow(StateActions &actions, QWidget *parent) : QMainWindow(parent), m_actions(actions)
{
    Palette::installLightTheme();
    setWindowTitle(QStringLiteral("Tovren"));
    m_root = new RootView(actions, this);
    setCentralWidget(m_root);
    setMinimumSize(minimumContentSize);
    resize(defaultContentSize);
    connect(&actions, &StateActions::dashboardRequested, this, &MainWindow::bringToFront);
#ifdef __APPLE__
    // Qt reports a click on the Dock icon as the application becoming active, even when it already was.
    connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive)
            applicationActivated();
    });
#endif
}

void MainWindow::bringToFront()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

void MainWindow::applicationActivated()
{
    if (!isVisible() || isMinimized())
        bringToFront();
}

bool MainWindow::event(QEvent *event)
{
    // Switching the system to dark mode hands the application dark palettes again; the window stays light.
    if (event->type() == QEvent::ThemeChange)
        Palette::installLightTheme();
    return QMainWindow::event(event);
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    Q_EMIT firstShown();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    QMainWindow::closeEvent(event);
    // With the menu bar item, closing the window does not quit; say so once, so that it is not taken for quitting.
    if (!event->isAccepted() || QGuiApplication::quitOnLastWindowClosed() || m_toldKeepsRunning)
        return;
    m_toldKeepsRunning = true;
    m_actions.state().appendLog(keepsRunningMessage);
}
