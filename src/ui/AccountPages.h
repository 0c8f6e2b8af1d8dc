#pragma once

#include "Panel.h"
#include "base/Types.h"

#include <QWidget>

class BoundDevicesPanel;
class CurrentDevicePanel;
class FeedbackRow;
class MetricCard;
class PageHeader;
class QLabel;
class QVBoxLayout;
class QHBoxLayout;
class SettingsRow;
class SettingsToggleRow;
class StateActions;
class StyledButton;

// One plan: name, price, detail and the purchase button. The featured plan is drawn dark and swaps the
// button styles.
class PlanRow final : public QFrame
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PlanRow)

public:
    PlanRow(const Plan &plan, QWidget *parent = nullptr);

    const Plan &plan() const { return m_plan; }
    StyledButton *button() const { return m_button; }
    QLabel *detail() const { return m_detail; }

Q_SIGNALS:
    void purchaseRequested(const Plan &plan);

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    Plan m_plan;
    QLabel *m_detail;
    StyledButton *m_button;
};

class PlansView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(PlansView)

public:
    explicit PlansView(StateActions &actions, QWidget *parent = nullptr);

    PageHeader *header() const { return m_header; }
    QLabel *accessSummary() const { return m_access; }
    QLabel *deviceLimit() const { return m_limit; }
    QList<PlanRow *> planRows() const { return m_planRows; }
    // The "最近订单" section; null while there are no orders.
    QWidget *ordersSection() const { return m_orders; }

private:
    void refresh();

    StateActions &m_actions;
    PageHeader *m_header;
    QLabel *m_access;
    QLabel *m_limit;
    QHBoxLayout *m_plansLayout;
    QList<PlanRow *> m_planRows;
    QList<Plan> m_shownPlans;
    QVBoxLayout *m_layout;
    QWidget *m_orders = nullptr;
    QList<Order> m_shownOrders;
};

class InviteView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(InviteView)

public:
    explicit InviteView(StateActions &actions, QWidget *parent = nullptr);

    PageHeader *header() const { return m_header; }
    QLabel *code() const { return m_code; }
    StyledButton *copyButton() const { return m_copy; }
    StyledButton *refreshButton() const { return m_refresh; }
    QList<MetricCard *> tiles() const { return m_tiles; }

private:
    void refresh();

    StateActions &m_actions;
    PageHeader *m_header;
    QLabel *m_code;
    StyledButton *m_copy;
    StyledButton *m_refresh;
    QList<MetricCard *> m_tiles;
};

class SettingsView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SettingsView)

public:
    explicit SettingsView(StateActions &actions, QWidget *parent = nullptr);

    PageHeader *header() const { return m_header; }
    CurrentDevicePanel *currentDevicePanel() const { return m_current; }
    BoundDevicesPanel *boundDevicesPanel() const { return m_bound; }
    QList<SettingsRow *> rows() const { return m_rows; }
    SettingsToggleRow *launchAtLoginRow() const { return m_launchAtLogin; }
    SettingsToggleRow *menuBarRow() const { return m_menuBar; }
    FeedbackRow *feedbackRow() const { return m_feedback; }

private:
    void refresh();

    StateActions &m_actions;
    PageHeader *m_header;
    CurrentDevicePanel *m_current;
    BoundDevicesPanel *m_bound;
    QList<SettingsRow *> m_rows;
    SettingsToggleRow *m_launchAtLogin;
    SettingsToggleRow *m_menuBar;
    FeedbackRow *m_feedback;
};
