#pragma once

#include <QCoro/QCoroTask>

class QProcess;

// Suspends the calling coroutine until Qt reports a change of the child's life, without blocking the
// thread. The coroutine continues from the event loop, never inside QProcess's own signal emission, so it
// may destroy the process right away.
namespace ProcessWait {

// Until the child is running or has failed to start (check QProcess::error() for FailedToStart).
QCoro::Task<> untilStarted(QProcess &process);

// Until the child has exited or has failed to start.
QCoro::Task<> untilFinished(QProcess &process);

} // namespace ProcessWait
