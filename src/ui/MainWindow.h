#pragma once

#include <QMainWindow>

class AppState;
class QLabel;
class QListWidget;

// The main window: it reads AppState and re-reads whenever the state changes.
class MainWindow final : public QMainWindow
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MainWindow)

public:
    explicit MainWindow(AppState &state, QWidget *parent = nullptr);

private:
    void refresh();

    AppState &m_state;
    QLabel *m_status = nullptr;
    QListWidget *m_log = nullptr;
};
