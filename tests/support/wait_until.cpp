#include "tests/support/wait_until.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <QWindow>

bool waitUntil(const std::function<bool()> &done, int timeoutMs, Waiting how)
{
    QElapsedTimer timer;
    timer.start();
    // Wakes a sleeping loop now and then, so that the limit is seen without events.
    QTimer tick;
    if (how == Waiting::Sleeping)
        tick.start(20);
    while (!done()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        if (how == Waiting::Polling)
            QThread::msleep(1);
        else
            QCoreApplication::processEvents(how == Waiting::Sleeping ? QEventLoop::WaitForMoreEvents
                                                                     : QEventLoop::AllEvents);
    }
    return true;
}

bool showExposed(QWidget &window, int timeoutMs, Waiting how)
{
    window.show();
    return waitUntil(
        [&window] { return window.windowHandle() && window.windowHandle()->isExposed(); },
        timeoutMs, how);
}
