#include "AccountPages.h"
#include "PageParts.h"
#include "Palette.h"
#include "Pill.h"
#include "StyledButton.h"
#include "Tasks.h"
#include "Typography.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

PlanRow::PlanRow(const Plan &plan, QWidget *parent) : QFrame(parent), m_plan(plan)
{
    const QColor ink = plan.featured ? QColor(Qt::white) : Palette::tvInk();
    QColor detailColor = Palette::tvMuted();
    if (plan.featured) {
        detailColor = Qt::white;
        detailColor.setAlphaF(0.72f);
    }
    auto *name =
        makeLabel(plan.name, 13, QFont::ExtraBold, plan.featured ? QColor(Qt::white) : Palette::tvMuted(), this);
    auto *price = makeLabel(plan.price, 34, QFont::ExtraBold, ink, this);
    m_detail = makeLabel(plan.detail, 13, QFont::Normal, detailColor, this);
    m_detail->setStyleSheet(QStringLiteral("color: %1;").arg(detailColor.name(QColor::HexArgb)));
    m_detail->setWordWrap(true);
    m_button =
        new StyledButton(plan.action, plan.featured ? ButtonStyle::secondary : ButtonStyle::primaryCapsule, this);
    m_button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(m_button, &StyledButton::clicked, this, [this] { Q_EMIT purchaseRequested(m_plan); });

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 20, 20, 20);
    layout->setSpacing(8);
    layout->addWidget(name);
    layout->addWidget(price);
    layout->addWidget(m_detail);
    layout->addStretch();
    layout->addSpacing(8);
    layout->addWidget(m_button);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void PlanRow::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(m_plan.featured ? Palette::tvBlack() : Palette::tvLine(), 1));
    painter.setBrush(m_plan.featured ? Palette::tvBlack() : QColor(Qt::white));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 8, 8);
}

PlansView::PlansView(StateActions &actions, QWidget *parent) : QWidget(parent), m_actions(actions)
{
    m_header = new PageHeader(QStringLiteral("套餐购买"), QStringLiteral("选择套餐"), QString(), this);

    auto *access = new Panel(this, 20);
    m_access = makeLabel(QString(), 22, QFont::ExtraBold, Palette::tvInk(), access);
    m_limit = makeLabel(QString(), 13, QFont::Normal, Palette::tvMuted(), access);
    auto *accessLayout = access->makeColumn();
    accessLayout->setSpacing(6);
    accessLayout->addWidget(m_access);
    accessLayout->addWidget(m_limit);

    m_plansLayout = new QHBoxLayout;
    m_plansLayout->setSpacing(14);

    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(18);
    m_layout->addWidget(m_header);
    m_layout->addWidget(access);
    m_layout->addLayout(m_plansLayout);
    m_layout->addStretch();

    refresh();
    m_actions.state().watch({&AppState::accountChanged}, this, &PlansView::refresh);
}

void PlansView::refresh()
{
    const AppState &state = m_actions.state();
    const auto &user = state.currentUser();
    m_header->pill()->setText(QStringLiteral("当前：") + (user ? user->planName : QStringLiteral("未开通套餐")));
    m_access->setText(m_actions.state().accessSummary());
    m_limit->setText(QStringLiteral("当前账号最多可绑定 ") + QString::number(state.maxDevices()) +
                     QStringLiteral(" 台设备。"));

    if (state.plans() != m_shownPlans) {
        m_shownPlans = state.plans();
        qDeleteAll(m_planRows);
        m_planRows.clear();
        for (const Plan &plan : m_shownPlans) {
            auto *row = new PlanRow(plan, this);
            connect(row, &PlanRow::purchaseRequested, this, [this](const Plan &which) { m_actions.purchase(which); });
            m_plansLayout->addWidget(row);
            m_planRows.append(row);
        }
    }

    if (state.orders() == m_shownOrders && (m_orders != nullptr) == !state.orders().isEmpty())
        return;
    m_shownOrders = state.orders();
    delete m_orders;
    m_orders = nullptr;
    if (m_shownOrders.isEmpty())
        return;
    auto *section = new Panel(this, 20);
    auto *list = section->makeColumn();
    list->setSpacing(10);
    list->addWidget(makeLabel(QStringLiteral("最近订单"), 16, QFont::ExtraBold, Palette::tvInk(), section));
    for (const Order &order : std::as_const(m_shownOrders)) {
        auto *line = new QHBoxLayout;
        line->addWidget(makeLabel(order.title, 14, QFont::ExtraBold, Palette::tvInk(), section), 1);
        line->addWidget(makeLabel(order.amount, 13, QFont::Normal, Palette::tvMuted(), section));
        list->addLayout(line);
    }
    m_layout->insertWidget(m_layout->count() - 1, section);
    m_orders = section;
}
