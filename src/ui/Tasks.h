#pragma once

#include <QCoro/QCoroTask>
#include <functional>

class QAbstractButton;
class QString;

// Starts an operation from a button and lets it run on its own. The operations report their failures
// through AppState; anything that still escapes is logged here instead of being lost with the task.
void startTask(QCoro::Task<> task, const char *what);

// Starts `operation` from `button` and shows it running: until it ends the button reads `busyTitle` and is
// disabled, so a second press cannot start it again. A button that is disabled already starts nothing.
void startBusyTask(QAbstractButton *button, const QString &busyTitle, std::function<QCoro::Task<>()> operation,
                   const char *what);
