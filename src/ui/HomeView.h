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

    // The page takes the height it is given, down to its minimum. (A page whose height depends on its width, as
    // with the connection note's wrapping, is made as tall as it would like to be by the scroll area around it,
    // which would push the connect button and the cards out of a short window.)
    bool hasHeightForWidth() const override { return false; }

private:
    ConnectionPanel *m_connection;
    QWidget *m_rail;
    NodePanel *m_nodes;
    LogPanel *m_logs;
    AIEnhancedModeCard *m_ai;
};
