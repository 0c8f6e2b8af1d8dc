#include "SidebarView.h"

#include "Icons.h"
#include "PageParts.h"
#include "Palette.h"
#include "StyledButton.h"
#include "Tasks.h"
#include "TovrenLogoMark.h"
#include "Typography.h"
#include "ViewTexts.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

namespace {

Icons::Icon pageIcon(AppPage page)
{
    switch (page) {
    case AppPage::home: return Icons::Icon::home;
    case AppPage::plans: return Icons::Icon::cart;
    case AppPage::invite: return Icons::Icon::gift;
    case AppPage::settings: return Icons::Icon::person;
    }
    return Icons::Icon::home;
}

QLabel *mutedLabel(const QString &text, int size, QWidget *parent)
{
    return makeLabel(text, size, QFont::ExtraBold, Palette::tvMuted(), parent);
}

} // namespace

SidebarButton::SidebarButton(AppPage page, QWidget *parent) : FocusButton(parent), m_page(page)
{
    setText(ViewTexts::sidebarTitle(page));
    setCursor(Qt::PointingHandCursor);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void SidebarButton::setHighlighted(bool highlighted)
{
    if (highlighted == m_highlighted)
        return;
    m_highlighted = highlighted;
    update();
}

void SidebarButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (isDown())
        painter.setOpacity(0.8);
    if (m_highlighted) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(Palette::tvBlack());
        painter.drawRoundedRect(QRectF(rect()), 8, 8);
    }
    const QColor ink = m_highlighted ? QColor(Qt::white) : Palette::tvInk();
    const QRectF iconBox(10, (height() - 28) / 2.0, 28, 28);
    Icons::paint(painter, pageIcon(m_page), iconBox.adjusted(4, 4, -4, -4), ink);
    painter.setPen(ink);
    painter.setFont(Typography::heavy(14));
    painter.drawText(QRectF(48, 0, width() - 56, height()), Qt::AlignLeft | Qt::AlignVCenter, text());
    paintFocusRing(painter, QRectF(rect()), 8);
}

SidebarView::SidebarView(StateActions &actions, QWidget *parent) : QWidget(parent), m_actions(actions)
{
    setFixedWidth(fixedWidth);

    auto *brand = new QHBoxLayout;
    brand->setSpacing(10);
    brand->addWidget(new TovrenLogoMark(40, this));
    auto *name = makeLabel(QStringLiteral("Tovren"), 22, QFont::Black, Palette::tvBlack(), this);
    brand->addWidget(name, 1);

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 22, 16, 18);
    layout->setSpacing(6);
    layout->addLayout(brand);
    layout->addSpacing(22);
    for (AppPage page : allAppPages()) {
        auto *button = new SidebarButton(page, this);
        connect(button, &SidebarButton::clicked, this, [this, page] { m_actions.state().setSelectedPage(page); });
        layout->addWidget(button);
        m_pages.append(button);
    }
    layout->addStretch();

    auto *box = new QFrame(this);
    box->setObjectName(QStringLiteral("accountBox"));
    box->setStyleSheet(QStringLiteral("#accountBox { background: %1; border: 1px solid %2; border-radius: 8px; }")
                           .arg(Palette::css(Palette::tvSoft2()), Palette::css(Palette::tvLineSoft())));
    auto *boxLayout = new QVBoxLayout(box);
    boxLayout->setContentsMargins(12, 12, 12, 12);
    boxLayout->setSpacing(4);
    boxLayout->addWidget(mutedLabel(QStringLiteral("当前账号"), 11, box));
    // A long address would widen the fixed-width sidebar; it is cut, and shown whole in its tool tip.
    m_identity = new ElidedLabel(box);
    m_identity->setFont(Typography::font(13));
    m_identity->setStyleSheet(QStringLiteral("color: %1;").arg(Palette::css(Palette::tvInk())));
    m_plan = makeLabel(QString(), 12, QFont::Bold, Palette::tvInk(), box);
    m_plan->setWordWrap(true);
    boxLayout->addWidget(m_identity);
    boxLayout->addWidget(m_plan);
    m_account = new StyledButton(QString(), ButtonStyle::secondary, box);
    m_account->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(m_account, &StyledButton::clicked, this, [this] {
        if (signedIn())
            startTask(m_actions.logout(), "logout");
        else
            m_actions.state().setShowAuthSheet(true);
    });
    boxLayout->addSpacing(6);
    boxLayout->addWidget(m_account);
    layout->addWidget(box);

    auto *service = new QHBoxLayout;
    service->setSpacing(8);
    m_dot = new QWidget(this);
    m_dot->setFixedSize(8, 8);
    m_service = mutedLabel(QString(), 12, this);
    service->addWidget(m_dot);
    service->addWidget(m_service, 1);
    layout->addSpacing(8);
    layout->addLayout(service);

    refresh();
    m_actions.state().watch({&AppState::viewChanged, &AppState::accountChanged}, this, &SidebarView::refresh);
}

bool SidebarView::signedIn() const
{
    return m_actions.hasSessionToken() && m_actions.state().currentUser().has_value();
}

void SidebarView::refresh()
{
    const AppState &state = m_actions.state();
    for (SidebarButton *button : std::as_const(m_pages))
        button->setHighlighted(button->page() == state.selectedPage());

    const auto &user = state.currentUser();
    m_identity->setFullText(user ? user->identity : QStringLiteral("未登录"));
    m_plan->setText((user ? user->planName : QStringLiteral("未开通套餐")) + QStringLiteral(" · ") +
                    m_actions.state().deviceUsage());
    m_account->setText(signedIn() ? QStringLiteral("退出登录") : QStringLiteral("登录账号"));

    const bool synced = !state.endpoints().isEmpty();
    m_service->setText(synced ? QStringLiteral("节点服务正常") : QStringLiteral("节点服务待同步"));
    m_dot->setStyleSheet(QStringLiteral("background: %1; border-radius: 4px;")
                             .arg(Palette::css(synced ? Palette::serviceDot() : Palette::tvLine())));
}

void SidebarView::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    painter.setPen(Palette::tvLine());
    painter.drawLine(width() - 1, 0, width() - 1, height());
}
