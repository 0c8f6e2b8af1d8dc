#include "Tasks.h"

#include "base/Errors.h"

#include <QAbstractButton>
#include <QDebug>
#include <QPointer>

namespace {

QCoro::Task<> guarded(QCoro::Task<> task, const char *what)
{
    try {
        co_await std::move(task);
    } catch (const TovrenError &error) {
        qWarning().noquote() << what << "failed:" << error.description();
    } catch (const std::exception &error) {
        qWarning().noquote() << what << "failed:" << error.what();
    }
}

QCoro::Task<> busy(QPointer<QAbstractButton> button, QString idleTitle, std::function<QCoro::Task<>()> operation,
                   const char *what)
{
    co_await guarded(operation(), what);
    if (!button)
        co_return; // the row went away with a change of the list while the operation ran
    button->setText(idleTitle);
    button->setEnabled(true);
}

} // namespace

void startTask(QCoro::Task<> task, const char *what)
{
    guarded(std::move(task), what);
}

void startBusyTask(QAbstractButton *button, const QString &busyTitle, std::function<QCoro::Task<>()> operation,
                   const char *what)
{
    if (!button->isEnabled())
        return;
    const QString idleTitle = button->text();
    button->setText(busyTitle);
    button->setEnabled(false);
    busy(button, idleTitle, std::move(operation), what);
}
