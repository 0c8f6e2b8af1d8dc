#include "ControlPlane.h"

#include <QRegularExpression>

namespace {
constexpr qsizetype requestLogSize = 1000;
}

bool isValidEmail(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^[^\\s@]+@[^\\s@]+\\.[^\\s@]+$"));
    return form.match(text).hasMatch();
}

ControlPlane::ControlPlane(DataSet initial, Overrides overrides)
    : m_initial(std::move(initial)), m_overrides(std::move(overrides))
{
    reset();
}

void ControlPlane::reset()
{
    m_data = m_initial;
    Settings &s = m_data.settings;
    if (m_overrides.upstream)
        s.upstream = *m_overrides.upstream;
    s.provisioningDelayMs = m_overrides.provisioningDelayMs.value_or(s.provisioningDelayMs);
    s.retryAfterMs = m_overrides.retryAfterMs.value_or(s.retryAfterMs);
    s.maxWaitMs = m_overrides.maxWaitMs.value_or(s.maxWaitMs);
    s.revealDebugCode = !m_overrides.hideDebugCode;
    m_faults.clear();
    for (const FaultRule &rule : m_overrides.faults)
        m_faults.add(rule);
    m_sessions.clear();
    m_codes.clear();
    m_credentials.clear();
    m_wireGuardHosts = 0;
    for (QJsonArray *log : {&m_codeLog, &m_connectionReports, &m_crashReports, &m_protocolConfigRequests,
                            &m_ticketSubmissions, &m_requests})
        *log = QJsonArray();
}

const QList<ControlPlane::Route> &ControlPlane::routes()
{
    static const QList<Route> table{
        {"GET", "/nodes", false, &ControlPlane::nodes},
        {"GET", "/plans", false, &ControlPlane::plans},
        {"GET", "/versions", false, &ControlPlane::versions},
        {"POST", "/auth/verification-code", false, &ControlPlane::sendVerificationCode},
        {"POST", "/auth/register", false, &ControlPlane::registerAccount},
        {"POST", "/auth/login", false, &ControlPlane::login},
        {"POST", "/auth/logout", true, &ControlPlane::logout},
        {"GET", "/me", true, &ControlPlane::me},
        {"GET", "/client/bootstrap", true, &ControlPlane::clientBootstrap},
        {"GET", "/devices", true, &ControlPlane::devices},
        {"POST", "/devices", true, &ControlPlane::bindDevice},
        {"DELETE", "/devices/{}", true, &ControlPlane::deleteDevice},
        {"POST", "/client/devices/{}/protocol-config", true, &ControlPlane::protocolConfig},
        {"POST", "/client/connection-report", true, &ControlPlane::connectionReport},
        {"POST", "/client/crash-report", true, &ControlPlane::crashReport},
        {"GET", "/orders", true, &ControlPlane::orders},
        {"GET", "/tickets", true, &ControlPlane::tickets},
        {"POST", "/tickets", true, &ControlPlane::createTicket},
    };
    return table;
}

namespace {

// The segments "{}" stands for, or none when the path has another shape.
std::optional<QStringList> matchPattern(const char *pattern, const QStringList &segments)
{
    const QStringList wanted = QString::fromLatin1(pattern).mid(1).split(QLatin1Char('/'));
    if (wanted.size() != segments.size())
        return std::nullopt;
    QStringList params;
    for (qsizetype i = 0; i < wanted.size(); ++i) {
        if (wanted[i] == QLatin1String("{}")) {
            if (segments[i].isEmpty())
                return std::nullopt;
            params << segments[i];
        } else if (wanted[i] != segments[i]) {
            return std::nullopt;
        }
    }
    return params;
}

} // namespace

Reply ControlPlane::handle(const Request &request)
{
    const Route *route = nullptr;
    QStringList params;
    QStringList allowed;
    for (const Route &candidate : routes()) {
        const auto match = matchPattern(candidate.pattern, request.segments);
        if (!match)
            continue;
        allowed << QString::fromLatin1(candidate.method);
        if (request.method == QLatin1String(candidate.method)) {
            route = &candidate;
            params = *match;
        }
    }
    if (allowed.isEmpty())
        return Reply::error(404, QStringLiteral("接口不存在：") + request.path, QStringLiteral("NOT_FOUND"));
    if (!route) {
        Reply reply = Reply::error(405, QStringLiteral("接口不支持 %1 方法").arg(request.method),
                                   QStringLiteral("METHOD_NOT_ALLOWED"));
        reply.headers.append(HeaderPair("Allow", allowed.join(QStringLiteral(", ")).toLatin1()));
        return reply;
    }
    try {
        Call call{request, params, nullptr, QString()};
        if (route->signedIn)
            call.account = &signedInAccount(request, &call.token);
        return (this->*route->handler)(call);
    } catch (const HttpError &error) {
        Reply reply = error.reply();
        if (reply.status == 401)
            reply.headers.append(HeaderPair("WWW-Authenticate", "Bearer"));
        return reply;
    } catch (const std::exception &error) {
        return Reply::error(500, QStringLiteral("服务端内部错误：") + QString::fromLocal8Bit(error.what()),
                            QStringLiteral("INTERNAL"));
    }
}

AccountRecord &ControlPlane::signedInAccount(const Request &request, QString *token)
{
    const QByteArray header = request.header("Authorization").trimmed();
    const qsizetype space = header.indexOf(' ');
    const QByteArray scheme = space < 0 ? header : header.left(space);
    const QString presented = space < 0 ? QString() : QString::fromUtf8(header.mid(space + 1).trimmed());
    if (scheme.compare("Bearer", Qt::CaseInsensitive) != 0 || presented.isEmpty())
        throw HttpError(401, QStringLiteral("请先登录。"), QStringLiteral("UNAUTHORIZED"));
    AccountRecord *account = m_data.account(m_sessions.value(presented));
    if (!account)
        throw HttpError(401, QStringLiteral("登录已过期，请重新登录。"), QStringLiteral("SESSION_EXPIRED"));
    if (account->isDisabled())
        throw HttpError(403, QStringLiteral("账号已停用，请联系客服。"), QStringLiteral("ACCOUNT_DISABLED"));
    *token = presented;
    return *account;
}

QString ControlPlane::startSession(const AccountRecord &account)
{
    const QString token = QStringLiteral("tvn_") + randomHex(24);
    m_sessions.insert(token, account.id);
    return token;
}

std::optional<FaultRule> ControlPlane::takeFault(const QString &method, const QString &apiPath)
{
    return m_faults.take(method, apiPath);
}

void ControlPlane::recordRequest(const Request &request, const QString &fullPath, int status, const QString &note)
{
    QJsonObject entry{{QStringLiteral("seq"), ++m_requestCount},
                      {QStringLiteral("at"), isoTime(nowMs())},
                      {QStringLiteral("method"), request.method},
                      {QStringLiteral("path"), fullPath},
                      {QStringLiteral("query"), request.query.toString(QUrl::FullyEncoded)},
                      {QStringLiteral("headers"), request.headersJson()},
                      {QStringLiteral("bodyBytes"), request.body.size()},
                      {QStringLiteral("status"), status}};
    if (!note.isEmpty())
        entry.insert(QStringLiteral("fault"), note);
    m_requests.append(entry);
    while (m_requests.size() > requestLogSize)
        m_requests.removeFirst();
}
