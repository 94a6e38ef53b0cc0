#include "tests/support/wait_until.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>

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
