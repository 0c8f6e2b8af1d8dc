#include "RootView.h"

#include "AccountPages.h"
#include "AuthView.h"
#include "HomeView.h"
#include "Palette.h"
#include "SidebarView.h"
#include "Tasks.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>

namespace {

const QString installTitle = QStringLiteral("一键安装组件");
const QString terminalTitle = QStringLiteral("打开终端安装");

QScrollArea *scrolling(QWidget *page, QWidget *parent)
{
    auto *holder = new QWidget;
    auto *layout = new QVBoxLayout(holder);
    layout->setContentsMargins(22, 22, 22, 22);
    layout->addWidget(page);
    auto *scroll = new QScrollArea(parent);
    scroll->setWidget(holder);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll->setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget > QWidget { background: %1; }")
                              .arg(Palette::css(Palette::tvSoft())));
    return scroll;
}

} // namespace

RootView::RootView(StateActions &actions, QWidget *parent) : QWidget(parent), m_actions(actions)
{
    m_sidebar = new SidebarView(actions, this);
    m_home = new HomeView(actions);
    m_plans = new PlansView(actions);
    m_invite = new InviteView(actions);
    m_settings = new SettingsView(actions);

    m_pages = new QStackedWidget(this);
    for (QWidget *page : std::initializer_list<QWidget *>{m_home, m_plans, m_invite, m_settings}) {
        QScrollArea *scroll = scrolling(page, m_pages);
        m_pages->addWidget(scroll);
        m_scrolls.append(scroll);
    }

    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_sidebar);
    layout->addWidget(m_pages, 1);

    refresh();
    m_actions.state().watch({&AppState::viewChanged}, this, &RootView::refresh);
}

RootView::~RootView() = default;

QWidget *RootView::currentPage() const
{
    const int index = m_pages->currentIndex();
    const QList<QWidget *> pages{m_home, m_plans, m_invite, m_settings};
    return pages.value(index);
}

QScrollArea *RootView::currentScrollArea() const
{
    return m_scrolls.value(m_pages->currentIndex());
}

void RootView::refresh()
{
    m_pages->setCurrentIndex(static_cast<int>(allAppPages().indexOf(m_actions.state().selectedPage())));
    syncSheet();
    syncAlert();
}

void RootView::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (m_startupStarted)
        return;
    m_startupStarted = true;
    startTask(runStartup(), "start-up");
}

QCoro::Task<void> RootView::runStartup()
{
    QPointer<RootView> self(this);
    StateActions &actions = m_actions;
    co_await actions.bootstrap();
    co_await actions.runAutoconnectSmokeTestIfRequested();
    if (self)
        Q_EMIT self->startupFinished();
}

void RootView::syncSheet()
{
    const bool wanted = m_actions.state().showAuthSheet();
    if (wanted == (m_sheet != nullptr))
        return;
    if (!wanted) {
        QDialog *sheet = m_sheet;
        m_sheet = nullptr;
        m_authView = nullptr;
        sheet->disconnect(this);
        sheet->close();
        sheet->deleteLater(); // the view goes with it, and its resend countdown stops
        return;
    }
    // A new sheet every time: reopening starts from empty fields.
    m_sheet = new QDialog(this, Qt::Sheet);
    m_sheet->setWindowTitle(QStringLiteral("登录 Tovren"));
    m_sheet->setWindowModality(Qt::WindowModal);
    m_sheet->setFixedWidth(440);
    m_sheet->setStyleSheet(QStringLiteral("QDialog { background: white; }"));
    m_authView = new AuthView(m_actions, m_sheet);
    auto *layout = new QVBoxLayout(m_sheet);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_authView);
    // Escape or the window's close button dismiss the sheet; the state then says it is gone.
    connect(m_sheet, &QDialog::finished, this, [this] { m_actions.state().setShowAuthSheet(false); });
    m_sheet->open();
}

void RootView::syncAlert()
{
    const AppState &state = m_actions.state();
    const std::optional<QString> &message = state.alertMessage();
    if (m_alert && message && m_alert->text() == *message &&
        m_alert->property("alertAction") == QVariant::fromValue(state.alertAction() ? int(*state.alertAction()) : -1))
        return;
    if (m_alert) {
        QMessageBox *old = m_alert;
        m_alert = nullptr;
        old->disconnect(this);
        old->close();
        old->deleteLater();
    }
    if (!message)
        return;

    auto *box = new QMessageBox(this);
    box->setWindowTitle(QStringLiteral("Tovren"));
    box->setTextFormat(Qt::PlainText); // the message often carries the control plane's own words
    box->setText(*message);
    box->setIcon(QMessageBox::NoIcon);
    box->setWindowModality(Qt::WindowModal);
    box->setProperty("alertAction", state.alertAction() ? int(*state.alertAction()) : -1);
    if (state.alertAction()) {
        const QString title =
            *state.alertAction() == AppAlertAction::installWireGuardTools ? installTitle : terminalTitle;
        box->addButton(title, QMessageBox::AcceptRole);
        box->setEscapeButton(box->addButton(QStringLiteral("稍后"), QMessageBox::RejectRole));
    } else {
        box->setEscapeButton(box->addButton(QStringLiteral("知道了"), QMessageBox::AcceptRole));
    }
    connect(box, &QMessageBox::finished, this, [this, box] { alertFinished(box); });
    m_alert = box;
    box->open();
}

void RootView::alertFinished(QMessageBox *box)
{
    if (box != m_alert)
        return;
    const QString chosen = box->clickedButton() ? box->clickedButton()->text() : QString();
    m_alert = nullptr;
    box->deleteLater();
    // Every way out clears the alert. It is cleared before the chosen operation runs, so an alert that the
    // operation raises itself (a failure to open the installer) is shown instead of being wiped at once.
    m_actions.state().dismissAlert();
    if (chosen == installTitle)
        startTask(m_actions.installWireGuardTools(), "installWireGuardTools");
    else if (chosen == terminalTitle)
        startTask(m_actions.installWireGuardToolsInTerminal(), "installWireGuardToolsInTerminal");
}
