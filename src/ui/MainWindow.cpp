#include "MainWindow.h"

#include "RootView.h"
#include "StateActions.h"

MainWindow::MainWindow(StateActions &actions, QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Tovren"));
    m_root = new RootView(actions, this);
    setCentralWidget(m_root);
    setMinimumSize(minimumContentSize);
    resize(defaultContentSize);
    connect(&actions, &StateActions::dashboardRequested, this, &MainWindow::bringToFront);
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

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    if (m_shown)
        return;
    m_shown = true;
    Q_EMIT firstShown();
}
