#pragma once

#include "FocusButton.h"

#include <QLabel>
#include <QWidget>
#include <functional>

class Pill;
class QLabel;
class StyledButton;

// The opening of every account page: a small heavy muted eyebrow over a 36-point heavy title, and a pill.
class PageHeader final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PageHeader)

public:
    PageHeader(const QString &eyebrow, const QString &title, const QString &pill, QWidget *parent = nullptr);

    QString eyebrow() const;
    QString title() const;
    Pill *pill() const { return m_pill; }

private:
    QLabel *m_eyebrow;
    QLabel *m_title;
    Pill *m_pill;
};

// An on/off switch.
class ToggleSwitch final : public FocusButton
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ToggleSwitch)

public:
    explicit ToggleSwitch(QWidget *parent = nullptr);
    QSize sizeHint() const override { return {44, 26}; }

protected:
    void paintEvent(QPaintEvent *event) override;
};

// A settings line: title and value on the leading side; a secondary button when an action is given.
class SettingsRow final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SettingsRow)

public:
    SettingsRow(const QString &title, const QString &value, const QString &actionTitle = QString(),
                std::function<void()> action = {}, QWidget *parent = nullptr);

    QString title() const;
    QString value() const;
    void setValue(const QString &value);
    StyledButton *button() const { return m_button; }

private:
    QLabel *m_title;
    QLabel *m_value;
    StyledButton *m_button = nullptr;
};

// A settings line with a switch; `changed` runs with the new value when the user flips it.
class SettingsToggleRow final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SettingsToggleRow)

public:
    SettingsToggleRow(const QString &title, const QString &value, std::function<void(bool)> changed,
                      QWidget *parent = nullptr);

    QString title() const;
    ToggleSwitch *toggle() const { return m_switch; }
    // Shows the state's value without calling `changed`.
    void setOn(bool on);

private:
    QLabel *m_title;
    ToggleSwitch *m_switch;
};

// A numbered rule line of the invitation page.
QWidget *makeRuleRow(const QString &number, const QString &text, QWidget *parent);

// A panel heading: `title` in 16-point heavy ink over `caption` in 12-point muted type.
class QVBoxLayout;
QVBoxLayout *makePanelHeading(const QString &title, const QString &caption, QWidget *parent);

// A label in the window's type. It shows plain text: much of what the window shows comes from the control plane
// or from tools, and markup in it must read as typed.
QLabel *makeLabel(const QString &text, int size, QFont::Weight weight, const QColor &color, QWidget *parent);

// One line of plain text cut to the label's width with "…"; the whole text is then its tool tip.
class ElidedLabel final : public QLabel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ElidedLabel)

public:
    explicit ElidedLabel(QWidget *parent = nullptr);

    void setFullText(const QString &text);
    QString fullText() const { return m_fullText; }
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void elide();

    QString m_fullText;
};
