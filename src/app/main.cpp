#include "MainWindow.h"
#include "core/AppState.h"

#include <QApplication>
#include <QTextStream>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tovren"));
    QApplication::setApplicationVersion(AppState::applicationVersion());

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
