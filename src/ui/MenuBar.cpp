#include "MenuBar.h"

#include "Icons.h"
#include "Tasks.h"
#include "Typography.h"
#include "ViewTexts.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QActionGroup>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QPainter>
#include <QtMath>

MenuBarStatusLabel MenuBarStatusLabel::of(const AppState &state)
{
    if (!state.showMenuBarSpeed())
        return {true, QStringLiteral("Tovren")};
    return {false, state.menuBarTitle()};
}

QImage MenuBarStatusLabel::image(qreal devicePixelRatio) const
{
    constexpr qreal height = 22;
    constexpr qreal bolt = 16;
    constexpr qreal gap = 4;
    QFont font = Typography::font(13, QFont::DemiBold);
    if (!showsImage) {
        // Digits of equal width keep the item from jittering as the speeds change.
        font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
        font.setPixelSize(13);
    }
    const qreal lead = showsImage ? bolt + gap : 0;
    const qreal width = qCeil(lead + QFontMetricsF(font).horizontalAdvance(text)) + 2;
    QImage picture(qCeil(width * devicePixelRatio), qCeil(height * devicePixelRatio),
                   QImage::Format_ARGB32_Premultiplied);
    picture.setDevicePixelRatio(devicePixelRatio);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    if (showsImage)
        Icons::paint(painter, Icons::Icon::bolt, QRectF(1, (height - bolt) / 2, bolt, bolt), Qt::black);
    painter.setPen(Qt::black);
    painter.setFont(font);
    painter.drawText(QRectF(lead + 1, 0, width - lead - 1, height), Qt::AlignLeft | Qt::AlignVCenter, text);
    return picture;
}

MenuBarMenu::MenuBarMenu(StateActions &actions, std::function<void()> quit, QWidget *parent)
    : QMenu(parent), m_actions(actions)
{
    if (!quit)
        quit = [] { QCoreApplication::quit(); };

    m_speed = addAction(QString());
    m_speed->setEnabled(false);
    // Digits of equal width keep the line from jittering as the speeds change.
    m_speed->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));

    m_dashboard = addAction(QStringLiteral("显示仪表盘"));
    connect(m_dashboard, &QAction::triggered, this, [this] { m_actions.showDashboard(); });

    m_speedSwitch = addAction(QStringLiteral("实时显示网速"));
    m_speedSwitch->setCheckable(true);
    connect(m_speedSwitch, &QAction::triggered, this, [this](bool on) { m_actions.state().setShowMenuBarSpeed(on); });

    m_outbound = addMenu(QStringLiteral("出站模式"));
    m_outboundGroup = new QActionGroup(this);
    m_outboundGroup->setExclusive(true);
    for (OutboundMode mode : allOutboundModes()) {
        QAction *choice = m_outbound->addAction(::title(mode));
        choice->setCheckable(true);
        choice->setData(rawValue(mode));
        m_outboundGroup->addAction(choice);
        connect(choice, &QAction::triggered, this, [this, mode] {
            m_actions.setOutboundMode(mode);
            refresh(); // the check follows the state, not the click
        });
    }

    addSeparator();
    m_connection = addAction(QString());
    connect(m_connection, &QAction::triggered, this,
            [this] { startTask(m_actions.toggleConnection(), "toggleConnection"); });
    m_quit = addAction(QStringLiteral("退出"));
    connect(m_quit, &QAction::triggered, this, std::move(quit));

    refresh();
    m_actions.state().watch(
        {&AppState::speedsChanged, &AppState::settingsChanged, &AppState::connectionChanged, &AppState::viewChanged},
        this, &MenuBarMenu::refresh);
}

void MenuBarMenu::refresh()
{
    const AppState &state = m_actions.state();
    m_speed->setVisible(state.showMenuBarSpeed());
    m_speed->setText(state.menuBarTitle());
    m_speedSwitch->setChecked(state.showMenuBarSpeed());
    const QList<QAction *> choices = m_outboundGroup->actions();
    for (QAction *choice : choices)
        choice->setChecked(choice->data().toString() == rawValue(state.outboundMode()));
    m_connection->setText(ViewTexts::connectButtonTitle(state.connectionState()));
    // Like the window's button: one connect or disconnect at a time.
    m_connection->setEnabled(!state.isBusy());
}

MenuBarItem::MenuBarItem(StateActions &actions, std::function<void()> quit, QObject *parent)
    : QObject(parent), m_actions(actions), m_menu(std::make_unique<MenuBarMenu>(actions, std::move(quit)))
{
    if (available()) {
        m_tray = new QSystemTrayIcon(this);
        m_tray->setContextMenu(m_menu.get());
        connect(m_tray, &QSystemTrayIcon::activated, this, &MenuBarItem::activated);
    }
    refresh();
    if (m_tray)
        m_tray->show();
    m_actions.state().watch({&AppState::speedsChanged, &AppState::settingsChanged}, this, &MenuBarItem::refresh);
}

MenuBarItem::~MenuBarItem() = default;

bool MenuBarItem::available()
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void MenuBarItem::activated(QSystemTrayIcon::ActivationReason reason)
{
    // A click or double click; the context-menu click only opens the menu.
    if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
        m_actions.showWindow();
}

void MenuBarItem::refresh()
{
    // Every change of the state lands here, the speeds once a second; most leave the label as it is.
    const MenuBarStatusLabel label = MenuBarStatusLabel::of(m_actions.state());
    if (m_shown == label)
        return;
    m_shown = label;
    m_toolTip = label.text;
    m_image = label.image();
    ++m_imageDraws;
    if (!m_tray)
        return;
    QIcon icon(QPixmap::fromImage(m_image));
    icon.setIsMask(true); // macOS tints a mask image for light and dark menu bars
    m_tray->setIcon(icon);
    m_tray->setToolTip(m_toolTip);
}
