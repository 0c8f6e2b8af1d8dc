#include "AuthView.h"

#include "Icons.h"
#include "PageParts.h"
#include "Palette.h"
#include "StyledButton.h"
#include "Tasks.h"
#include "Typography.h"
#include "state/AppState.h"
#include "state/StateActions.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QRegularExpression>
#include <QTimer>
#include <QToolButton>

namespace {

QLineEdit *makeField(const QString &placeholder, QWidget *parent)
{
    auto *field = new QLineEdit(parent);
    field->setPlaceholderText(placeholder);
    field->setFont(Typography::font(14));
    field->setMinimumHeight(38);
    field->setStyleSheet(
        QStringLiteral("QLineEdit { border: 1px solid %1; border-radius: 8px; padding: 0 10px; "
                       "background: white; color: %2; } QLineEdit:focus { border-color: %3; }")
            .arg(Palette::css(Palette::tvLine()), Palette::css(Palette::tvInk()), Palette::css(Palette::tvBlue())));
    return field;
}

} // namespace

AuthView::AuthView(StateActions &actions, QWidget *parent) : QWidget(parent), m_actions(actions)
{
    auto *title = makeLabel(QStringLiteral("登录 Tovren"), 24, QFont::ExtraBold, Palette::tvInk(), this);
    auto *subtitle = makeLabel(QStringLiteral("登录后同步套餐、节点、设备和反馈工单。"), 13, QFont::Normal,
                               Palette::tvMuted(), this);
    subtitle->setWordWrap(true);
    m_close = new QToolButton(this);
    m_close->setIcon(Icons::icon(Icons::Icon::close, Palette::tvMuted()));
    m_close->setIconSize({16, 16});
    m_close->setAutoRaise(true);
    m_close->setToolTip(QStringLiteral("关闭"));
    connect(m_close, &QToolButton::clicked, this, [this] { m_actions.state().setShowAuthSheet(false); });
    auto *titles = new QVBoxLayout;
    titles->setSpacing(4);
    titles->addWidget(title);
    titles->addWidget(subtitle);
    auto *header = new QHBoxLayout;
    header->addLayout(titles, 1);
    header->addWidget(m_close, 0, Qt::AlignTop);

    m_identity = makeField(QStringLiteral("邮箱"), this);
    m_identity->setAccessibleName(QStringLiteral("邮箱"));
    m_password = makeField(QStringLiteral("密码"), this);
    m_password->setAccessibleName(QStringLiteral("密码"));
    m_password->setEchoMode(QLineEdit::Password);

    m_registrationFields = new QWidget(this);
    m_verificationCode = makeField(QStringLiteral("验证码"), m_registrationFields);
    m_verificationCode->setAccessibleName(QStringLiteral("验证码"));
    m_sendCode = new StyledButton(QString(), ButtonStyle::secondary, m_registrationFields);
    m_sendCode->setMinimumWidth(104);
    connect(m_sendCode, &StyledButton::clicked, this, [this] { startTask(sendCode(), "sendVerificationCode"); });
    m_inviteCode = makeField(QStringLiteral("邀请码（可选）"), m_registrationFields);
    m_inviteCode->setAccessibleName(QStringLiteral("邀请码（可选）"));
    auto *codeRow = new QHBoxLayout;
    codeRow->setSpacing(8);
    codeRow->addWidget(m_verificationCode, 1);
    codeRow->addWidget(m_sendCode);
    auto *registration = new QVBoxLayout(m_registrationFields);
    registration->setContentsMargins(0, 0, 0, 0);
    registration->setSpacing(10);
    registration->addLayout(codeRow);
    registration->addWidget(m_inviteCode);

    m_accepted = new QCheckBox(QStringLiteral("我已阅读并同意用户协议、服务协议和隐私政策"), this);
    m_accepted->setFont(Typography::font(12));
    m_accepted->setStyleSheet(QStringLiteral("color: %1;").arg(Palette::css(Palette::tvInk())));

    m_primary = new StyledButton(QString(), ButtonStyle::primaryCapsule, this);
    m_primary->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    m_primary->setMinimumHeight(42);
    m_primary->setDefault(true);
    connect(m_primary, &StyledButton::clicked, this, &AuthView::submit);

    m_mode = new StyledButton(QString(), ButtonStyle::plain, this);
    connect(m_mode, &StyledButton::clicked, this, [this] {
        m_isRegistering = !m_isRegistering;
        refresh();
    });

    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(28, 24, 28, 24);
    layout->setSpacing(12);
    layout->addLayout(header);
    layout->addSpacing(6);
    layout->addWidget(m_identity);
    layout->addWidget(m_password);
    layout->addWidget(m_registrationFields);
    layout->addWidget(m_accepted);
    layout->addWidget(m_primary);
    layout->addWidget(m_mode, 0, Qt::AlignHCenter);

    m_cooldown = new QTimer(this);
    m_cooldown->setInterval(1000);
    connect(m_cooldown, &QTimer::timeout, this, &AuthView::tickCooldown);

    for (QLineEdit *field : {m_identity, m_password, m_verificationCode, m_inviteCode})
        connect(field, &QLineEdit::textChanged, this, &AuthView::refresh);
    connect(m_accepted, &QCheckBox::toggled, this, &AuthView::refresh);
    refresh();
    m_actions.state().watch({&AppState::viewChanged}, this, &AuthView::refresh);
}

