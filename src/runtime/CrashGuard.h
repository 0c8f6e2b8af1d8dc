#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <optional>

class QProcess;

// The lines the client writes to its guard.
namespace GuardProtocol {

inline constexpr char executableName[] = "tovren-guard";
// "core <pid>": the core to end when the client dies.
inline constexpr char coreWord[] = "core";
// The client has cleaned up itself: the guard ends without touching anything.
inline constexpr char cleanExitWord[] = "exit";

QByteArray coreLine(qint64 pid);
QByteArray cleanExitLine();

// A line as the guard reads it: the core's pid, or the clean-exit word; anything else is ignored.
struct Message
{
    std::optional<qint64> corePid;
    bool cleanExit = false;
};
Message parseLine(const QByteArray &line);

} // namespace GuardProtocol

// Watches over a connection from outside the client. The guard, a small program beside the client's executable
// (in a macOS bundle, "Contents/MacOS"), runs in a session of its own and reads a pipe from this object. When the
// pipe closes without the clean-exit word, because the client was killed or crashed, the guard ends the core it was
// told about and puts the user's proxy settings back from the saved snapshot, as the client's own clean-up would.
// Without the guard program a connection simply goes unguarded.
class CrashGuard final : public QObject
{
    Q_OBJECT

public:
    explicit CrashGuard(QObject *parent = nullptr);
    // A guard still running is released: it is ended with its handle, which must not look like a crash.
    ~CrashGuard() override;
    Q_DISABLE_COPY_MOVE(CrashGuard)

    // Starts the guard when none runs, and tells it the core to end.
    void watch(qint64 corePid);
    // The client has cleaned up: the guard ends at once. Does nothing without a guard.
    void release();
    bool isWatching() const { return m_pipe >= 0; }

    static QString executablePath();

private:
    bool start();
    void send(const QByteArray &line);

    QProcess *m_process = nullptr;
    int m_pipe = -1; // the write end; the guard holds the read end as its standard input
};
