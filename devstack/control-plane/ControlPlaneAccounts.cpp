// Catalogue, sign-up, sign-in, the account and its orders and tickets.
#include "ControlPlane.h"

#include <QRandomGenerator>

namespace {

QString normalizedIdentity(const QString &identity)
{
    return identity.trimmed().toLower();
}

QString requireEmail(const QString &identity)
{
    const QString email = normalizedIdentity(identity);
    if (!isValidEmail(email))
        throw HttpError(400, QStringLiteral("请填写有效的邮箱地址。"), QStringLiteral("INVALID_EMAIL"));
    return email;
}

QJsonObject authAnswer(const QString &token, const AccountRecord &account)
{
    return QJsonObject{{QStringLiteral("token"), token}, {QStringLiteral("user"), account.user}};
}

} // namespace

Reply ControlPlane::nodes(const Call &)
{
    QJsonArray nodes;
    for (const EndpointRecord &e : m_data.endpoints) {
        nodes.append(QJsonObject{{QStringLiteral("id"), e.id},
                                 {QStringLiteral("region"), e.region},
                                 {QStringLiteral("name"), e.name},
                                 {QStringLiteral("host"), e.host},
                                 {QStringLiteral("status"), e.status},
                                 {QStringLiteral("latency_ms"), e.latencyMs},
                                 {QStringLiteral("load_percent"), e.loadPercent},
                                 {QStringLiteral("is_active"), e.active ? 1 : 0}});
    }
    return Reply::json({{QStringLiteral("nodes"), nodes}});
}

Reply ControlPlane::plans(const Call &)
{
    QJsonArray plans;
    for (const PlanRecord &plan : m_data.plans)
        plans.append(plan.json);
    return Reply::json({{QStringLiteral("plans"), plans}});
}

Reply ControlPlane::versions(const Call &)
{
    return Reply::json({{QStringLiteral("versions"), m_data.versions}});
}

Reply ControlPlane::sendVerificationCode(const Call &call)
{
    const JsonBody body(call.request);
    const QString identity = requireEmail(body.requiredString(QStringLiteral("identity")));
    if (m_data.accountByIdentity(identity))
        throw HttpError(409, QStringLiteral("该邮箱已注册，请直接登录。"), QStringLiteral("IDENTITY_TAKEN"));

    const int minutes = m_data.settings.verificationCodeMinutes;
    const QString code =
        QStringLiteral("%1").arg(QRandomGenerator::system()->bounded(1000000), 6, 10, QLatin1Char('0'));
    m_codes.insert(identity, Code{code, nowMs() + qint64(minutes) * 60000});
    m_codeLog.append(QJsonObject{{QStringLiteral("identity"), identity},
                                 {QStringLiteral("code"), code},
                                 {QStringLiteral("sentAt"), isoTime(nowMs())}});

    QJsonObject answer{
        {QStringLiteral("ok"), true},
        {QStringLiteral("channel"), QStringLiteral("email")},
        {QStringLiteral("expiresInMinutes"), minutes},
        {QStringLiteral("message"), QStringLiteral("验证码已发送至 %1，%2 分钟内有效。").arg(identity).arg(minutes)}};
    if (m_data.settings.revealDebugCode)
        answer.insert(QStringLiteral("debugCode"), code);
    return Reply::json(answer);
}

Reply ControlPlane::registerAccount(const Call &call)
{
    const JsonBody body(call.request);
    const QString identity = requireEmail(body.requiredString(QStringLiteral("identity")));
    const QString password = body.requiredString(QStringLiteral("password"));
    const QString code = body.requiredString(QStringLiteral("verificationCode"));
    const std::optional<QString> invite = body.optionalString(QStringLiteral("inviteCode"));

    if (password.size() < 6)
        throw HttpError(400, QStringLiteral("密码至少需要 6 位。"), QStringLiteral("WEAK_PASSWORD"));
    if (m_data.accountByIdentity(identity))
        throw HttpError(409, QStringLiteral("该邮箱已注册，请直接登录。"), QStringLiteral("IDENTITY_TAKEN"));
    const auto issued = m_codes.constFind(identity);
    if (issued == m_codes.constEnd() || issued->code != code.trimmed() || issued->expiresAtMs < nowMs())
        throw HttpError(400, QStringLiteral("验证码错误或已过期。"), QStringLiteral("INVALID_CODE"));
    AccountRecord *inviter = nullptr;
    if (invite) {
        for (AccountRecord &a : m_data.accounts) {
            if (!invite->isEmpty() && a.user.value(QStringLiteral("referralCode")).toString() == *invite)
                inviter = &a;
        }
        if (!inviter)
            throw HttpError(400, QStringLiteral("邀请码无效。"), QStringLiteral("INVALID_INVITE"));
    }

    const Settings &s = m_data.settings;
    AccountRecord account;
    account.id = QStringLiteral("usr_") + randomHex(6);
    account.identity = identity;
    account.password = password;
    account.user = QJsonObject{
        {QStringLiteral("id"), account.id},
        {QStringLiteral("identity"), identity},
        {QStringLiteral("email"), identity},
        {QStringLiteral("role"), QStringLiteral("user")},
        {QStringLiteral("status"), QStringLiteral("active")},
        {QStringLiteral("referralCode"), QStringLiteral("TV") + randomHex(3).toUpper()},
        {QStringLiteral("planName"), s.signupPlanName},
        {QStringLiteral("subscriptionExpiredAt"), isoTime(nowMs() + qint64(s.signupTrialDays) * 86400000)},
        {QStringLiteral("remainingTrafficMb"), s.signupTrafficMb},
        {QStringLiteral("maxDevices"), s.signupMaxDevices},
        {QStringLiteral("invitesTotal"), 0},
        {QStringLiteral("invitesPaid"), 0},
        {QStringLiteral("rewardDays"), 0},
    };
    if (inviter) {
        const QString key = QStringLiteral("invitesTotal");
        inviter->user.insert(key, inviter->user.value(key).toInt() + 1);
    }
    m_codes.remove(identity);
    m_data.accounts.append(account);
    return Reply::json(authAnswer(startSession(account), account), 201);
}

