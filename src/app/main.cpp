#include "SignalQuit.h"
#include "StartupTimes.h"
#include "state/AppState.h"
#include "state/StateActions.h"
#include "state/Workspace.h"
#include "ui/AppDelegate.h"
#include "ui/MainWindow.h"
#include "ui/MenuBar.h"
#include "ui/QuitInterceptor.h"
#include "ui/Screenshots.h"
#include "ui/Typography.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QTextStream>
#include <QWidget>

namespace {

// The desktop services the core asks for: the default browser, the clipboard and the main window.
void installWorkspace()
{
    Workspace::install({
        [](const QUrl &url) { return QDesktopServices::openUrl(url); },
        [](const QString &text) {
            QGuiApplication::clipboard()->setText(text, QClipboard::Clipboard);
            return true;
        },
        [] {
            const QWidgetList windows = QApplication::topLevelWidgets();
            QWidget *window = nullptr;
            for (QWidget *candidate : windows) {
                if (candidate->isWindow() && candidate->windowTitle() == QLatin1String("Tovren")) {
                    window = candidate;
                    break;
                }
            }
            if (!window && !windows.isEmpty())
                window = windows.first();
            if (!window)
                return false;
            window->show();
            window->raise();
            window->activateWindow();
            return true;
        },
    });
}

} // namespace

namespace {

int runScreenshots(const QStringList &arguments)
{
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QString directory = arguments.value(arguments.indexOf(QStringLiteral("--screenshots")) + 1);
    if (directory.isEmpty() || directory.startsWith(QLatin1String("--"))) {
        err << "usage: tovren --screenshots <folder>" << Qt::endl;
        return 2;
    }
    const QStringList written = writeScreenshots(directory);
    for (const QString &file : written)
        out << file << Qt::endl;
    if (written.size() != screenshotCount) {
        err << "could not write every picture into " << directory << Qt::endl;
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QElapsedTimer sinceLaunch;
    sinceLaunch.start();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tovren"));
    QApplication::setApplicationVersion(AppState::applicationVersion());
    Typography::installApplicationFont();
    installWorkspace();

    const QStringList arguments = QApplication::arguments();
    if (arguments.contains(QStringLiteral("--screenshots")))
        return runScreenshots(arguments);

    // "--print-log" echoes every activity-log entry to standard output (the demo and tests read it).
    const bool printLog = arguments.contains(QStringLiteral("--print-log"));
    AppState state;
    if (printLog) {
        auto echo = [](const LogEntry &entry) {
            QTextStream out(stdout);
            out << entry.time << ' ' << entry.message << Qt::endl;
        };
        for (auto it = state.logs().crbegin(); it != state.logs().crend(); ++it)
            echo(*it);
        QObject::connect(&state, &AppState::logAppended, &state, echo);
    }

    StateActions &actions = state;
    AppDelegate delegate;
    QuitInterceptor quitting(delegate);
    SignalQuit signalQuit;

    MainWindow window(actions);
    // Until the window has shown, nothing has been started that quitting would need to undo.
    QObject::connect(&window, &MainWindow::firstShown, &delegate,
                     [&] { delegate.attach(&state, [&actions] { return actions.cleanupBeforeExit(); }); });

    MenuBarItem menuBar(actions);
    // With an item in the status area, closing the window leaves the client running there. Without one, closing
    // the window is the way out, and it quits through the same deferred clean-up as every other way.
    QApplication::setQuitOnLastWindowClosed(!MenuBarItem::available());

    reportStartupTimesIfRequested(window, sinceLaunch);
    window.show();
    return QApplication::exec();
}
