#pragma once

#include "Panel.h"

class Pill;
class QFrame;
class QToolButton;
class StateActions;
class StyledButton;

// "增强功能": the AI-enhanced mode status and switch, the Telegram entry, and an explanation pop-over.
class AIEnhancedModeCard final : public Panel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AIEnhancedModeCard)

public:
    static const QString explanation;

    explicit AIEnhancedModeCard(StateActions &actions, QWidget *parent = nullptr);

    QToolButton *infoButton() const { return m_info; }
    Pill *statusPill() const { return m_status; }
    StyledButton *toggleButton() const { return m_toggle; }
    StyledButton *telegramButton() const { return m_telegram; }
    // The explanation pop-over while it is open, else null.
    QFrame *popover() const;

private:
    void refresh();
    void showExplanation();

    StateActions &m_actions;
    QToolButton *m_info;
    Pill *m_status;
    StyledButton *m_toggle;
    StyledButton *m_telegram;
    QFrame *m_popover = nullptr;
};