Reply ControlPlane::login(const Call &call)
{
    const JsonBody body(call.request);
    const QString identity = normalizedIdentity(body.requiredString(QStringLiteral("identity")));
    const QString password = body.requiredString(QStringLiteral("password"));
    const AccountRecord *account = m_data.accountByIdentity(identity);
    if (!account || account->password != password)
        throw HttpError(401, QStringLiteral("邮箱或密码错误。"), QStringLiteral("INVALID_CREDENTIALS"));
    if (account->isDisabled())
        throw HttpError(403, QStringLiteral("账号已停用，请联系客服。"), QStringLiteral("ACCOUNT_DISABLED"));
    return Reply::json(authAnswer(startSession(*account), *account));
}

Reply ControlPlane::logout(const Call &call)
{
    m_sessions.remove(call.token);
    return Reply::ok();
}

Reply ControlPlane::me(const Call &call)
{
    return Reply::json({{QStringLiteral("user"), call.account->user}});
}

Reply ControlPlane::clientBootstrap(const Call &call)
{
    // The client sends every query value under both spellings; either one is enough.
    const auto queryValue = [&](const QString &camel, const QString &snake) {
        const QString value = call.request.query.queryItemValue(camel, QUrl::FullyDecoded);
        return value.isEmpty() ? call.request.query.queryItemValue(snake, QUrl::FullyDecoded) : value;
    };
    const QString platform = queryValue(QStringLiteral("clientPlatform"), QStringLiteral("client_platform"));
    if (platform.isEmpty())
        throw HttpError(400, QStringLiteral("缺少 clientPlatform 参数。"), QStringLiteral("MISSING_PLATFORM"));

    QJsonArray endpoints;
    for (const EndpointRecord &e : m_data.endpoints)
        endpoints.append(e.publicJson);
    QJsonArray devices;
    for (const DeviceRecord &d : call.account->devices)
        devices.append(d.toJson());
    return Reply::json({
        {QStringLiteral("user"), call.account->user},
        {QStringLiteral("endpoints"), endpoints},
        {QStringLiteral("devices"), devices},
        {QStringLiteral("max_devices"), call.account->maxDevices()},
        {QStringLiteral("client"),
         QJsonObject{
             {QStringLiteral("platform"), platform},
             {QStringLiteral("region"), queryValue(QStringLiteral("clientRegion"), QStringLiteral("client_region"))},
             {QStringLiteral("networkType"),
              queryValue(QStringLiteral("networkType"), QStringLiteral("network_type"))}}},
        {QStringLiteral("serverTime"), isoTime(nowMs())},
    });
}

Reply ControlPlane::orders(const Call &call)
{
    return Reply::json({{QStringLiteral("orders"), call.account->orders}});
}

Reply ControlPlane::tickets(const Call &call)
{
    return Reply::json({{QStringLiteral("tickets"), call.account->tickets}});
}

Reply ControlPlane::createTicket(const Call &call)
{
    const JsonBody body(call.request);
    const QString title = body.requiredString(QStringLiteral("title"));
    const QString text = body.requiredString(QStringLiteral("body"));
    const std::optional<QString> category = body.optionalString(QStringLiteral("category"));
    const std::optional<QString> contact = body.optionalString(QStringLiteral("contactEmail"));
    if (title.trimmed().isEmpty() || text.trimmed().isEmpty())
        throw HttpError(400, QStringLiteral("请填写反馈标题和内容。"), QStringLiteral("EMPTY_TICKET"));
    if (title.size() > 200 || text.size() > 100000)
        throw HttpError(400, QStringLiteral("反馈标题或内容过长。"), QStringLiteral("TICKET_TOO_LONG"));
    if (contact && !isValidEmail(contact->trimmed()))
        throw HttpError(400, QStringLiteral("联系邮箱格式不正确。"), QStringLiteral("INVALID_EMAIL"));

    QJsonObject ticket{{QStringLiteral("id"), QStringLiteral("tk_") + randomHex(5)},
                       {QStringLiteral("title"), title},
                       {QStringLiteral("status"), QStringLiteral("open")},
                       {QStringLiteral("createdAt"), isoTime(nowMs())}};
    if (category)
        ticket.insert(QStringLiteral("category"), *category);
    if (contact)
        ticket.insert(QStringLiteral("contactEmail"), *contact);
    call.account->tickets.prepend(ticket);

    QJsonObject submission = ticket;
    submission.insert(QStringLiteral("userId"), call.account->id);
    submission.insert(QStringLiteral("body"), text);
    m_ticketSubmissions.append(submission);
    return Reply::json({{QStringLiteral("ticket"), ticket}}, 201);
}
