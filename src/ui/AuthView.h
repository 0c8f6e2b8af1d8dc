#pragma once

#include <QCoro/QCoroTask>
#include <QWidget>
#include <chrono>

class QCheckBox;
class QLabel;
class QLineEdit;
class QTimer;
class QToolButton;
class StateActions;
class StyledButton;

// The sign-in and registration sheet. Its fields live as long as the sheet; the state decides when it closes.
class AuthView final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(AuthView)

public:
    static constexpr int codeCooldownSeconds = 60;

    explicit AuthView(StateActions &actions, QWidget *parent = nullptr);
    ~AuthView() override;

    // The address trimmed of white space and lower-cased, and whether it is an e-mail address.
    static QString normalizedIdentity(const QString &typed);
    static bool isValidEmail(const QString &typed);

    // One step of the resend countdown; a second unless a test makes it shorter.
    void setCooldownTick(std::chrono::milliseconds tick);

    bool isRegistering() const { return m_isRegistering; }
    int codeCooldownRemaining() const { return m_codeCooldownRemaining; }
    bool isSendingCode() const { return m_isSendingCode; }

    QLineEdit *identityField() const { return m_identity; }
    QLineEdit *passwordField() const { return m_password; }
    QLineEdit *verificationCodeField() const { return m_verificationCode; }
    QLineEdit *inviteCodeField() const { return m_inviteCode; }
    QCheckBox *agreement() const { return m_accepted; }
    StyledButton *primaryButton() const { return m_primary; }
    StyledButton *sendCodeButton() const { return m_sendCode; }
    StyledButton *modeButton() const { return m_mode; }
    QToolButton *closeButton() const { return m_close; }
    QTimer *cooldownTimer() const { return m_cooldown; }

private:
    void refresh();
    void submit();
    QCoro::Task<void> sendCode();
    void startCodeCooldown();
    void tickCooldown();

    StateActions &m_actions;
    bool m_isRegistering = false;
    int m_codeCooldownRemaining = 0;
    bool m_isSendingCode = false;

    QToolButton *m_close;
    QLineEdit *m_identity;
    QLineEdit *m_password;
    QWidget *m_registrationFields;
    QLineEdit *m_verificationCode;
    QLineEdit *m_inviteCode;
    QCheckBox *m_accepted;
    StyledButton *m_primary;
    StyledButton *m_sendCode;
    StyledButton *m_mode;
    QTimer *m_cooldown;
};
