// Support tickets and feedback, orders, the invite link and the web client.
#include "AccountService.h"
#include "ControlPlaneMapping.h"
#include "Workspace.h"
#include "api/Deployment.h"

QCoro::Task<void> AccountService::syncTickets(QString token)
{
    const APITicketsResponse answer = co_await m_dependencies.api->tickets(token);
    if (!isCurrentSession(token))
        co_return;
    QList<Ticket> tickets;
    for (const APITicket &record : answer.tickets)
        tickets.append(ticketFromAPI(record));
    m_model.setTickets(tickets);
}

QCoro::Task<void> AccountService::syncOrders(QString token)
{
    const APIOrdersResponse answer = co_await m_dependencies.api->orders(token);
    if (!isCurrentSession(token))
        co_return;
    QList<Order> orders;
    for (const APIOrder &record : answer.orders)
        orders.append(orderFromAPI(record));
    m_model.setOrders(orders);
}

QCoro::Task<void> AccountService::submitFeedback(QString title, QString contactEmail, QString body)
{
    if (!m_model.token()) {
        m_model.setShowAuthSheet(true);
        co_return;
    }
    if (title.trimmed().isEmpty() || body.trimmed().isEmpty()) {
        m_model.alert(QStringLiteral("请填写反馈标题和内容。"));
        co_return;
    }
    const StateModel::BusyMark busy(m_model);
    const QString token = *m_model.token();

    QStringList lines; // newest first, as the log shows them
    for (const LogEntry &entry : std::as_const(m_model.logs()))
        lines.append(entry.time + QLatin1Char(' ') + entry.message);
    APICreateTicketRequest request;
    request.title = title;
    request.category = QStringLiteral("客户端问题");
    if (!contactEmail.isEmpty())
        request.contactEmail = contactEmail;
    request.body = body + QStringLiteral("\n\n--- macOS 客户端日志 ---\n") + lines.join(QLatin1Char('\n'));

    try {
        co_await m_dependencies.api->createTicket(request, token);
        m_model.appendLog(QStringLiteral("日志反馈已提交。"));
        co_await syncTickets(token);
        m_model.alert(QStringLiteral("反馈已提交。"));
    } catch (const std::exception &error) {
        if (isCurrentSession(token))
            m_model.present(error, QStringLiteral("提交反馈失败"));
    }
}

void AccountService::copyInviteLink()
{
    m_model.setAlertAction(std::nullopt);
    const std::optional<QString> code = m_model.currentUser() ? m_model.currentUser()->referralCode : std::nullopt;
    if (!code || code->isEmpty()) {
        m_model.setAlertMessage(QStringLiteral("登录后才能复制邀请链接。"));
        return;
    }
    const QString link = Deployment::webClientURL().toString(QUrl::FullyEncoded) + QStringLiteral("?invite=") +
                         QString::fromLatin1(QUrl::toPercentEncoding(*code));
    Workspace::copyText(link);
    m_model.setAlertMessage(QStringLiteral("邀请链接已复制。"));
}

void AccountService::openClientHome()
{
    Workspace::openURL(Deployment::webClientURL());
}
