#pragma once

#include <QAbstractButton>
#include <QWidget>

class Pill;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QVBoxLayout;
class StateActions;
class StyledButton;

// The feedback form. Its fields start with real values: submitted untouched, they are what is sent.
class FeedbackForm final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FeedbackForm)

public:
    static const QString initialTitle;
    static const QString initialBody;

    explicit FeedbackForm(StateActions &actions, QWidget *parent = nullptr);

    QLineEdit *emailField() const { return m_email; }
    QLineEdit *titleField() const { return m_title; }
    QPlainTextEdit *bodyEditor() const { return m_body; }
    StyledButton *submitButton() const { return m_submit; }

private:
    void refresh();

    StateActions &m_actions;
    QLineEdit *m_email;
    QLineEdit *m_title;
    QPlainTextEdit *m_body;
    StyledButton *m_submit;
};

// "最近工单": the first three tickets, or a note that there are none.
class TicketList final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(TicketList)

public:
    static constexpr int shownTickets = 3;

    explicit TicketList(StateActions &actions, QWidget *parent = nullptr);

    // (status, title) of every ticket row shown; empty while the empty note is shown.
    QList<QPair<QString, QString>> shownRows() const;
    bool showsEmptyNote() const;

private:
    void refresh();

    StateActions &m_actions;
    QVBoxLayout *m_rows;
    QLabel *m_empty;
    QList<QWidget *> m_rowWidgets;
    QList<QPair<QString, QString>> m_shown;
};

// "日志反馈": the row that opens and closes the form and the ticket list beneath it.
class FeedbackRow final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(FeedbackRow)

public:
    explicit FeedbackRow(StateActions &actions, QWidget *parent = nullptr);

    QAbstractButton *toggleButton() const { return m_toggle; }
    Pill *capsule() const { return m_capsule; }
    FeedbackForm *form() const { return m_form; }
    TicketList *ticketList() const { return m_tickets; }

private:
    void refresh();

    StateActions &m_actions;
    QAbstractButton *m_toggle;
    Pill *m_capsule;
    QVBoxLayout *m_layout;
    FeedbackForm *m_form = nullptr;
    TicketList *m_tickets = nullptr;
};
