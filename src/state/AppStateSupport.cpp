// Support tickets and feedback, orders, the invite link and the web client.
#include "AppState.h"
#include "ControlPlaneMapping.h"
#include "Workspace.h"
#include "api/Deployment.h"

QCoro::Task<void> AppState::syncTickets(QString token)
{
    const APITicketsResponse answer = co_await m_api->tickets(token);
    if (!isCurrentSession(token))
        co_return;
    QList<Ticket> tickets;
    for (const APITicket &record : answer.tickets)
        tickets.append(ticketFromAPI(record));
    setTickets(tickets);
}

QCoro::Task<void> AppState::syncOrders(QString token)
{
    const APIOrdersResponse answer = co_await m_api->orders(token);
    if (!isCurrentSession(token))
        co_return;
    QList<Order> orders;
    for (const APIOrder &record : answer.orders)
        orders.append(orderFromAPI(record));
    setOrders(orders);
}

QCoro::Task<void> AppState::submitFeedback(QString title, QString contactEmail, QString body)
{
    if (!m_token) {
        setShowAuthSheet(true);
        co_return;
    }
    if (title.trimmed().isEmpty() || body.trimmed().isEmpty()) {
        setAlertAction(std::nullopt);
        setAlertMessage(QStringLiteral("请填写反馈标题和内容。"));
        co_return;
    }
    const BusyMark busy(*this);
    const QString token = *m_token;

    QStringList lines; // newest first, as the log shows them
    for (const LogEntry &entry : std::as_const(m_logs))
        lines.append(entry.time + QLatin1Char(' ') + entry.message);
    APICreateTicketRequest request;
    request.title = title;
    request.category = QStringLiteral("客户端问题");
    if (!contactEmail.isEmpty())
        request.contactEmail = contactEmail;
    request.body = body + QStringLiteral("\n\n--- macOS 客户端日志 ---\n") + lines.join(QLatin1Char('\n'));

    try {
        co_await m_api->createTicket(request, token);
        appendLog(QStringLiteral("日志反馈已提交。"));
        co_await syncTickets(token);
        setAlertAction(std::nullopt);
        setAlertMessage(QStringLiteral("反馈已提交。"));
    } catch (const std::exception &error) {
        if (isCurrentSession(token))
            present(error, QStringLiteral("提交反馈失败"));
    }
}

void AppState::copyInviteLink()
{
    setAlertAction(std::nullopt);
    const std::optional<QString> code = m_currentUser ? m_currentUser->referralCode : std::nullopt;
    if (!code || code->isEmpty()) {
        setAlertMessage(QStringLiteral("登录后才能复制邀请链接。"));
        return;
    }
    const QString link = Deployment::webClientURL().toString(QUrl::FullyEncoded) + QStringLiteral("?invite=") +
                         QString::fromLatin1(QUrl::toPercentEncoding(*code));
    Workspace::copyText(link);
    setAlertMessage(QStringLiteral("邀请链接已复制。"));
}

void AppState::openClientHome()
{
    Workspace::openURL(Deployment::webClientURL());
}

void AppState::showDashboard()
{
    setSelectedPage(AppPage::home);
    Workspace::showMainWindow();
}
