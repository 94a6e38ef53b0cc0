// Waiting on a condition, for the tests, the benchmarks and the fuzz targets.
#ifndef TESTS_SUPPORT_WAIT_UNTIL_H
#define TESTS_SUPPORT_WAIT_UNTIL_H

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <functional>

// Upper bound for anything the tests, benchmarks and fuzz targets wait for; a
// correct run needs far less.
constexpr int kPatienceMs = 10000;

enum class Waiting {
    // The event loop runs and sleeps until an event comes: the processor stays
    // free for the other end, such as the simulator program.
    Sleeping,
    // The event loop runs and never sleeps, so that the moment the condition
    // holds is seen at once: for timing.
    Spinning,
    // The event loop does not run, so that the window reacts to nothing
    // meanwhile; the condition is looked at every millisecond.
    Polling,
};

// Waits until `done` answers true; false once `timeoutMs` passed.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs = kPatienceMs,
                      Waiting how = Waiting::Sleeping)
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

// Shows `window` and waits until it is exposed; false after `timeoutMs`.
inline bool showExposed(QWidget &window, int timeoutMs = kPatienceMs,
                        Waiting how = Waiting::Sleeping)
{
    window.show();
    return waitUntil(
        [&window] { return window.windowHandle() && window.windowHandle()->isExposed(); },
        timeoutMs, how);
}

#endif // TESTS_SUPPORT_WAIT_UNTIL_H
