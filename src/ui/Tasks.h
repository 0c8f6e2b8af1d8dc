#pragma once

#include <QCoro/QCoroTask>

// Starts an operation from a button and lets it run on its own. The operations report their failures
// through AppState; anything that still escapes is logged here instead of being lost with the task.
void startTask(QCoro::Task<> task, const char *what);
