#pragma once

#include <QWidget>

class AIEnhancedModeCard;
class ConnectionPanel;
class LogPanel;
class NodePanel;
class StateActions;

// The home page: the connection panel beside the right rail (node panel, log panel, AI card).
class HomeView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(HomeView)

public:
    static constexpr int railWidth = 312;
    static constexpr int spacing = 14;

    explicit HomeView(StateActions &actions, QWidget *parent = nullptr);

    ConnectionPanel *connectionPanel() const { return m_connection; }
    NodePanel *nodePanel() const { return m_nodes; }
    LogPanel *logPanel() const { return m_logs; }
    AIEnhancedModeCard *aiCard() const { return m_ai; }
    QWidget *rightRail() const { return m_rail; }

private:
    ConnectionPanel *m_connection;
    QWidget *m_rail;
    NodePanel *m_nodes;
    LogPanel *m_logs;
    AIEnhancedModeCard *m_ai;
};
