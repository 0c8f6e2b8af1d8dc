#pragma once

#include "Panel.h"
#include "base/Types.h"

class QLabel;
class QScrollArea;
class QVBoxLayout;
class StateActions;
class StyledButton;

// "连接日志": the visible activity-log entries, newest first, in a scrolling list of bounded height.
class LogPanel final : public Panel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(LogPanel)

public:
    // The list's height: this much where there is room, down to the least in a short window.
    static constexpr int listHeight = 150;
    static constexpr int leastListHeight = 64;

    explicit LogPanel(StateActions &actions, QWidget *parent = nullptr);

    StyledButton *toggleButton() const { return m_toggle; }
    // The messages of the rows shown, top to bottom.
    QStringList shownMessages() const;

private:
    void refresh();

    StateActions &m_actions;
    StyledButton *m_toggle;
    QScrollArea *m_scroll;
    QVBoxLayout *m_rows;
    QList<LogEntry> m_shown;
};
