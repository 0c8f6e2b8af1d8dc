#include "MainWindow.h"
#include "core/AppState.h"
#include "core/Workspace.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
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

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tovren"));
    QApplication::setApplicationVersion(AppState::applicationVersion());
    installWorkspace();

    // "--print-log" echoes every activity-log entry to standard output (the demo and tests read it).
    const bool printLog = QApplication::arguments().contains(QStringLiteral("--print-log"));
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

    MainWindow window(state);
    window.show();
    return QApplication::exec();
}
