#include "AIEnhancedModeCard.h"

#include "Icons.h"
#include "PageParts.h"
#include "Palette.h"
#include "Pill.h"
#include "StyledButton.h"
#include "Typography.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QToolButton>

const QString AIEnhancedModeCard::explanation =
    QStringLiteral("AI增强模式为 Codex、Claude 等 AI 工具准备稳定代理入口，减少长连接、流式响应和 CLI 工具重连。\n\n"
                   "Telegram强制连接会打开本地 SOCKS 代理入口，适合系统代理未被 Telegram 自动识别时使用。");

AIEnhancedModeCard::AIEnhancedModeCard(StateActions &actions, QWidget *parent) : Panel(parent, 16), m_actions(actions)
{
    auto *title = makeLabel(QStringLiteral("增强功能"), 16, QFont::ExtraBold, Palette::tvInk(), this);
    m_info = new QToolButton(this);
    m_info->setIcon(Icons::icon(Icons::Icon::info, Palette::tvMuted()));
    m_info->setIconSize({18, 18});
    m_info->setAutoRaise(true);
    m_info->setCursor(Qt::PointingHandCursor);
    m_info->setToolTip(QStringLiteral("查看 AI 增强模式说明"));
    m_info->setAccessibleName(QStringLiteral("查看 AI 增强模式说明"));
    connect(m_info, &QToolButton::clicked, this, &AIEnhancedModeCard::showExplanation);
    auto *header = new QHBoxLayout;
    header->addWidget(title, 1);
    header->addWidget(m_info);

    auto *statusTitle = makeLabel(QStringLiteral("AI增强模式"), 13, QFont::ExtraBold, Palette::tvInk(), this);
    m_status = new Pill(QString(), Palette::tvMuted(), Palette::tvSoft(), this);
    auto *status = new QHBoxLayout;
    status->addWidget(statusTitle, 1);
    status->addWidget(m_status);

    m_toggle = new StyledButton(QString(), ButtonStyle::primaryCapsule, this);
    m_toggle->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(m_toggle, &StyledButton::clicked, this, [this] { m_actions.toggleAIEnhancedMode(); });
    m_telegram = new StyledButton(QStringLiteral("Telegram强制连接"), ButtonStyle::secondary, this);
    m_telegram->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(m_telegram, &StyledButton::clicked, this, [this] { m_actions.openTelegramProxy(); });

    auto *layout = makeColumn();
    layout->setSpacing(10);
    layout->addLayout(header);
    layout->addLayout(status);
    layout->addWidget(m_toggle);
    layout->addWidget(m_telegram);

    refresh();
    m_actions.state().watch({&AppState::settingsChanged}, this, &AIEnhancedModeCard::refresh);
}

QFrame *AIEnhancedModeCard::popover() const
{
    return m_popover && m_popover->isVisible() ? m_popover : nullptr;
}

void AIEnhancedModeCard::refresh()
{
    const bool on = m_actions.state().aiEnhancedModeEnabled();
    m_status->setText(on ? QStringLiteral("已开启") : QStringLiteral("未开启"));
    m_status->setColors(on ? Palette::tvGreen() : Palette::tvMuted(), on ? Palette::tvGreenSoft() : Palette::tvSoft());
    m_toggle->setText(on ? QStringLiteral("已开启AI增强功能") : QStringLiteral("AI增强功能"));
}

void AIEnhancedModeCard::showExplanation()
{
    if (!m_popover) {
        // A pop-up closes itself on any click outside it, like a pop-over.
        m_popover = new QFrame(this, Qt::Popup);
        m_popover->setObjectName(QStringLiteral("aiExplanation"));
        m_popover->setStyleSheet(
            QStringLiteral("#aiExplanation { background: white; border: 1px solid %1; border-radius: 8px; }")
                .arg(Palette::css(Palette::tvLine())));
        auto *text = makeLabel(explanation, 13, QFont::Normal, Palette::tvInk(), m_popover);
        text->setWordWrap(true);
        text->setFixedWidth(300);
        auto *layout = new QVBoxLayout(m_popover);
        layout->setContentsMargins(16, 14, 16, 14);
        layout->addWidget(text);
    }
    m_popover->adjustSize();
    const QPoint below = m_info->mapToGlobal(QPoint(m_info->width(), m_info->height() + 4));
    m_popover->move(below.x() - m_popover->width(), below.y());
    m_popover->show();
}
