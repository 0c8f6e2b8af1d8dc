#include "QuitInterceptor.h"

#include "AppDelegate.h"

#include <QCoreApplication>
#include <QEvent>

QuitInterceptor::QuitInterceptor(AppDelegate &delegate, std::function<void()> finish, QObject *parent)
    : QObject(parent), m_delegate(delegate), m_finish(std::move(finish))
{
    if (!m_finish)
        m_finish = [] { QCoreApplication::exit(0); }; // exit() does not come back through the Quit event
    QCoreApplication::instance()->installEventFilter(this);
    connect(&m_delegate, &AppDelegate::terminationApproved, this, [this] { m_finish(); });
}

QuitInterceptor::~QuitInterceptor()
{
    if (QCoreApplication::instance())
        QCoreApplication::instance()->removeEventFilter(this);
}

bool QuitInterceptor::eventFilter(QObject *watched, QEvent *event)
{
    if (watched != QCoreApplication::instance() || event->type() != QEvent::Quit)
        return false;
    if (m_delegate.shouldTerminate() == AppDelegate::Reply::terminateNow)
        return false;
    ++m_swallowed;
    event->ignore();
    return true;
}
