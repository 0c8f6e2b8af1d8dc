#include "MainWindow.h"

#include "core/AppState.h"

#include <QLabel>
#include <QListWidget>
#include <QVBoxLayout>

MainWindow::MainWindow(AppState &state, QWidget *parent) : QMainWindow(parent), m_state(state)
{
    setWindowTitle(QStringLiteral("Tovren"));
    setMinimumSize(980, 680);
    resize(1180, 780);
    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    m_status = new QLabel(central);
    m_log = new QListWidget(central);
    layout->addWidget(m_status);
    layout->addWidget(m_log);
    setCentralWidget(central);
    refresh();
    connect(&m_state, &AppState::changed, this, &MainWindow::refresh);
}

void MainWindow::refresh()
{
    m_status->setText(m_state.statusTitle() + QStringLiteral(" · ") + m_state.connectionNote());
    m_log->clear();
    for (const LogEntry &entry : m_state.logs())
        m_log->addItem(entry.time + QStringLiteral("  ") + entry.message);
}
