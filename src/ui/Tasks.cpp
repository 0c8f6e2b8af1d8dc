#include "Tasks.h"

#include "core/Errors.h"

#include <QDebug>

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

} // namespace

void startTask(QCoro::Task<> task, const char *what)
{
    guarded(std::move(task), what);
}
