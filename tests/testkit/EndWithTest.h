#pragma once

#include <QProcess>

#ifdef __linux__
#include <csignal>
#include <sys/prctl.h>
#endif

// A helper process started by a test dies with the test, even when the test aborts (a sanitizer finding, a
// watchdog timeout) before its destructors run.
inline void endWithTest(QProcess &process)
{
#ifdef __linux__
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
#else
    Q_UNUSED(process)
#endif
}
