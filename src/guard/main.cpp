// tovren-guard: started by the client at connect, beside its executable. It ends the client's core and puts the
// user's proxy settings back when the client dies without its clean-up (see runtime/CrashGuard.h).
#include "ClientWatch.h"

#include <QCoreApplication>

#include <csignal>
#include <unistd.h>

int main(int argc, char *argv[])
{
    // Whatever reads our standard error may have gone with the client.
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    ClientWatch watch(STDIN_FILENO);
    QObject::connect(&watch, &ClientWatch::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    return QCoreApplication::exec();
}
