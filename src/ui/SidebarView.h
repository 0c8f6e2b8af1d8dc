#pragma once

#include "base/Types.h"

#include "FocusButton.h"
#include "PageParts.h"

#include <QWidget>

class QLabel;
class StateActions;
class StyledButton;

// A page button of the sidebar: a 28-point icon and the page title; dark while its page is shown.
class SidebarButton final : public FocusButton
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SidebarButton)

public:
    SidebarButton(AppPage page, QWidget *parent = nullptr);

    AppPage page() const { return m_page; }
    void setHighlighted(bool highlighted);
    bool isHighlighted() const { return m_highlighted; }

    QSize sizeHint() const override { return {200, 46}; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    AppPage m_page;
    bool m_highlighted = false;
};

// The sidebar: product mark, page buttons, the account box with its button, and the service indicator.
class SidebarView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SidebarView)

public:
    static constexpr int fixedWidth = 232;

    explicit SidebarView(StateActions &actions, QWidget *parent = nullptr);

    QList<SidebarButton *> pageButtons() const { return m_pages; }
    ElidedLabel *accountIdentity() const { return m_identity; }
    QLabel *accountPlan() const { return m_plan; }
    StyledButton *accountButton() const { return m_account; }
    QLabel *serviceText() const { return m_service; }
    QWidget *serviceDot() const { return m_dot; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void refresh();
    bool signedIn() const;

    StateActions &m_actions;
    QList<SidebarButton *> m_pages;
    ElidedLabel *m_identity;
    QLabel *m_plan;
    StyledButton *m_account;
    QWidget *m_dot;
    QLabel *m_service;
};
