#include "StartupTimes.h"

#include "ui/MainWindow.h"
#include "ui/RootView.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QTextStream>
#include <QTimer>

namespace {

void print(const char *what, qint64 milliseconds)
{
    QTextStream(stderr) << "tovren startup: " << what << ' ' << milliseconds << " ms" << Qt::endl;
}

// Notes the window's first paint. The paint event opens the frame; the print waits for the event loop's next
// turn, by which time the whole frame has been painted and flushed.
class FirstPaintWatch final : public QObject
{
public:
    FirstPaintWatch(QWidget &window, const QElapsedTimer &clock) : QObject(&window), m_clock(clock) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            QTimer::singleShot(0, this, [this] {
                print("first paint", m_clock.elapsed());
                deleteLater();
            });
        }
        return false;
    }

private:
    QElapsedTimer m_clock;
};

} // namespace

void reportStartupTimesIfRequested(MainWindow &window, const QElapsedTimer &sinceLaunch)
{
    if (qEnvironmentVariable("TOVREN_REPORT_STARTUP_TIMES") != QLatin1String("1"))
        return;
    window.installEventFilter(new FirstPaintWatch(window, sinceLaunch));
    QObject::connect(window.rootView(), &RootView::startupFinished, &window,
                     [sinceLaunch] { print("start-up task done", sinceLaunch.elapsed()); });
}