AuthView::~AuthView() = default;

QString AuthView::normalizedIdentity(const QString &typed)
{
    return typed.trimmed().toLower();
}

bool AuthView::isValidEmail(const QString &typed)
{
    // Unicode white space counts as white space, as it does for the state's own check.
    static const QRegularExpression pattern(QStringLiteral("^[^\\s@]+@[^\\s@]+\\.[^\\s@]+$"),
                                            QRegularExpression::UseUnicodePropertiesOption);
    return pattern.match(normalizedIdentity(typed)).hasMatch();
}

void AuthView::setCooldownTick(std::chrono::milliseconds tick)
{
    m_cooldown->setInterval(tick);
}

void AuthView::refresh()
{
    const bool busy = m_actions.state().isBusy();
    const bool validEmail = isValidEmail(m_identity->text());

    m_registrationFields->setVisible(m_isRegistering);
    m_primary->setText(m_isRegistering ? QStringLiteral("注册并登录") : QStringLiteral("登录"));
    m_primary->setEnabled(m_accepted->isChecked() && validEmail && !m_password->text().isEmpty() && !busy);
    m_mode->setText(m_isRegistering ? QStringLiteral("已有账号，去登录") : QStringLiteral("没有账号，注册一个"));

    if (m_isSendingCode)
        m_sendCode->setText(QStringLiteral("发送中..."));
    else if (m_codeCooldownRemaining < 1)
        m_sendCode->setText(QStringLiteral("发送验证码"));
    else
        m_sendCode->setText(QString::number(m_codeCooldownRemaining) + QStringLiteral("秒后重发"));
    m_sendCode->setEnabled(validEmail && !busy && !m_isSendingCode && m_codeCooldownRemaining < 1);
}

void AuthView::submit()
{
    if (!m_primary->isEnabled())
        return; // the return key reaches here too
    const QString identity = normalizedIdentity(m_identity->text());
    if (m_isRegistering)
        startTask(
            m_actions.registerAccount(identity, m_password->text(), m_verificationCode->text(), m_inviteCode->text()),
            "register");
    else
        startTask(m_actions.login(identity, m_password->text()), "login");
}

QCoro::Task<void> AuthView::sendCode()
{
    QPointer<AuthView> self(this);
    m_isSendingCode = true;
    refresh();
    bool sent = false;
    try {
        sent = co_await m_actions.sendVerificationCode(normalizedIdentity(m_identity->text()));
    } catch (...) {
        sent = false; // the state reports its own failures; here it only means "no cooldown"
    }
    if (!self)
        co_return; // the sheet closed while the code was on its way
    m_isSendingCode = false;
    if (sent)
        startCodeCooldown();
    refresh();
}

void AuthView::startCodeCooldown()
{
    m_cooldown->stop();
    m_codeCooldownRemaining = codeCooldownSeconds;
    m_cooldown->start();
    refresh();
}

void AuthView::tickCooldown()
{
    if (m_codeCooldownRemaining > 0)
        --m_codeCooldownRemaining;
    if (m_codeCooldownRemaining <= 0)
        m_cooldown->stop();
    refresh();
}
