#pragma once

#include "Panel.h"

class ConnectButton;
class MetricCard;
class Pill;
class QLabel;
class QTimer;
class SegmentedMode;
class StateActions;
class StyledButton;

// The home page's main panel: status, outbound mode, the connect button, the note, the component button
// while components are missing, and four metric cards.
class ConnectionPanel final : public Panel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ConnectionPanel)

public:
    explicit ConnectionPanel(StateActions &actions, QWidget *parent = nullptr);

    QLabel *statusTitle() const { return m_statusTitle; }
    Pill *planPill() const { return m_planPill; }
    SegmentedMode *modeSwitch() const { return m_mode; }
    ConnectButton *connectButton() const { return m_connect; }
    QLabel *note() const { return m_note; }
    StyledButton *componentButton() const { return m_component; }
    MetricCard *endpointCard() const { return m_endpointCard; }
    MetricCard *latencyCard() const { return m_latencyCard; }
    MetricCard *accessCard() const { return m_accessCard; }
    MetricCard *durationCard() const { return m_durationCard; }
    QTimer *durationTimer() const { return m_durationTimer; }

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    void refresh();
    void refreshDuration();

    StateActions &m_actions;
    QLabel *m_statusTitle;
    Pill *m_planPill;
    SegmentedMode *m_mode;
    ConnectButton *m_connect;
    QLabel *m_note;
    StyledButton *m_component;
    MetricCard *m_endpointCard;
    MetricCard *m_latencyCard;
    MetricCard *m_accessCard;
    MetricCard *m_durationCard;
    QTimer *m_durationTimer;
};
