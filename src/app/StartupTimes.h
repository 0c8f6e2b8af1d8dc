#pragma once

class QElapsedTimer;
class MainWindow;

// With TOVREN_REPORT_STARTUP_TIMES=1 in the environment, prints on standard error how long after `sinceLaunch`
// was started the window first painted and its start-up task (bootstrap, then the self-test switch when given)
// finished. The benchmarks read these two lines; without the variable nothing is installed.
void reportStartupTimesIfRequested(MainWindow &window, const QElapsedTimer &sinceLaunch);
