#pragma once

#include <QObject>
#include <functional>

class AppDelegate;

// Routes every way of quitting through the delegate. Qt turns them all into one Quit event on the
// application object: QCoreApplication::quit() (the menu's "退出"), the application menu and Cmd+Q
// (the platform's terminate request), the last window closing when that quits the application, and the
// session manager's end of session. A Quit answered "later" is swallowed; when the delegate approves,
// `finish` ends the event loop.
class QuitInterceptor final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QuitInterceptor)

public:
    explicit QuitInterceptor(AppDelegate &delegate, std::function<void()> finish = {}, QObject *parent = nullptr);
    ~QuitInterceptor() override;

    int swallowedQuitRequests() const { return m_swallowed; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    AppDelegate &m_delegate;
    std::function<void()> m_finish;
    int m_swallowed = 0;
};
