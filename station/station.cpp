// A station's run: one thread for each fixture, and the wait for the end.
#include "station/station.h"
#include "station/fixture.h"

#include <QElapsedTimer>
#include <QThread>

#include <memory>
#include <vector>

namespace {

// How often (in turns of 100 ms) the run asks the queue how far it is.
constexpr int kProgressTurns = 10;

StationOutcome outcomeOf(const StationRun &run, UnitQueue &queue, const QElapsedTimer &clock)
{
    StationOutcome outcome;
    outcome.end = run.recordFailed ? StationOutcome::End::RecordFailed
                  : run.stopping   ? StationOutcome::End::Stopped
                                   : StationOutcome::End::AllPassed;
    outcome.progress = queue.progress();
    outcome.seconds = double(clock.elapsed()) / 1000.0;
    return outcome;
}

} // namespace

StationOutcome runStation(const StationSettings &settings, UnitQueue &queue,
                          StationObserver &observer)
{
    QElapsedTimer clock;
    clock.start();
    StationRun run(settings, queue, observer);
    const QueueProgress start = queue.progress();
    run.allPassed = start.passed == start.rows;
    // QThreads, not plain threads: a serial port needs its thread's event
    // dispatcher, even though nothing here runs an event loop.
    std::vector<std::unique_ptr<QThread>> threads;
    for (const QString &port : settings.ports) {
        threads.emplace_back(QThread::create([&run, port] { serveFixture(run, port); }));
        threads.back()->start();
    }
    for (int turn = 1; !run.ended(); ++turn) {
        run.waitForChange(100);
        if (settings.stopRequest && *settings.stopRequest)
            run.stopping = true;
        // Other stations may work on the same jobs and pass the last of them.
        if (turn % kProgressTurns == 0) {
            const QueueProgress now = queue.progress();
            run.allPassed = run.allPassed || now.passed == now.rows;
        }
    }
    StationOutcome outcome = outcomeOf(run, queue, clock);
    // Done: the units still on their fixtures need not be waited for.
    if (outcome.end == StationOutcome::End::AllPassed)
        observer.runEnded(outcome);
    for (const std::unique_ptr<QThread> &thread : threads)
        thread->wait();
    if (outcome.end != StationOutcome::End::AllPassed)
        observer.runEnded(outcomeOf(run, queue, clock));
    return outcome;
}
